"""A membrane and an external force in 2-D. A wavy line of anchor sites forms
a membrane: cells of the anchored type (orange) pay a penalty for every site
farther from it than a penalty-free band, so they gather into a sheet along
it. Cells of the other type (blue) do not feel the membrane but a constant
force to the right, and drift across the dish.

Run:  .venv/bin/python examples/membrane.py
Writes out/membrane.png (the cells, the anchors and the band, at the start
and the end) and out/membrane_drift.png (mean distance of the anchored cells
to the membrane, and mean position of the pushed cells, over time).
Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import math
import random
import sys

import matplotlib.pyplot as plt
import numpy as np
from tqdm import tqdm

import tessaly
from plotting import id_grid, out_dir, quick, type_image, type_legend

ANCHORED, PUSHED = 1, 2
BAND = 4.0  # penalty-free distance from the anchors, in sites
STIFFNESS = 0.2  # k: a site at distance d > BAND costs k·(d − BAND)²
FORCE = 0.6  # force on the pushed type along +x, per site


def membrane_line(nx: int, ny: int) -> list[tuple[int, int]]:
    """The anchor sites: a sine wave across the dish, with its steps filled so it is unbroken."""
    points = []
    previous = None
    for x in range(nx):
        y = round(ny / 2 + ny / 6 * math.sin(2 * math.pi * x / (nx / 2)))
        if previous is not None:
            step = 1 if y > previous else -1
            points.extend((x, yy) for yy in range(previous + step, y, step))
        points.append((x, y))
        previous = y
    return points


def distance_map(nx: int, ny: int, anchors: list[tuple[int, int]]) -> np.ndarray:
    """Each site's distance to the nearest anchor in axis steps, as the membrane term measures it."""
    ys, xs = np.mgrid[0:ny, 0:nx]
    dist = np.full((ny, nx), np.inf)
    for ax, ay in anchors:
        np.minimum(dist, np.abs(xs - ax) + np.abs(ys - ay), out=dist)
    return dist


def build(nx: int, ny: int, n_cells: int, seed: int) -> tuple[tessaly.World, list[tuple[int, int]]]:
    world = tessaly.World((nx, ny, 1), "noflux", 2, 20.0)
    rng = random.Random(seed)
    slots = [(x, y) for y in range(2, ny - 10, 11) for x in range(2, nx - 10, 11)]
    for i, (x, y) in enumerate(rng.sample(slots, min(n_cells, len(slots)))):
        cell = world.add_cell(ANCHORED if i % 2 == 0 else PUSHED, 64.0, 10.0, 0.0, 0.0)
        world.seed_block(cell, x, y, 0, x + 8, y + 8, 1)
    for a, b, j in ((0, 1, 12.0), (0, 2, 12.0), (1, 1, 8.0), (2, 2, 8.0), (1, 2, 12.0)):
        world.set_contact(a, b, j)
    anchors = membrane_line(nx, ny)
    world.set_membrane([x + nx * y for x, y in anchors], STIFFNESS, BAND)
    world.set_membrane_anchored(ANCHORED, True)
    world.set_external_potential(PUSHED, FORCE, 0.0, 0.0)
    return world, anchors


def observe(world: tessaly.World, dist: np.ndarray) -> tuple[float, float]:
    """Mean distance of the anchored cells' sites to the membrane, and mean x of the pushed cells."""
    ids = id_grid(world)
    types = np.asarray(world.cell_types())[ids]
    coms = np.asarray(world.cell_coms())
    pushed = (np.asarray(world.cell_types()) == PUSHED) & (np.asarray(world.cell_volumes()) > 0)
    return float(dist[types == ANCHORED].mean()), float(coms[pushed, 0].mean())


def picture(world: tessaly.World, ids: np.ndarray, dist: np.ndarray, anchors) -> np.ndarray:
    """The cells over the membrane: anchors dark, the penalty-free band shaded."""
    img = type_image(world, ids)
    medium = ids == 0
    img[medium & (dist <= BAND)] = (0.86, 0.88, 0.80)
    for x, y in anchors:
        if ids[y, x] == 0:
            img[y, x] = (0.25, 0.25, 0.25)
    return img


def main() -> int:
    small = quick()
    nx, ny, n_cells, mcs, chunk = (80, 48, 12, 200, 20) if small else (240, 120, 110, 2000, 50)
    world, anchors = build(nx, ny, n_cells, seed=3)
    world.finalize(6)
    dist = distance_map(nx, ny, anchors)
    start = id_grid(world)
    times = [0]
    distances, positions = map(list, zip(observe(world, dist)))
    with tqdm(total=mcs, unit="MCS", desc="membrane") as bar:
        for done in range(chunk, mcs + 1, chunk):
            world.step(chunk)
            d, x = observe(world, dist)
            times.append(done)
            distances.append(d)
            positions.append(x)
            bar.update(chunk)

    out = out_dir()
    fig, axes = plt.subplots(2, 1, figsize=(9.5, 9.0), layout="constrained")
    for ax, ids, title in ((axes[0], start, "start (MCS 0)"), (axes[1], id_grid(world), f"after {mcs} MCS")):
        ax.imshow(picture(world, ids, dist, anchors), origin="lower", interpolation="nearest")
        ax.set_title(title)
        ax.set_xticks([])
        ax.set_yticks([])
    type_legend(
        fig,
        {ANCHORED: "anchored to the membrane", PUSHED: f"pushed to the right (force {FORCE:g} per site)"},
        loc="outside lower center",
        ncols=2,
    )
    fig.suptitle(f"Membrane anchors (dark line; band of {BAND:g} sites shaded) and an external force")
    pictures = f"{out}/membrane.png"
    fig.savefig(pictures, dpi=110)
    plt.close(fig)

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4), layout="constrained")
    left.plot(times, distances, color="C1")
    left.axhline(BAND, color="0.5", linestyle="--", label="edge of the penalty-free band")
    left.set_xlabel("Monte Carlo steps")
    left.set_ylabel("mean distance to the membrane (sites)")
    left.set_title("Anchored cells gather at the membrane")
    left.legend()
    right.plot(times, positions, color="C0")
    right.set_xlabel("Monte Carlo steps")
    right.set_ylabel("mean x of centre of mass (sites)")
    right.set_title("Pushed cells drift along the force")
    for ax in (left, right):
        ax.grid(alpha=0.3)
    plot = f"{out}/membrane_drift.png"
    fig.savefig(plot, dpi=110)
    plt.close(fig)

    print(f"anchored cells: mean distance {distances[0]:.1f} -> {distances[-1]:.1f} sites")
    print(f"pushed cells: mean x {positions[0]:.1f} -> {positions[-1]:.1f}")
    print(f"wrote {pictures}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
