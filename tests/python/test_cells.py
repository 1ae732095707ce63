"""The cells' programs: the engine's RK4 against a NumPy RK4 on a frozen
sheet, rules and divisions from Python, checkpoint continuation, and the
errors of the texts."""

import numpy as np
import pytest

import tessaly
from conftest import make_world

pytestmark = pytest.mark.skipif(not hasattr(tessaly.World, "add_cell_attribute"),
                                reason="needs the cell attributes")

SIDE, COUNT = 4, 6  # a 24 x 24 periodic sheet of 36 square cells


def sheet(frozen=True, seed=3):
    w = make_world(dims=(SIDE * COUNT, SIDE * COUNT, 1), boundary="periodic", neighbor_order=1)
    for j in range(COUNT):
        for i in range(COUNT):
            c = w.add_cell(1 + (i + j) % 2, 16.0, 1.0, 0.0, 0.0)
            w.seed_block(c, SIDE * i, SIDE * j, 0, SIDE * (i + 1), SIDE * (j + 1), 1)
    w.set_contact(1, 2, 5.0)
    w.set_contact(1, 1, 5.0)
    w.set_contact(2, 2, 5.0)
    if frozen:
        for c in range(1, w.n_cells() + 1):
            w.set_cell_frozen(c, True)
    w.finalize(seed)
    return w


def areas(sites, n):
    """Contact areas between ids, counted over the four neighbours of every site."""
    area = np.zeros((n + 1, n + 1))
    for axis in (0, 1):
        for shift in (1, -1):
            other = np.roll(sites, shift, axis=axis)
            differ = other != sites
            np.add.at(area, (sites[differ], other[differ]), 1.0)
    area[:, 0] = 0.0  # the medium is no neighbour
    return area


def test_rk4_matches_numpy_on_a_frozen_sheet():
    w = sheet()
    n = w.n_cells()
    w.add_cell_attribute("notch", 0.0)
    w.add_cell_attribute("delta", 0.0)
    rng = np.random.default_rng(5)
    delta0 = rng.uniform(0.4, 0.6, n + 1)
    w.set_cell_attribute("delta", delta0)
    w.add_cell_ode("""
        # lateral inhibition
        notch' = nbr_mean(delta)^2 / (a + nbr_mean(delta)^2) - notch
        delta' = v * (1 / (1 + b * notch^2) - delta)
    """, params={"a": 0.01, "b": 100.0, "v": 0.5}, dt=0.3, substeps=2)
    sites = np.asarray(w.site_view())[0]
    area = areas(sites, n)
    weights = area.sum(axis=1)
    notch, delta = np.zeros(n + 1), delta0.copy()
    h = 0.3 / 2
    for _ in range(40):
        held = np.divide(area @ delta, weights, out=np.zeros(n + 1), where=weights > 0)  # read once per step

        def f(nv, dv):
            return held ** 2 / (0.01 + held ** 2) - nv, 0.5 * (1 / (1 + 100.0 * nv ** 2) - dv)

        for _ in range(2):
            k1 = f(notch, delta)
            k2 = f(notch + h / 2 * k1[0], delta + h / 2 * k1[1])
            k3 = f(notch + h / 2 * k2[0], delta + h / 2 * k2[1])
            k4 = f(notch + h * k3[0], delta + h * k3[1])
            notch = notch + h / 6 * (k1[0] + 2 * k2[0] + 2 * k3[0] + k4[0])
            delta = delta + h / 6 * (k1[1] + 2 * k2[1] + 2 * k3[1] + k4[1])
        notch[0], delta[0] = 0.0, delta0[0]  # the medium is not integrated
        w.step(1)
    assert np.array_equal(np.asarray(w.site_view())[0], sites)
    np.testing.assert_allclose(np.asarray(w.cell_attribute("notch")), notch, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(np.asarray(w.cell_attribute("delta")), delta, rtol=1e-9, atol=1e-12)
    assert np.abs(delta - delta0).max() > 0.1  # the system moved


def cycling(w):
    w.add_cell_attribute("age", 0.0, on_divide="reset")
    w.add_cell_attribute("u", 0.0, on_divide="split")
    w.add_cell_ode("age' = 1\nu' = 1 - u + 0.1 * nbr_sum(u) / 16", dt=0.5)
    w.add_cell_rule("target_volume = 16 + age / 2\nlambda_volume = 1 + u", cell_types=[1, 2])
    w.set_division_rule("age > 12 * (1 + (cell_type == 2))", orientation="random")


def test_a_restored_run_continues_to_the_bit():
    w = sheet(frozen=False)
    cycling(w)
    w.step(30)
    restored = tessaly.World.from_bytes(w.to_bytes())
    w.step(40)
    restored.step(40)
    assert w.to_bytes() == restored.to_bytes()
    assert w.n_cells() > 36
    # the daughters' ages were reset, and nothing of the rule's cells is older than a cycle and a step
    age = np.asarray(w.cell_attribute("age"))
    assert age.max() <= 24.5 + 0.5


@pytest.mark.parametrize("method, argument, text, message", [
    ("add_cell_ode", "equations", "\n  notch' = 2 * q", "line 2, column 16: unknown name 'q'"),
    ("add_cell_ode", "equations", "notch = 1", "line 1, column 7: expected NAME' = EXPR, found '='"),
    ("add_cell_ode", "equations", "size' = 1", "line 1, column 1: 'size' is not a cell attribute"),
    ("add_cell_ode", "equations", "notch' = nbr_mean(size)", "line 1, column 19: unknown attribute 'size'"),
    ("add_cell_rule", "assignments", "notch = field(oxygen)", "line 1, column 15: unknown field 'oxygen'"),
    ("add_cell_rule", "assignments", "# c\nnotch = sinh(1)", "line 2, column 9: unknown function 'sinh'"),
    ("set_division_rule", "condition", "hill(notch, 1) > 0", "line 1, column 1: 'hill' takes 3 arguments, got 2"),
])
def test_a_text_that_does_not_compile_changes_nothing(method, argument, text, message):
    w = sheet()
    w.add_cell_attribute("notch", 0.0)
    before = w.to_bytes()
    with pytest.raises(ValueError) as caught:
        getattr(w, method)(text)
    assert str(caught.value) == f"{argument}: {message}"
    assert w.to_bytes() == before
