"""The optional energy terms and the connectivity constraint from Python:
argument handling of their methods, the documented results, and one short
run per term showing that it steers the dynamics."""

import math

import numpy as np
import pytest

import tessaly

OUT_OF_RANGE = "out of range integral type conversion attempted"


def make_world(dims=(20, 20, 1), boundary="noflux", neighbor_order=2, temperature=2.0):
    return tessaly.World(dims, boundary, neighbor_order, temperature)


def square_cell(w, x0, y0, side=4, cell_type=1, lambda_volume=5.0):
    """A side×side cell at (x0, y0) with its volume as target."""
    c = w.add_cell(cell_type, float(side * side), lambda_volume, 0.0, 0.0)
    w.seed_block(c, x0, y0, 0, x0 + side, y0 + side, 1)
    return c


def finalized(w, seed=1, j=2.0, max_type=1):
    for t in range(1, max_type + 1):
        w.set_contact(0, t, j)
    w.finalize(seed)
    return w


def raises_internal(fn, *args, match=""):
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "InternalError"
    assert not isinstance(info.value, Exception)
    assert match in str(info.value)


def pieces(w, cell_id, order):
    """Number of pieces of a cell in a planar noflux snapshot."""
    nx, ny, _ = w.dims()
    sites = w.snapshot()
    steps = [(dx, dy) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if 0 < abs(dx) + abs(dy) <= order]
    seen = set()
    count = 0
    for start, id_ in enumerate(sites):
        if id_ != cell_id or start in seen:
            continue
        count += 1
        seen.add(start)
        stack = [start]
        while stack:
            i = stack.pop()
            x, y = i % nx, i // nx
            for dx, dy in steps:
                if 0 <= x + dx < nx and 0 <= y + dy < ny:
                    j = x + dx + nx * (y + dy)
                    if j not in seen and sites[j] == cell_id:
                        seen.add(j)
                        stack.append(j)
    return count


def com_x(w, cell_id):
    return w.cell_coms()[cell_id][0]


# ---- arguments ----

ARGUMENT_ERRORS = [
    ("set_connectivity", ("1", True), TypeError, "argument 'cell_type': "),
    ("set_connectivity", (1, 1), TypeError, "argument 'on': "),
    ("set_connectivity", (65536, True), OverflowError, OUT_OF_RANGE),
    ("set_connectivity", (-1, True), OverflowError, OUT_OF_RANGE),
    ("set_connectivity_medium", (None,), TypeError, "argument 'on': "),
    ("set_connectivity_medium", (0,), TypeError, "argument 'on': "),
    ("set_junction", (1, "yes"), TypeError, "argument 'on': "),
    ("set_junction", (70000, True), OverflowError, OUT_OF_RANGE),
    ("set_junction_lambda", ("1.0",), TypeError, "argument 'lambda': "),
    ("set_membrane", ("0123", 1.0, 1.0), TypeError, "argument 'anchors': "),
    ("set_membrane", (5, 1.0, 1.0), TypeError, "argument 'anchors': "),
    ("set_membrane", ([0, "1"], 1.0, 1.0), TypeError, "argument 'anchors': "),
    ("set_membrane", ([0, -1], 1.0, 1.0), OverflowError, ""),
    ("set_membrane", ([0], "k", 1.0), TypeError, "argument 'k': "),
    ("set_membrane", ([0], 1.0, None), TypeError, "argument 'band': "),
    ("set_membrane_anchored", (1, 1.0), TypeError, "argument 'on': "),
    ("set_membrane_anchored", (-2, True), OverflowError, OUT_OF_RANGE),
    ("set_length_constraint", (1, None, 1.0), TypeError, "argument 'target_length': "),
    ("set_length_constraint", (1, 1.0, "x"), TypeError, "argument 'lambda': "),
    ("set_length_constraint", (65536, 1.0, 1.0), OverflowError, OUT_OF_RANGE),
    ("set_external_potential", (1, 0.0, 0.0, "z"), TypeError, "argument 'fz': "),
    ("set_external_potential", (1.5, 0.0, 0.0, 0.0), TypeError, "argument 'cell_type': "),
    ("set_external_potential", (1, 0.0, 0.0), TypeError, ""),
    ("cell_length", ("1",), TypeError, "argument 'cell_id': "),
    ("cell_length", (-1,), OverflowError, OUT_OF_RANGE),
    ("cell_length", (2**32,), OverflowError, OUT_OF_RANGE),
    ("cell_lengths", (0,), TypeError, ""),
]


