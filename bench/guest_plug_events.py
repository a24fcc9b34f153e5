"""The in-guest half of bench_plug_events.py: run by pytest inside the QEMU
guest with the cameras of tests/kernel (``kernel.rig``). Each measurement goes
to the console as one ``@@VORN-BENCH@@ {json}`` line."""

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
    sys.__stdout__.write("\n@@VORN-BENCH@@ " + json.dumps(line) + "\n")
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
