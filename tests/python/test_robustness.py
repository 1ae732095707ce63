"""Robustness: random call sequences over every method of World, with valid and
hostile arguments, in both phases. Every call must end in its documented
result or its documented exception, and the world it leaves must be
consistent: the trackers equal a recomputation from the sites, the registry
and the site array change only as the call says.

The default profile runs a bounded, fixed (derandomized) set of sequences,
as CI does; TESSALY_HYPOTHESIS_PROFILE=long searches far longer, with fresh
random sequences each time."""

import decimal
import fractions
import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import tessaly
from conftest import InternalError, make_block_world

settings.register_profile(
    "robustness-ci", max_examples=80, stateful_step_count=40, deadline=None, derandomize=True, database=None,
    suppress_health_check=list(HealthCheck))
settings.register_profile(
    "robustness-long", max_examples=4000, stateful_step_count=60, deadline=None,
    suppress_health_check=list(HealthCheck))
PROFILE = "robustness-" + os.environ.get("TESSALY_HYPOTHESIS_PROFILE", "ci")
UNDER_ASAN = os.environ.get("TESSALY_ASAN") == "1"

# the machine feeds finalize nonsense on purpose (NaN temperatures, unstable
# fields): the warnings it earns are checked in test_data.py, not here
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1
SIGNATURE_LENGTH = {"step_parallel": 2, "divide_cell": 3, "set_uptake": 5, "add_link": 5, "set_link_formation": 6}  # methods whose calls may leave out defaulted arguments
NAN = math.nan
INF = math.inf


# ---- hostile argument objects ----


class Index:
    """An integer-like object with __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class IntSub(int):
    pass


class Raising:
    """Every conversion raises `error` (a fresh instance each time)."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("conversion refused")

    def __float__(self):
        raise self.error("conversion refused")

    def __repr__(self):
        return f"Raising({self.error.__name__})"


class WrongResult:
    """__index__ and __float__ return a str."""

    def __index__(self):
        return "3"

    def __float__(self):
        return "3"

    def __repr__(self):
        return "WrongResult()"


