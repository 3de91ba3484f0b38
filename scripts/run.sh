#!/usr/bin/env bash
# The main job: builds voka.so and voka-host, then runs voka-host on the
# bundled example site (the embedded simulator). Arguments go to voka-host;
# without any it shows 15 rounds (about 15 s) and stops.
# Usage: scripts/run.sh [voka-host arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target voka voka-host voka-sim
(($#)) || set -- --rounds 15 --get 11:channel_0_a --get 21:v
exec ./build/release/voka-host --db build/release/voka-history.db "$@"