@pytest.mark.parametrize("method, args, exception, message", ARGUMENT_ERRORS)
def test_argument_errors(method, args, exception, message):
    w = make_world()
    with pytest.raises(exception) as info:
        getattr(w, method)(*args)
    assert type(info.value) is exception
    assert str(info.value).startswith(message)
    if message.startswith("argument '"):
        assert isinstance(info.value.__cause__, TypeError)


SIGNATURES = {
    "set_connectivity": "($self, cell_type, on)",
    "set_connectivity_medium": "($self, on)",
    "set_junction": "($self, cell_type, on)",
    "set_junction_lambda": "($self, lambda)",
    "set_membrane": "($self, anchors, k, band)",
    "set_membrane_anchored": "($self, cell_type, on)",
    "set_length_constraint": "($self, cell_type, target_length, lambda)",
    "set_external_potential": "($self, cell_type, fx, fy, fz)",
    "cell_length": "($self, cell_id)",
    "cell_lengths": "($self)",
}


@pytest.mark.parametrize("method, signature", SIGNATURES.items())
def test_signatures(method, signature):
    assert getattr(tessaly.World, method).__text_signature__ == signature


def test_setters_accept_keywords_numpy_bools_and_return_none():
    w = make_world()
    assert w.set_connectivity(cell_type=1, on=np.bool_(True)) is None
    assert w.set_connectivity_medium(on=False) is None
    assert w.set_junction(cell_type=2, on=np.True_) is None
    assert w.set_junction_lambda(**{"lambda": 1}) is None
    assert w.set_membrane(anchors=(0, 1, 10**6), k=1, band=0) is None
    assert w.set_membrane(range(3), 1.0, 0.0) is None
    assert w.set_membrane([], 1.0, 0.0) is None
    assert w.set_membrane_anchored(cell_type=65535, on=False) is None
    assert w.set_length_constraint(cell_type=3, target_length=5, **{"lambda": 0.5}) is None
    assert w.set_external_potential(cell_type=1, fx=0, fy=0.5, fz=np.float64(-1.0)) is None


def test_setters_work_after_finalize():
    w = finalized(make_world())
    w.set_connectivity(1, True)
    w.set_connectivity_medium(True)
    w.set_junction(1, True)
    w.set_junction_lambda(2.0)
    w.set_membrane([0], 1.0, 2.0)
    w.set_membrane_anchored(1, True)
    w.set_length_constraint(1, 5.0, 0.0)
    w.set_external_potential(1, 0.0, 0.0, 1.0)
    w.step(1)
    assert w.snapshot() == [0] * 400


# ---- lengths ----


def test_cell_lengths_of_painted_shapes():
    w = make_world(dims=(12, 12, 1))
    row = w.add_cell(1, 10.0, 1.0, 0.0, 0.0)
    w.seed_block(row, 0, 0, 0, 10, 1, 1)
    square = w.add_cell(1, 16.0, 1.0, 0.0, 0.0)
    w.seed_block(square, 2, 4, 0, 6, 8, 1)
    pair = w.add_cell(1, 2.0, 1.0, 0.0, 0.0)
    w.seed_block(pair, 8, 8, 0, 9, 10, 1)
    dot = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(dot, 11, 11, 0, 12, 12, 1)
    empty = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    # trackers are computed by finalize: every length is 0 until then
    assert w.cell_lengths() == [0.0] * 6
    assert w.cell_length(row) == 0.0
    w.finalize(1)
    assert w.cell_length(row) == math.sqrt(99)
    assert w.cell_length(square) == math.sqrt(15)
    assert w.cell_length(pair) == math.sqrt(3)
    assert w.cell_length(dot) == 0.0
    assert w.cell_length(empty) == 0.0
    lengths = w.cell_lengths()
    assert len(lengths) == w.n_cells() + 1 == 6
    assert lengths == [w.cell_length(i) for i in range(6)]
    assert all(type(v) is float for v in lengths)


