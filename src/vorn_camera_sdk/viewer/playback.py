"""One page's playback of a recording: its own position, pause, speed and loop.

Every page that plays a recording has a ``Player``: a thread with its own
demuxer on the file, publishing the frames in time to the page's own
``FrameHub``. Seeking goes through the container's index (a recording's
clusters start every second, each frame is a picture of its own), so a seek
or a step back reads at most about a second of packets and decodes nothing.
"""

from __future__ import annotations

import itertools
import math
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Iterator, Optional

from ..sources.base import import_stream_modules
from .frames import FrameHub

if TYPE_CHECKING:
    from ..cameras.camera_spec import CaptureMode

SPEEDS = (0.25, 0.5, 1.0, 2.0, 4.0)
# Two timestamps this close are one frame's.
_EPSILON = 1e-4


@dataclass(slots=True)
class PlayedPacket:
    """A recording's packet as a page plays it."""

    data: bytes
    sequence: int
    timestamp: float
    dropped: int


_ids = itertools.count(1)


class Player(threading.Thread):
    """A recording played for one page.

    ``Player(path, mode)`` opens the file (raising what ``av.open`` raises);
    ``start()`` plays it from the start. ``command`` pauses, plays, seeks,
    steps, changes the speed or the loop; ``status()`` tells where it is.
    """

    def __init__(self, path: str, mode: "CaptureMode", calibration: Any = None) -> None:
        self.ident_text = f"p{next(_ids)}"
        super().__init__(name=f"vorn-viewer-player-{self.ident_text}", daemon=True)
        av, _ = import_stream_modules()
        self.path, self.mode = path, mode
        self.hub = FrameHub(mode, calibration)
        self.error: Optional[BaseException] = None
        self.paused = False
        self.ended = False
        self.loop = False
        self.speed = 1.0
        self.position: Optional[float] = None  # the timestamp of the frame shown
        self.watchers = 0
        self.last_seen = time.monotonic()
        self._cond = threading.Condition()
        self._seek: Optional[float] = None
        self._step = 0
        self._stopping = False
        self._container = av.open(path)
        try:
            self._stream = self._container.streams.video[0]
            self.first, self.duration = self._extent()
        except BaseException:
            self._container.close()
            raise
        self._interval = 1.0 / float(mode.fps)
        self._iter: Iterator[PlayedPacket] = self._packets_from(self.first)

    # -- the file

    def _extent(self) -> tuple[float, float]:
        # The first frame's time, and the last one's: the index leads to the
        # last cluster, whose packets are read to its end.
        first = next(self._raw(0.0), None)
        if first is None:
            raise ValueError(f"MKV recording {self.path!r} has no frames")
        last = first
        for last in self._raw(1e9):
            pass
        return first, last

    def _raw(self, at: float) -> Iterator[float]:
        stream = self._stream
        self._container.seek(max(0, int(at / stream.time_base)), stream=stream, backward=True)
        for packet in self._container.demux(stream):
            if packet.size and packet.pts is not None:
                yield float(packet.pts * stream.time_base)

    def _packets_from(self, at: float, *, after: bool = False) -> Iterator[PlayedPacket]:
        """The packets from the one at ``at`` on (from the one after it with ``after``)."""
        stream = self._stream
        self._container.seek(max(0, int(at / stream.time_base)), stream=stream, backward=True)
        previous: Optional[float] = None
        sequence = 0
        for packet in self._container.demux(stream):
            if not packet.size or packet.pts is None:
                continue
            stamp = float(packet.pts * stream.time_base)
            if stamp < at - _EPSILON or (after and stamp < at + _EPSILON):
                previous = stamp
                continue
            step = 1 if previous is None else max(1, round((stamp - previous) / self._interval))
            sequence += step
            previous = stamp
            yield PlayedPacket(bytes(packet), sequence, stamp, step - 1)

    def _previous(self, stamp: float) -> Optional[PlayedPacket]:
        """The frame before the one at ``stamp``; None at the first."""
        if stamp <= self.first + _EPSILON:
            return None
        # The index leads to the cluster holding the frame before; where that
        # cluster starts at ``stamp`` itself, a second further back.
        for back in (_EPSILON, 1.0):
            found = self._last_before(stamp, max(self.first, stamp - back))
            if found is not None:
                return found
        return None

    def _last_before(self, stamp: float, start: float) -> Optional[PlayedPacket]:
        stream = self._stream
        self._container.seek(max(0, int(start / stream.time_base)), stream=stream, backward=True)
        found = None
        for packet in self._container.demux(stream):
            if packet.pts is None or not packet.size:
                continue
            at = float(packet.pts * stream.time_base)
            if at >= stamp - _EPSILON:
                break
            found = PlayedPacket(bytes(packet), 0, at, 0)
        return found

    # -- playing

    def run(self) -> None:
        """run() -> None: play until stopped; a failure is kept in ``error`` for the page."""
        try:
            self._play()
        except BaseException as exc:  # shown on the page
            if not self._stopping:
                self.error = exc
        finally:
            self._container.close()

    def _show(self, packet: PlayedPacket) -> None:
        self.position = packet.timestamp
        self.hub.publish(packet)

    def _play(self) -> None:
        pending: Optional[PlayedPacket] = None  # the next frame, read but not yet due
        anchor: Optional[tuple[float, float]] = None  # (monotonic time, stream time) the clock runs from
        while True:
            with self._cond:
                while not self._stopping and self._seek is None and not self._step and (
                        self.paused or (self.ended and not self.loop)):
                    self._cond.wait()
                if self._stopping:
                    return
                seek, step = self._seek, self._step
                self._seek, self._step = None, 0
                if self.ended and self.loop and seek is None and not step:
                    seek = self.first
                if seek is not None or step:
                    self.ended = False
            if seek is not None:
                self._iter = self._packets_from(min(max(seek, self.first), self.duration))
                pending = next(self._iter, None)
                if pending is not None:
                    self.hub.reset()
                    self._show(pending)
                pending, anchor = None, None
                continue
            if step > 0:
                for _ in range(step):
                    shown, pending = pending or next(self._iter, None), None
                    if shown is None:
                        break
                    self._show(shown)
                anchor = None
                continue
            if step < 0:
                for _ in range(-step):
                    before = self._previous(self.position) if self.position is not None else None
                    if before is None:
                        break
                    self._show(before)
                    self._iter = self._packets_from(before.timestamp, after=True)
                pending, anchor = None, None
                continue
            pending = pending or next(self._iter, None)
            if pending is None:
                with self._cond:
                    self.ended = True
                continue
            if anchor is None or self.position is None:
                anchor = (time.monotonic(), pending.timestamp if self.position is None else self.position)
            due = anchor[0] + (pending.timestamp - anchor[1]) / self.speed
            with self._cond:
                speed = self.speed
                self._cond.wait_for(lambda: self._stopping or self.paused or self._seek is not None
                                    or bool(self._step) or self.speed != speed,
                                    max(0.0, due - time.monotonic()))
                interrupted = self._stopping or self.paused or self._seek is not None or bool(self._step)
                if self.speed != speed:
                    anchor = None
                    continue
            if interrupted:
                anchor = None  # the clock starts again from the frame shown
                continue
            self._show(pending)
            pending = None

    def command(self, action: str, value: Any = None) -> None:
        """command(action: str, value=None) -> None

        "pause", "play", "restart" (the first frame; paused stays paused),
        "seek" to ``value`` seconds, "step" by ``value`` frames (+1 or -1,
        adding up until taken; pauses), "speed" to ``value`` (one of ``SPEEDS``), "loop" on or off.
        Values are checked by the caller.
        """
        with self._cond:
            if action == "pause":
                self.paused = True
            elif action == "play":
                self.paused = False
                if self.ended:
                    self._seek = self.first
            elif action == "restart":
                self._seek = self.first
            elif action == "seek":  # seconds from the recording's start
                self._seek = self.first + float(value)
            elif action == "step":  # steps asked in quick succession add up
                self.paused = True
                self._step += int(value)
            elif action == "speed":
                self.speed = float(value)
            elif action == "loop":
                self.loop = bool(value)
            self._cond.notify_all()

    def status(self) -> dict[str, Any]:
        """status() -> dict: where this page's playback is, and its overlay's figures."""
        hub = self.hub
        position = self.position
        return {
            "player": self.ident_text,
            "frames": hub.number,
            "fps": 0.0 if self.paused or self.ended else round(hub.fps(), 2),
            "age_ms": None,
            "engine_age_ms": None,
            "lost": hub.lost,
            "time": None if position is None else round(position - self.first, 3),
            "duration": round(self.duration - self.first, 3),
            "paused": self.paused,
            "ended": self.ended,
            "speed": self.speed,
            "loop": self.loop,
            "state": "error" if self.error else "paused" if self.paused else "ended" if self.ended else "playing",
            "error": None if self.error is None else str(self.error),
        }

    def stop(self) -> None:
        """stop() -> None: end the playback; the thread closes the file."""
        with self._cond:
            self._stopping = True
            self._cond.notify_all()
        self.hub.close()
        if self.ident is None:  # never started: nobody else closes the file
            self._container.close()


def valid_seek(value: Any) -> Optional[float]:
    """valid_seek(value) -> Optional[float]: a finite number of seconds, else None."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    value = float(value)
    return value if math.isfinite(value) else None
