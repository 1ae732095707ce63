"""The module and World class frame: shape, signatures, argument conversion,
phases, borrowing, failures, and the set-up methods."""

import ast
import ctypes
import importlib
import inspect
import os
import signal
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

import tessaly
from conftest import InternalError, make_block_world, make_world

World = tessaly.World
NARROW = "out of range integral type conversion attempted"


def host_overflow(function, value):
    """The message the interpreter's own C conversion `function` gives for `value`."""
    convert = getattr(ctypes.pythonapi, function)
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.c_ulonglong if "Unsigned" in function else ctypes.c_longlong
    with pytest.raises(OverflowError) as info:
        convert(value)
    return str(info.value)


NEGATIVE_U64 = host_overflow("PyLong_AsUnsignedLongLong", -1)
HUGE_U64 = host_overflow("PyLong_AsUnsignedLongLong", 2**64)
HUGE_I64 = host_overflow("PyLong_AsLongLong", 2**63)


# ---- module shape ----


def test_module_has_exactly_the_class_and_the_sbml_translator():
    own = sorted(name for name in vars(tessaly) if not name.startswith("__"))
    assert own == ["World", "sbml_equations"]
    assert not hasattr(tessaly, "InternalError")


def test_repeated_import_returns_the_same_module():
    saved = sys.modules.pop("tessaly")
    try:
        again = importlib.import_module("tessaly")
        assert again is saved
        assert again.World is World
    finally:
        sys.modules["tessaly"] = saved


def _legacy_subinterpreter():
    try:
        import _interpreters as interpreters  # 3.13
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters  # 3.12
        except ImportError:
            pytest.skip("no subinterpreter module")
    for make in (lambda: interpreters.create(isolated=False), lambda: interpreters.create("legacy")):
        try:
            return interpreters, make()
        except (TypeError, ValueError):
            continue
    pytest.skip("cannot create a subinterpreter that allows single-phase modules")


def test_import_in_another_interpreter_raises_import_error():
    interpreters, interp = _legacy_subinterpreter()
    read_end, write_end = os.pipe()
    script = textwrap.dedent(f"""
        import os
        try:
            import tessaly
        except ImportError as error:
            os.write({write_end}, ("ImportError: " + str(error)).encode())
        else:
            os.write({write_end}, b"imported")
    """)
    try:
        interpreters.run_string(interp, script)
    finally:
        interpreters.destroy(interp)
        os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        outcome = pipe.read().decode()
    assert outcome.startswith("ImportError: ")
    assert "another interpreter" in outcome


# ---- the class ----


def test_class_name_and_base():
    assert World.__name__ == "World"
    assert World.__qualname__ == "World"
    assert World.__bases__ == (object,)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (World,), {})
    assert not World.__flags__ & (1 << 10)  # Py_TPFLAGS_BASETYPE


def test_instances_have_no_dict_and_no_weakref(world):
    assert World.__dictoffset__ == 0
    assert World.__weakrefoffset__ == 0
    assert not hasattr(world, "__dict__")
    with pytest.raises(AttributeError):
        world.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(world)


def test_class_signature_has_no_documentation_text():
    assert World.__text_signature__ == "(dims, boundary, neighbor_order, temperature)"
    assert not World.__doc__
    assert str(inspect.signature(World)) == "(dims, boundary, neighbor_order, temperature)"


SIGNATURES = {
    "add_cell": "($self, cell_type, target_volume, lambda_volume, target_surface, lambda_surface)",
    "add_cell_sbml": "($self, source, *, cell_types=None, dt=1.0, substeps=1)",
    "seed_block": "($self, cell_id, x0, y0, z0, x1, y1, z1)",
    "seed_from_labels": "($self, labels, types, default_type, target_volume, lambda_volume)",
    "set_contact": "($self, type_a, type_b, j)",
    "set_target_volume": "($self, cell_id, v)",
    "snapshot": "($self)",
    "dims": "($self)",
    "n_cells": "($self)",
    "finalize": "($self, seed)",
    "step": "($self, mcs)",
    "grow": "($self, cell_type, rate)",
    "add_field": "($self, name, d, decay)",
    "set_junction": "($self, cell_type, on)",
    "set_junction_lambda": "($self, lambda)",
    "set_membrane": "($self, anchors, k, band)",
    "set_membrane_anchored": "($self, cell_type, on)",
    "set_cell_type": "($self, cell_id, new_type)",
    "set_secretion": "($self, field_idx, cell_type, rate)",
    "set_cell_secretion_scale": "($self, field_idx, cell_id, scale)",
    "step_parallel": "($self, mcs, block=16)",
    "advance_fields": "($self, n)",
    "set_chemotaxis": "($self, field_idx, cell_type, lambda_val)",
    "set_chemotaxis_occupancy": "($self, field_idx, cell_type, lambda_val, kd, hill, scale)",
    "set_connectivity": "($self, cell_type, on)",
    "set_connectivity_medium": "($self, on)",
    "set_field_dynamics": "($self, field_idx, dt, substeps)",
    "field_add_source_at": "($self, field_idx, x, y, z, amount)",
    "set_length_constraint": "($self, cell_type, target_length, lambda)",
    "set_external_potential": "($self, cell_type, fx, fy, fz)",
    "divide_cells": "($self, threshold, reset_target)",
    "remove_cells": "($self, ids)",
    "add_link": "($self, a, b, lambda_, length, max_length=None)",
    "remove_link": "($self, a, b)",
    "set_link_formation": "($self, type_a, type_b, lambda_, length, max_length=None, max_links=None)",
    "cell_links": "($self)",
    "cell_coms": "($self)",
    "cell_types": "($self)",
    "cell_volumes": "($self)",
    "cell_surfaces": "($self)",
    "cell_lengths": "($self)",
    "cell_length": "($self, cell_id)",
    "cell_contact_area_by_type": "($self, cell_id)",
    "field_conc": "($self, field_idx)",
    "field_value_at": "($self, field_idx, x, y, z)",
    "field_mean_at_cell": "($self, field_idx, cell_id)",
    "to_bytes": "($self)",
    "from_bytes": "($type, data)",
    "save": "($self, path)",
    "load": "($type, path)",
    "divide_cell": "($self, cell_id, orientation='major', target_volumes=None, *, links='keep')",
    "add_cell_ode": "($self, equations, *, params=None, cell_types=None, dt=1.0, substeps=1)",
    "add_cell_rule": "($self, assignments, *, params=None, cell_types=None)",
    "set_division_rule": "($self, condition, *, orientation='major', params=None, cell_types=None)",
    "set_cell_frozen": "($self, cell_id, frozen)",
    "add_cell_attribute": "($self, name, default=0.0, on_divide='copy')",
    "cell_attribute": "($self, name)",
    "set_cell_attribute": "($self, name, values, ids=None)",
    "set_act": "($self, cell_type, lambda_act, max_act)",
    "set_act_mean": "($self, kind)",
    "activity_view": "($self)",
    "set_persistence": "($self, cell_type, lambda_dir, delta_t, persist)",
    "set_tracking": "($self, on)",
    "cell_centroids": "($self)",
    "cell_tracks": "($self)",
    "cell_directions": "($self)",
    "site_view": "($self)",
    "field_view": "($self, field_idx)",
    "cell_table": "($self)",
    "set_cell_params": "($self, cell_id, *, target_volume=None, lambda_volume=None, target_surface=None,"
                       " lambda_surface=None)",
    "set_uptake": "($self, field_idx, cell_type, max_rate, km=0.0, scale_by=None)",
    "set_field_boundary": "($self, field_idx, value)",
    "cell_neighbors": "($self)",
    "field_means": "($self, field_idx)",
}

