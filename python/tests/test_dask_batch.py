"""examples/dask_batch.py on a LocalCluster: the command line's bytes for
every file, a damaged file reported without stopping the others, and the
exit statuses."""

import contextlib
import io
import logging
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
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
    env = dict(os.environ)
    module_root = str(Path(pellimor.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_root, env.get("PYTHONPATH")]))
    script = subprocess.run(
        [sys.executable, str(REPO / "examples" / "dask_batch.py"), str(tmp / "in"),
         str(tmp / "out_own"), "--size", SIZE, "--format", "png"],
        env=env, capture_output=True, text=True, timeout=300)

    # In this process, against the address of a cluster started here.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster:
        address = cluster.scheduler_address
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


@pytest.mark.parametrize("argv", [
    ["in", "out"],                                  # no --size
    ["in", "out", "--size", "50%", "--format", "gif"],
    ["in", "out", "--size", "50%", "--quality", "0"],
])
def test_bad_arguments_exit_2(tmp_path, monkeypatch, argv):
    (tmp_path / "in").mkdir()
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as raised, contextlib.redirect_stderr(io.StringIO()):
        dask_batch.main(argv)
    assert raised.value.code == 2
