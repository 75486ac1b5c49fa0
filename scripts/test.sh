#!/usr/bin/env bash
# The one test command: installs dependencies, builds and runs every test; then the unit tests
# again with address and undefined-behaviour checks, every fuzz target for 15 s on its seeds,
# and the Windows build's unit tests and smoke test under wine. Non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
bash scripts/deps.sh
bash scripts/build.sh

# The tests mostly wait on processes and sockets: the other builds run beside them at the
# lowest priority, one after the other, so they take only the processor time the tests leave:
# first the sanitizer build (its tests come next), then the Windows cross-build.
mkdir -p build-fuzz
side_log=build-fuzz/side-build.log
win_log=build-fuzz/windows-build.log
asan_done=build-fuzz/.side-sanitizer-built
rm -f "$asan_done"
# The side job has a session of its own (so it can be stopped as a group), and where the kernel
# groups processes by session for scheduling, the niceness counts only inside the group: the
# group itself is made the lowest priority too.
setsid nice -n 19 bash -c '
  echo 19 2>/dev/null >/proc/self/autogroup || true
  bash scripts/build.sh --asan --target unit_tests fuzz_targets >"$1" 2>&1 || exit 1
  touch "$3"
  bash scripts/build-windows.sh >"$2" 2>&1 || exit 2' _ "$side_log" "$win_log" "$asan_done" &
side=$!
stop_side() { kill -- "-$side" 2>/dev/null || true; wait "$side" 2>/dev/null || true; }
trap stop_side EXIT

ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 600
echo "test: build and tests took $(( $(date +%s) - started )) s"

# The sanitizer build: done once its mark is there; failed if the side job ended without it.
while [ ! -e "$asan_done" ]; do
  if ! kill -0 "$side" 2>/dev/null; then
    tail -40 "$side_log" >&2
    echo "test: the sanitizer build failed (log: $side_log)" >&2
    exit 1
  fi
  sleep 1
done
side_done=$(date +%s)
bash scripts/sanitize.sh
FUZZ_JOBS="$(nproc)" bash scripts/fuzz.sh 15
echo "test: sanitizer and fuzz passes took $(( $(date +%s) - side_done )) s after the tests"

windows_wait=$(date +%s)
if ! wait "$side"; then
  trap - EXIT
  tail -40 "$win_log" >&2
  echo "test: the Windows build failed (log: $win_log)" >&2
  exit 1
fi
trap - EXIT
echo "test: waited $(( $(date +%s) - windows_wait )) s for the Windows build"
bash tests/windows/run.sh build-win
echo "test: $(( $(date +%s) - started )) s in all"
