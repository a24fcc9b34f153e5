"""The viewer's web server: a camera or a recording as a local web page.

One pump thread reads the source's packets and publishes each frame once, as
JPEG, to a hub: MJPG packets as they came (never decoded), YUYV frames
JPEG-encoded once per frame. Every watching client has its own handler
thread that waits on the hub for a frame newer than the one it sent last,
so a slow client skips frames and a vanished one ends its own thread; the
camera and the other clients never wait for either.

The page, its script and style are files of this package, served from a
fixed table: nothing outside the app's own routes is served. On an address
other than loopback every request needs the viewer's random token (from the
URL, then from a cookie); requests naming a host other than the bound
address or localhost are refused, so a hostile DNS name that resolves to
this machine cannot reach the page; changes are POSTs of JSON from the
page's own origin.
"""

from __future__ import annotations

import collections
import hmac
import http.cookies
import io
import ipaddress
import json
import secrets
import signal
import socket
import threading
import time
import urllib.parse
import zipfile
from fractions import Fraction
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import TYPE_CHECKING, Any, Optional

from ..recording import PacketLike, format_mode, png_views, source_facts, source_mode
from ..sources.base import import_stream_modules

if TYPE_CHECKING:
    from ..cameras.camera_spec import CameraControl, CaptureMode
    from ..platform.base import CameraControls

BOUNDARY = "vornframe"
TOKEN_COOKIE = "vorn_viewer_token"
# A client that accepts nothing for this long is dropped.
CLIENT_TIMEOUT = 10.0

_STATIC = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/viewer.js": ("viewer.js", "text/javascript; charset=utf-8"),
    "/viewer.css": ("viewer.css", "text/css; charset=utf-8"),
}


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _outward_address(wildcard: str) -> str:
    # The source address of a route to a documentation address: a UDP
    # "connection" sends nothing. Loopback when there is no route.
    family, probe = (socket.AF_INET6, "2001:db8::1") if ":" in wildcard else (socket.AF_INET, "192.0.2.1")
    try:
        with socket.socket(family, socket.SOCK_DGRAM) as sock:
            sock.connect((probe, 9))
            return sock.getsockname()[0]
    except OSError:
        return "::1" if family == socket.AF_INET6 else "127.0.0.1"


# -- frames -----------------------------------------------------------------------------


class FrameHub:
    """The newest frame as JPEG, numbered, with the figures the overlay shows."""

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self.number = 0
        self.jpeg: Optional[bytes] = None
        self.packet: Optional[PacketLike] = None
        self.timestamp = 0.0
        self.engine_age: Optional[float] = None
        self.lost = 0
        self.ended = False
        self.closed = False
        self._times: collections.deque[float] = collections.deque(maxlen=64)

    def publish(self, jpeg: bytes, packet: PacketLike, engine_age: Optional[float]) -> None:
        """publish(jpeg: bytes, packet, engine_age: Optional[float]) -> None: a new newest frame."""
        with self._cond:
            self.number += 1
            self.jpeg, self.packet, self.timestamp = jpeg, packet, packet.timestamp
            self.engine_age = engine_age
            self.lost += packet.dropped
            self.ended = False
            self._times.append(time.monotonic())
            self._cond.notify_all()

    def wait_newer(self, number: int, timeout: float) -> Optional[tuple[int, bytes, float]]:
        """wait_newer(number: int, timeout: float) -> Optional[tuple[int, bytes, float]]

        The newest frame (number, JPEG, timestamp) once it is newer than
        ``number``; None on timeout or once the hub is closed.
        """
        with self._cond:
            self._cond.wait_for(lambda: self.closed or self.number > number, timeout)
            if self.closed or self.number <= number or self.jpeg is None:
                return None
            return self.number, self.jpeg, self.timestamp

    def fps(self) -> float:
        """fps() -> float: frames published per second over the last second or so."""
        with self._cond:
            now = time.monotonic()
            recent = [t for t in self._times if now - t <= 2.0]
        if len(recent) < 2:
            return 0.0
        return (len(recent) - 1) / (recent[-1] - recent[0]) if recent[-1] > recent[0] else 0.0

    def close(self) -> None:
        """close() -> None: wake every waiting client for good."""
        with self._cond:
            self.closed = True
            self._cond.notify_all()


