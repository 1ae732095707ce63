"""Diffusing fields and chemotaxis from Python: creation, the clamped point
reads and writes, index errors, repeated advances, the per-cell mean, and
cells steered along a fixed gradient."""

import struct

import numpy as np

import pytest

from conftest import InternalError, make_world


def f32(value):
    """`value` rounded to single precision, as the fields store it."""
    return struct.unpack("f", struct.pack("f", value))[0]


def site(w, x, y, z):
    nx, ny, _ = w.dims()
    return x + nx * (y + ny * z)


# ---- creation ----


def test_add_field_counts_from_zero_and_starts_at_zero():
    w = make_world(dims=(3, 2, 2))
    assert [w.add_field(name, 0.1, 0.0) for name in ("a", "b", "a")] == [0, 1, 2]
    assert w.field_conc(2) == [0.0] * 12
    w.advance_fields(2)
    assert w.field_conc(0) == [0.0] * 12


def test_add_field_is_refused_after_finalize_and_keeps_the_fields():
    w = make_world(dims=(3, 3, 1))
    w.add_field("a", 0.0, 0.0)
    w.finalize(1)
    with pytest.raises(RuntimeError, match="^add_field after finalize$"):
        w.add_field("b", 0.0, 0.0)
    assert w.field_conc(0) == [0.0] * 9
    with pytest.raises(InternalError):
        w.field_conc(1)


# ---- point reads and writes ----


def test_a_source_beyond_the_box_lands_on_the_far_corner():
    w = make_world(dims=(4, 3, 2))
    f = w.add_field("f", 0.0, 0.0)
    w.field_add_source_at(f, 1000, 1000, 1000, 1.0)
    conc = w.field_conc(f)
    assert conc[site(w, 3, 2, 1)] == 1.0
    assert sum(conc) == 1.0


def test_reads_clamp_each_coordinate_and_refuse_negative_ones():
    w = make_world(dims=(4, 3, 1))
    f = w.add_field("f", 0.0, 0.0)
    w.field_add_source_at(f, 3, 0, 0, 0.1)
    w.field_add_source_at(f, 0, 2, 0, -0.5)
    # the amount is stored in single precision and read back widened exactly
    assert w.field_value_at(f, 1000000, 0, 0) == f32(0.1)
    assert w.field_value_at(f, 0, 99, 7) == -0.5
    with pytest.raises(OverflowError):
        w.field_value_at(f, -1, 0, 0)
    with pytest.raises(OverflowError):
        w.field_add_source_at(f, 0, 0, -1, 1.0)


def test_a_field_index_past_the_end_is_an_internal_error():
    w = make_world(dims=(2, 2, 1))
    f = w.add_field("f", 0.0, 0.0)
    calls = [
        (w.field_conc, (f + 1,)),
        (w.field_value_at, (f + 1, 0, 0, 0)),
        (w.field_add_source_at, (f + 1, 0, 0, 0, 1.0)),
        (w.set_secretion, (f + 1, 1, 1.0)),
        (w.set_cell_secretion_scale, (f + 1, 1, 1.0)),
        (w.set_chemotaxis, (f + 1, 1, 1.0)),
        (w.set_chemotaxis_occupancy, (f + 1, 1, 1.0, 1.0, 1.0, 1.0)),
        (w.set_field_dynamics, (f + 1, 1.0, 1)),
    ]
    for method, args in calls:
        with pytest.raises(InternalError, match="field index out of range"):
            method(*args)
    assert w.field_conc(f) == [0.0] * 4  # the object takes further calls


# ---- advances ----


def spread_world():
    w = make_world(dims=(7, 6, 5), boundary="noflux")
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 1, 1, 1, 3, 3, 2)
    f = w.add_field("f", 0.12, 0.03)
    w.set_secretion(f, 1, 0.5)
    w.set_cell_secretion_scale(f, c, 3.0)
    w.set_field_dynamics(f, 0.5, 2)
    w.field_add_source_at(f, 5, 4, 3, 10.0)
    return w