DOCUMENTED = {
    "add_cell_sbml": (
        "Add the system of an SBML model, as tessaly.sbml_equations translates it:\n"
        "an attribute for every species the world does not have yet, every cell\n"
        "starting at the model's initial value, then the equations, as add_cell_ode\n"
        "adds them. Return the system's index."
    ),
    "step_parallel": (
        "Parallel checkerboard sweep across CPU cores (opt-in; approximate but\n"
        "validated to track the sequential dynamics). `block` is the tile side\n"
        "(>=2). Set RAYON_NUM_THREADS to cap threads. Not for length-constraint models."
    ),
    "field_add_source_at": (
        "Add `amount` to field `field_idx`'s concentration at site (x, y, z);\n"
        "out-of-range coordinates are clamped to the domain rather than panicking."
    ),
    "field_value_at": (
        "Concentration of field `field_idx` at site (x, y, z); out-of-range\n"
        "coordinates are clamped to the domain rather than panicking."
    ),
    "cell_contact_area_by_type": (
        "Per-cell contact-area-by-type: dict[cell_type -> contact-area] of how\n"
        "much of `cell_id`'s surface contacts each neighbor cell type (MEDIUM=0\n"
        "included). Contact area uses the configured (Moore) neighborhood, the\n"
        "same one `cell_surfaces()` uses -- not axis-faces only -- so the sum of\n"
        "values equals `cell_surfaces()[cell_id]`. Pure read."
    ),
    "to_bytes": (
        "The complete state of the world, in either phase, as checkpoint bytes:\n"
        "World.from_bytes(w.to_bytes()) continues exactly as w would."
    ),
    "from_bytes": (
        "A World restored from checkpoint bytes (any bytes-like object); ValueError\n"
        "when they are not a checkpoint, damaged, or from a newer tessaly."
    ),
    "save": (
        "Write the world's checkpoint to `path` (str or os.PathLike) through a\n"
        "temporary file renamed over it: a crash leaves the old file or the new one."
    ),
    "load": (
        "A World restored from a checkpoint file written by save(); reads only\n"
        "that format and runs no code from the file."
    ),
    "divide_cell": (
        "Divide one cell through its centroid by a plane whose normal is its major\n"
        "axis, its minor axis, a random direction or a given (x, y, z); the sites on\n"
        "the positive side go to a new cell. Return the new cell's id.\n"
        'links="keep" leaves the cell\'s links on it; "share" hands each to\n'
        "whichever of the two cells is nearer the linked cell."
    ),
    "add_link": (
        "Link cells a and b by a spring between their centroids, of energy\n"
        "lambda_*(d - length)**2; after a Monte Carlo step it breaks at d > max_length\n"
        "(None: never).\n"
        "A second link between the same cells replaces the first.\n"
        "a and b may also be sequences or integer arrays of equal length, linking\n"
        "a[k] with b[k]; each value is then a scalar for every link or one per link."
    ),
    "remove_link": "Remove the link between cells a and b.",
    "set_link_formation": (
        "After each Monte Carlo step, link every two touching cells of types type_a\n"
        "and type_b that are not linked yet, in order of their ids, unless one of\n"
        "them already has max_links links to cells of this type pair. A second\n"
        "call for the same pair replaces the rule."
    ),
    "cell_links": (
        "Every link as a dict of equal-length columns, each a memoryview, sorted by\n"
        "(id_a, id_b): id_a < id_b (int64), lambda, length, max_length and the\n"
        "current distance between the centroids (float64; NaN where a cell has no\n"
        "site)."
    ),
    "set_cell_frozen": "Freeze (or free) one cell: no copy into or out of its sites is accepted.",
    "add_cell_attribute": (
        "Add a per-cell attribute: a float64 column of cell_table() called `name`,\n"
        "`default` for every record and every new cell. When a cell divides, both\n"
        "cells keep the value (\"copy\"), each gets it times its share of the sites\n"
        "(\"split\"), or both get the default (\"reset\")."
    ),
    "cell_attribute": (
        "The attribute's value for every cell record, indexed by id (the medium\n"
        "first): a float64 memoryview of n_cells() + 1 items, a copy."
    ),
    "set_cell_attribute": (
        "Write the attribute: `values` (a float, or one per record) to every\n"
        "record, or, with `ids` (a sequence of registered ids), to those records\n"
        "(a float, or one per id; a repeated id takes its last value)."
    ),
    "set_act": (
        "The Act model for cells of the type: sites they gain take activity max_act\n"
        "(0-255), which decays by 1 per Monte Carlo step."
    ),
    "set_act_mean": 'The mean of the Act model\'s local activity: "geometric" or "arithmetic".',
    "activity_view": (
        "A read-only memoryview of the Act activities without a copy: format 'B',\n"
        "shape (nz, ny, nx), laid out as site_view. It shows the live values and\n"
        "keeps the World alive."
    ),
    "set_persistence": (
        "Persistent motion for cells of the type along a preferred direction that\n"
        "follows their displacement over the last delta_t steps."
    ),
    "set_tracking": (
        "Keep every cell's track, its centroid displacement accumulated over the\n"
        "Monte Carlo steps."
    ),
    "cell_centroids": "Every cell's centroid, right across periodic faces.",
    "cell_tracks": "Every cell's accumulated centroid displacement since tracking began.",
    "cell_directions": "Every cell's preferred direction of persistent motion.",
    "site_view": (
        "A read-only memoryview of the site ids without a copy: format 'I',\n"
        "shape (nz, ny, nx), so view[z, y, x] is site x + nx*(y + ny*z). It shows\n"
        "the live lattice and keeps the World alive."
    ),
    "field_view": (
        "A writable memoryview of field `field_idx`'s concentrations without a\n"
        "copy: format 'f', shape (nz, ny, nx); writing into it sets the field."
    ),
    "cell_table": (
        "One row per cell record (the medium first) as a dict of equal-length\n"
        "columns, each a memoryview: id, type, volume, surface, target_volume,\n"
        "lambda_volume, target_surface, lambda_surface, com_x, com_y, com_z,\n"
        "dir_x, dir_y, dir_z."
    ),
    "set_cell_params": (
        "Replace the given energy parameters of cell `cell_id`; the others keep\n"
        "their values. The surface term runs while some cell has lambda_surface != 0."
    ),
    "set_uptake": (
        "Cells of type `cell_type` take up field `field_idx`: each advance, after\n"
        "secretion, removes min(c, dt*max_rate*s*c/(km + c)) from every site of\n"
        "such a cell (min(c, dt*max_rate*s) when km = 0), s being 1 or the cell's\n"
        "value of the attribute `scale_by`. Never below zero; max_rate 0 stops it."
    ),
    "set_field_boundary": (
        "Hold field `field_idx` at `value` outside the box on its non-periodic\n"
        "faces (x and y only on a planar box): in the diffusion step the outside\n"
        "neighbour of a site on such a face holds `value`. None restores no-flux."
    ),
    "cell_neighbors": (
        "The neighbour graph as a dict of three int64 columns, each a memoryview:\n"
        "id_a, id_b, area, one row per pair of records in contact (id_a < id_b;\n"
        "the medium, 0, included), sorted by (id_a, id_b). area counts a cell's\n"
        "(site, configured neighbour) pairs with the other, the units of\n"
        "cell_contact_area_by_type. Running, the first call has copies keep it."
    ),
    "field_means": (
        "The mean concentration of field `field_idx` over each record's sites,\n"
        "by id (the medium first), as a float64 memoryview; NaN for a record\n"
        "without sites. One pass over the sites, summed in double in site order."
    ),
    "add_cell_ode": (
        "Add a system of equations that every cell integrates after each Monte\n"
        "Carlo step: one NAME' = EXPR per line, NAME a cell attribute. Return its index."
    ),
    "add_cell_rule": (
        "Add rules that every cell applies after the systems of each Monte Carlo\n"
        "step: one NAME = EXPR per line, each line for every cell before the next.\n"
        "Return its index."
    ),
    "set_division_rule": (
        "After the rules of each Monte Carlo step, divide every cell whose condition\n"
        "is not 0, in id order, as divide_cell does; None clears the rule."
    ),
}