class _JpegMaker:
    """JPEG of one packet: MJPG as it is, YUYV encoded once."""

    def __init__(self, mode: "CaptureMode") -> None:
        self.mode = mode
        self._encoder: Any = None

    def __call__(self, packet: PacketLike) -> bytes:
        if self.mode.fourcc == "MJPG":
            return packet.data
        av, np = import_stream_modules()
        if self._encoder is None:
            self._encoder = av.CodecContext.create("mjpeg", "w")
            self._encoder.width, self._encoder.height = self.mode.width, self.mode.height
            self._encoder.pix_fmt, self._encoder.time_base = "yuvj422p", Fraction(1, 1000)
            self._encoder.options = {"q": "4"}
        pixels = np.frombuffer(packet.data, np.uint8).reshape(self.mode.height, self.mode.width, 2)
        picture = av.VideoFrame.from_ndarray(pixels, format="yuyv422").reformat(format="yuvj422p")
        return b"".join(bytes(p) for p in self._encoder.encode(picture))


class _Pump(threading.Thread):
    """Reads the source and publishes every frame (live) or plays it back in time (recording)."""

    def __init__(self, viewer: "Viewer") -> None:
        super().__init__(name="vorn-viewer-pump", daemon=True)
        self.viewer = viewer
        self.error: Optional[BaseException] = None
        self._cond = threading.Condition()
        self.paused = False
        self._restart = False
        self._stopping = False

    def run(self) -> None:
        try:
            if self.viewer.recording:
                self._play()
            else:
                self._live()
        except BaseException as exc:  # shown on the page and by the tool
            if not self._stopping:
                self.error = exc
        finally:
            self.viewer.hub.ended = True

    def _live(self) -> None:
        hub, jpeg_of = self.viewer.hub, _JpegMaker(self.viewer.mode)
        for packet in self.viewer.source.packets():
            age = max(0.0, time.monotonic() - packet.timestamp)
            hub.publish(jpeg_of(packet), packet, age)
            if self._stopping:
                return

    def _play(self) -> None:
        from ..sources.mkv_source import MkvSource

        hub, jpeg_of = self.viewer.hub, _JpegMaker(self.viewer.mode)
        source = self.viewer.source
        while not self._stopping:
            start: Optional[tuple[float, float]] = None  # (wall clock, stream time) of the first frame
            for packet in source.packets():
                if start is None:
                    start = (time.monotonic(), packet.timestamp)
                start = self._wait_until(start, packet.timestamp)
                if start is None:
                    break
                hub.publish(jpeg_of(packet), packet, None)
            with self._cond:
                if not self._restart:
                    hub.ended = True
                    self._cond.wait_for(lambda: self._restart or self._stopping)
                self._restart = False
            if self._stopping:
                return
            source.close()
            source = MkvSource(source.path)
            self.viewer.source = source
            hub.lost = 0

    def _wait_until(self, start: tuple[float, float], stamp: float) -> Optional[tuple[float, float]]:
        # Waits for the frame's time, holding still while paused (the clock
        # is moved on by the pause); None when a restart or stop cuts in.
        wall, origin = start
        with self._cond:
            while True:
                if self._restart or self._stopping:
                    return None
                if self.paused:
                    paused_at = time.monotonic()
                    self._cond.wait_for(lambda: not self.paused or self._restart or self._stopping)
                    wall += time.monotonic() - paused_at
                    continue
                delay = wall + (stamp - origin) - time.monotonic()
                if delay <= 0:
                    return wall, origin
                self._cond.wait(delay)

    def command(self, action: str) -> None:
        with self._cond:
            if action == "pause":
                self.paused = True
            elif action == "play":
                self.paused = False
            elif action == "restart":
                self._restart = True
            self._cond.notify_all()

    def stop(self) -> None:
        with self._cond:
            self._stopping = True
            self._cond.notify_all()


# -- the camera's facts and controls ------------------------------------------------------


