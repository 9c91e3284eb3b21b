#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""pellimor.resize from Python: speed against SciPy, two threads at once, peak memory.

Usage (Debian's interpreter, with the module on the path):
    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [--runs N]

1. 1920x1080x3 float64 -> 3840x2160: pellimor.resize (threads=0, one per
   core) against the SciPy script
       idctn(pad(dctn(x, norm="ortho", axes=(0, 1), workers=-1)),
             norm="ortho", axes=(0, 1), workers=-1) * sqrt(H'W' / (H W))
   timed in turns, medians of N runs each (goal: SciPy / pellimor >= 5);
   SciPy's padding array is made and written once, before the timing.
   Runs that other processes disturbed are done again (see Quiet).
2. Two Python threads each calling resize with threads=1 at once, against
   one such call alone, in turns (goal: two / one <= 1.3); then the same
   with an image of its own for each thread, one and two interleaved
   without waiting for idle CPUs, with the CPU seconds of each call.
3. Peak extra memory of one resize, each in a fresh process: VmHWM from
   /proc/self/status after the call less VmHWM before it (the peak is reset
   to the current size first through /proc/self/clear_refs where the kernel
   allows), against the output array plus one coefficient plane of
   min(W, W') x max(H, H') doubles (goal: <= 1.2 of that).
4. The same image as float32 and as uint8 against SciPy's routes for them
   (float32 transforms; uint8 through float64, rounded and clipped), and a
   loop of 20 calls writing into one out= array against 20 calls of the
   SciPy script (see arrays_bench; goals: >= 2.5x, >= 5x, >= 5x).
--colour-only: an RGBA stack resized along three axes, plain against alpha
   and linear light (see colour_bench). --volume-only, --arrays-only: only
   those runs.
"""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import threading
import time

import numpy as np
import scipy.fft

import pellimor

ROWS, COLS, CHANNELS = 1080, 1920, 3
NEW = (2160, 3840)


def scipy_padding(x, shape):
    """SciPy's zero-padded coefficient array, every page written: np.zeros
    hands out untouched pages, and faulting them in while idctn reads them in
    columns costs more than the transforms here. Filled once, outside the
    timing; scipy_resize only overwrites the corner it keeps."""
    kept = np.empty(shape + x.shape[2:])
    kept.fill(0.0)
    return kept


def scipy_resize(x, shape, kept=None):
    rows, cols = x.shape[:2]
    coefficients = scipy.fft.dctn(x, norm="ortho", axes=(0, 1), workers=-1)
    if kept is None:
        kept = np.zeros(shape + x.shape[2:])
    kr, kc = min(rows, shape[0]), min(cols, shape[1])
    kept[:kr, :kc] = coefficients[:kr, :kc]
    del coefficients
    return scipy.fft.idctn(kept, norm="ortho", axes=(0, 1), workers=-1) * np.sqrt(
        shape[0] * shape[1] / (rows * cols)
    )


def busy_seconds():
    """CPU seconds all processes have spent so far, from /proc/stat."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    return (sum(v) - v[3] - v[4]) / os.sysconf("SC_CLK_TCK")  # less idle and iowait


def own_seconds():
    t = os.times()
    return t.user + t.system


class Quiet:
    """Times calls on a shared machine: each timed run starts when the CPUs
    have been mostly idle for half a second, and a run during which other
    processes took more than a tenth of the CPUs is done again, within a
    time budget for the whole benchmark."""

    def __init__(self, budget, threshold=0.1):
        self.budget, self.threshold = budget, threshold
        self.spent = 0.0
        self.runs = self.disturbed = self.kept_disturbed = 0
        self.cpus = os.cpu_count() or 1

    def others(self, f):
        """(wall seconds of f(), fraction of the CPUs other processes used
        meanwhile, CPU seconds of this process)."""
        busy, own, start = busy_seconds(), own_seconds(), time.perf_counter()
        f()
        wall = time.perf_counter() - start
        cpu = own_seconds() - own
        other = (busy_seconds() - busy) - cpu
        return wall, max(0.0, other) / (wall * self.cpus), cpu

    def time(self, f):
        """(wall, CPU) seconds of one undisturbed run of f()."""
        while True:
            begin = time.perf_counter()
            while self.others(lambda: time.sleep(0.5))[1] >= self.threshold and self.spent < self.budget:
                time.sleep(1.0)
                self.spent += time.perf_counter() - begin
                begin = time.perf_counter()
            wall, other, cpu = self.others(f)
            self.runs += 1
            if other < self.threshold:
                return wall, cpu
            self.disturbed += 1
            self.spent += time.perf_counter() - begin
            if self.spent >= self.budget:
                self.kept_disturbed += 1
                return wall, cpu


def two_at_once(image):
    workers = [threading.Thread(target=pellimor.resize, args=(image, NEW), kwargs={"threads": 1}) for _ in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def thread_schedule():
    """(seconds on a CPU, seconds runnable but waiting for one) of the
    calling thread, from /proc/thread-self/schedstat."""
    with open("/proc/thread-self/schedstat") as f:
        on_cpu, waiting = map(int, f.read().split()[:2])
    return on_cpu / 1e9, waiting / 1e9


def own_images_at_once(runs):
    """Two threads, each resizing an image of its own with threads=1, against
    one such call alone, interleaved in one run, without waiting for idle
    CPUs. Returns medians of (wall of one call, wall of two at once, then
    per call: CPU seconds alone, CPU seconds of each of two, seconds
    blocked alone, seconds blocked each of two). CPU seconds are those of
    the calling thread (the resize runs on it); blocked is the wall time
    the thread was neither running nor waiting for a CPU: sleeping on a
    lock, the GIL or a page. Time waiting for a CPU is the machine's load,
    not the code's: on a loaded machine two threads' wall time grows by it
    whatever the code does, so blocked is what tells whether the calls
    wait for each other."""
    images = [np.random.default_rng(10 + i).random((ROWS, COLS, CHANNELS)) for i in range(2)]
    for im in images:
        pellimor.resize(im, NEW, threads=1)  # plans and states made before the timing

    def call(i, cpu, blocked):
        (cpu0, wait0), start = thread_schedule(), time.perf_counter()
        pellimor.resize(images[i], NEW, threads=1)
        wall = time.perf_counter() - start
        cpu1, wait1 = thread_schedule()
        cpu[i], blocked[i] = cpu1 - cpu0, max(0.0, wall - (cpu1 - cpu0) - (wait1 - wait0))

    ones, twos = [], []
    for _ in range(runs):
        cpu, blocked = [0.0, 0.0], [0.0, 0.0]
        start = time.perf_counter()
        call(0, cpu, blocked)
        ones.append((time.perf_counter() - start, cpu[0], blocked[0]))
        cpu, blocked = [0.0, 0.0], [0.0, 0.0]
        workers = [threading.Thread(target=call, args=(i, cpu, blocked)) for i in range(2)]
        start = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        twos.append((time.perf_counter() - start, sum(cpu) / 2, sum(blocked) / 2))
    one, two = [tuple(map(statistics.median, zip(*r))) for r in (ones, twos)]
    return one[0], two[0], one[1], two[1], one[2], two[2]

def control_at_once(runs):
    """The machine's own one-vs-two ratio: hashlib.sha256 of 160 MiB (which
    lets go of the GIL and waits for nothing) on one thread, then on two at
    once, interleaved as own_images_at_once does. Returns the medians of
    (wall of one, wall of two)."""
    data = [np.random.default_rng(20 + i).bytes(160 << 20) for i in range(2)]

    def call(i):
        hashlib.sha256(data[i]).digest()

    ones, twos = [], []
    for _ in range(runs):
        start = time.perf_counter()
        call(0)
        ones.append(time.perf_counter() - start)
        workers = [threading.Thread(target=call, args=(i,)) for i in range(2)]
        start = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        twos.append(time.perf_counter() - start)
    return statistics.median(ones), statistics.median(twos)

MEMORY_CHILD = r"""
import re, sys
import numpy as np
def hwm():
    return int(re.search(r"VmHWM:\s*(\d+) kB", open("/proc/self/status").read()).group(1)) * 1024
tool = sys.argv[1]
rows, cols, channels, rows2, cols2 = map(int, sys.argv[2:7])
image = np.random.default_rng(1).random((rows, cols, channels))
if tool == "pellimor":
    import pellimor
    run = lambda: pellimor.resize(image, (rows2, cols2))
    pellimor.resize(image[:8, :8], (16, 16))  # loads the module's libraries
else:
    sys.path.insert(0, sys.argv[7])
    from python_bench import scipy_resize
    run = lambda: scipy_resize(image, (rows2, cols2))
    scipy_resize(image[:8, :8], (16, 16))
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak becomes the current resident size
except OSError:
    pass
before = hwm()
out = run()
print(hwm() - before, out.nbytes)
"""


def peak_extra(tool):
    done = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, tool, str(ROWS), str(COLS), str(CHANNELS), *map(str, NEW),
         os.path.dirname(os.path.abspath(__file__))],
        capture_output=True, text=True, check=True,
    )
    extra, out_bytes = map(int, done.stdout.split())
    return extra, out_bytes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7, help="timed runs of each (default 7, at least 5)")
    parser.add_argument("--max-wait", type=float, default=300,
                        help="seconds in all to spend waiting for idle CPUs and redoing disturbed runs (default 300)")
    args = parser.parse_args()
    runs = max(args.runs, 5)
    mib = 1 << 20
    print(f"pellimor {pellimor.__version__} from {os.path.dirname(pellimor.__file__)}; numpy {np.__version__}, "
          f"scipy {scipy.__version__}; {os.cpu_count()} CPUs; load average "
          + " ".join(f"{v:.2f}" for v in os.getloadavg()))

    image = np.random.default_rng(0).random((ROWS, COLS, CHANNELS))
    ours, theirs = pellimor.resize(image, NEW), scipy_resize(image, NEW)
    difference = np.abs(ours - theirs).max() / np.abs(theirs).max()
    del ours, theirs

    quiet = Quiet(args.max_wait)
    padding = scipy_padding(image, NEW)
    pellimor_times, scipy_times = [], []
    for _ in range(runs):
        pellimor_times.append(quiet.time(lambda: pellimor.resize(image, NEW)))
        scipy_times.append(quiet.time(lambda: scipy_resize(image, NEW, padding)))
    one_times, two_times = [], []
    for _ in range(runs):
        one_times.append(quiet.time(lambda: pellimor.resize(image, NEW, threads=1)))
        two_times.append(quiet.time(lambda: two_at_once(image)))

    def medians(runs):
        return tuple(statistics.median(column) for column in zip(*runs))

    (pellimor_s, pellimor_cpu), (scipy_s, scipy_cpu) = medians(pellimor_times), medians(scipy_times)
    (one_s, _), (two_s, _) = medians(one_times), medians(two_times)
    control_one, control_two = control_at_once(runs)
    own_one, own_two, own_one_cpu, own_two_cpu, own_one_blocked, own_two_blocked = own_images_at_once(runs)
    extra, out_bytes = peak_extra("pellimor")
    scipy_extra, _ = peak_extra("scipy")
    plane = 8 * min(COLS, NEW[1]) * max(ROWS, NEW[0])
    budget = out_bytes + plane

    print(f"\n{COLS}x{ROWS}x{CHANNELS} float64 -> {NEW[1]}x{NEW[0]}, medians of {runs} runs in turns; "
          f"pellimor vs SciPy: largest difference {difference:.1e} of the largest value\n")
    print("| measure | pellimor | reference | ratio | goal |")
    print("|---|---|---|---|---|")
    print(f"| time, threads=0 vs SciPy workers=-1 | {pellimor_s:.3f} s | {scipy_s:.3f} s | "
          f"{scipy_s / pellimor_s:.2f}x faster | >= 5x |")
    print(f"| CPU seconds of the same (user + system) | {pellimor_cpu:.3f} s | {scipy_cpu:.3f} s | "
          f"{scipy_cpu / pellimor_cpu:.2f}x less | |")
    print(f"| two threads at once, threads=1 each vs one call | {two_s:.3f} s | {one_s:.3f} s | "
          f"{two_s / one_s:.2f}x | <= 1.3x |")
    print(f"| the same, each thread its own image, no waiting for idle CPUs | {own_two:.3f} s | {own_one:.3f} s | "
          f"{own_two / own_one:.2f}x | <= 1.3x |")
    print(f"| control: hashlib.sha256 of 160 MiB, two threads vs one, the same way | {control_two:.3f} s | "
          f"{control_one:.3f} s | {control_two / control_one:.2f}x | |")
    print(f"| CPU seconds a call, two at once vs one alone | {own_two_cpu:.3f} s | {own_one_cpu:.3f} s | "
          f"{own_two_cpu / own_one_cpu:.2f}x | |")
    print(f"| seconds a call was blocked (neither on nor waiting for a CPU), two vs one | {own_two_blocked:.3f} s | "
          f"{own_one_blocked:.3f} s | | |")
    print(f"| peak extra memory vs output + one plane | {extra / mib:.0f} MiB | "
          f"{out_bytes / mib:.0f} + {plane / mib:.0f} MiB | {extra / budget:.2f}x | <= 1.2x |")
    print(f"| peak extra memory of the SciPy script | {scipy_extra / mib:.0f} MiB | | "
          f"{scipy_extra / extra:.2f}x pellimor's | |")
    print(f"\n{quiet.runs} timed runs, {quiet.disturbed} of them done again because other processes took over "
          f"10% of the CPUs meanwhile, {quiet.kept_disturbed} kept so when the wait budget ran out "
          f"({quiet.spent:.0f} s spent); load average at the end "
          + " ".join(f"{v:.2f}" for v in os.getloadavg()))
    volume_bench(quiet, runs)
    arrays_bench(quiet, runs)


