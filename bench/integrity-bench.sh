#!/usr/bin/env bash
# What crash safety and "verify the game files" cost, on this machine's disk:
#   1. merging 10,000 changed files into a 100,000-record pack (BM_Merge10kInto100k of
#      bench_PackBench; the pack is at rest on disk before each timed merge), against the
#      base build: the merge until it is durable (its journal synced), and the merge with
#      the pack's own sync, which the update makes once for all packs at its end;
#   2. a v1 to v2 update of a 1 GiB installation with 10 % changed (512 MiB in 2,048 loose
#      files, 512 MiB in 4 packs of 1 MiB members), from nginx on loopback, against the base
#      build;
#   3. `lume-cli verify` of a 2 GiB installation (1 GiB loose, 1 GiB in packs) against `cat`
#      of the same bytes to /dev/null, the page cache warm for both.
# The base build is the code before the journal and the syncs (commit a5db862 unless
# given), built in a worktree of its own with this tree's bench/PackBench.cpp, so that both
# run the same benchmark. Base and new runs alternate, so that the load of a shared machine
# falls on both; each figure is the median of RUNS runs, with the spread.
# Usage: bench/integrity-bench.sh [RUNS] [BASE_COMMIT]      (5, a5db862)
# Needs nginx, python3, cmake, ninja and libbenchmark-dev (scripts/deps.sh installs them),
# and about 10 GiB free under TMPDIR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
base_commit=${2:-a5db862}
new=$root/build/bench-new
base_src=$root/build/bench-base-src
base=$base_src/build

build() {  # source-dir build-dir
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUME_BENCH=ON -DLUME_QT=OFF \
        -DLUME_TESTS=OFF >/dev/null
    nice -n 10 cmake --build "$2" -j 2 --target lume-cli lume-pak lume-publish bench_PackBench \
        >/dev/null
}
if [ ! -d "$base_src" ]; then
    git -C "$root" worktree add --detach "$base_src" "$base_commit" >/dev/null
fi
cp "$root/bench/PackBench.cpp" "$base_src/bench/PackBench.cpp"
echo "== building $(git -C "$root" rev-parse --short HEAD) in $new and $base_commit in $base"
build "$root" "$new"
build "$base_src" "$base"

dir=$(mktemp -d "${TMPDIR:-/tmp}/lume-integrity-bench-XXXXXX")
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

now() { date +%s.%N; }
# stats FILE: "median (min-max)" of the numbers in FILE.
stats() {
    sort -n "$1" | awk '{a[NR]=$1} END {printf "%.3f (%.3f-%.3f)", a[int((NR+1)/2)], a[1], a[NR]}'
}
median() { sort -n "$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk "BEGIN {printf \"%.2f\", $(median "$1") / $(median "$2")}"; }
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)  ($(nproc) CPUs)"

# -- 1. the merge
for _ in $(seq "$runs"); do
    for b in base new; do
        build_dir=$base
        [ "$b" = new ] && build_dir=$new
        "$build_dir/bench/bench_PackBench" --benchmark_filter=BM_Merge10kInto100k \
            --benchmark_format=json 2>/dev/null >"$dir/merge.json"
        # Argument 0: the merge until it is durable; 1: and the pack synced too (the update
        # does that once for all its packs at its end). The base has nothing to settle.
        for arg in 0 1; do
            python3 -c 'import json,sys; print([b["real_time"] for b in json.load(open(sys.argv[1]))["benchmarks"] if b["name"].startswith("BM_Merge10kInto100k/" + sys.argv[2])][0] / 1000)' \
                "$dir/merge.json" "$arg" >>"$dir/merge$arg.$b"
        done
    done
done
echo "1. merge of 10,000 files into a 100,000-record pack, seconds: new $(stats "$dir/merge0.new")," \
    "base $(stats "$dir/merge0.base"); ratio $(ratio "$dir/merge0.new" "$dir/merge0.base")"
