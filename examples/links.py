"""A network of linked cells in 2-D: scattered cells that touch get an
elastic link between their centroids (at most three per cell), which pulls
them to a rest length shorter than the cells' diameter and breaks when
stretched. The cells gather into a connected network; the links are drawn
as white lines over the cells, and the size of the largest connected group
is followed over time.

Run:  .venv/bin/python examples/links.py
Writes out/links.png (start and end, links drawn) and out/links_network.png
(number of links and the largest linked group over time).
Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import random
import sys

import matplotlib.pyplot as plt
import numpy as np
from tqdm import tqdm

import tessaly
from plotting import TYPE_COLOURS, id_grid, out_dir, quick, show_lattice

CELL = 1
SIDE = 7


def build(size: int, n_cells: int, seed: int) -> tessaly.World:
    world = tessaly.World((size, size, 1), "periodic", 2, 8.0)
    rng = random.Random(seed)
    slots = [(x, y) for y in range(2, size - SIDE, SIDE + 2) for x in range(2, size - SIDE, SIDE + 2)]
    for x, y in rng.sample(slots, min(n_cells, len(slots))):
        cell = world.add_cell(CELL, float(SIDE * SIDE), 4.0, 0.0, 0.0)
        world.seed_block(cell, x, y, 0, x + SIDE, y + SIDE, 1)
    world.set_contact(0, CELL, 12.0)
    world.set_contact(CELL, CELL, 20.0)  # no adhesion: only the links hold cells together
    # touching cells link (rest length a little under a diameter), at most three links each; stretched past 14 they break
    world.set_link_formation(CELL, CELL, 2.0, 6.0, 14.0, 3)
    return world


def largest_group(world: tessaly.World) -> int:
    """Cells in the largest connected group of the link graph (union-find)."""
    links = world.cell_links()
    parent = list(range(world.n_cells() + 1))

    def root(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for a, b in zip(np.asarray(links["id_a"]), np.asarray(links["id_b"])):
        parent[root(int(a))] = root(int(b))
    roots = [root(i) for i in range(1, world.n_cells() + 1)]
    return max(roots.count(r) for r in set(roots)) if roots else 0


def draw_links(ax, world: tessaly.World) -> None:
    """The links as lines between centroids, split where they cross a periodic face."""
    centroids = np.asarray(world.cell_centroids())
    links = world.cell_links()
    nx, ny, _ = world.dims()
    for a, b in zip(np.asarray(links["id_a"]), np.asarray(links["id_b"])):
        p, q = centroids[a, :2], centroids[b, :2]
        d = q - p
        d -= np.array([nx, ny]) * np.round(d / np.array([nx, ny]))  # minimum image
        for start in (p, q):  # each half from its own cell, so a line across a face is drawn on both sides
            end = start + (d if start is p else -d) / 2
            ax.plot([start[0], end[0]], [start[1], end[1]], color="white", linewidth=1.2)


def main() -> int:
    small = quick()
    size, n_cells, mcs, chunk = (60, 24, 150, 10) if small else (160, 180, 1500, 25)
    world = build(size, n_cells, seed=3)
    world.finalize(11)
    start = id_grid(world)
    times, counts, groups = [0], [0], [1]
    with tqdm(total=mcs, unit="MCS", desc="links") as bar:
        for done in range(chunk, mcs + 1, chunk):
            world.step(chunk)
            times.append(done)
            counts.append(len(world.cell_links()["id_a"]))
            groups.append(largest_group(world))
            bar.update(chunk)

    out = out_dir()
    fig, axes = plt.subplots(1, 2, figsize=(8.4, 4.4))
    show_lattice(axes[0], world, start, "start (MCS 0)")
    show_lattice(axes[1], world, id_grid(world), f"after {mcs} MCS, links in white")
    draw_links(axes[1], world)
    axes[1].set_xlim(-0.5, size - 0.5)
    axes[1].set_ylim(-0.5, size - 0.5)
    fig.suptitle("Cells linked on contact form a network")
    fig.tight_layout()
    picture = f"{out}/links.png"
    fig.savefig(picture, dpi=110)
    plt.close(fig)

    fig, ax = plt.subplots(figsize=(6.5, 4.2), layout="constrained")
    ax.plot(times, counts, color=TYPE_COLOURS[CELL], linewidth=2, label="links")
    ax.plot(times, groups, color="0.3", linewidth=2, label="cells in the largest linked group")
    ax.axhline(n_cells, color="0.6", linestyle="--", label="all cells")
    ax.set_xlabel("Monte Carlo steps")
    ax.set_ylabel("count")
    ax.set_title("The network grows as cells meet")
    ax.legend(loc="lower right")
    ax.grid(alpha=0.3)
    plot = f"{out}/links_network.png"
    fig.savefig(plot, dpi=110)
    plt.close(fig)
    print(f"links {counts[-1]}, largest linked group {groups[-1]} of {world.n_cells()} cells")
    print(f"wrote {picture}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
