"""A parameter sweep on Dask: 2-D cell sorting run for a grid of heterotypic
contact energies J(1,2) and temperatures, with several replicate seeds each.
Every (parameters, seed) combination is an independent world, built, run and
measured inside one Dask task; the results are gathered into one table.

Run:  .venv/bin/python examples/sweep.py [--workers N] [--scheduler ADDRESS] [--seeds N]
                                         [--mcs N] [--checkpoint-every K] [--checkpoints DIR]
By default a local Dask cluster of N worker processes is started; with
--scheduler the tasks go to an existing cluster instead (its workers need
tessaly installed, and DIR must be a folder they all see). Writes
out/sweep.csv (one row per run: the parameters, the seed, the observables,
the run's seconds and the step it last resumed from) and out/sweep.png (the
heterotypic share of cell-cell contact, and the share of the cohesive type's
surface that faces the medium, against J(1,2): mean and standard deviation
over seeds). Set TESSALY_QUICK=1 for a reduced run.

The sweep survives faults: every run saves a checkpoint of its world every K
Monte Carlo steps into DIR (default out/checkpoints), and a run that finds
checkpoints there resumes from the last one, to the same bits as if it had
never stopped. So a sweep that is killed and started again, or a task that
Dask retries after its worker died, loses at most K steps per run, and the
table comes out the same (but for the seconds and the resumption columns).
"""

from __future__ import annotations

import argparse
import itertools
import logging
import os
import sys
from pathlib import Path

import matplotlib.pyplot as plt
import pandas as pd
from dask.distributed import Client, LocalCluster, as_completed
from tqdm import tqdm

from plotting import out_dir, quick


