#!/usr/bin/env bash
# Builds AM into build/ (Release with debug info). --asan builds an AddressSanitizer+UBSan
# variant into build-asan/. Extra arguments go to cmake --build.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build; extra=()
if [ "${1:-}" = "--asan" ]; then
  dir=build-asan; extra=(-DAM_SANITIZE=ON); shift
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$dir" "$@"
