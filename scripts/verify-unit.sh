#!/usr/bin/env bash
# Checks a systemd unit with systemd-analyze verify, as systemd would load it,
# without a running systemd: any warning (a misspelt key, a bad value) fails
# too. verify wants every command a unit runs to exist, so the unit's
# /usr/bin/voka-host is replaced by PROGRAM.
# Usage: scripts/verify-unit.sh UNIT [PROGRAM]
#   UNIT     the unit file, e.g. service/voka-host.service
#   PROGRAM  the voka-host to stand for /usr/bin/voka-host; default the
#            installed one, else build/release's, else build/debug's
set -euo pipefail
(($# == 1 || $# == 2)) || { sed -n 6,9p "$0" >&2; exit 2; }
unit=$1
if (($# == 2)); then
  program=$2
else
  root=$(dirname "$0")/..
  for program in /usr/bin/voka-host "$root/build/release/voka-host" "$root/build/debug/voka-host"; do
    [ -x "$program" ] && break
  done
fi
source "$(dirname "$0")/lib/require.sh"
require systemd-analyze:systemd
[ -x "$program" ] || { echo "$program is not an executable program: build voka-host (scripts/run.sh, or" \
  "cmake --build --preset release --target voka-host) or name one: $0 UNIT PROGRAM" >&2; exit 1; }
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
sed "s|/usr/bin/voka-host|$(realpath "$program")|g" "$unit" >"$dir/$(basename "$unit")"
output=$(systemd-analyze verify "$dir/$(basename "$unit")" 2>&1) || { echo "$output" >&2; exit 1; }
[ -z "$output" ] || { echo "$output" >&2; exit 1; }
echo "$(basename "$unit"): accepted by systemd-analyze verify"
