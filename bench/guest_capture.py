"""Live-frame measurements inside the QEMU guest (run by bench/bench_capture.py).

Three ways to get frames of the USB/IP test camera through the real uvcvideo
driver: the SDK's capture engine (CameraSource), FFmpeg's v4l2 demuxer through
PyAV (av.open with LinuxBackend.av_open_args, what CameraSource used to do),
and OpenCV's V4L2 backend. The camera writes its frame number into each image,
so staleness is counted in frames. Each measurement prints one line
"@@BENCH@@ {json}" for the host runner.
"""

from __future__ import annotations

import json
import time

import pytest

from kernel.rig import TALVEX, module
from kernel.usbip_camera import read_frame_number

PAUSE, READS = 2.0, 3  # the sleeping consumer
SECONDS = 3.0  # each CPU measurement


def report(name: str, **values) -> None:
    print("@@BENCH@@ " + json.dumps({"name": name, **values}), flush=True)


def age_of(stamp: float) -> float:
    """Seconds since a capture time on either clock (FFmpeg may move kernel times to wall-clock)."""
    return min(abs(time.monotonic() - stamp), abs(time.time() - stamp))


@pytest.fixture
def record(rig, discovery):
    pytest.importorskip("av")
    rig.plug(TALVEX)
    found = discovery.get_connected_vorn_camera_by_serial(TALVEX["serial"])
    assert found is not None
    return found


def mode_of(record, width, fps):
    return next(m for m in record.spec.modes if (m.fourcc, m.width, m.height, m.fps) == ("MJPG", width, 360, fps))


# -- the three readers: open, then read() -> (BGR image, capture time or None) -----


class Engine:
    def __init__(self, record, mode, latest=True):
        camera_source = module("vorn_camera_sdk.sources.camera_source")
        self.source = camera_source.CameraSource(record, mode, latest=latest)
        self.frames = iter(self.source)

    def read(self):
        frame = next(self.frames)
        return frame.image, frame.timestamp

    def close(self):
        self.source.close()


class Demuxer:
    """What CameraSource did before the engine: PyAV's v4l2 input, every frame read decoded."""

    def __init__(self, record, mode, latest=None):
        import av

        from vorn_camera_sdk.platform import current_backend
        from vorn_camera_sdk.sources.base import make_frame

        path, fmt, options = current_backend().av_open_args(record.os_id, mode)
        self.container = av.open(path, format=fmt, options=options)
        self.frames = self.container.decode(video=0)
        self.make_frame, self.stereo, self.count = make_frame, mode.stereo, 0

    def read(self):
        video_frame = next(self.frames)
        frame = self.make_frame(video_frame.to_ndarray(format="bgr24"), video_frame.time, self.count, self.stereo)
        self.count += 1
        return frame.image, frame.timestamp

    def close(self):
        self.container.close()


class OpenCV:
    def __init__(self, record, mode, buffers=None):
        import cv2

        self.cv2 = cv2
        self.cap = cv2.VideoCapture(record.os_id, cv2.CAP_V4L2)
        self.cap.set(cv2.CAP_PROP_FOURCC, cv2.VideoWriter_fourcc(*"MJPG"))
        self.cap.set(cv2.CAP_PROP_FRAME_WIDTH, mode.width)
        self.cap.set(cv2.CAP_PROP_FRAME_HEIGHT, mode.height)
        self.cap.set(cv2.CAP_PROP_FPS, mode.fps)
        if buffers is not None:
            self.cap.set(cv2.CAP_PROP_BUFFERSIZE, buffers)

    def read(self):
        ok, image = self.cap.read()
        assert ok, "OpenCV read no frame"
        return image, self.cap.get(self.cv2.CAP_PROP_POS_MSEC) / 1000

    def close(self):
        self.cap.release()


READERS = {
    "engine latest": lambda r, m: Engine(r, m),
    "ffmpeg demuxer": lambda r, m: Demuxer(r, m),
    "opencv v4l2 default buffers": lambda r, m: OpenCV(r, m),
    "opencv v4l2 buffersize=1": lambda r, m: OpenCV(r, m, buffers=1),
}


@pytest.mark.parametrize("path", list(READERS))
def test_staleness_of_a_consumer_sleeping_between_reads(rig, record, path):
    if path.startswith("opencv"):
        pytest.importorskip("cv2")
    reader = READERS[path](record, mode_of(record, 1280, 30))
    try:
        reader.read()
        behind, ages, decode = [], [], []
        for _ in range(READS):
            time.sleep(PAUSE)
            started = time.monotonic()
            image, stamp = reader.read()
            decode.append(time.monotonic() - started)
            ages.append(age_of(stamp) if stamp else None)
            newest = rig.state(TALVEX)["last_frame_number"]
            behind.append(newest - read_frame_number(image))
        report("staleness", path=path, frames_behind=behind, age_s=ages, read_s=decode)
    finally:
        reader.close()


def _consume(reader, period: float, use_every: int = 1) -> dict:
    """Read for SECONDS, using every ``use_every``-th frame, then sleeping to the next period."""
    reader.read()  # the stream is up
    cpu, wall = time.process_time(), time.monotonic()
    frames = used = 0
    next_at = wall
    while time.monotonic() - wall < SECONDS:
        reader.read()
        frames += 1
        if frames % use_every:
            continue
        used += 1
        next_at += period
        pause = next_at - time.monotonic()
        if pause > 0:
            time.sleep(pause)
    cpu, wall = time.process_time() - cpu, time.monotonic() - wall
    return {"frames_read": frames, "frames_used": used, "cpu_s": cpu, "wall_s": wall,
            "cpu_ms_per_used_frame": 1000 * cpu / max(used, 1), "used_fps": used / wall}


CPU_CASES = {
    # label: (reader, period, use_every); a 10 Hz consumer of a 30 fps camera
    "10 Hz: engine latest": (lambda r, m: Engine(r, m), 0.1, 1),
    "10 Hz: ffmpeg demuxer, sleeping (stale frames)": (lambda r, m: Demuxer(r, m), 0.1, 1),
    "10 Hz: ffmpeg demuxer, every frame decoded, every 3rd used": (lambda r, m: Demuxer(r, m), 0.0, 3),
    # a consumer that keeps up: every frame decoded and used
    "every frame: engine all": (lambda r, m: Engine(r, m, latest=False), 0.0, 1),
    "every frame: ffmpeg demuxer": (lambda r, m: Demuxer(r, m), 0.0, 1),
}
# The cases take turns, round after round, so a change in the host's load
# (it slows the emulated CPU) falls on all of them alike.
ROUNDS = 4
CPU_RUNS = [(width, round_, label) for width in (1280, 640) for round_ in range(ROUNDS) for label in CPU_CASES]


@pytest.mark.parametrize("width,round_,label", CPU_RUNS, ids=[f"{w}-{r}-{c}" for w, r, c in CPU_RUNS])
def test_cpu_per_frame(rig, record, width, round_, label):
    make, period, use_every = CPU_CASES[label]
    reader = make(record, mode_of(record, width, 30))
    try:
        result = _consume(reader, period, use_every)
    finally:
        reader.close()
    report("cpu", case=label, mode=f"MJPG {width}x360 at 30 fps", round=round_, **result)
