"""Delta-Notch lateral inhibition on a sheet of 400 cells. Each cell makes
Delta, which activates Notch in the cells it touches; Notch represses the
cell's own Delta. Small random differences grow until high-Delta cells sit
among low-Delta neighbours: a salt-and-pepper pattern (the Collier model,
with the neighbours' Delta weighted by their shared contact area).

The levels are cell attributes; every Monte Carlo step reads the neighbour
graph (`cell_neighbors()`), averages the neighbours' Delta over it with
NumPy (`numpy.bincount` over the id columns) and advances the model by one
explicit Euler step, all cells at once.

Run:  .venv/bin/python examples/lateral_inhibition.py
Writes out/lateral_inhibition.png (the sheet coloured by Delta and by
Notch, at the start and the end) and out/lateral_inhibition_spread.png (how
far the levels have split over time), and prints the engine's and the
model's time per Monte Carlo step. Set TESSALY_QUICK=1 for a reduced run.
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


# ---- the model ----


def collier(notch: np.ndarray, delta: np.ndarray, mean_delta: np.ndarray, dt: float):
    """One explicit Euler step of the Collier model of lateral inhibition:
    dN/dt = D̄^k / (a + D̄^k) − N,  dD/dt = 1 / (1 + b·N^h) − D,
    with D̄ the area-weighted mean Delta of the cell's neighbours."""
    a, b, k, h = 0.01, 100.0, 2.0, 2.0
    activation = mean_delta**k
    return (
        notch + dt * (activation / (a + activation) - notch),
        delta + dt * (1.0 / (1.0 + b * notch**h) - delta),
    )


def neighbour_mean(world: tessaly.World, values: np.ndarray) -> np.ndarray:
    """Every record's mean of `values` over the cells it touches, weighted by
    the contact area (the medium left out; 0 for a cell without neighbours)."""
    graph = world.cell_neighbors()
    id_a, id_b, area = (np.asarray(graph[column]) for column in ("id_a", "id_b", "area"))
    cells = id_a > 0  # id_a < id_b: a pair with the medium has id_a 0
    id_a, id_b, area = id_a[cells], id_b[cells], area[cells].astype(np.float64)
    n = len(values)
    weighted = np.bincount(id_a, area * values[id_b], n) + np.bincount(id_b, area * values[id_a], n)
    total = np.bincount(id_a, area, n) + np.bincount(id_b, area, n)
    return np.divide(weighted, total, out=np.zeros(n), where=total > 0)


def signal(world: tessaly.World) -> None:
    """One Monte Carlo step of the signalling, over all cells at once."""
    notch, delta = world.cell_attribute("notch"), world.cell_attribute("delta")
    notch, delta = collier(np.asarray(notch), np.asarray(delta), neighbour_mean(world, np.asarray(delta)), DT)
    world.set_cell_attribute("notch", notch)
    world.set_cell_attribute("delta", delta)


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
        for done in range(1, mcs + 1):
            with clock.engine():
                world.step(1)
            with clock.model():
                signal(world)
            if done % chunk == 0:
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
