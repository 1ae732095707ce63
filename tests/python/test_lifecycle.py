"""Growing, retyping, dividing and removing cells from Python, and the
observables that must agree with the site array after any mix of them."""

import pytest

from conftest import InternalError, make_world


def observables_agree(w):
    """Volumes, centres of mass and contact areas against the site array."""
    nx, ny, _ = w.dims()
    n = w.n_cells() + 1
    counts = [0] * n
    sums = [[0.0, 0.0, 0.0] for _ in range(n)]
    for i, id_ in enumerate(w.snapshot()):
        counts[id_] += 1
        for axis, value in enumerate((i % nx, (i // nx) % ny, i // (nx * ny))):
            sums[id_][axis] += value
    assert w.cell_volumes() == counts
    coms = [tuple(s / v for s in sums[c]) if (v := counts[c]) else (0.0, 0.0, 0.0) for c in range(n)]
    assert w.cell_coms() == coms
    surfaces = w.cell_surfaces()
    for c in range(n):
        assert sum(w.cell_contact_area_by_type(c).values()) == surfaces[c]


def sorting_world(dims, boundary, neighbor_order, side, lambda_surface=0.0):
    """Cells of types 1 and 2 on a grid of side×side(×side) blocks."""
    w = make_world(dims=dims, boundary=boundary, neighbor_order=neighbor_order, temperature=8.0)
    nx, ny, nz = dims
    depth = side if nz > 1 else 1
    volume = float(side * side * depth)
    kind = 1
    for z in range(0, nz - depth + 1, depth + 1):
        for y in range(1, ny - side, side + 1):
            for x in range(1, nx - side, side + 1):
                c = w.add_cell(kind, volume, 10.0, 0.0, lambda_surface)
                w.seed_block(c, x, y, z, x + side, y + side, z + depth)
                kind = 3 - kind
    w.set_contact(0, 1, 12.0)
    w.set_contact(0, 2, 12.0)
    w.set_contact(1, 1, 2.0)
    w.set_contact(2, 2, 9.0)
    w.set_contact(1, 2, 6.0)
    return w


# ---- growth and retyping ----


def test_grow_raises_the_targets_of_one_type_only():
    def run(change):
        w = sorting_world((16, 16, 1), "periodic", 2, 3)
        change(w)
        w.finalize(7)
        w.step(30)
        return w.snapshot()

    types = sorting_world((16, 16, 1), "periodic", 2, 3)
    ones = [c for c, t in enumerate(types.cell_types()) if t == 1]
    assert ones

    def grow_twice(w):
        w.grow(1, 2.5)
        w.grow(1, 2.5)

    def set_each(w):
        for c in ones:
            w.set_target_volume(c, 9.0 + 5.0)

    grown = run(grow_twice)
    assert grown == run(set_each)
    assert grown != run(lambda w: None)
    # no cell of type 9: the call changes nothing
    assert run(lambda w: w.grow(9, 1.0)) == run(lambda w: None)


def test_set_cell_type_retypes_one_record_in_either_phase():
    w = make_world(dims=(6, 6, 1), boundary="noflux")
    a = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    b = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    w.seed_block(a, 0, 0, 0, 2, 2, 1)
    w.seed_block(b, 2, 0, 0, 4, 2, 1)
    w.set_cell_type(b, 3)
    assert w.cell_types() == [0, 1, 3]
    assert w.cell_contact_area_by_type(a) == {0: 2, 3: 2}
    w.finalize(1)
    w.set_cell_type(0, 4)  # the medium's record is accepted
    assert w.cell_types() == [4, 1, 3]
    assert w.cell_contact_area_by_type(a) == {4: 2, 3: 2}
    with pytest.raises(InternalError):
        w.set_cell_type(3, 1)
    assert w.cell_types() == [4, 1, 3]


# ---- division ----


def test_divide_cells_cuts_a_block_across_its_longest_side():
    w = make_world(dims=(8, 8, 1))
    c = w.add_cell(2, 8.0, 1.5, 0.0, 0.0)
    w.seed_block(c, 2, 3, 0, 6, 5, 1)
    w.finalize(1)
    assert w.divide_cells(8.0, 4.0) == [2]
    assert w.n_cells() == 2
    snapshot = w.snapshot()
    for y in (3, 4):
        assert snapshot[8 * y + 2: 8 * y + 6] == [c, c, 2, 2]
    assert w.cell_volumes() == [56, 4, 4]
    assert w.cell_types() == [0, 2, 2]
    assert w.cell_coms()[1:] == [(2.5, 3.5, 0.0), (4.5, 3.5, 0.0)]
    assert w.divide_cells(5.0, 1.0) == []
    assert w.divide_cells(float("nan"), 1.0) == []
    observables_agree(w)


def test_division_before_finalize_judges_the_last_recomputed_volumes():
    w = make_world(dims=(6, 6, 1))
    c = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 0, 0, 0, 2, 2, 1)
    assert w.divide_cells(1.0, 2.0) == []  # volumes not yet computed
    w.remove_cells([0])  # changes no site, recomputes the trackers
    assert w.cell_volumes() == [32, 4]
    assert w.divide_cells(4.0, 2.0) == [2]
    assert w.cell_volumes() == [32, 2, 2]
    w.finalize(1)
    observables_agree(w)


def test_a_zero_threshold_divides_removed_and_empty_cells_too():
    w = make_world(dims=(6, 6, 1))
    a = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    b = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(a, 0, 0, 0, 2, 2, 1)
    w.seed_block(b, 4, 4, 0, 5, 5, 1)
    w.finalize(1)
    w.remove_cells([a])
    assert w.divide_cells(0.0, 1.0) == [3, 4]
    assert w.cell_volumes()[1:] == [0, 1, 0, 0]
    observables_agree(w)


# ---- removal ----


def test_remove_cells_hands_the_sites_to_the_medium():
    w = make_world(dims=(6, 6, 1))
    a = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    b = w.add_cell(2, 4.0, 1.0, 0.0, 0.0)
    w.seed_block(a, 0, 0, 0, 2, 2, 1)
    w.seed_block(b, 3, 3, 0, 5, 5, 1)
    f = w.add_field("f", 0.0, 0.0)
    w.field_add_source_at(f, 0, 0, 0, 2.0)
    w.finalize(1)
    before = w.snapshot()
    assert w.remove_cells([]) is None
    assert w.remove_cells([0, 99]) is None
    assert w.snapshot() == before
    w.remove_cells([a, a])
    assert a not in w.snapshot()
    assert w.n_cells() == 2
    assert w.cell_volumes() == [32, 0, 4]
    assert w.cell_surfaces()[a] == 0
    assert w.cell_coms()[a] == (0.0, 0.0, 0.0)
    assert w.cell_types() == [0, 1, 2]
    assert w.cell_contact_area_by_type(a) == {}
    assert w.field_value_at(f, 0, 0, 0) == 2.0  # fields are not touched
    observables_agree(w)


# ---- invariants over a mixed run ----


@pytest.mark.parametrize(
    "dims, boundary, neighbor_order, side",
    [((24, 24, 1), "periodic", 2, 4), ((20, 16, 1), "noflux", 1, 3), ((12, 12, 12), "periodic", 3, 3)],
)
def test_observables_follow_the_sites_through_steps_divisions_and_removals(dims, boundary, neighbor_order, side):
    w = sorting_world(dims, boundary, neighbor_order, side, lambda_surface=0.001)
    f = w.add_field("f", 0.1, 0.05)
    w.set_secretion(f, 1, 0.5)
    w.finalize(11)
    observables_agree(w)
    w.step(5)
    observables_agree(w)
    volumes = sorted(w.cell_volumes()[1:])
    threshold = float(volumes[len(volumes) // 2])  # the larger half divides
    born = w.divide_cells(threshold, threshold / 2)
    assert born and born == list(range(w.n_cells() - len(born) + 1, w.n_cells() + 1))
    observables_agree(w)
    w.grow(1, 2.0)
    w.step(5)
    observables_agree(w)
    w.remove_cells(born[::2] + [1])
    observables_agree(w)
    w.step(5)
    observables_agree(w)
    concentrations = w.field_conc(f)
    assert w.divide_cells(1.0, 2.0)  # everything with a site divides again
    assert w.field_conc(f) == concentrations
    observables_agree(w)
