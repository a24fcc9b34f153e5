"""Emulated V4L2 cameras behind the real system calls.

Production code keeps its fixed paths ("/dev/video*", "/sys/class/video4linux/")
and its real glob/open/ioctl/close/realpath/read calls; the harness gives it a
world to find. The pytest process moves into a private mount namespace of its
own (tests/conftest.py does this at import, before any thread exists), mounts
a tmpfs over /dev holding the essential nodes bound back from the real /dev
(null, zero, full, random, urandom, tty, fuse, pts, shm, plus the fd/std*
links), and a fresh tmpfs over /sys for each test. The machine's real /dev and
/sys are never changed.

Video nodes are regular files of a small FUSE server (v4l2emu.cpp, built on
first use into tests/harness/build/) mounted at /dev/.v4l2emu; /dev/videoN are
symlinks into it. The kernel forwards VIDIOC_QUERYCAP, VIDIOC_G_CTRL and
VIDIOC_S_CTRL on them to the server, which answers from a per-node table and
logs every request. Needs root, /dev/fuse, g++, pkg-config and libfuse3-dev;
otherwise the ``emu`` fixture skips with the reason.

Pytest
------
``emu`` (function scope) is an :class:`Emulator` reset to an empty world: no
/dev/video*, an empty /sys with /sys/class/video4linux and /sys/devices.

    def test_lists_the_camera(emu):
        cam = emu.add_camera("VORN Talvex AB12CD34")          # /dev/video0
        assert LinuxBackend().list_cameras()[0].os_id == cam.path

Builders (all return what they made)
------------------------------------
emu.add_camera(product="VORN Talvex AB12CD34", index=None, *, metadata=False,
               usb_ancestor=1, id_vendor=True, hub_product="xHCI Host Controller",
               sysfs_fault=None, **node_kw) -> Camera
    A USB camera on a bus of its own: root hub (idVendor + hub_product) /
    USB device (idVendor, product) / interface / video4linux/videoN, and
    /sys/class/video4linux/videoN with its "device" link to the interface.
    product: str (written with sysfs's trailing newline; padding kept), bytes
    (written raw, e.g. undecodable), None (no "product" file).
    metadata=True adds a second node (index + 1) of the same interface whose
    device_caps lack the capture bit. usb_ancestor: which ancestor of the
    resolved "device" directory is the USB device (1 = parent; 7 and 8 for the
    walk limit; 0 = the link points at the USB device itself).
    sysfs_fault: "device" | "idVendor" | "product" make that entry's stat fail
    with EACCES (root included: it is served by FUSE); "product-read" makes
    reading "product" fail with EIO.
    Camera has .node (capture Node), .meta (Node or None), .path, .usb_dir,
    .device_dir.
emu.add_node(index=None, *, driver="uvcvideo", card="Emulated camera",
             capabilities=UVC_CAPABILITIES, device_caps=CAPTURE_DEVICE_CAPS,
             querycap=None, open_errno=0, querycap_errno=0, close_errno=0,
             controls=None, ctrl_delay=0.0) -> Node
    A node with no sysfs entry. querycap: a raw 104-byte answer (see
    querycap_bytes) overriding the four fields before it. open_errno (e.g.
    EACCES) fails open(2); querycap_errno (ENOTTY, EIO) fails QUERYCAP;
    close_errno fails every close(2) of the node (the descriptor is still
    closed, as close(2) always does). controls: {V4L2 id or canonical name:
    value}; ids not in the table answer EINVAL. ctrl_delay: seconds the server
    sleeps before answering G_CTRL and S_CTRL.
emu.add_other_device(index=None, *, sysfs=True, **node_kw) -> Node
    A capture node that is not on USB (a PCI device in sysfs; sysfs=False: none).
Any node_kw of add_node also works for add_camera's capture node.

Node
----
.index, .name ("video0"), .path ("/dev/video0")
.configure(querycap=, open_errno=, querycap_errno=, close_errno=, ctrl_delay=)
    change behaviour later; None leaves a setting alone, 0 clears an errno.
.set_control(cid, value, *, get_errno=0, set_errno=0)   add/replace a control;
    a non-zero errno makes G_CTRL / S_CTRL of that id fail with it.
.answer(cmd, *, errno=0, data=b"")   answer another ioctl (default ENOTTY).
.requests(*ops) -> list[Request]     what the node received since the reset.
.remove()                            the /dev link and the server entry go.

Request (frozen dataclass): op, fh, flags, id, value, cmd, data.
    op "open" (flags = open flags as the kernel passed them, e.g.
    O_RDWR | O_NONBLOCK), "querycap", "g_ctrl" (id), "s_ctrl" (id, value as
    the signed 32-bit number written), "ioctl" (cmd, data = bytes passed in),
    "close" (synchronously on each close(2)), "release" (asynchronously after
    the last close; don't count on it right away). fh tells open files apart.
    A request is logged even when it is then refused.

Emulator also has: .requests() -> [(node name, Request)] for all nodes,
.forget_requests(), .command(*lines) (raw server commands, see v4l2emu.cpp).

Device-info server
------------------
harness.devinfo holds the local HTTPS device-info server (fixture ``devinfo``,
registered by tests/conftest.py) and sample payloads; see its docstring.

Outside pytest (benchmarks, scripts)
------------------------------------
Put tests/ on sys.path and, before starting any thread:

    from harness import Emulator
    with Emulator.start() as emu:        # reset() on enter, stop() on exit
        for i in range(32):
            emu.add_camera(f"VORN Talvex CAM{i:05d}")
        ...

Also exported: open_fds() -> {fd: target} of this process (for leak checks),
querycap_bytes(driver, card, *, bus_info, version, capabilities, device_caps),
CID (canonical control name -> V4L2 id), the VIDIOC_* codes and CAP_* bits,
UVC_CAPABILITIES, CAPTURE_DEVICE_CAPS, META_DEVICE_CAPS, Unavailable, isolate.
"""

from .emulator import (
    CAP_DEVICE_CAPS,
    CAP_EXT_PIX_FORMAT,
    CAP_META_CAPTURE,
    CAP_STREAMING,
    CAP_VIDEO_CAPTURE,
    CAPTURE_DEVICE_CAPS,
    CID,
    META_DEVICE_CAPS,
    UVC_CAPABILITIES,
    VIDIOC_G_CTRL,
    VIDIOC_QUERYCAP,
    VIDIOC_S_CTRL,
    Camera,
    Emulator,
    Node,
    Request,
    build_server,
    open_fds,
    querycap_bytes,
)
from .namespace import Unavailable, isolate

__all__ = [
    "CAP_DEVICE_CAPS", "CAP_EXT_PIX_FORMAT", "CAP_META_CAPTURE", "CAP_STREAMING", "CAP_VIDEO_CAPTURE",
    "CAPTURE_DEVICE_CAPS", "CID", "META_DEVICE_CAPS", "UVC_CAPABILITIES", "VIDIOC_G_CTRL",
    "VIDIOC_QUERYCAP", "VIDIOC_S_CTRL", "Camera", "Emulator", "Node", "Request", "Unavailable",
    "build_server", "isolate", "open_fds", "querycap_bytes",
]
