#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""What WebP output costs: pellimor halving a 1920x1080 photo-like picture
(24-bit BMP, the benchmark's picture) into PNG, JPEG, lossy WebP and
lossless WebP, and, as peers for the same job into lossy WebP, libvips and
ImageMagick when they work here; all in rotating order. Prints the median wall
time and the output's size of each, against pellimor's PNG output.

    /usr/bin/python3 bench/webp_bench.py [--binary build/pellimor] [--repeat 7]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run_bench import make_image, write_bmp24  # noqa: E402


def variants(binary, source, scratch):
    def ours(name, extra, extension):
        out = scratch / ("pellimor-" + name.replace(" ", "-"))
        return (f"pellimor, {name}", [binary, "-i", str(source), "-o", str(out), "-size", "50%",
                                      "-progress", "off"] + extra, Path(str(out) + extension))

    found = [
        ours("PNG", ["-format", "png"], ".png"),
        ours("JPEG q92", ["-format", "jpeg"], ".jpg"),
        ours("WebP q92", ["-format", "webp"], ".webp"),
        ours("WebP lossless", ["-format", "webp", "-lossless", "on"], ".webp"),
    ]
    if shutil.which("vips"):
        out = scratch / "vips.webp"
        found.append(("vips resize 0.5, WebP Q=92", ["vips", "resize", str(source), f"{out}[Q=92]", "0.5"], out))
    if shutil.which("convert"):
        out = scratch / "magick.webp"
        found.append(("convert -resize 50%, WebP q92",
                      ["convert", str(source), "-resize", "50%", "-quality", "92", str(out)], out))
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--binary", default=str(Path(__file__).resolve().parent.parent / "build" / "pellimor"))
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        scratch = Path(folder)
        source = scratch / "in.bmp"
        write_bmp24(source, make_image(1920, 1080))
        # A peer that cannot do the job here (a stand-in, no WebP saver) is left out.
        runs = [run for run in variants(args.binary, source, scratch)
                if run[0].startswith("pellimor") or
                subprocess.run(run[1], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0]
        wall = {name: [] for name, _, _ in runs}
        size = {}
        for round_ in range(args.repeat + 1):
            for k in range(len(runs)):
                name, command, out = runs[(k + round_) % len(runs)]
                start = time.perf_counter()
                subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
                seconds = time.perf_counter() - start
                size[name] = out.stat().st_size
                if round_ > 0:  # the first round warms up
                    wall[name].append(seconds)
    base = runs[0][0]
    base_wall = statistics.median(wall[base])
    print(f"1920x1080 -> 960x540, medians of {args.repeat}; load average {os.getloadavg()[0]:.2f}")
    print("| job | wall s | vs PNG | output KiB | vs PNG |")
    print("|---|---|---|---|---|")
    for name, _, _ in runs:
        w = statistics.median(wall[name])
        print(f"| {name} | {w:.3f} | {w / base_wall:.2f}x | {size[name] / 1024:.0f} | "
              f"{size[name] / size[base]:.2f}x |")


if __name__ == "__main__":
    main()
