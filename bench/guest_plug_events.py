"""The in-guest half of bench_plug_events.py: run by pytest inside the QEMU
guest with the cameras of tests/kernel (``kernel.rig``). Each measurement goes
to the console as one ``@@BENCH@@ {json}`` line."""

from __future__ import annotations

import json
import socket
import statistics
import sys
import threading
import time

from kernel import vhci
from kernel.rig import PETRIN, SERVER, TALVEX, module

CYCLES = 8


def report(name: str, values: list[float], **extra) -> None:
    line = {"name": name, "n": len(values), "median_ms": round(statistics.median(values) * 1000, 2),
            "max_ms": round(max(values) * 1000, 2), **extra}
    sys.__stdout__.write("\n@@BENCH@@ " + json.dumps(line) + "\n")
    sys.__stdout__.flush()


class KernelClock:
    """When this process first hears each video4linux uevent: a raw uevent
    socket read by a thread of its own, stamped on arrival."""

    def __init__(self) -> None:
        self.sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 15)  # NETLINK_KOBJECT_UEVENT
        self.sock.bind((0, 1))
        self.seen: dict[tuple[str, str], list[float]] = {}  # (action, "/dev/videoN") -> time.monotonic()s
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while True:
            try:
                data = self.sock.recv(8192)
            except OSError:
                return
            stamp = time.monotonic()
            fields = dict(f.split("=", 1) for f in data.decode(errors="replace").split("\0")[1:] if "=" in f)
            if fields.get("SUBSYSTEM") == "video4linux":
                self.seen.setdefault((fields["ACTION"], "/dev/" + fields["DEVNAME"]), []).append(stamp)

    def close(self) -> None:
        self.sock.close()


def test_event_latency(rig):
    events = module("vorn_camera_sdk.platform.events")
    rig.plug(TALVEX)
    if PETRIN["busid"] in rig.ports:
        rig.pull(PETRIN)
    clock = KernelClock()
    heard: list[tuple[float, object]] = []  # (time.monotonic(), CameraEvent), stamped by the reader

    def read_all(watcher) -> None:
        for event in watcher:
            heard.append((time.monotonic(), event))

    try:
        with events.watch_cameras() as watcher:
            reader = threading.Thread(target=read_all, args=(watcher,))
            reader.start()
            for _ in range(CYCLES):
                rig.plug(PETRIN)
                vhci.wait_for(lambda: len(heard) % 2 == 1, timeout=30)
                rig.pull(PETRIN)
                vhci.wait_for(lambda: len(heard) % 2 == 0, timeout=30)
            mode = watcher.mode
        reader.join()
    finally:
        clock.close()
    latency: dict[str, list[float]] = {"added": [], "removed": []}
    for stamp, event in heard:
        action = "add" if event.kind == "added" else "remove"
        latency[event.kind].append(stamp - clock.seen[action, event.os_id].pop(0))
    report("event latency, added", latency["added"], mode=mode)
    report("event latency, removed", latency["removed"], mode=mode)


def test_reconnect_time(rig, discovery):
    """From the camera re-appearing on the bus (the USB/IP import and attach)
    to (a) the driver's capture node (its "add" uevent) and (b) the first
    frame a CameraSource with ``reconnect`` delivers after the gap."""
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    talvex = module("vorn_camera_sdk.cameras.vorn_talvex").VORN_TALVEX
    mode = next(m for m in talvex.modes if (m.fourcc, m.width, m.height, m.fps) == ("YUYV", 640, 360, 30))
    rig.plug(TALVEX)
    record = discovery.get_connected_vorn_camera_by_serial(TALVEX["serial"])
    clock = KernelClock()
    arrivals: list[tuple[float, int]] = []  # (time.monotonic(), reconnects) per frame

    with camera_source.CameraSource(record, mode, reconnect=30) as source:
        def read_all() -> None:
            for _ in source:
                arrivals.append((time.monotonic(), source.reconnects))

        reader = threading.Thread(target=read_all)
        reader.start()
        vhci.wait_for(lambda: arrivals, timeout=30)
        enumeration, first_frame = [], []
        for cycle in range(CYCLES):
            rig.pull(TALVEX)
            clock.seen.clear()
            appeared = time.monotonic()
            node = rig.plug(TALVEX)[0]
            vhci.wait_for(lambda: arrivals[-1][1] == cycle + 1, timeout=30)
            enumeration.append(clock.seen[("add", node)][0] - appeared)
            first_frame.append(next(t for t, n in arrivals if n == cycle + 1) - appeared)
        source.close()
        reader.join()
    clock.close()
    report("driver enumeration (attach to node)", enumeration)
    report("reconnect (attach to first frame)", first_frame)
    report("reconnect beyond enumeration", [f - e for f, e in zip(first_frame, enumeration)])
