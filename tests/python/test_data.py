"""Data in and out: views of the lattice and the fields, labels from arrays,
the cell table, per-cell parameters, the World's repr and the warnings of
finalize."""

import copy
import gc
import pickle
import re
import warnings
from pathlib import Path

import numpy as np
import pytest

import tessaly
from conftest import InternalError, make_block_world, make_world

SHAPE = (2, 3, 4)  # (nz, ny, nx) of the worlds below


def labelled_world():
    """A 4x3x2 world seeded with three cells, a field, not yet finalized."""
    w = make_world(dims=SHAPE[::-1], neighbor_order=2)
    labels = np.zeros(SHAPE, dtype=np.uint32)
    labels[0, :2, :2], labels[1, 1:, 2:], labels[1, 0, 0] = 5, 9, 2
    w.seed_from_labels(labels, {9: 2}, 1, 4.0, 1.0)
    w.add_field("c", 0.1, 0.01)
    for a, b, j in ((0, 1, 6.0), (0, 2, 6.0), (1, 2, 3.0)):
        w.set_contact(a, b, j)
    return w


# ---- views ----


def test_views_show_the_world_memory_in_both_phases():
    w = labelled_world()
    sites, conc = w.site_view(), w.field_view(0)
    assert (sites.format, sites.shape, sites.strides, sites.readonly) == ("I", SHAPE, (48, 16, 4), True)
    assert (conc.format, conc.shape, conc.strides, conc.readonly) == ("f", SHAPE, (48, 16, 4), False)
    ids, field = np.asarray(sites), np.asarray(conc)
    assert not ids.flags.writeable and field.flags.writeable
    # writing into the field view sets the field
    field[1, 2, 3] = 2.5
    assert w.field_value_at(0, 3, 2, 1) == 2.5
    # the views taken before finalize show the running world, step after step
    w.finalize(3)
    for _ in range(5):
        w.step(4)
        assert ids.ravel().tolist() == w.snapshot()
        assert field.ravel().tolist() == w.field_conc(0)
    # no copy: every view of the world shares one block of memory
    assert np.shares_memory(ids, np.asarray(w.site_view()))
    with pytest.raises(TypeError):
        sites[0, 0, 0] = 1
    with pytest.raises(InternalError):
        w.field_view(1)


def test_a_view_keeps_its_world_alive():
    w = make_block_world()
    ids = np.asarray(w.site_view())
    expected = w.snapshot()
    del w
    gc.collect()
    assert ids.ravel().tolist() == expected


# ---- labels from arrays ----


