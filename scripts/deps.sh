#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks. "deps.sh run": only what building and running AM
# needs (the demo); without an argument also what the tests use. Idempotent: does nothing when
# every package is already there. Installs as root, through sudo otherwise.
set -euo pipefail
run=(cmake ninja-build g++ pkg-config zlib1g-dev libssl-dev libkrb5-dev)
tests=(libgtest-dev libgmock-dev libbenchmark-dev
       chromium
       python3-aiosmtpd prosody python3-slixmpp openssl man-db python3-prometheus-client
       krb5-kdc krb5-admin-server krb5-user
       clang libclang-rt-14-dev
       g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest wine wine64)
packages=("${run[@]}")
[ "${1:-}" = "run" ] || packages+=("${tests[@]}")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "deps: not root and no sudo here: install these packages as root: ${missing[*]}" >&2
      exit 1
    fi
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
