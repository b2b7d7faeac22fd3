#!/usr/bin/env bash
# The same work as bench_FileSystemBench done by dd with 4 KiB blocks (no fsync), so the
# stream figures can be compared with what the system does in the same chunk size:
#   an 8 MiB zero fill, and a 64 MiB file-to-file copy.
# Usage: bench/run-dd-baseline.sh [repetitions]   (default 5)
set -euo pipefail

reps=${1:-5}
dir=$(mktemp -d "${TMPDIR:-/tmp}/lume-dd-XXXXXX")
trap 'rm -rf "$dir"' EXIT

# dd's last stderr line: "<bytes> bytes (...) copied, <seconds> s, <rate>"
rate() { tail -n 1 | sed -E 's/.*copied, ([0-9.,]+ s), (.*)$/\1  \2/'; }

echo "zero fill, 8 MiB, bs=4096:"
for _ in $(seq "$reps"); do
    dd if=/dev/zero of="$dir/zeros.bin" bs=4096 count=2048 2>&1 | rate
done

dd if=/dev/urandom of="$dir/source.bin" bs=1M count=64 status=none
echo "copy, 64 MiB, bs=4096:"
for _ in $(seq "$reps"); do
    dd if="$dir/source.bin" of="$dir/copy.bin" bs=4096 2>&1 | rate
done
