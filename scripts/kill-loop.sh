#!/usr/bin/env bash
# The long kill loop: a whole update killed with SIGKILL at N moments spread over its file
# calls (default 200), each followed by a rerun that must end byte-identical to a clean
# update having fetched only what the killed run had not received (see
# tests/e2e/KillLoopTest.cpp). .ci/run runs a short loop of the same test.
#   scripts/kill-loop.sh [N] [BUILD_DIR]      (BUILD_DIR defaults to build/asan)
set -euo pipefail
cd "$(dirname "$0")/.."
moments=${1:-200}
build=${2:-build/asan}
if [ ! -x "$build/tests/test_e2e" ]; then
    echo "kill-loop.sh: build $build first (scripts/test.sh makes build/asan)" >&2
    exit 2
fi
LUME_KILL_LOOP=$moments "$build/tests/test_e2e" --gtest_filter='KillLoop.*'