LAYOUTS = {
    "uint8": lambda a: a.astype(np.uint8),
    "int16 flat": lambda a: a.astype(np.int16).ravel(),
    "uint32": lambda a: a.astype(np.uint32),
    "int64 Fortran": lambda a: np.asfortranarray(a.astype(np.int64)),
    "uint64 strided": lambda a: np.repeat(a.astype(np.uint64), 2, axis=2)[:, :, ::2],
    "int32 reversed": lambda a: a.astype(np.int32)[::-1, ::-1, ::-1].copy()[::-1, ::-1, ::-1],
    "bytes": lambda a: a.astype(np.uint8).tobytes(),
    "memoryview": lambda a: memoryview(a.astype(np.uint16)),
    # arrays of the other byte order were once refused
    "big-endian int32": lambda a: a.astype(">i4"),
    "big-endian uint16 strided": lambda a: np.repeat(a.astype(">u2"), 2, axis=2)[:, :, ::2],
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_labels_from_any_integer_array_seed_as_their_list_does(layout):
    labels = np.random.default_rng(1).integers(0, 6, SHAPE)
    by_list, by_array = make_world(dims=SHAPE[::-1]), make_world(dims=SHAPE[::-1])
    created = by_list.seed_from_labels(labels.ravel().tolist(), {3: 2}, 1, 4.0, 1.0)
    assert list(by_array.seed_from_labels(LAYOUTS[layout](labels), {3: 2}, 1, 4.0, 1.0).items()) == list(created.items())
    assert by_array.snapshot() == by_list.snapshot() and by_array.cell_types() == by_list.cell_types()


@pytest.mark.parametrize(
    "labels, error, message",
    [
        (np.zeros(24), TypeError, "argument 'labels': expected a buffer of integers, got one of format 'd'"),
        (np.zeros(24, dtype=bool), TypeError, "argument 'labels': expected a buffer of integers, got one of format '?'"),
        (np.zeros(24, dtype=">f4"), TypeError, "argument 'labels': expected a buffer of integers, got one of format '>f'"),
        # a wrong length gets the rule of a list, an empty array included; bad values are named first, as in a list
        (np.zeros(23, dtype=np.uint32), InternalError, "labels length must equal n_sites"),
        (np.zeros((4, 4, 4), dtype=np.uint8), InternalError, "labels length must equal n_sites"),
        (np.zeros(0, dtype=np.int64), InternalError, "labels length must equal n_sites"),
        (np.full(23, -3, dtype=np.int8), ValueError, "labels: every label must lie in [0, 4294967295], got -3"),
        # a 0-d array is one number, as for every other sequence argument
        (np.array(3), TypeError, "argument 'labels': 'numpy.ndarray' object cannot be converted to 'Sequence'"),
        (np.full(24, -3, dtype=np.int8), ValueError, "labels: every label must lie in [0, 4294967295], got -3"),
        (np.full(24, 2**32, dtype=np.int64), ValueError,
         "labels: every label must lie in [0, 4294967295], got 4294967296"),
        (np.full(24, 2**64 - 1, dtype=np.uint64), ValueError,
         "labels: every label must lie in [0, 4294967295], got 18446744073709551615"),
    ],
)
def test_bad_label_arrays_are_refused_and_change_nothing(labels, error, message):
    w = make_world(dims=SHAPE[::-1])
    with pytest.raises(error) as info:
        w.seed_from_labels(labels, {}, 1, 4.0, 1.0)
    assert str(info.value) == message
    assert w.n_cells() == 0 and w.snapshot() == [0] * 24


def test_the_world_can_be_seeded_from_its_own_view():
    w = labelled_world()
    before = w.snapshot()
    created = w.seed_from_labels(w.site_view(), {}, 1, 4.0, 1.0)
    assert created == {1: 4, 2: 5, 3: 6}
    assert w.snapshot() == [created.get(v, 0) for v in before]


# ---- the cell table and per-cell parameters ----


def test_the_cell_table_matches_the_list_read_outs():
    pandas = pytest.importorskip("pandas")
    w = labelled_world()
    w.set_cell_secretion_scale(0, 2, 0.25)
    w.finalize(2)
    w.step(10)
    table = w.cell_table()
    frame = pandas.DataFrame(table)
    assert list(frame.columns) == ["id", "type", "volume", "surface", "target_volume", "lambda_volume",
                                   "target_surface", "lambda_surface", "com_x", "com_y", "com_z",
                                   "dir_x", "dir_y", "dir_z", "secretion_scale_0"]
    assert frame["secretion_scale_0"].tolist() == [1.0, 1.0, 0.25, 1.0]  # 1 where no scale was set
    assert frame["id"].tolist() == list(range(w.n_cells() + 1))
    assert frame["type"].tolist() == w.cell_types()
    assert frame["volume"].tolist() == w.cell_volumes() and frame["surface"].tolist() == w.cell_surfaces()
    assert list(zip(frame["com_x"], frame["com_y"], frame["com_z"])) == w.cell_coms()
    assert frame["target_volume"].tolist() == [0.0, 4.0, 4.0, 4.0]
    assert np.asarray(table["lambda_volume"]).dtype == np.float64


def surface_world(params_later):
    """Two cells with a surface term, given at add_cell or later through set_cell_params."""
    w = make_world(dims=(12, 12, 1), neighbor_order=2, temperature=4.0)
    for k, (x, t) in enumerate(((2, 1), (6, 2))):
        if params_later:
            c = w.add_cell(t, 1.0, 0.0, 0.0, 0.0)
            w.set_cell_params(c, target_volume=16.0, lambda_volume=2.0)
        else:
            c = w.add_cell(t, 16.0, 2.0, 12.0 + k, 0.5)
        w.seed_block(c, x, 4, 0, x + 4, 8, 1)
    w.set_contact(1, 2, 5.0)
    w.finalize(9)
    if params_later:
        # the surface term switches on from the running phase
        w.set_cell_params(1, target_surface=12.0, lambda_surface=0.5)
        w.set_cell_params(2, lambda_surface=0.5, target_surface=13.0)
    return w


def test_parameters_set_later_give_the_same_run_as_at_add_cell():
    a, b = surface_world(False), surface_world(True)
    assert a.cell_table()["lambda_surface"].tolist() == b.cell_table()["lambda_surface"].tolist()
    a.step(30)
    b.step(30)
    assert a.snapshot() == b.snapshot()
    # and switched off again from the running phase
    for w in (a, b):
        w.set_cell_params(1, lambda_surface=0.0)
        w.set_cell_params(2, lambda_surface=0.0)
        w.step(30)
    assert a.snapshot() == b.snapshot()


# ---- repr, version, warnings ----


def test_repr_and_version():
    w = make_world(dims=(4, 3, 2), boundary="noflux", neighbor_order=2, temperature=2.5)
    w.add_field("c", 0.1, 0.0)
    assert repr(w) == ("<World dims=(4, 3, 2) boundary='noflux' neighbor_order=2 temperature=2.5 "
                       "phase='set-up' cells=0 fields=1>")
    w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.finalize(1)
    assert "phase='running' cells=1 fields=1>" in repr(w)
    # restored worlds once showed neighbor_order=0
    assert {repr(r) for r in (tessaly.World.from_bytes(w.to_bytes()), pickle.loads(pickle.dumps(w)),
                              copy.copy(w))} == {repr(w)}
    pyproject = (Path(__file__).resolve().parents[2] / "pyproject.toml").read_text()
    assert re.search(r'^version = "([^"]+)"$', pyproject, re.M).group(1) == tessaly.__version__


def configure(w, contact=1.0, target=4.0, lam=1.0, d=0.1, decay=0.01, dt=1.0, length=0.0):
    c = w.add_cell(1, target, lam, 0.0, 0.0)
    w.set_length_constraint(1, 3.0, length)
    w.seed_block(c, 0, 0, 0, 2, 2, 1)
    w.set_contact(0, 1, contact)
    f = w.add_field("c", d, decay)
    w.set_field_dynamics(f, dt, 1)


NAN = float("nan")


@pytest.mark.parametrize(
    "temperature, settings, message",
    [
        (10.0, {}, None),
        (0.0, {}, "temperature is 0, not a positive finite number"),
        (float("inf"), {}, "temperature is inf, not a positive finite number"),
        (10.0, {"contact": NAN}, "the contact energy of types 0 and 1 is NaN"),
        (10.0, {"target": NAN}, "target_volume is NaN for 1 cell (the first is cell 1)"),
        (10.0, {"lam": -2.0}, "lambda_volume is negative for 1 cell (the first is cell 1)"),
        (10.0, {"length": -0.5}, "the lambda of set_length_constraint is negative for 1 type (the first is type 1)"),
        (10.0, {"d": 0.3}, "field 0: d*dt is 0.3 per substep, above 0.25 (1/(2*2)): "
                           "the explicit diffusion step is unstable"),
        (10.0, {"decay": 0.6, "dt": 2.0}, "field 0: decay*dt is 1.2, above 1: a substep removes more than there is"),
    ],
)
def test_finalize_warns_once_about_settings_that_are_almost_surely_mistakes(temperature, settings, message):
    w, twin = (make_world(temperature=temperature) for _ in range(2))
    for world in (w, twin):
        configure(world, **settings)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        w.finalize(4)
        w.step(3)
    assert [str(c.message) for c in caught] == ([message] if message else [])
    assert all(c.category is RuntimeWarning for c in caught)
    # results unchanged: the same run with the warning silenced
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        twin.finalize(4)
    twin.step(3)
    assert w.snapshot() == twin.snapshot()


def test_a_warning_made_an_error_leaves_the_world_set_up():
    w = make_world(temperature=-1.0)
    configure(w)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            w.finalize(1)
    with pytest.raises(RuntimeError, match="call finalize"):
        w.step(1)


def unnamed(t):
    return f"set_cell_type: type {t} is named by no energy setting; its cells have contact energy 0 with every type"


@pytest.mark.parametrize("name, expected", [
    (lambda w: None, [unnamed(5), unnamed(6)]),
    (lambda w: w.set_contact(5, 0, 0.0), [unnamed(6)]),  # named, even with j = 0
    (lambda w: w.set_contact(6, 5, 2.0), []),
    (lambda w: w.set_length_constraint(5, 3.0, 1.0), [unnamed(6)]),
    (lambda w: w.set_length_constraint(5, 3.0, 0.0), [unnamed(5), unnamed(6)]),  # a zero λ names nothing
    (lambda w: w.set_act(6, 10.0, 20), [unnamed(5)]),
])
@pytest.mark.parametrize("phase", ["set-up", "running"])
def test_set_cell_type_warns_once_per_type_that_no_energy_setting_names(name, expected, phase):
    w, twin = (make_world() for _ in range(2))
    for world in (w, twin):
        configure(world)
        name(world)
        if phase == "running":
            world.finalize(4)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for t in (5, 6, 5, 1, 6):
            w.set_cell_type(1, t)
    assert [str(c.message) for c in caught] == expected
    assert all(c.category is RuntimeWarning for c in caught)
    # a warning made an error changes nothing; results are unchanged
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for t in (5, 6):
            before = twin.cell_types()
            try:
                twin.set_cell_type(1, t)
            except RuntimeWarning as warning:
                assert str(warning) in expected and twin.cell_types() == before
    for world in (w, twin):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            world.set_cell_type(1, 6)
            if phase == "set-up":
                world.finalize(4)
        world.step(3)
    assert w.snapshot() == twin.snapshot() and w.cell_types() == twin.cell_types()


# ---- per-cell setters on batches of ids ----


class Failing:
    """A sequence whose item `at` raises LookupError."""

    def __init__(self, items, at):
        self.items, self.at = items, at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, k):
        if k == self.at:
            raise LookupError("item refused")
        return self.items[k]


