"""A tumour spheroid fed by oxygen. Oxygen is held at a fixed concentration
at the faces of the dish and diffuses in; the cells take it up with a
saturating (Michaelis-Menten) rate. A well-fed cell grows and divides; a cell
with too little oxygen stops growing (quiescent, with half the uptake); a
cell that stays starved for a while dies: it turns necrotic, takes no more
oxygen and shrinks. As the spheroid grows, a necrotic core forms behind a
rim of dividing cells.

Every cell's state is in its attributes (how long it has starved, its
metabolism), so a checkpoint keeps the model whole. The biology is rules
that the engine applies to every cell after each Monte Carlo step, reading
the oxygen over the cell through `field(oxygen)`, and a division rule: no
Python runs between the steps but the read-outs for the pictures.

Run:  .venv/bin/python examples/spheroid.py
Writes out/spheroid.png (the oxygen field with the cells over it, at three
times) and out/spheroid_counts.png (viable and necrotic cells over time),
and prints the engine's time per Monte Carlo step and the example's own
Python's between the steps.
Set TESSALY_QUICK=1 for a reduced run.
"""

from __future__ import annotations

import math
import sys

import matplotlib.pyplot as plt
import numpy as np
from tqdm import tqdm

import tessaly
from plotting import Clock, id_grid, out_dir, overlay_image, quick, save_series, type_legend

VIABLE, NECROTIC = 1, 2
SIDE = 6  # founder cells are SIDE x SIDE squares
BIRTH_VOLUME = 40.0  # target volume of a founder
DIVISION_VOLUME = 80  # a viable cell divides once its volume reaches this
GROWTH = 0.12  # target volume a well-fed cell adds per Monte Carlo step
SLACK = 6.0  # a squeezed cell's target is held at most this far above its volume
GROW_ABOVE = 0.25  # oxygen (mean over the cell) above which a cell grows
STARVE_BELOW = 0.1  # oxygen below which a cell starves
NECROSIS_DELAY = 30  # Monte Carlo steps of starving before a cell dies
QUIESCENT_METABOLISM = 0.5  # uptake of a cell that does not grow, against a growing one's
SHRINK = 0.05  # target volume a necrotic cell loses per Monte Carlo step
NECROTIC_VOLUME = 20.0  # ... down to this
# oxygen: d = 0.2 per substep, 10 substeps per Monte Carlo step, no decay;
# uptake max_rate * c / (KM + c) per advance
DIFFUSION, SUBSTEPS, KM = 0.2, 10, 0.05

# every step, for each viable cell (lines in order, each for every cell before the next):
# growth while well fed (a squeezed cell's target stays near its volume), the
# starvation clock, the uptake of a quiescent cell, and death once starved too long
VIABLE_RULES = """
target_volume = if(field(oxygen) > grow_above, min(target_volume + growth, volume + slack), target_volume)
starved = if(field(oxygen) < starve_below, starved + 1, 0)
metabolism = if(field(oxygen) > grow_above, 1, quiescent)
cell_type = if(starved >= delay, necrotic, cell_type)
"""
# then every necrotic cell shrinks (those that died in this step included)
NECROTIC_RULES = "target_volume = max(target_volume - shrink, necrotic_volume)"
PARAMETERS = {"grow_above": GROW_ABOVE, "starve_below": STARVE_BELOW, "growth": GROWTH, "slack": SLACK,
              "quiescent": QUIESCENT_METABOLISM, "delay": NECROSIS_DELAY, "necrotic": NECROTIC, "shrink": SHRINK,
              "necrotic_volume": NECROTIC_VOLUME, "division_volume": DIVISION_VOLUME}


def build(size: int) -> tuple[tessaly.World, int]:
    """The world with a disc of founder cells at the centre, and the oxygen field's index."""
    world = tessaly.World((size, size, 1), "noflux", 2, 10.0)
    middle, radius = size / 2, 0.12 * size
    corners = range(int(middle - radius), int(middle + radius), SIDE)
    for y in corners:
        for x in corners:
            if math.hypot(x + SIDE / 2 - middle, y + SIDE / 2 - middle) <= radius:
                cell = world.add_cell(VIABLE, BIRTH_VOLUME, 2.0, 0.0, 0.0)
                world.seed_block(cell, x, y, 0, x + SIDE, y + SIDE, 1)
    # the cells stick together; dead cells stay in the tissue
    world.set_contact(0, VIABLE, 12.0)
    world.set_contact(0, NECROTIC, 12.0)
    for a, b in ((VIABLE, VIABLE), (VIABLE, NECROTIC), (NECROTIC, NECROTIC)):
        world.set_contact(a, b, 10.0)
    # per-cell state: Monte Carlo steps starved so far (a daughter starts afresh),
    # and the scale of the cell's oxygen uptake
    world.add_cell_attribute("starved", 0.0, on_divide="reset")
    world.add_cell_attribute("metabolism", 1.0, on_divide="copy")
    oxygen = world.add_field("oxygen", DIFFUSION, 0.0)
    world.set_field_dynamics(oxygen, 1.0, SUBSTEPS)
    world.set_field_boundary(oxygen, 1.0)
    # the maximal uptake is scaled with the box, so that the reduced run shows the same core
    max_rate = 0.003 * (200 / size) ** 2
    world.set_uptake(oxygen, VIABLE, max_rate, km=KM, scale_by="metabolism")
    np.asarray(world.field_view(oxygen))[...] = 1.0
    add_rules(world)
    return world, oxygen


