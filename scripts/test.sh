#!/usr/bin/env bash
# Builds the project and runs the whole test suite through ctest, by default
# under AddressSanitizer and UndefinedBehaviorSanitizer (the asan preset).
# Usage: scripts/test.sh [preset]   (default preset: asan)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
require cmake:cmake ninja:ninja-build g++:g++
preset=${1:-asan}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
