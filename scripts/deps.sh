#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test AM. Idempotent: does nothing
# when every package is already there.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config zlib1g-dev libssl-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          chromium
          python3-aiosmtpd prosody python3-slixmpp openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
