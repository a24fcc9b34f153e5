"""No descriptor and no memory is left behind by enumeration, control handles
and discovery, however their devices and answers fail.

Rounds grow tenfold with HYPOTHESIS_PROFILE=long.
"""

from __future__ import annotations

import errno
import gc
import http.client
import logging
import os
import socket
import sys
import threading

import pytest

from harness.devinfo import facts_payload
from harness import CID, open_fds
from vorn_camera_sdk.cameras import catalog_client
from vorn_camera_sdk.cameras.camera_facts import list_connected_vorn_cameras
from vorn_camera_sdk.platform.linux import LinuxBackend

SCALE = 10 if os.environ.get("HYPOTHESIS_PROFILE") == "long" else 1


class Budget:
    """Descriptors and interpreter memory blocks before and after a loop.

    A leak of one object per round shows as thousands of blocks; what a warm
    interpreter allocates once stays far below rounds // 4. `noise` allows for
    what threads of a test server in this process allocate meanwhile.
    """

    def __init__(self, rounds: int, noise: int = 0) -> None:
        self.limit = rounds // 4 + noise

    def __enter__(self) -> "Budget":
        gc.collect()
        self.fds = open_fds()
        self.blocks = sys.getallocatedblocks()  # 0 when pymalloc is off (sanitized run)
        return self

    def __exit__(self, *exc_info) -> None:
        if exc_info[0] is not None:
            return
        # No collection first: nothing may wait for the GC. Only descriptors
        # that are new count: one that an earlier test's object released
        # meanwhile is no leak of this loop.
        now = open_fds()
        assert {fd: target for fd, target in now.items() if self.fds.get(fd) != target} == {}
        gc.collect()
        assert sys.getallocatedblocks() - self.blocks < self.limit


@pytest.fixture
def failing_world(emu):
    """Two good cameras among nodes that fail at every step of enumeration."""
    emu.add_camera("VORN Talvex LEAK0001", metadata=True, controls={name: 3 for name in CID})  # video0, video1
    emu.add_node(open_errno=errno.EACCES)                      # 2
    emu.add_node(querycap_errno=errno.ENOTTY)                  # 3
    emu.add_camera("VORN Talvex LEAK0004", close_errno=errno.EIO)  # 4: skipped, close fails
    emu.add_camera(b"VORN Talvex \xff\n")                       # 5: undecodable product
    emu.add_camera("VORN Talvex LEAK0006", sysfs_fault="product-read")  # 6
    emu.add_camera("VORN Talvex LEAK0007")                     # 7
    return emu


def test_enumeration_rounds(failing_world):
    backend = LinuxBackend()
    expected = [("/dev/video0", "LEAK0001"), ("/dev/video7", "LEAK0007")]
    assert [(d.os_id, d.serial) for d in backend.list_cameras()] == expected
    rounds = 2_000 * SCALE
    with Budget(rounds):
        for _ in range(rounds):
            backend.list_cameras()
    assert [(d.os_id, d.serial) for d in backend.list_cameras()] == expected


@pytest.mark.parametrize("close_errno", [0, errno.EIO])
def test_control_handle_rounds(failing_world, close_errno):
    backend = LinuxBackend()
    failing_world.add_node(9, controls={"gain": 1}, close_errno=close_errno)
    rounds = 2_000 * SCALE
    with Budget(rounds):
        for i in range(rounds):
            controls = backend.open_controls("/dev/video9")
            assert controls.set("gain", i) is True and controls.get("gain") == float(i)
            assert controls.get("hue") is None and controls.set("focus", 1) is False
            controls.close()
        for _ in range(rounds // 10):
            with pytest.raises(PermissionError):
                backend.open_controls("/dev/video2")
            with pytest.raises(FileNotFoundError):
                backend.open_controls("/dev/video99")


def test_discovery_rounds_with_failing_answers(failing_world, devinfo):  # noqa: F811
    for serial in range(10, 15):  # LEAK0010 is unknown to the server: 404
        failing_world.add_camera(f"VORN Talvex LEAK00{serial}")
    devinfo.set("LEAK0001", facts_payload("LEAK0001"))
    devinfo.set("LEAK0007", status=500, payload={"detail": "down"})
    devinfo.set("LEAK0011", body=b'{"serial_number": "LEAK0011", ')
    devinfo.set("LEAK0012", body=b"\xff\xfe")
    devinfo.set("LEAK0013", facts_payload("LEAK0013", sku="STEREO-CAMERA-NOPE-V21"))
    devinfo.set("LEAK0014", facts_payload("LEAK0014", base_calibration={"version": 3}))

    logging.disable(logging.CRITICAL)
    try:
        assert [c.serial for c in list_connected_vorn_cameras()] == ["LEAK0001"]
        rounds = 50 * SCALE
        with Budget(rounds * 7, noise=1500):
            for _ in range(rounds):
                devinfo.requests.clear()  # the server's own record of them
                assert len(list_connected_vorn_cameras()) == 1
    finally:
        logging.disable(logging.NOTSET)
    assert devinfo.count() == 7


class HalfAnswer:
    """A plain-HTTP device-info server that starts an answer and never finishes
    it: it hangs up half-way (`hang_up`) or stalls until released."""

    def __init__(self, hang_up: bool) -> None:
        self.hang_up = hang_up
        self.release = threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @property
    def base_url(self) -> str:
        port = self.listener.getsockname()[1]
        return f"http://127.0.0.1:{port}/api/public/camera-facts?serial_number="

    def _serve(self) -> None:
        conn, _ = self.listener.accept()
        with conn:
            conn.recv(65536)
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                         b"Content-Length: 4096\r\n\r\n" + b'{"serial_number": "HALF0001", "sku": ')
            if not self.hang_up:
                self.release.wait(10)

    def close(self) -> None:
        self.release.set()
        self.thread.join(5)
        self.listener.close()


def sockets() -> int:
    return sum(target.startswith("socket:") for target in open_fds().values())


@pytest.mark.parametrize("hang_up, error", [(True, http.client.IncompleteRead), (False, TimeoutError)],
                         ids=["hang-up", "stall"])
def test_response_closed_when_reading_fails_half_way(monkeypatch, hang_up, error):
    server = HalfAnswer(hang_up)
    monkeypatch.setenv("no_proxy", "127.0.0.1")
    monkeypatch.setattr(catalog_client, "_CAMERA_FACTS_URL", server.base_url)
    try:
        before = sockets()  # the listener
        with pytest.raises(error):
            catalog_client.fetch_camera_facts_json("HALF0001", 0.5)
        # Our end is closed already; only the server's end of a stalled answer is left.
        assert sockets() == before + (0 if hang_up else 1)
    finally:
        server.close()
