"""Packet feeds for the recorder and the viewer: what a camera's packet
stream hands out (data, sequence, timestamp, dropped), made here with PyAV's
JPEG encoder, optionally paced in real time and with sequence gaps.

Run as a program it records a paced feed into the file named by its first
argument, saying "recording" as it starts (used to interrupt a recorder
from outside).
"""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass
from fractions import Fraction
from typing import Iterator

import av
import numpy as np

from vorn_camera_sdk.cameras import VornCameraFacts
from vorn_camera_sdk.cameras.camera_spec import CaptureMode

from .devinfo import facts_payload

RECORD = VornCameraFacts.from_dict(facts_payload("AB12CD34"), os_id="/dev/video0")


@dataclass(frozen=True)
class Packet:
    data: bytes
    sequence: int
    timestamp: float
    dropped: int


def picture(i: int, width: int, height: int, stereo: bool) -> np.ndarray:
    """Frame i: a bar moving across each view over a gradient (BGR)."""
    view = width // 2 if stereo else width
    x = np.arange(view, dtype=np.uint16)
    base = np.empty((height, view, 3), np.uint8)
    base[..., 0] = (x * 255 // max(view - 1, 1)).astype(np.uint8)
    base[..., 1] = np.linspace(40, 200, height, dtype=np.uint8)[:, None]
    base[..., 2] = 90
    bar = (i * 4) % view
    base[:, bar : bar + max(view // 16, 2)] = (255, 255, 255)
    if not stereo:
        return base
    right = np.roll(base, -max(view // 20, 1), axis=1)
    right[..., 2] = 160
    return np.concatenate([base, right], axis=1)


class Feed:
    """``count`` frames of ``mode``; a gap of ``gaps[i]`` frames lost before frame i."""

    def __init__(self, mode: CaptureMode, count: int, *, gaps: dict[int, int] | None = None,
                 pace: bool = False, start: float = 5000.0) -> None:
        self.mode, self.record, self.count = mode, RECORD, count
        self.gaps, self.pace, self.start = gaps or {}, pace, start
        self.sent: list[Packet] = []

    def packets(self) -> Iterator[Packet]:
        mode = self.mode
        encoder = av.CodecContext.create("mjpeg", "w")
        encoder.width, encoder.height, encoder.pix_fmt = mode.width, mode.height, "yuvj422p"
        encoder.time_base = Fraction(1, 30)
        sequence, began = 0, time.monotonic()
        for i in range(self.count):
            dropped = self.gaps.get(i, 0)
            sequence += dropped + (1 if i else 0)
            image = picture(i, mode.width, mode.height, mode.stereo)
            frame = av.VideoFrame.from_ndarray(image, format="bgr24")
            if mode.fourcc == "MJPG":
                data = b"".join(bytes(p) for p in encoder.encode(frame.reformat(format="yuvj422p")))
            else:
                data = frame.reformat(format="yuyv422").to_ndarray().tobytes()
            if self.pace:
                time.sleep(max(0.0, began + sequence / float(mode.fps) - time.monotonic()))
            packet = Packet(data, sequence, self.start + sequence / float(mode.fps), dropped)
            self.sent.append(packet)
            yield packet

    def close(self) -> None:
        pass


if __name__ == "__main__":
    from vorn_camera_sdk.recording import record

    feed = Feed(CaptureMode(64, 16, 30, "MJPG", stereo=True), 100_000, pace=True)
    print("recording", flush=True)
    print(record(feed, sys.argv[1]), flush=True)
