"""The viewer's web server: a camera or a recording as a local web page.

The server is aiohttp on an event loop of its own thread: request parsing,
body limits, keep-alive and idle time-outs, cookies and connections are
aiohttp's; each open connection costs a small object, not a thread.

A live camera is read by one pump thread that publishes each frame once, as
JPEG, to the viewer's ``FrameHub`` (MJPG packets as they came, YUYV frames
encoded once per frame for every watcher). A recording is played by a
``Player`` per page, with its own position, pause, speed and loop. Every
stream client waits on its hub for a frame newer than the one it sent last,
so a slow client skips frames and stalls nobody.

Safety rules, for every request: the Host must name this viewer (no DNS
rebinding); cross-site requests are refused (``Sec-Fetch-Site``), except a
top-level navigation to the page; off loopback the viewer's random token is
needed (from the URL, then from an HttpOnly, SameSite=Strict cookie named
after the port); only the app's routes are served; changes are POSTs of
JSON from the page's own origin, within a body cap; control values are
checked against the catalog before they reach the camera. Malformed input
is a 400, an unexpected error a 500 with one log line.
"""

from __future__ import annotations

import asyncio
import hmac
import io
import ipaddress
import json
import logging
import math
import re
import secrets
import signal
import socket
import threading
import time
import zipfile
from importlib import resources
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Optional

from ..recording import format_mode, png_views, source_facts, source_mode
from .frames import DEFAULT_VIEW, FrameHub, LivePump, available_views
from .playback import SPEEDS, Player, valid_seek

try:
    from aiohttp import web
except ImportError as _missing:
    raise ImportError(f"the viewer needs aiohttp ({_missing.name} is missing): "
                      "pip install 'vorn-camera-sdk[stream]'", name=_missing.name) from _missing

if TYPE_CHECKING:
    from ..cameras.camera_spec import CameraControl, CaptureMode
    from ..platform.base import CameraControls

LOG = logging.getLogger("vorn_camera_sdk.viewer")

BOUNDARY = "vornframe"
# Connections past this many are answered 503 and closed.
MAX_CONNECTIONS = 512
# A connection that sends no complete request for this long is closed.
IDLE_TIMEOUT = 10.0
# A stream client that takes nothing, or a body that does not arrive, for this long is dropped.
CLIENT_TIMEOUT = 10.0
# The largest request body (the page sends a few dozen bytes).
BODY_LIMIT = 64 * 1024
# Pages playing a recording at once, and how long a page's player outlives its last sign of life.
MAX_PLAYERS = 32
PLAYER_IDLE = 30.0
# A live camera that sent nothing for this long (or five frame times) is shown as away.
QUIET_AFTER = 1.0
# How long ``serve`` waits for an unplugged camera to come back.
RECONNECT_WAIT = 24 * 3600.0

_STATIC = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/viewer.js": ("viewer.js", "text/javascript; charset=utf-8"),
    "/viewer.css": ("viewer.css", "text/css; charset=utf-8"),
    "/favicon.svg": ("favicon.svg", "image/svg+xml"),
}
_SECURITY_HEADERS = {
    "Cache-Control": "no-store",
    "X-Content-Type-Options": "nosniff",
    "X-Frame-Options": "DENY",
    "Referrer-Policy": "no-referrer",
    "Content-Security-Policy": "default-src 'self'; img-src 'self' blob:; frame-ancestors 'none'; base-uri 'none'",
}
_HOST = re.compile(r"(?:\[(?P<v6>[0-9A-Fa-f:.]+)\]|(?P<name>[A-Za-z0-9.-]+))(?::[0-9]{1,5})?\Z")
_TOKEN = re.compile(r"[A-Za-z0-9_-]{1,128}\Z")
_PLAYER = re.compile(r"p[0-9]{1,12}\Z")
# Set on a request that brought the right token: its answer sets the cookie.
_SET_TOKEN = web.RequestKey("set_token", bool)


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


