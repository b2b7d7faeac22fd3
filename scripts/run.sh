#!/usr/bin/env bash
# Installs what is missing, builds the launcher and its tools, and runs the demo: the
# terminal launcher updates a sample game from version 1 to 2 over loopback HTTP and
# starts it (see scripts/demo.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh

echo "== building"
cmake -S "$root" -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUME_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" | tail -n 1

exec scripts/demo.sh build/release
