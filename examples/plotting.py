"""Small plotting helpers shared by the examples: lattices coloured by cell
type (with cell borders drawn dark) and quantities over time."""

from __future__ import annotations

import os
import time
from contextlib import contextmanager

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

# medium first, then one colour per cell type
TYPE_COLOURS = np.array(
    [
        [0.97, 0.97, 0.95],
        [0.90, 0.45, 0.20],
        [0.20, 0.45, 0.75],
        [0.35, 0.65, 0.30],
        [0.60, 0.35, 0.70],
        [0.85, 0.75, 0.25],
    ]
)


def out_dir() -> str:
    """The folder the examples write into (created on demand)."""
    path = os.environ.get("TESSALY_OUT", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out"))
    os.makedirs(path, exist_ok=True)
    return os.path.abspath(path)


def quick() -> bool:
    """True when the examples should run in a reduced size (CI, smoke tests)."""
    return os.environ.get("TESSALY_QUICK", "") not in ("", "0")


def id_grid(world, z: int | None = None, axis: str = "z") -> np.ndarray:
    """The cell ids of one plane of the world as a 2-D array (rows = y)."""
    nx, ny, nz = world.dims()
    ids = np.asarray(world.snapshot(), dtype=np.int64).reshape(nz, ny, nx)
    if z is None:
        z = nz // 2
    if axis == "z":
        return ids[z]
    if axis == "y":
        return ids[:, z, :]
    return ids[:, :, z]


def type_image(world, ids: np.ndarray) -> np.ndarray:
    """RGB image of a plane of ids, coloured by cell type, borders darkened."""
    types = np.asarray(world.cell_types(), dtype=np.int64)
    img = TYPE_COLOURS[np.minimum(types[ids], len(TYPE_COLOURS) - 1)].copy()
    border = np.zeros(ids.shape, dtype=bool)
    border[:, 1:] |= ids[:, 1:] != ids[:, :-1]
    border[1:, :] |= ids[1:, :] != ids[:-1, :]
    img[border & (ids != 0)] *= 0.55
    return img


def show_lattice(ax, world, ids: np.ndarray, title: str = "") -> None:
    ax.imshow(type_image(world, ids), origin="lower", interpolation="nearest")
    ax.set_title(title)
    ax.set_xticks([])
    ax.set_yticks([])


def save_panels(path: str, panels, suptitle: str = "") -> str:
    """Save side-by-side lattice panels: a list of (world, ids, title)."""
    fig, axes = plt.subplots(1, len(panels), figsize=(4.2 * len(panels), 4.4))
    axes = np.atleast_1d(axes)
    for ax, (world, ids, title) in zip(axes, panels):
        show_lattice(ax, world, ids, title)
    if suptitle:
        fig.suptitle(suptitle)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def save_series(path: str, x, series: dict, xlabel: str, ylabel: str, title: str = "") -> str:
    """Save a line plot of one or more quantities over time."""
    fig, ax = plt.subplots(figsize=(6, 4))
    for label, values in series.items():
        ax.plot(x, values, label=label)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    if title:
        ax.set_title(title)
    if len(series) > 1:
        ax.legend()
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def heterotypic_fraction(world) -> float:
    """Share of the cells' contact area that touches the other type (1 ↔ 2)."""
    types = world.cell_types()
    hetero = total = 0
    for cell, t in enumerate(types):
        if cell == 0 or t == 0:
            continue
        contacts = world.cell_contact_area_by_type(cell)
        other = 2 if t == 1 else 1
        hetero += contacts.get(other, 0)
        total += sum(n for k, n in contacts.items() if k != 0)
    return hetero / total if total else 0.0


# ---- helpers for the other examples ----


def borders(ids: np.ndarray) -> np.ndarray:
    """Mask of the pixels of a 2-D id image that touch a different id on their left or below."""
    edge = np.zeros(ids.shape, dtype=bool)
    edge[:, 1:] |= ids[:, 1:] != ids[:, :-1]
    edge[1:, :] |= ids[1:, :] != ids[:-1, :]
    return edge


def volume_ids(world) -> np.ndarray:
    """The cell ids of the whole world as a 3-D array indexed [z, y, x]."""
    nx, ny, nz = world.dims()
    return np.asarray(world.snapshot(), dtype=np.int64).reshape(nz, ny, nx)


def colour_image(ids: np.ndarray, colours: np.ndarray) -> np.ndarray:
    """RGB image of a plane of ids with one colour per cell id (row i for id i), borders darkened."""
    img = np.asarray(colours, dtype=float)[ids].copy()
    img[borders(ids) & (ids != 0)] *= 0.55
    return img


def projection_image(world, ids3d: np.ndarray | None = None, only_types=None) -> np.ndarray:
    """RGB view of a 3-D world from above (+z): the topmost cell of each column,
    coloured by type, shaded by height and with cell borders darkened. With
    `only_types`, cells of other types are left out (see-through)."""
    if ids3d is None:
        ids3d = volume_ids(world)
    nz = ids3d.shape[0]
    types = np.asarray(world.cell_types(), dtype=np.int64)
    occupied = ids3d != 0
    if only_types is not None:
        occupied &= np.isin(types[ids3d], list(only_types))
    # index (in z) of the topmost occupied site of each column, -1 where the column is empty
    top = np.where(occupied.any(axis=0), nz - 1 - np.argmax(occupied[::-1], axis=0), -1)
    rows, cols = np.indices(top.shape)
    visible = np.where(top >= 0, ids3d[np.maximum(top, 0), rows, cols], 0)
    img = TYPE_COLOURS[np.minimum(types[visible], len(TYPE_COLOURS) - 1)].copy()
    if (top >= 0).any():
        # the highest sites keep their colour, the lowest visible ones are darkened by half
        low, high = top[top >= 0].min(), top[top >= 0].max()
        shade = 1.0 - 0.5 * (high - top) / max(high - low, 1)
        img[top >= 0] *= shade[top >= 0, None]
    img[borders(visible) & (visible != 0)] *= 0.6
    return img


def overlay_image(world, ids: np.ndarray, fill_alpha: float = 0.3) -> np.ndarray:
    """RGBA overlay of a plane of ids: cells tinted by type, borders opaque,
    the medium transparent (to draw cells over a field)."""
    types = np.asarray(world.cell_types(), dtype=np.int64)
    rgba = np.zeros(ids.shape + (4,))
    rgba[..., :3] = TYPE_COLOURS[np.minimum(types[ids], len(TYPE_COLOURS) - 1)]
    cell = ids != 0
    rgba[..., 3] = np.where(cell, fill_alpha, 0.0)
    edge = borders(ids) | borders(ids[::-1, ::-1])[::-1, ::-1]
    rgba[edge & cell, :3] *= 0.45
    rgba[edge & cell, 3] = 1.0
    return rgba


def save_images(path: str, panels, suptitle: str = "", panel_size: float = 4.2) -> str:
    """Save side-by-side RGB images: a list of (image, title)."""
    fig, axes = plt.subplots(
        1, len(panels), figsize=(panel_size * len(panels), panel_size + 0.5), layout="constrained"
    )
    axes = np.atleast_1d(axes)
    for ax, (img, title) in zip(axes, panels):
        ax.imshow(img, origin="lower", interpolation="nearest")
        ax.set_title(title)
        ax.set_xticks([])
        ax.set_yticks([])
    if suptitle:
        fig.suptitle(suptitle)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def type_legend(target, names: dict, loc: str = "upper right", ncols: int = 1) -> None:
    """A legend of coloured patches, one per cell type, on an Axes or a Figure;
    names maps type -> label."""
    from matplotlib.patches import Patch

    handles = [Patch(facecolor=TYPE_COLOURS[t], edgecolor="0.3", label=label) for t, label in names.items()]
    target.legend(handles=handles, loc=loc, ncols=ncols, fontsize=9, framealpha=0.85)


class Clock:
    """Splits a run's time per Monte Carlo step into the engine's (inside
    `step`) and the example's own Python (everything it does between the
    steps): `with clock.engine(20): world.step(20)`, `with clock.python(): ...`."""

    def __init__(self) -> None:
        self.seconds = {"engine": 0.0, "python": 0.0}
        self.mcs = 0

    @contextmanager
    def _part(self, part: str):
        start = time.perf_counter()
        try:
            yield
        finally:
            self.seconds[part] += time.perf_counter() - start

    def engine(self, mcs: int = 1):
        self.mcs += mcs
        return self._part("engine")

    def python(self):
        return self._part("python")

    def report(self) -> str:
        """One line: both parts in ms per MCS, and the Python's share against the engine."""
        engine, python = (1000.0 * self.seconds[p] / max(self.mcs, 1) for p in ("engine", "python"))
        return (f"engine {engine:.3f} ms per MCS, the example's Python between the steps {python:.4f} ms per MCS "
                f"({python / engine if engine else 0.0:.3f} x the engine, {self.mcs} MCS)")