def test_cell_length_of_a_diagonal():
    w = make_world(dims=(5, 5, 5), neighbor_order=3)
    c = w.add_cell(1, 5.0, 1.0, 0.0, 0.0)
    for i in range(5):
        w.seed_block(c, i, i, 0, i + 1, i + 1, 1)
    d = w.add_cell(1, 5.0, 1.0, 0.0, 0.0)
    for i in range(5):
        w.seed_block(d, i, 4 - i, i, i + 1, 5 - i, i + 1)
    w.finalize(1)
    assert w.cell_length(c) == pytest.approx(math.sqrt(48), abs=1e-12)
    assert w.cell_length(d) == pytest.approx(math.sqrt(72), abs=1e-12)


def test_cell_length_beyond_the_registry_is_internal():
    w = make_world()
    w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    raises_internal(w.cell_length, 2, match="2")
    w.finalize(1)
    raises_internal(w.cell_length, 2, match="2")
    assert w.cell_length(1) == 0.0  # the object still answers


# ---- dynamics ----


def run_snapshot(configure, seed=3, steps=30):
    """Snapshot after a short hot run of two cells, configured by `configure`."""
    w = make_world(temperature=4.0)
    a = square_cell(w, 4, 8, cell_type=1)
    b = square_cell(w, 9, 8, cell_type=2)
    configure(w, a, b)
    finalized(w, seed=seed, max_type=2)
    w.step(steps)
    return w.snapshot()


@pytest.mark.filterwarnings("ignore:the lambda of set_length_constraint is negative:RuntimeWarning")
def test_switched_off_terms_leave_the_dynamics_alone():
    # each term's guard: a configuration that adds nothing must give the
    # very same run as no configuration at all
    plain = run_snapshot(lambda w, a, b: None)
    off = [
        lambda w, a, b: w.set_connectivity(5, False),
        lambda w, a, b: w.set_connectivity_medium(False),
        lambda w, a, b: (w.set_junction(1, True), w.set_junction(2, True), w.set_junction_lambda(0.0)),
        lambda w, a, b: (w.set_junction(1, True), w.set_junction(2, True), w.set_junction_lambda(-3.0)),
        lambda w, a, b: (w.set_junction_lambda(5.0), w.set_junction(1, False)),
        lambda w, a, b: (w.set_membrane([0, 1, 2], 1.0, 0.0), w.set_membrane([], 1.0, 0.0), w.set_membrane_anchored(1, True)),
        lambda w, a, b: (w.set_membrane([0], 1.0, 0.0), w.set_membrane_anchored(3, True)),
        lambda w, a, b: w.set_length_constraint(1, 10.0, 0.0),
        lambda w, a, b: w.set_length_constraint(1, 10.0, -1.0),
        lambda w, a, b: w.set_external_potential(1, 0.0, 0.0, 0.0),
        lambda w, a, b: w.set_external_potential(3, 5.0, 5.0, 5.0),
    ]
    for configure in off:
        assert run_snapshot(configure) == plain
    # and one that adds something does change the run
    assert run_snapshot(lambda w, a, b: w.set_external_potential(1, 1.0, 0.0, 0.0)) != plain