def run_one(j12: float, temperature: float, seed: int, size: int, cells_per_side: int, mcs: int,
            checkpoints: str | None = None, every: int = 100) -> dict:
    """Build one sorting world from plain parameters, run it and measure it.

    Runs on a Dask worker. The world is built here (or resumed from the
    run's last checkpoint in `checkpoints`, saved every `every` steps); only
    the small dict of results travels back. Everything the task needs is
    imported here, so a worker needs tessaly and nothing from this folder."""
    import random
    import time

    import tessaly

    started = time.perf_counter()
    name = f"j{j12:g}-T{temperature:g}-seed{seed}-size{size}-cells{cells_per_side}"
    run_dir = Path(checkpoints) / name if checkpoints else None
    done, world = 0, None
    if run_dir is not None and run_dir.is_dir():
        # files are named by the steps they hold; save renames a whole file into place, so the last is complete
        saved = sorted(p for p in run_dir.glob("mcs-*.tsly") if int(p.stem.split("-")[1]) <= mcs)
        if saved:
            world = tessaly.World.load(saved[-1])
            done = int(saved[-1].stem.split("-")[1])
    resumed_from = done
    if world is None:
        world = tessaly.World((size, size, 1), "noflux", 2, temperature)
        rng = random.Random(seed)
        side = 10
        origin = (size - side * cells_per_side) // 2
        for j in range(cells_per_side):
            for i in range(cells_per_side):
                cell = world.add_cell(rng.choice((1, 2)), 100.0, 50.0, 0.0, 0.0)
                x0, y0 = origin + side * i, origin + side * j
                world.seed_block(cell, x0, y0, 0, x0 + side, y0 + side, 1)
        for a, b, energy in ((0, 1, 16.0), (0, 2, 16.0), (1, 1, 2.0), (2, 2, 14.0), (1, 2, j12)):
            world.set_contact(a, b, energy)
        world.finalize(seed)
    # step holds the interpreter lock for its whole call: chunks of about two
    # million copy attempts (a few tens of milliseconds) keep the worker's
    # heartbeats going; chunking does not change the trajectory
    chunk = max(1, 2_000_000 // (size * size))
    while done < mcs:
        n = min(chunk, mcs - done, every - done % every)
        world.step(n)
        done += n
        if run_dir is not None and (done % every == 0 or done == mcs):
            run_dir.mkdir(parents=True, exist_ok=True)
            world.save(run_dir / f"mcs-{done:09d}.tsly")
            for old in run_dir.glob("mcs-*.tsly"):
                if old.name != f"mcs-{done:09d}.tsly":
                    old.unlink(missing_ok=True)

    # the share of the cells' contact with other cells that is with the other
    # type, and the share of type 1's surface that faces the medium
    types = world.cell_types()
    hetero = cell_contact = exposed = surface_1 = 0
    for cell in range(1, len(types)):
        contacts = world.cell_contact_area_by_type(cell)
        hetero += contacts.get(3 - types[cell], 0)
        cell_contact += contacts.get(1, 0) + contacts.get(2, 0)
        if types[cell] == 1:
            exposed += contacts.get(0, 0)
            surface_1 += sum(contacts.values())
    volumes = [v for v in world.cell_volumes()[1:] if v > 0]
    return {
        "j12": j12,
        "temperature": temperature,
        "seed": seed,
        "heterotypic_fraction": hetero / cell_contact if cell_contact else 0.0,
        "type1_medium_fraction": exposed / surface_1 if surface_1 else 0.0,
        "mean_volume": sum(volumes) / len(volumes),
        "cells": len(volumes),
        "mcs": mcs,
        "size": size,
        "seconds": time.perf_counter() - started,
        "resumed_from": resumed_from,
    }


def summary_plot(table: pd.DataFrame, path: str) -> str:
    """Each observable against J(1,2), one line per temperature, error bars over seeds."""
    stats = table.groupby(["temperature", "j12"]).agg(["mean", "std"]).reset_index()
    observables = (
        ("heterotypic_fraction", "heterotypic share of cell-cell contact"),
        ("type1_medium_fraction", "share of type 1's surface facing the medium"),
    )
    fig, axes = plt.subplots(1, len(observables), figsize=(11, 4.2), layout="constrained")
    for ax, (column, label) in zip(axes, observables):
        for temperature, rows in stats.groupby("temperature"):
            ax.errorbar(
                rows["j12"],
                rows[(column, "mean")],
                yerr=rows[(column, "std")].fillna(0.0),
                marker="o",
                capsize=3,
                label=f"T = {temperature:g}",
            )
        ax.set_xlabel("heterotypic contact energy J(1,2)")
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
        ax.legend()
    seeds = table["seed"].nunique()
    mcs = table["mcs"].iloc[0]
    fig.suptitle(f"Sorting after {mcs} MCS: mean ± standard deviation over {seeds} seeds")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=min(4, os.cpu_count() or 1), help="local worker processes")
    parser.add_argument("--seeds", type=int, default=None, help="replicate seeds per parameter set")
    parser.add_argument("--mcs", type=int, default=None, help="Monte Carlo steps per run")
    parser.add_argument("--checkpoint-every", type=int, default=None, metavar="K", help="steps between checkpoints")
    parser.add_argument("--checkpoints", metavar="DIR", default=None,
                        help="folder of the runs' checkpoints (default: out/checkpoints)")
    args = parser.parse_args()

    if quick():
        size, cells, mcs = 50, 4, 30
        j12s, temperatures, seeds = (6.0, 11.0, 16.0), (20.0,), args.seeds or 2
    else:
        size, cells, mcs = 100, 8, 1500
        j12s, temperatures, seeds = (4.0, 6.0, 8.0, 10.0, 12.0, 14.0, 16.0, 20.0), (10.0, 20.0), args.seeds or 4
    mcs = args.mcs or mcs
    every = args.checkpoint_every or max(1, mcs // 10)
    checkpoints = os.path.abspath(args.checkpoints or os.path.join(out_dir(), "checkpoints"))
    grid = list(itertools.product(j12s, temperatures, range(1, seeds + 1)))

    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(
            n_workers=args.workers, threads_per_worker=1, dashboard_address=None, silence_logs=logging.ERROR
        )
        client = Client(cluster)
    try:
        futures = [
            client.submit(run_one, j12, temperature, seed, size, cells, mcs, checkpoints, every, pure=False)
            for j12, temperature, seed in grid
        ]
        rows = []
        with tqdm(total=len(futures), unit="run", desc=f"sweep on {len(client.nthreads())} workers") as bar:
            for future in as_completed(futures):
                rows.append(future.result())
                bar.update(1)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    table = pd.DataFrame(rows).sort_values(["temperature", "j12", "seed"]).reset_index(drop=True)
    out = out_dir()
    csv = f"{out}/sweep.csv"
    table.to_csv(csv, index=False)
    plot = summary_plot(table, f"{out}/sweep.png")
    print(table.groupby(["temperature", "j12"])["heterotypic_fraction"].agg(["mean", "std"]).round(3).to_string())
    print(f"{len(table)} runs, {table['seconds'].sum():.1f} s of simulation")
    print(f"wrote {csv}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
