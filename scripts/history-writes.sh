#!/usr/bin/env bash
# Bytes voka-host writes to disk: runs a site of N power systems on the
# embedded simulator (each the bundled example: one AC, one DC device, the
# rectifiers) for a while, reads the process's write_bytes from
# /proc/<pid>/io just before stopping it, and reports them per round and per
# day for each power system.
#
# Usage: scripts/history-writes.sh [-n SYSTEMS] [-s SECONDS] [-w WARMUP] [-p POLL_MS] [-b BUILD_DIR] [-x HISTORY_JSON] [-q]
#   -n 1       power systems in the site
#   -s 300     how long to measure
#   -w 0       seconds run before measuring (leaves out the database's creation
#              and the example scenario's alarm changes of its first rounds)
#   -p 5000    poll interval of every power system (ms)
#   -b build/release   where voka-host and voka.so are
#   -x ''      extra members of the site's "history" object, e.g. '"interval_s": 0'
#   -q         a quiet site: the example's equipment without its scenario's
#              changes and faults, so no alarm ever starts (read with jq)
# The database lives in a fresh folder on the disk that holds the project
# (write_bytes counts nothing on tmpfs); the figure is read before the stop,
# so it leaves out the final store and checkpoint of a clean stop.
set -euo pipefail
cd "$(dirname "$0")/.."
systems=1 seconds=300 warmup=0 poll=5000 build=build/release extra='' quiet=0
while getopts n:s:w:p:b:x:q opt; do
    case $opt in
        n) systems=$OPTARG ;; s) seconds=$OPTARG ;; w) warmup=$OPTARG ;; p) poll=$OPTARG ;; b) build=$OPTARG ;;
        x) extra=$OPTARG ;; q) quiet=1 ;; *) sed -n 9,20p "$0"; exit 2 ;;
    esac
done
host=$build/voka-host
[[ -x $host ]] || { echo "no $host: build it first (cmake --build --preset release --target voka-host voka)" >&2; exit 1; }
dir=$(mktemp -d "$PWD/build/history-writes.XXXXXX")
trap 'rm -rf "$dir"' EXIT
scenario=$PWD/simulator/scenarios/example-site.json
if ((quiet)); then
    jq '.changes = [] | .faults = []' "$scenario" >"$dir/quiet-site.json"
    scenario=$dir/quiet-site.json
fi

{
    printf '{"history": {"database": "%s/h.db"%s}, "power_systems": [' "$dir" "${extra:+, $extra}"
    for ((i = 1; i <= systems; ++i)); do
        ((i > 1)) && printf ','
        printf '{"name": "ps%d", "data_id": %d, "scenario": "%s", "poll_interval_ms": %d,' "$i" "$((i * 100))" "$scenario" "$poll"
        printf ' "acSetting": [{"data_id": %d}], "dcSetting": [{"data_id": %d}], "rcSetting": {}}' "$((i * 100 + 11))" "$((i * 100 + 21))"
    done
    printf ']}\n'
} >"$dir/site.json"

# The view goes through a pipe, not a file, so that write_bytes counts the database alone.
mkfifo "$dir/events"
grep --line-buffered '"event":"round"' <"$dir/events" | grep --line-buffered '"complete":true' >"$dir/rounds" &
counter=$!
"$host" "$dir/site.json" --json >"$dir/events" 2>"$dir/errors.txt" &
pid=$!
written_bytes() { awk '/^write_bytes:/ {print $2}' "/proc/$pid/io"; }
sleep "$warmup"
written_before=$(written_bytes)
rounds_before=$(wc -l <"$dir/rounds")
sleep "$seconds"
written=$(($(written_bytes) - written_before))
rounds=$(($(wc -l <"$dir/rounds") - rounds_before))
kill -TERM "$pid"
wait "$pid" || true
wait "$counter" || true
awk -v w="$written" -v wu="$warmup" -v r="$rounds" -v n="$systems" -v s="$seconds" -v p="$poll" 'BEGIN {
    printf "write_bytes %d\n", w
    if (r == 0) { print "no complete rounds: see the errors"; exit 1 }
    printf "power systems %d, poll interval %d ms, %d s after %d s: %d complete rounds (%.1f per system)\n", n, p, s, wu, r, r / n
    printf "%.0f bytes per round per power system\n", w / r
    printf "per day and power system at this rate: %.1f MB\n", w / n * 86400 / s / 1e6
}'
echo "errors (first lines):"; head -3 "$dir/errors.txt"
