"""Shared fixtures: ``emu``, the emulated V4L2 world, and ``devinfo``, the local
HTTPS device-info server (see tests/harness)."""

from __future__ import annotations

import pytest

import harness
from harness.devinfo import devinfo  # noqa: F401  (the local HTTPS device-info server fixture)

# The mount namespace can only be unshared while the process has one thread,
# so it happens now, at collection; a failure is remembered and turned into
# a skip by the fixture below.
try:
    harness.isolate()
except harness.Unavailable:
    pass


@pytest.fixture(scope="session")
def _emulator():
    try:
        emulator = harness.Emulator.start()
    except harness.Unavailable as exc:
        pytest.skip(f"emulated V4L2 devices unavailable: {exc}")
    yield emulator
    emulator.stop()


@pytest.fixture
def emu(_emulator):
    """An empty emulated world: no /dev/video*, an empty sysfs; cleared afterwards."""
    _emulator.reset()
    yield _emulator
    _emulator.clear()
