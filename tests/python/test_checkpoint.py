"""Checkpoints: a restored world continues to the bit in either phase, by
every route (bytes, pickle, copies, files); save never leaves a torn file;
damaged or hostile bytes are refused with ValueError."""

import copy
import os
import pickle
import signal
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tessaly

World = tessaly.World

ROUTES = {
    "bytes": lambda w, path: World.from_bytes(w.to_bytes()),
    "bytearray": lambda w, path: World.from_bytes(bytearray(w.to_bytes())),
    "pickle": lambda w, path: pickle.loads(pickle.dumps(w)),
    "copy": lambda w, path: copy.copy(w),
    "deepcopy": lambda w, path: copy.deepcopy(w),
    "file": lambda w, path: (w.save(path), World.load(str(path)))[1],
}


def set_up_calls():
    """A 3-D world given every term and a field, between set-up calls that
    touch each record a checkpoint holds."""
    def labels(w):
        nx, ny, nz = w.dims()
        return w.seed_from_labels([1 + (x // 3) + 4 * (y // 3) if 0 < x < 12 and 0 < y < 9 and z < 4 else 0
                                   for z in range(nz) for y in range(ny) for x in range(nx)],
                                  {1: 2, 6: 2, 11: 2}, 1, 36.0, 2.0)
    return [
        labels,
        lambda w: w.add_field("c", 0.1, 0.01),
        lambda w: w.set_contact(0, 1, 16.0),
        lambda w: w.set_contact(1, 2, 11.0),
        lambda w: w.add_cell(3, 30.0, 1.0, 20.0, 0.5),
        lambda w: w.seed_block(w.n_cells(), 12, 0, 0, 14, 3, 3),
        lambda w: (w.set_secretion(0, 1, 0.5), w.set_cell_secretion_scale(0, 2, 3.0)),
        lambda w: w.set_chemotaxis_occupancy(0, 2, 30.0, 0.5, 2.0, 1.0),
        lambda w: (w.set_connectivity(1, True), w.set_connectivity_medium(False)),
        lambda w: (w.set_membrane([0, 40, 300], 0.5, 1.0), w.set_membrane_anchored(2, True)),
        lambda w: (w.set_junction(1, True), w.set_junction_lambda(2.0)),
        lambda w: w.set_external_potential(2, 0.1, -0.3, 0.0),
        lambda w: w.set_field_dynamics(0, 0.5, 2),
        lambda w: (w.set_uptake(0, 2, 0.05, 0.5), w.set_field_boundary(0, 0.25)),
        lambda w: (w.set_act(2, 40.0, 20), w.set_act_mean("arithmetic"), w.set_persistence(1, 2.0, 3, 0.5),
                   w.set_cell_frozen(3, True), w.set_tracking(True)),
        lambda w: (w.add_link(1, 2, 1.0, 3.0), w.add_link(5, 2, 0.5, 2.0, 6.0),
                   w.set_link_formation(1, 2, 0.5, 4.0, 8.0, 2)),
        lambda w: w.finalize(7),
    ]


def running_calls(parallel):
    sweep = (lambda w: w.step_parallel(3, 4)) if parallel else (lambda w: w.step(3))
    return [
        sweep,
        lambda w: w.step(50),  # long enough for the sweep's wide rounds
        lambda w: w.advance_fields(2),
        lambda w: w.set_contact(2, 4, 5.0),  # beyond the table: it grows
        lambda w: (w.cell_neighbors(), w.set_uptake(0, 1, 0.2), w.set_field_boundary(0, None)),
        lambda w: w.grow(1, 25.0),
        lambda w: w.divide_cells(60.0, 36.0),
        sweep,
        lambda w: w.remove_cells([3]),
        lambda w: (w.add_link(4, 7, 2.0, 1.0), w.divide_cell(2, links="share")),
        lambda w: w.field_add_source_at(0, 3, 3, 1, 50.0),
        sweep,
        lambda w: w.set_cell_type(2, 1),
        lambda w: w.step(2),
        lambda w: (w.activity_view(), w.cell_directions(), w.cell_tracks(), w.cell_centroids()),
    ]


def fresh():
    return World((15, 11, 5), "periodic", 2, 6.0)


def observed(w):
    links = {k: list(v) for k, v in w.cell_links().items()}
    return w.to_bytes(), w.snapshot(), w.cell_coms(), w.cell_surfaces(), w.field_conc(0), links


@pytest.mark.parametrize("parallel", [False, True], ids=["step", "step_parallel"])
@pytest.mark.parametrize("route", ROUTES)
def test_a_restored_world_continues_to_the_bit(route, parallel, tmp_path):
    calls = set_up_calls() + running_calls(parallel)
    for cut in range(1, len(calls) + 1, 3):
        original = fresh()
        for call in calls[:cut]:
            call(original)
        restored = ROUTES[route](original, tmp_path / "w.tsly")
        assert restored.to_bytes() == original.to_bytes()
        for call in calls[cut:]:
            assert call(restored) == call(original)
        assert observed(restored) == observed(original), f"differs after a cut at call {cut}"


def test_copies_share_nothing():
    w = fresh()
    for call in set_up_calls():
        call(w)
    twin = copy.deepcopy(w)
    twin.step(5)
    assert twin.to_bytes() != w.to_bytes()
    w.step(5)
    assert twin.to_bytes() == w.to_bytes()


def test_save_accepts_str_and_path_like_and_names_the_file_it_cannot_write(tmp_path):
    w = fresh()
    w.save(str(tmp_path / "a.tsly"))
    w.save(tmp_path / "b.tsly")
    assert World.load(tmp_path / "a.tsly").to_bytes() == World.load(str(tmp_path / "b.tsly")).to_bytes()
    assert sorted(os.listdir(tmp_path)) == ["a.tsly", "b.tsly"]  # no temporary file is left behind
    with pytest.raises(FileNotFoundError) as info:
        w.save(tmp_path / "missing" / "c.tsly")
    assert "missing" in str(info.value)
    with pytest.raises(TypeError, match="argument 'path'"):
        w.save(3)


# ---- damaged and hostile input ----


def sections(payload):
    """{tag: (offset of the body, length)} of a payload."""
    out, at = {}, 0
    while at < len(payload):
        tag, length = struct.unpack_from("<4sQ", payload, at)
        out[tag.decode()] = (at + 12, length)
        at += 12 + length
    return out


def reframe(payload, version=1):
    """A checkpoint around `payload`, stored uncompressed, with a correct checksum."""
    head = b"tessaly\x1a" + struct.pack("<IIQQ", version, 0, len(payload), len(payload)) + payload
    return head + struct.pack("<I", zlib.crc32(head))


def payload_of(w):
    data = w.to_bytes()
    assert data[:8] == b"tessaly\x1a" and struct.unpack_from("<I", data, 12)[0] == 1  # zlib
    return bytearray(zlib.decompress(data[32:-4]))


def running_payload():
    w = fresh()
    for call in set_up_calls():
        call(w)
    return payload_of(w)


def patched(payload, tag, offset, fmt, value):
    p = bytearray(payload)
    struct.pack_into(fmt, p, sections(p)[tag][0] + offset, value)
    return p


RECORD, VOLUME = 2 + 8 * 15, 2 + 8 * 4  # bytes of a cell record, and before its volume


def empty_box(axis):
    """A set-up world's payload whose box has no extent along `axis` and no sites."""
    p = patched(payload_of(fresh()), "WRLD", 8 * axis, "<Q", 0)
    at, length = sections(p)["SITE"]
    return p[:at - 8] + struct.pack("<Q", 0) + p[at + length:]


@pytest.mark.parametrize("make, message", [
    (lambda good: b"", "not a tessaly checkpoint"),
    (lambda good: b"PK\x03\x04" + good[4:], "not a tessaly checkpoint"),
    (lambda good: good[:20], "checkpoint damaged: truncated"),
    (lambda good: good[:-1], "checkpoint damaged: truncated"),
    (lambda good: good + b"\0", "checkpoint damaged: trailing bytes after the checkpoint"),
    (lambda good: good[:40] + bytes([good[40] ^ 4]) + good[41:], "checkpoint damaged: checksum mismatch"),
    (lambda good: reframe(payload_of(World.from_bytes(good)), version=9),
     "written by a newer tessaly (format 9; this one reads up to 5)"),
    (lambda good: reframe(patched(running_payload(), "WRLD", 0, "<Q", 16)),
     "checkpoint damaged: the site ids do not cover the box"),
    (lambda good: reframe(patched(running_payload(), "WRLD", 0, "<Q", 1 << 40)),
     "checkpoint damaged: the site ids do not cover the box"),
    (lambda good: reframe(empty_box(0)), "checkpoint damaged: a box of 0×11×5 sites"),
    (lambda good: reframe(empty_box(2)), "checkpoint damaged: a box of 15×11×0 sites"),
    # more sites than a World may have, though fewer than 2^62
    (lambda good: reframe(patched(running_payload(), "WRLD", 0, "<Q", 1 << 56)),
     "checkpoint damaged: a box of 72057594037927936×11×5 sites"),
    (lambda good: reframe(patched(running_payload(), "CELL", 8 + RECORD + VOLUME, "<q", 999)),
     "checkpoint damaged: the cell registry disagrees with the sites: the trackers of cell 1 differ"),
    (lambda good: reframe(patched(running_payload(), "SITE", 4, "<I", 999)),  # the first run's id
     "checkpoint damaged: the cell registry disagrees with the sites: site 0 holds cell id 999"),
    (lambda good: reframe(patched(running_payload(), "CONT", 0, "<Q", 2)),
     "checkpoint damaged: a contact energy beyond the table"),
    (lambda good: reframe(patched(running_payload(), "FLDS", 0, "<Q", 2)), "checkpoint damaged: truncated"),
    (lambda good: reframe(running_payload()[:-3]), "checkpoint damaged: truncated"),
])
def test_damaged_checkpoints_are_refused_by_name(make, message):
    good = running_world_bytes()
    with pytest.raises(ValueError) as info:
        World.from_bytes(make(good))
    assert str(info.value).startswith(message)


def running_world_bytes():
    w = fresh()
    for call in set_up_calls():
        call(w)
    return w.to_bytes()


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_random_damage_raises_value_error_and_nothing_else(data):
    good = running_world_bytes() if data.draw(st.booleans()) else fresh().to_bytes()
    kind = data.draw(st.sampled_from(["flip", "cut", "payload"]))
    if kind == "flip":
        at = data.draw(st.integers(0, len(good) - 1))
        bad = good[:at] + bytes([good[at] ^ data.draw(st.integers(1, 255))]) + good[at + 1:]
    elif kind == "cut":
        bad = good[:data.draw(st.integers(0, len(good) - 1))]
    else:
        # a well-framed payload with hostile contents: the decoder's own checks
        p = payload_of(World.from_bytes(good))
        for _ in range(data.draw(st.integers(1, 4))):
            at = data.draw(st.integers(0, len(p) - 1))
            p[at] = data.draw(st.integers(0, 255))
        bad = reframe(p)
    try:
        World.from_bytes(bad)
    except ValueError:
        pass
    else:
        assert kind == "payload"  # a harmless change of a parameter may load


# ---- crash safety ----


SAVER = textwrap.dedent("""
    import sys, tessaly
    w = tessaly.World((48, 48, 24), "periodic", 1, 5.0)
    w.seed_from_labels([(i // 7) % 500 for i in range(48 * 48 * 24)], {}, 1, 100.0, 1.0)
    w.add_field("c", 0.1, 0.01)
    w.finalize(1)
    w.save(sys.argv[1])
    print("ready", flush=True)
    while True:
        w.step(1)
        w.advance_fields(1)
        w.save(sys.argv[1])
""")


def test_a_save_killed_at_any_moment_leaves_a_checkpoint_that_loads(tmp_path):
    path = tmp_path / "run.tsly"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for delay in (0.0, 0.05, 0.11, 0.23, 0.37, 0.5):
        child = subprocess.Popen([sys.executable, "-c", SAVER, str(path)], env=env, stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "ready\n"
            time.sleep(delay)
        finally:
            child.send_signal(signal.SIGKILL)
            child.wait(timeout=30)
            child.stdout.close()
        World.load(path).step(1)
