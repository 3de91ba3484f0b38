#!/usr/bin/env bash
# The main job: builds voka.so and voka-host, then runs voka-host on the
# bundled example site (the embedded simulator) with its live page on
# 127.0.0.1 (port 9108, or a free one when that is taken; VOKA_PORT chooses).
# Arguments go to voka-host; without any it runs 120 rounds (about two
# minutes) and stops. A run (not probe, alarms, history) always gets the page.
# The history is kept in build/release/voka-history.db, which alarms and
# history read too; a --db of the caller's comes later and wins.
# Usage: scripts/run.sh [voka-host arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require cmake:cmake ninja:ninja-build g++:g++
cmake --preset release >/dev/null
cmake --build --preset release --target voka voka-host voka-sim
db=build/release/voka-history.db
(($#)) || set -- --rounds 120 --get 11:channel_0_a --get 21:v
case "${1:-}" in
  probe) exec ./build/release/voka-host "$@" ;;
  alarms | history) exec ./build/release/voka-host "$1" --db "$db" "${@:2}" ;;
  run) shift ;;  # the options below come first, and voka-host takes a command only as the first argument
esac
case " $* " in
  *" --listen "*) exec ./build/release/voka-host --db "$db" "$@" ;;
esac
port=${VOKA_PORT:-9108}
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then port=0; fi  # taken: any free port
if ((port)); then
  echo "voka-host: the live page is at http://127.0.0.1:$port/"
else
  echo "voka-host: the live page is on a free port: see the line \"serving HTTP on\" below"
fi
exec ./build/release/voka-host --db "$db" --listen "127.0.0.1:$port" "$@"
