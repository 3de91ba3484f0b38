#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each one, seeded
# and bounded, from its seed corpus. Any finding fails the run.
# Usage: scripts/fuzz.sh [total seconds, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mapfile -t targets < <(find build/fuzz/fuzz -maxdepth 1 -type f -name '*_fuzz' -perm -u+x | sort)
((${#targets[@]})) || { echo "no fuzz targets built" >&2; exit 1; }
per=$(( total / ${#targets[@]} )); ((per >= 5)) || per=5
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
for t in "${targets[@]}"; do
  name=$(basename "$t")
  mkdir -p "$work/$name"
  seeds=fuzz/corpus/$name
  [ -d "$seeds" ] || { echo "$name: no seed corpus at $seeds" >&2; exit 1; }
  # The master target takes a whole round's answers, each up to a frame's
  # 2047 INFO bytes: room for ten of them, offered at full length from the start.
  case $name in
    master_fuzz) limits=(-max_len=20480 -len_control=0) ;;
    *) limits=(-max_len=4096) ;;
  esac
  echo "== $name: ${per}s"
  "$t" -seed=1 -max_total_time="$per" "${limits[@]}" -print_final_stats=1 \
       -artifact_prefix="$work/" "$work/$name" "$seeds" 2>"$work/$name.log" \
    || { tail -n 60 "$work/$name.log"; echo "$name: finding (see above)" >&2; exit 1; }
  grep -E 'stat::number_of_executed_units' "$work/$name.log" || true
done
