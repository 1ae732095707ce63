"""Cells that move and divide under control: the Act model, persistent
motion, centroids and tracks across periodic faces, chosen divisions and
frozen cells. The physics checks run reduced versions of the modeller's
checks: a single Act cell with the published parameters, persistence that
lasts longer with a larger `persist`."""

import math

import numpy as np
import pytest

from conftest import InternalError, make_world


def act_cell(lambda_act, max_act, seed=3, size=80):
    """One Act cell of the published 2-D parameters (T 20, V 500 with λ 50, a
    perimeter constraint) on a periodic box, tracked."""
    w = make_world(dims=(size, size, 1), boundary="periodic", neighbor_order=2, temperature=20.0)
    c = w.add_cell(1, 500.0, 50.0, 340.0, 2.0)
    w.seed_block(c, 10, 10, 0, 32, 32, 1)
    w.set_contact(0, 1, 20.0)
    w.set_act(1, lambda_act, max_act)
    w.set_tracking(True)
    w.finalize(seed)
    return w


def net_displacement(w, mcs):
    w.step(mcs)
    return math.hypot(*w.cell_tracks()[1][:2])


def test_an_act_cell_migrates_above_the_threshold_and_stops_below_it():
    # the same seeds for each setting; displacement of the tracked centroid over 600 MCS
    stopped = [net_displacement(act_cell(0.0, 40, seed), 600) for seed in (1, 2)]
    weak = [net_displacement(act_cell(200.0, 10, seed), 600) for seed in (1, 2)]
    moving = [net_displacement(act_cell(200.0, 40, seed), 600) for seed in (1, 2)]
    assert max(stopped) < 8.0
    assert min(moving) > 40.0
    assert sum(stopped) < sum(weak) < sum(moving)


def direction_turns(persist, seed=4):
    """Mean angle (radians) between a persistent cell's directions one step apart."""
    w = make_world(dims=(48, 48, 1), boundary="periodic", neighbor_order=2, temperature=10.0)
    c = w.add_cell(1, 100.0, 10.0, 0.0, 0.0)
    w.seed_block(c, 19, 19, 0, 29, 29, 1)
    w.set_contact(0, 1, 6.0)
    w.set_persistence(1, 4.0, 5, persist)
    w.finalize(seed)
    turns, before = [], None
    for _ in range(200):
        w.step(1)
        u = w.cell_directions()[c]
        assert math.isclose(math.hypot(*u), 1.0, rel_tol=1e-12) and u[2] == 0.0
        if before is not None:
            turns.append(math.acos(max(-1.0, min(1.0, sum(a * b for a, b in zip(u, before))))))
        before = u
    table = w.cell_table()
    assert (table["dir_x"][c], table["dir_y"][c], table["dir_z"][c]) == w.cell_directions()[c]
    return sum(turns) / len(turns)


def test_persistence_lasts_longer_with_a_larger_persist():
    assert direction_turns(0.95) < 0.5 * direction_turns(0.2)


def test_the_term_applies_from_the_first_step():
    # the first direction was once drawn at the end of the first step, which then ran as without the term
    def first_step(lambda_dir):
        w = make_world(dims=(48, 48, 1), boundary="periodic", neighbor_order=2, temperature=10.0)
        c = w.add_cell(1, 100.0, 10.0, 0.0, 0.0)
        w.seed_block(c, 19, 19, 0, 29, 29, 1)
        w.set_contact(0, 1, 6.0)
        w.set_persistence(1, lambda_dir, 5, 0.5)
        w.finalize(4)
        w.step(1)
        return w.snapshot()

    assert first_step(4.0) != first_step(0.0)


