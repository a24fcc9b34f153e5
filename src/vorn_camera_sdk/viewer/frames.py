"""Frames for the viewer's pages: the newest picture of a feed, as JPEG.

A ``FrameHub`` holds a feed's newest frame, numbered, with one JPEG per
*view* (a picture stream a page can choose). The producer is a thread (the
live pump, or a page's player); watchers are coroutines on the server's
event loop that wait for a frame newer than the one they sent last, so a
slow watcher skips frames and nobody waits for it.

Views are kept in ``VIEWS``: a name and a function making, for a capture
mode, the encoder of a packet into that view's JPEG. "picture" is the
camera's picture itself (MJPG packets as they came, YUYV encoded once per
frame). Each view that somebody watches is encoded once per frame, by the
producer, and shared by all its watchers. ``CALIBRATED_VIEWS`` are made
from the mode and the camera's calibration, for a stereo mode with a
calibration and OpenCV at hand: "rectified" (the rectified pair with guide
lines) and "depth" (depth colourised): nothing is computed for them while
no page shows them.
"""

from __future__ import annotations

import asyncio
import collections
import importlib.util
import threading
import time
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Callable, Optional

from ..recording import PacketLike
from ..sources.base import import_stream_modules

if TYPE_CHECKING:
    from ..cameras.camera_spec import CaptureMode

Encoder = Callable[[PacketLike], bytes]


class _JpegMaker:
    """JPEG of one packet: MJPG as it is, YUYV encoded."""

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


# A view's name -> its encoder factory. A new view is one more entry.
VIEWS: dict[str, Callable[["CaptureMode"], Encoder]] = {"picture": _JpegMaker}
DEFAULT_VIEW = "picture"


def _rectified_view(mode: "CaptureMode", calibration: Any) -> Encoder:
    from ..depth import RectifiedView

    return RectifiedView(calibration, mode)


def _depth_view(mode: "CaptureMode", calibration: Any) -> Encoder:
    from ..depth import DepthView

    return DepthView(calibration, mode)


# Views made from the mode and the camera's calibration (name -> factory).
CALIBRATED_VIEWS: dict[str, Callable[["CaptureMode", Any], Encoder]] = {
    "rectified": _rectified_view, "depth": _depth_view}


def available_views(mode: "CaptureMode", calibration: Any) -> list[str]:
    """available_views(mode: CaptureMode, calibration: Optional[Calibration]) -> list[str]

    The views a page may pick: every entry of ``VIEWS``, and the calibrated
    ones for a stereo mode with a calibration when OpenCV is installed.
    """
    names = list(VIEWS)
    if calibration is not None and mode.stereo and importlib.util.find_spec("cv2") is not None:
        names += [name for name in CALIBRATED_VIEWS if name not in VIEWS]
    return names


