#!/usr/bin/env bash
# Whole updates over a line with a real round-trip time. A release of about 200 MB (3,000
# loose files of mixed sizes and two packs, bench/make-release.py) is published with
# lume-publish and served by nginx; lume-cli installs it fresh and updates it with 10 %
# changed, against aria2c -x6 -j6 and curl (one file after another over one connection)
# fetching the same files; and one 64 MiB file against aria2c -x6. At 0 ms the client and
# nginx talk over the plain loopback; at any other round trip both run inside
# /work/shared/tools/netdelay/with-latency.sh, which delays every packet (root only).
#
# Prints, per round trip and case, the median of RUNS runs of each client: wall time,
# MB/s, requests, requests per MB, CPU seconds per GB and peak memory, then our wall time
# as a ratio to each baseline. The machine's load is printed before and after: on a busy
# machine compare the ratios, not the seconds.
#
# Needs nginx, aria2, curl, GNU time, python3, and for a round trip above 0 iptables and
# libnetfilter-queue-dev (apt-get install nginx aria2 curl time iptables libnetfilter-queue-dev).
# Build a release first:
#   cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUME_TESTS=OFF
#   cmake --build build/release
#   bench/latency-bench.sh build/release --rtt "0 50" --runs 3
# Options:
#   --rtt "LIST"        round trips in ms (default "0 50")
#   --runs N            runs of each client per case (default 3)
#   --baseline DIR      also run DIR's lume-cli (another build, e.g. of an older commit)
#   --h2c               also run lume-cli over HTTP/2 without TLS (nginx "listen ... http2",
#                       bin\config.ini "http2=1")
#   --scale F           release size factor (default 1: about 200 MB)
#   --no-curl-at-rtt    skip curl above 0 ms (it fetches 3,000 files one round trip each)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build=
rtts="0 50"
runs=3
baseline=
h2c=0
scale=1
curl_at_rtt=1
if [ "${1:-}" = --inner ]; then
    inner=1
    shift
else
    inner=0
fi
while [ $# -gt 0 ]; do
    case $1 in
        --rtt) rtts=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --baseline) baseline=$(readlink -f "$2"); shift 2 ;;
        --h2c) h2c=1; shift ;;
        --scale) scale=$2; shift 2 ;;
        --no-curl-at-rtt) curl_at_rtt=0; shift ;;
        --dir) dir=$2; shift 2 ;;
        --this-rtt) this_rtt=$2; shift 2 ;;
        -*) echo "latency-bench: unknown option $1" >&2; exit 2 ;;
        *) build=$(readlink -f "$1"); shift ;;
    esac
