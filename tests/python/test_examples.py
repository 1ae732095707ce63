"""The examples run end to end in their reduced size (TESSALY_QUICK=1), each
in its own interpreter, and write their pictures and tables."""

import csv
import json
import itertools
import os
import signal
import site
import subprocess
import sys
import time
from pathlib import Path

import pytest

import tessaly

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# where each kind of file written says what it is: (offset, bytes)
SIGNATURES = {
    ".png": (0, PNG_SIGNATURE),
    ".mp4": (4, b"ftyp"),
    ".tif": (0, b"II*\x00"),
    ".vti": (0, b"<?xml"),
}

# (script, extra arguments, files it must write)
CASES = [
    ("sorting2d.py", [], ["sorting2d.png", "sorting2d_contacts.png", "sorting2d.mp4"]),
    ("sorting3d.py", [], ["sorting3d.png", "sorting3d_contacts.png"]),
    ("sorting3d.py", ["--parallel"], ["sorting3d.png", "sorting3d_contacts.png"]),
    ("chemotaxis.py", [], ["chemotaxis.png", "chemotaxis_distance.png"]),
    ("growth.py", [], ["growth.png", "growth_count.png"]),
    ("membrane.py", [], ["membrane.png", "membrane_drift.png"]),
    ("elongation.py", [], ["elongation.png", "elongation_lengths.png"]),
    ("links.py", [], ["links.png", "links_network.png"]),
    ("migration.py", [], ["migration.png", "migration_msd.png", "migration.mp4"]),
    ("export.py", [], ["export_ids.tif", "export_signal.tif", "export.vti"]),
    ("spheroid.py", [], ["spheroid.png", "spheroid_counts.png"]),
    ("cell_cycle.py", [], ["cell_cycle.png", "cell_cycle_phases.png"]),
    ("lateral_inhibition.py", [], ["lateral_inhibition.png", "lateral_inhibition_spread.png"]),
    ("cell_cycle_sbml.py", [], ["cell_cycle_sbml.png", "cell_cycle_sbml_count.png", "cell_cycle_sbml_traces.png"]),
]


def example_command(script, args, out):
    """The command and environment that run one example in a fresh interpreter in its reduced size, writing into `out`."""
    # the examples import `plotting` from their folder, and the same tessaly as this process
    paths = [str(EXAMPLES)]
    module_dir = os.path.dirname(os.path.abspath(tessaly.__file__))
    if module_dir not in site.getsitepackages():
        paths.append(module_dir)
    if os.environ.get("PYTHONPATH"):
        paths.append(os.environ["PYTHONPATH"])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), TESSALY_QUICK="1", TESSALY_OUT=str(out))
    return [sys.executable, str(EXAMPLES / script), *args], env


def run_example(script, args, out):
    """Run one example in a fresh interpreter in its reduced size, writing into `out`."""
    command, env = example_command(script, args, out)
    return subprocess.run(command, env=env, cwd=out, capture_output=True, text=True, timeout=180)


def assert_succeeded(result):
    assert result.returncode == 0, f"exit code {result.returncode}\n{result.stdout}\n{result.stderr}"


@pytest.mark.parametrize(("script", "args", "files"), CASES, ids=[" ".join([c[0], *c[1]]) for c in CASES])
def test_example_writes_its_pictures(tmp_path, script, args, files):
    result = run_example(script, args, tmp_path)
    assert_succeeded(result)
    for name in files:
        path = tmp_path / name
        assert path.is_file(), f"{script} did not write {name}"
        offset, signature = SIGNATURES[path.suffix]
        assert path.read_bytes()[offset:offset + len(signature)] == signature, f"{name} is not a {path.suffix} file"
        assert path.stat().st_size > 5000, f"{name} is nearly empty"
        assert f"/{name}" in result.stdout, f"{script} did not report writing {name}"