def add_rules(world: tessaly.World) -> None:
    """The biology, run by the engine after every Monte Carlo step: the rules,
    then divisions of the big viable cells in a random direction (both halves
    get half the parent's target)."""
    world.add_cell_rule(VIABLE_RULES, params=PARAMETERS, cell_types=[VIABLE])
    world.add_cell_rule(NECROTIC_RULES, params=PARAMETERS, cell_types=[NECROTIC])
    world.set_division_rule("volume >= division_volume", orientation="random", params=PARAMETERS,
                            cell_types=[VIABLE])


def counts(world: tessaly.World) -> tuple[int, int]:
    """The numbers of viable and of necrotic cells."""
    table = world.cell_table()
    cell_type, volume = np.asarray(table["type"]), np.asarray(table["volume"])
    return int(((cell_type == VIABLE) & (volume > 0)).sum()), int(((cell_type == NECROTIC) & (volume > 0)).sum())


def draw(ax, conc: np.ndarray, cells: np.ndarray, title: str):
    """The oxygen field as a heat map with the cells (an overlay image) over it."""
    image = ax.imshow(conc, origin="lower", cmap="Greens", vmin=0.0, vmax=1.0, interpolation="bilinear")
    ax.imshow(cells, origin="lower", interpolation="nearest")
    ax.set_title(title)
    ax.set_xticks([])
    ax.set_yticks([])
    return image


def main() -> int:
    small = quick()
    size, warmup, mcs, chunk = (80, 300, 600, 20) if small else (200, 1000, 2500, 50)
    world, oxygen = build(size)
    # the oxygen approaches its profile around the founders before the cells move
    world.advance_fields(warmup)
    world.finalize(3)
    shots = {chunk * max(1, round(mcs / chunk * f)) for f in (1 / 3, 2 / 3, 1)}
    snapshots = {}
    times, viable, necrotic = [0], [counts(world)[0]], [0]
    clock = Clock()
    with tqdm(total=mcs, unit="MCS", desc="spheroid") as bar:
        for done in range(chunk, mcs + 1, chunk):
            with clock.engine(chunk):
                world.step(chunk)
            with clock.python():
                alive, dead = counts(world)
                times.append(done)
                viable.append(alive)
                necrotic.append(dead)
                if done in shots:
                    cells = overlay_image(world, id_grid(world), fill_alpha=0.8)
                    snapshots[done] = (cells, np.asarray(world.field_view(oxygen))[0].copy(), alive, dead)
                bar.set_postfix(viable=alive, necrotic=dead)
                bar.update(chunk)

    out = out_dir()
    fig, axes = plt.subplots(1, len(snapshots), figsize=(4.6 * len(snapshots), 5.0), layout="constrained")
    for ax, (t, (cells, conc, alive, dead)) in zip(axes, sorted(snapshots.items())):
        image = draw(ax, conc, cells, f"MCS {t}: {alive} viable, {dead} necrotic")
    fig.colorbar(image, ax=axes, shrink=0.8, label="oxygen (1 at the faces)")
    type_legend(axes[0], {VIABLE: "viable", NECROTIC: "necrotic"}, loc="lower left")
    fig.suptitle("A tumour spheroid: a rim of dividing cells around a necrotic core")
    pictures = f"{out}/spheroid.png"
    fig.savefig(pictures, dpi=110)
    plt.close(fig)
    plot = save_series(
        f"{out}/spheroid_counts.png",
        times,
        {"necrotic": necrotic, "viable": viable},
        "Monte Carlo steps",
        "number of cells",
        "Spheroid growth: the viable rim and the necrotic core",
    )
    print(f"{viable[0]} -> {viable[-1]} viable cells, {necrotic[-1]} necrotic")
    print(clock.report())
    print(f"wrote {pictures}\nwrote {plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
