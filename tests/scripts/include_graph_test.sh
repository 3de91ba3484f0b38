#!/usr/bin/env bash
# The folder include graph check: the project has no cycle between folders,
# and a cycle planted in a copy of a small tree (between two top-level
# folders, and between host/voka-host/'s root and a subfolder) fails it, named.
# Usage: include_graph_test.sh PROJECT_SOURCE_DIR
set -uo pipefail
root=$1
script=$root/scripts/include-graph.py
failed=0
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

python3 "$script" "$root" >"$work/project.out" 2>&1 || { echo "FAILED: the project has an include cycle:"; cat "$work/project.out"; failed=1; }

# plant NAME FILE:INCLUDE...: a tree whose FILE includes "INCLUDE"; every named header exists.
plant() {
  local tree=$work/$1; shift
  for pair in "$@"; do
    local file=${pair%%:*} included=${pair#*:}
    mkdir -p "$tree/$(dirname "$file")" "$tree/$(dirname "$included")"
    touch "$tree/$included"
    echo "#include \"$included\"" >>"$tree/$file"
  done
  echo "$tree"
}

acyclic=$(plant acyclic a/x.h:b/y.h host/voka-host/main.cpp:host/voka-host/mqtt/sink.h)
python3 "$script" "$acyclic" >"$work/acyclic.out" 2>&1 || { echo "FAILED: a tree without a cycle was refused:"; cat "$work/acyclic.out"; failed=1; }

for case in "top a/x.h:b/y.h b/y.cpp:a/z.h" "root host/voka-host/mqtt/sink.h:host/voka-host/site.h host/voka-host/site.cpp:host/voka-host/mqtt/client.h" \
            "three a/x.h:b/y.h b/y.h:c/z.h c/z.cpp:a/w.h"; do
  read -r name pairs <<<"$case"
  tree=$(plant "$name" $pairs)
  if python3 "$script" "$tree" >"$work/$name.out" 2>&1; then
    echo "FAILED: the planted cycle '$name' ($pairs) passed"; failed=1
  elif ! grep -q "include cycle among" "$work/$name.out"; then
    echo "FAILED: the planted cycle '$name' was refused without naming it:"; cat "$work/$name.out"; failed=1
  fi
done
grep -q "include cycle among host/voka-host, host/voka-host/mqtt" "$work/root.out" ||
  { echo "FAILED: the root cycle is not named by its folders:"; cat "$work/root.out"; failed=1; }
((failed)) || echo "include graph: no cycle, and each planted one caught"
exit "$failed"
