#!/usr/bin/env bash
# Runs the Windows build of scripts/build-windows.sh under wine: the unit test program, then the
# end-to-end smoke test (tests/windows/smoke.sh). Non-zero when either fails; wine's server is
# ended at the exit whatever happened. Prints its wall time.
# Usage: tests/windows/run.sh [build-win]
set -uo pipefail
cd "$(dirname "$0")/../.."
dir=$(cd "${1:-build-win}" && pwd)
start=$SECONDS
# A private, headless wine: its prefix inside the build tree, no debug chatter, no display.
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
trap 'wineserver -k >/dev/null 2>&1 || true; echo "windows: ran in $((SECONDS - start)) s"' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w
fi
rc=0
ctest --test-dir "$dir" -L unit --output-on-failure --timeout 600 || rc=1
bash tests/windows/smoke.sh "$dir" || rc=1
[ "$rc" = 0 ] && echo "windows: unit tests and smoke test passed" || echo "windows: FAILED"
exit $rc
