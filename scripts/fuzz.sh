#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs each for SECONDS (default 5)
# from its seed corpus under tests/fuzz/corpus/ (new inputs go to a scratch copy, not the
# repository); prints the executions of each run. A crash stops with the reproducer saved
# in build/fuzz/crashes/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# .ci/run runs a few seconds of each; for a long run: scripts/fuzz.sh 3600 FileList
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
shift || true
# Absolute paths: the targets that read files work in a scratch directory of their own.
build=$(pwd)/build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUME_FUZZ=ON -DLUME_WERROR=ON >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(PackIndex PatchList BlockIndex FileList SubFileList ServerList ControlPosition)
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
mkdir -p "$build/crashes"
total=0
for t in "${targets[@]}"; do
    work="$build/corpus/$t"
    mkdir -p "$work"
    cp -n tests/fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
    log="$build/$t.log"
    if ! "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$build/crashes/$t-" -print_final_stats=1 "$work" >"$log" 2>&1; then
        tail -40 "$log"
        echo "fuzz: $t failed; reproducer in $build/crashes/" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $t ${runs:-?} executions in ${seconds}s"
    total=$((total + ${runs:-0}))
done
echo "fuzz: $total executions in all"
