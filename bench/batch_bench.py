#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Many files in one `pellimor resize` against other ways of doing a batch.

    /usr/bin/python3 bench/batch_bench.py FOLDER [ROUNDS] [PELLIMOR]

Installs the peers first (scripts/deps.sh, bench_packages). FOLDER gets the
inputs, made once from numpy gradients with noise (each file different, so
the codecs do real work) and turned into JPEG and PNG by pellimor:
  jpeg: 200 JPEGs of 1920x1080 to 50% (960x540), quality 92;
  png:  40 PNGs of 640x480 to 200% (1280x960);
  large: 6 JPEGs of 4000x3000 to 50%, one at a time (the case reading the
         next file ahead is for; only pellimor's batch and its shell loop).
Peers, each run once a round in an order that turns from round to round:
  batch       pellimor resize -s P -Q 92 IN... -o out/ (default jobs);
  loop        a shell loop of pellimor resize on single files;
  vips-loop   a shell loop of vips resize IN OUT[Q=92] SCALE: the same
              scale, so the same output size (its default lanczos3 kernel);
  vips-xargs  the same vips resize calls through xargs -P2;
  mogrify     ImageMagick's mogrify -resize P -quality 92 -path out/ IN...
With PELLIMOR_BEFORE=PATH set, that build's batch runs as a peer too.
Printed: median wall time of ROUNDS (default 3), images per second, and
each peer's time over the batch's; peak RSS of the batch (GNU time) against
a single pellimor run of the largest input; and whether every batch output
is byte for byte the output of a single run.
"""
import glob, os, shutil, statistics, subprocess, sys, time

here = os.path.dirname(os.path.abspath(__file__))
folder = os.path.abspath(sys.argv[1])
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
pellimor = os.path.abspath(sys.argv[3] if len(sys.argv) > 3 else os.path.join(here, '..', 'build', 'pellimor'))
subprocess.run(['bash', '-c', f'source {here}/../scripts/deps.sh && ensure_packages "${{bench_packages[@]}}"'],
               check=True)
import numpy as np  # noqa: E402 (installed just above)
before = os.environ.get('PELLIMOR_BEFORE')  # another build's batch, to compare
mogrify = '/usr/bin/mogrify' if os.path.exists('/usr/bin/mogrify') else None


def bmp_bytes(rgb):
    h, w, _ = rgb.shape
    row = (w * 3 + 3) & ~3
    head = bytearray(54)
    head[0:2] = b'BM'
    import struct
    struct.pack_into('<IHHIIiiHHIIiiII', head, 2, 54 + row * h, 0, 0, 54, 40, w, h, 1, 24, 0, row * h,
                     2835, 2835, 0, 0)
    body = np.zeros((h, row), np.uint8)
    body[:, :w * 3] = rgb[::-1, :, ::-1].reshape(h, w * 3)
    return bytes(head) + body.tobytes()


def picture(w, h, seed):
    """Smooth gradients and waves, a few edges, and grain: photo-like work."""
    rnd = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    x /= w
    y /= h
    out = np.empty((h, w, 3), np.float32)
    for c in range(3):
        a, b, f, g, p = rnd.uniform(-1, 1), rnd.uniform(-1, 1), rnd.uniform(2, 12), rnd.uniform(2, 12), rnd.uniform(0, 6)
        out[:, :, c] = 128 + 60 * (a * x + b * y) + 50 * np.sin(f * x + g * y * y + p)
    cx, cy, r = rnd.uniform(0.2, 0.8), rnd.uniform(0.2, 0.8), rnd.uniform(0.1, 0.3)
    out[(x - cx) ** 2 + (y - cy) ** 2 < r * r] += rnd.uniform(-60, 60, 3).astype(np.float32)
    out += rnd.normal(0, 6, out.shape).astype(np.float32)
    return np.clip(out, 0, 255).astype(np.uint8)


def make_inputs(name, ext, count, w, h):
    src = os.path.join(folder, name)
    if len(glob.glob(os.path.join(src, '*.' + ext))) == count:
        return sorted(glob.glob(os.path.join(src, '*.' + ext)))
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src + '/bmp')
    for i in range(count):
        with open(f'{src}/bmp/{name}{i:03d}.bmp', 'wb') as f:
            f.write(bmp_bytes(picture(w, h, hash((name, i)) & 0xffffffff)))
    subprocess.run([pellimor, 'resize', '-q', '-Q', '92', '--format', ext if ext != 'jpg' else 'jpeg'] +
                   sorted(glob.glob(src + '/bmp/*.bmp')) + ['-o', f'{src}/%s.{ext}'], check=True)
    shutil.rmtree(src + '/bmp')
    return sorted(glob.glob(os.path.join(src, '*.' + ext)))


def peers(inputs, percent, scale, ext, out):
    q = ['-Q', '92'] if ext == 'jpg' else []
    vq = '[Q=92]' if ext == 'jpg' else ''
    listed = ' '.join(inputs)
    cmds = {
        'batch': [pellimor, 'resize', '-q', '-s', percent] + q + inputs + ['-o', out + '/'],
        'loop': ['bash', '-c', f'for f in {listed}; do {pellimor} resize -q -s {percent} {" ".join(q)} '
                 f'"$f" {out}/"${{f##*/}}" || exit 1; done'],
        'vips-loop': ['bash', '-c', f'for f in {listed}; do vips resize "$f" {out}/"${{f##*/}}"{vq} {scale} '
                      '|| exit 1; done'],
        'vips-xargs': ['bash', '-c', f'for f in {listed}; do printf "%s\\0%s\\0%s\\0" "$f" {out}/"${{f##*/}}"{vq} '
                       f'{scale}; done | xargs -0 -P2 -n3 vips resize'],
    }
    if before:
        cmds['before'] = [before] + cmds['batch'][1:]
    if mogrify:
        cmds['mogrify'] = [mogrify, '-resize', percent] + (['-quality', '92'] if ext == 'jpg' else []) + \
            ['-path', out] + inputs
    return cmds


def timed(cmd):
    t0 = time.perf_counter()
    p = subprocess.run(['/usr/bin/time', '-f', '%M'] + cmd, capture_output=True, text=True)
    wall = time.perf_counter() - t0
    if p.returncode:
        sys.exit(f'failed: {cmd[:4]}...: {p.stderr[-2000:]}')
    return wall, int(p.stderr.strip().split('\n')[-1]) / 1024


def bench(name, inputs, percent, scale, ext, only=None):
    out = os.path.join(folder, 'out_' + name)
    cmds = peers(inputs, percent, scale, ext, out)
    if only:
        cmds = {k: v for k, v in cmds.items() if k in only or k == 'before'}
    walls, rss = {}, {}
    for r in range(rounds):
        order = list(cmds)
        order = order[r % len(order):] + order[:r % len(order)]
        for peer in order:
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            wall, peak = timed(cmds[peer])
            walls.setdefault(peer, []).append(wall)
            rss.setdefault(peer, []).append(peak)
            if peer == 'batch':
                batch_bytes = {f: open(os.path.join(out, f), 'rb').read() for f in os.listdir(out)}
            if peer == 'loop':
                loop_bytes = {f: open(os.path.join(out, f), 'rb').read() for f in os.listdir(out)}
    n = len(inputs)
    base = statistics.median(walls['batch'])
    print(f'\n{name}: {n} x {ext} to {percent}, medians of {rounds} interleaved rounds')
    print(f'  {"peer":11s} {"wall s":>8s} {"img/s":>8s} {"peer/batch":>10s} {"peak RSS MiB":>12s}')
    for peer in cmds:
        m = statistics.median(walls[peer])
        print(f'  {peer:11s} {m:8.2f} {n / m:8.1f} {m / base:10.2f} {statistics.median(rss[peer]):12.1f}')
    same = len(batch_bytes) == n and batch_bytes == loop_bytes
    print(f'  batch outputs byte-identical to single runs: {"yes" if same else "NO"}')
    largest = max(inputs, key=os.path.getsize)
    single = [timed([pellimor, 'resize', '-q', '-s', percent] + (['-Q', '92'] if ext == 'jpg' else []) +
                    [largest, os.path.join(out, 'single.' + ext)])[1] for _ in range(rounds)]
    b, s = statistics.median(rss['batch']), statistics.median(single)
    print(f'  peak RSS: batch {b:.1f} MiB, largest single run {s:.1f} MiB: {b / s:.2f}x')
    return same


ok = bench('jpeg', make_inputs('jpeg', 'jpg', 200, 1920, 1080), '50%', 0.5, 'jpg')
ok &= bench('png', make_inputs('png', 'png', 40, 640, 480), '200%', 2, 'png')
ok &= bench('large', make_inputs('large', 'jpg', 6, 4000, 3000), '50%', 0.5, 'jpg', only=('batch', 'loop'))
print('\nload average while measured:', open('/proc/loadavg').read().split()[:3])
sys.exit(0 if ok else 1)
