"""A cell cycle read from SBML decides the divisions: every cell runs its own
copy of the minimal mitotic oscillator (examples/mitotic_oscillator.xml:
cyclin C, active cdc2 kinase M, active cyclin protease X), integrated by the
engine. A cell is armed while its cdc2 activity is low and divides when M
next rises past one half; its mass grows exponentially with one doubling per
cycle and sets its target volume, and a division splits the mass between
the daughters. The founders start at different cyclin levels, so their
clones cycle out of phase; within a clone every cell runs the same copy of
the oscillator, in step. No Python runs between the steps but the
read-outs for the pictures.

Run:  .venv/bin/python examples/cell_cycle_sbml.py   (needs python-libsbml)
Writes out/cell_cycle_sbml.png (the tissue coloured by cdc2 activity at four
times), out/cell_cycle_sbml_count.png (the number of cells over time) and
out/cell_cycle_sbml_traces.png (cdc2 activity of three founders), and prints
the engine's time per Monte Carlo step and the example's own Python's
between the steps. Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import matplotlib
import numpy as np
from tqdm import tqdm

import tessaly
from plotting import TYPE_COLOURS, Clock, colour_image, id_grid, out_dir, quick, save_images, save_series

MODEL = Path(__file__).resolve().parent / "mitotic_oscillator.xml"
CELL = 1
BIRTH_VOLUME = 50.0  # a founder's mass, and about a daughter's
PERIOD = 25.0  # minutes: the oscillator's cycle with the model's parameters
STEP = 0.002  # minutes per RK4 step: the switches of M and X are steep (rates up to ~600/min)

# the cell's own rules, in the expression language: armed while cdc2 is low,
# the target volume follows the mass, a division when cdc2 rises again
RULES = """
armed = if(M < 0.1, 1, armed)
target_volume = mass
"""
DIVIDES = "armed * (M > 0.5)"


def build(size: int, founders: int, minutes_per_mcs: float, seed: int) -> tessaly.World:
    world = tessaly.World((size, size, 1), "noflux", 2, 10.0)
    side = math.isqrt(founders)
    start = size // 2 - 4 * side
    for k in range(founders):
        cell = world.add_cell(CELL, BIRTH_VOLUME, 2.0, 0.0, 0.0)
        x, y = start + 8 * (k % side), start + 8 * (k // side)
        world.seed_block(cell, x, y, 0, x + 7, y + 7, 1)
    world.set_contact(0, CELL, 12.0)
    world.set_contact(CELL, CELL, 10.0)
    # C, M and X become attributes, every cell starting at the model's initial values
    world.add_cell_sbml(MODEL, cell_types=[CELL], dt=minutes_per_mcs, substeps=round(minutes_per_mcs / STEP))
    # out of phase: each founder starts at its own cyclin level
    rng = np.random.default_rng(seed)
    world.set_cell_attribute("C", rng.uniform(0.01, 0.55, founders), ids=list(range(1, founders + 1)))
    world.add_cell_attribute("mass", default=BIRTH_VOLUME, on_divide="split")
    world.add_cell_attribute("armed", default=0.0, on_divide="reset")
    world.add_cell_ode("mass' = growth * mass", params={"growth": math.log(2.0) / PERIOD}, cell_types=[CELL],
                       dt=minutes_per_mcs)
    world.add_cell_rule(RULES, cell_types=[CELL])
    world.set_division_rule(DIVIDES, cell_types=[CELL])
    return world


def cdc2_colours(world: tessaly.World) -> np.ndarray:
    """One colour per cell id: its cdc2 activity M on a colour map (M peaks at about 0.7), the
    medium in its own colour."""
    activity = np.clip(np.asarray(world.cell_attribute("M")) / 0.7, 0.0, 1.0)
    colours = matplotlib.colormaps["viridis"](activity)[:, :3]
    colours[0] = TYPE_COLOURS[0]
    return colours


def main() -> int:
    small = quick()
    size, founders, mcs, minutes_per_mcs = (80, 4, 400, 0.25) if small else (200, 9, 1250, 0.1)
    world = build(size, founders, minutes_per_mcs, seed=3)
    world.finalize(4)
    sample = 5  # Monte Carlo steps between two read-outs
    shots = {sample * round(mcs / sample * f) for f in (0.0, 1 / 3, 2 / 3, 1.0)}
    snapshots = {}
    times, counts = [], []
    traces = {f"founder {k}": [] for k in (1, 2, 3) if k <= founders}

    def read_out(done: int) -> None:
        volumes = np.asarray(world.cell_volumes())
        activity = np.asarray(world.cell_attribute("M"))
        times.append(done * minutes_per_mcs)
        counts.append(int((volumes[1:] > 0).sum()))
        for name in traces:
            # a founder keeps its id through its divisions, and its clone cycles with it
            traces[name].append(float(activity[int(name.split()[1])]))
        if done in shots:
            snapshots[done] = (id_grid(world), cdc2_colours(world))

    read_out(0)
    clock = Clock()
    with tqdm(total=mcs, unit="MCS", desc="cell cycle") as bar:
        for done in range(sample, mcs + 1, sample):
            with clock.engine(sample):
                world.step(sample)
            with clock.python():
                read_out(done)
                bar.set_postfix(cells=counts[-1])
                bar.update(sample)

    out = out_dir()
    pictures = save_images(
        f"{out}/cell_cycle_sbml.png",
        [
            (colour_image(ids, colours), f"{t * minutes_per_mcs:.0f} min: {len(np.unique(ids)) - 1} cells")
            for t, (ids, colours) in sorted(snapshots.items())
        ],
        "A cell cycle from SBML decides divisions (colour: cdc2 activity, dark low, yellow high)",
        panel_size=3.8,
    )
    count = save_series(f"{out}/cell_cycle_sbml_count.png", times, {"cells": counts}, "time (min)",
                        "number of cells", "Cell count: one doubling per cycle of the oscillator")
    trace = save_series(f"{out}/cell_cycle_sbml_traces.png", times, traces, "time (min)",
                        "cdc2 activity M", "The oscillator in three founders, out of phase")
    print(f"{founders} -> {counts[-1]} cells in {times[-1]:.0f} min")
    print(clock.report())
    print(f"wrote {pictures}\nwrote {count}\nwrote {trace}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
