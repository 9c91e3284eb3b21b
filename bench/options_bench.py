#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""What the value options cost: pellimor on 1920x1080 -> 3840x2160 (24-bit
BMP, the benchmark's photo-like picture) with its defaults and with each of
-round nearest, -taper 1, -linear on and all three, in rotating order;
prints the median wall and CPU time of each against the default's.

    /usr/bin/python3 bench/options_bench.py [--binary build/pellimor] [--repeat 9]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run_bench import make_image, write_bmp24  # noqa: E402

VARIANTS = [
    ("default", []),
    ("-round nearest", ["-round", "nearest"]),
    ("-taper 1", ["-taper", "1"]),
    ("-linear on", ["-linear", "on"]),
    ("all three", ["-round", "nearest", "-taper", "1", "-linear", "on"]),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--binary", default=str(Path(__file__).resolve().parent.parent / "build" / "pellimor"))
    ap.add_argument("--repeat", type=int, default=9)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        source = Path(scratch) / "in.bmp"
        write_bmp24(source, make_image(1920, 1080))
        wall = {name: [] for name, _ in VARIANTS}
        cpu = {name: [] for name, _ in VARIANTS}
        for round_ in range(args.repeat + 1):
            for k in range(len(VARIANTS)):
                name, extra = VARIANTS[(k + round_) % len(VARIANTS)]
                command = [args.binary, "-i", str(source), "-o", str(Path(scratch) / "out"), "-size",
                           "3840x2160!", "-progress", "off"] + extra
                before, start = os.times(), time.perf_counter()
                subprocess.run(command, check=True)
                seconds, after = time.perf_counter() - start, os.times()
                if round_ == 0:
                    continue  # warm-up
                wall[name].append(seconds)
                cpu[name].append(after.children_user - before.children_user +
                                 after.children_system - before.children_system)
    base_wall, base_cpu = statistics.median(wall["default"]), statistics.median(cpu["default"])
    print(f"1920x1080 -> 3840x2160, medians of {args.repeat}; load average {os.getloadavg()[0]:.2f}")
    print("| options | wall s | vs default | CPU s | vs default |")
    print("|---|---|---|---|---|")
    for name, _ in VARIANTS:
        w, c = statistics.median(wall[name]), statistics.median(cpu[name])
        print(f"| {name} | {w:.3f} | {w / base_wall:.2f}x | {c:.3f} | {c / base_cpu:.2f}x |")


if __name__ == "__main__":
    main()
