#!/usr/bin/env bash
# Installs every Debian package that building, testing and packaging the
# project needs, and what every script in scripts/ runs. Idempotent; run as
# root on Debian 12.
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
  valgrind jq               # scripts/round-cost.sh: callgrind; it and scripts/mqtt-cost.sh read JSON with jq
  clang libclang-rt-14-dev   # libFuzzer and the sanitizer runtimes for the fuzz targets
  dpkg-dev file              # cpack's DEB generator: dpkg-shlibdeps, and file to find the ELF objects
  binutils                   # scripts/package.sh: readelf inspects the shipped objects
  sqlite3 time               # scripts/history-read.sh: fills large databases, measures peak memory
  systemd                    # systemd-analyze verify: the service's unit checked by the tests and the package
  libjs-chart.js             # the live page's chart library, served from its Debian path
  chromium chromium-driver python3-selenium   # the live page tested in a real browser
  libmicrohttpd-dev          # voka-host's HTTP server (GNU libmicrohttpd, with GnuTLS)
  libgnutls28-dev            # GnuTLS: the HTTPS certificate and key checked at start
  curl                       # the HTTPS tests: a client over TLS
  libcrypt-dev               # crypt_r: the password hashes of HTTP basic authentication
  prometheus                 # the HTTP tests: promtool check metrics, and a real server scraping voka-host
  prometheus-alertmanager    # the alerts' end-to-end test: a real Alertmanager delivering to a webhook
  python3-yaml               # the alerting rules' check that every alert has a unit test
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
# Once the native indexes are all good and only armhf ones keep failing (an
# archive's armhf index has been seen out of step with its Release for days),
# the armhf packages come from the indexes that are good: align_multiarch
# below keeps the two architectures' shared libraries at one version.
armhf_index_failed=0
update_indexes() {
  local try errors
  errors=$(mktemp)
  for try in 1 2 3 4 5 6; do
    if apt-get update -qq 2>"$errors"; then rm -f "$errors"; return 0; fi
    cat "$errors" >&2
    if [[ $armhf == 1 ]] && ((try >= 2)) && grep -q 'binary-armhf/' "$errors" \
        && ! grep -E '^(E|W): Failed to fetch' "$errors" | grep -qv 'binary-armhf/'; then
      echo "install-deps: only armhf indexes fail; armhf packages come from the indexes that are good" >&2
      armhf_index_failed=1
      rm -f "$errors"
      return 0
    fi
    echo "install-deps: apt-get update failed (try $try of 6); again in 60 s" >&2
    sleep 60
  done
  rm -f "$errors"
  return 1
}

# align_multiarch: prints NAME:amd64=V NAME:armhf=V for each shared library
# (Multi-Arch: same) the armhf packages need whose armhf version V, from the
# indexes that are good, is not the version the native side has or would
# upgrade to. Both copies of such a library must be one version; V is the one
# both architectures have.
align_multiarch() {
  local native deps name want have next
  native=$(dpkg --print-architecture)
  mapfile -t deps < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances "$@" 2>/dev/null | grep -E '^[a-z0-9][^ ]*:armhf$' | sort -u)
  for name in "${deps[@]}"; do
    name=${name%:armhf}
    want=$(apt-cache policy "$name:armhf" | awk '/Candidate:/ {print $2}')
    have=$(dpkg-query -W -f='${Version}' "$name:$native" 2>/dev/null) || have=
    next=$(apt-cache policy "$name:$native" | awk '/Candidate:/ {print $2}')
    [[ -n $want && $want != "(none)" && -n $next && $next != "(none)" ]] || continue
    [[ $want != "$next" || ( -n $have && $want != "$have" ) ]] || continue
    apt-cache show "$name:armhf=$want" | grep -qx 'Multi-Arch: same' || continue
    apt-cache madison "$name:$native" | awk -v v="$want" '$3 == v {found=1} END {exit !found}' || {
      echo "install-deps: $name has no $native version $want to match armhf's" >&2; return 1; }
    echo "$name:$native=$want $name:armhf=$want"
  done
}

if ((${#missing[@]})) || [[ ${apt_stale:-0} == 1 ]]; then
  export DEBIAN_FRONTEND=noninteractive
  update_indexes
fi
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  pinned=()
  if ((armhf_index_failed)); then
    mapfile -t armhf_missing < <(printf '%s\n' "${missing[@]}" | grep ':armhf$' || true)
    if ((${#armhf_missing[@]})); then
      pins=$(align_multiarch "${armhf_missing[@]}")
      read -ra pinned <<<"$(tr '\n' ' ' <<<"$pins")"
      ((${#pinned[@]} == 0)) || echo "install-deps: held at the armhf version for both architectures: ${pinned[*]}" >&2
    fi
  fi
  manual=$(apt-mark showmanual)
  apt-get install -y -qq --no-install-recommends ${pinned[@]:+--allow-downgrades} "${missing[@]}" "${pinned[@]}"
  # Naming a library to hold its version marks it installed by hand; one that
  # came in as a dependency stays one.
  for p in "${pinned[@]}"; do
    p=${p%%=*}
    grep -qxF "${p%:"$(dpkg --print-architecture)"}" <<<"$manual" || apt-mark auto "$p" >/dev/null
  done
fi
