"""Shared factories and fixtures for the Python tests."""

import os

import pytest
from hypothesis import HealthCheck, settings

import tessaly

# Property tests draw the same examples on every run and machine (no seed
# from the clock, no example database); `./dev explore` sets
# TESSALY_HYPOTHESIS_PROFILE=long to search with fresh randomness instead.
# Neither profile times an example: on a loaded machine a slow example is
# not a failure, and a deadline would make the outcome depend on the clock.
_untimed = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow], database=None)
settings.register_profile("ci", derandomize=True, **_untimed)
settings.register_profile("long", derandomize=False, **_untimed)
settings.load_profile(os.environ.get("TESSALY_HYPOTHESIS_PROFILE", "ci"))


def make_world(dims=(8, 8, 1), boundary="periodic", neighbor_order=1, temperature=10.0):
    """A fresh World in the set-up phase."""
    return tessaly.World(dims, boundary, neighbor_order, temperature)


def make_block_world(dims=(8, 8, 1), box=(0, 0, 0, 2, 2, 1), cell_type=1, target_volume=4.0,
                     lambda_volume=1.0, seed=1, **world_args):
    """A finalized World holding one cell painted as `box` (x0, y0, z0, x1, y1, z1)."""
    w = make_world(dims=dims, **world_args)
    c = w.add_cell(cell_type, target_volume, lambda_volume, 0.0, 0.0)
    w.seed_block(c, *box)
    w.finalize(seed)
    return w


def _internal_error_class():
    # the class is deliberately not a module attribute: catch one to get it
    try:
        make_world().set_target_volume(1, 0.0)
    except BaseException as error:  # noqa: BLE001 - this is the point
        return type(error)
    raise AssertionError("set_target_volume on an unregistered id did not fail")


InternalError = _internal_error_class()


@pytest.fixture
def world():
    """An 8x8 periodic planar world in the set-up phase."""
    return make_world()


@pytest.fixture
def running_world():
    """An 8x8 periodic planar world, finalized, with cell 1 on a 2x2 block at the origin."""
    return make_block_world()


@pytest.fixture
def internal_error():
    """The module's InternalError class."""
    return InternalError