def test_the_class_has_exactly_its_methods():
    public = {name for name in vars(World) if not name.startswith("_")}
    assert public == set(SIGNATURES)
    assert len(SIGNATURES) == 74


def stub_docstrings():
    """The docstrings of World's methods in binding/tessaly.pyi, by name."""
    tree = ast.parse((Path(__file__).resolve().parents[2] / "binding" / "tessaly.pyi").read_text())
    world = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "World")
    return {f.name: ast.get_docstring(f) or "" for f in world.body if isinstance(f, ast.FunctionDef)}


STUB_DOCS = stub_docstrings()


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_method_text_signature_and_documentation(name):
    method = getattr(World, name)
    assert method.__text_signature__ == SIGNATURES[name]
    assert method.__doc__ == DOCUMENTED.get(name)
    # the stub once worded site_view, field_view, cell_table and set_cell_params differently
    if method.__doc__:
        assert " ".join(STUB_DOCS[name].split()).startswith(" ".join(method.__doc__.split()))


def test_step_parallel_signature():
    parameters = inspect.signature(World.step_parallel).parameters
    assert list(parameters) == ["self", "mcs", "block"]
    assert parameters["block"].default == 16
    assert str(inspect.signature(make_world().step_parallel)) == "(mcs, block=16)"


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_every_parameter_is_accepted_by_keyword(name):
    # the names of the text signature are the names matching accepts: a
    # call naming each one gets past matching, whatever the body then does
    text = getattr(World, name).__text_signature__  # inspect cannot parse the name lambda
    parameters = [p.split("=")[0] for p in text[1:-1].split(", ")[1:] if p != "*"]
    keywords = {p: object() for p in parameters}
    try:
        getattr(make_world(), name)(**keywords)
    except TypeError as error:
        assert str(error).startswith("argument '"), error
    except (RuntimeError, InternalError):
        pass  # phase or engine error: matching succeeded


