"""Growth and division in 2-D: four founder cells grow and divide until their
progeny fill the dish. Each cell's target volume grows steadily; a cell that
reaches the division volume is cut in two; a cell squeezed by its neighbours
stops growing (its target is held a little above its volume), so growth goes
on mostly at the rim of the colony.

Run:  .venv/bin/python examples/growth.py
Writes out/growth.png (the colony at four times, each founder's clone in its
own colour) and out/growth_count.png (the number of cells over time).
Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import colorsys
import random
import sys

import numpy as np
from tqdm import tqdm

import tessaly
from plotting import TYPE_COLOURS, colour_image, id_grid, out_dir, quick, save_images, save_series

CELL = 1
BIRTH_VOLUME = 50.0  # target volume of both halves after a division
DIVISION_VOLUME = 100  # a cell divides once its volume reaches this
GROWTH = 2.5  # target volume added per chunk of Monte Carlo steps
SLACK = 6.0  # a squeezed cell's target is held at most this far above its volume


def build(size: int) -> tessaly.World:
    world = tessaly.World((size, size, 1), "noflux", 2, 10.0)
    middle = size // 2
    for dx, dy in ((-7, -7), (0, -7), (-7, 0), (0, 0)):
        cell = world.add_cell(CELL, BIRTH_VOLUME, 2.0, 0.0, 0.0)
        world.seed_block(cell, middle + dx, middle + dy, 0, middle + dx + 7, middle + dy + 7, 1)
    # cells stick together (two cell-medium contacts cost more than one cell-cell contact)
    world.set_contact(0, CELL, 12.0)
    world.set_contact(CELL, CELL, 10.0)
    return world


def grow_and_divide(world: tessaly.World, target: list[float], clone: list[int]) -> None:
    """One round of growth and division. The targets are kept here as well
    (`target[i]` mirrors cell i's target volume; the World does not report
    targets), as is `clone`, the founder of every cell id."""
    world.grow(CELL, GROWTH)
    volumes = world.cell_volumes()
    for cell in range(1, len(volumes)):
        target[cell] += GROWTH
        # contact inhibition: a squeezed cell's target stays near its volume
        if volumes[cell] > 0 and target[cell] > volumes[cell] + SLACK:
            target[cell] = volumes[cell] + SLACK
            world.set_target_volume(cell, target[cell])
    parents = [cell for cell, v in enumerate(volumes) if cell > 0 and v >= DIVISION_VOLUME]
    daughters = world.divide_cells(DIVISION_VOLUME, BIRTH_VOLUME)
    # daughters come in the registry order of their parents; both halves restart at BIRTH_VOLUME
    for parent, daughter in zip(parents, daughters):
        target[parent] = BIRTH_VOLUME
        target.append(BIRTH_VOLUME)
        clone.append(clone[parent])
        assert len(clone) == daughter + 1


def palette(clone: list[int], seed: int = 1) -> np.ndarray:
    """One colour per cell id: its founder's hue, with a random lightness per cell."""
    rng = random.Random(seed)
    colours = np.empty((len(clone), 3))
    colours[0] = TYPE_COLOURS[0]
    for cell in range(1, len(clone)):
        hue, light, sat = colorsys.rgb_to_hls(*TYPE_COLOURS[1 + clone[cell] % 4])
        colours[cell] = colorsys.hls_to_rgb(hue, min(0.85, max(0.25, light + rng.uniform(-0.12, 0.12))), sat)
    return colours


def main() -> int:
    small = quick()
    size, mcs, chunk = (60, 400, 10) if small else (150, 2500, 10)
    world = build(size)
    world.finalize(4)
    clone = [0, 0, 1, 2, 3]  # founder of every cell id (entry 0: the medium)
    target = [0.0] + [BIRTH_VOLUME] * 4
    snapshots = {0: id_grid(world)}
    shots = {chunk * max(1, round(mcs / chunk * f)) for f in (1 / 3, 2 / 3, 1)}
    times, counts = [0], [4]
    with tqdm(total=mcs, unit="MCS", desc="growth") as bar:
        for done in range(chunk, mcs + 1, chunk):
            world.step(chunk)
            grow_and_divide(world, target, clone)
            volumes = world.cell_volumes()
            times.append(done)
            counts.append(sum(1 for v in volumes[1:] if v > 0))
            if done in shots:
                snapshots[done] = id_grid(world)
            bar.set_postfix(cells=counts[-1])
            bar.update(chunk)

    out = out_dir()
    colours = palette(clone)
    pictures = save_images(
        f"{out}/growth.png",
        [
            (colour_image(ids, colours), f"MCS {t}: {len(np.unique(ids)) - 1} cells")
            for t, ids in sorted(snapshots.items())
        ],
        "Growth and division: four founders and their clones fill the dish",
        panel_size=3.8,
    )
    plot = save_series(
        f"{out}/growth_count.png",
        times,
        {"cells": counts},
        "Monte Carlo steps",
        "number of cells",
        "Cell count: exponential at first, then limited by space",
    )
    print(f"{counts[0]} -> {counts[-1]} cells")
    print(f"wrote {pictures}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
