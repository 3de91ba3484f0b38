#!/usr/bin/env bash
# The contract check must fail on each kind of thread, lock or atomic put back
# into a copy of the plug-in's sources, and pass on the copy as it is.
# Usage: tests/contract/catches_each_kind.sh SOURCE_ROOT
set -euo pipefail
root=$1
check=$root/scripts/check-plugin-contract.sh
copy=$(mktemp -d); trap 'rm -rf "$copy"' EXIT
cp -r "$root"/{plugin,protocol} "$copy"
"$check" "$copy" >/dev/null || { echo "the unchanged copy failed the check" >&2; exit 1; }
snippets=('#include <atomic>' 'std::atomic<Rules*> returned_;' '__atomic_load_n(&x, __ATOMIC_ACQUIRE);'
          '__sync_synchronize();' '#include <mutex>' 'std::lock_guard<std::mutex> g(m);' 'pthread_mutex_lock(&m);'
          'std::thread worker;' 'std::jthread worker;')
for s in "${snippets[@]}"; do
  cp "$root/plugin/shared/round_end.h" "$copy/plugin/shared/round_end.h"
  echo "$s" >>"$copy/plugin/shared/round_end.h"
  if "$check" "$copy" 2>/dev/null >&2; then echo "not caught: $s" >&2; exit 1; fi
done
echo "each of ${#snippets[@]} kinds caught"
