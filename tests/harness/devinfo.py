"""A local HTTPS device-info server for tests, and sample payloads.

The ``devinfo`` fixture is registered for every test by tests/conftest.py::

    from harness.devinfo import facts_payload

    def test_lookup(devinfo):
        devinfo.set("AB12CD34", facts_payload("AB12CD34"))
        ...                                 # code under test fetches over HTTPS
        assert devinfo.count("AB12CD34") == 1

The fixture starts a :class:`DeviceInfoServer` on 127.0.0.1 (a thread in the
test process, TLS with a test certificate authority from ``trustme``), makes
that authority trusted for the test through ``SSL_CERT_FILE``, and points
``vorn_camera_sdk.cameras.catalog_client._CAMERA_FACTS_URL`` at the server.
Serials without an answer get HTTP 404.

``DeviceInfoServer``:

- ``set(serial, payload=None, *, status=200, body=None, delay=0.0)``: what to
  answer for ``serial``. ``payload`` is sent as JSON; ``body`` (bytes) is sent
  as is instead; ``delay`` seconds pass before the answer is sent.
- ``requests``: one :class:`SeenRequest` (``path``, ``serial``, ``headers``
  in arrival order as (name, value) pairs, ``header(name)``) per request.
- ``count(serial=None)``: how many requests arrived (for one serial, or all).
- ``base_url``: ``https://127.0.0.1:<port>/api/public/camera-facts?serial_number=``.
- ``ca_file``: the PEM file of the test authority.

``calibration_block()``, ``facts_payload(serial, sku=None, ...)`` and
``registered_sku()`` build well-formed device-info answers.
"""

from __future__ import annotations

import atexit
import copy
import functools
import json
import os
import ssl
import tempfile
import threading
import urllib.parse
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Optional

import pytest

API_PATH = "/api/public/camera-facts"

_CALIBRATION = {
    "version": 3,
    "calibrated_at": "2026-05-04T10:22:31Z",
    "cameras": [
        {
            "role": "left", "width": 1280, "height": 720,
            "fx": 712.4, "fy": 712.9, "cx": 640.2, "cy": 361.7,
            "k1": -0.031, "k2": 0.012, "p1": 0.0004, "p2": -0.0002,
            "k3": 0.001, "k4": 0.0, "k5": 0.0, "k6": 0.0,
            "s1": 0.0, "s2": 0.0, "s3": 0.0, "s4": 0.0, "tauX": 0.0, "tauY": 0.0,
            "rotation": [[1, 0, 0], [0, 1, 0], [0, 0, 1]],
            "translation": [0, 0, 0],
        },
        {
            "role": "right", "width": 1280, "height": 720,
            "fx": 713.1, "fy": 713.0, "cx": 639.8, "cy": 360.9,
            "k1": -0.029, "k2": 0.011, "p1": 0.0003, "p2": -0.0001,
            "k3": 0.0009, "k4": 0.0, "k5": 0.0, "k6": 0.0,
            "s1": 0.0, "s2": 0.0, "s3": 0.0, "s4": 0.0, "tauX": 0.0, "tauY": 0.0,
            "rotation": [[0.99999, -0.0012, 0.0031], [0.0012, 0.99999, 0.0004], [-0.0031, -0.0004, 0.99999]],
            "translation": [-0.0601, 0.0002, 0.0004],
        },
    ],
}


def calibration_block() -> dict:
    """A fresh, well-formed "base_calibration" block (left and right camera)."""
    return copy.deepcopy(_CALIBRATION)


def registered_sku() -> str:
    """An SKU the catalog knows (the first Talvex SKU)."""
    from vorn_camera_sdk.cameras.vorn_talvex import VORN_TALVEX

    return VORN_TALVEX.skus[0]


def facts_payload(serial: str, sku: Optional[str] = None, model_name: str = "VORN Talvex Regular", **extra: Any) -> dict:
    """A device-info answer in SDK shape; ``sku`` defaults to a registered one."""
    payload = {
        "serial_number": serial,
        "sku": registered_sku() if sku is None else sku,
        "model_name": model_name,
        "base_calibration": calibration_block(),
    }
    payload.update(extra)
    return payload


