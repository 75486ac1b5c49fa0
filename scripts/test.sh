#!/usr/bin/env bash
# The one test command: installs dependencies, builds, runs every test, then the unit tests under
# AddressSanitizer+UBSan and a short pass of every fuzz target (15 s each, on its seed corpus).
# Non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 600
started=$(date +%s)
bash scripts/sanitize.sh
FUZZ_JOBS="$(nproc)" bash scripts/fuzz.sh 15
echo "test: sanitizer and fuzz passes took $(( $(date +%s) - started )) s"