done
build=${build:-$root/build/release}
cli=$build/launcher/cli/lume-cli

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# ---------------------------------------------------------------------------------------
# The measuring part: runs with nginx in the same network (namespace) as the clients.
# ---------------------------------------------------------------------------------------
if [ "$inner" = 1 ]; then
    res=$dir/results/$this_rtt
    mkdir -p "$res"
    nginx_pid=
    trap '[ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null; true' EXIT
    . "$root/bench/nginx.sh"
    extra_listen=
    if [ "$h2c" = 1 ]; then
        port2=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
        extra_listen="listen 127.0.0.1:$port2 http2;"
    fi
    NGINX_EXTRA_LISTEN=$extra_listen start_nginx "$dir/serve"
    host=127.0.0.1:$port
    log=$dir/serve/nginx/access.log

    # measure NAME CASE CMD...: appends "wall cpu peak_kib requests bytes" to the case's file.
    measure() {
        local name=$1 case=$2
        shift 2
        local before after
        before=$(wc -l <"$log")
        if ! /usr/bin/time -f '%e %U %S %M' -o "$dir/time.out" "$@" >"$dir/run.out" 2>&1; then
            echo "latency-bench: $name failed in $case:" >&2
            tail -5 "$dir/run.out" >&2
            exit 1
        fi
        sleep 0.2  # nginx logs a request when it has ended
        after=$(wc -l <"$log")
        local bytes
        bytes=$(tail -n "$((after - before))" "$log" | awk '{ s += $10 } END { print s + 0 }')
        awk -v r="$((after - before))" -v b="$bytes" '{ printf "%s %.3f %d %d %d\n", $1, $2 + $3, $4, r, b }' \
            "$dir/time.out" >>"$res/$case.$name"
    }
    # The clients, as commands GNU time can run.
    aria=(aria2c -q -x6 -j6 --allow-overwrite=true --auto-file-renaming=false -d "$dir/out" -i)
    fetch_curl=(curl -s --fail --create-dirs --output-dir "$dir/out" -K)
    fresh_game() {  # fresh_game DIR [http2]
        rm -rf "$1"
        mkdir -p "$1/bin"
        [ "${2:-}" = http2 ] && printf '[other]\nhttp2=1\n' >"$1/bin/config.ini"
        sync
    }
    v1_game() {  # v1_game DIR [http2]
        rm -rf "$1"
        cp -r "$dir/v1" "$1"
        [ "${2:-}" = http2 ] && printf '[other]\nhttp2=1\n' >"$1/bin/config.ini"
        sync
    }
    lists() {  # lists CASE FILES_LIST: aria2c and curl input files of that case's URLs
        sed "s|^|http://$host/|; s|\$||" "$2" >"$dir/$1.urls"
        awk -v h="http://$host/" '{ print h $0; print "  out=" $0 }' "$2" >"$dir/$1.aria"
        awk -v h="http://$host/" '{ print "url = \"" h $0 "\""; print "output = \"" $0 "\"" }' "$2" >"$dir/$1.curl"
    }
    lists fresh "$dir/fresh.files"
    lists update "$dir/update.files"
    lists single "$dir/single.files"
    with_curl=1
    [ "$this_rtt" != 0 ] && [ "$curl_at_rtt" = 0 ] && with_curl=0

    # ours CASE SETUP PATH: lume-cli on one case (also over h2c, and the baseline build).
    ours() {
        local case=$1 setup=$2 path=$3
        $setup "$dir/game"; measure ours "$case" "$cli" update -C "$dir/game" --host "$host" --path "$path"
        if [ "$h2c" = 1 ]; then
            $setup "$dir/game" http2; measure ours-h2c "$case" "$cli" update -C "$dir/game" --host "127.0.0.1:$port2" --path "$path"
        fi
        if [ -n "$baseline" ]; then
            $setup "$dir/game"; measure base "$case" "$baseline/launcher/cli/lume-cli" update -C "$dir/game" --host "$host" --path "$path"
        fi
    }
    # theirs CASE: aria2c and curl over the case's files.
    theirs() {
        rm -rf "$dir/out"; mkdir -p "$dir/out"; sync; measure aria2c "$1" "${aria[@]}" "$dir/$1.aria"
        if [ "$with_curl" = 1 ]; then
            rm -rf "$dir/out"; mkdir -p "$dir/out"; sync; measure curl "$1" "${fetch_curl[@]}" "$dir/$1.curl"
        fi
    }

    for i in $(seq "$runs"); do
        ours fresh fresh_game /fresh
        theirs fresh
        # 10 % changed.
        ours update v1_game /release
        theirs update
        # One 64 MiB file, against aria2c's segmented download.
        ours single fresh_game /single
        rm -rf "$dir/out"; mkdir -p "$dir/out"; sync
        measure aria2c single aria2c -q -x6 -s6 -k1M --allow-overwrite=true -d "$dir/out" -i "$dir/single.urls"
        echo "  rtt $this_rtt ms: run $i of $runs done (load $(cut -d' ' -f1 /proc/loadavg))" >&2
    done
    exit 0
fi

# ---------------------------------------------------------------------------------------
# The preparing part: the release, then one measuring part per round trip.
# ---------------------------------------------------------------------------------------
for tool in "$cli" "$build/tools/pak/lume-pak" "$build/tools/publish/lume-publish"; do
    [ -x "$tool" ] || { echo "latency-bench: $tool is missing; build a release first (see the header)" >&2; exit 1; }
done
for tool in aria2c curl python3; do
    command -v "$tool" >/dev/null || { echo "latency-bench: $tool is missing" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "latency-bench: GNU time is missing (apt-get install time)" >&2; exit 1; }
[ -x /usr/sbin/nginx ] || command -v nginx >/dev/null || { echo "latency-bench: nginx is missing" >&2; exit 1; }
for rtt in $rtts; do
    if [ "$rtt" != 0 ] && [ "$(id -u)" != 0 ]; then
        echo "latency-bench: a round trip above 0 ms needs root (with-latency.sh)" >&2
        exit 1
    fi
done
pak=$build/tools/pak/lume-pak
publish=$build/tools/publish/lume-publish
latency=${LUME_WITH_LATENCY:-/work/shared/tools/netdelay/with-latency.sh}

dir=$(mktemp -d "${TMPDIR:-/tmp}/lume-latency-bench-XXXXXX")
trap 'rm -rf "$dir"' EXIT
echo "== making the release in $dir (scale $scale)" >&2
python3 "$root/bench/make-release.py" "$dir" "$scale"
for v in 1 2; do
    mkdir -p "$dir/v$v/data" "$dir/v$v/bin"
    for p in ui sound; do
        "$pak" create "$dir/src$v/$p" "$dir/v$v/data/$p.pak" >/dev/null
    done