@functools.cache
def _authority():
    import trustme

    ca = trustme.CA()
    server_cert = ca.issue_cert("127.0.0.1", "localhost")
    fd, ca_file = tempfile.mkstemp(prefix="vorn-test-ca-", suffix=".pem")
    os.close(fd)
    ca.cert_pem.write_to_path(ca_file)
    atexit.register(os.unlink, ca_file)
    return server_cert, ca_file


@dataclass
class SeenRequest:
    """One request as the server received it."""

    path: str
    serial: Optional[str]
    headers: list[tuple[str, str]] = field(default_factory=list)

    def header(self, name: str) -> Optional[str]:
        """The value of header ``name`` (case-insensitive), or None."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None


@dataclass
class _Answer:
    status: int
    body: bytes
    delay: float


class DeviceInfoServer:
    """An HTTPS device-info endpoint on 127.0.0.1 with answers set per serial."""

    def __init__(self) -> None:
        server_cert, self.ca_file = _authority()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server_cert.configure_cert(context)
        self._answers: dict[str, _Answer] = {}
        self._lock = threading.Lock()
        self._closing = threading.Event()
        self.requests: list[SeenRequest] = []

        owner = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self) -> None:
                owner._serve(self)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        class Server(ThreadingHTTPServer):
            daemon_threads = True

            def finish_request(self, request, client_address):
                # TLS handshake in the request's own thread, so a stalled
                # client never blocks the accept loop.
                try:
                    request = context.wrap_socket(request, server_side=True)
                except (OSError, ssl.SSLError):
                    return
                super().finish_request(request, client_address)

            def handle_error(self, request, client_address):
                pass  # clients that gave up (time-out tests) are expected

        self._server = Server(("127.0.0.1", 0), Handler)
        self.port = self._server.server_address[1]
        self.base_url = f"https://127.0.0.1:{self.port}{API_PATH}?serial_number="
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), name="devinfo-https", daemon=True)
        self._thread.start()

    def set(self, serial: str, payload: Any = None, *, status: int = 200, body: Optional[bytes] = None, delay: float = 0.0) -> None:
        """Answer requests for ``serial`` with ``payload`` as JSON (or raw ``body``)."""
        if body is None:
            body = json.dumps(payload).encode("utf-8")
        with self._lock:
            self._answers[serial] = _Answer(status, body, delay)

    def count(self, serial: Optional[str] = None) -> int:
        """Number of requests received, for ``serial`` or in all."""
        with self._lock:
            return sum(1 for r in self.requests if serial is None or r.serial == serial)

    def close(self) -> None:
        """Stop serving; answers still waiting out a delay are abandoned."""
        self._closing.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)

    def _serve(self, handler: BaseHTTPRequestHandler) -> None:
        path = handler.path
        head, _, query = path.partition("?")
        serial = None
        if head == API_PATH and query.startswith("serial_number="):
            serial = urllib.parse.unquote(query[len("serial_number="):], errors="strict")
        with self._lock:
            self.requests.append(SeenRequest(path, serial, list(handler.headers.items())))
            answer = self._answers.get(serial) if serial is not None else None
        if answer is None:
            answer = _Answer(404, b'{"detail": "unknown serial"}', 0.0)
        if answer.delay and self._closing.wait(answer.delay):
            return
        handler.send_response(answer.status)
        handler.send_header("Content-Type", "application/json")
        handler.send_header("Content-Length", str(len(answer.body)))
        handler.end_headers()
        handler.wfile.write(answer.body)


@pytest.fixture
def devinfo(monkeypatch):
    """A running :class:`DeviceInfoServer` that the device-info client talks to."""
    from vorn_camera_sdk.cameras import catalog_client

    server = DeviceInfoServer()
    monkeypatch.setenv("SSL_CERT_FILE", server.ca_file)
    monkeypatch.setenv("no_proxy", "127.0.0.1,localhost")
    monkeypatch.setattr(catalog_client, "_CAMERA_FACTS_URL", server.base_url)
    try:
        yield server
    finally:
        server.close()
