#!/usr/bin/env bash
# What verifying a signed release costs an update: the same update from version 1 to 2 on
# loopback nginx, with bin/release.pub (the manifest fetched and checked, SHA-256 over every
# downloaded byte) and without it (CRC-32 only, as before), run alternately in one run so
# that both see the same machine; prints the medians and their ratio, and the machine's load.
# The install is half loose files, half packs of incompressible members; about 10 % of it
# changes (as in bench/update-bench.sh). Also prints the launcher's CPU time, which a busy
# machine disturbs less than the wall clock. Needs nginx, curl, python3 (a free port) and GNU
# time (apt-get install nginx curl time). For a link with latency, run it in a network
# namespace whose loopback delays packets.
# Usage: bench/signed-update-bench.sh [BUILD_DIR] [MIB] [RUNS]   (build/release, 1024, 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "${1:-$root/build/release}")
mib=${2:-1024}
runs=${3:-5}
cli=$build/launcher/cli/lume-cli
pak=$build/tools/pak/lume-pak
publish=$build/tools/publish/lume-publish
for tool in "$cli" "$pak" "$publish"; do
    [ -x "$tool" ] || { echo "signed-update-bench: $tool is missing; build first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "signed-update-bench: GNU time is missing" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/lume-signed-bench-XXXXXX")
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    [ -n "${LUME_BENCH_KEEP:-}" ] || rm -rf "$dir"
}
trap cleanup EXIT

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

loose=$((mib * 1024 * 1024 / 2))
count=1000
file_bytes=$((loose / count))
member_bytes=$((1024 * 1024))
members=$((mib / 2 / 4))
echo "== a ${mib} MiB install: $count loose files of $file_bytes bytes, 4 packs of $members members"
"$publish" keygen "$dir/keys/release" >/dev/null
mkdir -p "$dir/v1/files" "$dir/v1/data" "$dir/v1/bin" "$dir/src"
head -c "$((file_bytes * count))" /dev/urandom | split -b "$file_bytes" -d -a 4 - "$dir/v1/files/f"
for p in 0 1 2 3; do
    mkdir -p "$dir/src/pack$p"
    head -c "$((member_bytes * members))" /dev/urandom | split -b "$member_bytes" -d -a 4 - "$dir/src/pack$p/m"
    "$pak" create "$dir/src/pack$p" "$dir/v1/data/pack$p.pak" >/dev/null
done
cp "$dir/keys/release.pub" "$dir/v1/bin/release.pub"
mkdir -p "$dir/v2/data"
cp -r "$dir/v1/files" "$dir/v1/bin" "$dir/v2/"
for i in $(seq 0 10 $((count - 1))); do
    head -c "$file_bytes" /dev/urandom >"$dir/v2/files/f$(printf '%04d' "$i")"
done
for p in 0 1 2 3; do
    for m in $(seq 0 10 $((members - 1))); do
        head -c "$member_bytes" /dev/urandom >"$dir/src/pack$p/m$(printf '%04d' "$m")"
    done
    "$pak" create "$dir/src/pack$p" "$dir/v2/data/pack$p.pak" >/dev/null
done
"$publish" "$dir/v1" "$dir/www/release" --sign "$dir/keys/release" >/dev/null
sleep 1
touch "$dir/published-v1"
"$publish" "$dir/v2" "$dir/www/release" --sign "$dir/keys/release" >/dev/null
changed=$(find "$dir/www/release" -type f -name '*.gzf.*' -newer "$dir/published-v1" -printf '%s\n' |
    awk '{s+=$1} END {printf "%.0f", s / 1048576}')
echo "   changed data: about $changed MiB"

. "$root/bench/nginx.sh"
start_nginx "$dir"
host=127.0.0.1:$port
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)  ($(nproc) CPUs)"

run() {  # verified|plain
    rm -rf "$dir/game"
    cp -r "$dir/v1" "$dir/game"
    [ "$1" = verified ] || rm "$dir/game/bin/release.pub"
    sync
    local t0 t1
    t0=$(now)
    /usr/bin/time -f '%U %S' -o "$dir/cpu" "$cli" update -C "$dir/game" --host "$host" \
        --path /release >"$dir/out.txt" 2>&1 ||
        { echo "signed-update-bench: the $1 update failed:" >&2; cat "$dir/out.txt" >&2; exit 1; }
    t1=$(now)
    awk '{print $1 + $2}' "$dir/cpu" >>"$dir/$1.cpu"
    if [ "$1" = verified ]; then
        grep -q '发布清单已验证' "$dir/out.txt" || { echo "signed-update-bench: not verified" >&2; exit 1; }
    fi
    awk "BEGIN {print $t1 - $t0}" >>"$dir/$1.times"
}
run plain  # warms the page cache and nginx
rm -f "$dir/plain.times" "$dir/plain.cpu"
for _ in $(seq "$runs"); do
    run verified
    run plain
done
verified=$(median <"$dir/verified.times")
plain=$(median <"$dir/plain.times")
printf 'update 1 -> 2 (%s runs each, medians): verified %.2f s, unverified %.2f s, ratio %.3f\n' \
    "$runs" "$verified" "$plain" "$(awk "BEGIN {print $verified / $plain}")"
printf '   CPU time of the launcher (user + system, medians): verified %.2f s, unverified %.2f s, ratio %.3f\n' \
    "$(median <"$dir/verified.cpu")" "$(median <"$dir/plain.cpu")" \
    "$(awk "BEGIN {print $(median <"$dir/verified.cpu") / $(median <"$dir/plain.cpu")}")"
echo "   verified:   $(sort -n "$dir/verified.times" | tr '\n' ' ')"
echo "   unverified: $(sort -n "$dir/plain.times" | tr '\n' ' ')"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
