"""The parallel checkerboard sweep: refusals, phase rule, trackers, results
that do not depend on the number of worker threads, and agreement with the
sequential dynamics in distribution."""

import json
import os
import signal
import statistics
import subprocess
import sys
import textwrap
import time
import warnings
from collections import Counter

import pytest

import tessaly
from conftest import InternalError, make_world

BLOCK_MESSAGE = "block side must be >= 2"
CONTACTS = ((0, 1, 16.0), (0, 2, 16.0), (1, 1, 2.0), (2, 2, 14.0), (1, 2, 11.0))

# A sorting model with every term the parallel sweep evaluates, built and run
# the same way in each subprocess; prints the thread count of the process and
# the state reached on each box.
DIGEST_SCRIPT = textwrap.dedent(
    """
    import json, os, tessaly

    CONTACTS = ((0, 1, 16.0), (0, 2, 16.0), (1, 1, 2.0), (2, 2, 14.0), (1, 2, 11.0))

    def busy_world(dims, boundary, order, lambda_surface):
        w = tessaly.World(dims, boundary, order, 6.0)
        nx, ny, nz = dims
        depth = 4 if nz >= 2 else 1
        k = 0
        for z in range(0, nz - depth + 1, depth):
            for y in range(1, ny - 4, 4):
                for x in range(1, nx - 4, 4):
                    c = w.add_cell(1 + (k % 3 == 0), 16.0 * depth, 1.0, 8.0 * depth, lambda_surface)
                    w.seed_block(c, x, y, z, x + 4, y + 4, z + depth)
                    k += 1
        for a, b, j in CONTACTS:
            w.set_contact(a, b, j)
        w.set_connectivity(1, True)
        w.set_external_potential(2, 0.5, -0.25, 0.125)
        w.set_membrane([0], 0.001, 4.0)
        w.set_membrane_anchored(1, True)
        w.set_junction(1, True)
        w.set_junction(2, True)
        w.set_junction_lambda(3.0)
        w.set_length_constraint(2, 6.0, 0.5)
        f = w.add_field("signal", 0.1, 0.01)
        w.set_secretion(f, 1, 0.5)
        w.set_chemotaxis(f, 2, 20.0)
        w.set_uptake(f, 2, 0.3, 0.5)
        w.set_field_boundary(f, 0.2)
        w.set_act(2, 30.0, 20)
        w.set_persistence(1, 2.0, 3, 0.5)
        w.set_cell_frozen(1, True)
        w.add_cell_rule("target_volume = target_volume + 8", cell_types=[2])
        w.set_division_rule("volume > 28", orientation="random", cell_types=[2])
        w.add_link(2, 3, 1.0, 4.0)
        w.set_link_formation(1, 2, 0.5, 5.0, 7.0, 3)
        w.finalize(19)
        w.cell_neighbors()  # kept by the tiles' copies from here on
        return w

    CASES = [
        ((40, 40, 1), "periodic", 2, 0.0, 16),   # three tiles per axis, the first and last touching
        ((30, 22, 1), "noflux", 1, 0.4, 4),
        ((18, 18, 18), "periodic", 3, 0.0, 6),   # three tiles on every axis
        ((15, 12, 10), "noflux", 2, 0.2, 4),
    ]
    states = []
    threads = None
    for dims, boundary, order, lambda_surface, block in CASES:
        w = busy_world(dims, boundary, order, lambda_surface)
        w.step_parallel(4, block)
        threads = len(os.listdir("/proc/self/task"))
        w.step_parallel(3, block)
        states.append([w.snapshot(), w.cell_volumes(), w.cell_surfaces(), w.cell_coms(), w.field_conc(0),
                       w.activity_view().tolist(), w.cell_directions(), w.cell_tracks(),
                       [list(column) for column in w.cell_neighbors().values()],
                       [m if m == m else None for m in w.field_means(0)],
                       [list(column) for column in w.cell_links().values()]])
    print(json.dumps({"threads": threads, "states": states}))
    """
)


