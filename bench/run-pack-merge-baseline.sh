#!/usr/bin/env bash
# The pack merge against dd: runs BM_Merge10kInto100k (10,000 changed files into a
# 100,000-record pack), reads how many bytes the merge writes, then times dd writing the
# same number of bytes (4 KiB and 1 KiB blocks, no fsync) and prints the medians and the
# ratio merge / dd.
# Usage: bench/run-pack-merge-baseline.sh BENCH_BINARY [repetitions]   (default 5)
set -euo pipefail

bench=${1:?usage: $0 path/to/bench_PackBench [repetitions]}
reps=${2:-5}
dir=$(mktemp -d "${TMPDIR:-/tmp}/lume-merge-dd-XXXXXX")
trap 'rm -rf "$dir"' EXIT

"$bench" --benchmark_filter=BM_Merge10kInto100k --benchmark_repetitions="$reps" \
    --benchmark_format=json >"$dir/merge.json" 2>/dev/null

python3 - "$dir" "$reps" <<'PY'
import json, statistics, subprocess, sys, time
dir, reps = sys.argv[1], int(sys.argv[2])
runs = [b for b in json.load(open(f"{dir}/merge.json"))["benchmarks"]
        if b.get("run_type") == "iteration"]
merge_ms = statistics.median(b["real_time"] for b in runs)
written = int(runs[0]["bytes_written"])
print(f"merge: median {merge_ms:.1f} ms over {len(runs)} runs, {written} bytes written")
for bs in (4096, 1024):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        subprocess.run(["dd", "if=/dev/zero", f"of={dir}/dd.bin", f"bs={bs}",
                        f"count={written // bs}", "status=none"], check=True)
        times.append((time.perf_counter() - start) * 1000)
    dd_ms = statistics.median(times)
    print(f"dd bs={bs}: median {dd_ms:.1f} ms; merge / dd = {merge_ms / dd_ms:.2f}")
PY
