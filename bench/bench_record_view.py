"""CPU share of the recorder and of the viewer, and the viewer's added latency,
at MJPG 1280x360 (stereo) 30 fps.

A paced feed hands out pre-encoded JPEG packets at 30 fps, stamped with
CLOCK_MONOTONIC as they are handed out (the capture engine stamps the
kernel's capture time on the same clock). Measured in one run:
  - the feed alone (the floor), then the feed recorded into Matroska;
  - the feed served by the viewer to one client in another process, which
    reads the multipart stream and notes each part's age on arrival.
CPU shares are this process's CPU time (all threads) over wall time, as a
percentage of one core, minus the feed's own share. The viewer's added
latency is the frame age at the client minus the frame age when the viewer
took the packet.

Run by hand:  python3 bench/bench_record_view.py [SECONDS]
"""

from __future__ import annotations

import resource
import statistics
import subprocess
import sys
import tempfile
import time
from fractions import Fraction
from pathlib import Path

import _timing  # noqa: F401  (puts src/ and tests/ on sys.path)

import av

from harness.feeds import RECORD, Packet, picture
from vorn_camera_sdk.cameras.camera_spec import CaptureMode
from vorn_camera_sdk.recording import record
from vorn_camera_sdk.viewer import Viewer

MODE = CaptureMode(1280, 360, 30, "MJPG", stereo=True)
STREAM_CLIENT = Path(__file__).with_name("stream_client.py")
SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0


def jpegs(count: int = 30) -> list[bytes]:
    encoder = av.CodecContext.create("mjpeg", "w")
    encoder.width, encoder.height, encoder.pix_fmt = MODE.width, MODE.height, "yuvj422p"
    encoder.time_base = Fraction(1, 30)
    out = []
    for i in range(count):
        frame = av.VideoFrame.from_ndarray(picture(i, MODE.width, MODE.height, True), format="bgr24")
        out.append(b"".join(bytes(p) for p in encoder.encode(frame.reformat(format="yuvj422p"))))
    return out


class PacedFeed:
    """A live-like source: JPEG packets at the mode's rate for ``seconds``."""

    def __init__(self, data: list[bytes], seconds: float) -> None:
        self.data, self.seconds, self.mode, self.record, self.controls = data, seconds, MODE, RECORD, None
        self.closed = False

    def packets(self):
        began = time.monotonic()
        n = 0
        while not self.closed and n / MODE.fps < self.seconds:
            time.sleep(max(0.0, began + n / MODE.fps - time.monotonic()))
            yield Packet(self.data[n % len(self.data)], n, time.monotonic(), 0)
            n += 1

    def close(self) -> None:
        self.closed = True


def cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def share(run) -> tuple[float, float]:
    wall0, cpu0 = time.monotonic(), cpu()
    result = run()
    return (cpu() - cpu0) / (time.monotonic() - wall0) * 100.0, result


def main() -> None:
    data = jpegs()
    print(f"MJPG {MODE.width}x{MODE.height} {MODE.fps} fps, {len(data[0]) / 1024:.0f} KiB per frame, {SECONDS:.0f} s each")
    floor, _ = share(lambda: sum(1 for _ in PacedFeed(data, SECONDS).packets()))
    with tempfile.TemporaryDirectory() as folder:
        recorded, summary = share(lambda: record(PacedFeed(data, SECONDS), Path(folder) / "bench.mkv"))
    print(f"feed alone:        {floor:5.1f} % of one core")
    print(f"recorder:          {recorded - floor:5.1f} % of one core  ({summary.frames} frames, {summary.fps:.1f} fps)")

    feed = PacedFeed(data, SECONDS + 3)
    with Viewer(feed) as viewer:
        engine_ages = []
        client = subprocess.Popen([sys.executable, str(STREAM_CLIENT), str(viewer.port), str(SECONDS)],
                                  stdout=subprocess.PIPE, text=True)

        def watch():
            end = time.monotonic() + SECONDS
            while time.monotonic() < end:
                if viewer.hub.engine_age is not None:
                    engine_ages.append(viewer.hub.engine_age)
                time.sleep(0.05)
            return client.communicate()[0]

        served, out = share(watch)
    ages = [float(a) for a in out.split()]
    added = (statistics.median(ages) - statistics.median(engine_ages)) * 1000.0
    print(f"viewer, 1 client:  {served - floor:5.1f} % of one core  ({len(ages)} frames at the client)")
    print(f"viewer added latency: {added:.2f} ms median (age at client {statistics.median(ages) * 1000:.2f} ms, "
          f"at the viewer {statistics.median(engine_ages) * 1000:.2f} ms)")


if __name__ == "__main__":
    main()