class FrameHub:
    """The newest frame of one feed, as JPEG per watched view, numbered, with the overlay's figures.

    ``publish`` is called by the producer thread; ``next_frame`` is awaited
    on the event loop given to ``attach``.
    """

    def __init__(self, mode: "CaptureMode", calibration: Any = None) -> None:
        self.mode = mode
        self.calibration = calibration
        self._lock = threading.Lock()
        self.number = 0
        self.jpeg: Optional[bytes] = None  # the "picture" view of the newest frame
        self.views: dict[str, bytes] = {}
        self.packet: Optional[PacketLike] = None
        self.timestamp = 0.0
        self.engine_age: Optional[float] = None
        self.published_at: Optional[float] = None  # monotonic time of the newest frame
        self.lost = 0
        self.encodes = 0  # frames that took an encode (not passed through) in the picture view
        self.closed = False
        self._times: collections.deque[float] = collections.deque(maxlen=64)
        self._encoders: dict[str, Encoder] = {}
        self._encoding = threading.Lock()  # one encode at a time: the encoders keep state
        self._watching: collections.Counter[str] = collections.Counter({DEFAULT_VIEW: 1})
        # The newest multipart part per view (frame number, bytes), kept by the event loop's clients.
        self.parts: dict[str, tuple[int, bytes]] = {}
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._event: Optional[asyncio.Event] = None

    def attach(self, loop: asyncio.AbstractEventLoop) -> None:
        """attach(loop: asyncio.AbstractEventLoop) -> None: the event loop whose watchers are woken."""
        self._loop = loop

    # -- the producer side

    def publish(self, packet: PacketLike, engine_age: Optional[float] = None) -> None:
        """publish(packet, engine_age: Optional[float] = None) -> None

        A new newest frame: every watched view is encoded once, here, then
        the watchers are woken.
        """
        with self._lock:
            watched = [name for name, count in self._watching.items() if count > 0]
        with self._encoding:
            views = {name: self._encode(name, packet) for name in watched}
        with self._lock:
            self.number += 1
            self.views = views
            self.jpeg = views.get(DEFAULT_VIEW)
            if self.jpeg is not None and self.jpeg is not packet.data:
                self.encodes += 1
            self.packet, self.timestamp, self.engine_age = packet, packet.timestamp, engine_age
            self.lost += packet.dropped
            self.published_at = time.monotonic()
            self._times.append(self.published_at)
            waited = self._event is not None  # nobody waiting: the event loop sleeps on
        if waited:
            self._wake()

    def _encode(self, view: str, packet: PacketLike) -> bytes:
        encoder = self._encoders.get(view)
        if encoder is None:
            plain = VIEWS.get(view)
            made = plain(self.mode) if plain is not None else CALIBRATED_VIEWS[view](self.mode, self.calibration)
            encoder = self._encoders[view] = made
        return encoder(packet)

    def encoder(self, view: str) -> Optional[Encoder]:
        """encoder(view: str) -> Optional[Encoder]: the encoder of ``view``, once a page has watched it."""
        return self._encoders.get(view)

    def add_view(self, view: str) -> None:
        """add_view(view: str) -> None

        Encode ``view`` of the newest frame now, if it has none yet: a page
        that starts watching a view while no frames flow (a paused
        recording) gets the picture it stands on. Blocking: run it off the
        event loop.
        """
        with self._encoding:
            with self._lock:
                number, packet = self.number, self.packet
                if packet is None or view in self.views:
                    return
            jpeg = self._encode(view, packet)
            with self._lock:
                if self.number == number:  # still the newest
                    self.views = {**self.views, view: jpeg}
        self._wake()

    def reset(self) -> None:
        """reset() -> None: frames lost and the frame-rate window start again (a restart or a seek)."""
        with self._lock:
            self.lost = 0
            self._times.clear()

    def close(self) -> None:
        """close() -> None: wake every watcher for good."""
        self.closed = True
        self._wake()

    def _wake(self) -> None:
        loop = self._loop
        if loop is None or loop.is_closed():
            return
        try:
            loop.call_soon_threadsafe(self._set)
        except RuntimeError:  # the loop closed meanwhile
            pass

    def _set(self) -> None:
        with self._lock:
            event, self._event = self._event, None
        if event is not None:
            event.set()

    # -- the watchers' side (on the event loop)

    def watch(self, view: str, delta: int) -> None:
        """watch(view: str, delta: int) -> None: one watcher more (1) or fewer (-1) of ``view``."""
        with self._lock:
            self._watching[view] += delta

    async def next_frame(self, after: int, view: str, timeout: float) -> Optional[tuple[int, bytes, float]]:
        """next_frame(after: int, view: str, timeout: float) -> Optional[tuple[int, bytes, float]]

        The newest frame (number, JPEG of ``view``, timestamp) once it is
        newer than ``after``; None after ``timeout`` seconds or once the hub
        is closed.
        """
        deadline = time.monotonic() + timeout
        while not self.closed:
            with self._lock:
                number, jpeg, stamp = self.number, self.views.get(view), self.timestamp
                if not (number > after and jpeg is not None):
                    # Made under the lock the producer publishes under: a
                    # frame published after the look above finds it and wakes it.
                    if self._event is None:
                        self._event = asyncio.Event()
                    event = self._event
            if number > after and jpeg is not None:
                return number, jpeg, stamp
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return None
            try:
                async with asyncio.timeout(remaining):
                    await event.wait()
            except TimeoutError:
                return None
        return None

    def fps(self) -> float:
        """fps() -> float: frames published per second over the last two seconds or so."""
        with self._lock:
            now = time.monotonic()
            recent = [t for t in self._times if now - t <= 2.0]
        if len(recent) < 2:
            return 0.0
        return (len(recent) - 1) / (recent[-1] - recent[0]) if recent[-1] > recent[0] else 0.0


class LivePump(threading.Thread):
    """Reads a live source's packets and publishes every one to the hub."""

    def __init__(self, source: Any, hub: FrameHub) -> None:
        super().__init__(name="vorn-viewer-pump", daemon=True)
        self.source, self.hub = source, hub
        self.error: Optional[BaseException] = None
        self._stopping = False

    def run(self) -> None:
        """run() -> None: publish the source's packets until it ends, fails or is stopped."""
        try:
            for packet in self.source.packets():
                self.hub.publish(packet, max(0.0, time.monotonic() - packet.timestamp))
                if self._stopping:
                    return
        except BaseException as exc:  # shown on the page and by the tool
            if not self._stopping:
                self.error = exc

    def stop(self) -> None:
        """stop() -> None: end after the current packet (closing the source ends the wait for one)."""
        self._stopping = True
