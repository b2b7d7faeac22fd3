#!/usr/bin/env bash
# Download figures on loopback nginx: six download threads fetching one file in 32 KiB
# ranges through the file writer (bench_DownloadBench), against aria2c with six connections
# and curl fetching the same file whole. Prints the median of several runs of each: wall
# time, requests per second (from nginx's access log), CPU seconds (user + system) per GiB,
# and the ratios of our wall time to the baselines; and the machine's load.
# Needs nginx, aria2 (aria2c) and curl: apt-get install nginx aria2 curl.
# Usage: bench/download-bench.sh [BENCH_BINARY] [RUNS] [MIB]
#   defaults: build/bench/bench/bench_DownloadBench, 5 runs, 1024 MiB
set -euo pipefail

bench=${1:-build/bench/bench/bench_DownloadBench}
runs=${2:-5}
mib=${3:-1024}
for tool in nginx aria2c curl python3; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || {
        echo "download-bench: $tool is missing" >&2
        exit 1
    }
done
[ -x "$bench" ] || { echo "download-bench: no $bench (build with -DLUME_BENCH=ON)" >&2; exit 1; }
bench=$(readlink -f "$bench")

dir=$(mktemp -d "${TMPDIR:-/tmp}/lume-download-bench-XXXXXX")
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

mkdir -p "$dir/www/base/bench" "$dir/out" "$dir/nginx"
file="$dir/www/base/bench/big.dat.gzf.1"
head -c "$((mib * 1024 * 1024))" /dev/urandom > "$file"
size=$(stat -c %s "$file")
. "$(dirname "$0")/nginx.sh"
start_nginx "$dir"
url="http://127.0.0.1:$port/base/bench/big.dat.gzf.1"
cat "$file" > /dev/null  # into the page cache

echo "file: $mib MiB on nginx $("$nginx" -v 2>&1 | sed 's/.*\///') at 127.0.0.1:$port; $runs runs each"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)  ($(nproc) CPUs)"

# One measured run: prints "wall cpu requests".
measure() {
    local log_before after
    log_before=$(wc -l < "$dir/nginx/access.log")
    local times="$dir/times" TIMEFORMAT="%R %U %S"
    { time "$@" > "$dir/run.out" 2>&1; } 2> "$times" || {
        cat "$dir/run.out" >&2
        return 1
    }
    after=$(wc -l < "$dir/nginx/access.log")
    awk -v r="$((after - log_before))" '{ printf "%s %.3f %d\n", $1, $2 + $3, r }' "$times"
}

ours() {
    LUME_BENCH_HOST="127.0.0.1:$port" LUME_BENCH_SIZE="$size" LUME_BENCH_OUT="$dir/out" \
        "$bench" --benchmark_min_time=0 --benchmark_repetitions=1 \
        --benchmark_out="$dir/bench.json" --benchmark_out_format=json
}
aria() {
    aria2c -x6 -s6 -q --allow-overwrite=true --auto-file-renaming=false -d "$dir/out" \
        -o aria.bin "$url"
}
whole() {
    curl -s -o "$dir/out/curl.bin" "$url"
}

for name in ours aria whole; do
    : > "$dir/$name.txt"
done
for i in $(seq "$runs"); do
    for name in ours aria whole; do
        rm -rf "$dir/out" && mkdir -p "$dir/out"
        measure "$name" >> "$dir/$name.txt"
        if [ "$name" = ours ]; then
            # The transfer alone, as the benchmark timed it: without start-up and planning.
            python3 -c 'import json,sys; b=json.load(open(sys.argv[1]))["benchmarks"][0]
print(b["real_time"] / 1000, b["cpu_s_per_GiB"])' "$dir/bench.json" >> "$dir/transfer.txt"
        fi
    done
    echo "run $i done (load $(cut -d' ' -f1 /proc/loadavg))"
done

python3 - "$dir" "$size" <<'PY'
import statistics, sys
d, size = sys.argv[1], int(sys.argv[2])
gib = size / 2**30
rows = {}
for name in ("ours", "aria", "whole"):
    runs = [tuple(map(float, l.split())) for l in open(f"{d}/{name}.txt")]
    wall = statistics.median(r[0] for r in runs)
    cpu = statistics.median(r[1] for r in runs)
    req = statistics.median(r[2] for r in runs)
    rows[name] = (wall, cpu, req, [r[0] for r in runs])
labels = {"ours": "6 threads, 32 KiB ranges, writer",
          "aria": "aria2c -x6 -s6", "whole": "curl, whole file"}
print(f"{'':34} {'wall s':>8} {'MiB/s':>8} {'req':>7} {'req/s':>9} {'CPU s/GiB':>10}  runs (wall s)")
for name, (wall, cpu, req, walls) in rows.items():
    print(f"{labels[name]:34} {wall:8.2f} {size / 2**20 / wall:8.0f} {req:7.0f} {req / wall:9.0f}"
          f" {cpu / gib:10.2f}  {' '.join(f'{w:.2f}' for w in walls)}")
transfer = [tuple(map(float, l.split())) for l in open(f"{d}/transfer.txt")]
t_wall = statistics.median(t[0] for t in transfer)
t_cpu = statistics.median(t[1] for t in transfer)
print(f"{'  of which the transfer alone':34} {t_wall:8.2f} {size / 2**20 / t_wall:8.0f}"
      f" {rows['ours'][2]:7.0f} {rows['ours'][2] / t_wall:9.0f} {t_cpu:10.2f}"
      f"  {' '.join(f'{t[0]:.2f}' for t in transfer)}")
print(f"wall time ratio (whole processes): ours / aria2c = {rows['ours'][0] / rows['aria'][0]:.2f},"
      f" ours / curl = {rows['ours'][0] / rows['whole'][0]:.2f}")
print(f"wall time ratio (our transfer alone): ours / aria2c = {t_wall / rows['aria'][0]:.2f},"
      f" ours / curl = {t_wall / rows['whole'][0]:.2f}")
PY
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "(whole processes: wall and CPU from start to exit; ours then includes the update run's"
echo " planning, which zero-fills the temporary data file, as aria2c preallocates its file."
echo " nginx's own CPU is not counted for any client.)"
