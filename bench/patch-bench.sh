#!/usr/bin/env bash
# Offline patches with the release tools and the terminal launcher:
#   1. a patch that changes about 10 % of an installation (half of it 64 loose files, half
#      4 packs of 1 MiB members; some changed loose files travel deflated): `lume-cli patch`
#      against `cp -r` of the patch directory (its bytes read and written once, the least a
#      patch can cost), and the launcher's peak memory;
#   2. a patch that replaces one file of a quarter of the installation: the peak memory
#      again, which must not grow with the largest file.
# Prints medians of several runs and the machine's load. Needs GNU time (apt-get install time).
# Usage: bench/patch-bench.sh [BUILD_DIR] [MIB] [RUNS]   (build/release, 1024, 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "${1:-$root/build/release}")
mib=${2:-1024}
runs=${3:-3}
tool() {  # path in the build
    [ -x "$build/$1" ] || { echo "patch-bench: $build/$1 is missing; build first" >&2; exit 1; }
    echo "$build/$1"
}
cli=$(tool launcher/cli/lume-cli)
pak=$(tool tools/pak/lume-pak)
publish=$(tool tools/publish/lume-publish)
[ -x /usr/bin/time ] || { echo "patch-bench: GNU time is missing (apt-get install time)" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/lume-patch-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT
export LUME_INSTANCE_NAME=lume-patch-bench-$$

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }
# Text that deflates to about three quarters, as game data often does.
text() { head -c "$(($1 * 3 / 4))" /dev/urandom | base64 -w 76 | head -c "$1" || true; }

# Applies the patch in $dir/$1 to fresh copies of $dir/$2, runs times, after the same
# number of `cp -r` of the patch; leaves the medians in apply, copy and rss.
measure() {  # patch old
    local patch=$dir/$1 old=$dir/$2
    rm -f "$dir"/*.times "$dir/rss.all"
    for _ in $(seq "$runs"); do
        rm -rf "$dir/game" "$dir/copy"
        cp -r "$old" "$dir/game"
        find "$patch" "$dir/game" -type f -exec cat {} + >/dev/null  # both in the page cache
        t0=$(now); cp -r "$patch" "$dir/copy"; t1=$(now)
        awk "BEGIN {print $t1 - $t0}" >>"$dir/copy.times"
        t0=$(now)
        /usr/bin/time -f '%M' -o "$dir/rss" "$cli" patch "$patch" -C "$dir/game" >/dev/null
        t1=$(now)
        awk "BEGIN {print $t1 - $t0}" >>"$dir/apply.times"
        cat "$dir/rss" >>"$dir/rss.all"
    done
    apply=$(median <"$dir/apply.times")
    copy=$(median <"$dir/copy.times")
    rss=$(median <"$dir/rss.all")
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)  ($(nproc) CPUs)"

# -- 1. about 10 % changed
files=64
file_bytes=$((mib * 1024 * 1024 / 2 / files))
members=$((mib / 2 / 4))
echo "== a ${mib} MiB installation: $files loose files of $file_bytes bytes, 4 packs of $members members"
mkdir -p "$dir/v1/files" "$dir/v1/data" "$dir/v2/data"
head -c "$((file_bytes * files))" /dev/urandom | split -b "$file_bytes" -d -a 2 - "$dir/v1/files/f"
for p in 0 1 2 3; do
    mkdir -p "$dir/src/pack$p"
    head -c "$((members * 1024 * 1024))" /dev/urandom | split -b 1048576 -d -a 4 - "$dir/src/pack$p/m"
    "$pak" create "$dir/src/pack$p" "$dir/v1/data/pack$p.pak" >/dev/null
done
cp -r "$dir/v1/files" "$dir/v2/"
for i in $(seq 0 10 $((files - 1))); do
    name=$dir/v2/files/f$(printf '%02d' "$i")
    if [ $((i % 20)) -eq 0 ]; then head -c "$file_bytes" /dev/urandom >"$name"; else text "$file_bytes" >"$name"; fi
done
for p in 0 1 2 3; do
    for m in $(seq 0 10 $((members - 1))); do
        head -c 1048576 /dev/urandom >"$dir/src/pack$p/m$(printf '%04d' "$m")"
    done
    "$pak" create "$dir/src/pack$p" "$dir/v2/data/pack$p.pak" >/dev/null
done
"$publish" --patch "$dir/v1" "$dir/v2" "$dir/patch" | tail -n 1
patch_mib=$(du -sm "$dir/patch" | cut -f1)
measure patch v1
cmp -s "$dir/v2/files/f10" "$dir/game/files/f10" || { echo "patch-bench: the patch did not apply" >&2; exit 1; }
printf '1. patch of %s MiB (of %s MiB): lume-cli patch %.2f s; cp -r of the patch %.2f s; ratio %.2f; peak memory %.1f MiB\n' \
    "$patch_mib" "$mib" "$apply" "$copy" "$(awk "BEGIN {print $apply / $copy}")" \
    "$(awk "BEGIN {print $rss / 1024}")"

# -- 2. one large file
big=$((mib / 4))
mkdir -p "$dir/b1" "$dir/b2"
text "$((big * 1024 * 1024))" >"$dir/b1/big.dat"
text "$((big * 1024 * 1024))" >"$dir/b2/big.dat"
"$publish" --patch "$dir/b1" "$dir/b2" "$dir/bigpatch" >/dev/null
measure bigpatch b1
cmp -s "$dir/b2/big.dat" "$dir/game/big.dat" || { echo "patch-bench: the patch did not apply" >&2; exit 1; }
printf '2. one %s MiB file, deflated to %s MiB: lume-cli patch %.2f s; cp -r of the patch %.2f s; peak memory %.1f MiB\n' \
    "$big" "$(du -sm "$dir/bigpatch" | cut -f1)" "$apply" "$copy" "$(awk "BEGIN {print $rss / 1024}")"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
