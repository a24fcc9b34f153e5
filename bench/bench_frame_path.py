"""CPU per frame of CameraSource's Python layer against FFmpeg's demuxer, on the host.

A consumer that decodes every frame, three ways over the same recorded MJPG
packets (synthetic stereo pictures, 1280x360 and 2560x720):

  source   CameraSource iterated, its engine stream replaced (through
           camera_source._capture_stream_class) by one that hands out the
           recorded packets at once;
  demuxer  PyAV's Matroska demuxer over the same packets in a file, every
           frame decoded to BGR and made a Frame (what CameraSource did
           before the engine, with a file instead of the v4l2 input);
  bare     the packets decoded to BGR in a plain loop: the floor.

Prints the median CPU time per frame of each (process time, 5 rounds taking
turns) and the ratios source / demuxer and source / bare.

Run by hand:  python3 bench/bench_frame_path.py   (with the package and PyAV installed)
"""

from __future__ import annotations

import statistics
import sys
import tempfile
import time
from fractions import Fraction
from pathlib import Path

import _timing  # noqa: F401 (puts src/ and tests/ on the path)
import av
import numpy as np

from harness.devinfo import facts_payload
from vorn_camera_sdk.cameras import VornCameraFacts
from vorn_camera_sdk.cameras.camera_spec import CaptureMode
from vorn_camera_sdk.platform.capture import Packet
from vorn_camera_sdk.sources import camera_source
from vorn_camera_sdk.sources.base import make_frame

FRAMES = 150
ROUNDS = 5


def recorded_packets(width: int, height: int) -> list[bytes]:
    """FRAMES JPEGs of a moving stereo picture, as an MJPG camera sends them."""
    codec = av.CodecContext.create("mjpeg", "w")
    codec.width, codec.height, codec.pix_fmt, codec.time_base = width, height, "yuvj422p", Fraction(1, 30)
    ys, xs = np.mgrid[0:height, 0:width]
    packets = []
    for i in range(FRAMES):
        image = np.stack([(xs + 3 * i) % 256, (ys + i) % 256, (xs ^ ys) % 256], axis=-1).astype(np.uint8)
        frame = av.VideoFrame.from_ndarray(image, format="bgr24").reformat(format="yuvj422p")
        packets.extend(bytes(p) for p in codec.encode(frame))
    return packets[:FRAMES]


def write_mkv(path: Path, packets: list[bytes], width: int, height: int) -> None:
    with av.open(str(path), "w") as container:
        stream = container.add_stream("mjpeg", rate=30)
        stream.width, stream.height, stream.pix_fmt = width, height, "yuvj422p"
        stream.time_base = Fraction(1, 1000)
        for i, data in enumerate(packets):
            packet = av.Packet(data)
            packet.stream, packet.pts, packet.dts, packet.time_base = stream, i * 33, i * 33, stream.time_base
            container.mux(packet)


def source_cpu(record, mode, packets: list[bytes]) -> float:
    class Replayed:  # the engine's stream over the recorded packets
        def __init__(self, os_id, mode, *, latest, serial):
            self.width, self.height, self.closed = mode.width, mode.height, False

        def __iter__(self):
            for i, data in enumerate(packets):
                yield Packet(data, i, 5 + i / 30, 0)

        def close(self):
            self.closed = True

    camera_source._capture_stream_class = lambda: Replayed
    source = camera_source.CameraSource(record, mode, latest=False)
    start = time.process_time()
    count = sum(1 for _ in source)
    cpu = time.process_time() - start
    source.close()
    assert count == len(packets)
    return cpu / count


def demuxer_cpu(path: Path, stereo: bool) -> float:
    start = time.process_time()
    count = 0
    with av.open(str(path)) as container:
        for video_frame in container.decode(video=0):
            make_frame(video_frame.to_ndarray(format="bgr24"), video_frame.time, count, stereo)
            count += 1
    return (time.process_time() - start) / count


def bare_cpu(packets: list[bytes]) -> float:
    codec = av.CodecContext.create("mjpeg", "r")
    start = time.process_time()
    for data in packets:
        for frame in codec.decode(av.Packet(data)):
            frame.to_ndarray(format="bgr24")
    return (time.process_time() - start) / len(packets)


def main() -> None:
    record = VornCameraFacts.from_dict(facts_payload("AB12CD34"), os_id="/dev/video0")
    print("| mode | source | demuxer | bare decode | source / demuxer | source / bare |\n| --- | --- | --- | --- | --- | --- |")
    with tempfile.TemporaryDirectory() as tmp:
        for width, height in ((1280, 360), (2560, 720)):
            mode = CaptureMode(width, height, 30, "MJPG", stereo=True)
            packets = recorded_packets(width, height)
            path = Path(tmp) / f"{width}x{height}.mkv"
            write_mkv(path, packets, width, height)
            times: dict[str, list[float]] = {"source": [], "demuxer": [], "bare": []}
            for _ in range(ROUNDS):
                times["source"].append(source_cpu(record, mode, packets))
                times["demuxer"].append(demuxer_cpu(path, True))
                times["bare"].append(bare_cpu(packets))
            s, d, b = (statistics.median(times[k]) * 1000 for k in ("source", "demuxer", "bare"))
            print(f"| MJPG {width}x{height} | {s:.2f} ms | {d:.2f} ms | {b:.2f} ms | {s / d:.2f} | {s / b:.2f} |")
    print(f"(CPU per frame, median of {ROUNDS} rounds of {FRAMES} frames, load average {__import__('os').getloadavg()[0]:.2f})")


if __name__ == "__main__":
    sys.exit(main())
