#!/usr/bin/env bash
# What a fleet of sites costs the centre, and what each site costs its own
# controller, measured on the engines an operator runs: N voka-host processes
# (one power system each, the bundled example on the embedded simulator, HTTP
# and MQTT on), one mosquitto broker and one Prometheus that finds the sites
# through a file (file_sd_configs). Everything listens on free loopback ports
# and lives in a temporary folder removed on exit.
#
# After a warm-up it measures for SECONDS and then checks that every site's DC
# voltage is in Prometheus and every site's status is "online" at the broker
# (exit 1 naming the sites that are not). It prints, per site: resident memory,
# CPU per round (all threads, from /proc/PID/task/*/schedstat), messages and
# bytes (topic + payload) per round at the broker, Prometheus series and
# samples per scrape (and the bytes of one site's scrape); and for the whole: broker messages and bytes per second,
# Prometheus samples ingested per second, and the machine's load.
#
# A benchmark run by hand; ctest runs it shortened to one site for its checks.
# Usage: scripts/fleet.sh [-s SECONDS] [-w WARMUP] [-p POLL_MS] [-i SCRAPE_S] [-b BUILD_DIR] [-q] N
#   -s 120            how long to measure
#   -w 30             seconds from the last start to the measurement (discovery, first scrapes)
#   -p 1000           poll interval of every power system (ms)
#   -i 5              Prometheus scrape interval (s)
#   -b build/release  where voka-host and voka.so are (built when it is build/release)
#   -q                no per-site rows: the summary only
set -euo pipefail
export LC_ALL=C  # one collation for sort and join
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require prometheus:prometheus /usr/sbin/mosquitto:mosquitto mosquitto_sub:mosquitto-clients curl:curl jq:jq \
  python3:python3
seconds=120 warmup=30 poll=1000 scrape=5 build=build/release quiet=0
while getopts s:w:p:i:b:q opt; do
  case $opt in
    s) seconds=$OPTARG ;; w) warmup=$OPTARG ;; p) poll=$OPTARG ;; i) scrape=$OPTARG ;; b) build=$OPTARG ;;
    q) quiet=1 ;; *) sed -n 18,24p "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[[ $# == 1 && $1 =~ ^[1-9][0-9]*$ ]] || { sed -n 18,24p "$0"; exit 2; }
sites=$1
if [[ $build == build/release ]]; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  cmake --preset release >/dev/null
  nice cmake --build --preset release --target voka-host voka >/dev/null
fi
host=$(realpath -m "$build")/voka-host
[[ -x $host ]] || { echo "no $host: build it first" >&2; exit 1; }
scenario=$PWD/simulator/scenarios/example-site.json

dir=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT

# A port nobody listens on now (the kernel's choice, released at once).
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# Waits up to 10 s for the command after WHAT to pass.
await() {
  local what=$1; shift
  for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
  echo "fleet: $what did not come up" >&2
  exit 1
}

broker_port=$(free_port)
{ echo "listener $broker_port 127.0.0.1"; echo "allow_anonymous true"; echo "max_queued_messages 100000"
  [[ $EUID == 0 ]] && echo "user root"; } >"$dir/broker.conf"
