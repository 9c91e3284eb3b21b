#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Resize every image in a folder with pellimor, spread over a Dask cluster.

    dask_batch.py IN_DIR OUT_DIR --size GEOMETRY [--format FORMAT]
                  [--quality Q] [--scheduler ADDRESS]

Every regular file in IN_DIR (not its subfolders, not hidden files), taken
in sorted order, becomes OUT_DIR/<stem>.<ext of FORMAT> (bmp by default, as
the command line), with the same bytes `pellimor -i FILE -o OUT_DIR/<stem>
-size GEOMETRY -format FORMAT` writes.  The files are cut into one slice per
worker, and each slice is one Dask task that calls pellimor.resize_files
on it with threads=1 and jobs=1, so the workers, not pellimor's threads,
share the cores, and a task costs one round trip for many files.  A file
that cannot be read or resized fails alone: its error comes back in its
slice's result and the others go on.  At
the end one line per failed file goes to standard error, and a summary with
the images done, failed and images per second to standard output.  Exit
status: 0 when every file was resized, 1 when any failed (or the cluster
could not be reached), 2 for bad arguments.

The arguments are checked before any cluster is started or reached, each
refusal one line on standard error with status 2: --size must be a geometry
pellimor takes (as the command line's -size), IN_DIR a folder that can be
listed, OUT_DIR a folder (created when missing, with its parents) other
than IN_DIR, and pellimor must import here (the workers need it too; this
is as much as can be checked before they are reached).

Without --scheduler the work runs on a LocalCluster of two worker processes
with one thread each, everything it listens on (the scheduler, the workers
and their HTTP servers: dashboard, health and metrics) bound to 127.0.0.1,
on ports the system picks.

On a real cluster:

    # on one machine (HOST)
    dask scheduler --port 8786 --dashboard-address 127.0.0.1:8787
    # on each worker machine, as many processes as it has cores
    dask worker tcp://HOST:8786 --nthreads 1 --nworkers auto \\
        --dashboard-address 127.0.0.1:0
    # anywhere
    dask_batch.py /shared/in /shared/out --size 1280x960 \\
        --scheduler tcp://HOST:8786

The workers open the files themselves, by the same absolute paths this
script sees, so IN_DIR and OUT_DIR must be on a file system every worker
mounts at the same place (NFS, a cluster file system, or an object store
mounted as one, e.g. through a FUSE driver).  pellimor must be importable in
every worker's Python (installed there, or on its PYTHONPATH); a worker
without it reports each of its files as failed with the import error.

From Python: main(argv) runs the program and returns its exit status, and
resize_all(client, paths, out_dir, size, ...) resizes a list of files on an
existing dask.distributed Client and returns one Result per file.
"""

import argparse
import logging
import os
import sys
import time
from collections import namedtuple

FORMATS = {"bmp": ".bmp", "png": ".png", "jpeg": ".jpg", "tiff": ".tif"}

# One per input file: its path, the output path, and None or the error text.
Result = namedtuple("Result", "src dst error")


def image_paths(in_dir):
    """The files dask_batch.py resizes in in_dir: regular, not hidden, sorted."""
    names = sorted(n for n in os.listdir(in_dir) if not n.startswith("."))
    paths = [os.path.join(in_dir, n) for n in names]
    return [p for p in paths if os.path.isfile(p)]


def _output_path(src, out_dir, fmt):
    stem = os.path.splitext(os.path.basename(src))[0]
    return os.path.join(out_dir, stem + FORMATS[fmt])


def _resize_slice(srcs, pattern, size, fmt, quality):
    # Runs on a worker: the files of one slice, one at a time on one
    # thread.  Any failure, including a worker without pellimor, is the
    # files' result rather than an exception that would stop the gathering
    # of the other slices.
    try:
        import pellimor

        done = pellimor.resize_files(srcs, pattern, size=size, format=fmt,
                                     quality=quality, round="trunc",
                                     threads=1, jobs=1)
        return [None if error is None else f"Error: {error}"
                for _, _, error in done]
    except Exception as e:
        return [f"{type(e).__name__}: {e}"] * len(srcs)


def _slices(items, count):
    """items cut into at most count runs of consecutive items, their
    lengths differing by one at most."""
    count = max(1, min(count, len(items)))
    size, extra = divmod(len(items), count)
    cuts, start = [], 0
    for k in range(count):
        end = start + size + (1 if k < extra else 0)
        cuts.append(items[start:end])
        start = end
    return [c for c in cuts if c]


def resize_all(client, paths, out_dir, size, fmt="bmp", quality=92):
    """Resizes each of paths into out_dir on client's cluster, one task
    per worker, each on a slice of the files.

    Returns a Result for every path, in the order given.  Two inputs with
    the same stem would write the same output: the later ones fail without
    being run.
    """
    from distributed import as_completed

    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}")
    module = sys.modules.get(__name__)
    if __name__ != "__main__" and module is not None:
        # Imported rather than run: send _resize_slice by value, so the
        # workers need pellimor but not this file.
        import cloudpickle

        cloudpickle.register_pickle_by_value(module)
    out_dir = os.path.abspath(out_dir)
    # OUT_DIR/<stem><ext>, as a pattern of resize_files ("%" doubled).
    pattern = os.path.join(out_dir.replace("%", "%%"), "%s" + FORMATS[fmt])
    results = [None] * len(paths)
    owners = {}
    runnable = []
    for i, path in enumerate(paths):
        src = os.path.abspath(path)
        dst = _output_path(src, out_dir, fmt)
        if dst in owners:
            results[i] = Result(src, dst, "the output name is also that of "
                                f"{os.path.basename(owners[dst])}")
            continue
        owners[dst] = src
        runnable.append((i, src, dst))
    workers = len(client.scheduler_info().get("workers", {}))
    futures = {}
    for k, chunk in enumerate(_slices(runnable, workers)):
        # pure=False: the same call twice is two pieces of work, not one.
        future = client.submit(_resize_slice, [src for _, src, _ in chunk],
                               pattern, size, fmt, quality, pure=False,
                               key=f"pellimor-slice-{k}-{len(chunk)}")
        futures[future] = chunk
    for future in as_completed(futures):
        chunk = futures[future]
        try:
            errors = future.result()
        except Exception as e:  # the worker died, or the task was lost
            errors = [f"{type(e).__name__}: {e}"] * len(chunk)
        for (i, src, dst), error in zip(chunk, errors):
            results[i] = Result(src, dst, error)
    return results


def local_cluster():
    """The LocalCluster main() starts without --scheduler: two worker
    processes of one thread, listening on 127.0.0.1 only."""
    from distributed import LocalCluster

    # dashboard_address=None would still serve HTTP on every interface
    # (0.0.0.0 and [::], port 8787); so would the workers, on ports of their
    # own.  Bound here to the loopback address, on ports the system picks.
    return LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                        host="127.0.0.1", dashboard_address="127.0.0.1:0",
                        worker_dashboard_address="127.0.0.1:0",
                        silence_logs=logging.ERROR)


def _parser():
    p = argparse.ArgumentParser(
        prog="dask_batch.py",
        description="Resize every image in IN_DIR into OUT_DIR with pellimor "
                    "on a Dask cluster.")
    p.add_argument("in_dir", metavar="IN_DIR")
    p.add_argument("out_dir", metavar="OUT_DIR", help="created when missing")
    p.add_argument("--size", required=True, metavar="GEOMETRY",
                   help="the output size, as the command line's -size")
    p.add_argument("--format", default="bmp", choices=sorted(FORMATS),
                   help="the output format (default bmp)")
    p.add_argument("--quality", type=int, default=92, metavar="Q",
                   help="JPEG quality, 1 to 100 (default 92)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="a running scheduler, e.g. tcp://HOST:8786 (default: "
                        "a LocalCluster of 2 processes of 1 thread)")
    return p


class _Refused(Exception):
    """An argument that cannot work; the message names it."""


def _size_problem(size):
    """Why pellimor refuses the geometry size, or None."""
    import pellimor

    if not size:
        return "--size must not be empty"
    # Against a 1 x 1 picture: a geometry that leaves it no size (a side
    # over 2147483647 pixels) leaves none to any picture.
    try:
        pellimor.parse_size(size, 1, 1)
    except ValueError as e:
        why = str(e)
        for start, what in [(f'pellimor.parse_size: bad size "{size}": ', "bad geometry"),
                            (f'pellimor.parse_size: size "{size}" for 1 x 1: ', "geometry")]:
            if why.startswith(start):
                return f"--size: {what} {size!r}: {why[len(start):]}"
        return f"--size: {size!r}: {why}"
    return None


def _check(args):
    """Raises _Refused for an argument that cannot work; makes OUT_DIR.
    Returns the input files.  Nothing here starts or reaches a cluster."""
    if not 1 <= args.quality <= 100:
        raise _Refused(f"--quality must be 1 to 100, not {args.quality}")
    try:
        import pellimor  # noqa: F401
    except Exception as e:  # not installed, or a build that does not load
        raise _Refused(f"cannot import pellimor ({type(e).__name__}: {e}); it "
                       "must be importable here and on every worker")
    problem = _size_problem(args.size)
    if problem:
        raise _Refused(problem)
    if not os.path.isdir(args.in_dir):
        raise _Refused(f"IN_DIR: {args.in_dir}: not a folder")
    try:
        paths = image_paths(args.in_dir)
    except OSError as e:
        raise _Refused(f"IN_DIR: cannot list {args.in_dir}: {e.strerror or e}")
    if os.path.lexists(args.out_dir) and not os.path.isdir(args.out_dir):
        raise _Refused(f"OUT_DIR: {args.out_dir}: exists and is not a folder")
    if os.path.isdir(args.out_dir) and os.path.samefile(args.in_dir, args.out_dir):
        raise _Refused("OUT_DIR must not be IN_DIR")
    try:
        os.makedirs(args.out_dir, exist_ok=True)
    except OSError as e:
        raise _Refused(f"OUT_DIR: cannot create {args.out_dir}: {e.strerror or e}")
    return paths


def main(argv=None):
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # argparse has said why (or printed --help)
        return e.code
    try:
        paths = _check(args)
    except _Refused as e:
        print("dask_batch.py: " + " ".join(str(e).splitlines()), file=sys.stderr)
        return 2

    from distributed import Client

    cluster = None
    try:
        if args.scheduler:
            client = Client(args.scheduler, timeout="20s")
        else:
            cluster = local_cluster()
            client = Client(cluster)
    except Exception as e:
        if cluster is not None:
            cluster.close()
        where = args.scheduler or "a local cluster"
        print(f"dask_batch.py: cannot start on {where}: {e}", file=sys.stderr)
        return 1
    try:
        start = time.perf_counter()
        results = resize_all(client, paths, args.out_dir, args.size,
                             args.format, args.quality)
        seconds = time.perf_counter() - start
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    failed = [r for r in results if r.error is not None]
    for r in failed:
        print(f"failed: {os.path.basename(r.src)}: {r.error}", file=sys.stderr)
    done = len(results) - len(failed)
    rate = done / seconds if seconds > 0 else 0.0
    print(f"{done} done, {len(failed)} failed, {seconds:.2f} s, "
          f"{rate:.2f} images/s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
