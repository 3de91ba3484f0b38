#!/usr/bin/env bash
# What a plot of a week costs: fills a database with 7 days of the bundled
# example site's devices stored every round (one row per device every STEP
# seconds: 5 is the default poll interval, 1 the example's), serves it with
# voka-host and times /api/v1/history?...&since=7d&points=1000 for the DC
# device and the rectifier device (the largest image), as the page asks,
# with curl. Prints, per step and device: rows in the range, wall time of
# the answer, buckets and series in it. Each request is made 3 times; the
# best and worst are shown.
#
# Usage: scripts/history-reduce.sh [-b BUILD_DIR] [STEP_S...]   (default: build/release 5 1)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
source scripts/lib/host_under_test.sh
require sqlite3:sqlite3 curl:curl jq:jq
host_under_test "$@"
steps=("${args[@]}")
((${#steps[@]})) || steps=(5 1)
server=
trap '[[ -n $server ]] && kill -TERM "$server" 2>/dev/null; rm -rf "$dir"' EXIT

# The bundled example site with no row bound (under the default 50,000 rows
# a device the server would spend the measurement trimming the filled week),
# and rounds ten minutes apart: the server's first round ends before the
# measurement and its writes stay out of the figures.
cat >"$dir/site.json" <<SITE
{"history": {"max_rows_per_device": 0}, "power_systems": [{"name": "example", "data_id": 1,
  "scenario": "$PWD/simulator/scenarios/example-site.json", "poll_interval_ms": 600000,
  "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}]}
SITE
# One real round gives the schema and one image of each device.
"$host" "$dir/site.json" --rounds 1 --db "$dir/seed.db" >/dev/null 2>&1
for step in "${steps[@]}"; do
    db=$dir/$step.db
    cp "$dir/seed.db" "$db"
    now=$(date +%s)
    n=$((7 * 86400 / step))
    # Each device's first image, repeated every STEP s over the week up to now.
    sqlite3 "$db" "
        WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < $n)
        INSERT INTO history (data_id, record_type, device_type, time, image)
        SELECT h.data_id, h.record_type, h.device_type, $now - $step * ($n - k.i), h.image
        FROM k, (SELECT * FROM history WHERE row IN (SELECT min(row) FROM history GROUP BY data_id)) AS h;"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    "$host" "$dir/site.json" --db "$db" --listen "127.0.0.1:$port" >"$dir/server.out" 2>&1 &
    server=$!
    # Measured once the server has opened the database and ended a round.
    for _ in $(seq 100); do
        [[ $(curl -sf "http://127.0.0.1:$port/api/v1/state" | jq '.systems[0].rounds' 2>/dev/null) -ge 1 ]] && break
        sleep 0.1
    done
    for device in "21 v,i" "1 current"; do
        read -r id values <<<"$device"
        rows=$(sqlite3 "$db" "SELECT count(*) FROM history WHERE data_id = $id AND time >= $now - 7 * 86400")
        url="http://127.0.0.1:$port/api/v1/history?data_id=$id&since=7d&points=1000&values=$values"
        times=()
        for _ in 1 2 3; do
            times+=("$(curl -sS --fail-with-body -o "$dir/answer.json" -w '%{time_total}' "$url" || { head -c 300 "$dir/answer.json" >&2; exit 1; })")
        done
        sorted=$(printf '%s\n' "${times[@]}" | sort -n)
        printf 'every %d s, data id %-2s: %7d rows in 7 days -> %4d buckets, %d series; answered in %s s (best) to %s s (worst)\n' \
            "$step" "$id" "$rows" "$(jq '.times | length' "$dir/answer.json")" "$(jq '.series | length' "$dir/answer.json")" \
            "$(head -1 <<<"$sorted")" "$(tail -1 <<<"$sorted")"
    done
    kill -TERM "$server"
    wait "$server" || true
    server=
done
