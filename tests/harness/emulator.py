"""The emulated world: /dev with FUSE-served video nodes, and a built sysfs."""

from __future__ import annotations

import errno as _errno
import os
import shutil
import struct
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Union

from .namespace import MNT_DETACH, MS_BIND, MS_MOVE, MS_NOSUID, MS_REC, Unavailable, isolate, mount, umount

HERE = Path(__file__).resolve().parent
SERVER_SOURCE = HERE / "v4l2emu.cpp"
SERVER_BINARY = HERE / "build" / "v4l2emu"

MOUNT = "/dev/.v4l2emu"
CONTROL = MOUNT + "/.control"
EACCES_DIR = MOUNT + "/.eacces"  # every lookup below it fails with EACCES
EIO_FILE = MOUNT + "/.eio"  # opens fine, every read fails with EIO

# Public V4L2 ABI values.
VIDIOC_QUERYCAP = 0x80685600
VIDIOC_G_CTRL = 0xC008561B
VIDIOC_S_CTRL = 0xC008561C
CAP_VIDEO_CAPTURE = 0x00000001
CAP_META_CAPTURE = 0x00800000
CAP_EXT_PIX_FORMAT = 0x00200000
CAP_STREAMING = 0x04000000
CAP_DEVICE_CAPS = 0x80000000
# What a UVC camera reports: the whole device, its capture node, its metadata node.
UVC_CAPABILITIES = CAP_DEVICE_CAPS | CAP_STREAMING | CAP_META_CAPTURE | CAP_EXT_PIX_FORMAT | CAP_VIDEO_CAPTURE
CAPTURE_DEVICE_CAPS = CAP_STREAMING | CAP_EXT_PIX_FORMAT | CAP_VIDEO_CAPTURE
META_DEVICE_CAPS = CAP_STREAMING | CAP_EXT_PIX_FORMAT | CAP_META_CAPTURE

CID = {
    "brightness": 0x00980900,
    "contrast": 0x00980901,
    "saturation": 0x00980902,
    "hue": 0x00980903,
    "gain": 0x00980913,
    "auto_exposure": 0x009A0901,
    "exposure": 0x009A0902,
    "gamma": 0x00980910,
    "white_balance_auto": 0x0098090C,
    "white_balance": 0x0098091A,
    "power_line_frequency": 0x00980918,
    "sharpness": 0x0098091B,
    "backlight_compensation": 0x0098091C,
}

_ESSENTIAL_NODES = ("null", "zero", "full", "random", "urandom", "tty", "fuse")
_ESSENTIAL_LINKS = {
    "ptmx": "pts/ptmx",
    "fd": "/proc/self/fd",
    "stdin": "/proc/self/fd/0",
    "stdout": "/proc/self/fd/1",
    "stderr": "/proc/self/fd/2",
}

Text = Union[str, bytes]


def querycap_bytes(driver: Text = "uvcvideo", card: Text = "", *, bus_info: Text = "",
                   version: int = 0x00060000, capabilities: int = UVC_CAPABILITIES,
                   device_caps: int = CAPTURE_DEVICE_CAPS) -> bytes:
    """The 104-byte VIDIOC_QUERYCAP answer; text fields as given (bytes raw, str UTF-8)."""
    def raw(v: Text) -> bytes:
        return v if isinstance(v, bytes) else v.encode()
    return struct.pack("<16s32s32sIII12x", raw(driver), raw(card), raw(bus_info),
                       version, capabilities, device_caps)


@dataclass(frozen=True)
class Request:
    """One request a node received, as the server logged it.

    ``op`` is "open", "querycap", "g_ctrl", "s_ctrl", "ioctl" (anything else),
    "close" (every close(2) of a descriptor) or "release" (the last close of
    an open file description; the kernel sends it asynchronously).
    """

    op: str
    fh: int
    flags: Optional[int] = None  # open
    id: Optional[int] = None  # g_ctrl, s_ctrl
    value: Optional[int] = None  # s_ctrl
    cmd: Optional[int] = None  # ioctl
    data: Optional[bytes] = None  # ioctl: the bytes passed in


