#!/usr/bin/env bash
# Checks the plug-in's own sources against its contract with the host: it
# starts no thread, takes no lock and uses no atomic operation (the host runs
# each master's calls one at a time and serialises the rest). Prints every
# line that breaks it and fails; the standard library's inner use of these
# (shared_ptr's counts) is the runtime's, not the plug-in's, and is not looked at.
# Usage: scripts/check-plugin-contract.sh [SOURCE_ROOT]   (default: this checkout)
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"
folders=(plugin protocol)
for f in "${folders[@]}"; do [ -d "$f" ] || { echo "$root/$f: no such folder" >&2; exit 1; }; done

threads='<(thread|future|stop_token)>|std::(j?thread|async)\b|pthread|thrd_'
locks='<(mutex|shared_mutex|condition_variable|semaphore|latch|barrier)>|std::(recursive_|timed_|shared_)*mutex|'\
'std::(lock_guard|unique_lock|scoped_lock|shared_lock|call_once|condition_variable|counting_semaphore|'\
'binary_semaphore|latch|barrier)|mtx_'
atomics='[Aa]tomic|__sync_'

found=$(grep -rnE --include='*.h' --include='*.cpp' -e "$threads" -e "$locks" -e "$atomics" "${folders[@]}" || true)
if [ -n "$found" ]; then
  echo "the plug-in starts no thread, takes no lock and uses no atomic; these lines do:" >&2
  echo "$found" >&2
  exit 1
fi
echo "plug-in sources: no thread, lock or atomic of their own"
