"""Delta-Notch lateral inhibition on a sheet of 400 cells. Each cell makes
Delta, which activates Notch in the cells it touches; Notch represses the
cell's own Delta. Small random differences grow until high-Delta cells sit
among low-Delta neighbours: a salt-and-pepper pattern (the Collier model,
with the neighbours' Delta weighted by their shared contact area).

The levels are cell attributes and the model is two equations that the
engine integrates in every cell after each Monte Carlo step (one RK4 step
of DT), reading the neighbours' Delta through `nbr_mean`: no Python runs
between the steps but the read-outs for the pictures.

Run:  .venv/bin/python examples/lateral_inhibition.py
Writes out/lateral_inhibition.png (the sheet coloured by Delta and by
Notch, at the start and the end) and out/lateral_inhibition_spread.png (how
far the levels have split over time), and prints the engine's time per
Monte Carlo step and the example's own Python's between the steps.
Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import sys

import matplotlib.pyplot as plt
import numpy as np
from tqdm import tqdm

import tessaly
from plotting import Clock, id_grid, out_dir, quick, save_series

CELL = 1
SIDE = 8  # cells start as SIDE x SIDE squares on a periodic sheet
DT = 0.1  # model time per Monte Carlo step

# the Collier model: dN/dt = D̄^k / (a + D̄^k) − N,  dD/dt = 1 / (1 + b·N^h) − D,
# D̄ the area-weighted mean Delta of the cell's neighbours
COLLIER = """
notch' = nbr_mean(delta)^k / (a + nbr_mean(delta)^k) - notch
delta' = 1 / (1 + b * notch^h) - delta
"""
PARAMETERS = {"a": 0.01, "b": 100.0, "k": 2.0, "h": 2.0}


# ---- the sheet ----


def build(cells_per_side: int, seed: int) -> tessaly.World:
    size = cells_per_side * SIDE
    world = tessaly.World((size, size, 1), "periodic", 2, 10.0)
    for y in range(0, size, SIDE):
        for x in range(0, size, SIDE):
            cell = world.add_cell(CELL, SIDE * SIDE, 2.0, 0.0, 0.0)
            world.seed_block(cell, x, y, 0, x + SIDE, y + SIDE, 1)
    world.set_contact(0, CELL, 16.0)
    world.set_contact(CELL, CELL, 8.0)
    world.add_cell_attribute("notch", 0.0)
    world.add_cell_attribute("delta", 0.0)
    # random levels: the signalling sorts them out
    rng = np.random.default_rng(seed)
    n = world.n_cells()
    world.set_cell_attribute("notch", rng.uniform(0.0, 1.0, n), ids=np.arange(1, n + 1))
    world.set_cell_attribute("delta", rng.uniform(0.0, 1.0, n), ids=np.arange(1, n + 1))
    world.add_cell_ode(COLLIER, params=PARAMETERS, cell_types=[CELL], dt=DT)
    return world


def level_image(world: tessaly.World, ids: np.ndarray, name: str) -> np.ndarray:
    """A plane of ids coloured by each cell's level of `name`, borders marked NaN."""
    image = np.asarray(world.cell_attribute(name))[ids].astype(float)
    edge = np.zeros(ids.shape, dtype=bool)
    edge[:, 1:] |= ids[:, 1:] != ids[:, :-1]
    edge[1:, :] |= ids[1:, :] != ids[:-1, :]
    image[edge] = np.nan
    return image


def main() -> int:
    small = quick()
    cells_per_side, mcs, chunk = (10, 200, 10) if small else (20, 800, 20)
    world = build(cells_per_side, seed=11)
    world.finalize(5)
    start = {name: level_image(world, id_grid(world), name) for name in ("delta", "notch")}
    times, spread = [0], [float(np.std(np.asarray(world.cell_attribute("delta"))[1:]))]
    clock = Clock()
    with tqdm(total=mcs, unit="MCS", desc="lateral inhibition") as bar:
        for done in range(chunk, mcs + 1, chunk):
            with clock.engine(chunk):
                world.step(chunk)
            with clock.python():
                times.append(done)
                spread.append(float(np.std(np.asarray(world.cell_attribute("delta"))[1:])))
                bar.update(chunk)

    out = out_dir()
    ids = id_grid(world)
    end = {name: level_image(world, ids, name) for name in ("delta", "notch")}
    delta = np.asarray(world.cell_attribute("delta"))[1:]
    high = int((delta > 0.5).sum())
    cmap = plt.get_cmap("viridis").copy()
    cmap.set_bad("0.15")
    fig, axes = plt.subplots(1, 3, figsize=(13.5, 4.7), layout="constrained")
    panels = ((start["delta"], "Delta at the start (random)"), (end["delta"], f"Delta after {mcs} MCS"),
              (end["notch"], f"Notch after {mcs} MCS"))
    for ax, (image, title) in zip(axes, panels):
        shown = ax.imshow(image, origin="lower", interpolation="nearest", cmap=cmap, vmin=0.0, vmax=1.0)
        ax.set_title(title)
        ax.set_xticks([])
        ax.set_yticks([])
    fig.colorbar(shown, ax=axes, shrink=0.8, label="level")
    fig.suptitle(f"Lateral inhibition: {high} of {len(delta)} cells end with high Delta, among low-Delta neighbours")
    pictures = f"{out}/lateral_inhibition.png"
    fig.savefig(pictures, dpi=110)
    plt.close(fig)
    plot = save_series(
        f"{out}/lateral_inhibition_spread.png",
        times,
        {"standard deviation of Delta over the cells": spread},
        "Monte Carlo steps",
        "spread of Delta",
        "The pattern emerges: the cells' Delta levels split",
    )
    print(f"{high} of {len(delta)} cells with high Delta")
    print(clock.report())
    print(f"wrote {pictures}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
