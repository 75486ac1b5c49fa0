#!/usr/bin/env bash
# Builds AM into build/ (Release with debug info). --asan builds an AddressSanitizer+UBSan
# variant into build-asan/; --run builds only the programs (no tests, no benchmarks). Extra
# arguments go to cmake --build.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build; extra=(-DAM_TESTS=ON)
if [ "${1:-}" = "--asan" ]; then
  dir=build-asan; extra+=(-DAM_SANITIZE=ON); shift
elif [ "${1:-}" = "--run" ]; then
  extra=(-DAM_TESTS=OFF); shift
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$dir" "$@"
