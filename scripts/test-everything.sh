#!/usr/bin/env bash
# Installs what the tests need (when run as root on Debian) and runs every suite: the Windows
# cross-builds, the host build with its unit, end-to-end, Wine and executable checks, static
# analysis, the fuzzers for a bounded time, and the host suites again under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ clang libclang-rt-14-dev clang-tidy cppcheck
          libgtest-dev libgmock-dev libbenchmark-dev
          mingw-w64 wine wine64 python3-pefile)

if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${packages[@]}"
else
  missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run this script as root, or: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

step() { printf '\n== %s ==\n' "$*"; }

step "Windows x86 executable"
cmake --workflow --preset windows-x86
step "Windows x64 executable and its zip"
cmake --workflow --preset windows-x64
step "Host build: unit, end-to-end, Wine and executable checks"
cmake --workflow --preset default
step "Static analysis: clang-tidy and cppcheck"
scripts/static-analysis.sh
step "Fuzzing, ${BUTTONGUARD_FUZZ_SECONDS:-60} s a target"
scripts/run-fuzzers.sh "${BUTTONGUARD_FUZZ_SECONDS:-60}"
step "The host suites under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --workflow --preset asan
