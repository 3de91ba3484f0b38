#!/usr/bin/env bash
# What the precompiled headers save: builds a preset twice from scratch, with
# and without them (VOKA_PRECOMPILED_HEADERS), side by side with one job each,
# so that whatever else the machine runs slows both builds alike. Prints each
# target's compile CPU time (user + system, summed over its objects and its
# precompiled header) for both builds, the total and the build's CPU time with
# links and test discovery, taken with /usr/bin/time. No compiler cache.
# Usage: scripts/build-cost.sh [preset, default debug] [target, default all]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require cmake:cmake ninja:ninja-build g++:g++ /usr/bin/time:time
preset=${1:-debug}
target=${2:-all}
out=build/cost-$preset
rm -rf "$out"
mkdir -p "$out"
out=$(realpath "$out")

# The compiler launcher: one line per compiler run, "user system output".
cat >"$out/launcher" <<'EOF'
#!/bin/sh
log=$1; shift
output=unknown; previous=
for a in "$@"; do [ "$previous" = -o ] && output=$a; previous=$a; done
exec /usr/bin/time -a -o "$log" -f "%U %S $output" "$@"
EOF
chmod +x "$out/launcher"

build() {  # build NAME ON|OFF
  local dir=$out/$1
  cmake --preset "$preset" -B "$dir" -DVOKA_PRECOMPILED_HEADERS="$2" -DCMAKE_CXX_COMPILER_LAUNCHER="$out/launcher;$dir/compiles.log" >"$dir.configure.log"
  /usr/bin/time -o "$dir/build.time" -f "%e %U %S" cmake --build "$dir" -j 1 --target "$target" >"$dir.build.log" 2>&1 \
    || { tail -n 40 "$dir.build.log"; return 1; }
}
build with ON & with=$!
build without OFF & without=$!
wait "$with"
wait "$without"

# Per target: the CMakeFiles/<target>.dir part of each output; the header under "<target> (header)".
summary() {
  awk '{ t = $3; if (match(t, /CMakeFiles\/[^\/]+\.dir\//)) t = substr(t, RSTART + 11, RLENGTH - 16); else t = "other"
         if ($3 ~ /cmake_pch/) t = t " (header)"
         cpu[t] += $1 + $2; total += $1 + $2 }
       END { for (t in cpu) printf "%s\t%.1f\n", t, cpu[t]; printf "TOTAL compiles\t%.1f\n", total }' "$1"
}
join -t $'\t' -a1 -a2 -e - -o 0,1.2,2.2 <(summary "$out/with/compiles.log" | sort) <(summary "$out/without/compiles.log" | sort) |
  sort -t $'\t' -k3,3gr | awk -F'\t' 'BEGIN { printf "%-40s %10s %10s\n", "compile CPU s ('"$preset"')", "with", "without" }
                                      { printf "%-40s %10s %10s\n", $1, $2, $3 }'
read -r wall_with user_with sys_with <"$out/with/build.time"
read -r wall_without user_without sys_without <"$out/without/build.time"
awk -v a="$user_with" -v b="$sys_with" -v c="$user_without" -v d="$sys_without" \
  'BEGIN { printf "%-40s %10.1f %10.1f\n", "whole build, CPU s (links too)", a + b, c + d }'
printf '%-40s %10.1f %10.1f\n' "whole build, wall s (one job each)" "$wall_with" "$wall_without"
