"""In-guest tests: the SDK against the real uvcvideo driver.

Runs inside the QEMU guest (see tests/test_kernel.py), as root, with the
host's interpreter and package. Cameras are USB/IP devices served by the
host's ``usbip_camera`` server; they are plugged in through ``vhci_hcd`` and
bound by ``uvcvideo``, so enumeration, capability queries, controls and
streaming all go through the kernel's own USB core, UVC driver and V4L2.
The tests run in file order; the cameras and fixtures come from
``kernel.rig``.
"""

from __future__ import annotations

import fcntl
import os
import struct

import pytest

from kernel import vhci
from kernel.rig import PETRIN, TALVEX, module

# -- binding and enumeration ----------------------------------------------------


def test_uvcvideo_binds_a_capture_and_a_metadata_node(rig, linux):
    nodes = rig.plug(TALVEX)
    answers = {}
    for node in nodes:
        fd = os.open(node, os.O_RDWR | os.O_NONBLOCK)
        try:
            answers[node] = linux._querycap(fd)
        finally:
            os.close(fd)
    assert {driver for driver, _, _ in answers.values()} == {"uvcvideo"}
    assert {card for _, card, _ in answers.values()} == {f"VORN Talvex {TALVEX['serial']}"}
    capture = [node for node, (_, _, caps) in answers.items() if caps & linux.V4L2_CAP_VIDEO_CAPTURE]
    assert capture == [nodes[0]]
    assert linux._read_usb_iproduct(nodes[1]) == f"VORN Talvex {TALVEX['serial']}"


def _raw_querycap(node: str) -> tuple[str, int, int]:
    fd = os.open(node, os.O_RDWR | os.O_NONBLOCK)
    try:
        buf = bytearray(104)
        fcntl.ioctl(fd, 0x80685600, buf)
    finally:
        os.close(fd)
    driver = bytes(buf[:16]).rstrip(b"\0").decode()
    capabilities, device_caps = struct.unpack_from("<II", buf, 84)
    return driver, capabilities, device_caps


def test_the_emulated_devices_look_like_uvcvideo(rig):
    """The FUSE harness of the host tests models uvcvideo's nodes; check it
    against the real driver: capability words and the sysfs layout."""
    try:
        import harness
    except ImportError as exc:
        pytest.skip(f"tests/harness is not importable: {exc}")
    capture, meta = rig.plug(TALVEX)
    assert _raw_querycap(capture) == ("uvcvideo", harness.UVC_CAPABILITIES, harness.CAPTURE_DEVICE_CAPS)
    assert _raw_querycap(meta) == ("uvcvideo", harness.UVC_CAPABILITIES, harness.META_DEVICE_CAPS)
    # the "device" link leads to the interface; the USB device is its parent
    # (the emulator's usb_ancestor=1), with sysfs's trailing newline on "product"
    for node in (capture, meta):
        interface = os.path.realpath(f"/sys/class/video4linux/{os.path.basename(node)}/device")
        usb = os.path.dirname(interface)
        assert not os.path.exists(os.path.join(interface, "idVendor"))
        with open(os.path.join(usb, "product")) as f:
            assert f.read() == f"VORN Talvex {TALVEX['serial']}\n"


def test_list_cameras_lists_each_camera_once(rig, backend):
    rig.plug(TALVEX)
    rig.plug(PETRIN)
    found = [(d.os_id, d.name, d.serial) for d in backend.list_cameras()]
    assert found == sorted([
        (rig.capture_node(TALVEX), "VORN Talvex", TALVEX["serial"]),
        (rig.capture_node(PETRIN), "VORN Petrin", PETRIN["serial"]),
    ])


# -- controls ------------------------------------------------------------------------

# (canonical name, value written, value the camera holds afterwards). The
# exposure menu goes to manual (UVC mode bitmap 1) first: the camera keeps
# exposure time and gain to itself while it exposes automatically.
CONTROL_WRITES = [
    ("auto_exposure", 1, 1),
    ("exposure", 1234.9, 1234),
    ("gain", 90, 90),
    ("brightness", -17, -17),
    ("contrast", 50, 50),
    ("saturation", 70, 70),
    ("hue", -1500, -1500),
    ("gamma", 220, 220),
    ("sharpness", 6, 6),
    ("white_balance_auto", 0, 0),
    ("white_balance", 5100, 5100),
    ("power_line_frequency", 2, 2),
    ("backlight_compensation", 1, 1),
    # out of range: uvcvideo clamps to the camera's maximum and succeeds
    ("brightness", 1000, 64),
]


@pytest.mark.parametrize("name,value,held", CONTROL_WRITES, ids=[f"{c[0]}={c[1]}" for c in CONTROL_WRITES])
def test_control_writes_reach_the_camera(rig, controls, name, value, held):
    handle = controls(TALVEX)
    assert handle.set(name, value) is True
    state = rig.state(TALVEX)
    assert state["controls"][name] == held
    assert state["set_log"][-1] == [name, held]
    assert handle.get(name) == float(held)


def test_reads_come_from_the_camera(rig, controls):
    # GET_INFO announces auto-update, so uvcvideo asks the device on every
    # read: the camera's defaults come back untouched on the second camera.
    handle = controls(PETRIN)
    assert handle.get("contrast") == 34.0
    assert handle.get("white_balance") == 4600.0
    assert handle.get("auto_exposure") == 3.0  # aperture priority (UVC mode 8)


