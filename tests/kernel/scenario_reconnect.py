"""In-guest tests: a camera source with ``reconnect`` through real unplugs."""

from __future__ import annotations

import collections
import os
import re
import threading
import time

import pytest

from kernel import vhci
from kernel.rig import TALVEX, module

CYCLES = 20


@pytest.fixture(scope="module", autouse=True)
def _leave_the_camera_plugged(rig):
    yield
    rig.plug(TALVEX)


@pytest.fixture
def source_of(rig, discovery):
    """CameraSource(Talvex, YUYV 640x360 at 30 fps, reconnect=...), closed afterwards."""
    pytest.importorskip("av")
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    talvex = module("vorn_camera_sdk.cameras.vorn_talvex").VORN_TALVEX
    mode = next(m for m in talvex.modes if (m.fourcc, m.width, m.height, m.fps) == ("YUYV", 640, 360, 30))
    rig.plug(TALVEX)
    # a camera plugged back in a moment ago may not answer the listing yet
    record = vhci.wait_for(lambda: discovery.get_connected_vorn_camera_by_serial(TALVEX["serial"]))
    sources = []

    def make(reconnect: float):
        sources.append(camera_source.CameraSource(record, mode, reconnect=reconnect))
        return sources[-1]

    yield make
    for source in sources:
        source.close()


def replug(rig, pause: float = 0.0) -> threading.Thread:
    """Pull the camera and plug it back in, in a thread of its own."""
    def run():
        rig.pull(TALVEX)
        time.sleep(pause)
        rig.plug(TALVEX)
    thread = threading.Thread(target=run)
    thread.start()
    return thread


def test_the_stream_resumes_with_its_controls_set_again_and_counts_the_gap(rig, source_of):
    source = source_of(reconnect=30)
    frames, after = [], 0
    for frame in source:
        frames.append(frame)
        if len(frames) == 3:
            for name, value in (("auto_exposure", 1), ("exposure", 400), ("brightness", 21)):
                assert source.controls.set(name, value)
            logged = len(rig.state(TALVEX)["set_log"])
            plugging = replug(rig, pause=0.5)
        after += source.reconnects > 0
        if after == 3:
            break
    plugging.join()
    assert source.reconnects == 1 and source.record.os_id == rig.capture_node(TALVEX)
    assert [f.index for f in frames] == list(range(len(frames)))
    # the camera saw the values again, in the order they were set
    assert rig.state(TALVEX)["set_log"][logged:] == [["auto_exposure", 1], ["exposure", 400], ["brightness", 21]]
    assert source.controls.get("exposure") == 400.0
    # the frame after the gap counts the frames the gap held
    gaps = [b.timestamp - a.timestamp for a, b in zip(frames, frames[1:])]
    first = gaps.index(max(gaps)) + 1
    assert gaps[first - 1] > 0.5
    assert abs(frames[first].dropped - (round(gaps[first - 1] * 30) - 1)) <= 1


@pytest.mark.parametrize("end", ["time-out", "close"])
def test_a_camera_that_does_not_come_back(rig, source_of, end):
    capture = module("vorn_camera_sdk.platform.capture")
    source = source_of(reconnect=1.0 if end == "time-out" else 60)
    frames = iter(source)
    next(frames)
    rig.pull(TALVEX)
    started = time.monotonic()
    if end == "time-out":
        with pytest.raises(capture.DeviceLostError, match="did not come back within 1 s") as info:
            collections.deque(frames, maxlen=0)
        assert TALVEX["serial"] in str(info.value)
    else:
        threading.Timer(0.5, source.close).start()
        collections.deque(frames, maxlen=0)  # ends without an error
    assert time.monotonic() - started < 10
    assert source.reconnects == 0


def held() -> tuple:
    """What this process holds: descriptors (video nodes by kind), video
    mappings, threads."""
    fds = collections.Counter()
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[re.sub(r"/dev/video\d+", "/dev/video", os.readlink(f"/proc/self/fd/{fd}"))] += 1
        except OSError:
            pass  # the directory listing's own
    with open("/proc/self/maps") as f:
        maps = sum("/dev/video" in line for line in f)
    return fds, maps, threading.active_count(), len(os.listdir("/proc/self/task"))


def test_unplug_cycles_leave_nothing_behind(rig, source_of):
    source = source_of(reconnect=30)
    frames = iter(source)
    next(frames)
    source.controls.set("brightness", 5)
    before = held()
    for cycle in range(CYCLES):
        plugging = replug(rig)
        while source.reconnects == cycle:
            next(frames)
        next(frames)
        plugging.join()
    assert source.reconnects == CYCLES
    assert held() == before
    source.close()
    fds, maps, *_ = held()
    assert maps == 0 and "/dev/video" not in fds