@pytest.mark.parametrize("method", ["step", "step_parallel"])
def test_a_frozen_cell_never_changes_a_site(method):
    w = make_world(dims=(24, 24, 1), boundary="periodic", neighbor_order=2, temperature=30.0)
    wall = w.add_cell(1, 1.0, 5.0, 0.0, 0.0)  # wants one site: unfrozen it would shrink at once
    w.seed_block(wall, 0, 10, 0, 24, 13, 1)
    mover = w.add_cell(2, 400.0, 5.0, 0.0, 0.0)  # wants to grow over the wall
    w.seed_block(mover, 0, 13, 0, 24, 20, 1)
    w.set_act(2, 50.0, 30)
    w.set_cell_frozen(wall, True)
    w.finalize(5)
    before = w.snapshot()
    getattr(w, method)(30)
    after = w.snapshot()
    assert [i for i, c in enumerate(before) if c == wall] == [i for i, c in enumerate(after) if c == wall]
    assert after != before  # the others did move
    w.set_cell_frozen(wall, False)
    w.step(5)
    assert w.cell_volumes()[wall] < 72


def test_runs_with_every_motility_term_split_in_two_calls_equal_one_call():
    def run(chunks):
        w = act_cell(200.0, 30, seed=9, size=48)
        w.set_persistence(1, 5.0, 4, 0.5)
        for n in chunks:
            w.step(n)
        return w.snapshot(), w.activity_view(), w.cell_directions(), w.cell_tracks()

    assert run([7, 13]) == run([20])


def test_tracks_follow_the_centroid_across_the_periodic_faces():
    w = make_world(dims=(56, 56, 1), boundary="periodic", neighbor_order=2, temperature=20.0)
    c = w.add_cell(1, 500.0, 50.0, 340.0, 2.0)
    w.seed_block(c, 45, 10, 0, 56, 32, 1)  # straddling the x face
    w.seed_block(c, 0, 10, 0, 11, 32, 1)
    w.set_contact(0, 1, 20.0)
    w.set_act(1, 200.0, 40)
    w.set_tracking(True)
    w.finalize(3)
    w.step(1)  # a track starts at the end of the first tracked step
    track, centroid = np.array(w.cell_tracks()[c]), np.array(w.cell_centroids()[c])
    wrapped = 0
    for _ in range(120):
        w.step(1)
        new_track, new_centroid = np.array(w.cell_tracks()[c]), np.array(w.cell_centroids()[c])
        wrapped += np.abs(new_centroid - centroid).max() > 28.0
        step = (new_centroid - centroid + 28.0) % 56.0 - 28.0  # minimum image
        assert np.allclose(new_track - track, step, atol=1e-9)
        track, centroid = new_track, new_centroid
    assert wrapped  # the centroid crossed the face


TRACKING_OFF = "cell_tracks: tracking is off; call set_tracking(True) before stepping"


def test_tracks_are_refused_while_nothing_keeps_them():
    # the fault: zeros for every cell, which read as cells that never moved
    w = act_cell(200.0, 30)
    w.set_tracking(False)
    w.step(3)
    with pytest.raises(RuntimeError) as caught:
        w.cell_tracks()
    assert str(caught.value) == TRACKING_OFF
    w.set_persistence(1, 1.0, 2, 0.5)  # persistence keeps tracks of its own
    assert len(w.cell_tracks()) == 2
    w.set_persistence(1, 0.0, 2, 0.5)
    with pytest.raises(RuntimeError) as caught:
        w.cell_tracks()
    assert str(caught.value) == TRACKING_OFF


def test_centroids_are_right_for_a_cell_straddling_a_periodic_face():
    w = make_world(dims=(10, 6, 1), boundary="periodic")
    c = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 0, 2, 0, 2, 4, 1)
    w.seed_block(c, 8, 2, 0, 10, 4, 1)
    assert w.cell_centroids()[c] == (9.5, 2.5, 0.0)  # unwrapped x −2, −1, 0, 1
    w.finalize(1)
    assert w.cell_coms()[c] == (4.5, 2.5, 0.0)  # the mean of wrapped coordinates keeps its meaning


# ---- chosen divisions ----