def _listener(bind: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in bind else socket.AF_INET
    dual = bind == "::" and socket.has_dualstack_ipv6()
    try:
        sock = socket.create_server((bind, port), family=family, backlog=1024, dualstack_ipv6=dual)
    except socket.gaierror as exc:
        raise OSError(f"cannot listen on {bind!r}: {exc.strerror}") from None
    sock.setblocking(False)
    return sock


# -- the camera's facts and controls ------------------------------------------------------


def describe_source(source: Any, mode: "CaptureMode") -> dict[str, Any]:
    """describe_source(source, mode: CaptureMode) -> dict

    What the page shows about the camera: serial, model name, SKU, capture
    mode and the calibration a depth user needs (per view fx, fy, cx, cy and
    image size scaled to the mode, the distortion and the pose; baseline in
    mm).
    """
    from ..calibration import Calibration
    from ..depth import mode_calibration

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
        out["views"] = mode_calibration(calibration, mode)
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


def _manual_value(companion: "CameraControl") -> int:
    # An automatic companion's manual setting: 0 for a switch, the menu
    # entry labelled "Manual" (else the minimum) for a menu.
    if companion.kind == "boolean":
        return 0
    return next((v for v, label in companion.enum_values if label.lower() == "manual"), companion.min)


def _auto_on(companion: "CameraControl", value: Optional[float]) -> bool:
    return value is not None and value != _manual_value(companion)


def checked_value(control: "CameraControl", value: Any) -> int:
    """checked_value(control: CameraControl, value) -> int

    ``value`` as the device takes it: a finite whole number within the
    control's range (one of its entries for a menu, 0 or 1 for a switch).
    Anything else raises ValueError saying what the control takes.
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{control.name} takes a number")
    if value != int(value):
        raise ValueError(f"{control.name} takes a whole number")
    number = int(value)
    if control.enum_values:
        if number not in [v for v, _ in control.enum_values]:
            raise ValueError(f"{control.name} takes one of {[v for v, _ in control.enum_values]}")
    elif not control.min <= number <= control.max:
        raise ValueError(f"{control.name} takes {control.min}..{control.max}")
    return number


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

    def set(self, name: str, value: Any) -> dict[str, Any]:
        """set(name: str, value) -> dict

        Write one control, then the state read back. An unknown name raises
        KeyError; a value the catalog does not allow raises ValueError and
        nothing reaches the camera.
        """
        control = self.catalog[name]
        number = checked_value(control, value)
        with self._lock:
            ok = self.controls.set(name, number)
        return {"ok": ok, **self.state()}

    def reset(self) -> dict[str, Any]:
        """reset() -> dict

        Every control back to its catalog default: automatic companions to
        manual first (so the controls they hold can be written), then the
        others, then the companions to their own defaults.
        """
        companions = [name for name in dict.fromkeys(c.auto_companion for c in self.catalog.values())
                      if name and name in self.catalog]
        refused = []
        with self._lock:
            for name in companions:
                self.controls.set(name, _manual_value(self.catalog[name]))
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


class _OneLine(logging.Filter):
    """aiohttp's own error reports: a request it could not parse is the
    client's fault and not logged; anything else is one line, no traceback."""

    def filter(self, record: logging.LogRecord) -> bool:
        from aiohttp.http_exceptions import HttpProcessingError

        exc = record.exc_info[1] if record.exc_info else None
        if isinstance(exc, (HttpProcessingError, ConnectionError, asyncio.CancelledError)):
            return False
        if exc is not None:
            record.msg, record.args = f"{record.getMessage()}: {type(exc).__name__}: {exc}", ()
            record.exc_info = record.exc_text = None
        record.stack_info = None
        return True


_HTTP_LOG = logging.getLogger("vorn_camera_sdk.viewer.http")
_HTTP_LOG.addFilter(_OneLine())


class _Busy(asyncio.Protocol):
    """A connection past the cap: answered 503 and closed."""

    _ANSWER = json.dumps({"error": "the viewer has too many connections; try again"}).encode()

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        transport.write(b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                        b"Retry-After: 1\r\nConnection: close\r\nContent-Length: %d\r\n\r\n%s"
                        % (len(self._ANSWER), self._ANSWER))
        # Closed a little later, so the request's bytes are read and the
        # client sees the answer rather than a reset.
        asyncio.get_running_loop().call_later(0.5, transport.close)

    def data_received(self, data: bytes) -> None:
        pass


class _Counted(asyncio.Protocol):
    """An aiohttp connection, counted from the moment it is accepted until it is lost."""

    def __init__(self, inner: asyncio.Protocol, gate: "_Gate") -> None:
        self.inner, self.gate = inner, gate
        gate.open += 1

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.inner.connection_made(transport)

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.gate.open -= 1
        self.inner.connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        self.inner.data_received(data)

    def eof_received(self) -> Optional[bool]:
        return self.inner.eof_received()

    def pause_writing(self) -> None:
        self.inner.pause_writing()

    def resume_writing(self) -> None:
        self.inner.resume_writing()


class _Gate:
    def __init__(self, cap: int) -> None:
        self.cap, self.open = cap, 0


Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]


