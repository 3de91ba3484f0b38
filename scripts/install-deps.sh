#!/usr/bin/env bash
# Installs every Debian package that building, testing and packaging the
# project needs. Idempotent; run as root on Debian 12.
#
# Usage: scripts/install-deps.sh [--armhf]
#   --armhf (or VOKA_ARMHF=1) also installs the 32-bit ARM hard-float cross
#   toolchain, the armhf -dev packages through multiarch and the qemu user-mode
#   emulator that runs the armhf tests.
set -euo pipefail

armhf=${VOKA_ARMHF:-0}
for arg in "$@"; do
  case "$arg" in
    --armhf) armhf=1 ;;
    *) echo "usage: $0 [--armhf]" >&2; exit 2 ;;
  esac
done

packages=(
  g++ cmake ninja-build pkg-config
  libboost-dev libboost-date-time-dev
  libjsoncpp-dev libfmt-dev libsqlite3-dev
  libcli11-dev              # voka-host's command line (header-only, architecture-independent)
  libmosquitto-dev          # voka-host's MQTT publisher
  libssl-dev                # libcrypto: voka-host reads the MQTT TLS files as libmosquitto will
  mosquitto mosquitto-clients openssl   # the MQTT tests: a real broker, mosquitto_passwd, certificates
  libgtest-dev libgmock-dev
  libbenchmark-dev          # voka_bench, run by hand
  clang libclang-rt-14-dev   # libFuzzer and the sanitizer runtimes for the fuzz targets
  dpkg-dev file              # cpack's DEB generator: dpkg-shlibdeps, and file to find the ELF objects
  sqlite3 time               # scripts/history-read.sh: fills large databases, measures peak memory
  systemd                    # systemd-analyze verify: the service's unit checked by the tests and the package
  libjs-chart.js             # the live page's chart library, served from its Debian path
  chromium chromium-driver python3-selenium   # the live page tested in a real browser
  libmicrohttpd-dev          # voka-host's HTTP server (GNU libmicrohttpd, with GnuTLS)
  libgnutls28-dev            # GnuTLS: the HTTPS certificate and key checked at start
  curl                       # the HTTPS tests: a client over TLS
  libcrypt-dev               # crypt_r: the password hashes of HTTP basic authentication
  prometheus                 # the HTTP tests: promtool check metrics, and a real server scraping voka-host
  python3                    # scripts/scrape-cost.sh drives voka-host and scrapes it
)

if [[ $armhf == 1 ]]; then
  # Multiarch: the armhf libraries install beside the native ones.
  dpkg --print-foreign-architectures | grep -qx armhf || { dpkg --add-architecture armhf; apt_stale=1; }
  packages+=(
    crossbuild-essential-armhf   # arm-linux-gnueabihf-g++ 12 and binutils
    qemu-user                    # qemu-arm, named explicitly as the tests' emulator
    libboost-dev:armhf libboost-date-time-dev:armhf
    libjsoncpp-dev:armhf libfmt-dev:armhf
    libgtest-dev:armhf libgmock-dev:armhf
    libsqlite3-dev:armhf
    libmicrohttpd-dev:armhf libgnutls28-dev:armhf libcrypt-dev:armhf
    libmosquitto-dev:armhf libssl-dev:armhf
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# A mirror caught mid-sync serves an index that does not match its Release
# file for a while; a few minutes later it does. Retried, not ignored: a
# missing index would install mismatched versions across architectures.
update_indexes() {
  local try
  for try in 1 2 3 4 5 6; do
    apt-get update -qq && return 0
    echo "install-deps: apt-get update failed (try $try of 6); again in 60 s" >&2
    sleep 60
  done
  return 1
}

if ((${#missing[@]})) || [[ ${apt_stale:-0} == 1 ]]; then
  export DEBIAN_FRONTEND=noninteractive
  update_indexes
fi
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