def test_advance_fields_zero_does_nothing_and_three_equals_three_singles():
    a, b = spread_world(), spread_world()
    before = a.field_conc(0)
    a.advance_fields(0)
    assert a.field_conc(0) == before
    a.advance_fields(3)
    for _ in range(3):
        b.advance_fields(1)
    assert a.field_conc(0) == b.field_conc(0)
    assert a.field_conc(0) != before


def test_secretion_is_per_type_and_scaled_per_cell_in_the_running_phase():
    w = make_world(dims=(4, 1, 1), boundary="noflux")
    a = w.add_cell(1, 1.0, 0.0, 0.0, 0.0)
    b = w.add_cell(1, 1.0, 0.0, 0.0, 0.0)
    w.seed_block(a, 0, 0, 0, 1, 1, 1)
    w.seed_block(b, 1, 0, 0, 2, 1, 1)
    f = w.add_field("f", 0.0, 0.0)
    w.finalize(1)
    w.set_secretion(f, 1, 0.25)
    w.set_cell_secretion_scale(f, b, 2.0)
    w.advance_fields(2)
    assert w.field_conc(f) == [0.5, 1.0, 0.0, 0.0]
    w.set_secretion(f, 0, 0.125)  # the medium's type
    w.advance_fields(1)
    assert w.field_conc(f) == [0.75, 1.5, 0.125, 0.125]


# ---- the mean over a cell ----


def test_field_mean_at_cell_checks_the_cell_before_the_field():
    w = make_world(dims=(4, 4, 1))
    c = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 0, 0, 0, 2, 2, 1)
    f = w.add_field("f", 0.0, 0.0)
    w.field_add_source_at(f, 0, 0, 0, 1.0)
    # before finalize the volumes are still 0: 0.0 whatever the field index
    assert w.field_mean_at_cell(f, c) == 0.0
    assert w.field_mean_at_cell(5, c) == 0.0
    with pytest.raises(InternalError):
        w.field_mean_at_cell(5, 2)  # no such cell: refused before the field index
    w.finalize(1)
    assert w.field_mean_at_cell(f, c) == 0.25
    with pytest.raises(InternalError, match="field index out of range"):
        w.field_mean_at_cell(5, c)
    w.remove_cells([c])
    assert w.field_mean_at_cell(5, c) == 0.0


def test_field_mean_at_cell_is_the_mean_over_the_cells_sites_after_a_run():
    w = make_world(dims=(12, 12, 1), temperature=5.0)
    c = w.add_cell(1, 16.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 4, 4, 0, 8, 8, 1)
    f = w.add_field("f", 0.1, 0.02)
    w.set_secretion(f, 1, 1.0)
    w.set_contact(0, 1, 4.0)
    w.finalize(3)
    w.step(20)
    sites = [i for i, id_ in enumerate(w.snapshot()) if id_ == c]
    conc = w.field_conc(f)
    total = 0.0
    for i in sites:
        total += conc[i]
    assert len(sites) == w.cell_volumes()[c] > 0
    assert w.field_mean_at_cell(f, c) == total / len(sites)
    assert w.field_mean_at_cell(f, 0) < w.field_mean_at_cell(f, c)


# ---- chemotaxis along a fixed gradient ----


def gradient_world(seed):
    """A 4×4 cell in the middle of a 40×12 box with the concentration x at
    column x (no diffusion, no decay: the gradient stays as it is)."""
    w = make_world(dims=(40, 12, 1), boundary="noflux", neighbor_order=2, temperature=4.0)
    c = w.add_cell(1, 16.0, 2.0, 0.0, 0.0)
    w.seed_block(c, 18, 4, 0, 22, 8, 1)
    f = w.add_field("attractant", 0.0, 0.0)
    for x in range(40):
        for y in range(12):
            w.field_add_source_at(f, x, y, 0, float(x))
    w.set_contact(0, 1, 2.0)
    return w, c, f