def describe_source(source: Any, mode: "CaptureMode") -> dict[str, Any]:
    """describe_source(source, mode: CaptureMode) -> dict

    What the page shows about the camera: serial, model name, SKU, capture
    mode and the calibration a depth user needs (per view fx, fy, cx, cy and
    image size; baseline in mm).
    """
    from ..calibration import Calibration

    facts = source_facts(source) or {}
    out: dict[str, Any] = {
        "serial": facts.get("serial_number", ""),
        "model_name": facts.get("model_name", ""),
        "sku": facts.get("sku", ""),
        "mode": format_mode(mode),
        "stereo": bool(mode.stereo),
        "views": [],
        "baseline_mm": None,
    }
    block = facts.get("base_calibration")
    if block:
        try:
            calibration = Calibration.from_dict(block)
        except (KeyError, TypeError, ValueError):
            return out
        out["views"] = [
            {"role": c.role, "fx": c.fx, "fy": c.fy, "cx": c.cx, "cy": c.cy, "width": c.width, "height": c.height}
            for c in (calibration.left, calibration.right)
        ]
        out["baseline_mm"] = calibration.baseline * 1000.0
    return out


def control_record(control: "CameraControl") -> dict[str, Any]:
    """control_record(control: CameraControl) -> dict: a catalog control as the page builds it."""
    return {
        "name": control.name,
        "label": control.label,
        "kind": control.kind,
        "min": control.min,
        "max": control.max,
        "step": control.step,
        "default": control.default,
        "unit": control.unit,
        "options": [[value, label] for value, label in control.enum_values],
        "auto_companion": control.auto_companion,
    }


def _auto_on(companion: "CameraControl", value: Optional[float]) -> bool:
    # An automatic companion is on unless it holds its manual value: 0 for a
    # switch, the menu entry labelled "Manual" (else the minimum) for a menu.
    if value is None:
        return False
    if companion.kind == "boolean":
        return value != 0
    manual = next((v for v, label in companion.enum_values if label.lower() == "manual"), companion.min)
    return value != manual


class ControlPanel:
    """The camera's catalog controls over its control handle, as the page needs them."""

    def __init__(self, controls: "CameraControls", catalog: tuple["CameraControl", ...]) -> None:
        self.controls = controls
        self.catalog = {c.name: c for c in catalog}
        self._lock = threading.Lock()

    def state(self) -> dict[str, Any]:
        """state() -> dict: every control's device value and whether it is held by its automatic companion."""
        with self._lock:
            values = {name: self.controls.get(name) for name in self.catalog}
        disabled = {}
        for name, control in self.catalog.items():
            companion = self.catalog.get(control.auto_companion or "")
            disabled[name] = companion is not None and _auto_on(companion, values.get(companion.name))
        shown = {name: (None if v is None else int(v) if float(v).is_integer() else v) for name, v in values.items()}
        return {"values": shown, "disabled": disabled}

    def set(self, name: str, value: float) -> dict[str, Any]:
        """set(name: str, value: float) -> dict: write one control, then the state read back."""
        if name not in self.catalog:
            raise KeyError(name)
        with self._lock:
            ok = self.controls.set(name, value)
        return {"ok": ok, **self.state()}

    def reset(self) -> dict[str, Any]:
        """reset() -> dict

        Every control back to its catalog default: automatic companions to
        manual first (so the controls they hold can be written), then the
        others, then the companions to their own defaults.
        """
        companions = {c.auto_companion for c in self.catalog.values() if c.auto_companion}
        refused = []
        with self._lock:
            for name in companions:
                control = self.catalog[name]
                manual = 0 if control.kind == "boolean" else next(
                    (v for v, label in control.enum_values if label.lower() == "manual"), control.min)
                self.controls.set(name, manual)
            for name, control in self.catalog.items():
                if name not in companions and not self.controls.set(name, control.default):
                    refused.append(name)
            for name in companions:
                if not self.controls.set(name, self.catalog[name].default):
                    refused.append(name)
        return {"ok": not refused, "refused": refused, **self.state()}


# -- HTTP ---------------------------------------------------------------------------------


class _Refused(Exception):
    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status = status


