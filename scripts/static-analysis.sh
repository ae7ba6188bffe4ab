#!/usr/bin/env bash
# clang-tidy (with .clang-tidy) and cppcheck over src/, for the host and the Windows sources.
# Any finding fails. Needs the default and windows-x64 presets configured.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default > /dev/null
cmake --preset windows-x64 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null

echo "clang-tidy: host sources"
host_sources=$(git ls-files 'src/*.cpp' | grep -v -e '_windows\.cpp$' -e '/windows/')
# shellcheck disable=SC2086
clang-tidy -p build/default --quiet $host_sources

echo "clang-tidy: Windows sources, with MinGW-w64's headers"
mingw_cxx=/usr/lib/gcc/x86_64-w64-mingw32/12-win32/include/c++
windows_sources=$(git ls-files 'src/*_windows.cpp' 'src/*/windows/*.cpp')
# shellcheck disable=SC2086
clang-tidy -p build/windows-x64 --quiet --extra-arg=--target=x86_64-w64-mingw32 \
  "--extra-arg=-isystem$mingw_cxx" "--extra-arg=-isystem$mingw_cxx/x86_64-w64-mingw32" \
  $windows_sources

echo "cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 --quiet \
  --error-exitcode=1 --inline-suppr --suppressions-list=.cppcheck-suppressions \
  --suppress=missingIncludeSystem \
  -I src/power -I src/cli -I src/guard -I src/report -I src/arguments -I src/event_log \
  -I src/command_process -I src/run_records \
  -I src/simulated_store -I src/simulated_store/posix src/

echo "static analysis: no findings"
