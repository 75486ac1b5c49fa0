#!/usr/bin/env bash
# The one test command: installs dependencies, builds and runs every test; then the unit tests
# again with address and undefined-behaviour checks, and every fuzz target for 15 s on its seeds.
# Non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
bash scripts/deps.sh
bash scripts/build.sh

# The tests mostly wait on processes and sockets: the sanitizer build runs beside them at the
# lowest priority, so it takes only the processor time they leave.
mkdir -p build-fuzz
side_log=build-fuzz/side-build.log
setsid nice -n 19 bash scripts/build.sh --asan --target unit_tests fuzz_targets >"$side_log" 2>&1 &
side=$!
stop_side() { kill -- "-$side" 2>/dev/null || true; wait "$side" 2>/dev/null || true; }
trap stop_side EXIT

ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 600
echo "test: build and tests took $(( $(date +%s) - started )) s"
if ! wait "$side"; then
  trap - EXIT
  tail -40 "$side_log" >&2
  echo "test: the sanitizer build failed (log: $side_log)" >&2
  exit 1
fi
trap - EXIT
side_done=$(date +%s)
bash scripts/sanitize.sh
FUZZ_JOBS="$(nproc)" bash scripts/fuzz.sh 15
echo "test: sanitizer and fuzz passes took $(( $(date +%s) - side_done )) s after the tests;" \
  "$(( $(date +%s) - started )) s in all"
