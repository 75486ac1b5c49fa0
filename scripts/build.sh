#!/usr/bin/env bash
# Builds AM into build/ (Release with debug info). --asan builds with clang, AddressSanitizer
# and UBSan (every report fatal) and the fuzz targets' coverage into build-fuzz/, which the
# sanitizer unit run (scripts/sanitize.sh) and the fuzz targets (scripts/fuzz.sh) share; --run
# builds only the programs (no tests, no benchmarks). Extra arguments go to cmake --build
# (e.g. --target unit_tests fuzz_targets).
set -euo pipefail
cd "$(dirname "$0")/.."
# -g1: line tables for debuggers and profilers. Call stacks in logs need only the exported
# symbols (-rdynamic); full debug information made every compile about a third slower.
dir=build; tests=ON; flags="-O2 -g1 -DNDEBUG"
if [ "${1:-}" = "--asan" ]; then
  # -O1 -g1: fast enough to run, small enough to build; line numbers in the reports.
  dir=build-fuzz; flags="-O1 -g1"; shift
  export CC=clang CXX=clang++
elif [ "${1:-}" = "--run" ]; then
  tests=OFF; shift
fi
extra=(-DAM_TESTS=$tests "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$flags" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$flags")
[ "$dir" = build-fuzz ] && extra+=(-DAM_FUZZ=ON)
configure() { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null; }
# The first configure of a directory writes some flags in another place than every later one
# does, so the next call would rebuild a library and relink everything: a new directory is
# configured twice before its first build.
[ -f "$dir/CMakeCache.txt" ] || configure
configure
cmake --build "$dir" "$@"