def test_keyword_named_lambda_is_matched():
    w = make_world()
    w.set_junction_lambda(**{"lambda": 0.5})
    w.set_length_constraint(1, 4.0, **{"lambda": 0.0})


# ---- argument matching ----


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda w: w.add_cell(1, 1.0, 1.0, 0.0),
         "World.add_cell() missing 1 required positional argument: 'lambda_surface'"),
        (lambda w: w.seed_block(1, 0, 0),
         "World.seed_block() missing 4 required positional arguments: 'z0', 'x1', 'y1', and 'z1'"),
        (lambda w: w.set_target_volume(),
         "World.set_target_volume() missing 2 required positional arguments: 'cell_id' and 'v'"),
        (lambda w: w.step_parallel(1, 2, 3),
         "World.step_parallel() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda w: w.dims(1), "World.dims() takes 1 positional argument but 2 were given"),
        (lambda w: w.step(1, 2), "World.step() takes 2 positional arguments but 3 were given"),
        (lambda w: w.step(1, mcs=2), "World.step() got multiple values for argument 'mcs'"),
        (lambda w: w.step(mcs=1, steps=2), "World.step() got an unexpected keyword argument 'steps'"),
        (lambda w: w.snapshot(x=1), "World.snapshot() got an unexpected keyword argument 'x'"),
        (lambda w: World((1, 1, 1), "noflux", 1),
         "World() missing 1 required positional argument: 'temperature'"),
        (lambda w: World((1, 1, 1), "noflux", 1, 1.0, 5),
         "World() takes 4 positional arguments but 5 were given"),
        (lambda w: World((1, 1, 1), "noflux", 1, temp=1.0),
         "World() got an unexpected keyword argument 'temp'"),
    ],
)
def test_matching_errors(world, call, message):
    with pytest.raises(TypeError) as info:
        call(world)
    assert str(info.value) == message
    assert info.value.__cause__ is None


def test_keyword_and_positional_calls_agree():
    a = World(dims=(3, 2, 1), boundary="noflux", neighbor_order=1, temperature=1.0)
    b = World((3, 2, 1), temperature=1.0, neighbor_order=1, boundary="noflux")
    for w in (a, b):
        c = w.add_cell(target_surface=0.0, lambda_surface=0.0, cell_type=3, target_volume=2.0, lambda_volume=1.0)
        w.seed_block(c, 0, 0, 0, x1=2, y1=1, z1=1)
    assert a.snapshot() == b.snapshot() == [1, 1, 0, 0, 0, 0]
    assert a.cell_types() == [0, 3]


# ---- argument conversion ----

