#!/usr/bin/env bash
# Builds AM into build/ (Release with debug info). --asan builds with clang, AddressSanitizer
# and UBSan (every report fatal) and the fuzz targets' coverage into build-fuzz/, which the
# sanitizer unit run (scripts/sanitize.sh) and the fuzz targets (scripts/fuzz.sh) share; --run
# builds only the programs (no tests, no benchmarks). Extra arguments go to cmake --build
# (e.g. --target unit_tests fuzz_targets).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build; extra=(-DAM_TESTS=ON)
if [ "${1:-}" = "--asan" ]; then
  # -O1 -g1: fast enough to run, small enough to build; line numbers in the reports.
  dir=build-fuzz; shift
  export CC=clang CXX=clang++
  extra+=(-DAM_FUZZ=ON "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1")
elif [ "${1:-}" = "--run" ]; then
  extra=(-DAM_TESTS=OFF); shift
fi
configure() { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null; }
# The first configure of a directory writes some flags in another place than every later one
# does, so the next call would rebuild a library and relink everything: a new directory is
# configured twice before its first build.
[ -f "$dir/CMakeCache.txt" ] || configure
configure
cmake --build "$dir" "$@"
