#!/usr/bin/env bash
# The main job: builds voka.so and runs the demo of an AC device reloaded from
# a stored image and queried by key.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release
echo "built: build/release/voka.so"
./build/release/ac_reload_demo
