#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each one, seeded
# and bounded, from its seed corpus: the total seconds shared out equally, one
# target per core at a time. Any finding fails the run.
# Usage: scripts/fuzz.sh [total seconds, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require cmake:cmake ninja:ninja-build clang++:clang
total=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mapfile -t targets < <(find build/fuzz/fuzz -maxdepth 1 -type f -name '*_fuzz' -perm -u+x | sort)
((${#targets[@]})) || { echo "no fuzz targets built" >&2; exit 1; }
per=$(( total / ${#targets[@]} )); ((per >= 5)) || per=5
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
# fuzz_one TARGET: runs one target from its seeds for its seconds; its report on
# standard output, its exit status in $work/NAME.status.
fuzz_one() {
  local t=$1 name status=0
  name=$(basename "$t")
  mkdir -p "$work/$name"
  # The master target takes a whole round's answers, each up to a frame's
  # 2047 INFO bytes: room for ten of them, offered at full length from the start.
  case $name in
    master_fuzz) limits=(-max_len=20480 -len_control=0) ;;
    *) limits=(-max_len=4096) ;;
  esac
  echo "== $name: ${per}s"
  "$t" -seed=1 -max_total_time="$per" "${limits[@]}" -print_final_stats=1 \
       -artifact_prefix="$work/" "$work/$name" "fuzz/corpus/$name" 2>"$work/$name.log" || status=$?
  if ((status)); then tail -n 60 "$work/$name.log"; echo "$name: finding (see above)"; fi
  grep -E 'stat::number_of_executed_units' "$work/$name.log" || true
  echo "$status" >"$work/$name.status"
}

for t in "${targets[@]}"; do
  seeds=fuzz/corpus/$(basename "$t")
  [ -d "$seeds" ] || { echo "$(basename "$t"): no seed corpus at $seeds" >&2; exit 1; }
done
# One target per core at a time: each still has its seconds and a core of its
# own, the run takes a fraction of the time. Reports in the targets' order.
cores=$(nproc)
for t in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= cores)); do wait -n || true; done
  fuzz_one "$t" >"$work/$(basename "$t").report" 2>&1 &
done
wait
failed=0
for t in "${targets[@]}"; do
  name=$(basename "$t")
  cat "$work/$name.report"
  [ "$(cat "$work/$name.status" 2>/dev/null)" = 0 ] || failed=1
done
((failed == 0)) || { echo "fuzzing found a problem (see above)" >&2; exit 1; }
