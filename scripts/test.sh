#!/usr/bin/env bash
# The one test command: installs dependencies, builds, runs every test. Non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 600
