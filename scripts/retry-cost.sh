#!/usr/bin/env bash
# Round time of voka-host against voka-sim at 9600 baud (paced), without and
# with one damaged answer (bad checksum on the DC analog answer) per round:
# the fault should cost one retry of that command, not a restarted round.
# Usage: scripts/retry-cost.sh [build-dir]   (default build/release, else build/debug)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require python3:python3
build=${1:-build/release}
[ -x "$build/voka-host" ] || build=build/debug
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

run() {  # $1: name, $2: faults JSON
    echo "{\"equipment\": {\"baud_rate\": 9600}, \"faults\": $2}" >"$work/$1.json"
    "$build/voka-sim" "$work/$1.json" >"$work/$1.sim" 2>&1 &
    local port=""
    for _ in $(seq 50); do port=$(sed -n 's/^voka-sim: listening on //p' "$work/$1.sim"); [ -n "$port" ] && break; sleep 0.1; done
    cat >"$work/$1.site.json" <<SITE
{"power_systems": [{"name": "$1", "data_id": 1, "port": "$port", "baud_rate": 9600, "answer_timeout_ms": 500,
  "poll_interval_ms": 0, "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}]}
SITE
    "$build/voka-host" "$work/$1.site.json" --json --rounds 10 --db "$work/$1.db" 2>/dev/null |
        python3 -c '
import json, sys
rounds = [e for e in map(json.loads, sys.stdin) if e["event"] == "round"]
done = [r["duration_ms"] for r in rounds if r["complete"]]
print(f"{sys.argv[1]:>16}: {len(done)} complete rounds of {len(rounds)}, mean {sum(done)/len(done):.1f} ms, "
      f"min {min(done):.1f} ms, max {max(done):.1f} ms")' "$1"
    kill %1 2>/dev/null || true
    wait 2>/dev/null || true
}

run clean '[]'
run damaged '[{"kind": "bad_checksum", "cid1": "0x42", "cid2": "0x42", "answers": 1}]'