def scipy_uint8(x, shape, kept):
    """SciPy's route for uint8: through float64, rounded and clipped back."""
    return np.clip(np.rint(scipy_resize(x.astype(np.float64), shape, kept)), 0, 255).astype(np.uint8)


def arrays_bench(quiet, runs):
    """The 1920x1080x3 image as float32 and uint8 against SciPy's routes for
    them, and 20 calls into one out= array against 20 of the SciPy script,
    each SciPy padding array written before the timing."""
    image = np.random.default_rng(0).random((ROWS, COLS, CHANNELS))
    single, byte = image.astype(np.float32), (image * 255).astype(np.uint8)
    padding, single_padding = scipy_padding(image, NEW), scipy_padding(single, NEW).astype(np.float32)
    single_padding.fill(0.0)
    out = np.empty(NEW + (CHANNELS,))
    out.fill(0.0)
    jobs = {
        "float32": (lambda: pellimor.resize(single, NEW), lambda: scipy_resize(single, NEW, single_padding), 2.5),
        "uint8": (lambda: pellimor.resize(byte, NEW), lambda: scipy_uint8(byte, NEW, padding), 5),
        "20 calls, out= (float64)": (
            lambda: [pellimor.resize(image, NEW, out=out) for _ in range(20)],
            lambda: [scipy_resize(image, NEW, padding) for _ in range(20)],
            5,
        ),
    }
    for ours, theirs, _ in jobs.values():
        ours(), theirs()  # plans, states and pages made before the timing
    times = {name: ([], []) for name in jobs}
    for _ in range(runs):
        for name, (ours, theirs, _) in jobs.items():
            times[name][0].append(quiet.time(ours)[0])
            times[name][1].append(quiet.time(theirs)[0])
    print(f"\n{COLS}x{ROWS}x{CHANNELS} -> {NEW[1]}x{NEW[0]} by sample type, medians of {runs} runs in turns; "
          "load average " + " ".join(f"{v:.2f}" for v in os.getloadavg()) + "\n")
    print("| job | pellimor | SciPy | ratio | goal |")
    print("|---|---|---|---|---|")
    for name, (_, _, goal) in jobs.items():
        ours_s, scipy_s = (statistics.median(t) for t in times[name])
        print(f"| {name} | {ours_s:.3f} s | {scipy_s:.3f} s | {scipy_s / ours_s:.2f}x faster | >= {goal}x |")


