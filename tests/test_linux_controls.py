"""Control handles and stream open arguments, against emulated nodes."""

from __future__ import annotations

import errno
import os
import struct
import threading
import time

import pytest

from harness import CID, open_fds
from vorn_camera_sdk.cameras.camera_spec import CaptureMode
from vorn_camera_sdk.platform.linux import LinuxBackend


def fds_on(node) -> list[int]:
    return [fd for fd, target in open_fds().items() if target.endswith(f"/.v4l2emu/{node.name}")]


def control_requests(node) -> list[tuple[str, int, int | None]]:
    return [(r.op, r.id, r.value) for r in node.requests("g_ctrl", "s_ctrl")]


@pytest.fixture
def cam(emu):
    return emu.add_camera(controls={**{name: 0 for name in CID}, "auto_exposure": 1})  # manual exposure


@pytest.mark.parametrize("name, value, written", [
    ("exposure", 312.9, 312),
    ("gain", -0.5, 0),
    ("brightness", -2.9, -2),
    ("white_balance", 4600, 4600),
    ("hue", True, 1),
    ("contrast", 2147483647.9, 2147483647),
    ("saturation", -2147483648, -2147483648),
])
def test_set_then_get_round_trip(cam, name, value, written):
    with LinuxBackend().open_controls(cam.path) as controls:
        assert controls.set(name, value) is True
        got = controls.get(name)
    assert type(got) is float and got == written
    assert control_requests(cam.node) == [("s_ctrl", CID[name], written), ("g_ctrl", CID[name], None)]


@pytest.mark.parametrize("refusal", [dict(get_errno=errno.EIO, set_errno=errno.ERANGE), None])
def test_a_refused_control_gives_none_and_false(emu, refusal):
    node = emu.add_camera().node
    if refusal:
        node.set_control("gamma", 100, **refusal)  # else: unknown to the device, EINVAL
    with LinuxBackend().open_controls(node.path) as controls:
        assert controls.get("gamma") is None
        assert controls.set("gamma", 120) is False
    assert control_requests(node) == [("g_ctrl", CID["gamma"], None), ("s_ctrl", CID["gamma"], 120)]


@pytest.mark.parametrize("name", ["focus", "Exposure", "EXPOSURE", " exposure", "", "white balance"])
def test_unknown_names_never_reach_the_device(cam, name):
    with LinuxBackend().open_controls(cam.path) as controls:
        assert controls.get(name) is None
        assert controls.set(name, 1) is False
    assert control_requests(cam.node) == []


@pytest.mark.parametrize("value, error", [
    (3e9, struct.error),
    (-2147483649, struct.error),
    (float("nan"), ValueError),
    (float("inf"), OverflowError),
])
def test_unpackable_values_raise(cam, value, error):
    with LinuxBackend().open_controls(cam.path) as controls:
        with pytest.raises(error):
            controls.set("exposure", value)
    assert control_requests(cam.node) == []


@pytest.mark.parametrize("close_errno", [0, errno.EIO])
def test_close_twice_closes_the_descriptor_once(cam, close_errno):
    cam.node.configure(close_errno=close_errno)
    controls = LinuxBackend().open_controls(cam.path)
    assert fds_on(cam.node) == [controls._fd]
    assert controls.close() is None
    assert controls.close() is None
    assert controls._fd == -1 and fds_on(cam.node) == []
    assert len(cam.node.requests("close")) == 1
    with pytest.raises(ValueError, match="the control handle is closed"):
        controls.get("gain")
    with pytest.raises(ValueError, match="the control handle is closed"):
        controls.set("gain", 1)
    assert control_requests(cam.node) == []


