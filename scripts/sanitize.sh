#!/usr/bin/env bash
# The unit tests under AddressSanitizer and UBSan: builds the libraries, the unit tests and the
# fuzz targets with clang into build-fuzz/ (scripts/build.sh --asan; no end-to-end tests, no
# benchmarks) and runs every test labelled "unit" there. Any sanitizer report (leaks included)
# fails its test. Extra arguments go to ctest (e.g. -R zip).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh --asan --target unit_tests fuzz_targets
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build-fuzz -L unit --output-on-failure -j "$(nproc)" --timeout 600 "$@"