def run_digest(threads_setting):
    """Runs DIGEST_SCRIPT in a fresh interpreter with RAYON_NUM_THREADS set (None: unset)."""
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads_setting is not None:
        env["RAYON_NUM_THREADS"] = threads_setting
    module_dir = os.path.dirname(tessaly.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    out = subprocess.run([sys.executable, "-c", DIGEST_SCRIPT], env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def sorting_world(seed=1, dims=(24, 24, 1), boundary="noflux", neighbor_order=2, temperature=12.0):
    """A finalized grid of 4x4 cells of two types with sorting contact energies."""
    w = make_world(dims=dims, boundary=boundary, neighbor_order=neighbor_order, temperature=temperature)
    k = 0
    for y in range(2, dims[1] - 5, 5):
        for x in range(2, dims[0] - 5, 5):
            c = w.add_cell(1 + (k % 2), 16.0, 2.0, 0.0, 0.0)
            w.seed_block(c, x, y, 0, x + 4, y + 4, 1)
            k += 1
    for a, b, j in CONTACTS:
        w.set_contact(a, b, j)
    w.finalize(seed)
    return w


def assert_trackers_exact(w):
    """Volumes, surfaces and centres of mass agree with the site array."""
    nx, ny, _ = w.dims()
    sites = w.snapshot()
    counts = Counter(sites)
    volumes = w.cell_volumes()
    assert volumes == [counts.get(c, 0) for c in range(len(volumes))]
    surfaces = w.cell_surfaces()
    assert surfaces[1:] == [sum(w.cell_contact_area_by_type(c).values()) for c in range(1, len(surfaces))]
    sums = {}
    for i, c in enumerate(sites):
        s = sums.setdefault(c, [0, 0, 0])
        s[0] += i % nx
        s[1] += (i // nx) % ny
        s[2] += i // (nx * ny)
    for c, com in enumerate(w.cell_coms()):
        if volumes[c]:
            assert com == tuple(v / volumes[c] for v in sums[c])


# ---- refusals and phase ----


def test_step_parallel_needs_a_finalized_world():
    w = make_world()
    with pytest.raises(RuntimeError, match=r"^call finalize\(\) first$"):
        w.step_parallel(1)
    with pytest.raises(RuntimeError, match=r"^call finalize\(\) first$"):
        w.step_parallel(0, 1)


@pytest.mark.parametrize("mcs, block", [(10, 1), (10, 0), (0, 1)])
def test_refusals_leave_the_world_and_generator_unchanged(mcs, block):
    w, twin = sorting_world(seed=4), sorting_world(seed=4)
    for world in (w, twin):
        world.step(2)
    with pytest.raises(InternalError) as info:
        w.step_parallel(mcs, block)
    assert str(info.value) == BLOCK_MESSAGE
    assert w.snapshot() == twin.snapshot()
    # the generator did not move: the next parallel step, whose tile seeds
    # derive from the generator's next word, matches the twin's
    w.step_parallel(2, 8)
    twin.step_parallel(2, 8)
    assert w.snapshot() == twin.snapshot()
    assert w.cell_volumes() == twin.cell_volumes()
    w.step(3)
    twin.step(3)
    assert w.snapshot() == twin.snapshot()


def test_a_length_constraint_of_any_strength_is_accepted():
    w = sorting_world()
    w.set_length_constraint(1, 5.0, 0.5)
    w.set_length_constraint(2, 5.0, -1.0)
    before = w.snapshot()
    w.step_parallel(3, 8)
    assert w.snapshot() != before
    assert_trackers_exact(w)


def test_zero_steps_draw_one_word_and_change_nothing_else():
    w, twin = sorting_world(seed=6), sorting_world(seed=6)
    w.step_parallel(0)
    assert w.snapshot() == twin.snapshot()
    assert w.cell_volumes() == twin.cell_volumes()
    # the next call seeds its tiles from the following word
    w.step_parallel(2, 8)
    twin.step_parallel(2, 8)
    assert w.snapshot() != twin.snapshot()


# ---- trackers ----


@pytest.mark.parametrize(
    "dims, boundary, order, block",
    [
        ((24, 24, 1), "noflux", 2, 8),
        ((40, 40, 1), "periodic", 1, 16),
        ((12, 12, 9), "periodic", 3, 4),
        ((1, 9, 9), "periodic", 1, 2),
    ],
)
def test_trackers_stay_exact(dims, boundary, order, block):
    w = make_world(dims=dims, boundary=boundary, neighbor_order=order, temperature=8.0)
    nx, ny, nz = dims
    for z in range(0, nz, 3):
        for y in range(0, ny - 2, 3):
            for x in range(0, nx, 3):
                c = w.add_cell(1 + (x + y) % 2, 9.0, 1.0, 12.0, 0.2)
                w.seed_block(c, x, y, z, min(x + 3, nx), y + 3, min(z + 3, nz))
    for a, b, j in CONTACTS:
        w.set_contact(a, b, j)
    w.set_connectivity(2, True)
    w.finalize(2)
    w.step_parallel(15, block)
    assert_trackers_exact(w)


# ---- worker counts ----


def test_results_do_not_depend_on_the_worker_count():
    runs = {n: run_digest(str(n)) for n in (1, 2, 3, 8)}
    for n, run in runs.items():
        assert run["threads"] == n  # the caller is one of the workers
    reference = runs[1]["states"]
    for run in runs.values():
        assert run["states"] == reference


@pytest.mark.parametrize("setting", [None, "0", "-2", "two", "", " 3"])
def test_the_default_worker_count_is_the_processors_available(setting):
    run = run_digest(setting)
    assert run["threads"] == len(os.sched_getaffinity(0))


def test_a_forked_child_starts_a_pool_of_its_own():
    # Regression: the child inherits the pool's record but none of its
    # workers, and must not wait for them forever.
    sorting_world().step_parallel(1, 8)  # the parent's pool exists
    w, twin = sorting_world(seed=9), sorting_world(seed=9)
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a process with threads
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            w.step_parallel(2, 8)
            os.write(write_end, json.dumps(w.snapshot()).encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    deadline = time.monotonic() + 30.0
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if done[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("step_parallel in a forked child did not finish")
    with os.fdopen(read_end, "rb") as pipe:
        snapshot = json.loads(pipe.read())
    assert os.waitstatus_to_exitcode(done[1]) == 0
    twin.step_parallel(2, 8)
    assert snapshot == twin.snapshot()


# ---- agreement with the sequential dynamics ----


def test_the_parallel_sweep_tracks_the_sequential_one():
    # A 64x64 sorting model, equilibrated by step; from the same state each
    # dynamics then runs 500 steps, sampled every 5. Pooled over three seeds,
    # mean volume, mean surface and the heterotypic contact area agree.
    def model(seed):
        w = tessaly.World((64, 64, 1), "periodic", 2, 12.0)
        for j in range(8):
            for i in range(8):
                c = w.add_cell(1 + (i * 3 + j * 5) % 7 % 2, 49.0, 2.0, 0.0, 0.0)
                w.seed_block(c, 8 * i + 1, 8 * j + 1, 0, 8 * i + 8, 8 * j + 8, 1)
        for a, b, j in CONTACTS:
            w.set_contact(a, b, j)
        w.finalize(seed)
        w.step(1000)
        return w

    def heterotypic(w):
        types = w.cell_types()
        return sum(w.cell_contact_area_by_type(c).get(3 - types[c], 0) for c in range(1, len(types)))

    def sample(advance):
        volume, surface, contact = [], [], []
        for seed in (1, 2, 3):
            w = model(seed)
            for _ in range(100):
                advance(w)
                volume.append(statistics.mean(w.cell_volumes()[1:]))
                surface.append(statistics.mean(w.cell_surfaces()[1:]))
                contact.append(heterotypic(w))
        return statistics.mean(volume), statistics.mean(surface), statistics.mean(contact)

    volume, surface, contact = sample(lambda w: w.step(5))
    volume_p, surface_p, contact_p = sample(lambda w: w.step_parallel(5, 16))
    assert volume_p == pytest.approx(volume, rel=0.01)
    assert surface_p == pytest.approx(surface, rel=0.03)
    assert contact_p == pytest.approx(contact, rel=0.08)


def test_the_parallel_length_constraint_tracks_the_sequential_one():
    # Cells of type 1 under a length constraint (type 2 free, and spread to
    # about twice the length); from the same equilibrated state each dynamics
    # runs 200 steps, sampled every 5. Pooled over two seeds, the mean length
    # of the constrained cells agrees (a tile reads their coordinate sums as
    # the registry plus its own changes).
    def model(seed):
        w = tessaly.World((48, 48, 1), "periodic", 2, 12.0)
        for j in range(4):
            for i in range(4):
                c = w.add_cell(1 + (i + j) % 2, 49.0, 2.0, 0.0, 0.0)
                w.seed_block(c, 12 * i + 2, 12 * j + 2, 0, 12 * i + 9, 12 * j + 9, 1)
        for a, b, j in CONTACTS:
            w.set_contact(a, b, j)
        w.set_length_constraint(1, 12.0, 1.0)
        w.finalize(seed)
        w.step(300)
        return w

    def mean_length(advance):
        lengths = []
        for seed in (1, 2):
            w = model(seed)
            for _ in range(40):
                advance(w)
                types = w.cell_types()
                lengths.extend(length for c, length in enumerate(w.cell_lengths()) if types[c] == 1)
        return statistics.mean(lengths)

    assert mean_length(lambda w: w.step_parallel(5, 16)) == pytest.approx(mean_length(lambda w: w.step(5)), rel=0.03)