def drift(w, c, f, seed, mcs=300):
    w.finalize(seed)
    start = w.cell_coms()[c][0]
    w.step(mcs)
    assert w.field_value_at(f, 7, 3, 0) == 7.0
    return w.cell_coms()[c][0] - start


def gradient_run(strength, seed=1):
    w, c, f = gradient_world(seed)
    w.set_chemotaxis(f, 1, strength)
    return drift(w, c, f, seed)


def occupancy_run(kd, scale, seed=2):
    w, c, f = gradient_world(seed)
    w.set_chemotaxis_occupancy(f, 1, 400.0, kd, 1.0, scale)
    return drift(w, c, f, seed), w.snapshot()


def test_a_chemotactic_cell_climbs_the_gradient_and_a_repelled_one_descends():
    assert gradient_run(2.0) > 6.0
    assert gradient_run(-2.0) < -6.0


def test_the_occupancy_form_steers_and_a_zero_scale_switches_it_off():
    # K = 20, n = 1: the response x/(20 + x) rises across the box
    moved, _ = occupancy_run(20.0, 1.0)
    assert moved > 6.0
    # scale 0: every response is 0, so the run is the one without chemotaxis
    _, off = occupancy_run(20.0, 0.0)
    w, c, f = gradient_world(2)
    drift(w, c, f, 2)
    assert off == w.snapshot()


# ---- fields meet cells: uptake, fixed faces, per-record means ----