VOLUME, NEW_VOLUME = (256, 256, 256), (384, 384, 384)

VOLUME_CHILD = r"""
import re, sys
import numpy as np
import pellimor
def hwm():
    return int(re.search(r"VmHWM:\s*(\d+) kB", open("/proc/self/status").read()).group(1)) * 1024
side, side2 = int(sys.argv[1]), int(sys.argv[2])
volume = np.random.default_rng(2).random((side,) * 3)
pellimor.resize(volume[:8, :8, :8], (16, 16, 16))  # loads the module's libraries
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
before = hwm()
out = pellimor.resize(volume, (side2,) * 3)
print(hwm() - before, out.nbytes)
"""


def volume_bench(quiet, runs):
    """A 256^3 float64 volume to 384^3 along all three axes, against SciPy's
    dctn / idctn with workers=-1 into a padding array written before the
    timing starts (its untouched zero pages would otherwise be charged to
    SciPy); and the peak extra memory of the resize against its output
    (goals: >= 3x faster, <= 1.2x the output)."""
    volume = np.random.default_rng(2).random(VOLUME)
    padded = np.zeros(NEW_VOLUME)
    padded.fill(0.0)  # every page written once, outside the timing
    kept = tuple(slice(0, min(a, b)) for a, b in zip(VOLUME, NEW_VOLUME))
    gain = np.sqrt(np.prod(NEW_VOLUME) / np.prod(VOLUME))

    def scipy_volume():
        padded[kept] = scipy.fft.dctn(volume, norm="ortho", workers=-1)[kept]
        return scipy.fft.idctn(padded, norm="ortho", workers=-1) * gain

    ours, theirs = pellimor.resize(volume, NEW_VOLUME), scipy_volume()
    difference = np.abs(ours - theirs).max() / np.abs(theirs).max()
    del ours, theirs
    times, scipy_times = [], []
    for _ in range(runs):
        times.append(quiet.time(lambda: pellimor.resize(volume, NEW_VOLUME))[0])
        scipy_times.append(quiet.time(scipy_volume)[0])
    ours_s, scipy_s = statistics.median(times), statistics.median(scipy_times)
    done = subprocess.run([sys.executable, "-c", VOLUME_CHILD, str(VOLUME[0]), str(NEW_VOLUME[0])],
                          capture_output=True, text=True, check=True)
    extra, out_bytes = map(int, done.stdout.split())
    mib = 1 << 20
    print(f"\n{'x'.join(map(str, VOLUME))} float64 -> {'x'.join(map(str, NEW_VOLUME))}, all three axes, medians "
          f"of {runs} runs in turns; largest difference from SciPy {difference:.1e} of the largest value\n")
    print("| measure | pellimor | reference | ratio | goal |")
    print("|---|---|---|---|---|")
    print(f"| time, threads=0 vs SciPy dctn/idctn workers=-1 | {ours_s:.3f} s | {scipy_s:.3f} s | "
          f"{scipy_s / ours_s:.2f}x faster | >= 3x |")
    print(f"| peak extra memory vs the output | {extra / mib:.0f} MiB | {out_bytes / mib:.0f} MiB | "
          f"{extra / out_bytes:.2f}x | <= 1.2x |")