class _App:
    """The viewer's routes and checks, on aiohttp."""

    def __init__(self, viewer: "Viewer") -> None:
        self.viewer = viewer
        self.cookie = f"vorn_viewer_{viewer.port}"

    def build(self) -> web.Application:
        app = web.Application(client_max_size=BODY_LIMIT, middlewares=[self._guard])
        get = {
            "/": self.page, "/viewer.js": self.page, "/viewer.css": self.page, "/favicon.svg": self.page,
            "/stream.mjpg": self.stream, "/status": self.status, "/info": self.info,
            "/controls": self.controls, "/snapshot.zip": self.snapshot, "/depth": self.depth,
        }
        post = {"/controls": self.set_control, "/controls/reset": self.reset_controls,
                "/playback": self.playback, "/players": self.new_player}
        for path, handler in get.items():
            app.router.add_get(path, handler, allow_head=False)
        for path, handler in post.items():
            app.router.add_post(path, handler)
        app.on_response_prepare.append(self._headers)
        return app

    # -- every request

    def _error(self, status: int, reason: str) -> web.Response:
        response = web.json_response({"error": reason}, status=status)
        if status in (400, 408, 413):
            response.force_close()  # what follows a bad request is not to be trusted as a request
        return response

    @property
    def _guard(self) -> Any:
        @web.middleware
        async def guard(request: web.Request, handler: Handler) -> web.StreamResponse:
            try:
                self._check(request)
                return await handler(request)
            except _Refused as refusal:
                return self._error(refusal.status, str(refusal))
            except web.HTTPException as exc:  # aiohttp's: 404, 405, 413
                return self._error(exc.status, exc.reason.lower())
            except (asyncio.CancelledError, ConnectionError):
                raise
            except Exception as exc:
                LOG.error("viewer: %s %s failed: %s: %s", request.method, request.path, type(exc).__name__, exc)
                return self._error(500, "the viewer failed on this request; see its log")

        return guard

    def _check(self, request: web.Request) -> None:
        viewer = self.viewer
        hosts = request.headers.getall("Host", [])
        match = _HOST.match(hosts[0]) if len(hosts) == 1 else None
        if match is None:
            raise _Refused(400, "the request needs one well-formed Host")
        name = match.group("name")
        if match.group("v6") is not None:
            try:
                name = str(ipaddress.IPv6Address(match.group("v6")))
            except ValueError:
                raise _Refused(400, "the Host's address is malformed") from None
        if not viewer.host_allowed(name or ""):
            raise _Refused(403, f"host {hosts[0]!r} is not this viewer's address")
        site = request.headers.get("Sec-Fetch-Site", "").lower()
        if site in ("cross-site", "same-site") and not (
                request.method == "GET" and request.path == "/"
                and request.headers.get("Sec-Fetch-Mode", "").lower() == "navigate"
                and request.headers.get("Sec-Fetch-Dest", "document").lower() == "document"):
            raise _Refused(403, "the viewer answers its own page only")
        if viewer.token is not None:
            given = request.rel_url.query.get("token")
            if given is not None:
                if not _TOKEN.match(given):
                    raise _Refused(400, "the token is malformed")
                if not hmac.compare_digest(given.encode(), viewer.token.encode()):
                    raise _Refused(403, "wrong token: open the URL the viewer printed")
                request[_SET_TOKEN] = True
            else:
                kept = request.cookies.get(self.cookie, "")
                if not (_TOKEN.match(kept) and hmac.compare_digest(kept.encode(), viewer.token.encode())):
                    raise _Refused(403, "this viewer needs its token: open the URL it printed")
        if request.method == "POST":
            if request.content_type != "application/json":
                raise _Refused(415, "changes are JSON requests")
            origin = request.headers.get("Origin")
            if origin is not None and origin != f"http://{hosts[0]}":
                raise _Refused(403, "changes come from the viewer's own page only")

    async def _headers(self, request: web.Request, response: web.StreamResponse) -> None:
        response.headers.update(_SECURITY_HEADERS)
        if request.get(_SET_TOKEN) and self.viewer.token is not None:
            # Added as a header: the response's own cookies are already written out by now.
            response.headers.add("Set-Cookie", f"{self.cookie}={self.viewer.token}; Path=/; HttpOnly; SameSite=Strict")

    async def _body(self, request: web.Request) -> dict[str, Any]:
        try:
            async with asyncio.timeout(CLIENT_TIMEOUT):
                raw = await request.read()
        except TimeoutError:
            raise _Refused(408, "the request body did not arrive in time") from None
        try:
            payload = json.loads(raw or b"{}")
        except (ValueError, RecursionError):
            raise _Refused(400, "the request body is not JSON") from None
        if not isinstance(payload, dict):
            raise _Refused(400, "the request body is not a JSON object")
        return payload

    def _player(self, request: web.Request, ident: Any) -> Player:
        if not isinstance(ident, str) or not _PLAYER.match(ident):
            raise _Refused(400, "which page's playback: a player id from POST /players")
        player = self.viewer.players.get(ident)
        if player is None:
            raise _Refused(404, "no such player (it ended): reload the page")
        player.last_seen = time.monotonic()
        return player

    # -- routes

    async def page(self, request: web.Request) -> web.StreamResponse:
        """GET /, /viewer.js, /viewer.css, /favicon.svg: the page's own files."""
        name, content_type = _STATIC[request.path]
        body = resources.files(__package__).joinpath("static", name).read_bytes()
        return web.Response(body=body, headers={"Content-Type": content_type})

    async def stream(self, request: web.Request) -> web.StreamResponse:
        """GET /stream.mjpg[?player=ID][&view=NAME]: the picture as a multipart JPEG stream."""
        viewer = self.viewer
        view = request.rel_url.query.get("view", DEFAULT_VIEW)
        views = viewer.views()
        if view not in views:
            raise _Refused(400, f"no view {view!r}; the views are {', '.join(views)}")
        ident = request.rel_url.query.get("player")
        own: Optional[Player] = None
        player: Optional[Player] = None
        if viewer.recording:
            if ident is None:  # a client of its own, not a page: it gets a playback of its own
                player = own = await viewer.new_player()
                if player is None:
                    raise _Refused(503, "too many pages are playing this recording")
            else:
                player = self._player(request, ident)
            hub = player.hub
        else:
            assert viewer.hub is not None
            hub = viewer.hub
        try:
            response = web.StreamResponse(headers={"Content-Type": f"multipart/x-mixed-replace; boundary={BOUNDARY}"})
            response.force_close()
            await response.prepare(request)
            hub.watch(view, 1)
            if player is not None:
                player.watchers += 1
            try:
                if view != DEFAULT_VIEW:
                    await asyncio.get_running_loop().run_in_executor(None, hub.add_view, view)
                await self._frames(request, response, hub, view)
            finally:
                hub.watch(view, -1)
                if player is not None:
                    player.watchers -= 1
                    player.last_seen = time.monotonic()
            return response
        finally:
            if own is not None:
                viewer.drop_player(own)

    async def _frames(self, request: web.Request, response: web.StreamResponse, hub: FrameHub, view: str) -> None:
        sent = 0
        while not hub.closed and not self.viewer.closing:
            newest = await hub.next_frame(sent, view, 1.0)
            if newest is None:
                transport = request.transport
                if transport is None or transport.is_closing():
                    return  # left while no frames flowed
                continue
            sent, jpeg, stamp = newest
            # One multipart part per frame and view, made by its first client, sent as it is by the others.
            number, part = hub.parts.get(view, (0, b""))
            if number != sent:
                part = (f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(jpeg)}\r\n"
                        f"X-Timestamp: {stamp:.6f}\r\n\r\n").encode() + jpeg + b"\r\n"
                hub.parts[view] = (sent, part)
            try:
                async with asyncio.timeout(CLIENT_TIMEOUT):
                    await response.write(part)
            except TimeoutError:
                transport = request.transport
                if transport is not None:
                    transport.abort()  # took nothing for too long
                return
            except ConnectionError:  # the client left
                return

    async def status(self, request: web.Request) -> web.StreamResponse:
        """GET /status[?player=ID]: the overlay's figures, the camera's or the page's playback state."""
        ident = request.rel_url.query.get("player")
        if self.viewer.recording and ident is not None:
            return web.json_response(self._player(request, ident).status())
        return web.json_response(self.viewer.status())

    async def info(self, request: web.Request) -> web.StreamResponse:
        """GET /info: the camera's facts, the views and the control catalog."""
        return web.json_response(self.viewer.info())

    async def controls(self, request: web.Request) -> web.StreamResponse:
        """GET /controls: the controls' device values."""
        panel = self._panel()
        return web.json_response(await asyncio.get_running_loop().run_in_executor(None, panel.state))

    async def set_control(self, request: web.Request) -> web.StreamResponse:
        """POST /controls {"name", "value"}: one control written, checked against the catalog first."""
        payload = await self._body(request)
        panel = self._panel()
        name, value = payload.get("name"), payload.get("value")
        if not isinstance(name, str):
            raise _Refused(400, "a control change is {\"name\": NAME, \"value\": NUMBER}")
        if name not in panel.catalog:
            raise _Refused(404, f"no control {name!r}")
        try:
            checked_value(panel.catalog[name], value)
        except ValueError as exc:
            raise _Refused(400, str(exc)) from None
        state = await asyncio.get_running_loop().run_in_executor(None, panel.set, name, value)
        return web.json_response(state)

    async def reset_controls(self, request: web.Request) -> web.StreamResponse:
        """POST /controls/reset: every control back to its default."""
        await self._body(request)
        panel = self._panel()
        return web.json_response(await asyncio.get_running_loop().run_in_executor(None, panel.reset))

    async def new_player(self, request: web.Request) -> web.StreamResponse:
        """POST /players: a new page's own playback of the recording."""
        await self._body(request)
        if not self.viewer.recording:
            raise _Refused(400, "a live camera has no playback")
        player = await self.viewer.new_player()
        if player is None:
            raise _Refused(503, "too many pages are playing this recording")
        return web.json_response(player.status())

    async def playback(self, request: web.Request) -> web.StreamResponse:
        """POST /playback {"player", "action", "value"}: pause, play, restart, seek, step, speed, loop."""
        payload = await self._body(request)
        if not self.viewer.recording:
            raise _Refused(400, "a live camera has no playback")
        action, value = payload.get("action"), payload.get("value")
        if action in ("pause", "play", "restart"):
            value = None
        elif action == "seek":
            value = valid_seek(value)
            if value is None:
                raise _Refused(400, "seek takes a finite number of seconds")
        elif action == "step":
            if value not in (1, -1) or isinstance(value, bool):
                raise _Refused(400, "step takes 1 or -1")
        elif action == "speed":
            if isinstance(value, bool) or value not in SPEEDS:
                raise _Refused(400, f"speed takes one of {list(SPEEDS)}")
        elif action == "loop":
            if not isinstance(value, bool):
                raise _Refused(400, "loop takes true or false")
        else:
            raise _Refused(400, "playback takes pause, play, restart, seek, step, speed or loop")
        player = self._player(request, payload.get("player"))
        player.command(action, value)
        return web.json_response(player.status())

    async def depth(self, request: web.Request) -> web.StreamResponse:
        """GET /depth?x=X&y=Y[&player=ID]: the depth under a point of the depth view (fractions 0..1), its legend."""
        query = request.rel_url.query
        try:
            x, y = float(query.get("x", "")), float(query.get("y", ""))
        except ValueError:
            raise _Refused(400, "x and y are the point's fractions of the picture, 0..1") from None
        if self.viewer.recording:
            hub = self._player(request, query.get("player")).hub
        else:
            assert self.viewer.hub is not None
            hub = self.viewer.hub
        view = hub.encoder("depth")
        if view is None:
            raise _Refused(409, "no page shows the depth view")
        return web.json_response(view.reading(x, y))  # type: ignore[attr-defined]

    async def snapshot(self, request: web.Request) -> web.StreamResponse:
        """GET /snapshot.zip[?player=ID]: the shown frame's PNGs, zipped."""
        ident = request.rel_url.query.get("player")
        if self.viewer.recording:
            if ident is None:
                raise _Refused(400, "which page's picture: a player id")
            packet = self._player(request, ident).hub.packet
        else:
            assert self.viewer.hub is not None
            packet = self.viewer.hub.packet
        if packet is None:
            raise _Refused(503, "no frame yet")
        mode = self.viewer.mode
        body = await asyncio.get_running_loop().run_in_executor(None, _snapshot_zip, packet, mode)
        stamp = f"{self.viewer.serial or 'camera'}-{packet.timestamp:.3f}s"
        return web.Response(body=body, headers={
            "Content-Type": "application/zip",
            "Content-Disposition": f'attachment; filename="snapshot-{stamp}.zip"'})

    def _panel(self) -> ControlPanel:
        if self.viewer.panel is None:
            raise _Refused(404, "this source has no controls")
        return self.viewer.panel