def reference_advance(conc, ids, types, periodic, boundary, d, decay, dt, substeps, secretion, uptake):
    """One advance as documented, in NumPy: `substeps` Jacobi steps (the
    Laplacian summed in float32 in face order x-, x+, y-, y+, z-, z+, a closed
    face's outside holding float32(boundary) or absent), secretion, uptake."""
    c = conc.copy()
    faces = [(axis, shift) for axis in (2, 1, 0) for shift in (1, -1) if axis != 0 or c.shape[0] >= 2]
    for _ in range(substeps):
        lap = np.zeros_like(c)
        for axis, shift in faces:
            other = np.roll(c, shift, axis=axis)
            if not periodic:
                edge = [slice(None)] * 3
                edge[axis] = 0 if shift == 1 else -1
                if boundary is None:
                    other[tuple(edge)] = c[tuple(edge)]  # (c - c) = 0: no flux
                else:
                    other[tuple(edge)] = np.float32(boundary)
            lap = lap + (other - c)
        c64 = c.astype(np.float64)
        v = (lap.astype(np.float64) * d - decay * c64) * dt + c64
        c = np.where(v > 0.0, v, 0.0).astype(np.float32)
    cell_type = types[ids]
    amount = np.array([np.float32(dt * secretion.get(t, 0.0)) for t in range(types.max() + 1)], dtype=np.float32)
    secreting = np.isin(cell_type, [t for t, r in secretion.items() if r != 0.0])
    c = np.where(secreting, amount[cell_type] + c, c)
    for t, (max_rate, km) in uptake.items():
        q = dt * max_rate
        c64 = c.astype(np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            r = q if km == 0.0 else q * c64 / (km + c64)
        taken = np.where(r < c64, (c64 - r).astype(np.float32), np.float32(0.0))
        c = np.where((cell_type == t) & (c64 > 0.0) & (q > 0.0), taken, c)
    return c


@pytest.mark.parametrize("dims, periodic, boundary, km", [
    ((9, 7, 1), False, 0.8, 0.0),
    ((9, 7, 1), False, None, 0.5),
    ((6, 5, 4), False, 2.0, 0.25),
    ((6, 5, 4), True, 2.0, 1.0),  # every face wraps: the boundary changes nothing
    ((1, 4, 1), False, 0.0, 0.0),
])
def test_uptake_and_fixed_faces_match_a_numpy_reference_bit_for_bit(dims, periodic, boundary, km):
    w = make_world(dims=dims, boundary="periodic" if periodic else "noflux")
    rng = np.random.default_rng(5)
    labels = rng.integers(0, 4, size=dims[0] * dims[1] * dims[2])
    w.seed_from_labels(labels.tolist(), {1: 1, 2: 2, 3: 1}, 1, 4.0, 1.0)
    f = w.add_field("o", 0.11, 0.02)
    w.set_field_dynamics(f, 0.7, 2)
    np.asarray(w.field_view(f))[...] = rng.uniform(0.0, 3.0, size=dims[::-1]).astype(np.float32)
    w.set_secretion(f, 1, 0.3)
    w.set_secretion(f, 2, -0.4)  # below zero by secretion, which uptake leaves alone
    w.set_uptake(f, 1, 0.9, km)
    w.set_uptake(f, 2, 0.2, km=km, scale_by=None)
    w.set_field_boundary(f, boundary)
    w.finalize(3)
    ids = np.asarray(w.site_view()).astype(np.int64)
    types = np.asarray(w.cell_table()["type"])
    conc = np.asarray(w.field_view(f)).copy()
    for _ in range(4):
        conc = reference_advance(conc, ids, types, periodic, boundary, 0.11, 0.02, 0.7, 2, {1: 0.3, 2: -0.4},
                                 {1: (0.9, km), 2: (0.2, km)})
        w.advance_fields(1)
        assert np.asarray(w.field_view(f)).tobytes() == conc.tobytes()
    # a cell that secretes nothing negative never goes below zero through uptake
    assert (conc[types[ids] == 1] >= 0.0).all()


@pytest.mark.parametrize("call, message", [
    (lambda w: w.set_uptake(0, 1, -1.0), "max_rate: expected a number >= 0, got -1.0"),
    (lambda w: w.set_uptake(0, 1, float("nan")), "max_rate: expected a number >= 0, got nan"),
    (lambda w: w.set_uptake(0, 1, 1.0, -0.0001), "km: expected a number >= 0, got -0.0001"),
    (lambda w: w.set_uptake(0, 1, 1.0, scale_by="vigour"),
     "scale_by: expected the name of a cell attribute, got 'vigour'"),
    (lambda w: w.set_field_boundary(0, -2.0), "value: expected a finite number >= 0 or None, got -2.0"),
    (lambda w: w.set_field_boundary(0, float("inf")), "value: expected a finite number >= 0 or None, got inf"),
])
def test_bad_uptake_and_boundary_values_are_refused_by_name_and_change_nothing(call, message):
    w = make_world()
    w.add_field("o", 0.1, 0.0)
    before = w.to_bytes()
    with pytest.raises(ValueError) as error:
        call(w)
    assert str(error.value) == message
    assert w.to_bytes() == before
    with pytest.raises(InternalError, match="field index out of range"):
        w.set_uptake(1, 1, -1.0)  # the field index is checked first


@pytest.mark.parametrize("running", [False, True])
def test_field_means_are_field_mean_at_cell_in_one_pass_and_nan_without_sites(running):
    w = spread_world()
    empty = w.add_cell(2, 1.0, 1.0, 0.0, 0.0)
    if running:
        w.finalize(1)
        w.step(3)
    w.advance_fields(2)
    means = np.asarray(w.field_means(0))
    assert means.dtype == np.float64 and len(means) == w.n_cells() + 1
    ids, conc = w.snapshot(), w.field_conc(0)
    assert ids.count(empty) == 0
    for c in range(w.n_cells() + 1):
        total = 0.0
        for i in (i for i, v in enumerate(ids) if v == c):
            total += conc[i]
        if ids.count(c) == 0:
            assert np.isnan(means[c])
            continue
        assert means[c] == total / ids.count(c)
        # (before finalize field_mean_at_cell reads the volume from trackers finalize computes)
        if running:
            assert means[c] == w.field_mean_at_cell(0, c)
    with pytest.raises(InternalError, match="field index out of range"):
        w.field_means(1)
