"""Export a 3-D world for other programs: TIFF stacks of the cell ids and of
a field for Fiji or napari, VTK image data for ParaView, and the cell table
as CSV.

Cells seeded from a NumPy label image secrete a signal that one type follows.
The state leaves the World without a copy (`site_view`, `field_view`), and
maintained libraries write the files: tifffile the TIFF stacks, pyevtk the
VTK file.

Run:  .venv/bin/python examples/export.py
Writes out/export_ids.tif, out/export_signal.tif (ImageJ hyperstacks, axes
ZYX), out/export.vti (cell data "cell_id", "cell_type", "signal") and
out/export_cells.csv (one row per cell). Set TESSALY_QUICK=1 for a reduced run.

Open the TIFF stacks in Fiji (File > Open) or napari (`napari out/export_ids.tif`);
open export.vti in ParaView and colour by "cell_type" (Threshold above 0 to hide
the medium).
"""

from __future__ import annotations

import csv
import sys

import numpy as np
import tifffile
from pyevtk.hl import imageToVTK
from tqdm import tqdm

import tessaly
from plotting import out_dir, quick


def label_image(size: int, side: int, gap: int) -> np.ndarray:
    """labels[z, y, x]: cubes of `side` on a grid of pitch side + gap, numbered from 1; 0 elsewhere."""
    pitch = side + gap
    coord = np.arange(size)
    inside = (coord % pitch >= gap) & (coord // pitch < size // pitch)
    cube = np.where(inside, coord // pitch, -1)  # cube number along one axis, -1 in the gaps
    per_axis = size // pitch
    z, y, x = np.meshgrid(cube, cube, cube, indexing="ij")
    labels = 1 + x + per_axis * (y + per_axis * z)
    return np.where((x >= 0) & (y >= 0) & (z >= 0), labels, 0).astype(np.uint32)


def build(size: int, side: int, seed: int) -> tessaly.World:
    world = tessaly.World((size, size, size), "periodic", 2, 10.0)
    labels = label_image(size, side, gap=2)
    rng = np.random.default_rng(seed)
    types = {int(label): int(t) for label, t in zip(np.unique(labels)[1:], rng.choice((1, 2), labels.max()))}
    world.seed_from_labels(labels, types, 1, float(side**3), 1.0)  # the array goes in as it is
    for a, b, j in ((0, 1, 12.0), (0, 2, 12.0), (1, 1, 4.0), (2, 2, 4.0), (1, 2, 8.0)):
        world.set_contact(a, b, j)
    signal = world.add_field("signal", 0.1, 0.02)
    world.set_secretion(signal, 1, 0.5)
    world.set_chemotaxis(signal, 2, 40.0)
    return world


def main() -> int:
    small = quick()
    size, side, mcs, chunk = (24, 5, 10, 5) if small else (64, 8, 200, 10)
    world = build(size, side, seed=3)
    world.finalize(1)
    with tqdm(total=mcs, unit="MCS", desc="running") as bar:
        for _ in range(0, mcs, chunk):
            world.step(chunk)
            bar.update(chunk)

    # views of the world's own memory, indexed [z, y, x]: nothing is copied here
    ids = np.asarray(world.site_view())
    signal = np.asarray(world.field_view(0))
    table = world.cell_table()
    types = np.asarray(table["type"])

    out = out_dir()
    # ImageJ hyperstacks hold 8 or 16-bit integers or 32-bit floats
    id_dtype = np.uint16 if ids.max() < 2**16 else np.float32
    tifffile.imwrite(f"{out}/export_ids.tif", ids.astype(id_dtype), imagej=True, metadata={"axes": "ZYX"})
    tifffile.imwrite(f"{out}/export_signal.tif", signal, imagej=True, metadata={"axes": "ZYX"})

    # VTK wants arrays indexed [x, y, z]; the transposes are views, pyevtk writes them in x-fastest order
    vti = imageToVTK(
        f"{out}/export",
        cellData={"cell_id": ids.T, "cell_type": types[ids].astype(np.int32).T, "signal": signal.T},
    )

    with open(f"{out}/export_cells.csv", "w", newline="") as f:
        writer = csv.writer(f)
        names = list(table)
        writer.writerow(names)
        columns = [np.asarray(table[name]) for name in names]
        for row in range(1, len(columns[0])):  # row 0 is the medium
            writer.writerow([column[row] for column in columns])

    del ids, signal  # views keep the World's memory pinned while they live
    print(f"{world!r}: {len(types) - 1} cells, signal mean {float(np.mean(world.field_view(0))):.4f}")
    for name in ("export_ids.tif", "export_signal.tif"):
        print(f"wrote {out}/{name}")
    print(f"wrote {vti}\nwrote {out}/export_cells.csv")
    return 0


if __name__ == "__main__":
    sys.exit(main())
