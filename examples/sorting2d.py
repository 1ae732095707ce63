"""Cell sorting in 2-D: two cell types that adhere differently start mixed
and sort out, the more cohesive type gathering in the middle.

Run:  ./dev example      (or: .venv/bin/python examples/sorting2d.py)
Writes out/sorting2d.png (start and end), out/sorting2d_contacts.png and a
short movie of the sorting, out/sorting2d.mp4 (through imageio-ffmpeg).
Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import random
import sys

import imageio.v2 as imageio
import numpy as np
from tqdm import tqdm

import tessaly
from plotting import heterotypic_fraction, id_grid, out_dir, quick, save_panels, save_series, type_image


def movie_frame(world, scale: int = 2) -> np.ndarray:
    """The lattice coloured by type as an 8-bit RGB frame, y up, each site scale x scale pixels."""
    img = type_image(world, id_grid(world))[::-1]
    return np.repeat(np.repeat((img * 255).round().astype(np.uint8), scale, axis=0), scale, axis=1)


def build(size: int, cells_per_side: int, seed: int) -> tessaly.World:
    world = tessaly.World((size, size, 1), "noflux", 2, 20.0)
    rng = random.Random(seed)
    side = 10
    origin = (size - side * cells_per_side) // 2
    for j in range(cells_per_side):
        for i in range(cells_per_side):
            cell = world.add_cell(rng.choice((1, 2)), 100.0, 50.0, 0.0, 0.0)
            x0, y0 = origin + side * i, origin + side * j
            world.seed_block(cell, x0, y0, 0, x0 + side, y0 + side, 1)
    # type 1 sticks to itself strongly (low J), type 2 weakly; both avoid the medium
    for a, b, j in ((0, 1, 16.0), (0, 2, 16.0), (1, 1, 2.0), (2, 2, 14.0), (1, 2, 11.0)):
        world.set_contact(a, b, j)
    return world


def main() -> int:
    small = quick()
    size, cells, mcs, chunk = (80, 6, 40, 10) if small else (200, 16, 2000, 50)
    world = build(size, cells, seed=7)
    world.finalize(1)
    start = id_grid(world)
    times, fractions = [0], [heterotypic_fraction(world)]
    out = out_dir()
    movie = f"{out}/sorting2d.mp4"
    # one frame per chunk; H.264 in an MP4 plays everywhere (the frame sides are multiples of 16)
    with imageio.get_writer(movie, fps=10, macro_block_size=16) as frames, tqdm(
        total=mcs, unit="MCS", desc="sorting"
    ) as bar:
        frames.append_data(movie_frame(world))
        for done in range(chunk, mcs + 1, chunk):
            world.step(chunk)
            times.append(done)
            fractions.append(heterotypic_fraction(world))
            frames.append_data(movie_frame(world))
            bar.update(chunk)
    pictures = save_panels(
        f"{out}/sorting2d.png",
        [(world, start, "start (MCS 0)"), (world, id_grid(world), f"after {mcs} MCS")],
        "Cell sorting: type 1 (orange) is more cohesive than type 2 (blue)",
    )
    plot = save_series(
        f"{out}/sorting2d_contacts.png",
        times,
        {"heterotypic contact fraction": fractions},
        "Monte Carlo steps",
        "fraction of cell-cell contact between types",
        "Sorting lowers heterotypic contact",
    )
    print(f"heterotypic contact fraction {fractions[0]:.3f} -> {fractions[-1]:.3f}")
    print(f"wrote {pictures}\nwrote {plot}\nwrote {movie}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
