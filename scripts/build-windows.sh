#!/usr/bin/env bash
# Cross-builds the Windows programs (am.exe, amctl.exe, demo-agent.exe) and the unit test
# program into build-win/ with mingw-w64; runs nothing (tests/windows/run.sh runs them under
# wine), so it can go beside the Linux tests. Installs what it needs first (scripts/deps.sh).
# Prints its wall time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$SECONDS
# The cross compilers, the target's zlib, GoogleTest's sources and wine are among the tests'
# packages.
bash scripts/deps.sh

# 32-bit Windows, as the manager's users run it, when this machine can run 32-bit wine; the
# 64-bit target otherwise (a kernel without 32-bit program support cannot run wine32).
toolchain=cmake/mingw-x86_64.cmake
if command -v i686-w64-mingw32-g++-posix >/dev/null && [ -x /usr/lib/wine/wine ] &&
   /usr/lib/wine/wine --version >/dev/null 2>&1; then
  toolchain=cmake/mingw-i686.cmake
fi
echo "build-windows: toolchain $toolchain"

dir=build-win
# Little optimisation and no debug information: the build is checked and tested, not shipped,
# and -O1 -g0 compiles in about half the time of -O2 -g. They replace the build type's flags (the
# project's default type would otherwise add its own after them, and the last -O wins).
flags="-O1 -g0 -DNDEBUG"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$flags" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$flags" \
  -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" -DAM_TESTS=ON >/dev/null
cmake --build "$dir" -j2 --target am amctl demo-agent windows_unit_tests
echo "build-windows: built in $((SECONDS - start)) s"
