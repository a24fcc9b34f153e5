"""Device enumeration and the capability query, against emulated nodes and sysfs."""

from __future__ import annotations

import errno
import os

import pytest

from harness import META_DEVICE_CAPS, open_fds, querycap_bytes
from vorn_camera_sdk.platform import linux
from vorn_camera_sdk.platform.base import VideoDeviceInfo
from vorn_camera_sdk.platform.linux import LinuxBackend, _IOC, _querycap, _read_usb_iproduct


def listed() -> list[tuple[str, str, str]]:
    return [(d.os_id, d.name, d.serial) for d in LinuxBackend().list_cameras()]


def emulated_fds() -> list[str]:
    return [t for t in open_fds().values() if "/.v4l2emu/" in t]


@pytest.mark.parametrize("args, code", [
    ((2, "V", 0, 104), 0x80685600),
    ((3, "V", 27, 8), 0xC008561B),
    ((3, "V", 28, 8), 0xC008561C),
    ((0, "V", 256, 0), 0x5700),  # nr spills into the type byte
    ((0, "V", 0, 1 << 14), (1 << 30) | 0x5600),  # size spills into the direction bits
])
def test_ioc_encoding(args, code):
    assert _IOC(*args) == code


@pytest.mark.parametrize("raw, expected", [
    (querycap_bytes("uvcvideo", "Cam", capabilities=5, device_caps=0), ("uvcvideo", "Cam", 5)),
    (querycap_bytes("uvcvideo", "Cam", capabilities=5, device_caps=4), ("uvcvideo", "Cam", 4)),
    (querycap_bytes(b"d" * 16, b"C" * 32, device_caps=1), ("d" * 16, "C" * 32, 1)),
    (querycap_bytes(b"ab\0cd", b"Caf\xe2 cam", device_caps=1), ("ab\0cd", "Caf\ufffd cam", 1)),
    (querycap_bytes(b"", b"", capabilities=0, device_caps=0), ("", "", 0)),
    (querycap_bytes(capabilities=0, device_caps=0xFFFFFFFF), ("uvcvideo", "", 0xFFFFFFFF)),
])
def test_querycap_parses_the_answer(emu, raw, expected):
    node = emu.add_node(querycap=raw)
    fd = os.open(node.path, os.O_RDWR)
    try:
        assert _querycap(fd) == expected
    finally:
        os.close(fd)


@pytest.mark.parametrize("err", [errno.ENOTTY, errno.EIO])
def test_querycap_raises_the_os_error(emu, err):
    node = emu.add_node(querycap_errno=err)
    fd = os.open(node.path, os.O_RDWR)
    try:
        with pytest.raises(OSError) as info:
            _querycap(fd)
        assert info.value.errno == err
    finally:
        os.close(fd)


def test_empty_dev_lists_nothing(emu):
    assert LinuxBackend().list_cameras() == []


def test_lists_the_capture_node_of_each_camera(emu):
    first = emu.add_camera("VORN Talvex AB12CD34", metadata=True)
    second = emu.add_camera("VORN Petrin Module X9", metadata=True)
    backend = LinuxBackend()
    result = backend.list_cameras()
    assert result == [VideoDeviceInfo(os_id="/dev/video0", name="VORN Talvex", serial="AB12CD34"),
                      VideoDeviceInfo(os_id="/dev/video2", name="VORN Petrin Module", serial="X9")]
    assert backend.list_cameras() is not result
    # Every node, metadata ones included, is opened non-blocking, queried
    # and closed again within the call.
    for node in (first.node, first.meta, second.node, second.meta):
        reqs = node.requests("open", "querycap", "close", "g_ctrl", "s_ctrl", "ioctl")
        assert [r.op for r in reqs] == ["open", "querycap", "close"] * 2
        assert reqs[0].flags & (os.O_ACCMODE | os.O_NONBLOCK) == os.O_RDWR | os.O_NONBLOCK
    assert emulated_fds() == []


def test_paths_sort_as_plain_strings(emu):
    emu.add_camera("VORN Talvex TWO", index=2)
    emu.add_camera("VORN Talvex TEN", index=10)
    emu.add_camera("VORN Talvex ONE", index=1)
    assert [(p, s) for p, _, s in listed()] == [
        ("/dev/video1", "ONE"), ("/dev/video10", "TEN"), ("/dev/video2", "TWO")]