class Seq:
    """A sequence by __len__ and __getitem__ alone. `length` may lie (or be an
    exception class that __len__ raises); reading position `fail_at` raises
    `error`."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length
        self.fail_at = fail_at
        self.error = error

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("no length")
        return self.length

    def __getitem__(self, k):
        if k == self.fail_at:
            raise self.error("item refused")
        return self.items[k]

    def __repr__(self):
        return f"Seq({self.items!r}, length={self.length!r}, fail_at={self.fail_at!r})"


class Arg:
    """One argument as passed, with what it converts to or the exception class
    its conversion raises."""

    __slots__ = ("value", "converted", "error")

    def __init__(self, value, converted=None, error=None):
        self.value = value
        self.converted = converted
        self.error = error

    def __repr__(self):
        return f"Arg({self.value!r})"


# ---- argument strategies ----


def int_variants(v):
    """Objects that convert to the non-negative int v."""
    out = [v, v, v, Index(v), IntSub(v), np.uint64(v)]
    if v < 2**63:
        out += [np.int64(v), np.array(v)]
    if v < 2**16:
        out.append(np.uint16(v))
    if v in (0, 1):
        out.append(bool(v))
    return out


def bad_ints(bits):
    limit = 2**bits - 1
    over, wrong = OverflowError, TypeError
    # the values just past either end of the range come up most often
    cases = [(limit + 1, over), (-1, over), (Index(limit + 1), over)] * 4 + [(np.int8(-1), over), (-(2**63), over), (-(2**64), over), (limit + 1, over),
             (2**64, over), (2**200, over), (Index(-5), over), (1.0, wrong), (NAN, wrong), ("1", wrong),
             (None, wrong), (np.float64(2.0), wrong), ([1], wrong), (np.array([3]), wrong),
             (decimal.Decimal(1), wrong), (np.True_, wrong), (WrongResult(), wrong), (b"1", wrong),
             (Raising(ZeroDivisionError), ZeroDivisionError)]
    if bits < 64:
        cases.append((np.uint64(limit + 1), over))
    return [Arg(value, error=error) for value, error in cases]


def mostly(good, bad, bad_weight=1, good_weight=24):
    # the good values come first, so that sequences shrink towards valid calls
    return st.integers(0, good_weight + bad_weight - 1).flatmap(lambda k: good if k < good_weight else bad)


def is_many(value):
    """Whether a per-cell setter takes `value` as a batch: a sequence or an array of one axis or more."""
    return isinstance(value, (list, tuple, bytes, Seq)) or (isinstance(value, np.ndarray) and value.ndim > 0)


def int_arg(bits, valid, bad_weight=1, hashable=False, one=False):
    """An integer argument of width `bits` whose valid values come from `valid`
    (`hashable`: only objects that can be dict keys; `one`: no bad value that
    a per-cell setter would take as a batch)."""

    def variants(v):
        return [x for x in int_variants(v) if not hashable or _hashable(x)]

    good = valid.flatmap(lambda v: st.sampled_from(variants(v)).map(lambda x, v=v: Arg(x, v)))
    bad = [a for a in bad_ints(bits) if not (one and is_many(a.value))]
    return mostly(good, st.sampled_from(bad), bad_weight) if bad_weight else good


def float_variants(v):
    out = [v, v, v, np.float64(v), decimal.Decimal(v)]
    if math.isfinite(v) and v == int(v) and abs(v) < 2**60 and math.copysign(1.0, v) > 0:
        out += [int(v), Index(int(v)), np.int64(int(v))]
    pairs = [(x, v) for x in out]
    if math.isfinite(v):
        # a Fraction has no signed zero: Fraction(-0.0) is 0, which converts to +0.0, as float() gives it
        pairs.append((fractions.Fraction(v), float(fractions.Fraction(v))))
    return pairs + ([(np.float32(v), float(np.float32(v)))] if not abs(v) > 1e30 else [])


BAD_FLOATS = [Arg(value, error=error) for value, error in [
    ("1.0", TypeError), (None, TypeError), ([1.0], TypeError), (1j, TypeError), (2**1100, OverflowError),
    (Raising(KeyError), KeyError), (WrongResult(), TypeError), (b"1", TypeError)]]

SPECIAL_FLOATS = [0.0, -0.0, 1e300, -1e300, 5e-324, INF, -INF, NAN]


def float_arg(lo=-20.0, hi=20.0, special=True, bad_weight=1, one=False):
    values = st.floats(lo, hi, allow_nan=False)
    if special:
        values = mostly(values, st.sampled_from(SPECIAL_FLOATS), bad_weight=1, good_weight=5)
    good = values.flatmap(lambda v: st.sampled_from(float_variants(v)).map(lambda p: Arg(*p)))
    return mostly(good, st.sampled_from([a for a in BAD_FLOATS if not (one and is_many(a.value))]), bad_weight)


def optional_float_arg(lo=-20.0, hi=20.0):
    """A float argument that also takes None: None is no bad value here (float_arg draws it as one)."""
    return st.just(Arg(None, None)) | float_arg(lo, hi).filter(lambda a: a.value is not None)


def bool_arg():
    good = st.sampled_from([Arg(True, True), Arg(False, False), Arg(np.True_, True), Arg(np.False_, False)])
    bad = st.sampled_from([Arg(v, error=TypeError) for v in (1, 0, None, "True", np.int64(1), 1.0)])
    return mostly(good, bad)


def str_arg():
    good = st.sampled_from(["", "c", "field", "\ud800", "\u00e9" * 50, "x" * 10000]).map(lambda s: Arg(s, s))
    bad = st.sampled_from([Arg(v, error=TypeError) for v in (b"c", None, 1)])
    return mostly(good, bad)


def first_error(args):
    return next((a.error for a in args if a.error is not None), None)


NOT_SEQUENCES = ("12", "", 7, None, {1, 2}, {1: 2}, (i for i in range(2)), np.array(3))


def sequence_arg(items, bits, not_sequences=NOT_SEQUENCES):
    """A sequence argument (anything but a str): a list drawn from `items`
    (valid Args), now and then with one item replaced by a bad integer, or
    one of `not_sequences`, refused with TypeError."""

    def poison(drawn):
        args, k, bad = drawn
        args = list(args)
        if args:
            args[k % len(args)] = bad
        else:
            args.append(bad)
        return args

    def wrap(args):
        error = first_error(args)
        converted = None if error else [a.converted for a in args]
        values = [a.value for a in args]
        containers = [list(values), tuple(values), Seq(values), Seq(values, length=10**12),
                      Seq(values, length=ValueError)]
        plain = error is None and all(type(v) is int for v in values)
        if plain:
            containers.append(np.array(values, dtype=np.uint64))
            if all(v < 256 for v in values):
                containers.append(bytes(values))
        out = [Arg(c, converted, error) for c in containers]
        out.append(Arg(Seq(values, fail_at=len(values), error=LookupError), error=error or LookupError))
        return st.sampled_from(out)

    lists = mostly(items, st.tuples(items, st.integers(0, 10**6), st.sampled_from(bad_ints(bits))).map(poison))
    good = lists.flatmap(wrap)
    bad = st.sampled_from([Arg(v, error=TypeError) for v in not_sequences])
    return mostly(good, bad)


def type_map_arg(keys, values):
    def build(pairs):
        d, meta = {}, {}
        for key, value in pairs:
            existing = next((k for k in d if k == key.value), None) if _hashable(key.value) else None
            if existing is not None:
                d[existing] = value.value
                meta[existing] = (meta[existing][0], value)
            else:
                d[key.value] = value.value
                meta[key.value] = (key, value)
        error = first_error([a for pair in meta.values() for a in pair])
        converted = None if error else {k.converted: v.converted for k, v in meta.values()}
        return Arg(d, converted, error)

    good = st.lists(st.tuples(keys, values), max_size=4).map(build)
    bad = st.sampled_from([Arg(v, error=TypeError) for v in ([(1, 1)], None, "a", 3)])
    return mostly(good, bad)


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


HASHABLE_BAD_KEYS = [Arg(v, error=e) for v, e in [(-1, OverflowError), (2**32, OverflowError), ("a", TypeError),
                                                   (1.5, TypeError), (None, TypeError)]]


# ---- the model's geometry ----


def neighbour_lists(dims, periodic, order):
    """The configured neighbours of every site, in offset order, as the lattice lists them."""
    nx, ny, nz = dims
    ze = 1 if nz >= 2 else 0
    offsets = [(dx, dy, dz) for dz in range(-ze, ze + 1) for dy in (-1, 0, 1) for dx in (-1, 0, 1)
               if (dx, dy, dz) != (0, 0, 0) and abs(dx) + abs(dy) + abs(dz) <= order]
    lists = []
    for z in range(nz):
        for y in range(ny):
            for x in range(nx):
                nb = []
                for dx, dy, dz in offsets:
                    p = []
                    for c, d, n in ((x, dx, nx), (y, dy, ny), (z, dz, nz)):
                        v = c + d
                        if periodic:
                            v %= n
                        elif not 0 <= v < n:
                            break
                        p.append(v)
                    else:
                        nb.append(p[0] + nx * (p[1] + ny * p[2]))
                lists.append(nb)
    return lists


def same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def close(a, b, rel=1e-9, abs_tol=1e-12):
    return math.isclose(a, b, rel_tol=rel, abs_tol=abs_tol)


ZERO_TRACKERS = (0,) * 11  # volume, surface, Σx, Σy, Σz, Σxx, Σyy, Σzz, Σxy, Σxz, Σyz


def major_axis(t):
    n = t[0]
    if n < 2:
        return 0.0
    mx, my, mz = t[2] / n, t[3] / n, t[4] / n
    cov = np.array([
        [t[5] / n - mx * mx, t[8] / n - mx * my, t[9] / n - mx * mz],
        [t[8] / n - mx * my, t[6] / n - my * my, t[10] / n - my * mz],
        [t[9] / n - mx * mz, t[10] / n - my * mz, t[7] / n - mz * mz]])
    return math.sqrt(12.0 * max(float(np.linalg.eigvalsh(cov)[-1]), 0.0))


class Outcome:
    __slots__ = ("converted", "result", "error")

    def __init__(self, converted, result, error):
        self.converted = converted
        self.result = result
        self.error = error


# ---- the state machine ----

PARAMETERS = ("target_volume", "lambda_volume", "target_surface", "lambda_surface")


# Rules the machine adds: GOOD_RULES compile and touch nothing the model
# follows; BAD_RULES map to their error.
GOOD_RULES = {
    "target_volume = target_volume + k * (volume < 3)",
    "# growth\nlambda_volume = max(1, mcs / 100)\n\ntarget_surface = if(surface > 4, surface, 4)",
    "lambda_surface = 0 * hill(volume, 2, 2)",
}
BAD_RULES = {
    "target_volume = volume +": "line 1, column 25: unexpected end of line",
    "x = 1": "line 1, column 1: 'x' is not a cell attribute or one of target_volume, lambda_volume, "
             "target_surface, lambda_surface, cell_type",
    "target_volume = 1\nvolume = 2": "line 2, column 1: 'volume' is not a cell attribute or one of target_volume, "
                                      "lambda_volume, target_surface, lambda_surface, cell_type",
    "target_volume = nbr_mean(nope)": "line 1, column 26: unknown attribute 'nope'",
    "target_volume = sin(1)": "line 1, column 17: unknown function 'sin'",
    "target_volume == 1": "line 1, column 15: expected NAME = EXPR, found '='",
}


class WorldMachine(RuleBasedStateMachine):
    """Drives one World through random calls of all 55 methods and keeps a
    model of what is observable: phase, registry (types), site array, trackers
    (exact once running), fields."""

    # -- set-up --

    @initialize(
        dims=st.one_of(
            st.tuples(st.integers(1, 5), st.integers(1, 5), st.just(1)),
            st.tuples(st.integers(1, 4), st.integers(1, 4), st.integers(2, 4)),
            st.tuples(st.integers(1, 2), st.integers(1, 2), st.integers(1, 2))),
        periodic=st.booleans(), order=st.integers(0, 3) | st.just(255),
        temperature=st.sampled_from([4.0, 0.5, 20.0, 0.0, -1.0, INF, NAN]), fields=st.integers(0, 2),
        data=st.data())
    def create(self, dims, periodic, order, temperature, fields, data):
        boundary = "periodic" if periodic else "noflux"
        self.w = tessaly.World(dims, boundary, order, temperature)
        self.dims = dims
        self.n_sites = dims[0] * dims[1] * dims[2]
        self.coords = [(x, y, z) for z in range(dims[2]) for y in range(dims[1]) for x in range(dims[0])]
        self.nbrs = neighbour_lists(dims, periodic, order)
        self.running = False
        # held for the whole sequence: it must show every change, across finalize too
        self.view = self.w.site_view()
        self.types = [0]
        self.snap = [0] * self.n_sites
        self.trackers = [ZERO_TRACKERS]
        self.frozen = set()
        self.tracking = False  # set_tracking(True) in force
        self.lambda_dir = {}   # by type, as set_persistence left it
        self.links = {}        # (id_a, id_b) -> (lambda, length, max_length), as cell_links() must list them
        self.link_rules = {}   # (type_a, type_b), type_a <= type_b -> (lambda, length, max_length, max_links)
        # most sequences start with a field or two, so that the field methods meet valid indices
        for f in range(fields):
            assert self.w.add_field(f"f{f}", 0.1, 0.01) == f
        self.n_fields = fields
        self.scales = [{} for _ in range(fields)]  # by field: id -> secretion scale as set (unregistered ids too)
        self.scale_unknown = set()  # daughters of divisions: their scales are the division's rule, not modelled here
        # and with a few cells painted, so that the sweeps have something to move
        labels = data.draw(st.lists(st.integers(0, 4), min_size=self.n_sites, max_size=self.n_sites), label="labels")
        if any(labels):
            types = data.draw(st.dictionaries(st.integers(1, 4), st.integers(1, 3)), label="types")
            created = self.w.seed_from_labels(labels, types, 1, self.n_sites / 4, 1.0)
            for i, label in enumerate(labels):
                if label:
                    self.snap[i] = created[label]
            order_of_creation = sorted(created, key=created.get)
            assert [created[k] for k in order_of_creation] == list(range(1, len(created) + 1))
            self.add_records([types.get(label, 1) for label in order_of_creation])

    @property
    def n(self):
        return len(self.types) - 1

    # -- calling --

    def call(self, data, name, *params):
        """Calls w.NAME with `params` ((name, Arg) pairs) in a drawn form:
        positional, by keyword, mixed, or mismatched. Checks matching and
        conversion errors; returns an Outcome when the body ran, else None."""
        names = [p for p, _ in params]
        args = [a for _, a in params]
        form = data.draw(st.sampled_from(
            ["positional"] * 10 + ["keywords"] * 5 + ["mixed"] * 3 + ["missing", "surplus", "unknown"]),
            label=f"{name} form")
        method = getattr(self.w, name)
        values = [a.value for a in args]
        if form == "missing" and not names:
            form = "surplus"
        if form == "positional":
            pos, kw = values, {}
        elif form == "keywords":
            pos, kw = [], dict(zip(names, values))
        elif form == "mixed":
            cut = len(values) // 2
            pos, kw = values[:cut], dict(zip(names[cut:], values[cut:]))
        elif form == "missing":
            pos, kw = [], {}
        elif form == "surplus":
            pos, kw = values + [0] * (1 + SIGNATURE_LENGTH.get(name, len(values)) - len(values)), {}
        else:
            pos, kw = values, {"bogus": 0}
        try:
            result, error = method(*pos, **kw), None
        except BaseException as e:  # noqa: BLE001 - InternalError derives from BaseException
            result, error = None, e
        if form in ("missing", "surplus", "unknown"):
            assert type(error) is TypeError, (name, form, error)
            assert str(error).startswith(f"World.{name}() "), str(error)
            return None
        for pname, a in params:
            if a.error is not None:
                assert type(error) is a.error, (name, pname, a, error)
                if a.error is TypeError:
                    assert str(error).startswith(f"argument '{pname}': "), str(error)
                return None
        return Outcome([a.converted for a in args], result, error)

    @staticmethod
    def expect(out, error=None, message=None):
        """The call returned (error None) or raised exactly `error` with `message`."""
        if error is None:
            if out.error is not None:
                raise out.error
            return out.result
        assert type(out.error) is error, (error, out.error)
        if message is not None:
            assert str(out.error) == message
        return None

    # -- argument strategies that depend on the state --

    def cell_id(self):
        return int_arg(32, st.sampled_from(list(range(self.n + 3)) + [U32_MAX]))

    def cell_ids(self):
        """cell_id of a per-cell setter: mostly one id, now and then a batch (a list, tuple, array, bytes, ...)."""
        one = int_arg(32, st.sampled_from(list(range(self.n + 3)) + [U32_MAX]), one=True)
        item = int_arg(32, mostly(st.integers(0, self.n), st.sampled_from([self.n + 1, U32_MAX]), 1, 8), bad_weight=0)
        many = sequence_arg(st.lists(item, max_size=5), 32, not_sequences=("12", None, {1, 2}, 1.5))
        return mostly(one, many, bad_weight=1, good_weight=3)

    @staticmethod
    def batch_of(cid):
        """The ids of a batch argument, or None for one id (or a refused argument)."""
        return cid.converted if cid.error is None and isinstance(cid.converted, list) else None

    def per_id(self, data, value, ids):
        """A value argument for `ids` (None: one id): one value (`value(one=True)`, nothing a batch
        would take), or for a batch, now and then a list or array of about one value per id."""
        if ids is None or data.draw(st.integers(0, 2)) == 0:
            return data.draw(value(one=ids is not None))
        n = len(ids)
        length = data.draw(st.sampled_from([n] * 6 + [n + 1, max(n - 1, 0)]))
        args = data.draw(st.lists(value(one=True, bad_weight=0), min_size=length, max_size=length))
        converted = [a.converted for a in args]
        containers = [[a.value for a in args], tuple(a.value for a in args)]
        if all(type(v) is float for v in converted):
            containers.append(np.array(converted, dtype=np.float64))
        return Arg(data.draw(st.sampled_from(containers)), converted)

    @staticmethod
    def batch_refusal(ids, columns):
        """What a batch call refuses first, as (class, message), or None: a column of another length
        (in argument order), then an id beyond the registry. `columns` are (name, converted) pairs."""
        for name, values in columns:
            if isinstance(values, list) and len(values) != len(ids):
                return ValueError, f"{name}: expected {len(ids)} values, one per id, got {len(values)}"
        return None

    def table_type(self):
        """A type that sizes the contact table: kept small."""
        return int_arg(16, st.sampled_from([0, 1, 2, 3, 4]) | st.just(300))

    def any_type(self):
        return int_arg(16, st.sampled_from([0, 1, 2, 3, 4]) | st.just(65535))

    def field_idx(self):
        beyond = st.integers(self.n_fields, self.n_fields + 1) | st.just(U64_MAX)
        if not self.n_fields:
            return int_arg(64, beyond)
        return int_arg(64, mostly(st.integers(0, self.n_fields - 1), beyond, 1, 5))

    def coordinate(self, axis):
        return int_arg(64, st.integers(0, self.dims[axis] + 1) | st.just(U64_MAX))

    def small_count(self, bits, hi):
        return int_arg(bits, st.integers(0, hi))

    # -- the model's bookkeeping --

    def unregistered_painted(self):
        return any(v > self.n for v in self.snap)

    def exact_trackers(self):
        out = [[0] * 11 for _ in range(self.n + 1)]
        for i, c in enumerate(self.snap):
            x, y, z = self.coords[i]
            t = out[c]
            t[0] += 1
            t[1] += sum(self.snap[j] != c for j in self.nbrs[i])
            for k, v in enumerate((x, y, z, x * x, y * y, z * z, x * y, x * z, y * z)):
                t[2 + k] += v
        return [tuple(t) for t in out]

    def recompute(self):
        """The world recomputes its trackers: InternalError when a site holds an unregistered id."""
        if self.unregistered_painted():
            return InternalError
        self.trackers = self.exact_trackers()
        return None

    def add_records(self, types):
        self.types += types
        self.trackers += [ZERO_TRACKERS] * len(types)

    def contacts(self, cid):
        """cell_contact_area_by_type(cid) as documented, or InternalError."""
        counts = {}
        for i, c in enumerate(self.snap):
            if c != cid:
                continue
            for j in self.nbrs[i]:
                other = self.snap[j]
                if other == cid:
                    continue
                if other > self.n:
                    return InternalError if cid <= self.n else {}
                t = self.types[other]
                counts[t] = counts.get(t, 0) + 1
        return counts

    # -- set-up methods --

    @rule(data=st.data())
    def add_cell(self, data):
        out = self.call(data, "add_cell", ("cell_type", data.draw(self.table_type())),
                        *[(p, data.draw(float_arg(0.0, 20.0))) for p in
                          ("target_volume", "lambda_volume", "target_surface", "lambda_surface")])
        if out is None:
            return
        if self.running:
            self.expect(out, RuntimeError, "add_cell after finalize")
            return
        assert self.expect(out) == self.n + 1
        self.add_records([out.converted[0]])

    @rule(data=st.data())
    def seed_block(self, data):
        cid = data.draw(int_arg(32, st.integers(0, self.n) | st.sampled_from([self.n + 1, self.n + 2, U32_MAX]),
                                bad_weight=1))
        lo = [data.draw(self.coordinate(a)) for a in range(3)]
        hi = [data.draw(self.coordinate(a)) for a in range(3)]
        out = self.call(data, "seed_block", ("cell_id", cid), ("x0", lo[0]), ("y0", lo[1]), ("z0", lo[2]),
                        ("x1", hi[0]), ("y1", hi[1]), ("z1", hi[2]))
        if out is None:
            return
        if self.running:
            self.expect(out, RuntimeError, "seed after finalize")
            return
        c, x0, y0, z0, x1, y1, z1 = out.converted
        empty = x0 >= x1 or y0 >= y1 or z0 >= z1
        nx, ny, nz = self.dims
        if not empty and (x1 > nx or y1 > ny or z1 > nz):
            self.expect(out, ValueError, "seed_block box reaches outside the lattice")
            return
        if c > self.n:
            # refused at once, even for an empty box: nothing painted
            self.expect(out, InternalError, f"cell id {c} is not registered")
            return
        if empty:
            assert self.expect(out) is None
            return
        assert self.expect(out) is None
        for z in range(z0, z1):
            for y in range(y0, y1):
                for x in range(x0, x1):
                    self.snap[x + nx * (y + ny * z)] = c

    @rule(data=st.data())
    def seed_from_labels(self, data):
        label = int_arg(32, st.sampled_from([0, 0, 0, 1, 2, 3, 7, U32_MAX]), bad_weight=0)
        length = data.draw(st.sampled_from([self.n_sites] * 8 + [max(self.n_sites - 1, 0), self.n_sites + 1]))
        labels = data.draw(sequence_arg(st.lists(label, min_size=length, max_size=length), 32))
        keys = mostly(int_arg(32, st.sampled_from([1, 2, 3, 7, U32_MAX]), bad_weight=0, hashable=True),
                      st.sampled_from(HASHABLE_BAD_KEYS))
        types = data.draw(type_map_arg(keys, self.table_type()))
        out = self.call(data, "seed_from_labels", ("labels", labels), ("types", types),
                        ("default_type", data.draw(self.table_type())),
                        ("target_volume", data.draw(float_arg(0.0, 20.0))),
                        ("lambda_volume", data.draw(float_arg(0.0, 5.0))))
        if out is None:
            return
        if self.running:
            self.expect(out, RuntimeError, "seed after finalize")
            return
        labels, types, default = out.converted[:3]
        if len(labels) != self.n_sites:
            self.expect(out, InternalError, "labels length must equal n_sites")
            return
        result = self.expect(out)
        created = {}
        for i, lab in enumerate(labels):
            if lab == 0:
                continue
            if lab not in created:
                created[lab] = self.n + 1
                self.add_records([types.get(lab, default)])
            self.snap[i] = created[lab]
        assert type(result) is dict
        assert list(result.items()) == list(created.items())

    @rule(data=st.data())
    def set_contact(self, data):
        out = self.call(data, "set_contact", ("type_a", data.draw(self.table_type())),
                        ("type_b", data.draw(self.table_type())), ("j", data.draw(float_arg())))
        if out is not None:
            assert self.expect(out) is None

    @rule(data=st.data())
    def set_target_volume(self, data):
        out = self.call(data, "set_target_volume", ("cell_id", data.draw(self.cell_id())),
                        ("v", data.draw(float_arg(0.0, 30.0))))
        if out is not None:
            self.expect(out, InternalError if out.converted[0] > self.n else None)

    @rule(data=st.data())
    def set_cell_params(self, data):
        cid = data.draw(self.cell_ids())
        ids = self.batch_of(cid)
        drawn = {p: self.per_id(data, lambda **k: float_arg(-1.0, 20.0, **{"bad_weight": 0, **k}), ids)
                 for p in PARAMETERS if data.draw(st.booleans())}
        given = {p: a.value for p, a in drawn.items()}
        before = self.w.cell_table()
        try:
            self.w.set_cell_params(cid.value, **given)
            error = None
        except BaseException as e:  # noqa: BLE001 - InternalError derives from BaseException
            error = e
        after = self.w.cell_table()
        if cid.error is not None:
            assert type(error) is cid.error, (cid, error)
            expected = None
        elif ids is None:
            expected = InternalError if cid.converted > self.n else None
            if expected is None:
                ids, drawn = [cid.converted], {p: Arg(a.value, [a.converted]) for p, a in drawn.items()}
        else:
            refused = self.batch_refusal(ids, [(p, a.converted) for p, a in drawn.items()])
            bad = next((c for c in ids if c > self.n), None)
            if refused is None and bad is not None:
                refused = InternalError, f"cell id {bad} is not registered"
            expected = refused and refused[0]
            if refused:
                assert type(error) is refused[0] and str(error) == refused[1], (refused, error)
        if expected is not None or cid.error is not None:
            assert type(error) is (cid.error or expected)
            for name in PARAMETERS:
                assert all(map(same_float, after[name].tolist(), before[name].tolist())), name
            return
        if error is not None:
            raise error
        for name in PARAMETERS:
            column = before[name].tolist()
            if name in drawn:
                values = drawn[name].converted
                for k, c in enumerate(ids):
                    column[c] = values[k] if isinstance(values, list) else values
            assert all(map(same_float, after[name].tolist(), column)), (name, given)

    @rule(data=st.data())
    def snapshot(self, data):
        out = self.call(data, "snapshot")
        if out is not None:
            assert self.expect(out) == self.snap

    @rule(data=st.data())
    def dims_(self, data):
        out = self.call(data, "dims")
        if out is not None:
            assert self.expect(out) == self.dims

    @rule(data=st.data())
    def n_cells(self, data):
        out = self.call(data, "n_cells")
        if out is not None:
            assert self.expect(out) == self.n

    # -- finalize and step --

    @rule(data=st.data())
    def finalize(self, data):
        out = self.call(data, "finalize", ("seed", data.draw(int_arg(64, st.integers(0, 5) | st.just(U64_MAX)))))
        if out is None:
            return
        if self.running:
            self.expect(out, RuntimeError, "already finalized")
            return
        error = self.recompute()
        self.expect(out, error)
        self.running = error is None

    # finalize and the sweeps are drawn as often as two or three rules, so
    # that sequences spend time in both phases and the dynamics get to run
    @rule(data=st.data())
    def finalize_b(self, data):
        self.finalize(data)

    @rule(data=st.data())
    def finalize_c(self, data):
        self.finalize(data)

    @precondition(lambda self: self.running)
    @rule(data=st.data())
    def step_running(self, data):
        self.step(data)

    @precondition(lambda self: self.running)
    @rule(data=st.data())
    def step_running_b(self, data):
        self.step(data)

    @precondition(lambda self: self.running)
    @rule(data=st.data())
    def step_parallel_running(self, data):
        self.step_parallel(data)

    def after_sweep(self):
        before = self.snap
        self.snap = self.w.snapshot()
        assert all(0 <= v <= self.n for v in self.snap)
        # a frozen cell never gains or loses a site
        for i, (a, b) in enumerate(zip(before, self.snap)):
            assert a == b or (a not in self.frozen and b not in self.frozen), (i, a, b)
        self.links_after_steps()

    def links_after_steps(self):
        """After Monte Carlo steps, links kept are unchanged, links gone had a finite max_length, and
        links formed join two cells with sites of a rule's types, neither beyond the rule's max_links."""
        now = self.link_table()
        for pair, kept in self.links.items():
            assert now.get(pair, kept) == kept and (pair in now or kept[2] < INF), (pair, kept)
        volumes = [self.snap.count(c) for c in range(self.n + 1)]
        for (a, b), params in now.items():
            if (a, b) in self.links:
                continue
            pair_types = tuple(sorted((self.types[a], self.types[b])))
            rule = self.link_rules[pair_types]
            assert params == rule[:3] and volumes[a] and volumes[b], ((a, b), params, rule)
            for c in (a, b):
                count = sum(1 for (x, y) in now if c in (x, y) and tuple(sorted((self.types[x], self.types[y]))) == pair_types)
                assert rule[3] is None or count <= rule[3], (c, count, rule)
        self.links = now

    def link_table(self):
        """cell_links() as {(id_a, id_b): (lambda, length, max_length)}, its columns checked."""
        g = {k: np.asarray(v) for k, v in self.w.cell_links().items()}
        assert list(g) == ["id_a", "id_b", "lambda", "length", "max_length", "distance"]
        assert g["id_a"].dtype == g["id_b"].dtype == np.int64
        rows = list(zip(g["id_a"].tolist(), g["id_b"].tolist()))
        assert rows == sorted(set(rows)) and all(0 < a < b <= self.n for a, b in rows), rows
        return {row: params for row, params in
                zip(rows, zip(g["lambda"].tolist(), g["length"].tolist(), g["max_length"].tolist()))}

    @rule(data=st.data())
    def step(self, data):
        # 1500 steps of these small boxes are enough attempts for the sweep
        # to make its words in wide rounds
        out = self.call(data, "step", ("mcs", data.draw(int_arg(64, st.sampled_from([1, 2, 3, 0, 1500])))))
        if out is None:
            return
        if not self.running:
            self.expect(out, RuntimeError, "call finalize() first")
            return
        assert self.expect(out) is None
        self.after_sweep()

    @rule(data=st.data())
    def step_parallel(self, data):
        params = [("mcs", data.draw(int_arg(64, st.sampled_from([1, 2, 3, 0]))))]
        if data.draw(st.booleans()):
            params.append(("block", data.draw(int_arg(64, st.sampled_from([0, 1, 2, 3, 16, U64_MAX])))))
        out = self.call(data, "step_parallel", *params)
        if out is None:
            return
        block = out.converted[1] if len(out.converted) > 1 else 16
        if not self.running:
            self.expect(out, RuntimeError, "call finalize() first")
        elif block < 2:
            self.expect(out, InternalError, "block side must be >= 2")
        else:
            assert self.expect(out) is None
            self.after_sweep()

    # -- configuration --

    @rule(data=st.data())
    def grow(self, data):
        out = self.call(data, "grow", ("cell_type", data.draw(self.any_type())), ("rate", data.draw(float_arg())))
        if out is not None:
            assert self.expect(out) is None

    @rule(data=st.data())
    def add_field(self, data):
        out = self.call(data, "add_field", ("name", data.draw(str_arg())), ("d", data.draw(float_arg(0.0, 0.2))),
                        ("decay", data.draw(float_arg(0.0, 0.2))))
        if out is None:
            return
        if self.running:
            self.expect(out, RuntimeError, "add_field after finalize")
            return
        assert self.expect(out) == self.n_fields
        self.n_fields += 1
        self.scales.append({})

    def simple(self, data, name, *params, needs_field=False):
        out = self.call(data, name, *params)
        if out is None:
            return None
        bad_field = needs_field and out.converted[0] >= self.n_fields
        self.expect(out, InternalError if bad_field else None)
        return out

    @rule(data=st.data())
    def set_junction(self, data):
        self.simple(data, "set_junction", ("cell_type", data.draw(self.table_type())), ("on", data.draw(bool_arg())))

    @rule(data=st.data())
    def set_junction_lambda(self, data):
        self.simple(data, "set_junction_lambda", ("lambda", data.draw(float_arg())))

    @rule(data=st.data())
    def set_membrane(self, data):
        site = int_arg(64, st.integers(0, self.n_sites + 1) | st.just(U64_MAX), bad_weight=0)
        self.simple(data, "set_membrane", ("anchors", data.draw(sequence_arg(st.lists(site, max_size=4), 64))),
                    ("k", data.draw(float_arg())), ("band", data.draw(float_arg(-2.0, 5.0))))

    @rule(data=st.data())
    def set_membrane_anchored(self, data):
        self.simple(data, "set_membrane_anchored", ("cell_type", data.draw(self.table_type())),
                    ("on", data.draw(bool_arg())))

    def batch_outcome(self, out, ids, columns, medium_refused=False):
        """Checks a batch call's refusal, if any (lengths, then the medium, then the registry); returns
        whether it went through. `columns`: (name, converted) pairs, a scalar for every id or a list."""
        refused = self.batch_refusal(ids, columns)
        if refused is None and medium_refused and 0 in ids:
            refused = ValueError, "cell_id: the medium cannot be frozen"
        bad = next((c for c in ids if c > self.n), None)
        if refused is None and bad is not None:
            refused = InternalError, f"cell id {bad} is not registered"
        if refused is not None:
            self.expect(out, *refused)
            return False
        assert self.expect(out) is None
        return True

    @staticmethod
    def each(values, n):
        return values if isinstance(values, list) else [values] * n

    @rule(data=st.data())
    def set_cell_type(self, data):
        cid = data.draw(self.cell_ids())
        new_type = self.per_id(data, lambda one, bad_weight=1: int_arg(
            16, st.sampled_from([0, 1, 2, 3, 4]) | st.just(65535), bad_weight=bad_weight, one=one), self.batch_of(cid))
        out = self.call(data, "set_cell_type", ("cell_id", cid), ("new_type", new_type))
        if out is None:
            return
        ids, t = out.converted
        if isinstance(ids, list):
            if self.batch_outcome(out, ids, [("new_type", t)]):
                for c, v in zip(ids, self.each(t, len(ids))):
                    self.types[c] = v
            return
        if ids > self.n:
            self.expect(out, InternalError)
            return
        assert self.expect(out) is None
        self.types[ids] = t

    @rule(data=st.data())
    def set_secretion(self, data):
        self.simple(data, "set_secretion", ("field_idx", data.draw(self.field_idx())),
                    ("cell_type", data.draw(self.any_type())), ("rate", data.draw(float_arg())), needs_field=True)

    @rule(data=st.data())
    def set_cell_secretion_scale(self, data):
        f, cid = data.draw(self.field_idx()), data.draw(self.cell_ids())
        scale = self.per_id(data, lambda one, bad_weight=1: float_arg(bad_weight=bad_weight, one=one), self.batch_of(cid))
        out = self.call(data, "set_cell_secretion_scale", ("field_idx", f), ("cell_id", cid), ("scale", scale))
        if out is None:
            return
        f, ids, scale = out.converted
        if not isinstance(ids, list):
            # one id: not checked against the registry, and kept for a record made later
            self.expect(out, InternalError if f >= self.n_fields else None)
            if f < self.n_fields:
                self.scales[f][ids] = scale
                self.scale_unknown.discard(ids)
            return
        if self.batch_refusal(ids, [("scale", scale)]) is None and f >= self.n_fields:
            self.expect(out, InternalError, "field index out of range")
        elif self.batch_outcome(out, ids, [("scale", scale)]):
            for c, v in zip(ids, self.each(scale, len(ids))):
                self.scales[f][c] = v
                self.scale_unknown.discard(c)

    @rule(data=st.data())
    def advance_fields(self, data):
        self.simple(data, "advance_fields", ("n", data.draw(self.small_count(32, 3))))

    @rule(data=st.data())
    def set_chemotaxis(self, data):
        self.simple(data, "set_chemotaxis", ("field_idx", data.draw(self.field_idx())),
                    ("cell_type", data.draw(self.any_type())), ("lambda_val", data.draw(float_arg())),
                    needs_field=True)

    @rule(data=st.data())
    def set_chemotaxis_occupancy(self, data):
        self.simple(data, "set_chemotaxis_occupancy", ("field_idx", data.draw(self.field_idx())),
                    ("cell_type", data.draw(self.any_type())),
                    *[(p, data.draw(float_arg())) for p in ("lambda_val", "kd", "hill", "scale")], needs_field=True)

    @rule(data=st.data())
    def set_connectivity(self, data):
        self.simple(data, "set_connectivity", ("cell_type", data.draw(self.table_type())),
                    ("on", data.draw(bool_arg())))

    @rule(data=st.data())
    def set_connectivity_medium(self, data):
        self.simple(data, "set_connectivity_medium", ("on", data.draw(bool_arg())))

    @rule(data=st.data())
    def set_field_dynamics(self, data):
        self.simple(data, "set_field_dynamics", ("field_idx", data.draw(self.field_idx())),
                    ("dt", data.draw(float_arg(0.0, 2.0))), ("substeps", data.draw(self.small_count(32, 3))),
                    needs_field=True)

    @rule(data=st.data())
    def field_add_source_at(self, data):
        f = data.draw(self.field_idx())
        xyz = [data.draw(self.coordinate(a)) for a in range(3)]
        amount = data.draw(float_arg(-5.0, 50.0))
        valid_field = f.error is None and f.converted < self.n_fields
        before = self.w.field_conc(f.converted) if valid_field else None
        out = self.call(data, "field_add_source_at", ("field_idx", f), ("x", xyz[0]), ("y", xyz[1]),
                        ("z", xyz[2]), ("amount", amount))
        if out is None:
            return
        if not valid_field or self.n_sites == 0:
            self.expect(out, InternalError)
            return
        assert self.expect(out) is None
        x, y, z = (min(c, d - 1) for c, d in zip(out.converted[1:4], self.dims))
        k = x + self.dims[0] * (y + self.dims[1] * z)
        with np.errstate(all="ignore"):
            before[k] = float(np.float32(before[k]) + np.float32(out.converted[4]))
        after = self.w.field_conc(f.converted)
        assert all(same_float(a, b) for a, b in zip(after, before))

    @rule(data=st.data())
    def set_length_constraint(self, data):
        self.simple(data, "set_length_constraint", ("cell_type", data.draw(self.table_type())),
                    ("target_length", data.draw(float_arg(0.0, 6.0))), ("lambda", data.draw(float_arg(-1.0, 1.0))))

    @rule(data=st.data())
    def set_external_potential(self, data):
        self.simple(data, "set_external_potential", ("cell_type", data.draw(self.table_type())),
                    *[(p, data.draw(float_arg(-3.0, 3.0))) for p in ("fx", "fy", "fz")])

    @rule(data=st.data())
    def divide_cells(self, data):
        threshold = data.draw(float_arg(-2.0, 12.0))
        if threshold.error is None and not threshold.converted > 0.0 and self.n > 60:
            threshold = Arg(NAN, NAN)  # every cell would divide: keep the registry small
        out = self.call(data, "divide_cells", ("threshold", threshold), ("reset_target", data.draw(float_arg())))
        if out is None:
            return
        t = out.converted[0]
        candidates = [c for c in range(1, self.n + 1) if self.trackers[c][0] >= t]
        if not candidates:
            assert self.expect(out) == []
            return
        # boxes, cuts and assignment as documented: the upper part of the longest side goes to the daughter
        first = self.n + 1
        daughters = list(range(first, first + len(candidates)))
        slot = {c: k for k, c in enumerate(candidates)}
        lo = [[math.inf] * 3 for _ in candidates]
        hi = [[-1] * 3 for _ in candidates]
        for i, c in enumerate(self.snap):
            if c in slot:
                for a in range(3):
                    lo[slot[c]][a] = min(lo[slot[c]][a], self.coords[i][a])
                    hi[slot[c]][a] = max(hi[slot[c]][a], self.coords[i][a])
        cuts = []
        for k in range(len(candidates)):
            ext = [hi[k][a] - lo[k][a] if hi[k][a] >= lo[k][a] else 0 for a in range(3)]
            axis = 2 if ext[2] > ext[0] and ext[2] > ext[1] else (1 if ext[1] > ext[0] else 0)
            cuts.append((axis, (lo[k][axis] + hi[k][axis]) // 2 if hi[k][axis] >= lo[k][axis] else 0))
        self.add_records([self.types[c] for c in candidates])
        self.scale_unknown.update(daughters)
        for i, c in enumerate(self.snap):
            if c in slot:
                axis, position = cuts[slot[c]]
                if self.coords[i][axis] > position:
                    self.snap[i] = daughters[slot[c]]
        error = self.recompute()
        if error is None:
            assert self.expect(out) == daughters
            self.frozen.update(d for c, d in zip(candidates, daughters) if c in self.frozen)
        else:
            self.expect(out, error)

    @rule(data=st.data())
    def divide_cell(self, data):
        if self.n > 60:
            return  # keep the registry small
        # one id (the batch form has its own rule): a sequence is no bad value here
        cid = data.draw(int_arg(32, st.sampled_from(list(range(self.n + 3)) + [U32_MAX]), one=True))
        kinds = ["major", "minor", "random", (1.0, 0.0, 0.0), (0.3, -0.7, 0.2), (0.0, 0.0, 1.0), (0.0, 0.0, 0.0),
                 "diagonal"]
        orientation = data.draw(st.sampled_from(kinds))
        params = [("cell_id", cid), ("orientation", Arg(orientation, orientation))]
        targets = data.draw(st.sampled_from([None, (3.0, 5.0), (1.0,)]))
        if targets is not None or data.draw(st.booleans()):
            params.append(("target_volumes", Arg(targets, targets)))
        out = self.call(data, "divide_cell", *params)
        if out is None:
            return
        c = out.converted[0]
        volume = self.snap.count(c)
        # the arguments are converted before the engine looks at the cell
        if targets is not None and len(targets) != 2:
            self.expect(out, ValueError, "target_volumes: expected None or a tuple of two floats")
        elif orientation in ((0.0, 0.0, 0.0), "diagonal"):
            self.expect(out, ValueError)
        elif orientation == "random" and not self.running:
            self.expect(out, RuntimeError, "call finalize() first")
        elif c == 0 or c > self.n:
            self.expect(out, ValueError, "cell_id: expected a registered cell other than the medium")
        elif volume < 2:
            self.expect(out, ValueError, "cell_id: a cell of fewer than two sites cannot divide")
        elif orientation == (0.0, 0.0, 1.0) and self.dims[2] == 1:
            self.expect(out, ValueError,
                        "orientation: the normal lies out of the plane of a planar box, got (0.0, 0.0, 1.0)")
        elif out.error is not None:
            # an unregistered id painted in the set-up phase, or a cut with one side empty
            assert (type(out.error) is InternalError and self.unregistered_painted()) or (
                type(out.error) is ValueError and str(out.error) == "orientation: the cut leaves one side empty")
        else:
            daughter = self.expect(out)
            assert daughter == self.n + 1
            after = self.w.snapshot()
            moved = [i for i, (a, b) in enumerate(zip(self.snap, after)) if a != b]
            assert moved and all(self.snap[i] == c and after[i] == daughter for i in moved)
            assert len(moved) < volume
            self.add_records([self.types[c]])
            self.scale_unknown.add(daughter)
            if c in self.frozen:
                self.frozen.add(daughter)
            self.snap = after
            assert self.recompute() is None

    @rule(data=st.data())
    def divide_batch_with_attributes(self, data):
        """A batch of chosen divisions gives what one call per id gives, refuses
        whole, and splits or resets the attributes by their rules."""
        if self.n > 60 or not self.running or self.unregistered_painted():
            return
        w = self.w
        if "mass" not in w.cell_table():
            w.add_cell_attribute("mass", 1.0, "split")
            w.add_cell_attribute("tag", 2.0, "reset")
            w.set_cell_attribute("tag", 5.0, ids=list(range(self.n + 1)))
        ids = data.draw(st.lists(st.integers(0, self.n + 1), max_size=3), label="batch")
        orientation = data.draw(st.sampled_from(["major", "random", (1.0, 0.5, 0.0)]), label="batch orientation")
        mass = w.cell_attribute("mass").tolist()
        twin = tessaly.World.from_bytes(w.to_bytes())
        try:
            born = w.divide_cell(ids, orientation)
        except ValueError:
            assert w.to_bytes() == twin.to_bytes()
            return
        assert born == [twin.divide_cell(c, orientation) for c in ids] == list(range(self.n + 1, self.n + 1 + len(ids)))
        assert w.to_bytes() == twin.to_bytes()
        volumes, after, tag = w.cell_volumes(), w.cell_attribute("mass"), w.cell_attribute("tag")
        for p, d in zip(ids, born):
            assert abs(after[p] + after[d] - mass[p]) <= 1e-12 * abs(mass[p])
            assert after[d] == mass[p] * (volumes[d] / (volumes[p] + volumes[d])) and tag[p] == tag[d] == 2.0
        self.add_records([self.types[c] for c in ids])
        self.frozen.update(d for c, d in zip(ids, born) if c in self.frozen)
        self.snap = w.snapshot()
        assert self.recompute() is None

    @rule(data=st.data())
    def set_act(self, data):
        self.simple(data, "set_act", ("cell_type", data.draw(self.any_type())),
                    ("lambda_act", data.draw(float_arg(-50.0, 300.0))),
                    ("max_act", data.draw(int_arg(8, st.sampled_from([0, 1, 20, 255])))))

    @rule(data=st.data())
    def set_act_mean(self, data):
        kind = data.draw(mostly(st.sampled_from(["geometric", "arithmetic"]).map(lambda k: Arg(k, k)), str_arg()))
        out = self.call(data, "set_act_mean", ("kind", kind))
        if out is not None and out.converted[0] in ("geometric", "arithmetic"):
            assert self.expect(out) is None
        elif out is not None:
            self.expect(out, ValueError, 'kind: expected "geometric" or "arithmetic"')

    @rule(data=st.data())
    def set_persistence(self, data):
        out = self.call(data, "set_persistence", ("cell_type", data.draw(self.any_type())),
                        ("lambda_dir", data.draw(float_arg(-5.0, 20.0))),
                        ("delta_t", data.draw(int_arg(32, st.sampled_from([1, 3, 0, 50])))),
                        ("persist", data.draw(float_arg(-0.5, 1.5))))
        if out is None:
            return
        _, _, delta_t, persist = out.converted
        if not 1 <= delta_t <= 10000:
            self.expect(out, ValueError, "delta_t: expected 1 to 10000 steps")
        elif not 0.0 <= persist <= 1.0:
            self.expect(out, ValueError, "persist: expected a value from 0 to 1")
        else:
            assert self.expect(out) is None
            self.lambda_dir[out.converted[0]] = out.converted[1]

    @rule(data=st.data())
    def set_tracking(self, data):
        out = self.simple(data, "set_tracking", ("on", data.draw(bool_arg())))
        if out is not None:
            self.tracking = out.converted[0]

    def tracks_kept(self):
        """Tracks are kept while tracking is on or persistence (some λ_dir > 0) needs them."""
        return self.tracking or any(v > 0.0 for v in self.lambda_dir.values())

    @rule(data=st.data())
    def set_cell_frozen(self, data):
        cid = data.draw(self.cell_ids())
        flag = self.per_id(data, lambda one, bad_weight=1: bool_arg() if bad_weight else st.sampled_from(
            [Arg(True, True), Arg(False, False)]), self.batch_of(cid))
        out = self.call(data, "set_cell_frozen", ("cell_id", cid), ("frozen", flag))
        if out is None:
            return
        c, frozen = out.converted
        if isinstance(c, list):
            if self.batch_outcome(out, c, [("frozen", frozen)], medium_refused=True):
                for cell, v in zip(c, self.each(frozen, len(c))):
                    (self.frozen.add if v else self.frozen.discard)(cell)
            return
        if c == 0:
            self.expect(out, ValueError, "cell_id: the medium cannot be frozen")
        elif c > self.n:
            self.expect(out, InternalError, f"cell id {c} is not registered")
        else:
            assert self.expect(out) is None
            (self.frozen.add if frozen else self.frozen.discard)(c)

    @rule(data=st.data())
    def activity_view(self, data):
        out = self.call(data, "activity_view")
        if out is not None:
            activity = self.expect(out)
            assert activity.format == "B" and activity.readonly and activity.nbytes == self.n_sites
            assert activity.shape == (self.dims[2], self.dims[1], self.dims[0])
            activity.release()

    @rule(data=st.data())
    def remove_cells(self, data):
        item = int_arg(32, st.integers(0, self.n + 1) | st.just(U32_MAX), bad_weight=0)
        out = self.call(data, "remove_cells", ("ids", data.draw(sequence_arg(st.lists(item, max_size=4), 32))))
        if out is None:
            return
        ids = out.converted[0]
        if not ids:
            assert self.expect(out) is None
            return
        marked = {c for c in ids if 0 < c <= self.n}
        self.snap = [0 if c in marked else c for c in self.snap]
        error = self.recompute()
        self.expect(out, error)
        if error is None:
            # no link to a removed cell
            self.links = {pair: v for pair, v in self.links.items() if not marked & set(pair)}

    # -- observables --

    @rule(data=st.data())
    def per_cell_lists(self, data):
        name = data.draw(st.sampled_from(["cell_coms", "cell_types", "cell_volumes", "cell_surfaces",
                                          "cell_lengths", "cell_centroids", "cell_tracks", "cell_directions"]))
        out = self.call(data, name)
        if out is not None and name == "cell_tracks" and not self.tracks_kept():
            self.expect(out, RuntimeError, "cell_tracks: tracking is off; call set_tracking(True) before stepping")
        elif out is not None:
            result = self.expect(out)
            assert type(result) is list and len(result) == self.n + 1

    @rule(data=st.data())
    def cell_length(self, data):
        out = self.call(data, "cell_length", ("cell_id", data.draw(self.cell_id())))
        if out is None:
            return
        cid = out.converted[0]
        if cid > self.n:
            self.expect(out, InternalError)
        else:
            assert close(self.expect(out), major_axis(self.trackers[cid]), rel=1e-6, abs_tol=1e-6)

    @rule(data=st.data())
    def cell_contact_area_by_type(self, data):
        out = self.call(data, "cell_contact_area_by_type", ("cell_id", data.draw(self.cell_id())))
        if out is None:
            return
        expected = self.contacts(out.converted[0])
        if expected is InternalError:
            self.expect(out, InternalError)
        else:
            assert self.expect(out) == expected

    @rule(data=st.data())
    def field_conc(self, data):
        out = self.call(data, "field_conc", ("field_idx", data.draw(self.field_idx())))
        if out is None:
            return
        if out.converted[0] >= self.n_fields:
            self.expect(out, InternalError)
        else:
            conc = self.expect(out)
            assert len(conc) == self.n_sites and all(type(v) is float for v in conc)

    @rule(data=st.data())
    def field_value_at(self, data):
        out = self.call(data, "field_value_at", ("field_idx", data.draw(self.field_idx())),
                        *[(p, data.draw(self.coordinate(a))) for a, p in enumerate("xyz")])
        if out is None:
            return
        f = out.converted[0]
        if f >= self.n_fields or self.n_sites == 0:
            self.expect(out, InternalError)
            return
        x, y, z = (min(c, d - 1) for c, d in zip(out.converted[1:], self.dims))
        assert same_float(self.expect(out), self.w.field_conc(f)[x + self.dims[0] * (y + self.dims[1] * z)])

    @rule(data=st.data())
    def field_mean_at_cell(self, data):
        out = self.call(data, "field_mean_at_cell", ("field_idx", data.draw(self.field_idx())),
                        ("cell_id", data.draw(self.cell_id())))
        if out is None:
            return
        f, cid = out.converted
        if cid > self.n:
            self.expect(out, InternalError)
        elif self.trackers[cid][0] == 0:
            assert same_float(self.expect(out), 0.0)
        elif f >= self.n_fields:
            self.expect(out, InternalError)
        else:
            conc = self.w.field_conc(f)
            own = [conc[i] for i, c in enumerate(self.snap) if c == cid]
            total = 0.0
            for v in own:
                total += v
            assert same_float(self.expect(out), total / len(own) if own else 0.0)

    # -- the cells' programs: texts that compile change only what the model
    # does not follow (targets, strengths; divisions never happen); texts that
    # do not compile raise ValueError naming the place and change nothing --

    @rule(data=st.data())
    def add_cell_rule(self, data):
        text = data.draw(st.sampled_from(sorted(GOOD_RULES) + sorted(BAD_RULES)), label="assignments")
        cell_types = data.draw(st.sampled_from([None, [1], [0, 2, 2]]), label="cell_types")
        before = self.w.to_bytes()
        if text in BAD_RULES:
            with pytest.raises(ValueError) as caught:
                self.w.add_cell_rule(text, params={"k": 0.5}, cell_types=cell_types)
            assert str(caught.value) == "assignments: " + BAD_RULES[text]
            assert self.w.to_bytes() == before
        else:
            assert type(self.w.add_cell_rule(text, params={"k": 0.5}, cell_types=cell_types)) is int

    @rule(data=st.data())
    def set_division_rule(self, data):
        condition = data.draw(st.sampled_from([None, "0", "volume > 1e9 # never", "volume >", "size > 2"]),
                              label="condition")
        before = self.w.to_bytes()
        if condition in ("volume >", "size > 2"):
            with pytest.raises(ValueError, match=r"^condition: line 1, column \d+: "):
                self.w.set_division_rule(condition, orientation="random")
            assert self.w.to_bytes() == before
        else:
            assert self.w.set_division_rule(condition, orientation="random") is None

    # -- links --

    @rule(data=st.data())
    def add_link(self, data):
        params = [("a", data.draw(self.cell_id())), ("b", data.draw(self.cell_id())),
                  ("lambda_", data.draw(float_arg(-1.0, 4.0))), ("length", data.draw(float_arg(-1.0, 6.0)))]
        if data.draw(st.booleans()):
            params.append(("max_length", data.draw(optional_float_arg(-1.0, 8.0))))
        out = self.call(data, "add_link", *params)
        if out is None:
            return
        a, b, lam, length = out.converted[:4]
        max_length = out.converted[4] if len(out.converted) > 4 else None
        before = self.w.to_bytes()
        if not 0 < a <= self.n:
            self.expect(out, ValueError, "a: expected a registered cell other than the medium")
        elif not 0 < b <= self.n:
            self.expect(out, ValueError, "b: expected a registered cell other than the medium")
        elif a == b:
            self.expect(out, ValueError, "b: expected a cell other than a (a cell cannot be linked to itself)")
        elif not lam >= 0.0:
            self.expect(out, ValueError, "lambda_: expected a number >= 0")
        elif not length >= 0.0:
            self.expect(out, ValueError, "length: expected a number >= 0")
        elif max_length is not None and not max_length >= 0.0:
            self.expect(out, ValueError, "max_length: expected None or a number >= 0")
        else:
            assert self.expect(out) is None
            self.links[(min(a, b), max(a, b))] = (lam, length, INF if max_length is None else max_length)
            return
        assert self.w.to_bytes() == before

    @rule(data=st.data())
    def add_links_batch(self, data):
        """add_link with batches: every link checked before any is added, the later of two for a pair winning."""
        ids = st.integers(0, self.n + 1)
        pairs = data.draw(st.lists(st.tuples(ids, ids), max_size=5), label="pairs")
        a = [p[0] for p in pairs]
        b = [p[1] for p in pairs]
        per_link = data.draw(st.booleans(), label="per_link")
        lam = [data.draw(st.sampled_from([0.0, 0.5, 2.0, -1.0, math.nan])) for _ in pairs] if per_link else 1.5
        length = data.draw(st.sampled_from([0.0, 3.0, -0.5]))
        array = data.draw(st.booleans(), label="array")
        args = (np.array(a, dtype=np.uint32), np.array(b, dtype=np.int64)) if array else (a, b)
        lams = lam if per_link else [lam] * len(pairs)
        before = self.w.to_bytes()
        bad = next((k for k in range(len(pairs)) if not (0 < a[k] <= self.n and 0 < b[k] <= self.n and a[k] != b[k]
                                                           and lams[k] >= 0.0 and length >= 0.0)), None)
        if bad is not None:
            with pytest.raises(ValueError, match=rf"\(link {bad}\)$"):
                self.w.add_link(*args, lam, length)
            assert self.w.to_bytes() == before
            return
        assert self.w.add_link(*args, lam, length) is None
        for k in range(len(pairs)):
            self.links[(min(a[k], b[k]), max(a[k], b[k]))] = (lams[k], length, INF)

    @rule(data=st.data())
    def remove_link(self, data):
        out = self.call(data, "remove_link", ("a", data.draw(self.cell_id())), ("b", data.draw(self.cell_id())))
        if out is None:
            return
        a, b = out.converted
        pair = (min(a, b), max(a, b))
        if pair in self.links:
            assert self.expect(out) is None
            del self.links[pair]
        else:
            self.expect(out, ValueError, f"a, b: expected two linked cells, got {a} and {b} (no link between them)")

    @rule(data=st.data())
    def set_link_formation(self, data):
        # (the types size the contact table, as set_contact's do)
        params = [("type_a", data.draw(self.table_type())), ("type_b", data.draw(self.table_type())),
                  ("lambda_", data.draw(float_arg(-1.0, 4.0))), ("length", data.draw(float_arg(-1.0, 6.0))),
                  ("max_length", data.draw(optional_float_arg(-1.0, 8.0)))]
        if data.draw(st.booleans()):
            limits = st.sampled_from([0, 1, 2, U32_MAX - 1, U32_MAX])
            params.append(("max_links", data.draw(st.just(Arg(None, None)) | int_arg(64, limits))))
        out = self.call(data, "set_link_formation", *params)
        if out is None:
            return
        type_a, type_b, lam, length, max_length = out.converted[:5]
        max_links = out.converted[5] if len(out.converted) > 5 else None
        if not lam >= 0.0:
            self.expect(out, ValueError, "lambda_: expected a number >= 0")
        elif not length >= 0.0:
            self.expect(out, ValueError, "length: expected a number >= 0")
        elif max_length is not None and not max_length >= 0.0:
            self.expect(out, ValueError, "max_length: expected None or a number >= 0")
        elif max_links is not None and max_links >= U32_MAX:
            self.expect(out, ValueError, "max_links: expected None or a count below 4294967295")
        else:
            assert self.expect(out) is None
            self.link_rules[(min(type_a, type_b), max(type_a, type_b))] = (
                lam, length, INF if max_length is None else max_length, max_links)

    @rule(data=st.data())
    def divide_cell_sharing_links(self, data):
        """divide_cell(links="share") moves some of the parent's links to the daughter, parameters
        and all, and changes no other link; a bad value of links is refused first."""
        if self.n > 60 or not self.running or self.unregistered_painted():
            return
        cid = data.draw(st.integers(1, self.n), label="sharing parent") if self.n else 1
        if data.draw(st.integers(0, 5)) == 0:
            with pytest.raises(ValueError, match='^links: expected "keep" or "share"$'):
                self.w.divide_cell(cid, links="both")
            return
        try:
            daughter = self.w.divide_cell(cid, links="share")
        except ValueError:
            return  # a cell of fewer than two sites, or one the cut leaves whole (divide_cell's rule checks these)
        assert daughter == self.n + 1
        self.add_records([self.types[cid]])
        self.scale_unknown.add(daughter)
        if cid in self.frozen:
            self.frozen.add(daughter)
        self.snap = self.w.snapshot()
        assert self.recompute() is None
        now = self.link_table()
        moved = {}
        for (a, b), params in self.links.items():
            if cid in (a, b):
                other = b if a == cid else a
                moved[(min(other, daughter), max(other, daughter))] = params
        for pair, params in now.items():
            assert self.links.get(pair, moved.get(pair)) == params, (pair, params)
        assert len(now) == len(self.links)
        self.links = now

    # -- invariants --

    @invariant()
    def linked(self):
        # the links are the model's, each between two registered cells, listed once in order
        assert self.link_table() == self.links

    @invariant()
    def consistent(self):
        w = self.w
        assert w.snapshot() == self.snap
        assert w.n_cells() == self.n
        assert w.dims() == self.dims
        assert w.cell_types() == self.types
        trackers = self.exact_trackers() if self.running else self.trackers
        if self.running:
            self.trackers = trackers
        volumes, surfaces, coms, lengths = w.cell_volumes(), w.cell_surfaces(), w.cell_coms(), w.cell_lengths()
        for listed in (volumes, surfaces, coms, lengths):
            assert len(listed) == self.n + 1
        assert volumes == [t[0] for t in trackers]
        assert surfaces == [t[1] for t in trackers]
        for com, t in zip(coms, trackers):
            expected = (t[2] / t[0], t[3] / t[0], t[4] / t[0]) if t[0] else (0.0, 0.0, 0.0)
            assert all(close(a, b) for a, b in zip(com, expected)), (com, expected)
        for length, t in zip(lengths, trackers):
            assert close(length, major_axis(t), rel=1e-6, abs_tol=1e-6), (length, t)
        assert np.asarray(self.view).ravel().tolist() == self.snap
        # every state the machine reaches, in either phase, restores to the same bytes
        saved = w.to_bytes()
        assert tessaly.World.from_bytes(saved).to_bytes() == saved
        table = w.cell_table()
        assert table["id"].tolist() == list(range(self.n + 1)) and table["type"].tolist() == self.types
        assert [k for k in table if k.startswith("secretion_scale_")] == [f"secretion_scale_{f}" for f in
                                                                         range(self.n_fields)]
        for f in range(self.n_fields):
            for cid, scale in enumerate(table[f"secretion_scale_{f}"].tolist()):
                assert cid in self.scale_unknown or same_float(scale, self.scales[f].get(cid, 1.0)), (f, cid)
        assert table["volume"].tolist() == volumes and table["surface"].tolist() == surfaces
        assert [tuple(xyz) for xyz in zip(table["com_x"], table["com_y"], table["com_z"])] == coms
        queried = set(range(self.n + 2)) | {U32_MAX} | {v for v in self.snap if v > self.n}
        for cid in sorted(queried):
            expected = self.contacts(cid)
            if expected is InternalError:
                with pytest.raises(InternalError):
                    w.cell_contact_area_by_type(cid)
                continue
            areas = w.cell_contact_area_by_type(cid)
            assert areas == expected, (cid, areas, expected)
            if self.running and cid <= self.n:
                assert sum(areas.values()) == surfaces[cid]

    # -- neighbours and field coupling --

    def graph(self):
        """cell_neighbors() as documented, {(id_a, id_b): area}, or InternalError."""
        if self.unregistered_painted():
            return InternalError
        areas = {}
        for i, c in enumerate(self.snap):
            for j in self.nbrs[i]:
                if self.snap[j] > c:
                    areas[(c, self.snap[j])] = areas.get((c, self.snap[j]), 0) + 1
        return areas

    @rule(data=st.data())
    def set_uptake(self, data):
        params = [("field_idx", data.draw(self.field_idx())), ("cell_type", data.draw(self.any_type())),
                  ("max_rate", data.draw(float_arg()))]
        if data.draw(st.booleans()):
            params.append(("km", data.draw(float_arg())))
            if data.draw(st.booleans()):
                # this machine adds no attributes: any name is unknown
                names = st.sampled_from(["", "vigour", "\ud800"]).map(lambda s: Arg(s, s))
                params.append(("scale_by", data.draw(names | st.just(Arg(None, None)) |
                                                     st.just(Arg(1, error=TypeError)))))
        out = self.call(data, "set_uptake", *params)
        if out is None:
            return
        f, _, max_rate, *rest = out.converted
        km = rest[0] if rest else 0.0
        scale_by = rest[1] if len(rest) > 1 else None
        if f >= self.n_fields:
            self.expect(out, InternalError)
        elif not max_rate >= 0.0:
            self.expect(out, ValueError, f"max_rate: expected a number >= 0, got {max_rate!r}")
        elif not km >= 0.0:
            self.expect(out, ValueError, f"km: expected a number >= 0, got {km!r}")
        elif scale_by is not None:
            self.expect(out, ValueError, f"scale_by: expected the name of a cell attribute, got {scale_by!r}")
        else:
            assert self.expect(out) is None

    @rule(data=st.data())
    def set_field_boundary(self, data):
        # a regression: None among float_arg's bad values expected a TypeError that this method does not raise
        value = data.draw(optional_float_arg())
        out = self.call(data, "set_field_boundary", ("field_idx", data.draw(self.field_idx())), ("value", value))
        if out is None:
            return
        f, v = out.converted
        if f >= self.n_fields:
            self.expect(out, InternalError)
        elif v is not None and not (math.isfinite(v) and v >= 0.0):
            self.expect(out, ValueError, f"value: expected a finite number >= 0 or None, got {v!r}")
        else:
            assert self.expect(out) is None

    @rule(data=st.data())
    def field_means(self, data):
        out = self.call(data, "field_means", ("field_idx", data.draw(self.field_idx())))
        if out is None:
            return
        f = out.converted[0]
        if f >= self.n_fields or self.unregistered_painted():
            self.expect(out, InternalError)
            return
        means = np.asarray(self.expect(out))
        conc = self.w.field_conc(f)
        totals, counts = [0.0] * (self.n + 1), [0] * (self.n + 1)
        for c, v in zip(self.snap, conc):
            totals[c] += v
            counts[c] += 1
        assert len(means) == self.n + 1
        for m, total, count in zip(means, totals, counts):
            assert same_float(float(m), total / count if count else NAN)

    @rule(data=st.data())
    def cell_neighbors(self, data):
        out = self.call(data, "cell_neighbors")
        if out is not None and self.graph() is InternalError:
            self.expect(out, InternalError)

    @invariant()
    def neighbour_graph(self):
        # the graph (kept by the copies once read in the running phase) is the
        # model's, and summed by the partners' types it is the contact read-out
        expected = self.graph()
        if expected is InternalError:
            with pytest.raises(InternalError):
                self.w.cell_neighbors()
            return
        g = {k: np.asarray(v) for k, v in self.w.cell_neighbors().items()}
        assert list(g) == ["id_a", "id_b", "area"] and all(v.dtype == np.int64 for v in g.values())
        rows = list(zip(g["id_a"].tolist(), g["id_b"].tolist()))
        assert rows == sorted(expected) and dict(zip(rows, g["area"].tolist())) == expected
        by_type = [{} for _ in range(self.n + 1)]
        for (a, b), area in expected.items():
            for one, other in ((a, b), (b, a)):
                t = self.types[other]
                by_type[one][t] = by_type[one].get(t, 0) + area
        for cid in range(self.n + 1):
            assert by_type[cid] == self.w.cell_contact_area_by_type(cid)

TestWorldMachine = WorldMachine.TestCase
TestWorldMachine.settings = settings.get_profile(PROFILE)


# ---- hostile inputs ----


def run_python(code, timeout=120, limit_memory=False):
    """Runs `code` in a fresh interpreter that imports the same tessaly; with
    `limit_memory` its address space is capped at 2 GiB, so that nothing it
    allocates reaches the machine's memory."""
    prefix = ""
    if limit_memory:
        prefix = "import resource\nresource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", prefix + textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


