#!/usr/bin/env bash
# What a Prometheus scrape costs voka-host, measured the same way every time:
#   - voka_scrape_bench: /metrics render and a whole scrape over loopback
#     (time and bytes) for the example site and for 8 power systems, the
#     /api/v1/state render, and the snapshot's cost per published record;
#   - the polling round time of 8 power systems on the embedded simulator with a
#     /metrics scrape every second against without, in one voka-host run:
#     phases of SECONDS each alternate quiet, scraping, quiet, scraping; the
#     ratio is the mean complete-round duration while scraping over the mean
#     while quiet (target: at most 1.02).
# Usage: scripts/scrape-cost.sh [-s SECONDS] [-f]
#   -s 30   length of each phase
#   -f      a fast line (115200 baud, no answer delay, polling back to back):
#           rounds of a few milliseconds, so that any CPU the scrapes take shows
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require cmake:cmake ninja:ninja-build python3:python3
seconds=30 fast=0
while getopts s:f opt; do
    case $opt in
        s) seconds=$OPTARG ;; f) fast=1 ;; *) sed -n 10,13p "$0"; exit 2 ;;
    esac
done
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
cmake --preset release >/dev/null
nice cmake --build --preset release --target voka_scrape_bench voka-host voka >/dev/null
build=build/release
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

echo "Renders and scrapes (voka_scrape_bench):"
"$build/benchmarks/voka_scrape_bench" --benchmark_min_time=0.5 --benchmark_format=console 2>/dev/null |
    grep -E '^BM_' | sed 's/^/  /'

python3 - "$build/voka-host" "$dir" "$seconds" "$fast" "$PWD/simulator/scenarios/example-site.json" <<'PY'
import json, subprocess, sys, threading, time, urllib.request
host, folder, seconds, fast, scenario_path = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4] == "1", sys.argv[5]
scenario = json.load(open(scenario_path))
scenario.pop("faults", None)  # no lost answers: the rounds are comparable
scenario.pop("changes", None)
poll = 1000
if fast:
    scenario["equipment"].update({"baud_rate": 115200, "answer_delay_ms": 0})
    poll = 0
json.dump(scenario, open(f"{folder}/scenario.json", "w"))
systems = [{"name": f"ps{i}", "data_id": i * 100, "scenario": "scenario.json", "poll_interval_ms": poll,
            "baud_rate": scenario["equipment"]["baud_rate"],
            "acSetting": [{"data_id": i * 100 + 11}], "dcSetting": [{"data_id": i * 100 + 21}], "rcSetting": {}}
           for i in range(1, 9)]
json.dump({"power_systems": systems}, open(f"{folder}/site.json", "w"))
p = subprocess.Popen([host, f"{folder}/site.json", "--json", "--listen", "127.0.0.1:0", "--db", f"{folder}/h.db"],
                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
url = None
for line in p.stdout:
    text = json.loads(line).get("text", "")
    if text.startswith("voka-host: serving HTTP on "):
        url = text.split()[-1] + "metrics"
        break
phase = {"name": "warm-up"}
durations = {"quiet": [], "scraping": []}
scrapes = []
def read_rounds():
    for line in p.stdout:
        e = json.loads(line)
        if e.get("event") == "round" and e.get("complete") and phase["name"] in durations:
            durations[phase["name"]].append(e["duration_ms"])
threading.Thread(target=read_rounds, daemon=True).start()
time.sleep(3)
for name in ["quiet", "scraping", "quiet", "scraping"]:
    phase["name"] = name
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if name == "scraping":
            t = time.monotonic()
            body = urllib.request.urlopen(url).read()
            scrapes.append((time.monotonic() - t, len(body)))
        time.sleep(max(0.0, min(1.0, end - time.monotonic())))
phase["name"] = "done"
p.terminate()
p.wait()
mean = {k: sum(v) / len(v) for k, v in durations.items()}
line = "fast line, polling back to back" if fast else "the example's line (9600 baud), polling every second"
print(f"Polling round time, 8 power systems, {line}, 2 x {seconds:.0f} s per phase:")
for k in ("quiet", "scraping"):
    print(f"  {k:9} {len(durations[k]):6} rounds, mean {mean[k]:.2f} ms")
print(f"  ratio scraping / quiet: {mean['scraping'] / mean['quiet']:.4f} (target <= 1.02)")
print(f"  scrapes: {len(scrapes)}, mean {1000 * sum(s[0] for s in scrapes) / len(scrapes):.2f} ms wall (urllib), "
      f"{scrapes[-1][1]} bytes")
PY
