#!/usr/bin/env bash
# Every Debian package a script in scripts/ names in its `require` line is one
# scripts/install-deps.sh installs; and a script run without its tools stops
# at once with status 2, naming each missing tool and its package.
# Usage: required_tools_test.sh PROJECT_SOURCE_DIR
set -uo pipefail
root=$1
failed=0

# install-deps.sh's packages: the words of its packages=( ... ) list, comments dropped.
installed=$(sed -n '/^packages=(/,/^)/p' "$root/scripts/install-deps.sh" | sed 's/#.*//; s/packages=(//; s/)//' | tr -s ' \n' '\n')
# The scripts' require lines, with their continuation lines.
required=$(awk '/^require / {on = 1} on {print; if ($0 !~ /\\$/) on = 0}' "$root"/scripts/*.sh |
  tr -s ' \\' '\n' | grep ':' | sed 's/.*://' | sort -u)
[ -n "$required" ] || { echo "FAILED: no require line found in scripts/"; exit 1; }
for package in $required; do
  grep -qx "$package" <<<"$installed" || { echo "FAILED: a script requires $package, install-deps.sh does not install it"; failed=1; }
done

# round-cost.sh with nothing on PATH but dirname: it must stop before building anything.
bin=$(mktemp -d); trap 'rm -rf "$bin"' EXIT
ln -s "$(command -v dirname)" "$bin/dirname"
output=$(PATH=$bin /bin/bash "$root/scripts/round-cost.sh" 2>&1); status=$?
[ "$status" = 2 ] || { echo "FAILED: round-cost.sh without its tools exited with $status, not 2: $output"; failed=1; }
for expected in "valgrind (Debian package valgrind)" "jq (Debian package jq)" "cmake (Debian package cmake)"; do
  grep -qF "$expected" <<<"$output" || { echo "FAILED: round-cost.sh did not name $expected: $output"; failed=1; }
done
((failed == 0)) && echo "$(wc -w <<<"$required") required packages, all installed by install-deps.sh; a missing tool is named"
exit "$failed"