echo "   the same with the pack's own sync: new $(stats "$dir/merge1.new"); ratio to the base" \
    "merge $(ratio "$dir/merge1.new" "$dir/merge0.base")"

# -- the installations
pak=$new/tools/pak/lume-pak
publish=$new/tools/publish/lume-publish
# make_install DIR LOOSE_FILES LOOSE_BYTES PACK_MEMBERS: loose files in DIR/files, 4 packs
# in DIR/data made from DIR-src/packN.
make_install() {
    mkdir -p "$1/files" "$1/data"
    head -c "$(($2 * $3))" /dev/urandom | split -b "$3" -d -a 4 - "$1/files/f"
    for p in 0 1 2 3; do
        mkdir -p "$1-src/pack$p"
        head -c "$(($4 * 1048576))" /dev/urandom | split -b 1048576 -d -a 4 - "$1-src/pack$p/m"
        "$pak" create "$1-src/pack$p" "$1/data/pack$p.pak" >/dev/null
    done
}
echo "== making the installations"
make_install "$dir/v1" 2048 262144 128
mkdir -p "$dir/v2/data"
cp -r "$dir/v1/files" "$dir/v2/"
cp -r "$dir/v1-src" "$dir/v2-src"
for i in $(seq 0 10 2047); do
    head -c 262144 /dev/urandom >"$dir/v2/files/f$(printf '%04d' "$i")"
done
for p in 0 1 2 3; do
    for m in $(seq 0 10 127); do
        head -c 1048576 /dev/urandom >"$dir/v2-src/pack$p/m$(printf '%04d' "$m")"
    done
    "$pak" create "$dir/v2-src/pack$p" "$dir/v2/data/pack$p.pak" >/dev/null
done
"$publish" "$dir/v1" "$dir/www/release" >/dev/null
"$publish" "$dir/v2" "$dir/www/release" >/dev/null
make_install "$dir/big" 1024 1048576 256
"$publish" "$dir/big" "$dir/www/big" >/dev/null
rm -rf "$dir/v1-src" "$dir/v2-src" "$dir/big-src"

. "$root/bench/nginx.sh"
start_nginx "$dir"
host=127.0.0.1:$port

# -- 2. the update
for _ in $(seq "$runs"); do
    for b in base new; do
        build_dir=$base
        [ "$b" = new ] && build_dir=$new
        rm -rf "$dir/game"
        cp -r "$dir/v1" "$dir/game"
        sync
        t0=$(now)
        "$build_dir/launcher/cli/lume-cli" update -C "$dir/game" --host "$host" --path /release \
            >"$dir/update.out" || { cat "$dir/update.out"; exit 1; }
        t1=$(now)
        awk "BEGIN {print $t1 - $t0}" >>"$dir/update.$b"
    done
done
# The last update left version 2 whole.
"$new/launcher/cli/lume-cli" verify -C "$dir/game" --host "$host" --path /release >/dev/null
echo "2. update of 1 GiB, 10 % changed, seconds: new $(stats "$dir/update.new")," \
    "base $(stats "$dir/update.base"); ratio $(ratio "$dir/update.new" "$dir/update.base")"

# -- 3. verify against cat
cat "$dir/big/files/"* "$dir/big/data/"* >/dev/null  # the page cache warm for both
for _ in $(seq "$runs"); do
    t0=$(now)
    cat "$dir/big/files/"* "$dir/big/data/"* >/dev/null
    t1=$(now)
    awk "BEGIN {print $t1 - $t0}" >>"$dir/cat.times"
    t0=$(now)
    "$new/launcher/cli/lume-cli" verify -C "$dir/big" --host "$host" --path /big >/dev/null
    t1=$(now)
    awk "BEGIN {print $t1 - $t0}" >>"$dir/verify.times"
done
echo "3. verify of 2 GiB, seconds: $(stats "$dir/verify.times"); cat of its bytes:" \
    "$(stats "$dir/cat.times"); ratio $(ratio "$dir/verify.times" "$dir/cat.times")"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