def lengths(name, n, got):
    return f"{name}: expected {n} values, one per id, got {got}"


@pytest.mark.parametrize("call, error, message", [
    (lambda w: w.set_cell_params([1, 2], target_volume=[1.0]), ValueError, lengths("target_volume", 2, 1)),
    (lambda w: w.set_cell_params((1, 2), target_volume=1.0, lambda_surface=np.zeros(3)), ValueError,
     lengths("lambda_surface", 2, 3)),
    (lambda w: w.set_cell_params([], lambda_volume=[0.5]), ValueError, lengths("lambda_volume", 0, 1)),
    (lambda w: w.set_cell_params([1, 99], target_volume=5.0, lambda_surface=1.0), InternalError,
     "cell id 99 is not registered"),
    (lambda w: w.set_cell_params(np.array([1, 2**32]), target_volume=5.0), OverflowError, None),
    (lambda w: w.set_cell_params(np.array([1, -1]), target_volume=5.0), OverflowError, None),
    (lambda w: w.set_cell_params([1, -1], target_volume=5.0), OverflowError, None),
    (lambda w: w.set_cell_params(np.array([1.0, 2.0]), target_volume=5.0), TypeError,
     "argument 'cell_id': expected a buffer of integers, got one of format 'd'"),
    (lambda w: w.set_cell_params([1, "2"], target_volume=5.0), TypeError,
     "argument 'cell_id': 'str' object cannot be interpreted as an integer"),
    (lambda w: w.set_cell_params([1, 2], target_volume=[5.0, "a"]), TypeError,
     "argument 'target_volume': must be real number, not str"),
    (lambda w: w.set_cell_params([1, 2], target_volume=np.ones((2, 1))), TypeError, None),
    (lambda w: w.set_cell_params(Failing([1, 2], 1), target_volume=5.0), LookupError, "item refused"),
    (lambda w: w.set_cell_params([1, 2], target_volume=Failing([1.0, 2.0], 1)), LookupError, "item refused"),
    (lambda w: w.set_cell_type([1, 2], [1, 1, 1]), ValueError, lengths("new_type", 2, 3)),
    (lambda w: w.set_cell_type([1, 99], 1), InternalError, "cell id 99 is not registered"),
    (lambda w: w.set_cell_type([1, 2], [1, 70000]), OverflowError, None),
    (lambda w: w.set_cell_type([1, 2], [7, 8]), RuntimeWarning, unnamed(7)),  # a warning made an error
    (lambda w: w.set_cell_secretion_scale(0, [1, 2], [1.0]), ValueError, lengths("scale", 2, 1)),
    (lambda w: w.set_cell_secretion_scale(5, [1, 2], 0.5), InternalError, "field index out of range"),
    (lambda w: w.set_cell_secretion_scale(0, [2, 1, 99], 0.5), InternalError, "cell id 99 is not registered"),
    (lambda w: w.set_cell_frozen([1, 0], True), ValueError, "cell_id: the medium cannot be frozen"),
    (lambda w: w.set_cell_frozen([1, 2], [True]), ValueError, lengths("frozen", 2, 1)),
    (lambda w: w.set_cell_frozen([1, 99], True), InternalError, "cell id 99 is not registered"),
    (lambda w: w.set_cell_frozen([1, 2], [True, 1]), TypeError,
     "argument 'frozen': 'int' object cannot be converted to 'bool'"),
])
def test_a_refused_batch_changes_nothing(call, error, message):
    w = labelled_world()
    w.set_cell_secretion_scale(0, 1, 3.0)
    w.finalize(1)
    before = w.to_bytes()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(error) as caught:
            call(w)
    if message is not None:
        assert str(caught.value) == message
    assert w.to_bytes() == before
