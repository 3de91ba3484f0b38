#!/usr/bin/env bash
# Checks a systemd unit with systemd-analyze verify, as systemd would load it,
# without a running systemd: any warning (a misspelt key, a bad value) fails
# too. The unit's /usr/bin/voka-host is taken from PROGRAM (a build's), since
# verify wants every command it runs to exist.
# Usage: scripts/verify-unit.sh UNIT [PROGRAM]
set -euo pipefail
unit=$1
program=${2:-/usr/bin/voka-host}
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing (Debian package systemd)" >&2; exit 1; }
[ -x "$program" ] || { echo "$program is not an executable program" >&2; exit 1; }
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
sed "s|/usr/bin/voka-host|$(realpath "$program")|g" "$unit" >"$dir/$(basename "$unit")"
output=$(systemd-analyze verify "$dir/$(basename "$unit")" 2>&1) || { echo "$output" >&2; exit 1; }
[ -z "$output" ] || { echo "$output" >&2; exit 1; }
echo "$(basename "$unit"): accepted by systemd-analyze verify"
