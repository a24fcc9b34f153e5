"""In-guest tests: camera plug events from the kernel's uevents."""

from __future__ import annotations

import os
import time

import pytest

from kernel import vhci
from kernel.rig import PETRIN, SERVER, TALVEX, module


@pytest.fixture(scope="module", autouse=True)
def _leave_cameras_as_found(rig):
    found = [cam["busid"] in rig.ports for cam in (TALVEX, PETRIN)]
    yield
    for cam, plugged in zip((TALVEX, PETRIN), found):
        if plugged:
            rig.plug(cam)
        elif cam["busid"] in rig.ports:
            rig.pull(cam)


@pytest.fixture
def events():
    return module("vorn_camera_sdk.platform.events")


def collect(watcher, quiet: float, limit: float = 30.0) -> list[tuple]:
    """The events until ``quiet`` seconds pass without one."""
    out: list[tuple] = []
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline and (event := watcher.read(quiet)) is not None:
        out.append((event.kind, event.os_id, event.name, event.serial))
    return out


def test_plug_and_unplug_give_one_event_each(rig, events):
    rig.plug(TALVEX)
    if PETRIN["busid"] in rig.ports:
        rig.pull(PETRIN)
    with events.watch_cameras() as watcher:
        assert watcher.mode == "uevent"
        assert [d.serial for d in watcher.present] == [TALVEX["serial"]]
        capture, _meta = rig.plug(PETRIN)
        # none for the metadata node
        assert collect(watcher, quiet=1.0) == [("added", capture, "VORN Petrin", PETRIN["serial"])]
        rig.pull(PETRIN)
        assert collect(watcher, quiet=1.0) == [("removed", capture, "VORN Petrin", PETRIN["serial"])]


def test_replugged_at_another_port_the_camera_comes_back_on_another_node(rig, events):
    old_capture, _ = rig.plug(TALVEX)
    old_port = rig.ports[TALVEX["busid"]]
    moved = TALVEX["busid"] + "0"  # the same camera, offered at another bus id
    rig.server.call("export", TALVEX["busid"], **{"as": moved})
    held = os.open(old_capture, os.O_RDWR | os.O_NONBLOCK)  # an application still holds the old node
    try:
        with events.watch_cameras() as watcher:
            rig.pull(TALVEX)
            assert collect(watcher, quiet=1.0) == [("removed", old_capture, "VORN Talvex", TALVEX["serial"])]

            port = next(p["port"] for p in vhci.ports() if p["hub"] == "hs" and p["status"] == 4
                        and p["port"] != old_port)
            vhci.attach(moved, SERVER["host"], SERVER["port"], vport=port)
            capture, _meta = vhci.wait_for(lambda: len(nodes := vhci.video_nodes_of(port)) == 2 and nodes)
            assert capture != old_capture
            assert collect(watcher, quiet=1.0) == [("added", capture, "VORN Talvex", TALVEX["serial"])]

            rig.server.call("unplug", moved)
            vhci.wait_for(lambda: not vhci.video_nodes_of(port) and not os.path.exists(capture))
            vhci.wait_for(lambda: all(p["status"] == 4 for p in vhci.ports() if p["port"] == port))
            rig.server.call("plug", moved)
            assert collect(watcher, quiet=1.0) == [("removed", capture, "VORN Talvex", TALVEX["serial"])]
    finally:
        os.close(held)
    rig.plug(TALVEX)