class _Handler(BaseHTTPRequestHandler):
    server: "_Server"
    protocol_version = "HTTP/1.1"
    server_version = "vorn-viewer"

    def log_message(self, format: str, *args: Any) -> None:
        pass

    # Every method goes through the same checks, so an unknown one is refused
    # the same way as an unknown route.
    def do_GET(self) -> None:
        self._dispatch("GET")

    def do_POST(self) -> None:
        self._dispatch("POST")

    def do_HEAD(self) -> None:
        self._dispatch("HEAD")

    def do_PUT(self) -> None:
        self._dispatch("PUT")

    def do_DELETE(self) -> None:
        self._dispatch("DELETE")

    def do_OPTIONS(self) -> None:
        self._dispatch("OPTIONS")

    def _dispatch(self, method: str) -> None:
        viewer = self.server.viewer
        url = urllib.parse.urlsplit(self.path)
        try:
            set_cookie = self._guard(viewer, url)
            routes = _GET_ROUTES if method == "GET" else _POST_ROUTES if method == "POST" else {}
            route = routes.get(url.path)
            if route is None:
                known = url.path in _GET_ROUTES or url.path in _POST_ROUTES
                raise _Refused(405 if known else 404, "method not allowed" if known else "no such page")
            if method == "POST":
                self._check_post()
            self._cookie = set_cookie
            route(self, viewer)
        except _Refused as refusal:
            self._send_json({"error": str(refusal)}, refusal.status)
        except (BrokenPipeError, ConnectionResetError, TimeoutError):
            self.close_connection = True

    def _guard(self, viewer: "Viewer", url: urllib.parse.SplitResult) -> Optional[str]:
        host = (self.headers.get("Host") or "").strip()
        name = urllib.parse.urlsplit(f"//{host}").hostname or ""
        if not viewer.host_allowed(name):
            raise _Refused(403, f"host {host!r} is not this viewer's address")
        if viewer.token is None:
            return None
        given = urllib.parse.parse_qs(url.query).get("token", [""])[0]
        if given and hmac.compare_digest(given, viewer.token):
            return viewer.token
        cookie = http.cookies.SimpleCookie(self.headers.get("Cookie") or "")
        morsel = cookie.get(TOKEN_COOKIE)
        if morsel is not None and hmac.compare_digest(morsel.value, viewer.token):
            return None
        raise _Refused(403, "this viewer needs its token: open the URL it printed")

    def _check_post(self) -> None:
        if (self.headers.get("Content-Type") or "").split(";")[0].strip() != "application/json":
            raise _Refused(415, "changes are JSON requests")
        origin = self.headers.get("Origin")
        if origin is not None and urllib.parse.urlsplit(origin).netloc != self.headers.get("Host"):
            raise _Refused(403, "changes come from the viewer's own page only")

    def _body(self) -> dict[str, Any]:
        length = int(self.headers.get("Content-Length") or 0)
        try:
            payload = json.loads(self.rfile.read(min(length, 65536)) or b"{}")
        except ValueError:
            raise _Refused(400, "the request body is not JSON") from None
        if not isinstance(payload, dict):
            raise _Refused(400, "the request body is not a JSON object")
        return payload

    def _headers(self, status: int, content_type: str, length: Optional[int] = None, **extra: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        for name, value in extra.items():
            self.send_header(name.replace("_", "-"), value)
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("X-Frame-Options", "DENY")
        if length is not None:
            self.send_header("Content-Length", str(length))
        cookie = getattr(self, "_cookie", None)
        if cookie:
            self.send_header("Set-Cookie", f"{TOKEN_COOKIE}={cookie}; Path=/; HttpOnly; SameSite=Strict")
        self.end_headers()

    def _send(self, body: bytes, content_type: str, status: int = 200) -> None:
        self._headers(status, content_type, len(body))
        self.wfile.write(body)

    def _send_json(self, payload: Any, status: int = 200) -> None:
        self._send(json.dumps(payload).encode(), "application/json", status)

    # -- routes

    def page(self, viewer: "Viewer") -> None:
        name, content_type = _STATIC[urllib.parse.urlsplit(self.path).path]
        self._send(resources.files(__package__).joinpath("static", name).read_bytes(), content_type)

    def stream(self, viewer: "Viewer") -> None:
        self.connection.settimeout(CLIENT_TIMEOUT)
        self.close_connection = True
        self._headers(200, f"multipart/x-mixed-replace; boundary={BOUNDARY}")
        sent = 0
        while not viewer.hub.closed:
            newest = viewer.hub.wait_newer(sent, 1.0)
            if newest is None:
                continue
            sent, jpeg, stamp = newest
            head = (
                f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(jpeg)}\r\n"
                f"X-Timestamp: {stamp:.6f}\r\n\r\n"
            ).encode()
            self.wfile.write(head + jpeg + b"\r\n")
            self.wfile.flush()

    def status(self, viewer: "Viewer") -> None:
        self._send_json(viewer.status())

    def info(self, viewer: "Viewer") -> None:
        self._send_json(viewer.info())

    def controls(self, viewer: "Viewer") -> None:
        self._send_json(self._panel(viewer).state())

    def set_control(self, viewer: "Viewer") -> None:
        payload = self._body()
        name, value = payload.get("name"), payload.get("value")
        if not isinstance(name, str) or isinstance(value, bool) or not isinstance(value, (int, float)):
            raise _Refused(400, "a control change is {\"name\": NAME, \"value\": NUMBER}")
        try:
            self._send_json(self._panel(viewer).set(name, value))
        except KeyError:
            raise _Refused(404, f"no control {name!r}") from None

    def reset_controls(self, viewer: "Viewer") -> None:
        self._send_json(self._panel(viewer).reset())

    def playback(self, viewer: "Viewer") -> None:
        action = self._body().get("action")
        if not viewer.recording or action not in ("pause", "play", "restart"):
            raise _Refused(400, "playback takes pause, play or restart, for a recording")
        viewer.pump.command(action)
        self._send_json(viewer.status())

    def snapshot(self, viewer: "Viewer") -> None:
        packet = viewer.hub.packet
        if packet is None:
            raise _Refused(503, "no frame yet")
        views = png_views(packet, viewer.mode)
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
            for name in ("left.png", "right.png", "frame.png"):
                if name in views:
                    archive.writestr(name, views[name])
        body = buffer.getvalue()
        self._headers(200, "application/zip", len(body), Content_Disposition='attachment; filename="snapshot.zip"')
        self.wfile.write(body)

    def _panel(self, viewer: "Viewer") -> ControlPanel:
        if viewer.panel is None:
            raise _Refused(404, "a recording has no controls")
        return viewer.panel


