#!/usr/bin/env bash
# What publishing to an MQTT broker costs, measured in one run:
#   - messages and bytes (topic + payload) the broker gets per round for the
#     example site, and once per connection (status, Home Assistant discovery);
#   - voka-host's polling round time (its own duration_ms of complete rounds)
#     and its CPU time per round, with publishing against without, the runs
#     alternating so that both see the same machine.
# The example site runs on the embedded simulator at 115200 baud rather than
# its 9600, so that line time does not hide the host's own.
# Needs mosquitto, mosquitto-clients and jq (scripts/install-deps.sh).
# Usage: scripts/mqtt-cost.sh [rounds per run, default 100] [runs each, default 3] [preset, default release]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require cmake:cmake ninja:ninja-build /usr/sbin/mosquitto:mosquitto mosquitto_sub:mosquitto-clients jq:jq \
  /usr/bin/time:time
rounds=${1:-100}
runs=${2:-3}
preset=${3:-release}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
cmake --preset "$preset" >/dev/null
nice cmake --build --preset "$preset" --target voka-host voka >/dev/null
host=$PWD/build/$preset/voka-host
out=$(mktemp -d)
broker_pid='' sub_pid=''
trap 'kill $sub_pid $broker_pid 2>/dev/null || true; rm -rf "$out"' EXIT

port=$((20000 + RANDOM % 30000))
{ echo "listener $port 127.0.0.1"; echo "allow_anonymous true"; [[ $EUID == 0 ]] && echo "user root"; } >"$out/broker.conf"
/usr/sbin/mosquitto -c "$out/broker.conf" 2>"$out/broker.log" &
broker_pid=$!
sleep 0.5
mosquitto_sub -p "$port" -t 'voka/#' -t 'homeassistant/#' -F '%t %l' >"$out/sub.txt" &
sub_pid=$!
sleep 0.3

jq '.equipment.baud_rate = 115200' simulator/scenarios/example-site.json >"$out/s.json"
system='{"name": "example", "data_id": 1, "scenario": "s.json", "poll_interval_ms": 0,
  "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}'
echo "{\"power_systems\": [$system]}" >"$out/plain.json"
echo "{\"mqtt\": {\"host\": \"127.0.0.1\", \"port\": $port, \"site\": \"bench\"}, \"power_systems\": [$system]}" \
  >"$out/mqtt.json"

run() {  # site, run number: rounds' durations to $out/<site><n>.ms, CPU seconds to $out/<site><n>.cpu
  /usr/bin/time -f '%U %S' -o "$out/$1$2.time" "$host" "$out/$1.json" --json --rounds "$rounds" --db "$out/$1$2.db" |
    jq -r 'select(.event == "round" and .complete) | .duration_ms' >"$out/$1$2.ms"
  awk '{print $1 + $2}' "$out/$1$2.time" >"$out/$1$2.cpu"
}
for n in $(seq "$runs"); do
  run plain "$n"
  run mqtt "$n"
done
sleep 0.5
kill "$sub_pid"

mean() { cat "$@" | awk '{s += $1; n++} END {printf "%.3f", s / n}'; }
plain_ms=$(mean "$out"/plain*.ms)
mqtt_ms=$(mean "$out"/mqtt*.ms)
plain_cpu=$(cat "$out"/plain*.cpu | awk -v r=$((rounds * runs)) '{s += $1} END {printf "%.3f", s * 1000 / r}')
mqtt_cpu=$(cat "$out"/mqtt*.cpu | awk -v r=$((rounds * runs)) '{s += $1} END {printf "%.3f", s * 1000 / r}')
total_rounds=$((rounds * runs))

echo "Example site, $runs runs of $rounds rounds each way, alternating ($preset build):"
awk -v r="$total_rounds" -v c="$runs" '
  { bytes = length($1) + $2 }
  $1 ~ /^homeassistant\// { dm++; db += bytes; next }
  $1 ~ /\/status$/        { sm++; sb += bytes; next }
  $1 ~ /\/state$/         { tm++; tb += bytes; next }
                          { am++; ab += bytes }
  END {
    printf "  per round:      %.2f messages, %.0f bytes (states %.2f / %.0f B; alarms and alarm events %.2f / %.0f B)\n",
      (tm + am) / r, (tb + ab) / r, tm / r, tb / r, am / r, ab / r
    printf "  per connection: %.0f discovery messages (%.0f B), %.0f status messages (%.0f B)\n",
      dm / c, db / c, sm / c, sb / c
  }' "$out/sub.txt"
echo "  round time:     ${plain_ms} ms without publishing, ${mqtt_ms} ms with; ratio $(awk -v a="$mqtt_ms" -v b="$plain_ms" 'BEGIN {printf "%.4f", a / b}')"
echo "  CPU per round:  ${plain_cpu} ms without, ${mqtt_cpu} ms with (whole process: user + system)"
