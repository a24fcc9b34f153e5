"""Camera plug events: the watcher's own behaviour here, the polling mode and
`vorn-camera list --watch` on the emulated nodes (in a network namespace that
kernel events do not reach), the kernel's events in tests/kernel/scenario_events.py."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
import threading
import time

import pytest

from harness import open_fds
from vorn_camera_sdk.platform import watch_cameras

def watch_line(kind: str, os_id: str, name: str, serial: str, as_json: bool):
    if as_json:
        return {"kind": kind, "os_id": os_id, "name": name, "serial": serial}
    return f"{kind:7}  {os_id}  {name}  serial={serial}"


def read_line(proc: subprocess.Popen, as_json: bool, timeout: float = 10.0):
    result: list = []
    reader = threading.Thread(target=lambda: result.append(proc.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    assert result and result[0], f"no line from the watcher in {timeout} s"
    return json.loads(result[0]) if as_json else result[0].rstrip("\n")


@pytest.mark.parametrize("as_json", [True, False], ids=["json", "text"])
def test_list_watch_in_a_namespace_without_kernel_events(emu, as_json):
    """`vorn-camera list --watch` in a fresh user and network namespace, as a
    rootless container has: the kernel's events do not reach it, so listings
    are compared."""
    emu.add_camera("VORN Petrin EF56GH78")
    command = [sys.executable, "-m", "vorn_camera_sdk", "list", "--watch", *(["--json"] if as_json else [])]
    try:
        proc = subprocess.Popen(["unshare", "--user", "--map-root-user", "--net", *command],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    except FileNotFoundError:
        pytest.skip("no unshare(1) to make a network namespace")
    try:
        first = proc.stdout.readline()
        if not first:
            pytest.skip(f"no user and network namespace here: {proc.stderr.read().strip()}")
        line = json.loads(first) if as_json else first.rstrip("\n")
        assert line == watch_line("present", "/dev/video0", "VORN Petrin", "EF56GH78", as_json)

        cam = emu.add_camera("VORN Talvex AB12CD34", metadata=True)
        webcam = emu.add_camera("Integrated Camera")
        assert read_line(proc, as_json) == watch_line("added", cam.path, "VORN Talvex", "AB12CD34", as_json)
        webcam.node.remove()
        cam.meta.remove()
        cam.node.remove()
        assert read_line(proc, as_json) == watch_line("removed", cam.path, "VORN Talvex", "AB12CD34", as_json)
        again = emu.add_camera("VORN Talvex AB12CD34", index=7)
        assert read_line(proc, as_json) == watch_line("added", again.path, "VORN Talvex", "AB12CD34", as_json)

        proc.send_signal(signal.SIGTERM if as_json else signal.SIGINT)  # either ends the watch
        assert proc.wait(10) == 0
        assert proc.stdout.read() == "" and proc.stderr.read() == ""
    finally:
        proc.kill()
        proc.wait()


def test_close_from_another_thread_ends_a_wait_at_once():
    before = open_fds()
    watcher = watch_cameras()
    assert watcher.mode == "uevent"  # the test process hears the kernel
    mine = {fd: target for fd, target in open_fds().items() if before.get(fd) != target}
    assert {"anon_inode", "socket"} <= {target.split(":")[0] for target in mine.values()}  # eventfd, uevent socket
    threading.Timer(0.2, watcher.close).start()
    started = time.monotonic()
    assert watcher.read(60) is None  # a close that did not end the wait would take the whole minute
    assert time.monotonic() - started < 30
    assert list(watcher) == []
    assert watcher.closed and watcher.read() is None and watcher.mode == "uevent"
    now = open_fds()
    assert not [fd for fd, target in mine.items() if now.get(fd) == target]


@pytest.mark.parametrize("timeout, read_timeout, seconds", [(0.2, 0.2, 0.2), (None, 0.0, 0.0)])
def test_timeout_ends_iteration_and_read(timeout, read_timeout, seconds):
    with watch_cameras(timeout=timeout) as watcher:
        started = time.monotonic()
        assert watcher.read(read_timeout) is None
        assert seconds <= time.monotonic() - started < seconds + 0.6  # not rounded up to whole seconds
        if timeout is not None:
            assert list(watcher) == []


def test_one_reader_at_a_time():
    def keep_reading():
        while not watcher.closed:
            try:
                watcher.read(10)
            except RuntimeError:
                pass  # this thread came second for once

    with watch_cameras() as watcher:
        reader = threading.Thread(target=keep_reading)
        reader.start()
        deadline = time.monotonic() + 5
        while True:  # until the other thread is inside its read
            try:
                watcher.read(0)
            except RuntimeError as exc:
                assert "another thread" in str(exc)
                break
            assert time.monotonic() < deadline
            time.sleep(0.01)
    reader.join(5)
    assert not reader.is_alive()


@pytest.mark.parametrize("bad", [-1.0, float("nan")])
def test_bad_timeouts(bad):
    with pytest.raises(ValueError, match="timeout"):
        watch_cameras(timeout=bad)
    with watch_cameras() as watcher, pytest.raises(ValueError, match="timeout"):
        watcher.read(bad)



# Floods its watcher's socket with the kernel's events of its own loopback
# device (events of a network namespace's devices reach that namespace only),
# then waits for a camera.
FLOOD = """
import subprocess, sys, tempfile
from vorn_camera_sdk.platform import watch_cameras
sysfs = tempfile.mkdtemp()
subprocess.run(["mount", "-t", "sysfs", "sysfs", sysfs], check=True)
watcher = watch_cameras()
assert watcher.mode == "uevent"
for _ in range(20000):
    with open(sysfs + "/class/net/lo/uevent", "w") as f:
        f.write("change")
print("flooded", flush=True)
event = watcher.read(10)
print(event and (event.kind, event.os_id), flush=True)
"""


def test_a_camera_whose_event_was_lost_in_a_burst_is_reported_once_it_settles(emu):
    """The burst overflows the socket, so the camera's own "add" is never
    read; it appears a moment after the overflow is noticed, as a node does
    while uvcvideo and udev settle."""
    try:
        proc = subprocess.Popen(["unshare", "--net", "--mount", sys.executable, "-c", FLOOD],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    except FileNotFoundError:
        pytest.skip("no unshare(1) to make a network namespace")
    try:
        first = proc.stdout.readline()
        if first != "flooded\n":
            pytest.skip(f"no network namespace with its own sysfs here: {proc.stderr.read().strip()}")
        time.sleep(0.3)  # the watcher has met the overflow and compared the listings once
        cam = emu.add_camera("VORN Talvex AB12CD34")
        assert proc.stdout.readline() == f"('added', '{cam.path}')\n"
        assert proc.wait(30) == 0
    finally:
        proc.kill()
        proc.wait()


def test_list_watch_on_a_terminal_says_it_is_watching(emu):
    import os
    import pty

    emu.add_camera("VORN Petrin EF56GH78")
    controller, terminal = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "vorn_camera_sdk", "list", "--watch"], stdout=terminal,
                            stderr=subprocess.PIPE, text=True)
    os.close(terminal)
    try:
        assert proc.stderr.readline() == "vorn-camera: watching for VORN cameras coming and going; Ctrl-C ends\n"
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
        assert os.read(controller, 4096).decode().splitlines()[0].split() == [
            "present", "/dev/video0", "VORN", "Petrin", "serial=EF56GH78"]
    finally:
        proc.kill()
        proc.wait()
        os.close(controller)