def test_each_open_controls_has_its_own_descriptor(cam):
    backend = LinuxBackend()
    first = backend.open_controls(cam.path)
    second = backend.open_controls(cam.path, "AB12CD34")
    try:
        assert first._os_id == second._os_id == cam.path
        assert first._fd != second._fd
        assert sorted(fds_on(cam.node)) == sorted([first._fd, second._fd])
        first.set("gain", 7)
        assert second.get("gain") == 7.0
    finally:
        first.close()
        second.close()
    opens = cam.node.requests("open")
    assert len(opens) == 2 and len({r.fh for r in opens}) == 2
    # Blocking read-write, unlike the enumeration's non-blocking query.
    assert all(r.flags & (os.O_ACCMODE | os.O_NONBLOCK) == os.O_RDWR for r in opens)
    assert {r.fh for r in cam.node.requests("s_ctrl")} != {r.fh for r in cam.node.requests("g_ctrl")}


@pytest.mark.parametrize("build, error", [
    (lambda emu: "/dev/video9", FileNotFoundError),
    (lambda emu: emu.add_camera(open_errno=errno.EACCES).path, PermissionError),
])
def test_open_controls_raises_when_the_node_cannot_be_opened(emu, build, error):
    path = build(emu)
    with pytest.raises(error) as info:
        LinuxBackend().open_controls(path)
    assert info.value.filename == path
    assert [t for t in open_fds().values() if "/.v4l2emu/" in t] == []


def test_threads_share_one_handle(cam):
    names = [n for n in CID if n not in ("auto_exposure", "exposure")][:8]  # independent controls
    errors: list = []
    with LinuxBackend().open_controls(cam.path) as controls:
        def work(name: str) -> None:
            for i in range(40):
                if not controls.set(name, i) or controls.get(name) != float(i):
                    errors.append((name, i))

        threads = [threading.Thread(target=work, args=(n,)) for n in names]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == []
    assert len(control_requests(cam.node)) == 8 * 40 * 2


@pytest.mark.parametrize("call", [lambda c: c.get("exposure"), lambda c: c.set("exposure", 5)],
                         ids=["get", "set"])
def test_other_threads_run_during_a_slow_request(cam, call):
    cam.node.configure(ctrl_delay=0.1)
    ticks: list[float] = []
    stop = threading.Event()

    def tick() -> None:
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    with LinuxBackend().open_controls(cam.path) as controls:
        ticker.start()
        time.sleep(0.01)
        start = time.monotonic()
        assert call(controls) is not None
        end = time.monotonic()
        stop.set()
        ticker.join()
    assert end - start >= 0.1
    assert sum(start + 0.02 < t < end - 0.02 for t in ticks) >= 5


@pytest.mark.parametrize("mode, pixelformat, rate", [
    (CaptureMode(1280, 720, 30, "MJPG", stereo=False), b"MJPG", (1, 30)),
    (CaptureMode(640, 480, 7.5, "yuyv", stereo=False), b"YUYV", (2, 15)),
])
def test_media_library_accepts_the_open_arguments(cam, mode, pixelformat, rate):
    """FFmpeg's v4l2 demuxer takes our format name and options and gets as far
    as the device's buffer requests, which the emulated node refuses."""
    av = pytest.importorskip("av")
    node = cam.node
    # Just enough of a V4L2 device for the demuxer to negotiate: one input,
    # S_FMT and S_PARM echo what they get, G_PARM offers a settable frame rate.
    node.answer(0x80045626, data=bytes(4))  # G_INPUT
    node.answer(0xC050561A)  # ENUMINPUT
    node.answer(0xC0D05605)  # S_FMT
    node.answer(0xC0CC5615, data=struct.pack("<III", 1, 0x1000, 0).ljust(204, b"\0"))  # G_PARM
    node.answer(0xC0CC5616)  # S_PARM
    path, input_format, options = LinuxBackend().av_open_args(cam.path, mode)
    with pytest.raises(OSError) as info:
        av.open(path, format=input_format, options=options)
    assert info.value.errno == errno.ENOTTY
    requests = {r.cmd: r.data for r in node.requests("ioctl")}
    assert struct.unpack_from("<II4s", requests[0xC0D05605], 8) == (mode.width, mode.height, pixelformat)
    assert struct.unpack_from("<II", requests[0xC0CC5616], 12) == rate
    assert 0xC0145608 in requests  # REQBUFS: the first request that fails
