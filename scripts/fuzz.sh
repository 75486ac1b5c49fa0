#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan; build-fuzz/) and runs each for SECONDS
# (default 60) on a working corpus outside the tree, build-fuzz/corpus/<target>, which starts
# from the checked-in seeds (tests/fuzz/corpus/<target>) and keeps what earlier runs found.
# Prints per target the executions, the new corpus entries and the crashes (with the file that
# reproduces each: run the target on it). Non-zero exit on any crash, leak, timeout or
# sanitizer report. FUZZ_TARGETS="a b" runs only those (in that order); FUZZ_JOBS=2 runs two at a
# time; FUZZ_RUNS=N ends a target after N executions when that comes before SECONDS;
# FUZZ_TIMEOUT=S (default 20) is the wall-clock time one input may take before it counts as a
# hang: raise it for a long run at low priority beside other work, which can leave a target
# without a processor for longer than that.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case "$seconds" in ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2;; esac
bash scripts/build.sh --asan --target fuzz_targets >/dev/null

out=build-fuzz
targets=${FUZZ_TARGETS:-$(cd tests/fuzz && ls *_fuzz.cc | sed 's/_fuzz\.cc$//')}
jobs=${FUZZ_JOBS:-1}

# The longest input of each target: the caps its real caller applies, or a little beyond them.
max_len() {
  case "$1" in
    amp_datagram|amp_telemetry|client_reader|tagged_reader|zip) echo 65536 ;;
    command_line|http_request|password_store|settings) echo 16384 ;;
    schedule) echo 6000 ;;
    *) echo 4096 ;;
  esac
}
dict_of() {
  case "$1" in
    tagged_reader|client_reader) echo tests/fuzz/dict/tagged.dict ;;
    amp_*) echo tests/fuzz/dict/amp.dict ;;
    *) [ -f "tests/fuzz/dict/$1.dict" ] && echo "tests/fuzz/dict/$1.dict" ;;
  esac
  return 0
}

run_one() {
  local t=$1 corpus=$out/corpus/$1 crashes=$out/crashes/$1 log=$out/logs/$1.log
  mkdir -p "$corpus" "$crashes" "$out/logs"
  cp -n tests/fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  local dict; dict=$(dict_of "$t")
  local rc=0
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$out/fuzz/${t}_fuzz" "$corpus" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
      ${FUZZ_RUNS:+-runs="$FUZZ_RUNS"} -timeout="${FUZZ_TIMEOUT:-20}" -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" \
      ${dict:+-dict="$dict"} >"$log" 2>&1 || rc=$?
  local execs; execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  local added; added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)
  # A slow unit (over 10 s on a busy machine) is kept to look at, but fails nothing: a hang
  # past -timeout ends the run with its own artifact.
  local found; found=$(grep -ho "Test unit written to [^ ]*" "$log" | sed 's/Test unit written to //' | grep -v '/slow-unit-' || true)
  local slow; slow=$(grep -ho "Test unit written to [^ ]*/slow-unit-[^ ]*" "$log" | sed 's/Test unit written to //' || true)
  [ -n "$slow" ] && echo "  $t: slow input kept (not a failure): $slow"
  printf '%-16s executions %-10s new entries %-5s crashes %s\n' "$t" "${execs:-?}" \
    "${added:-?}" "$( [ -n "$found" ] && echo "$(echo "$found" | wc -l): $found" || echo 0)"
  if [ "$rc" -ne 0 ] || [ -n "$found" ]; then
    echo "  $t failed (exit $rc), log: $log" >&2
    grep -m3 -E "ERROR: |SUMMARY: |fuzz property broken" "$log" | sed 's/^/  /' >&2 || true
    return 1
  fi
}

failed=0
pids=()
for t in $targets; do
  if [ ! -x "$out/fuzz/${t}_fuzz" ]; then echo "fuzz: no target $t" >&2; failed=1; continue; fi
  run_one "$t" &
  pids+=($!)
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
[ "$failed" -eq 0 ] && echo "fuzz: no crash in $seconds s per target" || echo "fuzz: FAILED" >&2
exit "$failed"
