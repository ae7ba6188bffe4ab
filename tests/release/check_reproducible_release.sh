#!/usr/bin/env bash
# Builds each Windows release twice from this source tree, in two temporary folders of
# different names and depths, and checks that buttonguard.exe, the zip, the MSI and SHA256SUMS
# come out the same to the byte. Exit status 77 (a skip) without MinGW-w64, 1 then under CI=true.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

for compiler in x86_64-w64-mingw32-g++ i686-w64-mingw32-g++; do
  if ! command -v "$compiler" > /dev/null; then
    echo "$compiler is missing (Debian: mingw-w64)"
    if [ "${CI:-}" = true ]; then exit 1; fi
    exit 77
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for preset in windows-x64 windows-x86; do
  first="$work/first/$preset"
  second="$work/second/a/deeper/folder/$preset"
  for build in "$first" "$second"; do
    if ! (cd "$source_dir" && cmake --preset "$preset" -B "$build" -DBUTTONGUARD_BUILD_TESTS=OFF &&
          cmake --build "$build" -j2) > "$work/build.log" 2>&1; then
      cat "$work/build.log"
      exit 1
    fi
  done
  if ! zip=$(cd "$first" && ls buttonguard-*.zip 2> /dev/null); then
    echo "no release zip in $first"
    exit 1
  fi
  for file in buttonguard.exe "$zip" "${zip%.zip}.msi" SHA256SUMS; do
    read -r hash _ < <(sha256sum "$first/$file")
    read -r other _ < <(sha256sum "$second/$file")
    if [ "$hash" = "$other" ]; then
      echo "same   $preset/$file  $hash"
    else
      echo "DIFFER $preset/$file  $hash  $other"
      status=1
    fi
  done
done
exit "$status"
