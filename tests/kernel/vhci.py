"""Plugging USB/IP cameras into the guest's virtual host controller.

What the ``usbip attach`` tool does, through sysfs: import the device over a
TCP connection (OP_REQ_IMPORT), then hand the connected socket to
``vhci_hcd`` with the port, device id and speed. The kernel then enumerates
the device on that port like any USB device; ``detach`` unplugs it.
"""

from __future__ import annotations

import glob
import os
import socket
import struct
import time
from typing import Optional

VHCI = "/sys/devices/platform/vhci_hcd.0"
USBIP_VERSION = 0x0111
OP_REQ_IMPORT, OP_REP_IMPORT = 0x8003, 0x0003


def _recv_exact(sock: socket.socket, n: int) -> bytes:
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise ConnectionError("USB/IP server closed the connection")
        buf += chunk
    return bytes(buf)


def ports() -> list[dict]:
    """The vhci ports as the status file lists them."""
    out = []
    for path in sorted(glob.glob(f"{VHCI}/status*")):
        with open(path) as f:
            lines = f.read().splitlines()[1:]
        for line in lines:
            hub, port, sta, spd, dev, sockfd, busid = line.split()[:7]
            out.append({"hub": hub, "port": int(port), "status": int(sta), "busid": busid})
    return out


def free_port() -> int:
    for p in ports():
        if p["hub"] == "hs" and p["status"] == 4:  # VDEV_ST_NULL
            return p["port"]
    raise RuntimeError("no free high-speed vhci port")


def attach(busid: str, host: str, port: int = 3240, vport: Optional[int] = None) -> int:
    """Import ``busid`` from the server and plug it in (at ``vport``, else the
    first free port); returns the vhci port."""
    sock = socket.create_connection((host, port), timeout=30)
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1)
        sock.sendall(struct.pack(">HHI", USBIP_VERSION, OP_REQ_IMPORT, 0) + busid.encode().ljust(32, b"\0"))
        _version, code, status = struct.unpack(">HHI", _recv_exact(sock, 8))
        if code != OP_REP_IMPORT or status != 0:
            raise RuntimeError(f"import of {busid} refused (status {status})")
        record = _recv_exact(sock, 312)
        busnum, devnum, speed = struct.unpack_from(">III", record, 288)
        sock.settimeout(None)
        if vport is None:
            vport = free_port()
        with open(f"{VHCI}/attach", "w") as f:
            f.write(f"{vport} {sock.fileno()} {(busnum << 16) | devnum} {speed}")
        return vport
    finally:
        sock.close()  # vhci_hcd holds its own reference to the socket


def detach(vport: int) -> None:
    with open(f"{VHCI}/detach", "w") as f:
        f.write(str(vport))


def video_nodes_of(vport: int) -> list[str]:
    """The /dev/videoN nodes of the device on a vhci port (sorted)."""
    nodes = []
    for entry in glob.glob("/sys/class/video4linux/video*"):
        try:
            real = os.path.realpath(os.path.join(entry, "device"))
        except OSError:  # the node went away while we looked (an unplug in progress)
            continue
        # the vhci root hub's port N (0-based) is USB port N + 1: ".../usbB/B-(N+1)/..."
        parts = real.split("/")
        if any(p.endswith(f"-{vport + 1}") and p.split("-")[0].isdigit() for p in parts):
            nodes.append("/dev/" + os.path.basename(entry))
    return sorted(nodes)


def wait_for(predicate, timeout: float = 30.0, interval: float = 0.05):
    """Poll ``predicate`` until it returns something truthy; returns it."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"gave up waiting after {timeout} s")
        time.sleep(interval)
