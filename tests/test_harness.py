"""The emulated world itself, through plain os/fcntl calls."""

from __future__ import annotations

import errno
import fcntl
import os
import struct
import time

import pytest

from harness import CID, VIDIOC_G_CTRL, VIDIOC_QUERYCAP, VIDIOC_S_CTRL, open_fds, querycap_bytes


def _ctrl(fd: int, request: int, cid: int, value: int = 0) -> int:
    buf = bytearray(struct.pack("<Ii", cid, value))
    fcntl.ioctl(fd, request, buf)
    return struct.unpack_from("<i", buf, 4)[0]


def test_node_answers_querycap_and_controls_and_logs_them(emu):
    raw = querycap_bytes("drv", b"C" * 32, capabilities=5, device_caps=0)
    node = emu.add_node(querycap=raw, controls={"gain": -7})
    fd = os.open(node.path, os.O_RDWR | os.O_NONBLOCK)
    try:
        buf = bytearray(104)
        fcntl.ioctl(fd, VIDIOC_QUERYCAP, buf)
        assert bytes(buf) == raw
        assert _ctrl(fd, VIDIOC_G_CTRL, CID["gain"]) == -7
        _ctrl(fd, VIDIOC_S_CTRL, CID["gain"], 40)
        assert _ctrl(fd, VIDIOC_G_CTRL, CID["gain"]) == 40
        with pytest.raises(OSError) as info:
            _ctrl(fd, VIDIOC_G_CTRL, CID["hue"])
        assert info.value.errno == errno.EINVAL
    finally:
        os.close(fd)
    ops = [(r.op, r.id, r.value) for r in node.requests("open", "querycap", "g_ctrl", "s_ctrl", "close")]
    assert ops == [("open", None, None), ("querycap", None, None), ("g_ctrl", CID["gain"], None),
                   ("s_ctrl", CID["gain"], 40), ("g_ctrl", CID["gain"], None),
                   ("g_ctrl", CID["hue"], None), ("close", None, None)]
    assert node.requests("open")[0].flags & (os.O_ACCMODE | os.O_NONBLOCK) == os.O_RDWR | os.O_NONBLOCK


@pytest.mark.parametrize("where, err", [("open", errno.EACCES), ("querycap", errno.ENOTTY),
                                        ("querycap", errno.EIO), ("close", errno.EIO)])
def test_injected_errors(emu, where, err):
    node = emu.add_node(**{f"{where}_errno": err})
    with pytest.raises(OSError) as info:
        fd = os.open(node.path, os.O_RDWR)
        try:
            fcntl.ioctl(fd, VIDIOC_QUERYCAP, bytearray(104))
        finally:
            os.close(fd)
    assert info.value.errno == err
    # A failing close still releases the descriptor.
    assert not any(t.endswith(f"/{node.name}") for t in open_fds().values())


def test_refused_control_and_delay(emu):
    node = emu.add_node(ctrl_delay=0.05)
    node.set_control("exposure", 3, get_errno=errno.EIO, set_errno=errno.ERANGE)
    fd = os.open(node.path, os.O_RDWR)
    try:
        for request, err in ((VIDIOC_G_CTRL, errno.EIO), (VIDIOC_S_CTRL, errno.ERANGE)):
            start = time.monotonic()
            with pytest.raises(OSError) as info:
                _ctrl(fd, request, CID["exposure"])
            assert info.value.errno == err and time.monotonic() - start >= 0.05
    finally:
        os.close(fd)


def test_camera_sysfs_layout(emu):
    cam = emu.add_camera("  VORN Talvex AB12CD34", metadata=True, usb_ancestor=3)
    assert [n.path for n in (cam.node, cam.meta)] == ["/dev/video0", "/dev/video1"]
    for node in (cam.node, cam.meta):
        device = os.path.realpath(f"/sys/class/video4linux/{node.name}/device")
        assert device == cam.device_dir
    parents = cam.device_dir
    for _ in range(3):
        parents = os.path.dirname(parents)
    assert parents == cam.usb_dir
    with open(os.path.join(cam.usb_dir, "product")) as f:
        assert f.read() == "  VORN Talvex AB12CD34\n"
    assert os.path.isfile(os.path.join(os.path.dirname(cam.usb_dir), "idVendor"))


@pytest.mark.parametrize("fault, entry, err", [("device", "{link}", errno.EACCES),
                                               ("idVendor", "{usb}/idVendor", errno.EACCES),
                                               ("product", "{usb}/product", errno.EACCES),
                                               ("product-read", "{usb}/product", errno.EIO)])
def test_sysfs_faults_defeat_root(emu, fault, entry, err):
    cam = emu.add_camera(sysfs_fault=fault)
    path = entry.format(link=f"/sys/class/video4linux/{cam.node.name}/device", usb=cam.usb_dir)
    with pytest.raises(OSError) as info:
        with open(path) as f:
            f.read()
    assert info.value.errno == err


def test_each_test_starts_empty(emu):
    assert not [p for p in os.listdir("/dev") if p.startswith("video")]
    assert os.listdir("/sys/class/video4linux") == []
    assert emu.requests() == []


@pytest.mark.parametrize(
    "mode, written, stored, refused",
    [
        (None, 5000, 5000, False),  # no auto-exposure control: nothing blocks the write
        (1, 100000, 80000, False),  # manual: clamped into the range, like uvcvideo
        (2, 0, 1, False),  # shutter priority lets exposure through
        (3, 500, 312, True),  # aperture priority refuses it with EACCES
        (0, 500, 312, True),
    ],
)
def test_exposure_writes_behave_like_uvcvideo(emu, mode, written, stored, refused):
    node = emu.add_node()
    node.set_control("exposure", 312, limits=(1, 80000) if mode is not None else None)
    if mode is not None:
        node.set_control("auto_exposure", mode)
    fd = os.open(node.path, os.O_RDWR)
    try:
        if refused:
            with pytest.raises(PermissionError):
                _ctrl(fd, VIDIOC_S_CTRL, CID["exposure"], written)
        else:
            _ctrl(fd, VIDIOC_S_CTRL, CID["exposure"], written)
        assert _ctrl(fd, VIDIOC_G_CTRL, CID["exposure"]) == stored
    finally:
        os.close(fd)
