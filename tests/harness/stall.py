"""A camera that stops sending, behind the capture engine's seam
(``camera_source._capture_stream_class``): a few frames of a feed, then
nothing, the way a stalled USB camera behaves. The stream keeps the engine's
read contract: ``read(timeout)`` waits (letting signals through) and raises
TimeoutError, ``close()`` from any thread ends a wait.

Run as a program (``python -m harness.stall WHAT ...``) for what only a
process of its own shows:

    record OUT HOW   record the stalling camera into OUT, to be ended by HOW:
                     "signal" (the test sends one), "stop" (an event set from
                     another thread) or "duration" (1 s of recording); prints
                     "stalled" once the frames are out, then the summary.
    iterate          leave a live source's frame iterator alive at exit.
"""

from __future__ import annotations

import sys
import threading
import time

from vorn_camera_sdk.cameras.camera_spec import CaptureMode
from vorn_camera_sdk.platform.capture import Packet
from vorn_camera_sdk.sources import camera_source
from vorn_camera_sdk.sources.camera_source import CameraSource

from .feeds import RECORD, Feed

MODE = CaptureMode(64, 16, 30, "MJPG", stereo=True)
FRAMES = 5


class StalledStream:
    """The engine's stream: FRAMES packets stamped now, then no more."""

    stalled = threading.Event()  # set once the last frame was read

    def __init__(self, os_id: str, mode: CaptureMode, *, latest: bool, serial: str) -> None:
        self.width, self.height, self.closed = mode.width, mode.height, False
        self._woken = threading.Condition()
        began = time.monotonic()
        self._queue = [Packet(p.data, p.sequence, began + p.sequence / 30, 0) for p in Feed(MODE, FRAMES).packets()]

    def read(self, timeout: float | None = None) -> Packet:
        if self._queue:
            return self._queue.pop(0)
        StalledStream.stalled.set()
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._woken:
            while not self.closed:
                left = 0.1 if deadline is None else min(0.1, deadline - time.monotonic())
                if left <= 0:
                    raise TimeoutError("no frame")
                self._woken.wait(left)
        raise ValueError("the capture stream is closed")

    def __iter__(self):
        while True:
            try:
                yield self.read()
            except ValueError:
                return

    def close(self) -> None:
        with self._woken:
            self.closed = True
            self._woken.notify_all()


def stalling_source() -> CameraSource:
    """A live source on the stalling camera, recording every frame."""
    camera_source._capture_stream_class = lambda: StalledStream  # the seam
    return CameraSource(RECORD, MODE, latest=False)


def _record(out: str, how: str) -> None:
    from vorn_camera_sdk.recording import record

    stop = threading.Event()

    def announce() -> None:
        StalledStream.stalled.wait()
        print("stalled", flush=True)
        if how == "stop":
            stop.set()

    threading.Thread(target=announce, daemon=True).start()
    summary = record(stalling_source(), out, stop=stop, duration=1.0 if how == "duration" else None)
    print(summary, flush=True)


_ITERATOR = None


def _iterate() -> None:
    global _ITERATOR
    source = stalling_source()
    _ITERATOR = iter(source)
    next(_ITERATOR)  # the generator is suspended at its yield when the interpreter exits


if __name__ == "__main__":
    if sys.argv[1] == "record":
        _record(sys.argv[2], sys.argv[3])
    else:
        _iterate()
