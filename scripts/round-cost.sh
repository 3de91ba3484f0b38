#!/usr/bin/env bash
# What one polling round costs the plug-in, measured the same way every time:
#   - instructions (Ir) per round under callgrind, for the example site and the
#     large site (8 AC units x 8 channels, 8 DC units, 120 modules);
#   - heap allocations per round (voka_bench's counting operator new);
#   - Get_Value("channel_0_a") against the lookup as described, in one run.
# Usage: scripts/round-cost.sh [rounds, default 200]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require cmake:cmake ninja:ninja-build valgrind:valgrind callgrind_annotate:valgrind jq:jq
rounds=${1:-200}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
cmake --preset release >/dev/null
nice cmake --build --preset release --target voka_bench >/dev/null
bench=build/release/benchmarks/voka_bench
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "Ir per round (callgrind, $rounds rounds after one warm-up round):"
for site in example large; do
  valgrind --tool=callgrind --callgrind-out-file="$out/$site.cg" --collect-atstart=no \
    --toggle-collect='*measured_rounds*' "$bench" --measured-rounds="$site:$rounds" >/dev/null 2>"$out/$site.log"
  total=$(callgrind_annotate "$out/$site.cg" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  round_done=$(callgrind_annotate --inclusive=yes "$out/$site.cg" 2>/dev/null |
    awk '/::RoundDone\(\)/ {gsub(",", "", $1); s += $1} END {print s + 0}')
  host_rules=$(callgrind_annotate --inclusive=yes "$out/$site.cg" 2>/dev/null |
    awk '/ZTXVDevice::CheckThresholdBool\(/ {gsub(",", "", $1); s += $1} END {print s + 0}')
  printf '  %-8s %10d Ir per round (RoundDone of all children: %d%%; inside the host'"'"'s CheckThresholdBool: %d)\n' \
    "$site" $((total / rounds)) $((total ? round_done * 100 / total : 0)) $((host_rules / rounds))
done

"$bench" --benchmark_filter='BM_Round/|BM_GetValuePair' --benchmark_min_time=0.3 \
  --benchmark_out="$out/bench.json" --benchmark_out_format=json >/dev/null 2>&1
echo "Heap allocations per round (all / host's copies of rule texts / plug-in's own per device):"
jq -r '.benchmarks[] | select(.name | startswith("BM_Round/")) |
  "  \(.name | sub("BM_Round/"; "")): \(.allocs_per_round) / \(.host_rule_copy_allocs) / \(.plugin_allocs_per_device * 10 | round / 10)"' \
  "$out/bench.json"
echo "Value lookup, same run:"
jq -r '[.benchmarks[] | select(.name | startswith("BM_GetValuePair"))] as $p |
  ($p[] | "  \(.name | sub("BM_GetValuePair/"; "")): \(.cpu_time | . * 10 | round / 10) ns"),
  "  ratio described / Get_Value: \(($p[1].cpu_time / $p[0].cpu_time) * 10 | round / 10)x"' "$out/bench.json"
