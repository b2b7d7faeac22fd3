#!/usr/bin/env bash
# Installs what is missing, builds the launcher, and runs the terminal launcher in a
# sample game directory made from resources/sample-game.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh

cmake -S "$root" -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUME_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

game=$root/build/sample-game
rm -rf "$game"
mkdir -p "$game"
cp -r resources/sample-game/. "$game/"

echo "== lume-cli in $game"
"$root/build/release/launcher/cli/lume-cli" -C "$game" --trace - "$@"