# Each case builds one device at /dev/video1 between two good cameras; the
# device must be skipped and both cameras still listed.
FAULTY_DEVICES = {
    "open refused": dict(open_errno=errno.EACCES),
    "querycap ENOTTY": dict(querycap_errno=errno.ENOTTY),
    "querycap EIO": dict(querycap_errno=errno.EIO),
    "close fails": dict(close_errno=errno.EIO),
    "capture bit clear": dict(capabilities=0x84A00001, device_caps=META_DEVICE_CAPS),
    "undecodable product": dict(product=b"VORN Talvex \xff\xfe01\n"),
    "product rejected": dict(product="Integrated Camera"),
    "product not VORN": dict(product="ACME Webcam 1234"),
    "no product, hub has one": dict(product=None, hub_product="VORN Talvex HUB00001"),
    "no idVendor": dict(id_vendor=False),
    "usb device 8th ancestor": dict(usb_ancestor=8),
    "device link EACCES": dict(sysfs_fault="device"),
    "idVendor EACCES": dict(sysfs_fault="idVendor"),
    "product EACCES": dict(sysfs_fault="product"),
    "product read EIO": dict(sysfs_fault="product-read"),
    "pci device": "pci",
    "no sysfs entry": "bare",
}


@pytest.mark.parametrize("fault", FAULTY_DEVICES.values(), ids=FAULTY_DEVICES.keys())
def test_a_faulty_device_is_skipped_alone(emu, fault):
    emu.add_camera("VORN Talvex GOOD0", index=0)
    if fault == "pci":
        emu.add_other_device(1)
    elif fault == "bare":
        emu.add_node(1)
    else:
        fault = dict(fault)
        emu.add_camera(fault.pop("product", "VORN Talvex BAD01"), 1, **fault)
    emu.add_camera("VORN Talvex GOOD2", index=2)
    assert listed() == [("/dev/video0", "VORN Talvex", "GOOD0"), ("/dev/video2", "VORN Talvex", "GOOD2")]
    assert emulated_fds() == []


@pytest.mark.parametrize("usb_ancestor, found", [(0, True), (1, True), (7, True), (8, False)])
def test_the_walk_examines_eight_nodes(emu, usb_ancestor, found):
    emu.add_camera("VORN Talvex DEEP01", usb_ancestor=usb_ancestor)
    assert _read_usb_iproduct("/dev/video0") == ("VORN Talvex DEEP01" if found else None)


def test_walk_stops_at_the_first_usb_device(emu):
    emu.add_camera(None, hub_product="VORN Talvex HUB00001")
    assert _read_usb_iproduct("/dev/video0") is None
    emu.add_camera("VORN Talvex CAM00001", hub_product="VORN Talvex HUB00002")
    assert _read_usb_iproduct("/dev/video1") == "VORN Talvex CAM00001"


def test_without_id_vendor_the_walk_goes_on_to_the_hub(emu):
    emu.add_camera("VORN Talvex CAM00001", id_vendor=False, hub_product="VORN Talvex HUB00001")
    assert _read_usb_iproduct("/dev/video0") == "VORN Talvex HUB00001"


@pytest.mark.parametrize("content, expected", [
    (b"  VORN Talvex AB12CD34\n", "VORN Talvex AB12CD34"),
    (b"\tVORN Talvex AB12CD34 \r\n", "VORN Talvex AB12CD34"),
    (b"VORN Talvex Caf\xc3\xa9\n", "VORN Talvex Caf\u00e9"),
    (b"\n", ""),
    (b"", ""),
    (b"   \n", ""),
    (b"VORN \xff\n", None),
])
def test_product_text(emu, content, expected):
    emu.add_camera(content)
    assert _read_usb_iproduct("/dev/video0") == expected


@pytest.mark.parametrize("dev_path", ["/dev/video0", "video0", "/elsewhere/video0/", "/dev/video0/."])
def test_product_is_found_by_the_last_path_component(emu, dev_path):
    emu.add_camera("VORN Talvex AB12CD34")
    assert _read_usb_iproduct(dev_path) == "VORN Talvex AB12CD34"


def test_no_sysfs_entry_gives_none(emu):
    emu.add_other_device(0)
    emu.add_node(1)
    os.symlink("/sys/devices/gone", "/sys/class/video4linux/video2")  # dangling
    assert [_read_usb_iproduct(f"/dev/video{i}") for i in range(4)] == [None] * 4


@pytest.fixture
def seen(monkeypatch):
    """Replace the module's parse_vorn_iproduct with a recorder; returns the list."""
    calls: list = []
    result = {"value": ("VORN Talvex", "S")}

    def parse(product):
        calls.append(product)
        if isinstance(result["value"], Exception):
            raise result["value"]
        return result["value"]

    monkeypatch.setattr(linux, "parse_vorn_iproduct", parse)
    calls.append(result)
    return calls


def test_empty_product_still_reaches_the_parser(emu, seen):
    emu.add_camera("   ")
    assert listed() == [("/dev/video0", "VORN Talvex", "S")]
    assert seen[1:] == [""]


@pytest.mark.parametrize("answer, error", [
    (("a", "b", "c"), ValueError),
    (("only",), ValueError),
    (KeyError("parser"), KeyError),
])
def test_parser_failures_propagate(emu, seen, answer, error):
    seen[0]["value"] = answer
    emu.add_camera()
    with pytest.raises(error):
        LinuxBackend().list_cameras()
    assert emulated_fds() == []
