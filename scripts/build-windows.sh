#!/usr/bin/env bash
# Cross-builds the Windows programs (am.exe, amctl.exe, demo-agent.exe) and the unit tests into
# build-win/ with mingw-w64, runs the unit tests under wine, then the end-to-end smoke test
# (tests/windows/smoke.sh). --build-only stops after the build; --no-smoke skips the smoke test.
# Installs what it needs first, the way scripts/deps.sh does.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
smoke=1; run=1
for a in "$@"; do
  case "$a" in
    --build-only) run=0; smoke=0 ;;
    --no-smoke) smoke=0 ;;
    *) echo "build-windows: unknown option $a" >&2; exit 2 ;;
  esac
done
# The cross compilers, the target's zlib, GoogleTest's sources and wine (64-bit; the 32-bit
# compilers too where this machine runs 32-bit programs).
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
          libz-mingw-w64-dev googletest wine wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "build-windows: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "build-windows: not root and no sudo: install ${missing[*]}" >&2; exit 1; }
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# 32-bit Windows, as the manager's users run it, when this machine can run 32-bit wine; the
# 64-bit target otherwise (a kernel without 32-bit program support cannot run wine32).
toolchain=cmake/mingw-x86_64.cmake
if command -v i686-w64-mingw32-g++-posix >/dev/null && [ -x /usr/lib/wine/wine ] &&
   /usr/lib/wine/wine --version >/dev/null 2>&1; then
  toolchain=cmake/mingw-i686.cmake
fi
echo "build-windows: toolchain $toolchain"

dir=build-win
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" -DAM_TESTS=ON >/dev/null
cmake --build "$dir" -j2 --target am amctl demo-agent all
[ "$run" = 1 ] || exit 0

# A private, headless wine: its prefix inside the build tree, no debug chatter, no display.
export WINEPREFIX="$root/$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w
fi
ctest --test-dir "$dir" -L unit --output-on-failure -j2 --timeout 300
[ "$smoke" = 1 ] || exit 0
bash tests/windows/smoke.sh "$dir"
