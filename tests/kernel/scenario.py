"""In-guest tests: the SDK against the real uvcvideo driver.

Runs inside the QEMU guest (see tests/test_kernel.py), as root, with the
host's interpreter and package. Cameras are USB/IP devices served by the
host's ``usbip_camera`` server; they are plugged in through ``vhci_hcd`` and
bound by ``uvcvideo``, so enumeration, capability queries, controls and
streaming all go through the kernel's own USB core, UVC driver and V4L2.
The tests run in file order and share the plugged cameras.
"""

from __future__ import annotations

import faulthandler
import fcntl
import importlib
import json
import os
import socket
import struct
import threading

import pytest

from kernel import vhci
from kernel.usbip_camera import ServerClient

CONFIG = json.loads(open(os.environ["VORN_KERNEL_CONFIG"]).read())
SERVER = CONFIG["server"]
CAMERAS = CONFIG["cameras"]
TALVEX, PETRIN = CAMERAS[0], CAMERAS[1]


def _module(name: str):
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        pytest.skip(f"{name} is not available: {exc}")


def _both_nodes(vport: int):
    """The camera's capture and metadata nodes once both exist, else None."""
    nodes = vhci.video_nodes_of(vport)
    return nodes if len(nodes) == 2 and all(os.path.exists(n) for n in nodes) else None


class Rig:
    """The cameras plugged into the guest, by busid."""

    def __init__(self, server: ServerClient) -> None:
        self.server = server
        self.ports: dict[str, int] = {}
        self.nodes: dict[str, list[str]] = {}

    def plug(self, cam: dict) -> list[str]:
        """Attach a camera and wait for its two video nodes (capture, metadata)."""
        busid = cam["busid"]
        if busid not in self.ports:
            vport = vhci.attach(busid, SERVER["host"], SERVER["port"])
            self.ports[busid] = vport
            self.nodes[busid] = vhci.wait_for(lambda: _both_nodes(vport))
        return self.nodes[busid]

    def capture_node(self, cam: dict) -> str:
        return self.plug(cam)[0]

    def pull(self, cam: dict) -> None:
        """Unplug at the server, as a cable pull: the guest sees a disconnect."""
        busid = cam["busid"]
        nodes = self.nodes.pop(busid)
        vport = self.ports.pop(busid)
        self.server.call("unplug", busid)
        vhci.wait_for(lambda: not any(os.path.exists(n) for n in nodes) and not vhci.video_nodes_of(vport))
        vhci.wait_for(lambda: all(p["status"] == 4 for p in vhci.ports() if p["port"] == vport))
        self.server.call("plug", busid)

    def state(self, cam: dict) -> dict:
        return self.server.call("state", cam["busid"])


@pytest.fixture(autouse=True)
def _watchdog():
    # A test stuck in the driver would hold the guest until the host gives
    # up on it; dump the stacks and end the run instead.
    faulthandler.dump_traceback_later(90, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def rig():
    server = ServerClient(SERVER["host"], SERVER["port"])
    rig = Rig(server)
    yield rig
    server.close()


@pytest.fixture(scope="module")
def linux():
    return _module("vorn_camera_sdk.platform.linux")


@pytest.fixture
def backend(linux):
    return linux.LinuxBackend()


@pytest.fixture
def controls(backend, rig):
    handles = []

    def open_for(cam: dict):
        handle = backend.open_controls(rig.capture_node(cam))
        handles.append(handle)
        return handle

    yield open_for
    for handle in handles:
        handle.close()


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


# -- discovery -------------------------------------------------------------------------


@pytest.fixture(scope="module")
def devinfo_url():
    """The host's device-info server, reached through a guest loopback port.

    Its certificate names 127.0.0.1, so a small forwarder listens on the
    guest's loopback at the host server's port and carries each connection
    to the forwarded address.
    """
    info = CONFIG.get("devinfo")
    if not info:
        pytest.skip(f"no device-info server on the host: {CONFIG.get('devinfo_skip')}")
    listener = socket.create_server(("127.0.0.1", info["local_port"]))

    def pipe(src, dst):
        try:
            while data := src.recv(65536):
                dst.sendall(data)
        except OSError:
            pass
        finally:
            try:
                dst.shutdown(socket.SHUT_WR)
            except OSError:
                pass

    def serve():
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            upstream = socket.create_connection((info["host"], info["port"]))
            threading.Thread(target=pipe, args=(client, upstream), daemon=True).start()
            threading.Thread(target=pipe, args=(upstream, client), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    yield info
    listener.close()


@pytest.fixture
def discovery(devinfo_url, monkeypatch):
    """camera_facts, with the device-info client pointed at the host's server."""
    camera_facts = _module("vorn_camera_sdk.cameras.camera_facts")
    catalog_client = _module("vorn_camera_sdk.cameras.catalog_client")
    monkeypatch.setenv("SSL_CERT_FILE", devinfo_url["ca_file"])
    monkeypatch.setattr(catalog_client, "_CAMERA_FACTS_URL", devinfo_url["base_url"])
    return camera_facts


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
    assert not state["streaming"]  # closing stopped the stream at the camera
    return frames


def test_camera_source_streams_while_a_control_changes(rig, backend, discovery):
    pytest.importorskip("av")
    camera_source = _module("vorn_camera_sdk.sources.camera_source")
    talvex = _module("vorn_camera_sdk.cameras.vorn_talvex").VORN_TALVEX
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
    factory = _module("vorn_camera_sdk.sources.factory")
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
