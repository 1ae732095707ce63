"""The standard benchmark models, one JSON line per measurement.

    ./dev bench                      all models, 3 runs each (medians go to README.md)
    ./dev bench sort2d --runs 5      one model
    ./dev bench --quick              reduced sizes, to check that every model runs

Each measurement runs in a fresh subprocess, so that its peak resident memory
is its own and RAYON_NUM_THREADS takes effect.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time

CONTACTS = ((0, 1, 16.0), (0, 2, 16.0), (1, 1, 2.0), (2, 2, 14.0), (1, 2, 11.0))


def sort2d(tessaly, size=256, count=20):
    w = tessaly.World((size, size, 1), "noflux", 2, 20.0)
    rng = random.Random(7)
    for j in range(count):
        for i in range(count):
            c = w.add_cell(rng.choice((1, 2)), 100.0, 50.0, 0.0, 0.0)
            w.seed_block(c, 28 + 10 * i, 28 + 10 * j, 0, 38 + 10 * i, 38 + 10 * j, 1)
    for a, b, j in CONTACTS:
        w.set_contact(a, b, j)
    return w


def sort3d(tessaly, size=64, count=8):
    w = tessaly.World((size, size, size), "periodic", 3, 20.0)
    rng = random.Random(7)
    for k in range(count):
        for j in range(count):
            for i in range(count):
                c = w.add_cell(rng.choice((1, 2)), 216.0, 20.0, 0.0, 0.0)
                x, y, z = 8 + 6 * i, 8 + 6 * j, 8 + 6 * k
                w.seed_block(c, x, y, z, x + 6, y + 6, z + 6)
    for a, b, j in CONTACTS:
        w.set_contact(a, b, j)
    return w


def chem2d(tessaly, size=256, count=20):
    w = sort2d(tessaly, size, count)
    w.add_field("c", 0.1, 0.01)
    w.set_secretion(0, 1, 1.0)
    w.set_chemotaxis(0, 2, 50.0)
    w.set_connectivity(1, True)
    w.set_external_potential(2, 0.0, 0.5, 0.0)
    return w


def act2d(tessaly, size=256, count=8):
    w = tessaly.World((size, size, 1), "periodic", 2, 10.0)
    for j in range(count):
        for i in range(count):
            c = w.add_cell(1, 300.0, 5.0, 200.0, 2.0)
            w.seed_block(c, 8 + 32 * i, 8 + 32 * j, 0, 25 + 32 * i, 25 + 32 * j, 1)
    w.set_contact(0, 1, 10.0)
    w.set_contact(1, 1, 20.0)
    w.set_act(1, 300.0, 30)
    return w


def bio2d(tessaly, quick: bool, base_rss) -> dict:
    """The spheroid of examples/spheroid.py at 200² (80² quick), after a growth
    phase: ms per MCS inside `step` (the engine, which runs the model's rules)
    and between the steps (Python: nothing but this loop, since the rules moved
    into the engine)."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
    import spheroid

    world, oxygen = spheroid.build(80 if quick else 200)
    world.advance_fields(100 if quick else 1000)
    world.finalize(3)
    burn, mcs = (50, 20) if quick else (1500, 300)
    world.step(burn)
    engine = 0.0
    start = time.perf_counter()
    for _ in range(mcs):
        t0 = time.perf_counter()
        world.step(1)
        engine += time.perf_counter() - t0
    model = time.perf_counter() - start - engine
    nx, ny, nz = world.dims()
    row = result("bio2d", "step", mcs, engine, mcs * nx * ny * nz / engine, mcs / engine, base_rss)
    row.update(engine_ms_per_mcs=round(1000 * engine / mcs, 3), python_ms_per_mcs=round(1000 * model / mcs, 3),
               cells=world.n_cells())
    return row


def resident_mb() -> float:
    """Current resident memory of this process (not the peak)."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def io256_labels(numpy, size):
    """The io256 label image: runs of 256 sites, about 64,000 distinct labels (fewer in a small box)."""
    return (numpy.arange(size**3, dtype=numpy.uint32) // 256) % 64000


def io256(tessaly, method: str, quick: bool, base_rss) -> dict:
    """One data-in/out measurement on the io256 world; `seconds` is the operation alone."""
    import numpy

    size = 64 if quick else 256
    w = tessaly.World((size, size, size), "periodic", 1, 10.0)
    labels = io256_labels(numpy, size)
    t0 = time.perf_counter()
    w.seed_from_labels(labels, {}, 1, 256.0, 1.0)
    seconds = time.perf_counter() - t0
    del labels
    w.add_field("f", 0.1, 0.01)
    w.finalize(1)
    raw_mb = size**3 * 8 / 2**20  # site ids and one field, 4 bytes each per site
    rss0 = resident_mb()
    kept = None
    if method == "seed_from_labels":
        pass
    elif method in ("site_view", "field_view"):
        t0 = time.perf_counter()
        kept = numpy.asarray(w.site_view() if method == "site_view" else w.field_view(0))
        seconds = time.perf_counter() - t0
    elif method in ("snapshot", "field_conc", "cell_table"):
        t0 = time.perf_counter()
        kept = w.snapshot() if method == "snapshot" else w.field_conc(0) if method == "field_conc" else w.cell_table()
        seconds = time.perf_counter() - t0
    elif method in ("save", "load"):
        # checkpoint rows: the world written to and read back from a file of its own format
        import tempfile

        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "io256.tsly")
            t0 = time.perf_counter()
            w.save(path)
            seconds = time.perf_counter() - t0
            file_mb = os.path.getsize(path) / 2**20
            if method == "load":
                del w
                t0 = time.perf_counter()
                kept = tessaly.World.load(path)
                seconds = time.perf_counter() - t0
        row = result("io256", method, 0, seconds, 0.0, 0.0, base_rss)
        row.update(mb_per_s=round(raw_mb / seconds), file_mb=round(file_mb, 1), raw_mb=round(raw_mb, 1))
        return row
    else:
        raise SystemExit(f"unknown io256 method {method}")
    row = result("io256", method, 0, seconds, 0.0, 0.0, base_rss)
    row["ms"] = round(seconds * 1000, 3)
    row["rss_growth_mb"] = round(resident_mb() - rss0, 2)
    del kept
    return row


def measure(model: str, method: str, quick: bool) -> dict:
    import tessaly

    base_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if model == "io256":
        return io256(tessaly, method, quick, base_rss)
    if model == "bio2d":
        return bio2d(tessaly, quick, base_rss)
    if model == "null2d":
        w = tessaly.World((256, 256, 1), "noflux", 2, 20.0)
        burn, mcs = 0, (10 if quick else 100)
    elif model == "sort2d":
        w = sort2d(tessaly)
        burn, mcs = (2, 5) if quick else (10, 100)
    elif model == "sort3d":
        w = sort3d(tessaly)
        burn, mcs = (1, 1) if quick else (2, 10)
    elif model == "chem2d":
        w = chem2d(tessaly)
        burn, mcs = (2, 5) if quick else (10, 100)
    elif model == "act2d":
        w = act2d(tessaly)
        burn, mcs = (5, 10) if quick else (50, 200)
    elif model == "field3d":
        w = tessaly.World((128, 128, 128), "periodic", 1, 1.0)
        w.add_field("c", 0.1, 0.01)
        w.field_add_source_at(0, 64, 64, 64, 1000.0)
        steps = 2 if quick else 20
        t0 = time.perf_counter()
        w.advance_fields(steps)
        seconds = time.perf_counter() - t0
        n = 128**3
        return result(model, "advance_fields", steps, seconds, n * steps / seconds, steps / seconds, base_rss)
    elif model == "memory256":
        w = tessaly.World((256, 256, 256), "periodic", 1, 1.0)
        w.add_field("c", 0.1, 0.01)
        w.finalize(1)
        return result(model, "build", 0, 0.0, 0.0, 0.0, base_rss)
    else:
        raise SystemExit(f"unknown model {model}")
    w.finalize(1)
    run = w.step if method == "step" else w.step_parallel
    if burn:
        run(burn)
    t0 = time.perf_counter()
    run(mcs)
    seconds = time.perf_counter() - t0
    nx, ny, nz = w.dims()
    n = nx * ny * nz
    return result(model, method, mcs, seconds, mcs * n / seconds, mcs / seconds, base_rss)


def result(model, method, mcs, seconds, rate, mcs_rate, base_rss) -> dict:
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return {
        "model": model,
        "method": method,
        "threads": (int(os.environ.get("RAYON_NUM_THREADS", "0") or 0) or os.cpu_count())
        if method == "step_parallel"
        else 1,
        "mcs": mcs,
        "seconds": round(seconds, 4),
        "attempts_per_s": round(rate),
        "mcs_per_s": round(mcs_rate, 3),
        "peak_rss_mb": round(peak / 1024, 1),
        "peak_rss_above_baseline_mb": round((peak - base_rss) / 1024, 1),
    }


PLAN = [
    ("null2d", "step", None),
    ("sort2d", "step", None),
    ("sort3d", "step", None),
    ("chem2d", "step", None),
    ("act2d", "step", None),
    ("bio2d", "step", None),
    ("field3d", "advance_fields", None),
    ("sort2d", "step_parallel", 1),
    ("sort2d", "step_parallel", 2),
    ("sort3d", "step_parallel", 1),
    ("sort3d", "step_parallel", 2),
    ("act2d", "step_parallel", 1),
    ("act2d", "step_parallel", 2),
    ("memory256", "build", None),
    ("io256", "seed_from_labels", None),
    ("io256", "site_view", None),
    ("io256", "field_view", None),
    ("io256", "cell_table", None),
    ("io256", "snapshot", None),
    ("io256", "field_conc", None),
    ("io256", "save", None),
    ("io256", "load", None),
]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("models", nargs="*", help="models to run (default: all)")
    parser.add_argument("--runs", type=int, default=3, help="runs per measurement; the median is printed last")
    parser.add_argument("--quick", action="store_true", help="reduced sizes")
    parser.add_argument("--one", nargs=2, metavar=("MODEL", "METHOD"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure(args.one[0], args.one[1], args.quick)))
        return 0
    for model, method, threads in PLAN:
        if args.models and model not in args.models:
            continue
        env = dict(os.environ)
        if threads:
            env["RAYON_NUM_THREADS"] = str(threads)
        rows = []
        for _ in range(1 if args.quick else args.runs):
            cmd = [sys.executable, __file__, "--one", model, method] + (["--quick"] if args.quick else [])
            line = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout.strip()
            rows.append(json.loads(line))
            print(line, flush=True)
        if len(rows) > 1:
            median = dict(rows[0])
            for key in ("seconds", "attempts_per_s", "mcs_per_s", "peak_rss_mb", "ms", "rss_growth_mb", "mb_per_s",
                        "engine_ms_per_mcs", "python_ms_per_mcs"):
                if key in rows[0]:
                    median[key] = statistics.median(r[key] for r in rows)
            median["median_of"] = len(rows)
            print(json.dumps(median), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
