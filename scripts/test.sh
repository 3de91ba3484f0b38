#!/usr/bin/env bash
# Builds the project and runs the whole test suite through ctest.
# Usage: scripts/test.sh [preset]   (default preset: debug)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
