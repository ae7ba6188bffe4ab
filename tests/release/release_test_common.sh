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
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