done
www=$dir/serve/www
# fresh: version 2 alone; release: version 1, then version 2 (the update); single: 64 MiB.
"$publish" "$dir/v2" "$www/fresh" >/dev/null
"$publish" "$dir/v1" "$www/release" >/dev/null
touch "$dir/marker"
sleep 1
"$publish" "$dir/v2" "$www/release" >/dev/null
"$publish" "$dir/single" "$www/single" >/dev/null
# The files each case fetches, for aria2c and curl: everything of the fresh tree; what the
# second publication added (the changed data, flist.xml and the changed sub file lists).
(cd "$www" && find fresh -type f | sort >"$dir/fresh.files")
(cd "$www" && { find release -type f -newer "$dir/marker"; echo release/flist.xml; } | sort -u >"$dir/update.files")
(cd "$www" && find single -type f -name '*.gzf.*' >"$dir/single.files")
fresh_mb=$(cd "$www" && xargs du -cb <"$dir/fresh.files" | tail -1 | cut -f1)
update_mb=$(cd "$www" && xargs du -cb <"$dir/update.files" | tail -1 | cut -f1)
echo "== fresh install: $(wc -l <"$dir/fresh.files") files, $((fresh_mb / 1000000)) MB;" \
    "update: $(wc -l <"$dir/update.files") files, $((update_mb / 1000000)) MB; single: 64 MiB" >&2
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)  ($(nproc) CPUs)"

args=(--dir "$dir" --runs "$runs" --scale "$scale")
[ -n "$baseline" ] && args+=(--baseline "$baseline")
[ "$h2c" = 1 ] && args+=(--h2c)
[ "$curl_at_rtt" = 0 ] && args+=(--no-curl-at-rtt)
for rtt in $rtts; do
    echo "== round trip $rtt ms" >&2
    if [ "$rtt" = 0 ]; then
        "$0" --inner "$build" "${args[@]}" --this-rtt 0
    else
        "$latency" "$rtt" "$0" --inner "$build" "${args[@]}" --this-rtt "$rtt"
    fi
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$dir/results" "$rtts" <<'PY'
import os, statistics, sys
results, rtts = sys.argv[1], sys.argv[2].split()
labels = {"ours": "lume-cli", "ours-h2c": "lume-cli, h2c", "base": "lume-cli (baseline)",
          "aria2c": "aria2c -x6 -j6", "curl": "curl, one after another"}
cases = {"fresh": "fresh install", "update": "update, 10 % changed", "single": "one 64 MiB file"}
for rtt in rtts:
    for case, title in cases.items():
        rows = {}
        for name in labels:
            path = os.path.join(results, rtt, f"{case}.{name}")
            if not os.path.exists(path):
                continue
            runs = [list(map(float, l.split())) for l in open(path) if l.strip()]
            med = lambda i: statistics.median(r[i] for r in runs)
            rows[name] = dict(wall=med(0), cpu=med(1), peak=med(2) / 1024, req=med(3),
                              mb=med(4) / 1e6, walls=[r[0] for r in runs])
        if not rows:
            continue
        if case == "single" and "aria2c" in rows:
            labels_case = dict(labels, aria2c="aria2c -x6 -s6 -k1M")
        else:
            labels_case = labels
        print(f"\n{title}, {rtt} ms round trip (median of {len(next(iter(rows.values()))['walls'])})")
        print(f"  {'':26} {'wall s':>7} {'MB/s':>7} {'req':>6} {'req/MB':>7} {'CPU s/GB':>9} {'peak MiB':>9}  runs")
        for name, r in rows.items():
            mbps = r["mb"] / r["wall"] if r["wall"] else 0
            cpu = r["cpu"] / (r["mb"] / 1000) if r["mb"] else 0
            print(f"  {labels_case[name]:26} {r['wall']:7.2f} {mbps:7.1f} {r['req']:6.0f}"
                  f" {r['req'] / r['mb'] if r['mb'] else 0:7.1f} {cpu:9.2f} {r['peak']:9.1f}  "
                  + " ".join(f"{w:.2f}" for w in r["walls"]))
        for ours in ("ours", "ours-h2c"):
            if ours not in rows:
                continue
            for other in ("base", "aria2c", "curl"):
                if other in rows:
                    print(f"  {labels_case[other]} / {labels_case[ours]} (wall): "
                          f"{rows[other]['wall'] / rows[ours]['wall']:.2f}x")
PY
