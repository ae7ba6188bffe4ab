#!/usr/bin/env bash
# Installs what the tests need (when run as root, or through sudo, on Debian) and runs every
# suite: the Windows cross-builds and their release files, the host build with its unit,
# end-to-end, Wine (x64 and x86), executable, release and signing checks, plain Release builds
# with g++ and clang++, static analysis, the fuzzers for a bounded time, and the host suites
# again under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

# wine32 runs the 32-bit buttonguard.exe; it comes from Debian's i386 architecture.
packages=(cmake make g++ clang libclang-rt-14-dev clang-tidy cppcheck
          libgtest-dev libgmock-dev libbenchmark-dev
          mingw-w64 wine wine64 wine32:i386 python3-pefile osslsigncode openssl
          wixl msitools python3-olefile)

if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  dpkg --add-architecture i386
  # A mirror caught mid-sync serves an index whose size its Release file does not promise,
  # and apt-get update then fails as a whole, keeping the indexes that did arrive. Try again
  # after a pause; if one is still refused, go on with the others, with the security suite
  # giving only what the main suite lacks: its index for one architecture may be the one
  # missing, and a library's 64-bit and 32-bit halves must come at the same version.
  apt_options=(-o Acquire::Retries=3)
  for pause in 20 40 -; do
    apt-get "${apt_options[@]}" update && break
    if [ "$pause" = - ]; then
      echo "apt-get update failed three times; installing from the indexes that arrived" >&2
      preferences=$(mktemp)
      printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' > "$preferences"
      apt_options+=(-o "Dir::Etc::Preferences=$preferences")
    else
      sleep "$pause"
    fi
  done
  apt-get "${apt_options[@]}" install -y "${packages[@]}"
else
  missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run this script as root or through sudo, which installs them." >&2
    exit 1
  fi
fi

step() { printf '\n== %s ==\n' "$*"; }

step "Windows x86 executable and its release files"
cmake --workflow --preset windows-x86
step "Windows x64 executable and its release files"
cmake --workflow --preset windows-x64
step "Host build: unit, end-to-end, Wine, executable, release and signing checks"
cmake --workflow --preset default
# How a packager builds: plain Release, no preset. Warnings are errors here as in the presets.
for compiler in g++ clang++; do
  step "Plain Release build with $compiler, every target"
  cmake -S . -B "build/plain-$compiler" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$compiler" -DBUTTONGUARD_WARNINGS_AS_ERRORS=ON > /dev/null
  cmake --build "build/plain-$compiler" -j"$(nproc)"
done
step "The host suites of the clang++ build"
ctest --test-dir build/plain-clang++ -j"$(nproc)" --output-on-failure -E 'wine|windows'
step "Static analysis: clang-tidy and cppcheck"
scripts/static-analysis.sh
step "Fuzzing, ${BUTTONGUARD_FUZZ_SECONDS:-60} s a target"
scripts/run-fuzzers.sh "${BUTTONGUARD_FUZZ_SECONDS:-60}"
step "The host suites under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --workflow --preset asan
step "All suites passed in $(( $(date +%s) - started )) s"
