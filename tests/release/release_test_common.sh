# Sourced by the release tests that take a Windows build folder and the Wine suite's prefix:
# sets source_dir, build and prefix, a temporary folder $work removed on exit, and skip,
# fail and require_tools. A skip is exit status 77, but 1 under CI=true, where nothing may be
# skipped.
#
# Usage (from a test): source "$(dirname "$0")/release_test_common.sh" WINDOWS_BUILD_DIR WINE_PREFIX
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(realpath -m "$1") prefix=$(realpath -m "$2")

skip() {
  echo "$*"
  if [ "${CI:-}" = true ]; then exit 1; fi
  exit 77
}
fail() {
  echo "FAIL: $*"
  exit 1
}
require_tools() {
  for tool in "$@"; do
    command -v "$tool" > /dev/null || skip "$tool is missing"
  done
}
# Debian's wine script starts the 32-bit loader whenever wine32 is installed, and a kernel
# built without 32-bit support refuses to run it: no package mends that. There the 64-bit
# loader runs what is 64-bit, which is all these tests run.
if [ -x /usr/lib/wine/wine64 ] && [ -e /usr/lib/wine/wine ] &&
  ! /usr/lib/wine/wine --version > /dev/null 2>&1; then
  wine() { WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64 "$@"; }
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