def _parse_request(words: list[str]) -> Request:
    op, fields = words[0], dict(w.split("=", 1) for w in words[1:])
    kw: dict = {}
    for key in ("flags", "id", "value", "cmd"):
        if key in fields:
            kw[key] = int(fields[key], 0)
    if "in" in fields:
        kw["data"] = bytes.fromhex(fields["in"])
    return Request(op, int(fields["fh"]), **kw)


class Node:
    """One emulated /dev/videoN node (a symlink into the FUSE mount)."""

    def __init__(self, emu: "Emulator", index: int):
        self.emu = emu
        self.index = index
        self.name = f"video{index}"
        self.path = f"/dev/video{index}"

    def __repr__(self) -> str:
        return f"<Node {self.path}>"

    def configure(self, *, querycap: Optional[bytes] = None, open_errno: Optional[int] = None,
                  querycap_errno: Optional[int] = None, close_errno: Optional[int] = None,
                  ctrl_delay: Optional[float] = None) -> "Node":
        """Change the node's behaviour; arguments left None stay as they are."""
        cmds = []
        if querycap is not None:
            if len(querycap) != 104:
                raise ValueError("a QUERYCAP answer is 104 bytes")
            cmds.append(f"querycap {self.name} {querycap.hex()}")
        for what, err in (("open", open_errno), ("querycap", querycap_errno), ("close", close_errno)):
            if err is not None:
                cmds.append(f"fail {self.name} {what} {int(err)}")
        if ctrl_delay is not None:
            cmds.append(f"delay {self.name} {round(ctrl_delay * 1e6)}")
        self.emu.command(*cmds)
        return self

    def set_control(self, cid: Union[int, str], value: int, *, get_errno: int = 0,
                    set_errno: int = 0, limits: Optional[tuple[int, int]] = None) -> "Node":
        """Add or replace a control (by V4L2 id or canonical name); errnos refuse requests.

        With ``limits=(min, max)`` a write is clamped into the range, as uvcvideo
        does. Like uvcvideo, the node refuses an exposure write with EACCES while
        its auto-exposure control is automatic (0 or 3).
        """
        cid = CID[cid] if isinstance(cid, str) else cid
        bounds = f" {limits[0]} {limits[1]}" if limits is not None else ""
        self.emu.command(f"ctrl {self.name} {cid:#x} {int(value)} {get_errno} {set_errno}{bounds}")
        return self

    def answer(self, cmd: int, *, errno: int = 0, data: bytes = b"") -> "Node":
        """How the node answers another ioctl (the default is ENOTTY)."""
        self.emu.command(f"answer {self.name} {cmd:#x} {errno} {data.hex()}".rstrip())
        return self

    def requests(self, *ops: str) -> list[Request]:
        """Requests this node received since the last reset, optionally only the given ops."""
        return [r for n, r in self.emu.requests() if n == self.name and (not ops or r.op in ops)]

    def remove(self) -> None:
        """The node vanishes: its /dev link and its server entry (sysfs stays)."""
        os.unlink(self.path)
        self.emu.command(f"remove {self.name}")


@dataclass
class Camera:
    """A USB camera: capture node, optional metadata node, its sysfs directories."""

    node: Node
    meta: Optional[Node]
    usb_dir: str  # the USB device directory ("idVendor", "product")
    device_dir: str  # what /sys/class/video4linux/videoN/device resolves to

    @property
    def path(self) -> str:
        return self.node.path


