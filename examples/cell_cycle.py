"""A cell cycle in 2-D: every cell goes through the phases G1, S, G2 and M,
each lasting a random number of Monte Carlo steps drawn per cell when it
enters the phase. A cell grows during G1, S and G2 (its target volume rises,
held near its volume when its neighbours squeeze it); when M ends it divides
through its centre across its longest axis, and both daughters start G1
with fresh durations. A few founders become a colony whose cells are out of
step with each other.

The phase, the time spent in it and its drawn duration are cell
attributes: they follow every division and stay in checkpoints. Each step's
rules are NumPy operations over those columns, and all the cells that leave
M divide in one `divide_cell` call.

Run:  .venv/bin/python examples/cell_cycle.py
Writes out/cell_cycle.png (the colony coloured by phase, at three times) and
out/cell_cycle_phases.png (the number of cells in each phase over time), and
prints the engine's and the model's time per Monte Carlo step.
Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import sys

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.patches import Patch
from tqdm import tqdm

import tessaly
from plotting import Clock, colour_image, id_grid, out_dir, quick, save_series

CELL = 1
G1, S, G2, M = 0, 1, 2, 3
PHASES = ("G1", "S", "G2", "M")
# mean and spread (standard deviation) of each phase's duration, in Monte Carlo steps
DURATION_MEAN = np.array([120.0, 80.0, 40.0, 20.0])
DURATION_SPREAD = np.array([40.0, 15.0, 10.0, 5.0])
BIRTH_VOLUME = 40.0  # target volume of a daughter
GROWTH = BIRTH_VOLUME / DURATION_MEAN[:M].sum()  # per step of G1, S and G2: a cell doubles over one cycle
SLACK = 6.0  # a squeezed cell's target is held at most this far above its volume
PHASE_COLOURS = np.array([[0.55, 0.75, 0.90], [0.95, 0.75, 0.30], [0.90, 0.45, 0.25], [0.70, 0.25, 0.55]])
MEDIUM_COLOUR = np.array([0.97, 0.97, 0.95])


def draw_durations(rng: np.random.Generator, phase: np.ndarray) -> np.ndarray:
    """A duration for each entry of `phase` (at least one step)."""
    return np.maximum(1.0, np.round(rng.normal(DURATION_MEAN[phase], DURATION_SPREAD[phase])))


def build(size: int, rng: np.random.Generator) -> tessaly.World:
    world = tessaly.World((size, size, 1), "noflux", 2, 10.0)
    middle = size // 2
    for dx, dy in ((-7, -7), (0, -7), (-7, 0), (0, 0)):
        cell = world.add_cell(CELL, BIRTH_VOLUME, 2.0, 0.0, 0.0)
        world.seed_block(cell, middle + dx, middle + dy, 0, middle + dx + 6, middle + dy + 6, 1)
    world.set_contact(0, CELL, 12.0)
    world.set_contact(CELL, CELL, 10.0)
    # a cell's phase, the steps it has spent in it and the steps it will spend there;
    # the rules below set all three for both daughters
    world.add_cell_attribute("phase", G1, on_divide="copy")
    world.add_cell_attribute("time", 0.0, on_divide="reset")
    world.add_cell_attribute("duration", 0.0, on_divide="copy")
    # the founders start at random points of G1
    durations = draw_durations(rng, np.full(world.n_cells(), G1))
    world.set_cell_attribute("duration", durations, ids=np.arange(1, world.n_cells() + 1))
    world.set_cell_attribute("time", np.floor(rng.uniform(0.0, durations)), ids=np.arange(1, world.n_cells() + 1))
    return world


def cycle(world: tessaly.World, rng: np.random.Generator) -> int:
    """One Monte Carlo step of the cycle over all cells; returns the number of divisions."""
    table = world.cell_table()
    ids, volume, target, phase, time, duration = (
        np.asarray(table[column]) for column in ("id", "volume", "target_volume", "phase", "time", "duration")
    )
    alive = (volume > 0) & (ids > 0)
    phase = phase.astype(np.int64)
    # growth outside M; a squeezed cell's target stays near its volume
    growing = alive & (phase != M)
    target = np.where(growing, np.minimum(target + GROWTH, volume + SLACK), target)
    world.set_cell_params(ids[1:], target_volume=target[1:])
    # the clock of each phase; a cell whose phase is over enters the next one
    time = np.where(alive, time + 1.0, time)
    done = alive & (time >= duration)
    phase = np.where(done, (phase + 1) % 4, phase)
    time = np.where(done, 0.0, time)
    duration = np.where(done, draw_durations(rng, phase), duration)
    world.set_cell_attribute("phase", phase)
    world.set_cell_attribute("time", time)
    world.set_cell_attribute("duration", duration)
    # the end of M: division across the major axis; both halves start G1
    # (phase G1 and time 0 are now in both: copied and reset); each daughter draws its own G1
    parents = ids[done & (phase == G1) & (volume >= 2)]  # a cell squeezed to one site cannot divide
    if len(parents) == 0:
        return 0
    daughters = world.divide_cell(parents, "major", (BIRTH_VOLUME, BIRTH_VOLUME))
    world.set_cell_attribute("duration", draw_durations(rng, np.full(len(daughters), G1)), ids=daughters)
    return len(daughters)


def phase_counts(world: tessaly.World) -> np.ndarray:
    """The number of living cells in each phase."""
    table = world.cell_table()
    alive = (np.asarray(table["volume"]) > 0) & (np.asarray(table["id"]) > 0)
    return np.bincount(np.asarray(table["phase"])[alive].astype(np.int64), minlength=4)


def phase_image(world: tessaly.World) -> np.ndarray:
    """The lattice coloured by each cell's phase."""
    colours = np.vstack([MEDIUM_COLOUR, PHASE_COLOURS[np.asarray(world.cell_attribute("phase"))[1:].astype(np.int64)]])
    return colour_image(id_grid(world), colours)