def tissue(guard_cells, guard_medium, seed=5):
    """Twelve cells packed in a hot noflux box, order 1."""
    w = make_world(dims=(24, 16, 1), neighbor_order=1, temperature=6.0)
    ids = []
    for row in range(3):
        for col in range(4):
            c = w.add_cell(1, 25.0, 0.5, 0.0, 0.0)
            w.seed_block(c, 1 + 5 * col + col // 2, 1 + 5 * row, 0, 6 + 5 * col + col // 2, 6 + 5 * row, 1)
            ids.append(c)
    if guard_cells:
        w.set_connectivity(1, True)
    if guard_medium:
        w.set_connectivity_medium(True)
    w.set_contact(1, 1, 2.0)
    finalized(w, seed=seed)
    return w, ids


def test_connectivity_keeps_cells_in_one_piece():
    w, ids = tissue(True, False)
    loose, loose_ids = tissue(False, False)
    split = 0
    for _ in range(10):
        w.step(5)
        loose.step(5)
        for c in ids:
            if w.cell_volumes()[c] > 0:
                assert pieces(w, c, 1) == 1
        split += sum(pieces(loose, c, 1) > 1 for c in loose_ids)
    assert split > 0  # unguarded, the same tissue tears


def test_connectivity_medium_keeps_the_medium_in_one_piece():
    w, _ = tissue(False, True)
    loose, _ = tissue(False, False)
    pockets = 0
    for _ in range(10):
        w.step(5)
        loose.step(5)
        assert pieces(w, 0, 1) == 1
        pockets += pieces(loose, 0, 1) > 1
    assert pockets > 0


def pinches(w):
    """(medium site, axis) pairs pinched between two different cells, planar box."""
    nx, ny, _ = w.dims()
    sites = w.snapshot()
    count = 0
    for y in range(ny):
        for x in range(nx):
            if sites[x + nx * y] != 0:
                continue
            pairs = []
            if 1 <= x < nx - 1:
                pairs.append((sites[x - 1 + nx * y], sites[x + 1 + nx * y]))
            if 1 <= y < ny - 1:
                pairs.append((sites[x + nx * (y - 1)], sites[x + nx * (y + 1)]))
            count += sum(a != 0 and b != 0 and a != b for a, b in pairs)
    return count


def test_junction_suppresses_one_site_gaps():
    # two mildly repelling cells across a one-site gap: without the term the
    # gap opens and closes freely; with it every pinch costs λJ per axis
    seen = {}
    for lam in (0.0, 6.0):
        total = 0
        for seed in range(3):
            w = make_world(dims=(24, 12, 1), temperature=3.0)
            square_cell(w, 5, 4, cell_type=1)
            square_cell(w, 10, 4, cell_type=2)
            w.set_junction(1, True)
            w.set_junction(2, True)
            w.set_junction_lambda(lam)
            w.set_contact(1, 2, 4.0)
            finalized(w, seed=seed, max_type=2)
            for _ in range(20):
                w.step(3)
                total += pinches(w)
        seen[lam] = total
    assert seen[6.0] * 3 < seen[0.0]


def test_membrane_draws_anchored_cells_to_the_anchors():
    xs = {}
    for anchored in (False, True):
        w = make_world(dims=(30, 10, 1))
        c = square_cell(w, 14, 3)
        w.set_membrane([30 * y for y in range(10)], 0.05, 1.0)  # the column x = 0
        w.set_membrane_anchored(1, anchored)
        finalized(w, seed=5)
        w.step(200)
        xs[anchored] = com_x(w, c)
    assert xs[False] > 10.0
    assert xs[True] < 8.0


def test_length_constraint_elongates_cells():
    lengths = {}
    for lam in (0.0, 1.0):
        w = make_world(dims=(30, 30, 1))
        c = square_cell(w, 13, 13)
        w.set_length_constraint(1, 12.0, lam)
        finalized(w, seed=3)
        w.step(150)
        lengths[lam] = w.cell_length(c)
    assert lengths[0.0] < 7.0
    assert lengths[1.0] > 9.0


def test_external_potential_drives_drift():
    for fx in (0.5, -0.5):
        w = make_world(dims=(80, 12, 1))
        c = square_cell(w, 38, 4, lambda_volume=2.0)
        w.set_external_potential(1, fx, 0.0, 0.0)
        finalized(w, seed=11)
        before = com_x(w, c)
        w.step(400)
        shift = com_x(w, c) - before
        assert shift > 12.0 if fx > 0 else shift < -12.0