COLOUR_STACK, COLOUR_LENGTHS = (16, 256, 256, 4), (24, 384, 384)


def colour_bench(runs):
    """A (16, 256, 256, 4) uint8 RGBA stack to (24, 384, 384, 4) along three
    axes, plain and with alpha, linear light and both (each element through
    arrays of doubles around the passes), in turns: medians and their ratio
    to the plain resize."""
    stack = (np.random.default_rng(3).random(COLOUR_STACK) * 255).astype(np.uint8)
    kinds = {"plain": {}, "alpha": {"alpha": True}, "linear": {"linear": True},
             "alpha + linear": {"alpha": True, "linear": True}}
    times = {kind: [] for kind in kinds}
    for _ in range(runs):
        for kind, options in kinds.items():
            start = time.perf_counter()
            pellimor.resize(stack, COLOUR_LENGTHS, axes=(0, 1, 2), channel_axis=3, **options)
            times[kind].append(time.perf_counter() - start)
    plain = statistics.median(times["plain"])
    print(f"\n{'x'.join(map(str, COLOUR_STACK))} uint8 -> {'x'.join(map(str, COLOUR_LENGTHS))}x4 along three "
          f"axes, medians of {runs} runs in turns; load average "
          + " ".join(f"{v:.2f}" for v in os.getloadavg()) + "\n")
    print("| settings | time | vs plain |")
    print("|---|---|---|")
    for kind in kinds:
        median = statistics.median(times[kind])
        print(f"| {kind} | {median:.3f} s | {median / plain:.2f}x |")


if __name__ == "__main__":
    if "--colour-only" in sys.argv:
        sys.argv.remove("--colour-only")
        colour_bench(max(int(sys.argv[sys.argv.index("--runs") + 1]) if "--runs" in sys.argv else 5, 5))
    elif "--arrays-only" in sys.argv:
        sys.argv.remove("--arrays-only")
        arrays_runs = max(int(sys.argv[sys.argv.index("--runs") + 1]) if "--runs" in sys.argv else 5, 5)
        arrays_bench(Quiet(60), arrays_runs)
    elif "--volume-only" in sys.argv:
        sys.argv.remove("--volume-only")
        volume_runs = max(int(sys.argv[sys.argv.index("--runs") + 1]) if "--runs" in sys.argv else 5, 5)
        volume_bench(Quiet(60), volume_runs)
    else:
        main()
