#!/usr/bin/env bash
# Installs every Debian package that building and testing the project needs.
# Idempotent; run as root on Debian 12. Usage: scripts/install-deps.sh
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libboost-dev libboost-date-time-dev
  libjsoncpp-dev libfmt-dev libsqlite3-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev   # libFuzzer and the sanitizer runtimes for the fuzz targets
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