@pytest.mark.parametrize("dims", [
    (2**32, 2**32, 2**32),       # the product wraps 64 bits twice over
    (2**21, 2**21, 2**22),       # the product is exactly 2**64
    (2**63, 2, 1),
    (3, 2**62, 1),               # fits 64 bits, not the address space
    (U64_MAX, U64_MAX, 1),
])
def test_dims_whose_product_overflows_raise_cleanly(dims):
    for boundary in ("periodic", "noflux"):
        with pytest.raises((MemoryError, InternalError)):
            tessaly.World(dims, boundary, 3, 1.0)


@pytest.mark.parametrize("dims", [(0, 2**40, 2**20), (2**64 - 1, 0, 2**64 - 1), (2**30, 2**30, 0)])
def test_a_zero_axis_is_refused_before_anything_is_allocated(dims):
    # huge other axes: the refusal must come before the box is sized
    for boundary in ("periodic", "noflux"):
        with pytest.raises(ValueError, match=r"^dims: every dimension must be at least 1, got \("):
            tessaly.World(dims, boundary, 3, 1.0)


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer reserves more address space than the cap allows")
def test_a_contact_table_too_large_raises_memory_error_and_loses_nothing():
    lines = run_python("""
        import tessaly
        w = tessaly.World((4, 3, 2), "noflux", 3, 2.0)
        a = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
        b = w.add_cell(2, 4.0, 1.0, 0.0, 0.0)
        w.seed_block(a, 0, 0, 0, 2, 2, 2)
        w.seed_block(b, 2, 0, 0, 4, 2, 2)
        f = w.add_field("c", 0.1, 0.0)
        w.field_add_source_at(f, 1, 1, 1, 5.0)
        w.set_contact(1, 65535, 3.0)  # a 65536 x 65536 table: 32 GiB
        painted, conc = w.snapshot(), w.field_conc(f)
        for attempt in range(2):  # the largest type cannot shrink: it fails every time
            try:
                w.finalize(1)
            except MemoryError:
                print("MemoryError")
        assert w.snapshot() == painted and w.field_conc(f) == conc and w.n_cells() == 2
        assert w.cell_types() == [0, 1, 2]
        # the set-up world goes on working
        assert w.add_cell(3, 1.0, 1.0, 0.0, 0.0) == 3
        w.seed_block(3, 0, 2, 0, 4, 3, 2)
        w.advance_fields(1)
        assert w.remove_cells([2]) is None and w.cell_volumes() == [8, 8, 0, 8]
        assert w.cell_contact_area_by_type(3) == {0: 20, 1: 20}  # the row y = 1 below it, half cell 1, half medium
        try:
            w.step(1)
        except RuntimeError as error:
            print(str(error).replace(" ", "_"))

        # in the running phase a table grown past memory is refused, the old one kept
        r = tessaly.World((4, 4, 1), "periodic", 1, 2.0)
        c = r.add_cell(1, 4.0, 1.0, 0.0, 0.0)
        r.seed_block(c, 0, 0, 0, 2, 2, 1)
        r.set_contact(0, 1, 2.0)
        r.finalize(3)
        r.step(2)
        before = r.snapshot()
        try:
            r.set_contact(65535, 65535, 1.0)
        except MemoryError:
            print("MemoryError")
        assert r.snapshot() == before
        r.step(5)
        assert r.cell_volumes() == [16 - sum(v == c for v in r.snapshot()), sum(v == c for v in r.snapshot())]
        print("done")
    """, limit_memory=True)
    assert lines == ["MemoryError", "MemoryError", "call_finalize()_first", "MemoryError", "done"]