_GET_ROUTES = {
    "/": _Handler.page,
    "/viewer.js": _Handler.page,
    "/viewer.css": _Handler.page,
    "/stream.mjpg": _Handler.stream,
    "/status": _Handler.status,
    "/info": _Handler.info,
    "/controls": _Handler.controls,
    "/snapshot.zip": _Handler.snapshot,
}
_POST_ROUTES = {
    "/controls": _Handler.set_control,
    "/controls/reset": _Handler.reset_controls,
    "/playback": _Handler.playback,
}


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    viewer: "Viewer"


# -- the viewer ---------------------------------------------------------------------------


class Viewer:
    """A source served as a web page.

    ``Viewer(source)`` takes a live ``CameraSource`` (its packets with the
    newest-frame policy, its control handle for the panel) or an
    ``MkvSource`` recording (played in time, with pause and restart);
    ``controls`` gives the panel another control handle. ``bind`` defaults
    to loopback; any other address makes the viewer require ``token``
    (random unless given). ``port`` 0 picks a free port. ``start()`` serves
    in the background, ``close()`` stops serving and closes the source.
    """

    def __init__(self, source: Any, *, bind: str = "127.0.0.1", port: int = 0,
                 controls: Optional["CameraControls"] = None, token: Optional[str] = None) -> None:
        """__init__(source, *, bind: str = "127.0.0.1", port: int = 0, controls=None, token=None) -> None"""
        from ..sources.mkv_source import MkvSource

        self.source = source
        self.recording = isinstance(source, MkvSource)
        self.mode = source_mode(source)
        self.bind = bind
        self.token = None if _is_loopback(bind) else (token or secrets.token_urlsafe(24))
        if controls is None and not self.recording:
            controls = source.controls
        record = getattr(source, "record", None)
        catalog = record.spec.controls if record is not None else ()
        self.panel = ControlPanel(controls, catalog) if controls is not None and catalog else None
        self.hub = FrameHub()
        self.pump = _Pump(self)
        self._facts = describe_source(source, self.mode)
        self._server = _Server((bind, port), _Handler)
        self._server.viewer = self
        self.port = self._server.server_address[1]
        self._thread: Optional[threading.Thread] = None
        self._closed = False

    @property
    def url(self) -> str:
        """url -> str

        The page's address, with its token when one is needed. Bound to
        every interface, it names the address this machine reaches other
        machines from.
        """
        host = _outward_address(self.bind) if self.bind in ("0.0.0.0", "::") else self.bind
        host = f"[{host}]" if ":" in host else host
        suffix = f"?token={self.token}" if self.token else ""
        return f"http://{host}:{self.port}/{suffix}"

    def host_allowed(self, name: str) -> bool:
        """host_allowed(name: str) -> bool

        Whether a request's Host names this viewer: "localhost", the bound
        address, or any address literal when bound to every interface.
        Names other than localhost are refused.
        """
        name = name.strip("[]").lower()
        if name == "localhost" or name == self.bind:
            return True
        try:
            address = ipaddress.ip_address(name)
        except ValueError:
            return False
        bound = ipaddress.ip_address(self.bind) if self.bind != "localhost" else None
        if bound is None or bound.is_loopback:
            return address.is_loopback
        return bound.is_unspecified or address == bound

    def status(self) -> dict[str, Any]:
        """status() -> dict: the overlay's figures (fps, frame age, frames lost) and the playback state."""
        hub = self.hub
        age = None
        if not self.recording and hub.packet is not None:
            age = max(0.0, time.monotonic() - hub.timestamp) * 1000.0
        error = self.pump.error
        return {
            "frames": hub.number,
            "fps": round(hub.fps(), 2),
            "age_ms": None if age is None else round(age, 1),
            "engine_age_ms": None if hub.engine_age is None else round(hub.engine_age * 1000.0, 1),
            "lost": hub.lost,
            "time": round(hub.timestamp, 3) if hub.packet is not None else None,
            "paused": self.pump.paused,
            "ended": hub.ended,
            "error": None if error is None else str(error),
        }

    def info(self) -> dict[str, Any]:
        """info() -> dict: the camera's facts, the source kind and the control catalog."""
        return {
            "kind": "recording" if self.recording else "live",
            "camera": self._facts,
            "controls": [control_record(c) for c in self.panel.catalog.values()] if self.panel else [],
        }

    def start(self) -> "Viewer":
        """start() -> Viewer: start reading the source and serving in the background."""
        self.pump.start()
        self._thread = threading.Thread(target=self._server.serve_forever, name="vorn-viewer-http", daemon=True)
        self._thread.start()
        return self

    def close(self) -> None:
        """close() -> None: stop serving, end the clients' streams and close the source. Idempotent."""
        if self._closed:
            return
        self._closed = True
        self.pump.stop()
        self.hub.close()
        if self._thread is not None:
            self._server.shutdown()
        self._server.server_close()
        self.source.close()
        if self.pump.is_alive():
            self.pump.join(5.0)

    def __enter__(self) -> "Viewer":
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


def serve(source: Any, *, bind: str = "127.0.0.1", port: int = 0, announce: Any = print) -> None:
    """serve(source, *, bind: str = "127.0.0.1", port: int = 0, announce=print) -> None

    Serve ``source`` until SIGINT or SIGTERM, announcing the page's URL;
    the source (and the camera) is released before this returns.
    """
    stop = threading.Event()
    previous = {s: signal.signal(s, lambda *_: stop.set()) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        with Viewer(source, bind=bind, port=port) as viewer:
            announce(viewer.url)
            while not stop.wait(0.5):
                if not viewer.pump.is_alive() and viewer.pump.error is not None:
                    raise viewer.pump.error
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
