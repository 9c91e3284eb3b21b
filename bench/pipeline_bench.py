#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Whole-process timing of file jobs through the overlapped pipeline.

    /usr/bin/python3 bench/pipeline_bench.py FOLDER [ROUNDS] [TOOLS] [JOBS]

FOLDER gets photo-like test pictures (made once, as 24-bit BMP, then turned
into PNG, JPEG and deflate TIFF by FOLDER/pellimor_TOOL resize) and the
outputs. TOOLS is a comma-separated list of pellimor builds copied into
FOLDER as pellimor_NAME (say before,after), plus vips (`vips resize`, from
Debian's libvips-tools). JOBS picks jobs by input, e.g. a1920.png,a4000.jpg.
Each round runs every tool once per job, in an order that turns from round
to round, so load on a shared machine falls on every tool alike. Printed:
median wall and CPU (user + system) time, peak RSS (GNU time), and each
pellimor's ratios to vips in the same run.
"""
import math, os, random, statistics, struct, subprocess, sys, time

def photo_bmp(path, w, h, seed):
    rnd = random.Random(seed)
    row = (w * 3 + 3) & ~3
    out = bytearray(54 + row * h)
    out[0:2] = b'BM'
    struct.pack_into('<IHHIIiiHHIIiiII', out, 2, len(out), 0, 0, 54, 40, w, h, 1, 24, 0, row * h,
                     2835, 2835, 0, 0)
    grain = bytes(rnd.randrange(256) for _ in range(65536))
    for y in range(h):
        o = 54 + (h - 1 - y) * row
        fy = y / h
        line = bytearray(w * 3)
        for x in range(w):
            fx = x / w
            n = grain[(x * 131 + y * 257) & 65535] >> 4
            line[3 * x] = (int(120 + 100 * math.sin(6 * fx + 3 * fy)) + n) & 255
            line[3 * x + 1] = (int(120 + 100 * math.cos(4 * fx - 5 * fy)) + n) & 255
            line[3 * x + 2] = (int(120 + 90 * math.sin(9 * fx * fy + 1)) + n) & 255
        out[o:o + w * 3] = line
    open(path, 'wb').write(out)

os.chdir(sys.argv[1])
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
tools = sys.argv[3].split(',') if len(sys.argv) > 3 else ['before', 'vips']
jobs = [('a1920', 'png', 3840, 2160), ('a4000', 'png', 2000, 1500), ('a1920', 'jpg', 3840, 2160),
        ('a4000', 'jpg', 2000, 1500), ('a8000', 'jpg', 2000, 1125), ('a1920', 'tif', 3840, 2160),
        ('a4000', 'tif', 2000, 1500), ('a1920', 'bmp', 3840, 2160), ('a4000', 'bmp', 2000, 1500)]
if len(sys.argv) > 4: jobs = [j for j in jobs if (j[0] + "." + j[1]) in sys.argv[4].split(',')]
src = {'a1920': (1920, 1080), 'a4000': (4000, 3000), 'a8000': (8000, 4500)}
def cmd(tool, name, ext, w, h):
    inp = f'{name}.{ext}'; out = f'out_{tool}.{ext}'
    if tool == 'vips':
        sw, sh = src[name]
        opt = {'jpg': '[Q=92]', 'tif': '[compression=deflate]', 'png': '', 'bmp': ''}[ext]
        if ext == 'bmp': out = f'out_{tool}.v'  # vips has no BMP saver
        return ['vips', 'resize', inp, out + opt, str(w / sw), '--vscale', str(h / sh)]
    return [f'./pellimor_{tool}', 'resize', '-s', f'{w}x{h}!', inp, out]
maker = next(f'./pellimor_{t}' for t in tools if t != 'vips')
for name, (w, h) in src.items():
    if not any(j[0] == name for j in jobs): continue
    if not os.path.exists(f'{name}.bmp'): photo_bmp(f'{name}.bmp', w, h, w)
    for ext in ('png', 'jpg', 'tif'):
        if not os.path.exists(f'{name}.{ext}'):
            subprocess.run([maker, 'resize', f'{name}.bmp', f'{name}.{ext}'], check=True)
res = {}
for r in range(rounds):
    for j in jobs:
        order = tools[r % len(tools):] + tools[:r % len(tools)]
        for t in order:
            if t == 'vips' and j[1] == 'bmp': continue
            t0 = time.perf_counter()
            p = subprocess.run(['/usr/bin/time', '-f', '%U %S %M'] + cmd(t, *j), capture_output=True, text=True)
            wall = time.perf_counter() - t0
            if p.returncode: print('FAIL', t, j, p.stderr); sys.exit(1)
            u, s, m = p.stderr.strip().split('\n')[-1].split()
            res.setdefault((j, t), []).append((wall, float(u) + float(s), int(m) / 1024))
for j in jobs:
    line = f'{j[0]}.{j[1]}->{j[2]}x{j[3]}'
    v = res.get((j, 'vips'))
    for t in tools:
        if (j, t) not in res: continue
        x = res[(j, t)]
        wall = statistics.median(a[0] for a in x); cpu = statistics.median(a[1] for a in x); rss = max(a[2] for a in x)
        rel = ''
        if v and t != 'vips':
            rel = f' (x{wall / statistics.median(a[0] for a in v):.2f} wall, x{cpu / statistics.median(a[1] for a in v):.2f} cpu vs vips)'
        line += f'\n   {t:7s} wall {wall:.2f}s cpu {cpu:.2f}s rss {rss:.0f}MiB{rel}'
    print(line)
