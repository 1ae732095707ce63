"""Migrating cells: the Act model makes cells crawl. Every site a cell gains
is "active" (max_act) and the activity fades by one per Monte Carlo step, so
a cell keeps protruding where it protruded last and retracts its oldest part.

In 2-D, Act cells (orange) with the published parameters (T 20, λ_act 200,
max_act 40, volume 500 with λ 50, a perimeter constraint) crawl on a
periodic box around frozen obstacles (green); in 3-D, one Act cell crawls
through a periodic box. Their tracks continue across the periodic faces, so
the mean squared displacement (MSD) can be read from them: it grows
faster than linearly (ballistic, persistent motion) at short lags.

Run:  .venv/bin/python examples/migration.py
Writes out/migration.png (the 2-D lattice with tracks, the 3-D track),
out/migration_msd.png (MSD against lag, 2-D and 3-D) and a movie of the
2-D cells, out/migration.mp4 (through imageio-ffmpeg).
Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import random
import sys

import imageio.v2 as imageio
import matplotlib.pyplot as plt
import numpy as np
from tqdm import tqdm

import tessaly
from plotting import TYPE_COLOURS, id_grid, out_dir, quick, type_image, type_legend

ACT, OBSTACLE = 1, 3


def build_2d(size: int, n_cells: int, n_obstacles: int, seed: int) -> tuple[tessaly.World, list[int]]:
    world = tessaly.World((size, size, 1), "periodic", 2, 20.0)
    rng = random.Random(seed)
    side, pitch = 22, size // 4
    slots = [(x, y) for y in range(2, size - side, pitch) for x in range(2, size - side, pitch)]
    rng.shuffle(slots)
    cells = []
    for x, y in slots[:n_cells]:
        cell = world.add_cell(ACT, 500.0, 50.0, 340.0, 2.0)
        world.seed_block(cell, x, y, 0, x + side, y + side, 1)
        cells.append(cell)
    for x, y in slots[n_cells:n_cells + n_obstacles]:
        # a pinned disc: its sites never change, whatever the energy says
        rock = world.add_cell(OBSTACLE, 1.0, 0.0, 0.0, 0.0)
        cx, cy, r = x + side // 2, y + side // 2, side // 3
        for yy in range(cy - r, cy + r + 1):
            half = int((r * r - (yy - cy) ** 2) ** 0.5)
            world.seed_block(rock, cx - half, yy, 0, cx + half + 1, yy + 1, 1)
        world.set_cell_frozen(rock, True)
    world.set_contact(0, ACT, 20.0)
    world.set_contact(ACT, ACT, 40.0)
    world.set_contact(ACT, OBSTACLE, 20.0)
    world.set_act(ACT, 200.0, 40)
    world.set_tracking(True)
    return world, cells


def build_3d(size: int) -> tessaly.World:
    world = tessaly.World((size, size, size), "periodic", 1, 20.0)
    cell = world.add_cell(ACT, 1000.0, 20.0, 900.0, 0.5)
    lo = size // 2 - 5
    world.seed_block(cell, lo, lo, lo, lo + 10, lo + 10, lo + 10)
    world.set_contact(0, ACT, 8.0)
    world.set_act(ACT, 500.0, 40)
    world.set_tracking(True)
    return world


def movie_frame(world, scale: int = 2) -> np.ndarray:
    """The lattice coloured by type as an 8-bit RGB frame, y up, each site scale x scale pixels."""
    img = type_image(world, id_grid(world))[::-1]
    return np.repeat(np.repeat((img * 255).round().astype(np.uint8), scale, axis=0), scale, axis=1)


def record(world: tessaly.World, cells: list[int], mcs: int, every: int, desc: str, frames=None) -> np.ndarray:
    """Tracks of `cells` every `every` steps: shape (samples, cells, 3); a
    movie frame each time when `frames` (a writer) is given."""
    tracks = [np.asarray(world.cell_tracks())[cells]]
    for _ in tqdm(range(mcs // every), unit="sample", desc=desc):
        world.step(every)
        tracks.append(np.asarray(world.cell_tracks())[cells])
        if frames is not None:
            frames.append_data(movie_frame(world))
    return np.asarray(tracks)


def msd(tracks: np.ndarray, max_lag: int) -> np.ndarray:
    """Mean squared displacement for lags 1..max_lag (in samples), over cells and start times."""
    return np.array([np.mean(np.sum((tracks[lag:] - tracks[:-lag]) ** 2, axis=2)) for lag in range(1, max_lag + 1)])


def main() -> int:
    small = quick()
    # frame sides twice the box: multiples of 16 for H.264
    size2, n_cells, n_rocks, mcs2 = (96, 4, 2, 300) if small else (200, 12, 4, 3000)
    size3, mcs3 = (32, 200) if small else (48, 1500)
    every = 5

    world2, cells = build_2d(size2, n_cells, n_rocks, seed=3)
    world2.finalize(11)
    world2.step(1)  # a track starts at the end of the first tracked step
    out = out_dir()
    movie = f"{out}/migration.mp4"
    with imageio.get_writer(movie, fps=20, macro_block_size=16) as frames:
        frames.append_data(movie_frame(world2))
        tracks2 = record(world2, cells, mcs2, every, "2-D cells", frames)
    world3 = build_3d(size3)
    world3.finalize(12)
    world3.step(1)
    tracks3 = record(world3, [1], mcs3, every, "3-D cell")

    fig, (ax2, ax3) = plt.subplots(1, 2, figsize=(10.5, 5.0), layout="constrained")
    ax2.imshow(type_image(world2, id_grid(world2)), origin="lower", interpolation="nearest")
    centroids = np.asarray(world2.cell_centroids())[cells]
    for k in range(len(cells)):
        # the track drawn back from where the cell is now, wrapped into the box piece by piece
        path = tracks2[:, k, :2] - tracks2[-1, k, :2] + centroids[k, :2]
        path = np.mod(path, size2)
        jumps = np.flatnonzero(np.abs(np.diff(path, axis=0)).max(axis=1) > size2 / 2) + 1
        for piece in np.split(path, jumps):
            ax2.plot(piece[:, 0], piece[:, 1], color="0.15", linewidth=1.0)
    ax2.set_xlim(0, size2 - 1)
    ax2.set_ylim(0, size2 - 1)
    ax2.set_xticks([])
    ax2.set_yticks([])
    ax2.set_title(f"2-D: Act cells after {mcs2} MCS, with their tracks")
    type_legend(ax2, {ACT: "Act cell", OBSTACLE: "frozen obstacle"}, loc="upper right")
    path3 = tracks3[:, 0, :]
    ax3.plot(path3[:, 0], path3[:, 1], color=TYPE_COLOURS[ACT], linewidth=1.5)
    ax3.plot(*path3[0, :2], "o", color="0.3", label="start")
    ax3.plot(*path3[-1, :2], "s", color="0.3", label="end")
    ax3.set_aspect("equal", adjustable="datalim")
    ax3.set_xlabel("x displacement (sites)")
    ax3.set_ylabel("y displacement (sites)")
    ax3.set_title(f"3-D: one Act cell's track over {mcs3} MCS (x-y view)")
    ax3.legend(loc="best")
    ax3.grid(alpha=0.3)
    picture = f"{out}/migration.png"
    fig.savefig(picture, dpi=110)
    plt.close(fig)

    fig, ax = plt.subplots(figsize=(6.5, 4.5), layout="constrained")
    for name, tracks, colour in (("2-D cells", tracks2, TYPE_COLOURS[ACT]), ("3-D cell", tracks3, TYPE_COLOURS[2])):
        lags = max(2, len(tracks) // 4)
        values = msd(tracks, lags)
        ax.loglog(every * np.arange(1, lags + 1), values, "o-", color=colour, markersize=3, label=name)
    t = every * np.arange(1, max(2, len(tracks2) // 4) + 1)
    ax.loglog(t, t * 1.0, "--", color="0.6", label="slope 1 (diffusive)")
    ax.loglog(t, t**2 * 0.01, ":", color="0.6", label="slope 2 (ballistic)")
    ax.set_xlabel("lag (MCS)")
    ax.set_ylabel("mean squared displacement (sites²)")
    ax.set_title("Act cells migrate persistently")
    ax.legend(loc="upper left")
    ax.grid(alpha=0.3, which="both")
    plot = f"{out}/migration_msd.png"
    fig.savefig(plot, dpi=110)
    plt.close(fig)

    speed2 = np.linalg.norm(tracks2[-1] - tracks2[0], axis=1).mean() / mcs2
    speed3 = np.linalg.norm(tracks3[-1] - tracks3[0], axis=1).mean() / mcs3
    print(f"2-D: mean net displacement per MCS {speed2:.3f} sites; 3-D: {speed3:.3f} sites")
    print(f"wrote {picture}\nwrote {plot}\nwrote {movie}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
