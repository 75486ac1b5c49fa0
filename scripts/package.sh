#!/usr/bin/env bash
# Builds AM and makes its Debian package into build/package/ (am_<version>_<arch>.deb):
# /opt/am/am, /usr/bin/amctl, the systemd unit dvx_am.service, man pages am(1) and amctl(1), bash
# completion for amctl. Install it with "dpkg -i", then "systemctl enable --now dvx_am".
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
bash scripts/build.sh
cpack --config build/CPackConfig.cmake -B build/package
ls build/package/*.deb