def test_exported_stack_and_cell_table_agree(tmp_path):
    tifffile = pytest.importorskip("tifffile")
    np = pytest.importorskip("numpy")
    assert_succeeded(run_example("export.py", [], tmp_path))
    ids = tifffile.imread(tmp_path / "export_ids.tif")
    assert ids.shape == (24, 24, 24)
    with open(tmp_path / "export_cells.csv", newline="") as table:
        rows = list(csv.DictReader(table))
    # every cell of the table has as many voxels in the stack as its volume says
    counts = np.bincount(ids.ravel().astype(np.int64), minlength=len(rows) + 1)
    assert [int(r["volume"]) for r in rows] == counts[1:].tolist()
    assert [int(r["id"]) for r in rows] == list(range(1, len(rows) + 1))


def test_sweep_on_two_local_dask_workers_gives_one_row_per_run(tmp_path):
    result = run_example("sweep.py", ["--workers", "2"], tmp_path)
    assert_succeeded(result)
    assert (tmp_path / "sweep.png").read_bytes()[:8] == PNG_SIGNATURE
    with open(tmp_path / "sweep.csv", newline="") as table:
        rows = list(csv.DictReader(table))
    runs = [(float(r["j12"]), float(r["temperature"]), int(r["seed"])) for r in rows]
    # the full grid of parameters times seeds, each run exactly once
    j12s = sorted({j for j, _, _ in runs})
    temperatures = sorted({t for _, t, _ in runs})
    assert len(j12s) >= 2
    assert sorted(runs) == sorted(itertools.product(j12s, temperatures, [1, 2]))
    for row in rows:
        assert 0.0 <= float(row["heterotypic_fraction"]) <= 1.0
        assert 0.0 <= float(row["type1_medium_fraction"]) <= 1.0
        assert int(row["cells"]) > 0 and float(row["mean_volume"]) > 0.0
        assert float(row["seconds"]) > 0.0


def test_the_act2d_benchmark_runs_at_a_reduced_size():
    bench = EXAMPLES.parent / "benchmarks" / "run.py"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(tessaly.__file__)))
    result = subprocess.run([sys.executable, str(bench), "--quick", "act2d"], env=env, capture_output=True,
                            text=True, timeout=180)
    assert_succeeded(result)
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    assert [(r["model"], r["method"], r["threads"]) for r in rows] == [
        ("act2d", "step", 1), ("act2d", "step_parallel", 1), ("act2d", "step_parallel", 2)]
    assert all(r["attempts_per_s"] > 0 and r["mcs"] == 10 for r in rows)


# runs of a few seconds each, a checkpoint every 500 of their 20,000 steps
RESUMABLE = ["--workers", "2", "--seeds", "2", "--mcs", "20000", "--checkpoint-every", "500"]


def sweep_table(out):
    """The rows of sweep.csv without the columns that depend on the run's history."""
    with open(out / "sweep.csv", newline="") as table:
        rows = list(csv.DictReader(table))
    return rows, [{k: v for k, v in r.items() if k not in ("seconds", "resumed_from")} for r in rows]


def dask_workers(pid):
    """The worker processes a local Dask cluster started from process `pid`."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            ppid = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
            if ppid == pid and b"spawn_main" in (entry / "cmdline").read_bytes():
                found.append(int(entry.name))
        except (OSError, ValueError, IndexError):
            continue
    return found


def test_a_sweep_whose_worker_is_killed_resumes_its_runs_to_the_same_table(tmp_path):
    calm, disturbed = tmp_path / "calm", tmp_path / "disturbed"
    calm.mkdir()
    disturbed.mkdir()
    assert_succeeded(run_example("sweep.py", RESUMABLE, calm))

    command, env = example_command("sweep.py", RESUMABLE, disturbed)
    sweep = subprocess.Popen(command, env=env, cwd=disturbed, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True)
    try:
        # once two runs are under way, each with a checkpoint, one worker dies
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            started = [d for d in (disturbed / "checkpoints").glob("*") if any(d.glob("mcs-*.tsly"))]
            if len(started) >= 2:
                break
            time.sleep(0.05)
        workers = dask_workers(sweep.pid)
        assert len(workers) == 2, workers
        os.kill(workers[0], signal.SIGKILL)
        output, _ = sweep.communicate(timeout=300)
    finally:
        sweep.kill()
    assert sweep.returncode == 0, output
    rows, table = sweep_table(disturbed)
    assert table == sweep_table(calm)[1]
    assert any(int(r["resumed_from"]) > 0 for r in rows)  # the killed worker's run went on from its checkpoint