def _snapshot_zip(packet: Any, mode: "CaptureMode") -> bytes:
    views = png_views(packet, mode)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        for name in ("left.png", "right.png", "frame.png"):
            if name in views:
                archive.writestr(name, views[name])
    return buffer.getvalue()


def _one_line_errors(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
    # The event loop's own reports (a transport that failed, a callback
    # that raised): a client that went away is routine, anything else one line.
    exc = context.get("exception")
    if isinstance(exc, (ConnectionError, TimeoutError, asyncio.CancelledError)):
        return
    LOG.error("viewer: %s%s", context.get("message", "event loop error"),
              f": {type(exc).__name__}: {exc}" if exc is not None else "")


# -- the viewer ---------------------------------------------------------------------------


class Viewer:
    """A source served as a web page.

    ``Viewer(source)`` takes a live ``CameraSource`` (its packets with the
    newest-frame policy, its control handle for the panel), an ``MkvSource``
    recording (played per page, with pause, seek, step, speed and loop), or
    anything ``resolve_source_arg`` takes (a serial, a camera facts file, a
    recording's path), which the viewer opens and owns. ``controls`` gives
    the panel another control handle. ``bind`` defaults to loopback; any
    other address makes the viewer require ``token`` (random unless
    given). ``port`` 0 picks a free port. ``max_connections`` and
    ``idle_timeout`` bound the open connections and how long one may stay
    without a request. ``start()`` serves in the background, ``close()``
    stops serving and closes the source.
    """

    def __init__(self, source: Any, *, bind: str = "127.0.0.1", port: int = 0,
                 controls: Optional["CameraControls"] = None, token: Optional[str] = None,
                 max_connections: int = MAX_CONNECTIONS, idle_timeout: float = IDLE_TIMEOUT) -> None:
        """__init__(source, *, bind: str = "127.0.0.1", port: int = 0, controls=None, token=None, max_connections: int = 512, idle_timeout: float = 10.0) -> None"""
        from ..recording import open_packet_source
        from ..sources.mkv_source import MkvSource

        if token is not None and not _TOKEN.match(token):
            raise ValueError("token must be 1 to 128 letters, digits, '-' or '_'")
        if not hasattr(source, "packets"):
            source = open_packet_source(source, latest=True)
        self.source = source
        self.recording = isinstance(source, MkvSource)
        self.mode = source_mode(source)
        self.bind = bind
        self.token = None if _is_loopback(bind) else (token or secrets.token_urlsafe(24))
        self.max_connections, self.idle_timeout = max_connections, idle_timeout
        if controls is None and not self.recording:
            controls = getattr(source, "controls", None)
        record = getattr(source, "record", None)
        catalog = record.spec.controls if record is not None else ()
        self.panel = ControlPanel(controls, catalog) if controls is not None and catalog else None
        self.calibration = record.base_calibration if record is not None else None
        self.hub: Optional[FrameHub] = None if self.recording else FrameHub(self.mode, self.calibration)
        self.pump: Optional[LivePump] = None if self.recording else LivePump(source, self.hub)  # type: ignore[arg-type]
        self.players: dict[str, Player] = {}
        self._ended: list[Player] = []  # stopped players, joined on close
        self._facts = describe_source(source, self.mode)
        self.serial: str = self._facts["serial"]
        try:
            self._sock = _listener(bind, port)
        except BaseException:
            source.close()
            raise
        self.port: int = self._sock.getsockname()[1]
        self.closing = False
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._stop: Optional[asyncio.Event] = None
        self._thread: Optional[threading.Thread] = None
        self._ready = threading.Event()
        self._failure: Optional[BaseException] = None
        self._started_at = time.monotonic()
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
        try:
            bound = ipaddress.ip_address(self.bind) if self.bind != "localhost" else None
        except ValueError:
            return False
        if bound is None or bound.is_loopback:
            return address.is_loopback
        return bound.is_unspecified or address == bound

    def status(self) -> dict[str, Any]:
        """status() -> dict

        A live camera's overlay figures (fps, frame age, frames lost) and its
        state: "waiting" for the first frame, "live", "reconnecting" (or
        "stalled") when frames stopped, "disconnected" once it is gone.
        A recording's playback is told per page (``Player.status``).
        """
        now = time.monotonic()
        if self.recording or self.hub is None or self.pump is None:
            return {"frames": 0, "fps": 0.0, "age_ms": None, "engine_age_ms": None, "lost": 0, "time": None,
                    "paused": False, "ended": False, "state": "recording", "error": None}
        hub, pump = self.hub, self.pump
        age = None if hub.packet is None else max(0.0, now - hub.timestamp) * 1000.0
        quiet = now - (hub.published_at or self._started_at)
        error = pump.error
        if error is not None:
            state = "disconnected"
        elif pump.ident is not None and not pump.is_alive() and not self.closing:
            state = "ended"
        elif quiet > max(QUIET_AFTER, 5.0 / float(self.mode.fps)):
            state = "reconnecting" if getattr(self.source, "reconnect", None) is not None else (
                "stalled" if hub.number else "waiting")
        else:
            state = "live"
        return {
            "frames": hub.number,
            "fps": round(hub.fps(), 2) if state == "live" else 0.0,
            "age_ms": None if age is None else round(age, 1),
            "engine_age_ms": None if hub.engine_age is None else round(hub.engine_age * 1000.0, 1),
            "lost": hub.lost,
            "time": round(hub.timestamp, 3) if hub.packet is not None else None,
            "paused": False,
            "ended": state == "ended",
            "state": state,
            "reconnects": getattr(self.source, "reconnects", 0),
            "error": None if error is None else str(error),
        }

    def views(self) -> list[str]:
        """views() -> list[str]: the views a page may pick (depth ones for a calibrated stereo camera)."""
        return available_views(self.mode, self.calibration)

    def info(self) -> dict[str, Any]:
        """info() -> dict: the camera's facts, the source kind, the views and the control catalog."""
        return {
            "kind": "recording" if self.recording else "live",
            "camera": self._facts,
            "views": self.views(),
            "speeds": list(SPEEDS),
            "controls": [control_record(c) for c in self.panel.catalog.values()] if self.panel else [],
        }

    # -- pages' players

    async def new_player(self) -> Optional[Player]:
        """new_player() -> Optional[Player]: a new page's playback of the recording, started; None past the cap."""
        if len(self.players) >= MAX_PLAYERS or self.closing:
            return None
        loop = asyncio.get_running_loop()
        player = await loop.run_in_executor(None, Player, self.source.path, self.mode, self.calibration)
        if self.closing:
            player.stop()
            return None
        player.hub.attach(loop)
        self.players[player.ident_text] = player
        player.start()
        return player

    def drop_player(self, player: Player) -> None:
        """drop_player(player: Player) -> None: end a page's playback (its thread ends on its own)."""
        self.players.pop(player.ident_text, None)
        player.stop()
        self._ended.append(player)

    async def _reap(self) -> None:
        while True:
            await asyncio.sleep(2.0)
            now = time.monotonic()
            for player in list(self.players.values()):
                if player.watchers <= 0 and now - player.last_seen > PLAYER_IDLE:
                    self.drop_player(player)
            self._ended = [p for p in self._ended if p.is_alive()]

    # -- serving

    def start(self) -> "Viewer":
        """start() -> Viewer: start reading the source and serving in the background."""
        self._loop = asyncio.new_event_loop()
        self._loop.set_exception_handler(_one_line_errors)
        if self.hub is not None and self.pump is not None:
            self.hub.attach(self._loop)
            self.pump.start()
        self._thread = threading.Thread(target=self._run, name="vorn-viewer-http", daemon=True)
        self._thread.start()
        self._ready.wait()
        if self._failure is not None:
            self.close()
            raise self._failure
        return self

    def _run(self) -> None:
        assert self._loop is not None
        asyncio.set_event_loop(self._loop)
        try:
            self._loop.run_until_complete(self._serve())
        except BaseException as exc:
            self._failure = exc
        finally:
            self._ready.set()
            self._loop.close()

    async def _serve(self) -> None:
        loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        runner = web.AppRunner(_App(self).build(), handle_signals=False, access_log=None, logger=_HTTP_LOG,
                               keepalive_timeout=self.idle_timeout, handler_cancellation=True,
                               shutdown_timeout=1.0)
        await runner.setup()
        server = runner.server
        assert server is not None
        self._gate = gate = _Gate(self.max_connections)

        def connection() -> asyncio.Protocol:
            # Counted as accepted, not once aiohttp has set it up: a burst of
            # connections is held to the cap too.
            return _Busy() if gate.open >= gate.cap else _Counted(server(), gate)

        listening = await loop.create_server(connection, sock=self._sock, backlog=1024)
        reaper = loop.create_task(self._reap())
        self._ready.set()
        try:
            await self._stop.wait()
        finally:
            listening.close()
            reaper.cancel()
            for player in list(self.players.values()):
                self.drop_player(player)
            await runner.cleanup()
            await listening.wait_closed()
            await loop.shutdown_default_executor()  # the threads that opened files and made snapshots

    def close(self) -> None:
        """close() -> None: stop serving, end the clients' streams and close the source. Idempotent."""
        if self._closed:
            return
        self._closed = self.closing = True
        if self.pump is not None:
            self.pump.stop()
        if self.hub is not None:
            self.hub.close()
        loop, stop = self._loop, self._stop
        if loop is not None and stop is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(stop.set)
            except RuntimeError:
                pass
        if self._thread is not None:
            self._thread.join(10.0)
        self._sock.close()
        for player in list(self.players.values()):
            self.drop_player(player)
        for player in self._ended:
            if player.is_alive():
                player.join(5.0)
        self.source.close()
        if self.pump is not None and self.pump.is_alive():
            self.pump.join(5.0)

    def __enter__(self) -> "Viewer":
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


def serve(source: Any, *, bind: str = "127.0.0.1", port: int = 0, announce: Any = print) -> None:
    """serve(source, *, bind: str = "127.0.0.1", port: int = 0, announce=print) -> None

    Serve ``source`` until SIGINT or SIGTERM, announcing the page's URL;
    a live camera that is unplugged is waited for (the page says so). The
    source (and the camera) is released before this returns.
    """
    if getattr(source, "reconnect", 0) is None:
        source.reconnect = RECONNECT_WAIT
    stop = threading.Event()
    previous = {s: signal.signal(s, lambda *_: stop.set()) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        with Viewer(source, bind=bind, port=port) as viewer:
            announce(viewer.url)
            while not stop.wait(0.5):
                pump = viewer.pump
                if pump is not None and not pump.is_alive() and pump.error is not None:
                    raise pump.error
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


__all__ = ["Viewer", "serve", "FrameHub", "ControlPanel", "describe_source", "control_record", "checked_value",
           "BOUNDARY"]