class Emulator:
    """The emulated world; see the package docstring for the API."""

    def __init__(self) -> None:
        self._root = Path(tempfile.mkdtemp(prefix="vorn-emu-"))
        self._log = self._root / "requests.log"
        self._log.touch()
        self._log_offset = 0
        self._server: Optional[subprocess.Popen] = None
        self._dev_mounted = False
        self._sys_mounted = False
        self._nodes: dict[int, Node] = {}
        self._buses = 0

    # -- life cycle -------------------------------------------------------------

    @classmethod
    def start(cls) -> "Emulator":
        """Isolate the process, mount the emulated /dev and start the server.

        Raises Unavailable when this machine cannot host the world.
        """
        if not os.path.exists("/dev/fuse"):
            raise Unavailable("no /dev/fuse: the kernel has no FUSE support here")
        binary = build_server()
        isolate()
        emu = cls()
        try:
            emu._mount_dev()
            emu._start_server(binary)
        except BaseException:
            emu.stop()
            raise
        return emu

    def _mount_dev(self) -> None:
        # Assemble the new /dev aside, then move it over /dev in one step.
        stage = self._root / "dev"
        stage.mkdir()
        mount("tmpfs", stage, "tmpfs", MS_NOSUID, "mode=755")
        try:
            for name in _ESSENTIAL_NODES:
                if os.path.exists(f"/dev/{name}"):
                    (stage / name).touch()
                    mount(f"/dev/{name}", stage / name, None, MS_BIND)
            for name in ("pts", "shm"):
                if os.path.isdir(f"/dev/{name}"):
                    (stage / name).mkdir()
                    mount(f"/dev/{name}", stage / name, None, MS_BIND | MS_REC)
            for name, target in _ESSENTIAL_LINKS.items():
                os.symlink(target, stage / name)
            (stage / MOUNT.rsplit("/", 1)[1]).mkdir()
            mount(stage, "/dev", None, MS_MOVE)
        except BaseException:
            umount(stage, MNT_DETACH)
            raise
        self._dev_mounted = True

    def _start_server(self, binary: Path) -> None:
        err = open(self._root / "server.err", "wb")
        with err:
            self._server = subprocess.Popen(
                [str(binary), str(self._log), MOUNT, "-f", "-o", "fsname=v4l2emu,subtype=v4l2emu"],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        deadline = time.monotonic() + 10
        while not os.path.exists(CONTROL):
            if self._server.poll() is not None or time.monotonic() > deadline:
                reason = (self._root / "server.err").read_text(errors="replace").strip()
                raise Unavailable(f"the FUSE server did not come up: {reason or 'no message'}")
            time.sleep(0.01)

    def reset(self) -> None:
        """An empty world: no video nodes, a fresh empty sysfs, an empty request log."""
        self.clear()
        mount("tmpfs", "/sys", "tmpfs", MS_NOSUID, "mode=755")
        self._sys_mounted = True
        os.makedirs("/sys/class/video4linux")
        os.makedirs("/sys/devices")

    def clear(self) -> None:
        """Remove everything reset() and the builders made; the real /sys shows again."""
        if not self._dev_mounted:
            return  # never touch the machine's own /dev
        for link in Path("/dev").glob("video*"):
            link.unlink()
        self._nodes.clear()
        self._buses = 0
        if self._server is not None and self._server.poll() is None:
            self.command("reset")
        self._log_offset = self._log.stat().st_size
        if self._sys_mounted:
            umount("/sys", MNT_DETACH)
            self._sys_mounted = False

    def stop(self) -> None:
        """Tear down: links and sysfs first, then the FUSE mount, the server, /dev."""
        try:
            self.clear()
        finally:
            self._stop_server()
            if self._dev_mounted:
                umount("/dev", MNT_DETACH)
                self._dev_mounted = False
            shutil.rmtree(self._root, ignore_errors=True)

    def _stop_server(self) -> None:
        if self._server is None:
            return
        try:
            umount(MOUNT)  # the server sees the unmount and exits by itself
        except OSError:
            # Busy (a test leaked a descriptor on a node) or already gone:
            # detach it and stop the server, which ends the connection.
            try:
                umount(MOUNT, MNT_DETACH)
            except OSError:
                pass
            self._server.terminate()
        try:
            self._server.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self._server.kill()
            self._server.wait()
        self._server = None

    def __enter__(self) -> "Emulator":
        self.reset()
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    # -- server ---------------------------------------------------------------

    def command(self, *lines: str) -> None:
        """Send control commands to the server (see v4l2emu.cpp)."""
        if not lines:
            return
        fd = os.open(CONTROL, os.O_WRONLY)
        try:
            os.write(fd, ("\n".join(lines) + "\n").encode())
        except OSError as exc:
            raise RuntimeError(f"the server rejected {lines!r}") from exc
        finally:
            os.close(fd)

    def requests(self) -> list[tuple[str, Request]]:
        """(node name, request) for every request since the last reset, in arrival order."""
        with open(self._log, "rb") as f:
            f.seek(self._log_offset)
            lines = f.read().decode().splitlines()
        out, opened = [], set()
        for line in lines:
            words = line.split()
            req = _parse_request(words[1:])
            if req.op == "open":
                opened.add(req.fh)
            elif req.fh not in opened:
                continue  # a late release from an earlier world
            out.append((words[0], req))
        return out

    def forget_requests(self) -> None:
        """Start the request log afresh (nodes and sysfs stay)."""
        self._log_offset = self._log.stat().st_size

    # -- /dev -------------------------------------------------------------------

    def _free_index(self) -> int:
        i = 0
        while i in self._nodes:
            i += 1
        return i

    def add_node(self, index: Optional[int] = None, *, driver: Text = "uvcvideo", card: Text = "Emulated camera",
                 capabilities: int = UVC_CAPABILITIES, device_caps: int = CAPTURE_DEVICE_CAPS,
                 querycap: Optional[bytes] = None, open_errno: int = 0, querycap_errno: int = 0,
                 close_errno: int = 0, controls: Optional[dict] = None, ctrl_delay: float = 0.0) -> Node:
        """A /dev/videoN node without any sysfs entry.

        ``querycap`` (raw 104 bytes) overrides driver/card/capabilities/device_caps;
        ``controls`` maps V4L2 ids or canonical names to values.
        """
        index = self._free_index() if index is None else index
        if index in self._nodes:
            raise ValueError(f"/dev/video{index} exists already")
        node = Node(self, index)
        self.command(f"node {node.name}")
        if querycap is None:
            querycap = querycap_bytes(driver, card, bus_info=f"emulated:{index}",
                                      capabilities=capabilities, device_caps=device_caps)
        node.configure(querycap=querycap, open_errno=open_errno, querycap_errno=querycap_errno,
                       close_errno=close_errno, ctrl_delay=ctrl_delay)
        for cid, value in (controls or {}).items():
            node.set_control(cid, value)
        os.symlink(f"{MOUNT.rsplit('/', 1)[1]}/{node.name}", node.path)
        self._nodes[index] = node
        return node

    # -- sysfs ------------------------------------------------------------------

    def _link_class(self, node: Node, device_dir: str) -> None:
        """/sys/class/video4linux/videoN -> device_dir/video4linux/videoN, with its "device" link."""
        own = f"{device_dir}/video4linux/{node.name}"
        os.makedirs(own)
        Path(own, "name").write_text("Emulated camera\n")
        os.symlink(os.path.relpath(device_dir, own), f"{own}/device")
        os.symlink(os.path.relpath(own, "/sys/class/video4linux"), f"/sys/class/video4linux/{node.name}")

    def add_camera(self, product: Optional[Text] = "VORN Talvex AB12CD34", index: Optional[int] = None, *,
                   metadata: bool = False, usb_ancestor: int = 1, id_vendor: bool = True,
                   hub_product: Text = "xHCI Host Controller", sysfs_fault: Optional[str] = None,
                   **node_kw) -> Camera:
        """A USB camera on a bus of its own.

        product: the "product" file's content: str gets sysfs's trailing
            newline, bytes are written as they are, None leaves the file out.
        metadata: also a second node (index + 1) of the same interface whose
            device_caps lack the capture bit, as a UVC metadata node.
        usb_ancestor: which ancestor of the resolved "device" directory is the
            USB device directory (1 = its parent, as for a UVC interface;
            0 = the device link points at the USB device itself).
        id_vendor: False leaves "idVendor" out of the USB device directory.
        hub_product: the "product" of the root hub above it (it also has "idVendor").
        sysfs_fault: "device", "idVendor" or "product" makes that entry fail
            its stat with EACCES even for root; "product-read" makes the
            product file open but fail to read with EIO.
        node_kw: passed to add_node for the capture node.
        """
        self._buses += 1
        bus = self._buses
        hub = f"/sys/devices/pci0000:00/0000:00:14.0/usb{bus}"
        usb = f"{hub}/{bus}-1"
        os.makedirs(usb)
        _write(f"{hub}/idVendor", "1d6b\n")
        _write(f"{hub}/product", hub_product + ("\n" if isinstance(hub_product, str) else b""))
        if id_vendor:
            _write(f"{usb}/idVendor", "abcd\n")
        if product is not None:
            _write(f"{usb}/product", product + "\n" if isinstance(product, str) else product)
        device_dir = usb
        for depth in range(1, usb_ancestor):
            device_dir += f"/{bus}-1.{depth}"
        if usb_ancestor > 0:
            device_dir += f"/{bus}-1:1.0"
        os.makedirs(device_dir, exist_ok=True)

        card = product.strip()[:31] if isinstance(product, str) else "Emulated camera"
        node = self.add_node(index, card=node_kw.pop("card", card), **node_kw)
        self._link_class(node, device_dir)
        meta = None
        if metadata:
            meta = self.add_node(node.index + 1, card=card, device_caps=META_DEVICE_CAPS)
            self._link_class(meta, device_dir)

        if sysfs_fault in ("idVendor", "product"):
            _replace_with_link(f"{usb}/{sysfs_fault}", f"{EACCES_DIR}/{sysfs_fault}")
        elif sysfs_fault == "product-read":
            _replace_with_link(f"{usb}/product", EIO_FILE)
        elif sysfs_fault == "device":
            for n in (node, meta):
                if n is not None:
                    _replace_with_link(f"/sys/class/video4linux/{n.name}/device", f"{EACCES_DIR}/device")
        elif sysfs_fault is not None:
            raise ValueError(f"unknown sysfs_fault {sysfs_fault!r}")
        return Camera(node, meta, usb, device_dir)

    def add_other_device(self, index: Optional[int] = None, *, sysfs: bool = True, **node_kw) -> Node:
        """A capture node that is not on USB: a PCI device in sysfs (or, with
        sysfs=False, no sysfs entry at all)."""
        node = self.add_node(index, driver="emulated-pci", card="PCI capture card", **node_kw)
        if sysfs:
            pci = f"/sys/devices/pci0000:00/0000:00:1f.{node.index}"
            os.makedirs(pci)
            _write(f"{pci}/vendor", "0x8086\n")
            self._link_class(node, pci)
        return node


def _write(path: str, content: Text) -> None:
    with open(path, "wb") as f:
        f.write(content.encode() if isinstance(content, str) else content)


def _replace_with_link(path: str, target: str) -> None:
    if os.path.lexists(path):
        os.unlink(path)
    os.symlink(target, path)


def open_fds() -> dict[int, str]:
    """This process's open descriptors: fd -> what /proc/self/fd says it is."""
    out = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            out[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor listdir itself used
    return out


def build_server() -> Path:
    """Compile the FUSE server once (again when its source changes)."""
    if SERVER_BINARY.exists() and SERVER_BINARY.stat().st_mtime >= SERVER_SOURCE.stat().st_mtime:
        return SERVER_BINARY
    if shutil.which("g++") is None or shutil.which("pkg-config") is None:
        raise Unavailable("cannot build the FUSE server: g++ and pkg-config are needed")
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "fuse3"], capture_output=True, text=True)
    if flags.returncode != 0:
        raise Unavailable("cannot build the FUSE server: libfuse3 development files are missing (libfuse3-dev)")
    SERVER_BINARY.parent.mkdir(exist_ok=True)
    tmp = SERVER_BINARY.with_name(f"v4l2emu.{os.getpid()}.tmp")
    cmd = ["g++", "-std=c++17", "-O2", "-Wall", "-o", str(tmp), str(SERVER_SOURCE), *flags.stdout.split()]
    result = subprocess.run(cmd, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"the FUSE server does not compile:\n{result.stderr}")
    os.replace(tmp, SERVER_BINARY)  # atomic: concurrent sessions may build it too
    return SERVER_BINARY
