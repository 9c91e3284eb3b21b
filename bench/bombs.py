#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Hostile input files: each must be refused fast, small and cleanly.

    python3 bench/bombs.py [PROGRAM]      (default: build/pellimor)

Builds one small file of each bomb kind in a temporary folder (standard
library only; the arithmetic-coded JPEGs come from cjpeg, installed with
apt-get when missing and possible, else those rows are
skipped), runs the program on each under GNU time and prints a Markdown
table. A row passes when the program exits with status 1 in at most 1 s of
wall time and 50 MiB of peak RSS (the stream cut off by -limit memory=32M holds
those 32 MiB), and its folder holds nothing but the input afterwards: no
output file, no temporary file. The exit status is 1 when any row fails.
"""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

MAX_SECONDS = 1.0
MAX_KIB = 50 * 1024
HANG_SECONDS = 30  # a run still going by then is killed and fails


class Skip(Exception):
    """A row that cannot be built here; the message says why."""


# ---------------------------------------------------------------- PNG

PNG_SIG = b'\x89PNG\r\n\x1a\n'


def chunk(kind, data, length=None):
    size = len(data) if length is None else length
    return (struct.pack('>I', size) + kind + data +
            struct.pack('>I', zlib.crc32(kind + data)))


def ihdr(w, h, colour=0):
    return chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, colour, 0, 0, 0))


def png_claim(kind):
    """A 1x1 picture, then a `kind` chunk claiming 0x7ffffff0 bytes of ~110."""
    def make(env):
        return (PNG_SIG + ihdr(1, 1) + struct.pack('>I', 0x7ffffff0) + kind +
                b'Comment\0' + b'x' * 110)
    return make


def png_huge(env):
    # 10^10 grey samples from ~200 bytes: deflate cannot expand them past ~200 KB
    return (PNG_SIG + ihdr(100000, 100000) +
            chunk(b'IDAT', zlib.compress(bytes(100001 * 4), 9)) + chunk(b'IEND', b''))


def png_legit_2000(env):
    rows = bytes(2001 * 2000)  # filter byte 0 and 2000 grey samples a row
    return (PNG_SIG + ihdr(2000, 2000) + chunk(b'IDAT', zlib.compress(rows, 9)) +
            chunk(b'IEND', b''))


# ---------------------------------------------------------------- BMP

def bmp24(w=64, h=48):
    stride = (w * 3 + 3) & ~3
    rows = b''.join(bytes(v for x in range(w)
                          for v in ((x * 4) & 255, (y * 5) & 255, ((x + y) * 3) & 255)).ljust(stride, b'\0')
                    for y in range(h))
    return (b'BM' + struct.pack('<IHHI', 54 + len(rows), 0, 0, 54) +
            struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(rows), 0, 0, 0, 0) +
            rows)


def bmp_rle(w, h, bits):
    """A full palette and one end-of-picture code claiming w x h pixels."""
    def make(env):
        colours = 1 << bits
        rle = b'\0\1'
        start = 14 + 40 + 4 * colours
        return (b'BM' + struct.pack('<IHHI', start + len(rle), 0, 0, start) +
                struct.pack('<IiiHHIIiiII', 40, w, h, 1, bits, 1 if bits == 8 else 2,
                            len(rle), 0, 0, 0, 0) +
                b''.join(bytes((i, i, i, 0)) for i in range(colours)) + rle)
    return make


# ---------------------------------------------------------------- GIF

def gif(screen_w, screen_h, frame_w, frame_h, data):
    """GIF89a with a 2-colour table and one frame of LZW `data` (code size 2)."""
    blocks = b''.join(bytes([len(data[i:i + 255])]) + data[i:i + 255] for i in range(0, len(data), 255))
    return (b'GIF89a' + struct.pack('<HHBBB', screen_w, screen_h, 0x80, 0, 0) + bytes(6) +
            b',' + struct.pack('<HHHHB', 0, 0, frame_w, frame_h, 0) + b'\2' + blocks + b'\0;')


def gif_screen(env):
    # one pixel: clear, index 0, end as 3-bit codes
    return gif(65535, 65535, 1, 1, b'\x44\x01')


def gif_frame(env):
    return gif(1, 1, 65535, 65535, bytes(300))


# ---------------------------------------------------------------- WebP

def riff(chunks):
    return b'RIFF' + struct.pack('<I', 4 + len(chunks)) + b'WEBP' + chunks


def vp8l(w, h):
    body = b'\x2f' + struct.pack('<I', (w - 1) | (h - 1) << 14) + bytes(17)  # an even size
    return b'VP8L' + struct.pack('<I', len(body)) + body


def webp_lossless(env):
    return riff(vp8l(16384, 16384))


def webp_canvas(env):
    vp8x = b'VP8X' + struct.pack('<I', 10) + bytes(4) + (65534).to_bytes(3, 'little') * 2
    return riff(vp8x + vp8l(1, 1))


# ---------------------------------------------------------------- TIFF

def tiff_shared(tiled):
    """40000x40000 grey, every strip (or 256x256 tile) on one deflate stream."""
    def make(env):
        w = 40000
        if tiled:
            side = 256
            stream = zlib.compress(bytes(side * side), 9)
            count = ((w + side - 1) // side) ** 2
            layout = [(322, 4, 1, side), (323, 4, 1, side)]
            offsets_tag, counts_tag = 324, 325
        else:
            stream = zlib.compress(bytes(w), 9)
            count = w
            layout = [(278, 4, 1, 1)]
            offsets_tag, counts_tag = 273, 279
        out = bytearray(b'II*\0\0\0\0\0') + stream
        out += b'\0' * (len(out) % 2)
        offsets_at = len(out)
        out += struct.pack('<I', 8) * count
        counts_at = len(out)
        out += struct.pack('<I', len(stream)) * count
        entries = sorted([(256, 4, 1, w), (257, 4, 1, w), (258, 3, 1, 8), (259, 3, 1, 8),
                          (262, 3, 1, 1), (277, 3, 1, 1),
                          (offsets_tag, 4, count, offsets_at),
                          (counts_tag, 4, count, counts_at)] + layout)
        struct.pack_into('<I', out, 4, len(out))
        out += struct.pack('<H', len(entries))
        for tag, kind, n, value in entries:
            out += struct.pack('<HHI', tag, kind, n)
            out += struct.pack('<HH' if kind == 3 else '<I', *((value, 0) if kind == 3 else (value,)))
        return bytes(out + b'\0\0\0\0')
    return make


# ---------------------------------------------------------------- JPEG

def cjpeg(env, *args):
    """cjpeg's output for a small grey gradient; apt-get installs it once."""
    if not shutil.which('cjpeg'):
        if 'cjpeg_tried' not in env:
            env['cjpeg_tried'] = True
            if os.geteuid() == 0 and shutil.which('apt-get'):
                subprocess.run(['apt-get', 'install', '-y', 'libjpeg-turbo-progs'],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not shutil.which('cjpeg'):
            raise Skip('no cjpeg (apt-get install libjpeg-turbo-progs)')
    pgm = os.path.join(env['scratch'], 'grey.pgm')
    with open(pgm, 'wb') as f:
        f.write(b'P5 16 16 255\n' + bytes((x * 7 + y * 3) & 255 for y in range(16) for x in range(16)))
    done = subprocess.run(['cjpeg', *args, pgm], capture_output=True)
    if done.returncode != 0:
        raise Skip('cjpeg failed: ' + (done.stderr.decode(errors='replace').splitlines() or [''])[0])
    return done.stdout


def own_jpeg(env):
    """A 64x48 baseline JPEG written by the program itself from a BMP."""
    if 'own_jpeg' not in env:
        with open(os.path.join(env['scratch'], 'src.bmp'), 'wb') as f:
            f.write(bmp24())
        done = subprocess.run([env['program'], '-i', 'src.bmp', '-o', 'src', '-format', 'jpeg',
                               '-progress', 'off'], cwd=env['scratch'], capture_output=True)
        if done.returncode != 0:
            raise Skip('the program wrote no JPEG: ' + done.stderr.decode(errors='replace').strip())
        with open(os.path.join(env['scratch'], 'src.jpg'), 'rb') as f:
            env['own_jpeg'] = f.read()
    return env['own_jpeg']


def segments(data):
    """(marker, start) of each segment before the first scan's data."""
    i = 2
    while i + 4 <= len(data):
        marker = data[i + 1]
        yield marker, i
        if marker == 0xDA:
            return
        i += 2 + struct.unpack('>H', data[i + 2:i + 4])[0]


def resized_sof(data, w, h):
    out = bytearray(data)
    for marker, at in segments(data):
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            struct.pack_into('>HH', out, at + 5, h, w)
            return bytes(out)
    raise Skip('no SOF marker found')


def arith_claim(side):
    return lambda env: resized_sof(cjpeg(env, '-arithmetic'), side, side)


def huffman_claim(env):
    return resized_sof(own_jpeg(env), 65500, 65500)


def truncated_scan(env):
    data = own_jpeg(env)
    sos = [at for marker, at in segments(data) if marker == 0xDA][0]
    scan = sos + 2 + struct.unpack('>H', data[sos + 2:sos + 4])[0]
    end = data.rindex(b'\xff\xd9')
    return data[:scan + (end - scan) // 2] + b'\xff\xd9'


def many_scans(env):
    """An 8x8 grey progressive JPEG of 190 scans: DC, then each AC band in
    three successive-approximation passes. Every coefficient is zero, so each
    scan is one Huffman code (EOB, or DC difference 0) in one byte."""
    def segment(marker, body):
        return b'\xff' + bytes((marker,)) + struct.pack('>H', len(body) + 2) + body

    def scan(first, last, high, low):
        return segment(0xDA, bytes((1, 1, 0x00, first, last, high << 4 | low))) + b'\x7f'

    one_code = bytes((1,) + (0,) * 15) + b'\0'  # symbol 0 on the 1-bit code "0"
    scans = [scan(0, 0, 0, 0)] + [scan(k, k, high, low) for k in range(1, 64)
                                  for high, low in ((0, 2), (2, 1), (1, 0))]
    return (b'\xff\xd8' + segment(0xDB, b'\0' + b'\1' * 64) +
            segment(0xC2, struct.pack('>BHHB', 8, 8, 8, 1) + b'\1\x11\0') +
            segment(0xC4, b'\x00' + one_code) + segment(0xC4, b'\x10' + one_code) +
            b''.join(scans) + b'\xff\xd9')


def tiff_jpeg_strip(env):
    """One JPEG-compressed strip of 40000x40000 grey: the program's own
    small JPEG with its frame header claiming that size."""
    strip = resized_sof(own_jpeg(env), 40000, 40000)
    entries = [(256, 4, 40000), (257, 4, 40000), (258, 3, 8), (259, 3, 7), (262, 3, 1),
               (273, 4, None), (277, 3, 1), (278, 4, 40000), (279, 4, len(strip))]
    data_at = 8 + 2 + 12 * len(entries) + 4
    ifd = struct.pack('<H', len(entries))
    for tag, kind, value in entries:
        value = data_at if value is None else value
        ifd += struct.pack('<HHII', tag, kind, 1, value) if kind == 4 else \
            struct.pack('<HHIHH', tag, kind, 1, value, 0)
    return b'II*\0' + struct.pack('<I', 8) + ifd + b'\0' * 4 + strip


# ---------------------------------------------------------------- rows

ZEROS_AFTER_SIG = ['sh', '-c', r"printf '\211PNG\r\n\032\n'; exec cat /dev/zero"]

# kind, what it claims, builder (None: no file), extra arguments, stdin feeder
ROWS = [
    ('PNG tEXt length', 'tEXt of 0x7ffffff0 bytes', png_claim(b'tEXt'), [], None),
    ('PNG zTXt length', 'zTXt of 0x7ffffff0 bytes', png_claim(b'zTXt'), [], None),
    ('PNG iTXt length', 'iTXt of 0x7ffffff0 bytes', png_claim(b'iTXt'), [], None),
    ('PNG sPLT length', 'sPLT of 0x7ffffff0 bytes', png_claim(b'sPLT'), [], None),
    ('PNG unknown chunk', 'abCd of 0x7ffffff0 bytes', png_claim(b'abCd'), [], None),
    ('PNG IDAT past end', 'IDAT of 0x7ffffff0 bytes', png_claim(b'IDAT'), [], None),
    ('PNG huge header', '100000x100000 grey', png_huge, [], None),
    ('JPEG arithmetic', '20000x20000 (SOF9)', arith_claim(20000), [], None),
    ('JPEG arithmetic', '65500x65500 (SOF9)', arith_claim(65500), [], None),
    ('JPEG Huffman', '65500x65500 (SOF0)', huffman_claim, [], None),
    ('JPEG truncated scan', '64x48, half its scan, EOI', truncated_scan, [], None),
    ('JPEG many scans', '8x8 grey in 190 progressive scans', many_scans, [], None),
    ('TIFF shared strips', '40000x40000, 40000 strips on one stream',
     tiff_shared(False), [], None),
    ('TIFF shared tiles', '40000x40000, 24649 tiles on one stream',
     tiff_shared(True), [], None),
    ('TIFF JPEG strip', '40000x40000 from one small JPEG strip', tiff_jpeg_strip, [], None),
    ('GIF screen', '65535x65535 screen around a 1x1 frame', gif_screen, [], None),
    ('GIF frame', '65535x65535 frame from 300 bytes', gif_frame, [], None),
    ('WebP lossless header', '16384x16384 in 42 bytes', webp_lossless, [], None),
    ('WebP canvas', '65535x65535 canvas around 1x1', webp_canvas, [], None),
    ('BMP RLE8', '30000x30000', bmp_rle(30000, 30000, 8), [], None),
    ('BMP RLE4', '60000x60000', bmp_rle(60000, 60000, 4), [], None),
    ('stream /dev/zero', 'endless zeros', None, ['-i', '/dev/zero'], None),
    ('stream from yes', 'endless "y" lines', None, ['-i', '-'], ['yes']),
    ('stream PNG zeros', 'PNG signature, endless zeros; -limit memory=32M',
     None, ['-i', '-', '-limit', 'memory=32M'], ZEROS_AFTER_SIG),
    ('output JPEG size', '64x48 BMP to -size 65501x1! JPEG', lambda env: bmp24(),
     ['-size', '65501x1!', '-format', 'jpeg'], None),
    ('pixel limit', 'valid 2000x2000 PNG; -limit pixels=1000000', png_legit_2000,
     ['-limit', 'pixels=1000000'], None),
]


def run(program, folder, args, feed):
    """Runs the program in `folder`; returns status, seconds, KiB, stderr line."""
    report = os.path.join(os.path.dirname(folder), 'time.txt')
    if os.path.exists(report):
        os.remove(report)
    writer = subprocess.Popen(feed, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) if feed else None
    command = ['/usr/bin/time', '-q', '-o', report, '-f', '%e %M', program, *args]
    start = time.perf_counter()
    child = subprocess.Popen(command, cwd=folder, stdin=writer.stdout if writer else subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             start_new_session=True)
    if writer:
        writer.stdout.close()
    try:
        _, err = child.communicate(timeout=HANG_SECONDS)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        _, err = child.communicate()
    seconds = time.perf_counter() - start
    if writer:
        writer.kill()
        writer.wait()
    status = child.returncode
    try:
        with open(report) as f:
            kib = int(f.read().split()[-1])
    except (OSError, ValueError, IndexError):
        kib = None  # killed by a signal: no report
    lines = err.decode(errors='replace').splitlines()
    return status, seconds, kib, lines[0] if lines else ''


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    program = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, 'build', 'pellimor'))
    if not os.access(program, os.X_OK):
        sys.exit(f'bombs.py: {program}: not an executable')
    if not os.access('/usr/bin/time', os.X_OK):
        sys.exit('bombs.py: GNU time (/usr/bin/time) is needed: apt-get install time')
    failed, skipped = 0, 0
    print('| kind | file bytes | what it claims | status | seconds | peak RSS MiB | first line of stderr |')
    print('|---|---:|---|---:|---:|---:|---|')
    with tempfile.TemporaryDirectory(prefix='bombs.') as work:
        env = {'program': program, 'scratch': os.path.join(work, 'scratch')}
        os.mkdir(env['scratch'])
        for n, (kind, claims, make, extra, feed) in enumerate(ROWS):
            folder = os.path.join(work, f'{n:02d}')
            os.mkdir(folder)
            size, args = '-', list(extra)
            if make:
                try:
                    data = make(env)
                except Skip as why:
                    skipped += 1
                    print(f'| {kind} | - | {claims} | skipped | - | - | {why} |')
                    continue
                ext = {b'\x89P': 'png', b'\xff\xd8': 'jpg', b'II': 'tif', b'BM': 'bmp', b'GI': 'gif',
                       b'RI': 'webp'}[data[:2]]
                with open(os.path.join(folder, 'in.' + ext), 'wb') as f:
                    f.write(data)
                size, args = len(data), ['-i', 'in.' + ext] + args
            if '-format' not in args:
                args += ['-format', 'png']
            args += ['-o', 'out', '-progress', 'off']
            max_kib = MAX_KIB
            status, seconds, kib, line = run(program, folder, args, feed)
            left = sorted(set(os.listdir(folder)) - {'in.png', 'in.jpg', 'in.tif', 'in.bmp', 'in.gif', 'in.webp'})
            problems = []
            if status != 1:
                problems.append(f'status {status}')
            if seconds > MAX_SECONDS:
                problems.append(f'{seconds:.2f} s')
            if kib is None or kib > max_kib:
                problems.append(f'RSS over {max_kib // 1024} MiB')
            if left:
                problems.append('left ' + ', '.join(left))
            failed += bool(problems)
            rss = f'{kib / 1024:.1f}' if kib is not None else '?'
            mark = ' **FAIL: ' + '; '.join(problems) + '**' if problems else ''
            line = line.replace('|', '\\|')
            print(f'| {kind} | {size} | {claims} | {status} | {seconds:.3f} | {rss} | {line}{mark} |')
    print()
    if skipped:
        print(f'{skipped} row(s) skipped, see above.')
    if failed:
        print(f'{failed} row(s) FAILED: each row must exit with status 1 within {MAX_SECONDS:g} s and '
              f'{MAX_KIB // 1024} MiB and leave no output or temporary file.')
        return 1
    print(f'Every row met: status 1, at most {MAX_SECONDS:g} s, at most {MAX_KIB // 1024} MiB peak RSS, '
          'no output file, no temporary file left.')
    return 0


if __name__ == '__main__':
    sys.exit(main())