/usr/sbin/mosquitto -c "$dir/broker.conf" 2>"$dir/broker.log" &
pids+=($!)
listening() { (echo >"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
await "mosquitto" listening "$broker_port"
# Every message the sites publish, one line each: receive time, topic, payload length.
mosquitto_sub -p "$broker_port" -t 'voka/#' -F '%U %t %l' >"$dir/messages" &
pids+=($!)

for ((i = 1; i <= sites; ++i)); do
  mkdir "$dir/site$i"
  cat >"$dir/site$i/site.json" <<EOF
{ "mqtt": {"host": "127.0.0.1", "port": $broker_port, "site": "site$i"},
  "http": {"listen": "127.0.0.1:0"},
  "history": {"database": "$dir/site$i/history.db"},
  "power_systems": [{"name": "ps", "data_id": 1, "scenario": "$scenario", "poll_interval_ms": $poll,
    "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}}] }
EOF
  "$host" "$dir/site$i/site.json" >"$dir/site$i/view" 2>&1 &
  pids+=($!)
  echo $! >"$dir/site$i/pid"
done
site_url() { head -5 "$dir/site$1/view" | sed -n 's|^voka-host: serving HTTP on \(http://[^ ]*\)/$|\1|p'; }
serving() { [[ -n $(site_url "$1") ]]; }
for ((i = 1; i <= sites; ++i)); do await "site $i's HTTP side" serving "$i"; done
for ((i = 1; i <= sites; ++i)); do
  jq -n --arg t "$(site_url "$i" | sed 's|^http://||')" --arg s "site$i" '{targets: [$t], labels: {site: $s}}'
done | jq -s . >"$dir/targets.json"

prom_port=$(free_port)
cat >"$dir/prometheus.yml" <<EOF
global: {scrape_interval: ${scrape}s, evaluation_interval: ${scrape}s}
scrape_configs:
  - job_name: voka
    file_sd_configs: [{files: ['$dir/targets.json'], refresh_interval: 5s}]
  - job_name: prometheus
    static_configs: [{targets: ['127.0.0.1:$prom_port']}]
EOF
prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/tsdb" \
  --web.listen-address="127.0.0.1:$prom_port" >"$dir/prometheus.log" 2>&1 &
pids+=($!)
prom=http://127.0.0.1:$prom_port
await "Prometheus" curl -sf "$prom/-/ready" -o /dev/null
# The value of a PromQL query by site (one "site value" line each), or the whole's one value.
query() { curl -sf "$prom/api/v1/query" --data-urlencode "query=$1" |
  jq -r '.data.result[] | "\(.metric.site // "-") \(.value[1])"'; }

# CPU nanoseconds of every thread of a site's process, its complete rounds and its resident memory (kB).
cpu_ns() { cat /proc/"$(cat "$dir/site$1/pid")"/task/*/schedstat | awk '{s += $1} END {print s}'; }
rounds() { curl -sf "$(site_url "$1")/metrics" | awk '$1 ~ /^voka_rounds_total/ {s += $2} END {print s + 0}'; }
rss_kb() { awk '/^VmRSS:/ {print $2}' /proc/"$(cat "$dir/site$1/pid")"/status; }
snapshot() {  # cpu and rounds of every site, one "site cpu_ns rounds" line each
  local i
  for ((i = 1; i <= sites; ++i)); do echo "site$i $(cpu_ns "$i") $(rounds "$i")"; done
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
sleep "$warmup"
start=$(date +%s.%N)
snapshot >"$dir/before"
sleep "$seconds"
snapshot >"$dir/after"
end=$(date +%s.%N)
for ((i = 1; i <= sites; ++i)); do echo "site$i $(rss_kb "$i")"; done >"$dir/rss"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
scrape_bytes=$(curl -sf "$(site_url 1)/metrics" | wc -c)
window=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.0f", b - a}')

query 'count by (site) (voka_dc_voltage_volts)' >"$dir/dc_seen"
query 'scrape_samples_scraped{job="voka"}' >"$dir/samples"
query 'count by (site) ({job="voka"})' >"$dir/series"
query "rate(prometheus_tsdb_head_samples_appended_total[${window}s])" >"$dir/ingested"
# The retained status each site's connection left at the broker now.
mosquitto_sub -p "$broker_port" -t 'voka/+/ps/status' -F '%t %p' -W 2 2>/dev/null >"$dir/status" || true

# Messages in the window, by site: count and bytes (topic + payload).
awk -v a="$start" -v b="$end" '$1 >= a && $1 < b {split($2, t, "/"); n[t[2]]++; by[t[2]] += length($2) + $3}
  END {for (s in n) print s, n[s], by[s]}' "$dir/messages" >"$dir/published"

failed=$(
  for ((i = 1; i <= sites; ++i)); do
    grep -q "^site$i " "$dir/dc_seen" || echo "site$i: no DC voltage in Prometheus"
    grep -qx "voka/site$i/ps/status online" "$dir/status" || echo "site$i: status not online at the broker"
  done
)

echo "Fleet of $sites sites, poll ${poll} ms, scrape ${scrape} s, measured ${window} s after ${warmup} s;" \
  "load average $load_before before, $load_after after ($(nproc) cores)"
join <(sort "$dir/before") <(sort "$dir/after") | join - <(sort "$dir/rss") |
  join -a1 -e 0 -o auto - <(sort "$dir/published") | join -a1 -e 0 -o auto - <(sort "$dir/series") |
  join -a1 -e 0 -o auto - <(sort "$dir/samples") | sort -V |
  awk -v quiet="$quiet" -v window="$window" -v ing="$(awk '{print $2}' "$dir/ingested")" -v sb="$scrape_bytes" '
  # site cpu0 rounds0 cpu1 rounds1 rss msgs bytes series samples
  BEGIN {
    if (!quiet) printf "%-8s %8s %7s %11s %10s %11s %7s %8s\n", "site", "RSS MB", "rounds", "CPU ms/rnd",
      "msgs/rnd", "bytes/rnd", "series", "samples"
  }
  {
    r = $5 - $3; cpu = r ? ($4 - $2) / 1e6 / r : 0; msgs = r ? $7 / r : 0; bytes = r ? $8 / r : 0
    if (!quiet) printf "%-8s %8.1f %7d %11.2f %10.2f %11.0f %7d %8d\n", $1, $6 / 1024, r, cpu, msgs, bytes, $9, $10
    n++; rss += $6 / 1024; tcpu += cpu; tm += msgs; tb += bytes; ts += $9; tsm += $10; allmsgs += $7; allbytes += $8
    if (n == 1 || cpu > maxcpu) maxcpu = cpu
    if (n == 1 || $6 / 1024 > maxrss) maxrss = $6 / 1024
  }
  END {
    printf "per site (mean): RSS %.1f MB (max %.1f), CPU %.2f ms per round (max %.2f), %.2f messages and %.0f bytes" \
      " per round at the broker, %.0f series, %.0f samples and %d bytes (site1) per scrape\n", rss / n, maxrss,
      tcpu / n, maxcpu, tm / n, tb / n, ts / n, tsm / n, sb
    printf "whole: broker %.1f messages/s, %.0f bytes/s; Prometheus %.1f samples ingested/s (itself included)\n",
      allmsgs / window, allbytes / window, ing
  }'
if [[ -n $failed ]]; then
  echo "$failed"
  exit 1
fi
echo "every site's DC voltage is in Prometheus and its status online at the broker"
