#!/usr/bin/env python3
"""Writes the game directories of the latency benchmark (bench/latency-bench.sh).

make-release.py OUT_DIR [SCALE]

OUT_DIR/v1 and OUT_DIR/v2 are two versions of a game as installed (loose files in folders,
the sources of two packs under OUT_DIR/src1 and OUT_DIR/src2, which the caller packs with
lume-pak into data/ui.pak and data/sound.pak); about 200 MB at SCALE 1. v2 differs from v1
in every tenth loose file and every tenth pack member. OUT_DIR/single holds one 64 MiB
file. A third of the files are text that deflates well, the rest are incompressible, as
game assets mostly are. The content is the same for the same arguments.
"""
import os
import random
import sys

out = sys.argv[1]
scale = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0
rng = random.Random(14)
WORDS = [w.encode() for w in (
    "grass marsh stone river tower gate guard quest reward level map sound theme light "
    "shadow forest cave dragon sword shield potion gold silver iron wood cloth").split()]


def text(n):
    parts, size = [], 0
    while size < n:
        w = WORDS[rng.randrange(len(WORDS))]
        parts.append(w)
        size += len(w) + 1
    return b" ".join(parts)[:n]


def content(n, compressible):
    return text(n) if compressible else rng.randbytes(n)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


# (count, smallest, largest) of the loose files, spread over folders of 100.
LOOSE = [(2400, 512, 24 << 10), (500, 32 << 10, 256 << 10), (40, 512 << 10, 3 << 20),
         (2, 8 << 20, 8 << 20)]
PACKS = {"ui": (300, 1 << 10, 32 << 10), "sound": (20, 256 << 10, 1 << 20)}

index = 0
for count, low, high in LOOSE:
    for _ in range(max(1, int(count * scale))):
        size = rng.randint(low, high)
        compressible = index % 3 == 0
        rel = f"files/f{index // 100:02d}/file{index:05d}.dat"
        first = content(size, compressible)
        write(os.path.join(out, "v1", rel), first)
        second = content(size, compressible) if index % 10 == 0 else first
        write(os.path.join(out, "v2", rel), second)
        index += 1

for name, (count, low, high) in PACKS.items():
    for i in range(max(1, int(count * scale))):
        size = rng.randint(low, high)
        compressible = i % 3 == 0
        first = content(size, compressible)
        write(os.path.join(out, "src1", name, f"m{i:04d}.bin"), first)
        second = content(size, compressible) if i % 10 == 0 else first
        write(os.path.join(out, "src2", name, f"m{i:04d}.bin"), second)

write(os.path.join(out, "single", "big.bin"), rng.randbytes(64 << 20))
