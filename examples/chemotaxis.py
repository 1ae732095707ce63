"""Chemotaxis in 2-D: a pipette at the centre of the dish releases an
attractant that diffuses and decays; scattered cells crawl up its gradient
and gather around the source.

Run:  .venv/bin/python examples/chemotaxis.py
Writes out/chemotaxis.png (the field with the cells drawn over it, at the
start and the end) and out/chemotaxis_distance.png (mean distance of the
cells to the source over time). Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import math
import random
import sys

import matplotlib.pyplot as plt
import numpy as np
from tqdm import tqdm

import tessaly
from plotting import id_grid, out_dir, overlay_image, quick, save_series

CRAWLER = 1
RELEASE = 200.0  # attractant added at the source per Monte Carlo step


def build(size: int, n_cells: int, seed: int) -> tuple[tessaly.World, int]:
    """The world and its field's index."""
    world = tessaly.World((size, size, 1), "noflux", 2, 20.0)
    rng = random.Random(seed)
    middle = size // 2
    # 8x8 cells on free slots of a coarse grid, away from the source
    slots = [
        (x, y)
        for y in range(4, size - 12, 12)
        for x in range(4, size - 12, 12)
        if math.hypot(x + 4 - middle, y + 4 - middle) > size / 4
    ]
    for x, y in rng.sample(slots, min(n_cells, len(slots))):
        cell = world.add_cell(CRAWLER, 64.0, 10.0, 0.0, 0.0)
        world.seed_block(cell, x, y, 0, x + 8, y + 8, 1)
    world.set_contact(0, CRAWLER, 12.0)
    world.set_contact(CRAWLER, CRAWLER, 10.0)
    # the attractant: d = 0.2 per substep, 10 substeps per Monte Carlo step,
    # decay length sqrt(d / decay) = 45 sites
    field = world.add_field("attractant", 0.2, 1e-4)
    world.set_field_dynamics(field, 1.0, 10)
    # a saturating (receptor-occupancy) response c / (5 + c): a nearly
    # logarithmic sense, so the pull is about as strong far out as near the source
    world.set_chemotaxis_occupancy(field, CRAWLER, 2000.0, 5.0, 1.0, 1.0)
    return world, field


def release(world: tessaly.World, field: int, steps: int, run: bool) -> None:
    """`steps` Monte Carlo steps (or bare field advances when not running),
    each preceded by a release of attractant at the centre."""
    nx, ny, _ = world.dims()
    for _ in range(steps):
        world.field_add_source_at(field, nx // 2, ny // 2, 0, RELEASE)
        if run:
            world.step(1)
        else:
            world.advance_fields(1)


def mean_distance(world: tessaly.World) -> float:
    """Mean distance from the cells' centres of mass to the source."""
    nx, ny, _ = world.dims()
    coms = np.asarray(world.cell_coms())[1:]
    volumes = np.asarray(world.cell_volumes())[1:]
    return float(np.hypot(coms[volumes > 0, 0] - nx // 2, coms[volumes > 0, 1] - ny // 2).mean())


def draw(ax, world: tessaly.World, conc: list[float], ids: np.ndarray, title: str, vmax: float):
    """The field as a heat map with the cells over it and the source marked."""
    nx, ny, _ = world.dims()
    image = ax.imshow(
        np.asarray(conc).reshape(ny, nx), origin="lower", cmap="YlGn", vmin=0.0, vmax=vmax, interpolation="bilinear"
    )
    ax.imshow(overlay_image(world, ids, fill_alpha=0.85), origin="lower", interpolation="nearest")
    ax.plot([nx // 2], [ny // 2], marker="*", markersize=14, color="crimson", markeredgecolor="white", linestyle="")
    ax.set_title(title)
    ax.set_xticks([])
    ax.set_yticks([])
    return image


def main() -> int:
    small = quick()
    size, n_cells, warmup, mcs, chunk = (80, 8, 100, 200, 20) if small else (200, 40, 2000, 3000, 100)
    world, field = build(size, n_cells, seed=5)
    # let the field approach its steady profile before the cells move
    release(world, field, warmup, run=False)
    world.finalize(2)
    start_ids, start_conc = id_grid(world), world.field_conc(field)
    times, distances = [0], [mean_distance(world)]
    middle = chunk * max(1, mcs // chunk // 3)
    with tqdm(total=mcs, unit="MCS", desc="chemotaxis") as bar:
        for done in range(chunk, mcs + 1, chunk):
            release(world, field, chunk, run=True)
            times.append(done)
            distances.append(mean_distance(world))
            if done == middle:
                middle_ids, middle_conc = id_grid(world), world.field_conc(field)
            bar.update(chunk)

    out = out_dir()
    end_conc = world.field_conc(field)
    # the colour scale saturates next to the source, where the response saturates too
    vmax = float(np.percentile(end_conc, 99.0))
    fig, axes = plt.subplots(1, 3, figsize=(14.5, 5.0), layout="constrained")
    draw(axes[0], world, start_conc, start_ids, f"start (field after {warmup} steps of release)", vmax)
    draw(axes[1], world, middle_conc, middle_ids, f"after {middle} MCS", vmax)
    image = draw(axes[2], world, end_conc, id_grid(world), f"after {mcs} MCS", vmax)
    fig.colorbar(image, ax=axes, shrink=0.8, label="attractant concentration", extend="max")
    fig.suptitle("Chemotaxis: cells climb the attractant gradient towards the source (star)")
    pictures = f"{out}/chemotaxis.png"
    fig.savefig(pictures, dpi=110)
    plt.close(fig)

    plot = save_series(
        f"{out}/chemotaxis_distance.png",
        times,
        {"mean distance to the source": distances},
        "Monte Carlo steps",
        "mean centre-of-mass distance (sites)",
        "Chemotactic cells approach the source",
    )
    print(f"mean distance to the source {distances[0]:.1f} -> {distances[-1]:.1f} sites")
    print(f"wrote {pictures}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