# (method, args, exception, message): a TypeError row gives the argument name
# its message must start with; the others give the whole message.
CONVERSION_CASES = [
    ("World", ([10, 10, 10], "periodic", 1, 1.0), TypeError, "dims"),
    ("World", ((10, 10), "periodic", 1, 1.0), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    ("World", ((1, 1, 1, 1), "periodic", 1, 1.0), ValueError, "expected tuple of length 3, but got tuple of length 4"),
    ("World", ((10, -1, 1), "periodic", 1, 1.0), OverflowError, NEGATIVE_U64),
    ("World", ((10, 10, 1.0), "periodic", 1, 1.0), TypeError, "dims"),
    ("World", ((10, 10, 1), "Periodic", 1, 1.0), ValueError, "bad boundary Periodic"),
    ("World", ((10, 10, 1), "noflux\x00", 1, 1.0), ValueError, "bad boundary noflux\x00"),
    ("World", ((10, 10, 1), "\udcff", 1, 1.0), ValueError, "bad boundary \udcff"),
    ("World", ((10, 10, 1), b"noflux", 1, 1.0), TypeError, "boundary"),
    ("World", ((10, 10, 1), "noflux", 256, 1.0), OverflowError, NARROW),
    ("World", ((0, 4, 3), "noflux", 1, 1.0), ValueError, "dims: every dimension must be at least 1, got (0, 4, 3)"),
    ("World", ((5, 5, 0), "bogus", 1, 1.0), ValueError, "dims: every dimension must be at least 1, got (5, 5, 0)"),
    ("World", ((10, 10, 1), "noflux", -1, 1.0), OverflowError, NARROW),
    ("World", ((10, 10, 1), "noflux", 2**63, 1.0), OverflowError, HUGE_I64),
    ("World", ((10, 10, 1), "noflux", 1.0, 1.0), TypeError, "neighbor_order"),
    ("World", ((10, 10, 1), "noflux", 1, "hot"), TypeError, "temperature"),
    # arguments convert in signature order: the first failure is reported, before the boundary check
    ("World", ([1], "Periodic", 256, "hot"), TypeError, "dims"),
    ("World", ((1, 1, 1), "Periodic", 256, 1.0), OverflowError, NARROW),
    ("add_cell", (65536, 1.0, 1.0, 0.0, 0.0), OverflowError, NARROW),
    ("add_cell", (-1, 1.0, 1.0, 0.0, 0.0), OverflowError, NARROW),
    ("add_cell", ("1", "big", 1.0, 0.0, 0.0), TypeError, "cell_type"),
    ("add_cell", (1, "big", 1.0, 0.0, 0.0), TypeError, "target_volume"),
    ("seed_block", (2**32, 0, 0, 0, 1, 1, 1), OverflowError, NARROW),
    ("seed_block", (1, -1, 0, 0, 1, 1, 1), OverflowError, NEGATIVE_U64),
    ("seed_block", (1, 0, 0, 0, 2**64, 1, 1), OverflowError, HUGE_U64),
    ("seed_from_labels", ("0" * 64, {}, 1, 1.0, 1.0), TypeError, "labels"),
    ("seed_from_labels", (5, {}, 1, 1.0, 1.0), TypeError, "labels"),
    ("seed_from_labels", ([0, 1.5], {}, 1, 1.0, 1.0), TypeError, "labels"),
    ("seed_from_labels", ([0, -1], {}, 1, 1.0, 1.0), OverflowError, NARROW),
    ("seed_from_labels", ([2**32], {}, 1, 1.0, 1.0), OverflowError, NARROW),
    ("seed_from_labels", ([0] * 64, [(1, 2)], 1, 1.0, 1.0), TypeError, "types"),
    ("seed_from_labels", ([0] * 64, {1: 65536}, 1, 1.0, 1.0), OverflowError, NARROW),
    ("seed_from_labels", ([0] * 64, {-1: 1}, 1, 1.0, 1.0), OverflowError, NARROW),
    ("seed_from_labels", ([0] * 64, {"1": 1}, 1, 1.0, 1.0), TypeError, "types"),
    ("set_contact", (0, 2**63, 1.0), OverflowError, HUGE_I64),
    ("set_contact", (0, 1, None), TypeError, "j"),
    ("set_junction", (1, 1), TypeError, "on"),
    ("set_connectivity_medium", (None,), TypeError, "on"),
    ("set_membrane", ("012", 1.0, 1.0), TypeError, "anchors"),
    ("set_membrane", ([-1], 1.0, 1.0), OverflowError, NEGATIVE_U64),
    ("remove_cells", ("1",), TypeError, "ids"),
    ("remove_cells", ({1, 2},), TypeError, "ids"),
    ("add_field", (b"c", 1.0, 0.0), TypeError, "name"),
    ("advance_fields", (2**32,), OverflowError, NARROW),
    ("field_value_at", (0, -1, 0, 0), OverflowError, NEGATIVE_U64),
    ("finalize", (-1,), OverflowError, NEGATIVE_U64),
    ("finalize", ("1",), TypeError, "seed"),
    ("finalize", (1.0,), TypeError, "seed"),
    # conversion before the phase check: neither of these reaches "call finalize() first"
    ("step", (2**64,), OverflowError, HUGE_U64),
    ("step_parallel", (1, -2), OverflowError, NEGATIVE_U64),
]


@pytest.mark.parametrize("method, args, exception, message", CONVERSION_CASES)
def test_conversion(method, args, exception, message):
    call = World if method == "World" else getattr(make_world(), method)
    with pytest.raises(BaseException) as info:
        call(*args)
    error = info.value
    assert type(error) is exception
    if exception is TypeError:
        # a new TypeError naming the argument, caused by the first one
        first = error.__cause__
        assert type(first) is TypeError
        assert str(error) == f"argument '{message}': {first}"
    else:
        assert str(error) == message


@pytest.mark.parametrize(
    "call, note",
    [
        (lambda: make_world().add_cell(65536, 1.0, 1.0, 0.0, 0.0),
         "argument 'cell_type': expected an integer in [0, 65535]"),
        (lambda: make_world().set_target_volume(-1, 1.0),
         "argument 'cell_id': expected an integer in [0, 4294967295]"),
        (lambda: World((4, 4, 1), "noflux", 256, 1.0), "argument 'neighbor_order': expected an integer in [0, 255]"),
        (lambda: make_block_world().step(-1), "argument 'mcs': expected an integer in [0, 18446744073709551615]"),
    ],
)
def test_an_out_of_range_integer_names_its_argument_and_range_in_a_note(call, note):
    with pytest.raises(OverflowError) as info:
        call()
    assert info.value.__notes__ == [note]


def test_conversion_precedes_the_phase_check(running_world):
    with pytest.raises(TypeError, match="^argument 'seed': "):
        running_world.finalize("1")
    with pytest.raises(OverflowError, match=NARROW):
        running_world.add_cell(-1, 1.0, 1.0, 0.0, 0.0)
    with pytest.raises(TypeError, match="^argument 'mcs': "):
        make_world().step("1")


def test_integer_and_bool_conversion_accepts_numpy_scalars():
    np = pytest.importorskip("numpy")
    w = make_world(dims=(np.int64(4), np.uint8(2), np.int32(1)), neighbor_order=np.uint16(1),
                   temperature=np.float32(2.0))
    assert w.dims() == (4, 2, 1)
    assert all(type(n) is int for n in w.dims())
    c = w.add_cell(np.int16(2), np.float64(4.0), 1, 0, 0)  # ints are fine for floats
    w.seed_from_labels(np.array([0, 5, 5, 0, 0, 0, 0, 0], dtype=np.uint32), {np.int64(5): np.uint16(3)},
                       np.int8(1), 2.0, 1.0)
    w.set_junction(1, np.bool_(True))
    w.set_connectivity(1, np.bool_(False))
    w.set_connectivity_medium(True)
    assert w.snapshot() == [0, c + 1, c + 1, 0, 0, 0, 0, 0]
    assert w.cell_types() == [0, 2, 3]
    with pytest.raises(TypeError, match="^argument 'cell_type': "):
        w.add_cell(np.float64(1.0), 1.0, 1.0, 0.0, 0.0)
    with pytest.raises(TypeError, match="^argument 'on': "):
        w.set_junction(1, np.int64(1))


def test_sequences_of_any_kind_but_str(world):
    world.remove_cells(())
    world.remove_cells(range(0))
    world.set_membrane((0, 1), 1.0, 0.0)
    labels = bytes([0] * 63 + [9])  # bytes are a sequence of ints
    assert world.seed_from_labels(labels, {}, 1, 1.0, 1.0) == {9: 1}


# ---- phases ----


def test_set_up_only_methods_refuse_the_running_phase(running_world):
    w = running_world
    before = w.snapshot()
    with pytest.raises(RuntimeError, match="^add_cell after finalize$"):
        w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    with pytest.raises(RuntimeError, match="^seed after finalize$"):
        w.seed_block(1, 4, 4, 0, 6, 6, 1)
    with pytest.raises(RuntimeError, match="^seed after finalize$"):
        w.seed_from_labels([1] * 64, {}, 1, 1.0, 1.0)
    with pytest.raises(RuntimeError, match="^add_field after finalize$"):
        w.add_field("c", 1.0, 0.0)
    assert w.n_cells() == 1
    assert w.snapshot() == before


def test_running_only_methods_refuse_the_set_up_phase(world):
    with pytest.raises(RuntimeError, match=r"^call finalize\(\) first$"):
        world.step(1)
    with pytest.raises(RuntimeError, match=r"^call finalize\(\) first$"):
        world.step_parallel(1)
    with pytest.raises(RuntimeError, match=r"^call finalize\(\) first$"):
        world.step_parallel(0, block=1)


def test_a_second_finalize_leaves_the_run_alone():
    a, b = make_block_world(seed=5), make_block_world(seed=5)
    with pytest.raises(RuntimeError, match="^already finalized$"):
        a.finalize(6)
    a.step(4)
    b.step(4)
    assert a.snapshot() == b.snapshot()


def test_both_phase_methods_act_on_the_current_world():
    w = make_world(dims=(3, 3, 1), boundary="noflux")
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 1, 1, 0, 2, 2, 1)
    assert w.cell_volumes() == [0, 0]  # trackers are rebuilt by finalize
    assert w.cell_contact_area_by_type(c) == {0: 4}
    w.set_cell_type(c, 2)
    w.finalize(0)
    assert w.cell_volumes() == [8, 1]
    assert w.cell_types() == [0, 2]
    w.set_cell_type(c, 1)
    assert w.cell_types() == [0, 1]