def test_refused_writes_give_false(rig, controls):
    # The second camera still exposes automatically (aperture priority).
    handle = controls(PETRIN)
    before = rig.state(PETRIN)
    # uvcvideo itself refuses: shutter priority is not in the camera's mode
    # bitmap, and the exposure time is inactive while the mode is automatic
    assert handle.set("auto_exposure", 2) is False
    assert handle.set("exposure", 500) is False
    assert rig.state(PETRIN)["set_log"] == before["set_log"]
    # the camera refuses: it stalls the gain write ("wrong state")
    assert handle.set("gain", 50) is False
    after = rig.state(PETRIN)
    assert after["rejected"][len(before["rejected"]):] == [["gain", 50]]
    assert after["controls"] == before["controls"]
    assert handle.get("gain") == float(before["controls"]["gain"])
    assert handle.get("auto_exposure") == 3.0


@pytest.mark.parametrize("name", ["hue", "gamma"])
def test_controls_the_camera_lacks(controls, name):
    # the second camera's processing unit has no hue and no gamma
    handle = controls(PETRIN)
    assert handle.get(name) is None
    assert handle.set(name, 1) is False


def test_discovery_resolves_the_plugged_cameras(rig, discovery):
    rig.plug(TALVEX)
    rig.plug(PETRIN)
    records = discovery.list_connected_vorn_cameras()
    assert [(r.os_id, r.serial, r.sku) for r in records] == sorted([
        (rig.capture_node(TALVEX), TALVEX["serial"], TALVEX["sku"]),
        (rig.capture_node(PETRIN), PETRIN["serial"], PETRIN["sku"]),
    ])
    one = discovery.get_connected_vorn_camera_by_serial(PETRIN["serial"])
    assert one is not None and one.os_id == rig.capture_node(PETRIN)


# -- streaming ---------------------------------------------------------------------------


def _stream(rig, source, brightness: int, count: int = 8) -> list:
    """``count`` frames from ``source``; brightness changes after the third
    through the source's control handle while the stream keeps flowing."""
    sent_before = rig.state(TALVEX)["frames_sent"]
    frames = []
    try:
        for frame in source:
            frames.append(frame)
            if len(frames) == 3:
                assert source.controls.set("brightness", brightness) is True
                assert source.controls.get("brightness") == float(brightness)
            if len(frames) == count:
                break
    finally:
        source.close()
    state = rig.state(TALVEX)
    assert state["controls"]["brightness"] == brightness
    assert state["frames_sent"] - sent_before >= count
    # closing stopped the stream at the camera (the request reaches it shortly after)
    vhci.wait_for(lambda: not rig.state(TALVEX)["streaming"], timeout=20)
    return frames


def test_camera_source_streams_while_a_control_changes(rig, backend, discovery):
    pytest.importorskip("av")
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    talvex = module("vorn_camera_sdk.cameras.vorn_talvex").VORN_TALVEX
    mode = next(m for m in talvex.modes if (m.fourcc, m.width, m.height, m.fps) == ("YUYV", 640, 360, 30))
    record = discovery.get_connected_vorn_camera_by_serial(TALVEX["serial"])
    assert record is not None and record.os_id == rig.capture_node(TALVEX)
    assert backend.av_open_args(record.os_id, mode) == (
        record.os_id, "v4l2", {"input_format": "yuyv422", "video_size": "640x360", "framerate": "30"})

    frames = _stream(rig, camera_source.CameraSource(record, mode), brightness=11)
    assert all(f.image.shape == (360, 640, 3) and not f.stereo for f in frames)
    # the camera shifts its gradient by two pixels per frame
    assert not (frames[0].image == frames[1].image).all()


def test_a_serial_resolves_to_a_stereo_stream_in_the_default_mode(rig, discovery):
    pytest.importorskip("av")
    factory = module("vorn_camera_sdk.sources.factory")
    source = factory.resolve_source_arg(f"  {TALVEX['serial']} ")
    assert (source.mode.fourcc, source.mode.width, source.mode.height) == ("MJPG", 1280, 360)
    frames = _stream(rig, source, brightness=-23, count=4)
    assert all(f.image.shape == (360, 1280, 3) for f in frames)
    assert all(f.left.shape == f.right.shape == (360, 640, 3) for f in frames)


# -- unplugging ------------------------------------------------------------------------------


def test_unplugged_camera_is_gone_at_the_next_call(rig, backend, controls):
    rig.plug(TALVEX)
    rig.plug(PETRIN)
    assert [d.serial for d in backend.list_cameras()] == [TALVEX["serial"], PETRIN["serial"]]
    handle = controls(PETRIN)
    rig.pull(PETRIN)
    assert [d.serial for d in backend.list_cameras()] == [TALVEX["serial"]]
    # a handle still open on the pulled camera fails softly (ENODEV)
    assert handle.get("brightness") is None
    assert handle.set("brightness", 3) is False
    handle.close()
    rig.plug(PETRIN)  # plugged back in: it is found again
    assert [d.serial for d in backend.list_cameras()] == [TALVEX["serial"], PETRIN["serial"]]


def test_discovery_forgets_an_unplugged_camera(rig, discovery):
    rig.plug(PETRIN)
    assert len(discovery.list_connected_vorn_cameras()) == 2
    rig.pull(PETRIN)
    assert [r.serial for r in discovery.list_connected_vorn_cameras()] == [TALVEX["serial"]]
    assert discovery.get_connected_vorn_camera_by_serial(PETRIN["serial"]) is None
