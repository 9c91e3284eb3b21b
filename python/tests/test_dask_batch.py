# SPDX-License-Identifier: MIT
"""examples/dask_batch.py on a LocalCluster: the command line's bytes for
every file, a damaged file reported without stopping the others, the exit
statuses, arguments refused before any cluster starts, and a cluster that
listens on 127.0.0.1 only."""

import contextlib
import io
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import psutil
import pytest

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import pellimor  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "examples"))
import dask_batch  # noqa: E402

BINARY = os.environ.get("PELLIMOR_BINARY", str(REPO / "build" / "pellimor"))
SIZE = "50x40"
EXT = {"bmp": ".bmp", "png": ".png", "jpeg": ".jpg", "tiff": ".tif"}
SUMMARY = re.compile(r"^(\d+) done, (\d+) failed, [\d.]+ s, [\d.]+ images/s$", re.M)


def make_inputs(folder):
    """Writes the images the runs resize; returns the names expected done."""
    folder.mkdir()
    rng = np.random.default_rng(10)
    images = {
        "grey.png": rng.integers(0, 256, (23, 37), dtype=np.uint8),
        "rgb.bmp": rng.integers(0, 256, (40, 30, 3), dtype=np.uint8),
        "rgba.png": rng.integers(0, 256, (31, 44, 4), dtype=np.uint8),
        "deep.tiff": rng.integers(0, 65536, (27, 33, 3), dtype=np.uint16),
        "photo.jpg": rng.integers(0, 256, (48, 64, 3), dtype=np.uint8),
    }
    for name, array in images.items():
        pellimor.write(str(folder / name), array)
    whole = (folder / "rgba.png").read_bytes()
    (folder / "broken.png").write_bytes(whole[: len(whole) // 2])
    pellimor.write(str(folder / ".hidden.png"), images["grey.png"])
    (folder / "sub").mkdir()
    pellimor.write(str(folder / "sub" / "inner.png"), images["grey.png"])
    return sorted(images)


def module_env(*first):
    """The environment for a child Python that imports pellimor from where
    this one does, with the folders `first` ahead on its path."""
    env = dict(os.environ)
    module_root = str(Path(pellimor.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [*map(str, first), module_root, env.get("PYTHONPATH")]))
    return env


def listening_addresses(processes):
    """The addresses each process listens on for TCP connections."""
    return {
        p.pid: sorted({c.laddr.ip for c in p.connections(kind="inet") if c.status == psutil.CONN_LISTEN})
        for p in processes
    }


def run_main(argv):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = dask_batch.main(argv)
    return status, out.getvalue(), err.getvalue()


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    assert os.access(BINARY, os.X_OK), f"no pellimor program at {BINARY}; set PELLIMOR_BINARY"
    tmp = tmp_path_factory.mktemp("dask_batch")
    names = make_inputs(tmp / "in")
    clean = tmp / "clean"
    clean.mkdir()
    for name in names[:2]:
        (clean / name).write_bytes((tmp / "in" / name).read_bytes())

    # As a program, on the LocalCluster it starts itself.
    script = subprocess.run(
        [sys.executable, str(REPO / "examples" / "dask_batch.py"), str(tmp / "in"),
         str(tmp / "out_own"), "--size", SIZE, "--format", "png"],
        env=module_env(), capture_output=True, text=True, timeout=300)

    # In this process, against the address of the cluster the program
    # starts, started here.
    with dask_batch.local_cluster() as cluster, distributed.Client(cluster) as client:
        address = cluster.scheduler_address
        workers = [psutil.Process(pid) for pid in client.run(os.getpid).values()]
        listening = listening_addresses([psutil.Process(), *workers])
        given = run_main([str(tmp / "in"), str(tmp / "out_given"), "--size", SIZE,
                          "--scheduler", address])
        all_good = run_main([str(clean), str(tmp / "out_clean"), "--size", SIZE,
                             "--format", "jpeg", "--scheduler", address])
    return {
        "tmp": tmp,
        "names": names,
        "own": ((script.returncode, script.stdout, script.stderr), "png", "out_own"),
        "given": (given, "bmp", "out_given"),
        "clean": (all_good, "jpeg", "out_clean"),
        "listening": listening,
    }


@pytest.mark.parametrize("run", ["own", "given", "clean"])
def test_outputs_are_the_command_lines(runs, run):
    _, fmt, out_name = runs[run]
    tmp = runs["tmp"]
    names = runs["names"][:2] if run == "clean" else runs["names"]
    out = tmp / out_name
    stems = sorted(Path(n).stem + EXT[fmt] for n in names)
    assert sorted(os.listdir(out)) == stems
    reference = tmp / f"cli_{run}"
    reference.mkdir()
    for name in names:
        base = reference / Path(name).stem
        subprocess.run([BINARY, "-i", str(tmp / "in" / name), "-o", str(base), "-size", SIZE,
                        "-format", fmt], check=True, capture_output=True, timeout=60)
        made = (out / (base.name + EXT[fmt])).read_bytes()
        assert made == Path(str(base) + EXT[fmt]).read_bytes(), name


@pytest.mark.parametrize("run", ["own", "given"])
def test_damaged_file_is_reported_and_the_others_done(runs, run, tmp_path):
    (status, stdout, stderr), fmt, _ = runs[run]
    broken = runs["tmp"] / "in" / "broken.png"
    with pytest.raises(Exception) as raised:
        pellimor.resize_file(str(broken), str(tmp_path / "b.png"), size=SIZE,
                             format=fmt, threads=1)
    failed = [line for line in stderr.splitlines() if line.startswith("failed:")]
    assert len(failed) == 1, stderr
    assert "broken.png" in failed[0] and str(raised.value) in failed[0]
    assert SUMMARY.search(stdout).groups() == (str(len(runs["names"])), "1"), stdout
    assert status == 1


def test_all_done_exits_zero(runs):
    (status, stdout, stderr), _, _ = runs["clean"]
    assert "failed:" not in stderr
    assert SUMMARY.search(stdout).groups() == ("2", "0")
    assert status == 0


def test_the_local_cluster_listens_on_loopback_only(runs):
    listening = runs["listening"]
    assert len(listening) == 3  # this process (scheduler, nannies) and two workers
    for pid, addresses in listening.items():
        assert addresses == ["127.0.0.1"], (pid, addresses)


@pytest.mark.parametrize("argv,message", [
    (["in", "out"], "--size"),  # missing
    (["in", "out", "--size", "50%", "--format", "gif"], "--format"),
])
def test_bad_arguments_exit_2(tmp_path, monkeypatch, argv, message):
    (tmp_path / "in").mkdir()
    monkeypatch.chdir(tmp_path)
    status, _, err = run_main(argv)
    assert status == 2 and message in err


# Each: the arguments after the script's name ({IN} is a folder with an
# image, {FILE} a regular file, {NEW} a name that does not exist yet) and
# the start of the one line on standard error.
REFUSALS = {
    "bad geometry": (["{IN}", "{NEW}", "--size", "12y5"], "--size: bad geometry '12y5': unexpected 'y'"),
    "empty geometry": (["{IN}", "{NEW}", "--size", ""], "--size must not be empty"),
    "geometry too large": (["{IN}", "{NEW}", "--size", "9000000000x"], "--size: geometry '9000000000x': "),
    "quality": (["{IN}", "{NEW}", "--size", "50%", "--quality", "0"], "--quality must be 1 to 100, not 0"),
    "IN_DIR missing": (["{NEW}", "{IN}", "--size", "50%"], "IN_DIR: {NEW}: not a folder"),
    "OUT_DIR a file": (["{IN}", "{FILE}", "--size", "50%"], "OUT_DIR: {FILE}: exists and is not a folder"),
    "OUT_DIR cannot be made": (["{IN}", "{FILE}/out", "--size", "50%"],
                               "OUT_DIR: cannot create {FILE}/out: Not a directory"),
    "OUT_DIR is IN_DIR": (["{IN}", "{IN}/.", "--size", "50%"], "OUT_DIR must not be IN_DIR"),
    "no pellimor": (["{IN}", "{NEW}", "--size", "50%"],
                    "cannot import pellimor (ImportError: no pellimor in this test)"),
}


def run_script_without_distributed(tmp_path, argv, hide_pellimor=False):
    """Runs the script on {IN} (a folder with an image), {FILE} (a regular
    file) and {NEW} (a name not yet taken) as argv names them, with a
    `distributed` ahead of the real one that leaves a mark and stops the
    program when imported. Returns the run, whether the mark was left, the
    paths and the seconds taken."""
    paths = {name: tmp_path / name.lower() for name in ("IN", "FILE", "NEW")}
    paths["IN"].mkdir()
    pellimor.write(paths["IN"] / "a.png", np.zeros((4, 4), np.uint8))
    paths["FILE"].write_text("a file")
    shadow = tmp_path / "shadow"
    (shadow / "distributed").mkdir(parents=True)
    mark = tmp_path / "distributed-imported"
    (shadow / "distributed" / "__init__.py").write_text(
        f"open({str(mark)!r}, 'w').close()\nraise SystemExit('distributed was imported')\n")
    if hide_pellimor:
        (shadow / "pellimor").mkdir()
        (shadow / "pellimor" / "__init__.py").write_text("raise ImportError('no pellimor in this test')\n")
    paths = {name: str(path) for name, path in paths.items()}
    start = time.perf_counter()
    done = subprocess.run([sys.executable, str(REPO / "examples" / "dask_batch.py"),
                           *(a.format(**paths) for a in argv)],
                          env=module_env(shadow), capture_output=True, text=True, timeout=60)
    return done, mark.exists(), paths, time.perf_counter() - start


def test_good_arguments_go_on_to_the_cluster(tmp_path):
    # What the refusals below rely on: past the checks, distributed is
    # imported, and here that is seen.
    done, marked, _, _ = run_script_without_distributed(tmp_path, ["{IN}", "{NEW}", "--size", "50%"])
    assert marked and "distributed was imported" in done.stderr


@pytest.mark.parametrize("kind", list(REFUSALS))
def test_refused_in_one_line_before_any_cluster(tmp_path, kind):
    argv, message = REFUSALS[kind]
    done, marked, paths, seconds = run_script_without_distributed(tmp_path, argv, hide_pellimor=kind == "no pellimor")
    assert not marked, done.stderr
    assert done.returncode == 2, done.stderr
    assert done.stdout == ""
    expected = "dask_batch.py: " + message.format(**paths)
    assert done.stderr.startswith(expected) and done.stderr.count("\n") == 1, done.stderr
    assert not os.path.exists(paths["NEW"])
    assert seconds < 20


@pytest.mark.parametrize(
    "count, pieces, lengths",
    [(10, 2, [5, 5]), (10, 3, [4, 3, 3]), (2, 5, [1, 1]), (5, 0, [5]), (0, 2, []), (7, 1, [7])],
)
def test_slices_are_consecutive_and_even(count, pieces, lengths):
    items = list(range(count))
    cut = dask_batch._slices(items, pieces)
    assert [len(c) for c in cut] == lengths
    assert [x for c in cut for x in c] == items


def test_one_task_per_worker_slice(tmp_path):
    make_inputs(tmp_path / "in")
    paths = dask_batch.image_paths(str(tmp_path / "in"))
    (tmp_path / "out").mkdir()
    with dask_batch.local_cluster() as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        submitted = []
        submit = client.submit

        def counting_submit(function, srcs, *args, **kwargs):
            submitted.append(srcs)
            return submit(function, srcs, *args, **kwargs)

        client.submit = counting_submit
        results = dask_batch.resize_all(client, paths, str(tmp_path / "out"), SIZE)
    assert len(submitted) == 2
    assert [src for chunk in submitted for src in chunk] == [os.path.abspath(p) for p in paths]
    failed = [os.path.basename(r.src) for r in results if r.error is not None]
    assert failed == ["broken.png"]
    assert [r.src for r in results] == [os.path.abspath(p) for p in paths]
