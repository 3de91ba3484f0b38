#!/usr/bin/env bash
# The project for 32-bit ARM hard-float Linux (armhf) in one command: installs
# the cross toolchain, the armhf libraries and qemu-arm (scripts/install-deps.sh
# --armhf), cross-builds with the armhf preset, runs the whole suite under
# qemu-arm, then builds and inspects the armhf packages.
# Usage: scripts/test-armhf.sh   (as root on Debian 12)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --armhf
start=$SECONDS
bash scripts/test.sh armhf
tested=$SECONDS
bash scripts/package.sh armhf
echo "armhf: built and tested under qemu-arm in $((tested - start)) s, packaged in $((SECONDS - tested)) s"