@pytest.mark.parametrize("method", ["step", "step_parallel"])
def test_an_endless_run_stops_on_sigint_and_leaves_a_consistent_world(method):
    code = f"""
        import sys, tessaly
        w = tessaly.World((12, 12, 1), "periodic", 2, 4.0)
        labels = [1 + (i % 12) // 4 + 3 * ((i // 12) // 4) for i in range(144)]
        w.seed_from_labels(labels, {{}}, 1, 16.0, 1.0)
        w.set_contact(1, 1, 2.0)
        w.set_contact(0, 1, 4.0)
        f = w.add_field("c", 0.1, 0.01)
        w.finalize(7)
        print("ready", flush=True)
        try:
            w.{method}(2**64 - 1)
            print("returned")
        except KeyboardInterrupt:
            print("interrupted")
        snap = w.snapshot()
        volumes = w.cell_volumes()
        assert volumes == [snap.count(c) for c in range(len(volumes))]
        for c in range(len(volumes)):
            assert sum(w.cell_contact_area_by_type(c).values()) == w.cell_surfaces()[c]
        w.step(1)
        print("consistent")
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    assert out.split() == ["interrupted", "consistent"]


@pytest.mark.parametrize("nan", [NAN, -NAN, np.float64(NAN), decimal.Decimal("nan")])
def test_divide_cells_with_a_nan_threshold_divides_nothing(nan):
    w = tessaly.World((6, 6, 1), "noflux", 2, 1.0)
    a = w.add_cell(1, 9.0, 1.0, 0.0, 0.0)
    w.seed_block(a, 0, 0, 0, 3, 3, 1)
    for phase in ("set-up", "running"):
        before = (w.snapshot(), w.cell_volumes(), w.cell_types(), w.n_cells())
        assert w.divide_cells(nan, 1.0) == []
        assert w.divide_cells(nan, nan) == []
        assert (w.snapshot(), w.cell_volumes(), w.cell_types(), w.n_cells()) == before
        if phase == "set-up":
            w.finalize(1)


def test_labels_of_the_largest_u32_make_cells():
    w = tessaly.World((3, 1, 1), "noflux", 1, 1.0)
    assert w.seed_from_labels([U32_MAX, 0, U32_MAX], {U32_MAX: 65535}, 2, 3.0, 1.0) == {U32_MAX: 1}
    assert w.seed_from_labels(np.array([0, U32_MAX, 5], dtype=np.uint32), {}, 2, 3.0, 1.0) == {U32_MAX: 2, 5: 3}
    assert w.snapshot() == [1, 2, 3]
    assert w.cell_types() == [0, 65535, 2, 2]
    with pytest.raises(OverflowError):
        w.seed_from_labels([2**32, 0, 0], {}, 2, 3.0, 1.0)
    assert w.n_cells() == 3


def test_remove_cells_ignores_huge_and_repeated_ids():
    w = tessaly.World((4, 4, 1), "noflux", 1, 1.0)
    a = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    b = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    w.seed_block(a, 0, 0, 0, 2, 2, 1)
    w.seed_block(b, 2, 2, 0, 4, 4, 1)
    w.finalize(1)
    w.remove_cells([U32_MAX, a, a, 0, 5000, U32_MAX, a])
    assert w.cell_volumes() == [12, 0, 4]
    w.remove_cells(np.full(1000, U32_MAX, dtype=np.uint32))
    w.remove_cells(range(3, 10**6, 997))
    assert w.cell_volumes() == [12, 0, 4] and w.n_cells() == 2
    with pytest.raises(OverflowError):
        w.remove_cells([b, 2**32])
    assert w.cell_volumes() == [12, 0, 4]  # conversion failed: nothing removed


# ---- the machine's minimal cases of the faults it found ----


def test_a_zero_dimensional_label_array_is_refused_on_a_one_site_world():
    # the fault: a 0-d array holds one element and seeded a one-site world as if it were a list of one
    w = tessaly.World((1, 1, 1), "noflux", 1, 1.0)
    with pytest.raises(TypeError, match=r"^argument 'labels': 'numpy.ndarray' object cannot be converted to 'Sequence'$"):
        w.seed_from_labels(np.array(3), {}, 1, 1.0, 1.0)
    assert w.n_cells() == 0 and w.snapshot() == [0]


@pytest.mark.parametrize("labels", [[1, 2], np.array([1, 2]), np.array([], dtype=np.uint32), []])
def test_wrong_length_labels_get_one_rule_for_every_container(labels):
    # the fault: a list raised InternalError, an array of the wrong size ValueError
    w = tessaly.World((3, 1, 1), "noflux", 1, 1.0)
    with pytest.raises(InternalError, match="^labels length must equal n_sites$"):
        w.seed_from_labels(labels, {}, 1, 1.0, 1.0)
    assert w.n_cells() == 0 and w.snapshot() == [0, 0, 0]


@pytest.mark.parametrize("zero, sign", [(fractions.Fraction(-0.0), 1.0), (decimal.Decimal("-0"), -1.0),
                                        (np.float32(-0.0), -1.0), (-0.0, -1.0), (0, 1.0)])
def test_a_float_argument_converts_as_float_does(zero, sign):
    # the machine's model paired Fraction(-0.0) with -0.0; a Fraction has no signed zero and float() gives +0.0
    w = tessaly.World((2, 1, 1), "noflux", 1, 1.0)
    c = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    w.set_cell_params(c, target_volume=zero)
    value = w.cell_table()["target_volume"][c]
    assert value == 0.0 and math.copysign(1.0, value) == sign == math.copysign(1.0, float(zero))


@pytest.mark.parametrize("ids", [Seq([1], length=ValueError), bytes([1])], ids=["len-raises", "bytes"])
@pytest.mark.parametrize("method", ["set_cell_frozen", "divide_cell", "set_cell_type"])
def test_every_per_cell_call_reads_a_batch_of_ids_alike(method, ids):
    # the fault: set_cell_frozen and divide_cell took a sequence whose len() fails, or bytes, for one id
    # (a TypeError) where the other per-cell calls read it as a batch
    w = make_block_world(dims=(4, 4, 1))
    args = {"set_cell_frozen": (True,), "divide_cell": (), "set_cell_type": (1,)}[method]
    out = getattr(w, method)(ids, *args)
    assert out is None or len(out) == 1
