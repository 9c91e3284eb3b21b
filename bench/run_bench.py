#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Whole-process benchmark of pellimor against other resizers.

Run with the system Python (it needs numpy, scipy, matplotlib and PIL):

    cmake -S . -B build-bench -DPELLIMOR_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
    cmake --build build-bench -j2
    /usr/bin/python3 bench/run_bench.py [--repeat 7] [--update-readme]

For every job the tools run side by side: one untimed warm-up round that
also checks the outputs, then --repeat timed rounds, each tool once per
round in a rotating order, so load changes on a shared machine hit every
tool alike. A run counts only when it exits 0 and leaves a 24-bit BMP of
exactly the requested size; anything else stops the benchmark.

Tools:
  pellimor          the default (FFTW) engine, default thread count
  pellimor direct   -engine direct, only where max(W, H) <= --direct-max;
                    elsewhere its time is extrapolated from the measured cost
                    per cosine term, terms = 3 (W H (W + H) + W' H' (W' + H'))
  ImageMagick       /usr/bin/convert IN -resize W'xH'! OUT.bmp
  libvips           vips resize IN OUT.bmp W'/W --vscale H'/H
  SciPy DCT         bench/scipy_resize.py: the same cosine-domain resize
                    (its bytes are compared with pellimor's)

PNG -> PNG and JPEG -> JPEG (--formats, default png,jpeg; --format-repeat
timed rounds, default 5): 1920x1080 -> 3840x2160 and 4000x3000 -> 2000x1500
on the same photo-like images, written once by pellimor as PNG and as JPEG
at quality 92, by pellimor (-size W'xH'! -format png|jpeg), ImageMagick
(its default filter, -quality 92 for JPEG) and libvips (vips resize, Q=92
for JPEG). Every output must be an 8-bit RGB file of the requested size (its
header, every run; decoded whole by PIL in the warm-up round) and the same
size every run. Reported: median wall and CPU time, peak RSS, output bytes,
and pellimor against the faster peer (time goal 0.7x, PNG no larger, peak
RSS at most 72 MB).

Wall time is measured around the whole process (perf_counter around
GNU time); peak RSS is GNU time's %M. Writes bench/results.md and
bench/results.png; --update-readme also rewrites the "## Benchmarks"
section of README.md (and nothing else in it).
"""
import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
GNU_TIME = "/usr/bin/time"
CONVERT = "/usr/bin/convert"  # /usr/local/bin/convert is not ImageMagick
VIPS = shutil.which("vips") or "/usr/bin/vips"

TOOLS = ["pellimor", "direct", "magick", "vips", "scipy"]
LABEL = {
    "pellimor": "pellimor (fast)",
    "direct": "pellimor -engine direct",
    "magick": "ImageMagick convert",
    "vips": "libvips resize",
    "scipy": "SciPy DCT script",
}
COLOUR = {"pellimor": "C0", "direct": "C3", "magick": "C1", "vips": "C2", "scipy": "C4"}

# (name, W, H, W', H', kind); kind "named" jobs get bars in the plot.
NAMED_JOBS = [
    ("720x480 -> 1080x720", 720, 480, 1080, 720),
    ("1920x1080 -> 3840x2160", 1920, 1080, 3840, 2160),
    ("4000x3000 -> 2000x1500", 4000, 3000, 2000, 1500),
    ("1021x769 -> 1531x1153 (primes)", 1021, 769, 1531, 1153),
    ("1024x768 -> 1536x1152 (composite control)", 1024, 768, 1536, 1152),
]
# Jobs the "half the time of the faster peer" target is about.
LARGE_JOBS = NAMED_JOBS[0:3]
OWN_CODE = "pellimor's own code"
SWEEP_SIDES = [64, 128, 256, 512, 1024, 2048]


class BenchError(RuntimeError):
    pass


# ---------------------------------------------------------------- inputs

def smooth_noise(rng, width, height, cell):
    """(height, width, 3) float32 noise, smooth over about `cell` pixels."""
    gh, gw = height // cell + 2, width // cell + 2
    grid = rng.standard_normal((gh, gw, 3), dtype=np.float32)
    fy = np.arange(height, dtype=np.float32) / cell
    fx = np.arange(width, dtype=np.float32) / cell
    iy, ix = fy.astype(np.int64), fx.astype(np.int64)
    ty, tx = (fy - iy)[:, None, None], (fx - ix)[None, :, None]
    top = grid[iy][:, ix] * (1 - tx) + grid[iy][:, ix + 1] * tx
    bottom = grid[iy + 1][:, ix] * (1 - tx) + grid[iy + 1][:, ix + 1] * tx
    return top * (1 - ty) + bottom * ty


def make_image(width, height, seed=20240611):
    """A deterministic photo-like RGB image: smooth gradients and lighting,
    flat shapes and thin lines with sharp edges, blotchy texture at two
    scales and fine grain. Shapes sit at the same relative places at every
    size, so a sweep resizes the same scene."""
    rng = np.random.default_rng(seed)
    y = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None]
    x = np.linspace(0.0, 1.0, width, dtype=np.float32)[None, :]
    r = 60 + 140 * x + 30 * np.sin(3.1 * y + 1.0)
    g = 80 + 100 * y + 25 * np.cos(4.3 * x * y + 0.5)
    b = 170 - 110 * y + 20 * np.sin(5.0 * x + 2.0 * y)
    img = np.empty((height, width, 3), np.float32)
    for c, plane in enumerate((r, g, b)):
        img[:, :, c] = plane
    aspect = width / height
    for i in range(7):
        cx, cy = rng.uniform(0.1, 0.9, 2)
        size = rng.uniform(0.06, 0.2)
        colour = rng.uniform(0, 255, 3).astype(np.float32)
        if i % 3 == 0:  # disc
            mask = ((x - cx) * aspect) ** 2 + (y - cy) ** 2 < size ** 2
        elif i % 3 == 1:  # rectangle
            mask = (np.abs(x - cx) * aspect < size) & (np.abs(y - cy) < size * 0.6)
        else:  # triangle
            mask = (y > cy - size) & (y < cy + size) & (np.abs(x - cx) * aspect < (y - (cy - size)) * 0.5)
        img[mask] = colour
    for _ in range(3):  # thin straight lines
        slope, at = rng.uniform(-1.5, 1.5), rng.uniform(0.2, 0.8)
        mask = np.abs(y - (slope * (x - 0.5) + at)) < 1.5 / height
        img[mask] = rng.uniform(0, 255, 3).astype(np.float32)
    for cell, amplitude in ((96, 14.0), (20, 7.0)):
        img += amplitude * smooth_noise(rng, width, height, cell)
    img += 6.0 * rng.standard_normal(img.shape, dtype=np.float32)
    return np.clip(img, 0, 255).astype(np.uint8)


def write_bmp24(path, rgb):
    """(H, W, 3) RGB uint8 -> bottom-up 24-bit BMP, 40-byte header."""
    height, width, _ = rgb.shape
    row = (width * 3 + 3) & ~3
    body = np.zeros((height, row), np.uint8)
    body[:, : width * 3] = rgb[::-1, :, ::-1].reshape(height, width * 3)
    with open(path, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", 54 + body.nbytes, 0, 0, 54))
        f.write(struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, body.nbytes, 2835, 2835, 0, 0))
        f.write(body.tobytes())


# ---------------------------------------------------------------- outputs

def bmp_header(path):
    """(width, height, bits per pixel, file size) from a BMP header."""
    with open(path, "rb") as f:
        head = f.read(30)
    size = os.path.getsize(path)
    if len(head) < 26 or head[:2] != b"BM":
        raise BenchError(f"{path}: not a BMP file")
    if struct.unpack_from("<I", head, 14)[0] == 12:
        width, height, _, bpp = struct.unpack_from("<HHHH", head, 18)
    else:
        width, height = struct.unpack_from("<ii", head, 18)
        bpp = struct.unpack_from("<H", head, 28)[0]
    return width, abs(height), bpp, size


def check_output(path, width, height):
    if not os.path.exists(path):
        raise BenchError(f"no output file {path}")
    w, h, bpp, size = bmp_header(path)
    need = ((width * 3 + 3) & ~3) * height
    if (w, h, bpp) != (width, height, 24) or size < need + 26:
        raise BenchError(f"{path}: {w}x{h} at {bpp} bpp, {size} bytes; wanted {width}x{height} 24-bit")


def read_pixels(path):
    sys.path.insert(0, str(BENCH))
    from scipy_resize import read_bmp
    return read_bmp(path)


# ---------------------------------------------------------------- running

class Job:
    def __init__(self, name, w, h, nw, nh, kind):
        self.name, self.w, self.h, self.nw, self.nh, self.kind = name, w, h, nw, nh, kind
        self.times = {}  # tool -> [seconds]
        self.rss = {}  # tool -> [KiB]
        self.diff = {}  # tool -> (differing bytes, max |difference|) against pellimor
        self.extrapolated = {}  # tool -> seconds
        self.direct_check = None  # (seconds, KiB) of one measured direct run

    def terms(self):
        return 3 * (self.w * self.h * (self.w + self.h) + self.nw * self.nh * (self.nw + self.nh))

    def median(self, tool):
        if tool in self.times:
            return statistics.median(self.times[tool])
        return self.extrapolated.get(tool)

    def median_rss_mib(self, tool):
        return statistics.median(self.rss[tool]) / 1024.0 if tool in self.rss else None


def command(tool, args, src, out_dir, job):
    """(argv, output path) of one tool on one job."""
    if tool in ("pellimor", "direct"):
        base = out_dir / f"{tool}_out"
        argv = [str(args.pellimor), "-i", str(src), "-o", str(base),
                "-sizexminus", str(job.nw - job.w), "-sizexminusy", str(job.nh - job.h)]
        if tool == "direct":
            argv += ["-engine", "direct"]
        return argv, Path(str(base) + ".bmp")
    out = out_dir / f"{tool}_out.bmp"
    if tool == "magick":
        return [CONVERT, str(src), "-resize", f"{job.nw}x{job.nh}!", str(out)], out
    if tool == "vips":
        return [VIPS, "resize", str(src), str(out), repr(job.nw / job.w), "--vscale", repr(job.nh / job.h)], out
    if tool == "scipy":
        return [sys.executable, str(BENCH / "scipy_resize.py"), str(src), str(out), str(job.nw), str(job.nh)], out
    raise ValueError(tool)


def run_timed(argv, out, check, work):
    """Runs argv once under GNU time, then check(out); returns (wall seconds,
    peak RSS KiB, user + system CPU seconds)."""
    if out.exists():
        out.unlink()
    rss_file, err_file = work / "rss.txt", work / "stderr.txt"
    with open(err_file, "wb") as err:
        t0 = time.perf_counter()
        proc = subprocess.run([GNU_TIME, "-f", "%M %U %S", "-o", str(rss_file)] + argv,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        wall = time.perf_counter() - t0
    if proc.returncode != 0:
        tail = err_file.read_text(errors="replace")[-600:]
        raise BenchError(f"exit status {proc.returncode}: {' '.join(argv)}\n{tail}")
    check(out)
    try:
        rss, user, system = rss_file.read_text().strip().splitlines()[-1].split()
        return wall, int(rss), float(user) + float(system)
    except (ValueError, IndexError) as e:
        raise BenchError(f"no peak RSS from GNU time for {' '.join(argv)}") from e


def run_once(argv, out, job, work):
    """Runs argv once under GNU time; returns (wall seconds, peak RSS KiB)."""
    wall, rss, _ = run_timed(argv, out, lambda o: check_output(o, job.nw, job.nh), work)
    return wall, rss


def cpu_busy(interval=0.5):
    """Fraction of all CPUs busy over `interval` seconds, from /proc/stat."""
    def sample():
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        return sum(v), v[3] + v[4]  # total, idle + iowait
    t0, i0 = sample()
    time.sleep(interval)
    t1, i1 = sample()
    return 1.0 - (i1 - i0) / max(1, t1 - t0)


class Quiet:
    """Waits, within a budget for the whole benchmark, for other processes
    to leave the CPUs mostly idle before a timed round."""

    def __init__(self, budget, threshold=0.3):
        self.budget, self.threshold = budget, threshold
        self.waited = 0.0
        self.rounds = self.busy_rounds = 0

    def wait(self, log):
        self.rounds += 1
        told = False
        while True:
            busy = cpu_busy()
            self.waited += 0.5
            if busy < self.threshold:
                return
            if self.waited >= self.budget:
                self.busy_rounds += 1
                return
            if not told:
                log(f"    CPUs {100 * busy:.0f}% busy with other work; waiting")
                told = True
            time.sleep(2.0)
            self.waited += 2.0


def run_job(job, tools, args, work, log, quiet):
    src = work / f"in_{job.w}x{job.h}.bmp"
    if not src.exists():
        write_bmp24(src, make_image(job.w, job.h))
    out_dir = work / "out"
    out_dir.mkdir(exist_ok=True)
    cmds = {t: command(t, args, src, out_dir, job) for t in tools}
    # Warm-up round: page cache, lazy loading; checks the outputs and
    # compares the cosine-domain tools' bytes with pellimor's.
    for t in tools:
        run_once(*cmds[t], job, work)
    ref = read_pixels(cmds["pellimor"][1]).astype(np.int16)
    for t in tools:
        if t in ("direct", "scipy"):
            d = np.abs(read_pixels(cmds[t][1]).astype(np.int16) - ref)
            job.diff[t] = (int(np.count_nonzero(d)), int(d.max()))
    order = list(tools)
    for rep in range(args.repeat):
        quiet.wait(log)
        for t in order:
            wall, rss = run_once(*cmds[t], job, work)
            job.times.setdefault(t, []).append(wall)
            job.rss.setdefault(t, []).append(rss)
        order = order[1:] + order[:1]
    log(f"  {job.name}: " + ", ".join(f"{t} {job.median(t):.3f}s" for t in tools))


def phase_profile(args, work, job, runs=3):
    """Medians of where pellimor's wall time goes, from the moments its
    phase lines reach stderr. None when the lines are not the expected 8
    per channel."""
    src = work / f"in_{job.w}x{job.h}.bmp"
    argv, out = command("pellimor", args, src, work / "out", job)
    names = ["start-up: exec, header, plans, allocation", "row DCT (incl. reading rows)",
             "column DCT", "column IDCT (cut/extend)", "row IDCT + quantise (+ output rows, if streamed)",
             "output write/finish + exit", "progress lines, between phases"]
    samples = {n: [] for n in names}
    totals, single = [], []
    for _ in range(runs):
        t0 = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        stamps = [time.perf_counter() - t0 for _ in iter(proc.stderr.readline, b"")]
        proc.wait()
        end = time.perf_counter() - t0
        if proc.returncode != 0 or len(stamps) != 24:
            return None
        check_output(out, job.nw, job.nh)
        seg = dict.fromkeys(names, 0.0)
        seg[names[0]] = stamps[0]
        seg[names[5]] = end - stamps[-1]
        for c in range(3):
            s = stamps[8 * c: 8 * c + 8]
            for k in range(4):
                seg[names[1 + k]] += s[2 * k + 1] - s[2 * k]
        seg[names[6]] = end - sum(seg[n] for n in names[:6])
        for n in names:
            samples[n].append(seg[n])
        totals.append(end)
        try:
            wall, _ = run_once(argv + ["-threads", "1"], out, job, work)
            single.append(wall)
        except BenchError:
            pass  # no -threads option any more: leave that row out
    return ({n: statistics.median(v) for n, v in samples.items()}, statistics.median(totals),
            statistics.median(single) if len(single) == runs else None)


def short_symbol(sym):
    """A readable name for a perf symbol: template arguments and parameter
    lists dropped, the std::thread wrapper of a worker taken off, so the
    same function run by the main thread and by a worker adds up."""
    sym = sym.replace("(anonymous namespace)::", "").replace("::operator()", "")
    wrapper = "std::thread::_State_impl<std::thread::_Invoker<std::tuple<"
    if sym.startswith(wrapper):
        sym = re.sub(r"(,[^,<>()]*)?>\s*>\s*>::_M_run$", "", sym[len(wrapper):])
    out, depth = [], 0
    for ch in sym:
        if ch in "<(":
            depth += 1
        elif ch in ">)":
            depth = max(0, depth - 1)
        elif depth == 0:
            out.append(ch)
    return "".join(out).strip() or sym[:60]


def perf_profile(args, work, job):
    """CPU-sample shares of one pellimor run: by library and top symbols.
    None when perf is missing or not allowed."""
    perf = shutil.which("perf")
    if perf is None:
        return None
    src = work / f"in_{job.w}x{job.h}.bmp"
    argv, out = command("pellimor", args, src, work / "out", job)
    data = work / "perf.data"
    rec = subprocess.run([perf, "record", "-q", "-F", "4999", "-o", str(data), "--"] + argv,
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if rec.returncode != 0 or not data.exists():
        return None
    check_output(out, job.nw, job.nh)

    def report(sort):
        rep = subprocess.run([perf, "report", "-i", str(data), "--no-children", "--stdio", "-q", "--sort", sort],
                             capture_output=True, text=True)
        rows = []
        for line in rep.stdout.splitlines():
            m = re.match(r"\s*([\d.]+)%\s+(.*\S)", line)
            if m:
                rows.append((float(m.group(1)), m.group(2)))
        return rows

    by_dso = {}
    for share, dso in report("dso"):
        key = ("FFTW" if "fftw" in dso else OWN_CODE if dso == "pellimor" else
               "kernel (page faults, file I/O)" if "kernel" in dso else "C library" if "libc" in dso else "other")
        by_dso[key] = by_dso.get(key, 0.0) + share
    symbols = {}
    for share, sym in report("dso,sym"):
        if sym.startswith("pellimor"):
            name = short_symbol(re.sub(r"^pellimor\s+\[\.\]\s+", "", sym))
            symbols[name] = symbols.get(name, 0.0) + share
    top = sorted(symbols.items(), key=lambda kv: -kv[1])[:3]
    return by_dso, top


# ---------------------------------------------------------------- PNG and JPEG

# Jobs of the PNG -> PNG and JPEG -> JPEG part, each run in every format.
FORMAT_JOBS = [
    ("1920x1080 -> 3840x2160", 1920, 1080, 3840, 2160),
    ("4000x3000 -> 2000x1500", 4000, 3000, 2000, 1500),
]
FORMATS = {"png": ("PNG", ".png"), "jpeg": ("JPEG", ".jpg")}
FORMAT_TOOLS = ["pellimor", "magick", "vips"]
JPEG_QUALITY = 92
FORMAT_TIME_GOAL = 0.7  # pellimor's median over the faster peer's
FORMAT_RSS_GOAL = 72  # MB, read as MiB (decimal MB shown too)


class FormatJob(Job):
    def __init__(self, fmt, name, w, h, nw, nh):
        super().__init__(f"{FORMATS[fmt][0]} {name}", w, h, nw, nh, "format")
        self.fmt, self.size_name = fmt, name
        self.cpu = {}  # tool -> [user + system seconds]
        self.bytes = {}  # tool -> output file size (the same every run)
        self.src_bytes = None

    def median_cpu(self, tool):
        return statistics.median(self.cpu[tool])

    def faster_peer(self):
        return min(("magick", "vips"), key=self.median)


def image_header(path):
    """(format, width, height, channels, bits) from a PNG or JPEG header."""
    with open(path, "rb") as f:
        data = f.read(1 << 16)
    if data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR":
        width, height, bits, colour = struct.unpack_from(">IIBB", data, 16)
        return "png", width, height, {0: 1, 2: 3, 3: 3, 4: 2, 6: 4}.get(colour, 0), bits
    if data[:2] == b"\xff\xd8":
        at = 2
        while at + 4 <= len(data):
            if data[at] != 0xFF:
                break
            marker = data[at + 1]
            if marker == 0xFF:  # fill byte
                at += 1
                continue
            length = struct.unpack_from(">H", data, at + 2)[0]
            if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
                bits, height, width, channels = struct.unpack_from(">BHHB", data, at + 4)
                return "jpeg", width, height, channels, bits
            at += 2 + length
        raise BenchError(f"{path}: no JPEG frame header in the first 64 KiB")
    raise BenchError(f"{path}: neither PNG nor JPEG")


def check_image(path, fmt, width, height, decode=False):
    """The output is an 8-bit RGB `fmt` file of width x height; with
    decode, PIL also decodes it whole (any damage raises)."""
    if not os.path.exists(path):
        raise BenchError(f"no output file {path}")
    got = image_header(path)
    if got != (fmt, width, height, 3, 8):
        raise BenchError(f"{path}: {got[0]} {got[1]}x{got[2]}, {got[3]} channels of {got[4]} bits; "
                         f"wanted {fmt} {width}x{height} 8-bit RGB")
    if decode:
        from PIL import Image
        try:
            with Image.open(path) as im:
                im.load()
                if im.size != (width, height) or im.mode != "RGB":
                    raise BenchError(f"{path}: PIL decodes {im.size} {im.mode}; wanted ({width}, {height}) RGB")
        except (OSError, SyntaxError, ValueError) as e:
            raise BenchError(f"{path}: does not decode: {e}") from e


def format_input(args, work, job):
    """The job's test image as a PNG or a JPEG at quality 92, written once by
    pellimor from the photo-like BMP (every tool reads the same file)."""
    ext = FORMATS[job.fmt][1]
    src = work / f"in_{job.w}x{job.h}{ext}"
    if not src.exists():
        bmp = work / f"in_{job.w}x{job.h}.bmp"
        if not bmp.exists():
            write_bmp24(bmp, make_image(job.w, job.h))
        argv = [str(args.pellimor), "-i", str(bmp), "-o", str(src.with_suffix("")), "-format", job.fmt,
                "-progress", "off"] + (["-quality", str(JPEG_QUALITY)] if job.fmt == "jpeg" else [])
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if proc.returncode != 0:
            raise BenchError(f"making the input: {' '.join(argv)}\n{proc.stderr[-600:]}")
        check_image(src, job.fmt, job.w, job.h, decode=True)
    job.src_bytes = os.path.getsize(src)
    return src


def format_command(tool, args, src, out_dir, job):
    """(argv, output path) of one tool on one PNG or JPEG job."""
    ext = FORMATS[job.fmt][1]
    jpeg = job.fmt == "jpeg"
    if tool == "pellimor":
        base = out_dir / f"{tool}_out"
        argv = [str(args.pellimor), "-i", str(src), "-o", str(base), "-size", f"{job.nw}x{job.nh}!",
                "-format", job.fmt, "-progress", "off"]
        return argv + (["-quality", str(JPEG_QUALITY)] if jpeg else []), Path(str(base) + ext)
    out = out_dir / f"{tool}_out{ext}"
    if tool == "magick":  # its default filter for the direction
        return ([CONVERT, str(src), "-resize", f"{job.nw}x{job.nh}!"] +
                (["-quality", str(JPEG_QUALITY)] if jpeg else []) + [str(out)]), out
    if tool == "vips":
        scale = ["resize", str(src), str(out) + (f"[Q={JPEG_QUALITY}]" if jpeg else ""), repr(job.nw / job.w)]
        if job.nw * job.h != job.nh * job.w:
            scale += ["--vscale", repr(job.nh / job.h)]
        return [VIPS] + scale, out
    raise ValueError(tool)


def run_format_job(job, args, work, log, quiet):
    src = format_input(args, work, job)
    out_dir = work / "out"
    out_dir.mkdir(exist_ok=True)
    cmds = {t: format_command(t, args, src, out_dir, job) for t in FORMAT_TOOLS}

    def check(out):
        check_image(out, job.fmt, job.nw, job.nh)

    # Warm-up round: page cache, lazy loading; each output decoded whole once.
    for t in FORMAT_TOOLS:
        argv, out = cmds[t]
        run_timed(argv, out, check, work)
        check_image(out, job.fmt, job.nw, job.nh, decode=True)
        job.bytes[t] = os.path.getsize(out)
    order = list(FORMAT_TOOLS)
    for rep in range(args.format_repeat):
        quiet.wait(log)
        for t in order:
            argv, out = cmds[t]
            wall, rss, cpu = run_timed(argv, out, check, work)
            if os.path.getsize(out) != job.bytes[t]:
                raise BenchError(f"{t} wrote {os.path.getsize(out)} bytes, then {job.bytes[t]}, on {job.name}")
            job.times.setdefault(t, []).append(wall)
            job.rss.setdefault(t, []).append(rss)
            job.cpu.setdefault(t, []).append(cpu)
        order = order[1:] + order[:1]
    log(f"  {job.name}: " + ", ".join(f"{t} {job.median(t):.3f}s {job.median_rss_mib(t):.0f}MiB "
                                      f"{job.bytes[t]}B" for t in FORMAT_TOOLS))


def format_rows(jobs):
    rows = []
    for job in jobs:
        base = job.median("pellimor")
        for t in FORMAT_TOOLS:
            rows.append([job.name, LABEL[t], fmt_s(job.median(t)), fmt_s(job.median_cpu(t)),
                         f"{job.median_rss_mib(t):.1f}", f"{job.bytes[t]:,}",
                         fmt_ratio(job.median(t) / base), f"{job.bytes[t] / job.bytes['pellimor']:.2f}×"])
    return rows


def format_target_rows(jobs):
    rows = []
    for job in jobs:
        p, peer = job.median("pellimor"), job.faster_peer()
        q = job.median(peer)
        r = p / q
        rows.append([f"time vs faster of ImageMagick/libvips, {job.name}", f"≤ {FORMAT_TIME_GOAL:.2f}×",
                     f"{r:.2f}× (pellimor {fmt_s(p)} s, {LABEL[peer].split()[0]} {fmt_s(q)} s)",
                     "met" if r <= FORMAT_TIME_GOAL else "NOT met"])
    for job in jobs:
        if job.fmt != "png":
            continue
        peer = job.faster_peer()
        r = job.bytes["pellimor"] / job.bytes[peer]
        rows.append([f"PNG size vs the faster peer ({LABEL[peer].split()[0]}), {job.name}", "≤ 1.00×",
                     f"{r:.2f}× ({job.bytes['pellimor']:,} against {job.bytes[peer]:,} bytes)",
                     "met" if r <= 1.0 else "NOT met"])
    for job in jobs:
        kib = statistics.median(job.rss["pellimor"])
        mib, mb = kib / 1024, kib * 1024 / 1e6
        verdict = "met" if mib <= FORMAT_RSS_GOAL else "NOT met"
        if mib <= FORMAT_RSS_GOAL < mb:
            verdict = f"met in MiB; {mb:.1f} MB in decimal megabytes is over"
        rows.append([f"peak RSS, {job.name}", f"≤ {FORMAT_RSS_GOAL} MB", f"{mib:.1f} MiB ({kib} KiB)", verdict])
    return rows


def plot_formats(jobs, axt, axm):
    """Median time and peak RSS bars of the PNG and JPEG jobs."""
    width = 0.8 / len(FORMAT_TOOLS)
    xs = np.arange(len(jobs))
    for i, t in enumerate(FORMAT_TOOLS):
        off = (i - (len(FORMAT_TOOLS) - 1) / 2) * width
        axt.bar(xs + off, [j.median(t) for j in jobs], width, color=COLOUR[t], label=LABEL[t])
        axm.bar(xs + off, [j.median_rss_mib(t) for j in jobs], width, color=COLOUR[t], label=LABEL[t])
    for x, j in zip(xs, jobs):
        axt.hlines(FORMAT_TIME_GOAL * j.median(j.faster_peer()), x - 0.45, x + 0.45, colors="k", linestyles=":",
                   lw=1.5, label=f"target: {FORMAT_TIME_GOAL}× the faster of ImageMagick/libvips" if x == 0 else None)
    axm.axhline(FORMAT_RSS_GOAL, color="k", ls=":", lw=1.5, label=f"target for pellimor: {FORMAT_RSS_GOAL} MB")
    labels = [j.name.replace(" -> ", "\n→ ") for j in jobs]
    axt.set_yscale("log")
    for ax, ylabel, title in ((axt, "median wall time per process, s", "PNG → PNG and JPEG → JPEG: time"),
                              (axm, "peak RSS, MiB", "PNG → PNG and JPEG → JPEG: peak memory")):
        ax.set_xticks(xs)
        ax.set_xticklabels(labels, fontsize=8)
        ax.set_ylabel(ylabel)
        ax.set_title(title)
        ax.grid(True, axis="y", which="both", alpha=0.3)
        ax.legend(fontsize=7.5, loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=2, frameon=False)


# ---------------------------------------------------------------- report

def machine_info(args):
    cpu = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass

    def first_line(argv):
        try:
            out = subprocess.run(argv, capture_output=True, text=True, timeout=20)
            return (out.stdout or out.stderr).strip().splitlines()[0]
        except (OSError, IndexError, subprocess.SubprocessError):
            return "?"

    import scipy
    commit = first_line(["git", "-C", str(REPO), "log", "-1", "--format=%h %s"])
    try:
        dirty = sorted(line[3:] for line in subprocess.run(
            ["git", "-C", str(REPO), "status", "--porcelain", "--untracked-files=no"],
            capture_output=True, text=True, timeout=20).stdout.splitlines() if line[3:])
    except (OSError, subprocess.SubprocessError):
        dirty = []
    changed = ", ".join(dirty[:4]) + (f" and {len(dirty) - 4} more" if len(dirty) > 4 else "")
    mem_kib = 0
    for line in open("/proc/meminfo"):
        if line.startswith("MemTotal:"):
            mem_kib = int(line.split()[1])
    return {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "nproc": os.cpu_count(),
        "cpu": cpu,
        "memory": f"{mem_kib / 1048576:.0f} GiB",
        "load": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "kernel": platform.release(),
        "pellimor": str(args.pellimor),
        "commit": f"commit {commit}{f', uncommitted changes in {changed}' if dirty else ''}",
        "magick": first_line([CONVERT, "-version"]),
        "vips": first_line([VIPS, "--version"]),
        "python": f"{platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}",
    }


def fmt_s(v):
    if v is None:
        return "—"
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    if v >= 1:
        return f"{v:.2f}"
    return f"{v:.3f}"


def fmt_ratio(v):
    if v >= 100:
        return f"{v:,.0f}×"
    if v >= 10:
        return f"{v:.1f}×"
    return f"{v:.2f}×"


def table_rows(jobs, tools):
    rows = []
    for job in jobs:
        base = job.median("pellimor")
        for t in tools:
            m = job.median(t)
            if m is None:
                continue
            extrap = t not in job.times
            rss = job.median_rss_mib(t)
            note = []
            if extrap:
                note.append("extrapolated from cost per cosine term")
            if t in job.diff:
                n, mx = job.diff[t]
                note.append("bytes identical to pellimor" if n == 0 else
                            f"{n} of {3 * job.nw * job.nh} bytes differ from pellimor (max {mx})")
            rows.append([job.name, LABEL[t], ("~" if extrap else "") + fmt_s(m),
                         "—" if rss is None else f"{rss:.1f}",
                         ("~" if extrap else "") + fmt_ratio(m / base), "; ".join(note)])
            if t == "direct" and job.direct_check:
                sec, kib = job.direct_check
                rows.append([job.name, LABEL[t] + " (1 run)", fmt_s(sec), f"{kib / 1024:.1f}",
                             fmt_ratio(sec / base),
                             f"one measured run, to check the extrapolation: {sec / m:.2f}× the estimate"])
    return rows


def markdown_table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


def text_table(header, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = lambda r: "  ".join(str(x).ljust(w) for x, w in zip(r, widths)).rstrip()
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def target_rows(named, rss_budget):
    rows = []
    by_name = {j.name: j for j in named}
    for name, *_ in LARGE_JOBS:
        j = by_name.get(name)
        if j is None:
            continue
        p, m, v = j.median("pellimor"), j.median("magick"), j.median("vips")
        faster = "ImageMagick" if m <= v else "libvips"
        r = p / min(m, v)
        rows.append([f"time vs faster of ImageMagick/libvips, {name}", "≤ 0.50×",
                     f"{r:.2f}× (pellimor {fmt_s(p)} s, {faster} {fmt_s(min(m, v))} s)",
                     "met" if r <= 0.5 else "NOT met"])
    j = by_name.get(NAMED_JOBS[0][0])
    if j is not None and j.median("direct") is not None:
        r = j.median("direct") / j.median("pellimor")
        rows.append([f"speed-up over -engine direct, {j.name}", "≥ 3000×",
                     f"{r:,.0f}× (direct ~{fmt_s(j.median('direct'))} s extrapolated, pellimor {fmt_s(j.median('pellimor'))} s)",
                     "met" if r >= 3000 else "NOT met"])
        if j.direct_check:
            r = j.direct_check[0] / j.median("pellimor")
            rows.append([f"same, with one measured direct run", "≥ 3000×",
                         f"{r:,.0f}× (direct {fmt_s(j.direct_check[0])} s measured once)",
                         "met" if r >= 3000 else "NOT met"])
    prime, control = by_name.get(NAMED_JOBS[3][0]), by_name.get(NAMED_JOBS[4][0])
    if prime is not None and control is not None:
        r = prime.median("pellimor") / control.median("pellimor")
        rows.append(["prime sizes: no O(N²) cliff (primes job ÷ composite control)", "far below ~100×",
                     f"{r:.2f}× (pellimor {fmt_s(prime.median('pellimor'))} s against "
                     f"{fmt_s(control.median('pellimor'))} s)", "met" if r <= 4 else "NOT met"])
    for name, budget in rss_budget:
        j = by_name.get(name)
        if j is None:
            continue
        kib = statistics.median(j.rss["pellimor"])
        mib, mb = kib / 1024, kib * 1024 / 1e6
        verdict = "met" if mib <= budget else "NOT met"
        if mib <= budget < mb:
            verdict = f"met in MiB; {mb:.1f} MB in decimal megabytes is over"
        rows.append([f"peak RSS, {name}", f"≤ {budget} MB",
                     f"{mib:.1f} MiB ({kib} KiB)", verdict])
    return rows


def plot(named, sweep, tools, path, formats=()):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    bmp = bool(named and sweep)
    rows = int(bmp) + int(bool(formats))
    fig, axes = plt.subplots(rows, 2, figsize=(13, 6 * rows), squeeze=False,
                             gridspec_kw={"width_ratios": [1, 1.25]})
    if formats:
        plot_formats(formats, *axes[-1])
    if bmp:
        plot_bmp(named, sweep, tools, *axes[0])
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_bmp(named, sweep, tools, ax1, ax2):
    px = np.array([j.w * j.h for j in sweep], float)
    for t in tools:
        meas = [(p, j.median(t)) for p, j in zip(px, sweep) if t in j.times]
        if meas:
            ax1.plot(*zip(*meas), "o-", color=COLOUR[t], label=LABEL[t])
        if t == "direct":
            ext = [(p, j.median(t)) for p, j in zip(px, sweep) if t not in j.times and j.median(t)]
            if ext and meas:
                ext = [meas[-1]] + ext
            if ext:
                ax1.plot(*zip(*ext), "o--", color=COLOUR[t], mfc="none", label=LABEL[t] + " (extrapolated)")
    ax1.set_xscale("log")
    ax1.set_yscale("log")
    ax1.set_xticks(px)
    ax1.set_xticklabels([f"{j.w}²" for j in sweep])
    ax1.minorticks_off()
    ax1.set_xlabel("source size (N×N → 1.5N×1.5N)")
    ax1.set_ylabel("median wall time per process, s")
    ax1.set_title("Size sweep")
    ax1.grid(True, which="both", alpha=0.3)
    ax1.legend(fontsize=8)

    # Bars for the measured tools; -engine direct is so far off the scale
    # that it is written above each group instead.
    bar_tools = [t for t in tools if t != "direct" and any(j.median(t) for j in named)]
    width = 0.8 / len(bar_tools)
    xs = np.arange(len(named))
    for i, t in enumerate(bar_tools):
        ax2.bar(xs + (i - (len(bar_tools) - 1) / 2) * width, [j.median(t) or 0 for j in named], width,
                color=COLOUR[t], label=LABEL[t])
    large = {job[0] for job in LARGE_JOBS}
    tops = []
    for x, j in zip(xs, named):
        top = max(j.median(t) or 0 for t in bar_tools)
        tops.append(top)
        if j.name in large and j.median("magick") and j.median("vips"):
            goal = 0.5 * min(j.median("magick"), j.median("vips"))
            ax2.hlines(goal, x - 0.45, x + 0.45, colors="k", linestyles=":", lw=1.5,
                       label="target: 0.5× faster of ImageMagick/libvips" if x == min(
                           xx for xx, jj in zip(xs, named) if jj.name in large) else None)
        d = j.median("direct")
        if d:
            ax2.annotate(f"direct: {'~' if 'direct' not in j.times else ''}{fmt_s(d)} s", (x, top),
                         xytext=(0, 4), textcoords="offset points", ha="center", fontsize=7.5, color=COLOUR["direct"])
    ax2.set_yscale("log")
    ax2.set_xticks(xs)
    ax2.set_xticklabels([j.name.replace(" -> ", "\n→ ").replace(" (", "\n(") for j in named], fontsize=7.5)
    ax2.set_ylabel("median wall time per process, s")
    ax2.set_ylim(top=max(tops) * 2.5)
    ax2.set_title("Named jobs (-engine direct: extrapolated, as text)")
    ax2.grid(True, axis="y", which="both", alpha=0.3)
    ax2.legend(fontsize=7.5, loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3, frameon=False)


def update_readme(section):
    readme = REPO / "README.md"
    text = readme.read_text() if readme.exists() else ""
    lines = text.splitlines(keepends=True)
    start = next((i for i, l in enumerate(lines) if l.rstrip() == "## Benchmarks"), None)
    if start is None:
        if text and not text.endswith("\n"):
            text += "\n"
        readme.write_text(text + ("\n" if text else "") + section)
        return
    end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")), len(lines))
    tail = "".join(lines[end:])
    readme.write_text("".join(lines[:start]) + section + ("\n" + tail if tail else ""))


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description="Benchmark pellimor against ImageMagick, libvips and SciPy.")
    ap.add_argument("--repeat", type=int, default=7, help="timed runs per tool and job (default 7)")
    ap.add_argument("--pellimor", type=Path, default=REPO / "build-bench" / "pellimor",
                    help="the binary to time (default: build-bench/pellimor)")
    ap.add_argument("--direct-max", type=int, default=256,
                    help="run -engine direct only where max(W, H) <= this (default 256)")
    ap.add_argument("--sweep", default=",".join(map(str, SWEEP_SIDES)),
                    help="comma-separated N for the N×N -> 1.5N×1.5N sweep")
    ap.add_argument("--named", default="all", help="'all', 'none' or comma-separated indexes 0-4 of the named jobs")
    ap.add_argument("--workdir", type=Path, help="keep inputs and outputs here (default: a temp dir, removed)")
    ap.add_argument("--out", type=Path, default=BENCH, help="where results.md / results.png go (default bench/)")
    ap.add_argument("--no-profile", action="store_true", help="skip the phase breakdown of pellimor")
    ap.add_argument("--max-wait", type=float, default=120,
                    help="seconds in all to wait for other processes to leave the CPUs idle before timed rounds "
                         "(default 120; 0 never waits)")
    ap.add_argument("--no-direct-check", action="store_true",
                    help="skip the one measured -engine direct run on 720x480 that checks the extrapolation")
    ap.add_argument("--build", action="store_true",
                    help="configure and build build-bench (Release, no tests) before measuring")
    ap.add_argument("--no-perf", action="store_true", help="skip the perf sampling of pellimor")
    ap.add_argument("--formats", default="png,jpeg",
                    help="'none' or comma-separated png, jpeg: also run PNG -> PNG and JPEG -> JPEG jobs "
                         "(1920x1080 -> 3840x2160, 4000x3000 -> 2000x1500) with pellimor, ImageMagick and libvips "
                         "(default png,jpeg)")
    ap.add_argument("--format-repeat", type=int, default=5, help="timed runs per tool on those jobs (default 5)")
    ap.add_argument("--update-readme", action="store_true", help="rewrite the ## Benchmarks section of README.md")
    args = ap.parse_args()
    if args.repeat < 1 or args.format_repeat < 1:
        ap.error("--repeat and --format-repeat must be at least 1")
    formats = [] if args.formats == "none" else [f.strip() for f in args.formats.split(",") if f.strip()]
    if any(f not in FORMATS for f in formats):
        ap.error(f"--formats takes 'none' or a list of {', '.join(FORMATS)}")
    if args.build:
        build = REPO / "build-bench"
        for argv in (["cmake", "-S", str(REPO), "-B", str(build), "-DPELLIMOR_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release"],
                     ["cmake", "--build", str(build), "-j2"]):
            if subprocess.run(argv, stdout=subprocess.DEVNULL).returncode != 0:
                sys.exit(f"run_bench: {' '.join(argv)} failed")
    args.pellimor = args.pellimor.resolve()
    for exe in (args.pellimor, Path(GNU_TIME), Path(CONVERT), Path(VIPS)):
        if not os.access(exe, os.X_OK):
            sys.exit(f"run_bench: {exe} is missing; build pellimor with\n"
                     "  cmake -S . -B build-bench -DPELLIMOR_TESTS=OFF -DCMAKE_BUILD_TYPE=Release && "
                     "cmake --build build-bench -j2")

    def log(msg):
        print(msg, flush=True)

    if args.named == "all":
        named_jobs = NAMED_JOBS
    elif args.named == "none":
        named_jobs = []
    else:
        named_jobs = [NAMED_JOBS[int(i)] for i in args.named.split(",")]
    named = [Job(*job, "named") for job in named_jobs]
    sides = [int(n) for n in args.sweep.split(",") if n.strip()]
    sweep = [Job(f"sweep {n}x{n} -> {3 * n // 2}x{3 * n // 2}", n, n, 3 * n // 2, 3 * n // 2, "sweep") for n in sides]
    format_jobs = [FormatJob(f, *job) for f in formats for job in FORMAT_JOBS]

    info = machine_info(args)
    log(f"machine: {info['nproc']} CPUs, {info['cpu']}, {info['memory']}, load {info['load']}")
    log(f"pellimor: {info['pellimor']}, {info['commit']}")

    work = Path(args.workdir) if args.workdir else Path(tempfile.mkdtemp(prefix="pellimor-bench-"))
    work.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    failed = None
    profiles = []
    quiet = Quiet(args.max_wait)
    try:
        for job in sweep + named:
            tools = [t for t in TOOLS if t != "direct" or max(job.w, job.h) <= args.direct_max]
            log(f"{job.name}: {', '.join(tools)} x {args.repeat}")
            run_job(job, tools, args, work, log, quiet)
        for job in format_jobs:
            log(f"{job.name}: {', '.join(FORMAT_TOOLS)} x {args.format_repeat}")
            run_format_job(job, args, work, log, quiet)
        first = next((j for j in named if j.name == NAMED_JOBS[0][0]), None)
        if first is not None and not args.no_direct_check:
            log(f"one measured -engine direct run on {first.name} (about a minute or two)")
            quiet.wait(log)
            argv, out = command("direct", args, work / f"in_{first.w}x{first.h}.bmp", work / "out", first)
            first.direct_check = run_once(argv, out, first, work)
        if not args.no_profile:
            for job in named:
                if (job.name, job.w, job.h, job.nw, job.nh) in LARGE_JOBS or job.name == NAMED_JOBS[3][0]:
                    log(f"profile: {job.name}")
                    profiles.append((job, phase_profile(args, work, job),
                                     None if args.no_perf else perf_profile(args, work, job)))
    except BenchError as e:
        failed = str(e)
        log(f"\nBENCHMARK FAILED: {e}")
    finally:
        if not args.workdir:
            shutil.rmtree(work, ignore_errors=True)
    if failed:
        sys.exit(1)

    # Cost per cosine term of the direct engine, from its biggest measured job.
    measured = [j for j in sweep + named if "direct" in j.times]
    per_term = None
    if measured:
        biggest = max(measured, key=Job.terms)
        per_term = biggest.median("direct") / biggest.terms()
        for j in sweep + named:
            if "direct" not in j.times:
                j.extrapolated["direct"] = per_term * j.terms()

    tools = TOOLS
    header = ["job", "tool", "median s", "peak RSS MiB", "time ÷ pellimor", "note"]
    named_rows = table_rows(named, tools)
    sweep_rows = table_rows(sweep, tools)
    targets = target_rows(named, [(NAMED_JOBS[1][0], 64), (NAMED_JOBS[2][0], 96)])
    t_header = ["target", "goal", "measured", "verdict"]

    elapsed = time.perf_counter() - started
    print()
    print(text_table(header, named_rows + sweep_rows))
    print()
    print(text_table(t_header, targets))
    if per_term:
        print(f"\n-engine direct: {per_term * 1e9:.2f} ns per cosine term (from {biggest.name})")

    md = []
    runs = []
    if named or sweep:
        runs.append(f"`--repeat {args.repeat}` (medians of {args.repeat} whole-process runs per tool on BMP)")
    if format_jobs:
        runs.append(f"`--format-repeat {args.format_repeat}` (medians of {args.format_repeat} on PNG and JPEG)")
    md.append(f"Measured {info['date']} with {' and '.join(runs)}, tools interleaved; "
              f"{elapsed / 60:.1f} min in all.\n")
    md.append(f"- Machine: {info['nproc']} CPUs ({info['cpu']}), {info['memory']}, Linux {info['kernel']}; "
              f"load average at start {info['load']}")
    md.append(f"- pellimor: `{Path(args.pellimor).relative_to(REPO) if REPO in Path(args.pellimor).parents else args.pellimor}` "
              f"(source tree at {info['commit']}{'; rebuilt by `--build` just before' if args.build else ''}); "
              f"default engine and thread count")
    md.append(f"- ImageMagick: {info['magick']}")
    md.append(f"- libvips: {info['vips']} (BMP is read and written through its ImageMagick loader/saver; PNG and JPEG through its own)")
    md.append(f"- Python {info['python']} (SciPy script uses one scipy.fft worker per CPU)")
    if per_term:
        md.append(f"- `-engine direct` costs {per_term * 1e9:.2f} ns per cosine term here (from {biggest.name}); "
                  f"rows marked ~ are that cost × 3·(W·H·(W+H) + W′·H′·(W′+H′)) terms")
    md.append(f"- Load average at the end {' '.join(f'{x:.2f}' for x in os.getloadavg())}; "
              f"{quiet.busy_rounds} of {quiet.rounds} timed rounds started while other processes kept the CPUs "
              f"over 30% busy ({quiet.waited:.0f} s spent waiting for quiet)")
    md.append("")
    md.append("\"time ÷ pellimor\" is the tool's median over pellimor's (above 1: pellimor is faster). "
              "Peak RSS is GNU time's maximum resident set, in MiB.\n")
    if named:
        md.append(markdown_table(header, named_rows))
    if sweep:
        md.append("\n#### Size sweep (N×N → 1.5N×1.5N)\n")
        md.append(markdown_table(header, sweep_rows))
    if targets:
        md.append("\n### Targets\n")
        md.append("The time target is for the 720×480, 1920×1080 and 4000×3000 jobs; prime sizes must show no "
                  "O(N²) cliff (a direct transform of length N costs about N / log2 N times an FFT: some 100× here); "
                  "MB read as MiB.\n")
        md.append(markdown_table(t_header, targets))
    summary = []
    if profiles:
        md.append("\n### Where pellimor's time goes\n")
        phased = [(job, prof) for job, prof, _ in profiles if prof]
        if phased:
            md.append("Wall time by phase, from the moments pellimor's phase lines reach stderr (median of 3 runs, "
                      "the three channels added up), and the whole run again with `-threads 1`.\n")
            names = list(phased[0][1][0])
            ph_header = ["phase"] + [job.name for job, _ in phased]
            ph_rows = []
            for n in names:
                ph_rows.append([n] + [f"{prof[0][n]:.3f} s ({100 * prof[0][n] / prof[1]:.0f}%)" for _, prof in phased])
            ph_rows.append(["whole run"] + [f"{prof[1]:.3f} s" for _, prof in phased])
            ph_rows.append(["whole run, `-threads 1`"] + [fmt_s(prof[2]) + " s" if prof[2] else "—" for _, prof in phased])
            md.append(markdown_table(ph_header, ph_rows))
            print()
            print(text_table(ph_header, ph_rows))
            job, (seg, total, single) = max(phased, key=lambda jp: jp[0].nw * jp[0].nh + jp[0].w * jp[0].h)
            top = sorted(((v, n) for n, v in seg.items()), reverse=True)[:2]
            summary.append(f"On {job.name}, the largest phases are {top[0][1]} ({100 * top[0][0] / total:.0f}% "
                           f"of the wall time) and {top[1][1]} ({100 * top[1][0] / total:.0f}%)" +
                           (f"; one thread instead of the default takes {single / total:.2f}× as long." if single else "."))
        else:
            md.append("(pellimor's phase lines were not the expected 8 per channel; no phase breakdown.)")
        sampled = [(job, pp) for job, _, pp in profiles if pp]
        if sampled:
            md.append("\nCPU samples of one run (`perf record`, both threads together), by where the code lives, "
                      "and pellimor's own hottest functions:\n")
            keys = sorted({k for _, (d, _) in sampled for k in d}, key=lambda k: -sum(d.get(k, 0) for _, (d, _) in sampled))
            pf_rows = [[k] + [f"{d.get(k, 0.0):.0f}%" for _, (d, _) in sampled] for k in keys]
            pf_rows.append(["hottest in pellimor"] + ["; ".join(f"{n} {v:.0f}%" for n, v in top) for _, (_, top) in sampled])
            pf_header = ["CPU samples in"] + [job.name for job, _ in sampled]
            md.append(markdown_table(pf_header, pf_rows))
            print()
            print(text_table(pf_header, pf_rows))
            job, (d, top) = max(sampled, key=lambda jp: jp[0].nw * jp[0].nh + jp[0].w * jp[0].h)
            summary.append(f"perf puts {d.get('FFTW', 0):.0f}% of the CPU samples in FFTW, "
                           f"{d.get(OWN_CODE, 0):.0f}% in pellimor's own loops "
                           f"(mostly {', '.join(n for n, _ in top[:2])}) and "
                           f"{d.get('kernel (page faults, file I/O)', 0):.0f}% in the kernel.")
        by_name = {j.name: j for j in named}
        prime, control = by_name.get(NAMED_JOBS[3][0]), by_name.get(NAMED_JOBS[4][0])
        if prime and control:
            r = prime.median("pellimor") / control.median("pellimor")
            summary.append(f"Prime sizes cost pellimor {r:.2f}× the time of the 1024×768 → 1536×1152 control "
                           f"of nearly the same size (ImageMagick: "
                           f"{prime.median('magick') / control.median('magick'):.2f}×, libvips: "
                           f"{prime.median('vips') / control.median('vips'):.2f}×).")
        if summary:
            md.append("\n" + " ".join(summary) + "\n")
    if format_jobs:
        f_header = ["job", "tool", "median s", "CPU s", "peak RSS MiB", "output bytes", "time ÷ pellimor",
                    "bytes ÷ pellimor"]
        f_rows, f_targets = format_rows(format_jobs), format_target_rows(format_jobs)
        print()
        print(text_table(f_header, f_rows))
        print()
        print(text_table(t_header, f_targets))
        inputs = sorted({(j.fmt, j.w, j.h, j.src_bytes) for j in format_jobs}, key=lambda x: (x[0] != "png", x[1]))
        md.append("\n### PNG → PNG and JPEG → JPEG\n")
        md.append("The same photo-like images, written once by pellimor as PNG and as JPEG at quality "
                  f"{JPEG_QUALITY} (" + ", ".join(f"{w}×{h} {FORMATS[f][0]} {b:,} bytes" for f, w, h, b in inputs) +
                  "), are read and resized by every tool, which writes the same format:\n")
        md.append(f"- pellimor: `-i in.png -o out -size 3840x2160! -format png -progress off` "
                  f"(JPEG: `-format jpeg -quality {JPEG_QUALITY}`)")
        md.append(f"- ImageMagick: `convert in.png -resize 3840x2160! out.png`, its default filter "
                  f"(JPEG: `-quality {JPEG_QUALITY}`)")
        md.append(f"- libvips: `vips resize in.png out.png 2` (0.5 for the shrink; JPEG: `out.jpg[Q={JPEG_QUALITY}]`)")
        md.append("")
        md.append("Each output is checked to be an 8-bit RGB file of the requested size in every run (its header) "
                  "and decoded whole by PIL once; its size is the same in every run. CPU s is GNU time's user + "
                  "system time; \"bytes ÷ pellimor\" is the tool's output size over pellimor's.\n")
        md.append(markdown_table(f_header, f_rows))
        md.append(f"\nTargets: pellimor's median at most {FORMAT_TIME_GOAL}× the faster peer's, its PNG no larger "
                  f"than that peer's, its peak RSS at most {FORMAT_RSS_GOAL} MB (read as MiB).\n")
        md.append(markdown_table(t_header, f_targets))
    md.append("\n![](results.png)\n")
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "results.md").write_text("\n".join(md))
    plot(named, sweep, tools, args.out / "results.png", format_jobs)
    print(f"\nwrote {args.out / 'results.md'} and {args.out / 'results.png'} ({elapsed / 60:.1f} min)")

    if args.update_readme:
        body = "\n".join(md).replace("![](results.png)", "![](bench/results.png)")
        section = ("## Benchmarks\n\n"
                   "Build a Release copy and run the script with the system Python (it needs numpy, scipy, "
                   "matplotlib and PIL; about 5 minutes on 2 cores):\n\n"
                   "```sh\n"
                   "cmake -S . -B build-bench -DPELLIMOR_TESTS=OFF -DCMAKE_BUILD_TYPE=Release\n"
                   "cmake --build build-bench -j2\n"
                   "/usr/bin/python3 bench/run_bench.py    # --repeat N, --build to rebuild first, --help for more\n"
                   "```\n\n"
                   "It makes photo-like test images (gradients, sharp-edged shapes, seeded texture and grain), "
                   "runs every tool on every job side by side, checks that each output is a 24-bit BMP of the "
                   "requested size, and writes `bench/results.md` and `bench/results.png`. "
                   "`bench/scipy_resize.py` is the same cosine-domain resize in NumPy/SciPy; its output "
                   "bytes are compared with pellimor's.\n\n" + body + "\n")
        update_readme(section)
        print("updated the ## Benchmarks section of README.md")


if __name__ == "__main__":
    main()
