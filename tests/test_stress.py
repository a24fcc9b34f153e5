"""Many threads on one control handle and on enumeration at once, and a handle
closed while other threads still use it.

Each test runs for a few seconds (HYPOTHESIS_PROFILE=long: ten times longer).
"""

from __future__ import annotations

import errno
import os
import sys
import threading
import time

import pytest

from harness import CID, open_fds
from vorn_camera_sdk.platform.linux import LinuxBackend

SECONDS = 1.5 * (10 if os.environ.get("HYPOTHESIS_PROFILE") == "long" else 1)


def emulated_fds() -> list[str]:
    return [t for t in open_fds().values() if "/.v4l2emu/" in t]


def run_threads(*targets, seconds: float = SECONDS) -> list[BaseException]:
    """Run each target(stop) in its own thread until `seconds` pass; their exceptions."""
    stop = threading.Event()
    errors: list[BaseException] = []

    def guarded(target):
        try:
            target(stop)
        except BaseException as exc:  # noqa: BLE001 - reported by the test
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join(timeout=30)
        assert not t.is_alive(), "a thread hangs"
    return errors


@pytest.fixture
def world(emu):
    """Two cameras and four nodes that fail in different places."""
    emu.add_camera("VORN Talvex STRESS01", controls={**{name: 0 for name in CID}, "auto_exposure": 1})
    emu.add_node(open_errno=errno.EACCES)
    emu.add_camera("VORN Talvex STRESS02", close_errno=errno.EIO)
    emu.add_node(querycap_errno=errno.ENOTTY)
    emu.add_camera(b"VORN Talvex \xff\n")
    emu.add_camera("VORN Talvex STRESS05")
    return emu


EXPECTED = [("/dev/video0", "VORN Talvex", "STRESS01"), ("/dev/video5", "VORN Talvex", "STRESS05")]


def test_get_set_and_enumeration_from_many_threads(world):
    backend = LinuxBackend()
    rounds = {"controls": 0, "lists": 0}

    def controls_worker(name):
        def work(stop):
            value = 0
            while not stop.is_set():
                value = (value + 7919) % 100_000 - 50_000
                assert controls.set(name, value) is True
                assert controls.get(name) == float(value), name
                rounds["controls"] += 1
        return work

    def enumerate_worker(stop):
        while not stop.is_set():
            got = [(d.os_id, d.name, d.serial) for d in backend.list_cameras()]
            assert got == EXPECTED
            rounds["lists"] += 1

    before = emulated_fds()
    with backend.open_controls("/dev/video0") as controls:
        workers = [controls_worker(name) for name in ("gain", "contrast", "brightness", "white_balance")]
        errors = run_threads(*workers, enumerate_worker, enumerate_worker)
        assert errors == []
    assert rounds["controls"] > 100 and rounds["lists"] > 20
    assert emulated_fds() == before == []


def test_close_while_other_threads_use_the_handle(world):
    """Every call returns a normal result or the closed handle's ValueError, and
    a file opened right after a close (likely on the number just freed) never
    sees a control request meant for the closed handle."""
    victim = world.add_node(controls={"gain": 0})
    backend = LinuxBackend()
    outcomes: set = set()
    cycles = 0

    def user(stop):
        while not stop.is_set():
            controls = current[0]
            for call in (lambda: controls.set("gain", 5), lambda: controls.get("gain")):
                try:
                    outcomes.add(call())
                except ValueError as exc:
                    assert "the control handle is closed" in str(exc), exc
                    outcomes.add("closed")

    def closer(stop):
        nonlocal cycles
        while not stop.is_set():
            current[0].close()
            fd = os.open(victim.path, os.O_RDWR)
            os.close(fd)
            current[0] = backend.open_controls("/dev/video0")
            cycles += 1

    current = [backend.open_controls("/dev/video0")]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # as many thread interleavings as possible
    try:
        errors = run_threads(user, user, user, closer)
    finally:
        sys.setswitchinterval(interval)
    current[0].close()
    assert errors == []
    assert outcomes == {True, 5.0, "closed"}
    assert cycles > 20
    assert victim.requests("g_ctrl", "s_ctrl", "ioctl") == []
    assert emulated_fds() == []


def test_close_waits_for_a_request_in_flight(world):
    node = world.add_node(controls={"gain": 1}, ctrl_delay=0.3)
    controls = LinuxBackend().open_controls(node.path)
    fd = controls._fd
    done: dict = {}

    def slow_set():
        done["result"] = controls.set("gain", 42)
        done["set"] = time.monotonic()

    t = threading.Thread(target=slow_set)
    t.start()
    time.sleep(0.1)  # the request is with the device now
    controls.close()
    done["close"] = time.monotonic()
    t.join()
    assert done["result"] is True
    assert done["close"] >= done["set"]
    assert controls._fd == -1 and fd not in open_fds()
