#!/usr/bin/env bash
# Sets up what is missing, builds Tavrik and runs the whole test suite.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${1:-build}
shift || true
# A build directory keeps its cached settings between runs; one configured
# without the tests (by hand, or by an older demo script) would otherwise
# build and run nothing. The tests are switched on whatever the cache says.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" -DTAVRIK_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
# A run that finds no test is a failure, not a pass.
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300 --no-tests=error
