"""A cell cycle in 2-D: every cell goes through the phases G1, S, G2 and M,
each lasting a random number of Monte Carlo steps drawn per cell. A cell
grows during G1, S and G2 (its target volume rises, held near its volume
when its neighbours squeeze it); when M ends it divides through its centre
across its longest axis, and both daughters start G1 with fresh durations.
A few founders become a colony whose cells are out of step with each other.

The phase, the time spent in it and the four drawn durations are cell
attributes: they follow every division and stay in checkpoints. The cycle
is rules that the engine applies to every cell after each Monte Carlo step,
and a division rule. The expression language has no random numbers, so the
durations are drawn in NumPy, once per cell: a division resets both cells'
durations to "not drawn", a cell waits in G1 until it has them, and every
DRAW_EVERY steps one vectorised call draws them for the cells born since
(G1 lasts at least DRAW_EVERY steps, so no cell waits longer than drawn).
That, and the read-outs for the pictures, is all the Python between steps.

Run:  .venv/bin/python examples/cell_cycle.py
Writes out/cell_cycle.png (the colony coloured by phase, at three times) and
out/cell_cycle_phases.png (the number of cells in each phase over time), and
prints the engine's time per Monte Carlo step and the example's own
Python's between the steps. Set TESSALY_QUICK=1 for a reduced run.
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


DURATIONS = ("g1_length", "s_length", "g2_length", "m_length")  # the attributes holding a cell's drawn durations
NOT_DRAWN = 1e9  # their value until drawn: a cell waits in its phase
DRAW_EVERY = 10  # Monte Carlo steps between two draws for the cells born in them

# every step, for every cell, line by line: the clock of the phase; a cell
# whose phase is over enters the next one, and one leaving M divides (its
# target volume set to twice a daughter's, since both halves take half);
# growth outside M, a squeezed cell's target held near its volume
CYCLE = """
time = time + 1
over = time >= if(phase == 0, g1_length, if(phase == 1, s_length, if(phase == 2, g2_length, m_length)))
divides = over * (phase == 3)
phase = if(over, if(phase == 3, 0, phase + 1), phase)
time = if(over, 0, time)
target_volume = if(divides, 2 * birth, if(phase != 3, min(target_volume + growth, volume + slack), target_volume))
"""


def draw_durations(world: tessaly.World, rng: np.random.Generator) -> int:
    """Draws the four durations (at least one step; G1 at least DRAW_EVERY) of every
    cell that has none yet; returns their number."""
    ids = np.flatnonzero(np.asarray(world.cell_attribute("g1_length"))[1:] >= NOT_DRAWN) + 1
    if len(ids):
        drawn = np.maximum(1.0, np.round(rng.normal(DURATION_MEAN, DURATION_SPREAD, (len(ids), 4))))
        drawn[:, G1] = np.maximum(drawn[:, G1], DRAW_EVERY)
        for k, name in enumerate(DURATIONS):
            world.set_cell_attribute(name, drawn[:, k], ids=ids)
    return len(ids)


def build(size: int, rng: np.random.Generator) -> tessaly.World:
    world = tessaly.World((size, size, 1), "noflux", 2, 10.0)
    middle = size // 2
    for dx, dy in ((-7, -7), (0, -7), (-7, 0), (0, 0)):
        cell = world.add_cell(CELL, BIRTH_VOLUME, 2.0, 0.0, 0.0)
        world.seed_block(cell, middle + dx, middle + dy, 0, middle + dx + 6, middle + dy + 6, 1)
    world.set_contact(0, CELL, 12.0)
    world.set_contact(CELL, CELL, 10.0)
    # a cell's phase, the steps it has spent in it, and its durations; a
    # division starts both cells afresh (the rules have set the phase to G1)
    world.add_cell_attribute("phase", G1, on_divide="copy")
    world.add_cell_attribute("time", 0.0, on_divide="reset")
    for name in DURATIONS:
        world.add_cell_attribute(name, NOT_DRAWN, on_divide="reset")
    world.add_cell_attribute("over", 0.0, on_divide="reset")
    world.add_cell_attribute("divides", 0.0, on_divide="reset")
    # the founders start at random points of G1
    draw_durations(world, rng)
    founders = np.arange(1, world.n_cells() + 1)
    g1 = np.asarray(world.cell_attribute("g1_length"))[founders]
    world.set_cell_attribute("time", np.floor(rng.uniform(0.0, g1)), ids=founders)
    world.add_cell_rule(CYCLE, params={"birth": BIRTH_VOLUME, "growth": GROWTH, "slack": SLACK}, cell_types=[CELL])
    world.set_division_rule("divides", orientation="major", cell_types=[CELL])
    return world


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
    clock = Clock()
    with tqdm(total=mcs, unit="MCS", desc="cell cycle") as bar:
        for done in range(DRAW_EVERY, mcs + 1, DRAW_EVERY):
            with clock.engine(DRAW_EVERY):
                world.step(DRAW_EVERY)
            with clock.python():
                draw_durations(world, rng)
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
    divisions = world.n_cells() - int(counts[0].sum())  # every division registered one record
    print(f"{int(counts[0].sum())} -> {int(counts[-1].sum())} cells, {divisions} divisions")
    print(clock.report())
    print(f"wrote {pictures}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
