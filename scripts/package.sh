#!/usr/bin/env bash
# Builds a preset's Debian packages with cpack and inspects them: architecture,
# dependencies, where the plug-in lands, that the shipped voka.so is a
# stripped object for the package's machine, and voka-tools' service: its unit
# (accepted by systemd-analyze verify), its site file as a conffile, the
# chart library its page loads; and that no packaged file names the build or
# source folder. Prints the shipped object's size.
# Usage: scripts/package.sh [preset]   (default: release; armhf for ARM)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require cmake:cmake ninja:ninja-build cpack:cmake dpkg-architecture:dpkg-dev dpkg-shlibdeps:dpkg-dev readelf:binutils \
  python3:python3 systemd-analyze:systemd
preset=${1:-release}
build=build/$preset

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
rm -f "$build"/*.deb
cpack --preset "$preset" >"$build/cpack.log" || { cat "$build/cpack.log"; exit 1; }

case "$preset" in
  armhf) arch=armhf ;;
  *) arch=$(dpkg --print-architecture) ;;
esac
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
case "$arch" in
  armhf) elf_class=ELF32 machine=ARM ;;
  amd64) elf_class=ELF64 machine="Advanced Micro Devices X86-64" ;;
  *) echo "no machine to expect for $arch" >&2; exit 1 ;;
esac

passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what" >&2; fi
}
# Package names in a Depends field, versions dropped.
depends_names() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed -E 's/\(.*\)//; s/[[:space:]]//g' | sed '/^$/d' | sort; }
# Regular files and links in a package, without the leading '.'.
payload() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\.||' | sort; }

plugin_deb=$(ls "$build"/voka-plugin_*_"$arch".deb 2>/dev/null || true)
check "voka-plugin package for $arch built" test -n "$plugin_deb"
[ -n "$plugin_deb" ] || { echo "packages: $passed passed, $failed failed"; exit 1; }

plugin_path=/usr/lib/$multiarch/voka/plugins/voka.so
check "voka-plugin: Architecture $arch" test "$(dpkg-deb -f "$plugin_deb" Architecture)" = "$arch"
check "voka-plugin: Depends only on the C++ runtime (libc6, libgcc-s1, libstdc++6)" \
  test "$(depends_names "$plugin_deb" | tr '\n' ' ')" = "libc6 libgcc-s1 libstdc++6 "
check "voka-plugin: holds $plugin_path and nothing else" test "$(payload "$plugin_deb")" = "$plugin_path"

unpacked=$(mktemp -d); trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$plugin_deb" "$unpacked"
so=$unpacked$plugin_path
header=$(readelf -h "$so")
check "voka.so: $elf_class" grep -q "Class:[[:space:]]*$elf_class" <<<"$header"
check "voka.so: machine $machine" grep -q "Machine:[[:space:]]*$machine\$" <<<"$header"
if [ "$arch" = armhf ]; then
  check "voka.so: hard-float ABI flag" grep -q 'hard-float ABI' <<<"$header"
  check "voka.so: arguments in VFP registers" grep -q 'Tag_ABI_VFP_args: VFP registers' < <(readelf -A "$so")
fi
check "voka.so: stripped" bash -c '! readelf -S "$1" | grep -q "\.symtab"' _ "$so"
check "voka.so: no text relocations" bash -c '! readelf -d "$1" | grep -q TEXTREL' _ "$so"
check "voka.so: get_providers the one export" \
  test "$(readelf --dyn-syms -W "$so" | awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") {print $8}')" = get_providers

tools_deb=$(ls "$build"/voka-tools_*_"$arch".deb 2>/dev/null || true)
if [ -n "$tools_deb" ]; then
  check "voka-tools: Architecture $arch" test "$(dpkg-deb -f "$tools_deb" Architecture)" = "$arch"
  check "voka-tools: programs in /usr/bin, bundled files in /usr/share/voka, the unit and the site file, nothing else" \
    bash -c '! grep -qvx -e "/usr/bin/.*" -e "/usr/share/voka/.*" -e /lib/systemd/system/voka-host.service \
      -e /etc/voka/site.json <<<"$1"' _ "$(payload "$tools_deb")"
  check "voka-tools: holds voka-host and voka-sim" \
    bash -c 'grep -qx /usr/bin/voka-host <<<"$1" && grep -qx /usr/bin/voka-sim <<<"$1"' _ "$(payload "$tools_deb")"
  check "voka-tools: holds the example scenario voka-host runs by default" \
    bash -c 'grep -qx /usr/share/voka/simulator/scenarios/example-site.json <<<"$1"' _ "$(payload "$tools_deb")"
  check "voka-tools: Depends from its programs' libraries" test -n "$(depends_names "$tools_deb")"
  check "voka-tools: Depends on libjs-chart.js, the chart library of its page" \
    grep -qx libjs-chart.js < <(depends_names "$tools_deb")
  check "voka-tools: holds the alerting rules for Prometheus" \
    bash -c 'grep -qx /usr/share/voka/prometheus/voka-alerts.yml <<<"$1"' _ "$(payload "$tools_deb")"
  check "voka-tools: holds the service's unit and site file" \
    bash -c 'grep -qx /lib/systemd/system/voka-host.service <<<"$1" && grep -qx /etc/voka/site.json <<<"$1"' \
    _ "$(payload "$tools_deb")"
  check "voka-tools: /etc/voka/site.json is its one conffile" \
    test "$(dpkg-deb --info "$tools_deb" conffiles 2>/dev/null)" = /etc/voka/site.json
  tools_dir=$(mktemp -d); trap 'rm -rf "$unpacked" "$tools_dir"' EXIT
  dpkg-deb -x "$tools_deb" "$tools_dir"
  unit=$tools_dir/lib/systemd/system/voka-host.service
  check "voka-host.service: runs /usr/bin/voka-host on /etc/voka/site.json" \
    grep -qx 'ExecStart=/usr/bin/voka-host /etc/voka/site.json --db /var/lib/voka/history.db' "$unit"
  check "voka-host.service: systemd-analyze verify accepts it" \
    scripts/verify-unit.sh "$unit" "$tools_dir/usr/bin/voka-host"
  check "voka-host.service: the site file is JSON naming power systems" \
    python3 -c 'import json, sys; assert json.load(open(sys.argv[1]))["power_systems"]' "$tools_dir/etc/voka/site.json"
fi

# No packaged file may name the trees it was built from: an installed program
# must never look there (whoever can write there would run their code in it).
source_dir=$(pwd -P)
build_dir=$(cd "$build" && pwd -P)
naming_build_trees() {  # naming_build_trees DIR...: the files whose bytes hold either path
  grep -rlaF -e "$source_dir" -e "$build_dir" -e "$PWD" "$@" || true
}
# (Printed with >&2, not tee /dev/stderr: opening that path truncates a log file
# the output is redirected to.)
naming=$(naming_build_trees "$unpacked" ${tools_dir:+"$tools_dir"})
[ -z "$naming" ] || echo "$naming" >&2
check "no packaged file names $build_dir or $source_dir" test -z "$naming"

for deb in "$plugin_deb" $tools_deb; do
  echo "== $deb"
  dpkg-deb -f "$deb" Package Version Architecture Depends Recommends
done
echo "voka.so as shipped ($arch, stripped): $(stat -c %s "$so") bytes at $plugin_path"
echo "packages: $passed passed, $failed failed"
((failed == 0))
