"""Elongated cells in 2-D: the length constraint pulls cells of one type
(orange) towards a target length along their major axis, three times the
side of a square of the same area, while cells of the other type (blue),
with the same volume and no length constraint, stay round. The elongated
cells are kept in one piece by the connectivity constraint.

Run:  .venv/bin/python examples/elongation.py
Writes out/elongation.png (start and end) and out/elongation_lengths.png
(mean major-axis length of each type over time).
Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import random
import sys

import matplotlib.pyplot as plt
import numpy as np
from tqdm import tqdm

import tessaly
from plotting import TYPE_COLOURS, id_grid, out_dir, quick, save_panels

ROD, ROUND = 1, 2
SIDE = 10  # cells start as SIDE x SIDE squares
TARGET_LENGTH = 28.0


def build(size: int, n_cells: int, seed: int) -> tessaly.World:
    world = tessaly.World((size, size, 1), "noflux", 2, 6.0)
    rng = random.Random(seed)
    # away from the walls: a cell lying against a noflux wall saves the contact energy of the sites beyond it
    margin = size // 8
    starts = range(margin, size - margin - SIDE, SIDE + 6)
    slots = [(x, y) for y in starts for x in starts]
    for i, (x, y) in enumerate(rng.sample(slots, min(n_cells, len(slots)))):
        cell = world.add_cell(ROD if i % 2 == 0 else ROUND, float(SIDE * SIDE), 5.0, 0.0, 0.0)
        world.seed_block(cell, x, y, 0, x + SIDE, y + SIDE, 1)
    # cell-cell contacts cost as much as two medium contacts: cells neither stick nor repel
    for a, b, j in ((0, ROD, 8.0), (0, ROUND, 8.0), (ROD, ROD, 16.0), (ROUND, ROUND, 16.0), (ROD, ROUND, 16.0)):
        world.set_contact(a, b, j)
    # a rod pays λ·(L − 28)²: a square of side 10 (L ≈ 10) starts 324·λ above its target;
    # the contact energy of the longer outline holds it back short of the target
    world.set_length_constraint(ROD, TARGET_LENGTH, 2.5)
    world.set_connectivity(ROD, True)
    return world


def mean_lengths(world: tessaly.World) -> tuple[float, float]:
    lengths = np.asarray(world.cell_lengths())
    types = np.asarray(world.cell_types())
    alive = np.asarray(world.cell_volumes()) > 0
    return float(lengths[(types == ROD) & alive].mean()), float(lengths[(types == ROUND) & alive].mean())


def main() -> int:
    small = quick()
    size, n_cells, mcs, chunk = (64, 6, 200, 20) if small else (200, 50, 1500, 25)
    world = build(size, n_cells, seed=8)
    world.finalize(5)
    start = id_grid(world)
    times = [0]
    rods, rounds = map(list, zip(mean_lengths(world)))
    with tqdm(total=mcs, unit="MCS", desc="elongation") as bar:
        for done in range(chunk, mcs + 1, chunk):
            world.step(chunk)  # the length constraint needs the sequential sweep
            rod, round_ = mean_lengths(world)
            times.append(done)
            rods.append(rod)
            rounds.append(round_)
            bar.update(chunk)

    out = out_dir()
    pictures = save_panels(
        f"{out}/elongation.png",
        [(world, start, "start (MCS 0)"), (world, id_grid(world), f"after {mcs} MCS")],
        f"Length constraint: orange cells are pulled to length {TARGET_LENGTH:g}, blue ones are not",
    )
    fig, ax = plt.subplots(figsize=(6.5, 4.2), layout="constrained")
    ax.plot(times, rods, color=TYPE_COLOURS[ROD], linewidth=2, label="orange cells (length constraint)")
    ax.plot(times, rounds, color=TYPE_COLOURS[ROUND], linewidth=2, label="blue cells (none)")
    ax.axhline(TARGET_LENGTH, color="0.4", linestyle="--", label="target length")
    ax.set_xlabel("Monte Carlo steps")
    ax.set_ylabel("mean major-axis length (sites)")
    ax.set_title("Cells elongate towards the target length")
    ax.set_ylim(0, TARGET_LENGTH * 1.15)
    ax.legend(loc="lower right")
    ax.grid(alpha=0.3)
    plot = f"{out}/elongation_lengths.png"
    fig.savefig(plot, dpi=110)
    plt.close(fig)
    print(f"mean length with the constraint {rods[0]:.1f} -> {rods[-1]:.1f}")
    print(f"mean length without {rounds[0]:.1f} -> {rounds[-1]:.1f}")
    print(f"wrote {pictures}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
