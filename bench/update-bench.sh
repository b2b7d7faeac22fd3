#!/usr/bin/env bash
# Whole-update figures on loopback nginx, with the release tools and the terminal launcher:
#   1. the no-op check of an up-to-date install (packs plus 5,000 loose files) against `cat`
#      of all loose bytes to /dev/null (loose files are checksummed, so that is the floor);
#   2. an update where about 10 % of the install changed, against `aria2c -x6 -j6` fetching
#      the same changed data, and the launcher's peak memory;
#   3. planning a pack of 100,000 records against its sub file list (1 % changed): the
#      update's check-and-plan phase, up to the moment the blocks are handed out.
# Prints medians of several runs and the machine's load. Needs nginx, aria2c, curl and GNU
# time (apt-get install nginx aria2 curl time); python3 picks a free port.
# Usage: bench/update-bench.sh [BUILD_DIR] [MIB] [RUNS]   (build/release, 2048, 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "${1:-$root/build/release}")
mib=${2:-2048}
runs=${3:-3}
cli=$build/launcher/cli/lume-cli
pak=$build/tools/pak/lume-pak
publish=$build/tools/publish/lume-publish
for tool in "$cli" "$pak" "$publish"; do
    [ -x "$tool" ] || { echo "update-bench: $tool is missing; build first" >&2; exit 1; }
done
for tool in aria2c curl python3; do
    command -v "$tool" >/dev/null || { echo "update-bench: $tool is missing" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "update-bench: GNU time is missing (apt-get install time)" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/lume-update-bench-XXXXXX")
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

# -- the install: half in 5,000 loose files, half in 4 packs of incompressible members
loose_bytes=$((mib * 1024 * 1024 / 2))
file_bytes=$((loose_bytes / 5000))
member_bytes=$((1024 * 1024))
members=$((mib / 2 / 4))
echo "== making a ${mib} MiB install: 5000 loose files of $file_bytes bytes, 4 packs of $members members"
mkdir -p "$dir/v1/files" "$dir/src"
head -c "$((file_bytes * 5000))" /dev/urandom | split -b "$file_bytes" -d -a 4 - "$dir/v1/files/f"
for p in 0 1 2 3; do
    mkdir -p "$dir/src/pack$p"
    head -c "$((member_bytes * members))" /dev/urandom | split -b "$member_bytes" -d -a 4 - "$dir/src/pack$p/m"
    mkdir -p "$dir/v1/data"
    "$pak" create "$dir/src/pack$p" "$dir/v1/data/pack$p.pak" >/dev/null
done
"$publish" "$dir/v1" "$dir/www/release" >/dev/null

. "$root/bench/nginx.sh"
start_nginx "$dir"
host=127.0.0.1:$port
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)  ($(nproc) CPUs)"

# -- 1. the no-op check
cp -r "$dir/v1" "$dir/game"
cat "$dir/game/files/"* "$dir/game/data/"* >/dev/null  # warm the page cache
for _ in $(seq "$runs"); do
    t0=$(now); cat "$dir/game/files/"* >/dev/null; t1=$(now)
    awk "BEGIN {print $t1 - $t0}" >>"$dir/cat.times"
    t0=$(now); "$cli" update -C "$dir/game" --host "$host" --path /release >/dev/null; t1=$(now)
    awk "BEGIN {print $t1 - $t0}" >>"$dir/noop.times"
done
noop=$(median <"$dir/noop.times")
floor=$(median <"$dir/cat.times")
printf '1. no-op check of %s MiB: %.2f s; cat of the loose bytes: %.2f s; ratio %.2f\n' \
    "$mib" "$noop" "$floor" "$(awk "BEGIN {print $noop / $floor}")"

# -- 2. about 10 % changed: 500 loose files and 10 % of each pack's members
mkdir -p "$dir/v2"
cp -r "$dir/v1/files" "$dir/v2/"
for i in $(seq -w 0 10 4999); do
    head -c "$file_bytes" /dev/urandom >"$dir/v2/files/f$(printf '%04d' "$((10#$i))")"
done
mkdir -p "$dir/v2/data"
for p in 0 1 2 3; do
    for m in $(seq 0 10 $((members - 1))); do
        head -c "$member_bytes" /dev/urandom >"$dir/src/pack$p/m$(printf '%04d' "$m")"
    done
    "$pak" create "$dir/src/pack$p" "$dir/v2/data/pack$p.pak" >/dev/null
done
"$publish" "$dir/v2" "$dir/www/release" >/dev/null
# The changed data: what flist.xml and the sub file lists of version 2 name that version 1
# did not have.
(cd "$dir/www/release" && find . -type f -newer "$dir/nginx/nginx.conf" -name '*.gzf.*' | sed "s|^\.|http://$host/release|") \
    >"$dir/changed.list"
changed_bytes=$(cd "$dir/www/release" && find . -type f -newer "$dir/nginx/nginx.conf" -name '*.gzf.*' -printf '%s\n' | awk '{s+=$1} END {print s}')
echo "2. changed data: $(wc -l <"$dir/changed.list") files, $((changed_bytes / 1024 / 1024)) MiB"
for _ in $(seq "$runs"); do
    rm -rf "$dir/game" "$dir/aria"
    cp -r "$dir/v1" "$dir/game"
    sync
    t0=$(now)
    /usr/bin/time -f '%M' -o "$dir/rss" "$cli" update -C "$dir/game" --host "$host" --path /release >/dev/null
    t1=$(now)
    awk "BEGIN {print $t1 - $t0}" >>"$dir/update.times"
    cat "$dir/rss" >>"$dir/update.rss"
    t0=$(now)
    aria2c -q -x6 -j6 -d "$dir/aria" -i "$dir/changed.list" --allow-overwrite=true
    t1=$(now)
    awk "BEGIN {print $t1 - $t0}" >>"$dir/aria.times"
done
up=$(median <"$dir/update.times")
aria=$(median <"$dir/aria.times")
rss=$(median <"$dir/update.rss")
printf '   update 1 -> 2: %.2f s; aria2c -x6 -j6 of the changed data: %.2f s; ratio %.2f; peak memory %.1f MiB\n' \
    "$up" "$aria" "$(awk "BEGIN {print $up / $aria}")" "$(awk "BEGIN {print $rss / 1024}")"
echo "   (the update also checksums every loose file, which the aria2c baseline does not)"

# -- 3. a pack of 100,000 records, 1 % of them changed
mkdir -p "$dir/src/big" "$dir/p1/data" "$dir/p2/data"
(cd "$dir/src/big" && head -c 6400000 /dev/urandom | split -b 64 -d -a 6 - r)
"$pak" create "$dir/src/big" "$dir/p1/data/big.pak" >/dev/null
for i in $(seq 0 100 99999); do
    head -c 64 /dev/urandom >"$dir/src/big/r$(printf '%06d' "$i")"
done
"$pak" create "$dir/src/big" "$dir/p2/data/big.pak" >/dev/null
"$publish" "$dir/p1" "$dir/www/plan" >/dev/null
"$publish" "$dir/p2" "$dir/www/plan" >/dev/null
for _ in $(seq "$runs"); do
    rm -rf "$dir/pgame"
    cp -r "$dir/p1" "$dir/pgame"
    t0=$(now)
    "$cli" update -C "$dir/pgame" --host "$host" --path /plan >/dev/null
    t1=$(now)
    awk "BEGIN {print $t1 - $t0}" >>"$dir/plan.times"
done
printf '3. a 100,000-record pack with 1000 changed members, the whole update (planning included): %.2f s\n' \
    "$(median <"$dir/plan.times")"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