def main() -> int:
    small = quick()
    size, mcs, chunk = (60, 600, 20) if small else (150, 2500, 50)
    rng = np.random.default_rng(2024)
    world = build(size, rng)
    world.finalize(4)
    shots = {chunk * max(1, round(mcs / chunk * f)) for f in (1 / 3, 2 / 3, 1)}
    snapshots = {}
    times, counts = [0], [phase_counts(world)]
    divisions = 0
    clock = Clock()
    with tqdm(total=mcs, unit="MCS", desc="cell cycle") as bar:
        for done in range(1, mcs + 1):
            with clock.engine():
                world.step(1)
            with clock.model():
                divisions += cycle(world, rng)
            if done % chunk == 0:
                times.append(done)
                counts.append(phase_counts(world))
                if done in shots:
                    snapshots[done] = (phase_image(world), int(counts[-1].sum()))
                bar.set_postfix(cells=int(counts[-1].sum()))
                bar.update(chunk)

    out = out_dir()
    fig, axes = plt.subplots(1, len(snapshots), figsize=(4.2 * len(snapshots), 4.7), layout="constrained")
    for ax, (t, (image, n)) in zip(axes, sorted(snapshots.items())):
        ax.imshow(image, origin="lower", interpolation="nearest")
        ax.set_title(f"MCS {t}: {n} cells")
        ax.set_xticks([])
        ax.set_yticks([])
    handles = [Patch(facecolor=c, edgecolor="0.3", label=p) for p, c in zip(PHASES, PHASE_COLOURS)]
    axes[0].legend(handles=handles, loc="upper left", fontsize=9, framealpha=0.85)
    fig.suptitle("A cell cycle with random phase durations: divisions across the major axis")
    pictures = f"{out}/cell_cycle.png"
    fig.savefig(pictures, dpi=110)
    plt.close(fig)
    counts = np.array(counts)
    plot = save_series(
        f"{out}/cell_cycle_phases.png",
        times,
        {name: counts[:, k] for k, name in enumerate(PHASES)},
        "Monte Carlo steps",
        "number of cells",
        "Cells in each phase",
    )
    print(f"{int(counts[0].sum())} -> {int(counts[-1].sum())} cells, {divisions} divisions")
    print(clock.report())
    print(f"wrote {pictures}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
