#!/usr/bin/env bash
# The one test command: installs dependencies, builds and runs every test; then the unit tests
# again with address and undefined-behaviour checks, and every fuzz target for 15 s on its seeds.
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
