#!/usr/bin/env bash
# What reading the line costs a site's controller, and the in-process
# simulator's share of it, measured the same way every time on the bundled
# example (9600 baud, paced as a UART delivers, the answer delay and faults of
# the scenario):
#   - voka-host on a pseudo-terminal fed by voka-sim: the host's CPU time and
#     wake-ups (voluntary context switches, all threads) per complete round,
#     and voka-sim's CPU time per round over its whole run (start included);
#   - voka-host on its embedded simulator: the same, the simulator's answers
#     made inside the host's process.
# The difference of the two host figures is the in-process simulator's work less what the pseudo-terminal costs.
# Usage: scripts/line-cost.sh [rounds, default 30] [preset, default release]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require cmake:cmake ninja:ninja-build jq:jq /usr/bin/time:time
rounds=${1:-30}
preset=${2:-release}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
cmake --preset "$preset" >/dev/null
nice cmake --build --preset "$preset" --target voka-host voka-sim voka >/dev/null
build=$PWD/build/$preset
scenario=$PWD/simulator/scenarios/example-site.json
dir=$(mktemp -d)
sim_pid=''
trap '[[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null; rm -rf "$dir"' EXIT

# Runs voka-host on SITE (named TAG) for ROUNDS rounds; prints "cpu_seconds wakeups complete_rounds", all
# its threads, start and stop included.
run_once() {
  local out=$dir/events.$2
  /usr/bin/time -f '%U %S %w' -o "$dir/time.$2" "$build/voka-host" "$1" --json --rounds "$3" \
    --db "$dir/h.$2.db" >"$out"
  echo "$(awk '{print $1 + $2, $3}' "$dir/time.$2") $(jq -c 'select(.event == "round" and .complete)' "$out" | wc -l)"
}
# The same for the rounds past the first few: a long run less a short one, so start and stop cancel out.
run_host() {
  local long short
  read -r -a long < <(run_once "$1" "$2.long" "$rounds")
  read -r -a short < <(run_once "$1" "$2.short" 3)
  awk -v a="${long[0]}" -v b="${short[0]}" -v c="${long[1]}" -v d="${short[1]}" -v e="${long[2]}" -v f="${short[2]}" \
    'BEGIN {print a - b, c - d, e - f}'
}

system='"name": "example", "data_id": 1, "poll_interval_ms": 0,
  "acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 21}], "rcSetting": {}'
echo "{\"power_systems\": [{$system, \"scenario\": \"$scenario\"}]}" >"$dir/embedded.json"

/usr/bin/time -f '%U %S' -o "$dir/time.sim" "$build/voka-sim" "$scenario" >"$dir/sim.out" &
sim_pid=$!
for _ in $(seq 50); do [[ -s $dir/sim.out ]] && break; sleep 0.1; done
pty=$(head -1 "$dir/sim.out" | sed "s/^voka-sim: listening on //")
echo "{\"power_systems\": [{$system, \"port\": \"$pty\", \"baud_rate\": 9600, \"answer_timeout_ms\": 1000}]}" \
  >"$dir/pty.json"
read -r pty_cpu pty_wakes pty_rounds < <(run_host "$dir/pty.json" pty)
kill -TERM "$(pgrep -P "$sim_pid")"  # voka-sim itself, under time
wait "$sim_pid" || true
sim_pid=''
sim_cpu=$(awk '{print $1 + $2}' "$dir/time.sim")
sim_rounds=$((rounds + 3))
read -r emb_cpu emb_wakes emb_rounds < <(run_host "$dir/embedded.json" embedded)

awk -v r="$rounds" -v pc="$pty_cpu" -v pw="$pty_wakes" -v pr="$pty_rounds" -v ec="$emb_cpu" -v ew="$emb_wakes" \
  -v er="$emb_rounds" -v sc="$sim_cpu" -v sr="$sim_rounds" 'BEGIN {
  printf "Example site, rounds polled back to back, %d less 3 (%s build):\n", r, "'"$preset"'"
  printf "  on a pseudo-terminal fed by voka-sim: voka-host %.2f ms CPU and %.0f wake-ups per complete round" \
    " (%d complete); voka-sim %.2f ms CPU per round\n", pc * 1e3 / pr, pw / pr, pr, sc * 1e3 / sr
  printf "  on the embedded simulator:            voka-host %.2f ms CPU and %.0f wake-ups per complete round" \
    " (%d complete)\n", ec * 1e3 / er, ew / er, er
  printf "  embedded less pseudo-terminal: %+.2f ms per round (the simulator'"'"'s work in the process, less the" \
    " pseudo-terminal'"'"'s reads and writes)\n", (ec / er - pc / pr) * 1e3
}'