def test_fresh_world():
    w = make_world(dims=(10, 10, 1), boundary="noflux", neighbor_order=1, temperature=1.0)
    assert w.dims() == (10, 10, 1)
    assert w.n_cells() == 0
    assert w.snapshot() == [0] * 100
    assert w.cell_coms() == [(0.0, 0.0, 0.0)]
    assert w.cell_types() == [0]
    assert w.cell_volumes() == [0]


def test_finalize_then_step_on_a_fresh_world():
    w = make_world()
    w.finalize(0)
    w.step(1)
    assert w.snapshot() == [0] * 64
    assert w.cell_volumes() == [64]
    assert w.cell_surfaces() == [0]


# ---- set-up methods ----


def test_add_cell_returns_consecutive_ids(world):
    assert [world.add_cell(t, 1.0, 1.0, 0.0, 0.0) for t in (1, 1, 2)] == [1, 2, 3]
    assert world.n_cells() == 3
    assert world.cell_types() == [0, 1, 1, 2]


def test_seed_block_paints_the_half_open_box():
    nx, ny = 4, 3
    w = make_world(dims=(nx, ny, 3))
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    assert w.seed_block(c, 2, 2, 2, 2, 3, 3) is None  # x0 == x1: nothing
    assert w.snapshot() == [0] * 36
    w.seed_block(c, 0, 0, 0, 2, 2, 2)
    painted = [i for i, v in enumerate(w.snapshot()) if v == c]
    assert painted == [0, 1, nx, nx + 1, nx * ny, nx * ny + 1, nx * ny + nx, nx * ny + nx + 1]


def test_seed_block_refuses_a_box_reaching_outside(world):
    c = world.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    # partly inside: refused as a whole, nothing painted
    for box in [(6, 6, 0, 9, 8, 1), (0, 7, 0, 1, 9, 1), (0, 0, 0, 1, 1, 2)]:
        with pytest.raises(ValueError, match="^seed_block box reaches outside the lattice$"):
            world.seed_block(c, *box)
    assert world.snapshot() == [0] * 64
    # an empty box is never checked
    world.seed_block(c, 100, 0, 0, 100, 200, 200)
    world.seed_block(c, 0, 0, 0, 8, 8, 1)
    assert world.snapshot() == [c] * 64


def test_seed_from_labels_examples():
    w = make_world(dims=(2, 1, 1))
    assert w.seed_from_labels([7, 7], {}, 2, 4.0, 1.0) == {7: 1}
    assert w.cell_types() == [0, 2]
    assert w.snapshot() == [1, 1]

    w = make_world(dims=(4, 1, 1))
    first = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(first, 0, 0, 0, 1, 1, 1)
    created = w.seed_from_labels([0, 5, 3, 5], {3: 4, 8: 9}, 2, 1.0, 1.0)
    assert created == {5: 2, 3: 3}
    assert list(created) == [5, 3]  # in order of creation
    assert w.snapshot() == [first, 2, 3, 2]  # a 0 label leaves the site alone
    assert w.cell_types() == [0, 1, 2, 4]