def elongated_world(boundary="periodic"):
    """A 12x4 cell lying along x, straddling the periodic x face (x 14..25 unwrapped)."""
    w = make_world(dims=(20, 12, 1), boundary=boundary, neighbor_order=2)
    c = w.add_cell(3, 48.0, 2.0, 30.0, 0.5)
    w.seed_block(c, 14, 4, 0, 20, 8, 1)
    w.seed_block(c, 0, 4, 0, 6, 8, 1)
    return w, c


def extent(w, cell, axis):
    nx, ny, _ = w.dims()
    coords = [((i % nx, i // nx)[axis]) for i, v in enumerate(w.snapshot()) if v == cell]
    length = (nx, ny)[axis]
    # the smallest arc holding every coordinate
    gaps = sorted(set(coords))
    spans = [(gaps[k] - gaps[k - 1]) % length for k in range(len(gaps))]
    return length - max(spans) + 1 if len(gaps) > 1 else 1


@pytest.mark.parametrize(
    ("orientation", "along", "across"), [("major", 0, 1), ("minor", 1, 0), ((1.0, 0.0, 0.0), 0, 1)])
def test_a_division_cuts_as_oriented(orientation, along, across):
    w, parent = elongated_world()
    daughter = w.divide_cell(parent, orientation)
    assert daughter == 2 and w.cell_types()[daughter] == 3
    assert w.cell_volumes()[parent] == w.cell_volumes()[daughter] == 24
    for cell in (parent, daughter):
        assert extent(w, cell, along) == (6 if along == 0 else 2)
        assert extent(w, cell, across) == (12 if across == 0 else 4)


def test_a_major_division_of_a_diagonal_cell_halves_its_length():
    w = make_world(dims=(30, 30, 1), boundary="noflux", neighbor_order=2)
    c = w.add_cell(1, 60.0, 1.0, 0.0, 0.0)
    for k in range(20):  # a diagonal band, 20 long and 3 wide
        w.seed_block(c, 5 + k, 5 + k, 0, 6 + k, 8 + k, 1)
    w.finalize(1)
    d = w.divide_cell(c, target_volumes=(25.0, 35.0))
    nx = 30
    along = {cell: [(i % nx + i // nx) / math.sqrt(2) for i, v in enumerate(w.snapshot()) if v == cell]
             for cell in (c, d)}
    spans = {cell: max(p) - min(p) for cell, p in along.items()}
    whole = max(max(p) for p in along.values()) - min(min(p) for p in along.values())
    assert all(0.35 * whole < span < 0.65 * whole for span in spans.values())
    assert max(along[c]) <= min(along[d]) or max(along[d]) <= min(along[c])  # the cut goes across
    assert w.cell_volumes()[c] + w.cell_volumes()[d] == 60


@pytest.mark.parametrize("divide", ["divide_cell", "divide_cells"])
def test_a_division_keeps_or_sets_the_targets_and_copies_the_parameters(divide):
    w, parent = elongated_world()
    w.set_persistence(3, 2.0, 1, 0.5)
    w.finalize(2)
    w.step(4)
    w.set_cell_frozen(parent, True)
    w.step(1)
    track, direction = w.cell_tracks()[parent], w.cell_directions()[parent]
    assert track != (0.0, 0.0, 0.0)
    if divide == "divide_cell":
        halves = w.divide_cell(parent)
        assert w.divide_cell(halves, "random", (30.0, 11.0)) == 3
    else:
        assert w.divide_cells(0.0, 24.0) == [2]
    # daughters of either method take the frozen flag, the direction and the track, and the cut
    # once counted as movement in the next step's tracks
    assert set(w.cell_directions()[1:]) == {direction}
    divided = w.snapshot()
    w.step(2)
    assert w.cell_tracks()[1:] == [pytest.approx(track, abs=1e-9)] * (len(w.cell_tracks()) - 1)
    assert w.snapshot() == divided  # nobody moved


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((0,), ValueError, "cell_id: expected a registered cell other than the medium"),
        ((7,), ValueError, "cell_id: expected a registered cell other than the medium"),
        ((2,), ValueError, "cell_id: a cell of fewer than two sites cannot divide"),
        ((1, "sideways"), ValueError,
         'orientation: expected "major", "minor", "random" or a tuple of three finite floats, not all 0'),
        ((1, (0.0, 0.0, 0.0)), ValueError,
         'orientation: expected "major", "minor", "random" or a tuple of three finite floats, not all 0'),
        ((1, (1.0, math.nan, 0.0)), ValueError,
         'orientation: expected "major", "minor", "random" or a tuple of three finite floats, not all 0'),
        # a normal along z on a planar box is named as such, not as an empty side
        ((1, (0.0, 0.0, 1.0)), ValueError,
         "orientation: the normal lies out of the plane of a planar box, got (0.0, 0.0, 1.0)"),
        ((1, (0, 0, -3)), ValueError, "orientation: the normal lies out of the plane of a planar box, got (0, 0, -3)"),
        ((1, "random"), RuntimeError, "call finalize() first"),
        ((1, "major", (1.0,)), ValueError, "target_volumes: expected None or a tuple of two floats"),
        ((1, "major", ("a", 2.0)), TypeError, "must be real number, not str"),
        ((1, (1, 2)), ValueError,
         'orientation: expected "major", "minor", "random" or a tuple of three finite floats, not all 0'),
    ],
)
def test_refused_divisions_change_nothing(args, error, message):
    w, _ = elongated_world()
    w.add_cell(1, 1.0, 1.0, 0.0, 0.0)  # cell 2, one site
    w.seed_block(2, 10, 10, 0, 11, 11, 1)
    before = (w.snapshot(), w.n_cells())
    with pytest.raises(error) as caught:
        w.divide_cell(*args)
    assert str(caught.value) == message
    assert (w.snapshot(), w.n_cells()) == before


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda w: w.set_act(1, 1.0, 256), OverflowError, None),
        (lambda w: w.set_act_mean("harmonic"), ValueError, 'kind: expected "geometric" or "arithmetic"'),
        (lambda w: w.set_persistence(1, 1.0, 0, 0.5), ValueError, "delta_t: expected 1 to 10000 steps"),
        (lambda w: w.set_persistence(1, 1.0, 2**32 - 1, 0.5), ValueError, "delta_t: expected 1 to 10000 steps"),
        (lambda w: w.set_persistence(1, 1.0, 5, 1.5), ValueError, "persist: expected a value from 0 to 1"),
        (lambda w: w.set_persistence(1, 1.0, 5, math.nan), ValueError, "persist: expected a value from 0 to 1"),
        (lambda w: w.set_cell_frozen(0, True), ValueError, "cell_id: the medium cannot be frozen"),
        (lambda w: w.set_cell_frozen(9, True), InternalError, "cell id 9 is not registered"),
    ],
)
def test_hostile_settings_are_refused(call, error, message):
    w, _ = elongated_world()
    # a running world with persistence on: a refused delta_t once left it half-changed, and step crashed
    w.set_persistence(3, 1.0, 2, 0.5)
    w.finalize(4)
    w.step(1)
    before = w.to_bytes()
    with pytest.raises(error) as caught:
        call(w)
    if message is not None:
        assert str(caught.value) == message
    assert w.to_bytes() == before
    w.step(3)


def test_the_act_mean_is_geometric_or_arithmetic():
    def run(kind):
        w = act_cell(200.0, 40, seed=6, size=48)
        w.set_act_mean(kind)
        w.step(20)
        return w.snapshot()

    assert run("geometric") != run("arithmetic")
    w = act_cell(200.0, 40)
    view = w.activity_view()  # a live view: the activities of the cell's sites, decaying
    assert (view.format, view.shape, view.readonly, view.nbytes) == ("B", (1, 80, 80), True, 80 * 80)
    assert not any(view.tolist()[0][20])
    w.step(3)
    assert max(np.asarray(view).ravel()) == 39 and min(np.asarray(view).ravel()) == 0