def test_seed_from_labels_twice_creates_fresh_cells():
    w = make_world(dims=(3, 1, 1))
    assert w.seed_from_labels([1, 1, 2], {}, 1, 1.0, 1.0) == {1: 1, 2: 2}
    assert w.seed_from_labels([1, 1, 2], {}, 1, 1.0, 1.0) == {1: 3, 2: 4}
    w.finalize(0)
    assert w.cell_volumes() == [0, 0, 0, 2, 1]


def test_seed_from_labels_length_must_match(world):
    with pytest.raises(InternalError, match="^labels length must equal n_sites$"):
        world.seed_from_labels([1, 2, 3], {}, 1, 1.0, 1.0)
    assert world.n_cells() == 0


def test_set_target_volume_checks_the_id(world):
    world.set_target_volume(0, 5.0)  # the medium's record is accepted
    with pytest.raises(InternalError):
        world.set_target_volume(1, 5.0)


# ---- contact energies ----


def dissolving_world(contacts_before=(), contacts_after=(), seed=11):
    """One single-site cell held by a strong volume term (lambda 20, T 1): with
    no contact energy it stays put; a contact energy of 50 against the medium
    makes the medium's copy into it favourable, and the cell vanishes."""
    w = make_world(dims=(5, 5, 1), boundary="noflux", temperature=1.0)
    c = w.add_cell(1, 1.0, 20.0, 0.0, 0.0)
    w.seed_block(c, 2, 2, 0, 3, 3, 1)
    for a, b, j in contacts_before:
        w.set_contact(a, b, j)
    w.finalize(seed)
    for a, b, j in contacts_after:
        w.set_contact(a, b, j)
    w.step(30)
    return w


def test_contact_energy_pairs_are_symmetric_and_the_last_wins():
    assert dissolving_world().cell_volumes()[1] == 1
    assert dissolving_world(contacts_before=[(1, 0, 50.0)]).cell_volumes()[1] == 0
    assert dissolving_world(contacts_before=[(0, 1, 50.0)]).cell_volumes()[1] == 0
    assert dissolving_world(contacts_before=[(1, 0, 50.0), (0, 1, 0.0)]).cell_volumes()[1] == 1
    assert dissolving_world(contacts_before=[(0, 1, 0.0), (1, 0, 50.0)]).cell_volumes()[1] == 0


def test_set_contact_in_the_running_phase_applies_at_once():
    before = dissolving_world(contacts_before=[(0, 1, 50.0)])
    after = dissolving_world(contacts_after=[(0, 1, 50.0)])
    assert after.cell_volumes()[1] == 0
    assert after.snapshot() == before.snapshot()
    # a type beyond the table grows it; the entries already set are kept
    grown = dissolving_world(contacts_after=[(0, 1, 50.0), (7, 7, 1.0)])
    assert grown.cell_volumes()[1] == 0


# ---- the largest type mentioned, observed through the contact table's size ----


def run_limited(code):
    """Runs `code` in a fresh interpreter whose address space is capped at 1 GiB,
    so that a 65536 x 65536 contact table (32 GiB) cannot be allocated."""
    script = "import resource\nresource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n" + textwrap.dedent(code)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_max_type_sizes_the_contact_table():
    outcomes = run_limited("""
        import tessaly
        def world():
            w = tessaly.World((4, 4, 1), "noflux", 1, 1.0)
            w.add_field("c", 0.0, 0.0)
            return w
        raising = {
            "add_cell": lambda w: w.add_cell(65535, 1.0, 1.0, 0.0, 0.0),
            "set_contact": lambda w: w.set_contact(0, 65535, 1.0),
            "seed_default_type": lambda w: w.seed_from_labels([0] * 16, {}, 65535, 1.0, 1.0),
            "seed_types": lambda w: w.seed_from_labels([0] * 16, {3: 65535}, 1, 1.0, 1.0),
            "seed_failing": lambda w: w.seed_from_labels([1], {}, 65535, 1.0, 1.0),
            "set_external_potential": lambda w: w.set_external_potential(65535, 0.0, 0.0, 0.0),
            "set_junction": lambda w: w.set_junction(65535, False),
            "set_connectivity": lambda w: w.set_connectivity(65535, False),
            "set_length_constraint": lambda w: w.set_length_constraint(65535, 0.0, 0.0),
            "set_membrane_anchored": lambda w: w.set_membrane_anchored(65535, False),
        }
        neutral = {
            "set_cell_type": lambda w: w.set_cell_type(0, 65535),
            "grow": lambda w: w.grow(65535, 1.0),
            "set_secretion": lambda w: w.set_secretion(0, 65535, 0.0),
            "set_chemotaxis": lambda w: w.set_chemotaxis(0, 65535, 0.0),
            "set_chemotaxis_occupancy": lambda w: w.set_chemotaxis_occupancy(0, 65535, 0.0, 1.0, 1.0, 1.0),
        }
        for name, call in {**raising, **neutral}.items():
            w = world()
            try:
                call(w)
            except BaseException:
                pass
            try:
                w.finalize(0)
                print(name + ":finalized")
            except MemoryError:
                print(name + ":MemoryError")
    """)
    results = dict(line.split(":") for line in outcomes)
    assert results == {
        **{name: "MemoryError" for name in [
            "add_cell", "set_contact", "seed_default_type", "seed_types", "seed_failing",
            "set_external_potential", "set_junction", "set_connectivity", "set_length_constraint",
            "set_membrane_anchored"]},
        **{name: "finalized" for name in [
            "set_cell_type", "grow", "set_secretion", "set_chemotaxis", "set_chemotaxis_occupancy"]},
    }


def test_finalize_that_cannot_hold_the_table_keeps_the_set_up_phase():
    outcomes = run_limited("""
        import tessaly
        w = tessaly.World((4, 4, 1), "noflux", 1, 1.0)
        c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
        w.seed_block(c, 0, 0, 0, 2, 2, 1)
        w.set_connectivity(65535, False)
        try:
            w.finalize(0)
        except MemoryError:
            print("MemoryError")
        print(sum(v == c for v in w.snapshot()))
        print(w.add_cell(2, 1.0, 1.0, 0.0, 0.0))  # still in the set-up phase
        try:
            w.step(1)
        except RuntimeError as error:
            print(str(error).replace(" ", "_"))
    """)
    assert outcomes == ["MemoryError", "4", "2", "call_finalize()_first"]


# ---- finalize failures ----


def test_seed_block_refuses_an_unregistered_id_and_paints_nothing():
    # the fault: id 9 was painted and only finalize refused it
    w = make_world(dims=(3, 3, 3), boundary="noflux")
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 1, 1, 1, 2, 2, 2)
    painted = w.snapshot()
    for box in ((0, 0, 0, 1, 1, 1), (0, 0, 0, 0, 0, 0)):  # an empty box too
        with pytest.raises(InternalError, match="^cell id 9 is not registered$"):
            w.seed_block(9, *box)
    assert w.snapshot() == painted
    assert w.add_cell(2, 1.0, 1.0, 0.0, 0.0) == 2
    w.seed_block(0, 0, 0, 0, 1, 1, 1)  # the medium is registered
    w.finalize(1)
    assert w.cell_volumes() == [26, 1, 0]
    assert w.cell_surfaces() == [6, 6, 0]
    w.step(1)


# ---- InternalError ----


def test_internal_error_derives_directly_from_base_exception():
    assert InternalError.__bases__ == (BaseException,)
    assert not issubclass(InternalError, Exception)
    assert InternalError.__name__ == "InternalError"
    assert InternalError.__module__ == "tessaly"


def test_internal_error_passes_through_except_exception_and_the_object_goes_on(world):
    with pytest.raises(InternalError):
        try:
            world.field_conc(0)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("InternalError was caught as an Exception")
    assert world.add_field("c", 0.0, 0.0) == 0
    assert world.field_conc(0) == [0.0] * 64


def test_step_parallel_refusals_are_internal_errors(running_world):
    with pytest.raises(InternalError, match="^block side must be >= 2$"):
        running_world.step_parallel(0, block=1)
    with pytest.raises(InternalError, match="^block side must be >= 2$"):
        running_world.step_parallel(0, 1)
    running_world.step_parallel(0)


# ---- borrowing ----


class CallsBack:
    """An integer whose conversion calls back into Python first."""

    def __init__(self, callback, value=1):
        self.callback = callback
        self.value = value

    def __index__(self):
        self.callback()
        return self.value


def test_a_mutating_call_refuses_re_entry(running_world):
    w = running_world
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        w.step(CallsBack(w.n_cells))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        w.set_target_volume(CallsBack(lambda: w.set_contact(1, 1, 1.0)), 1.0)
    w.step(1)  # the borrow was released with the error


def test_read_outs_share_access(running_world):
    w = running_world
    assert w.cell_length(CallsBack(w.snapshot)) == w.cell_length(1)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        w.cell_length(CallsBack(lambda: w.grow(1, 1.0)))
    w.grow(1, 1.0)


def test_matching_comes_before_borrowing(running_world):
    w = running_world
    with pytest.raises(TypeError) as info:
        w.step(CallsBack(lambda: w.step()))
    # the inner call failed matching, not borrowing
    assert str(info.value) == "argument 'mcs': World.step() missing 1 required positional argument: 'mcs'"


# ---- interruption ----


class Stop(Exception):
    pass


def interrupt_after(seconds, run, world):
    """Runs run(world) with an alarm whose handler raises Stop; the run must
    end with Stop."""

    def handler(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        with pytest.raises(Stop):
            run(world)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("run", [lambda w: w.step(10**15), lambda w: w.step_parallel(10**15, 4)])
def test_a_signal_stops_a_long_run(running_world, run):
    interrupt_after(0.2, run, running_world)
    running_world.step(1)  # the object is usable afterwards
    assert sum(running_world.cell_volumes()) == 64


# A field with 2**32 - 1 diffusion substeps makes a single advance run for
# hours; the signal must still get through between substeps.
@pytest.mark.parametrize(
    "run", [lambda w: w.step(1), lambda w: w.step_parallel(1, 4), lambda w: w.advance_fields(1)]
)
def test_a_signal_stops_a_long_field_advance(run):
    w = make_world(dims=(16, 16, 1))
    f = w.add_field("c", 0.1, 0.0)
    w.set_field_dynamics(f, 1.0, 2**32 - 1)
    w.finalize(1)
    interrupt_after(0.2, run, w)
    w.set_field_dynamics(f, 1.0, 1)
    w.step(1)


# ---- degenerate boxes ----


@pytest.mark.parametrize("dims", [(2**32, 2**32, 2), (2**63, 2**63, 2**63), (2**40, 1, 1)])
def test_a_box_too_large_raises_instead_of_crashing(dims):
    with pytest.raises((MemoryError, InternalError)):
        make_world(dims=dims, boundary="noflux")


# ---- results ----


def test_result_shapes(running_world):
    w = running_world
    assert w.cell_contact_area_by_type(2**32 - 1) == {}
    assert w.cell_contact_area_by_type(2) == {}
    coms = w.cell_coms()
    assert len(coms) == 2 and all(type(c) is tuple and len(c) == 3 for c in coms)
    assert type(w.n_cells()) is int
    assert type(w.dims()) is tuple
    assert w.divide_cells(1e9, 1.0) == []
    assert w.remove_cells([]) is None
