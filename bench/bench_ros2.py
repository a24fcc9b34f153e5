"""The ROS 2 and MCAP paths, measured (run by hand; figures as ratios).

1. CPU per frame of the compressed path (both eyes cut out of the
   side-by-side MJPG frame losslessly) against what a generic driver does:
   decode the frame (libjpeg-turbo, or FFmpeg) and re-encode each eye as
   JPEG at the frame's own quality.
2. Latency from a frame's stamp to a subscriber's receipt in another
   process, median and 99th percentile, raw and compressed (a recording
   replayed by ``vorn-camera ros2``, so the stamp is the publishing time of
   a just-captured frame; DDS on loopback only).
3. CPU of recording into MCAP against recording into Matroska.

    python bench/bench_ros2.py
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import cv2  # noqa: E402
import numpy as np  # noqa: E402

from harness.feeds import Feed  # noqa: E402
from vorn_camera_sdk import jpeg  # noqa: E402
from vorn_camera_sdk.cameras.camera_spec import CaptureMode  # noqa: E402


class Packets:
    """Recorded packets handed out again, without the feed's encoding cost."""

    def __init__(self, mode: CaptureMode, packets: list) -> None:
        self.mode, self.sent = mode, packets
        self.record = Feed(mode, 0).record

    def packets(self):
        return iter(self.sent)

    def close(self) -> None:
        pass


def cpu_per_frame(fn, frames: list[bytes], rounds: int = 3) -> float:
    best = float("inf")
    for _ in range(rounds):
        began = time.process_time()
        for data in frames:
            fn(data)
        best = min(best, (time.process_time() - began) / len(frames))
    return best


# The standard luminance quantisation table (JPEG Annex K): a file's table
# against it gives the quality it was encoded at, as libjpeg scales it.
STD_LUMINANCE_SUM = sum([16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16, 24, 40, 57, 69,
                         56, 14, 17, 22, 29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81,
                         104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99])


def quality_of(data: bytes) -> int:
    """The libjpeg quality whose luminance table matches the frame's."""
    i = data.index(b"\xff\xdb") + 4
    table = data[i + 1 : i + 65] if data[i] >> 4 == 0 else None
    assert table is not None, "8-bit tables only"
    scale = sum(table) * 100 / STD_LUMINANCE_SUM
    return max(1, min(100, round((200 - scale) / 2 if scale <= 100 else 5000 / scale)))


def generic(data: bytes, quality: int) -> None:
    """libjpeg-turbo both ways (OpenCV): the cheapest generic driver."""
    image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
    half = image.shape[1] // 2
    for view in (image[:, :half], image[:, half:]):
        cv2.imencode(".jpg", view, [cv2.IMWRITE_JPEG_QUALITY, quality])


def generic_ffmpeg(data: bytes, quality: int, decoder=None) -> None:
    """FFmpeg's MJPEG decoder to BGR, as V4L2 drivers built on it decode, then
    OpenCV's encoder per eye, as the image transports encode."""
    import av

    frame = decoder.decode(av.Packet(data))[0]
    image = frame.to_ndarray(format="bgr24")
    half = image.shape[1] // 2
    for view in (image[:, :half], image[:, half:]):
        cv2.imencode(".jpg", view, [cv2.IMWRITE_JPEG_QUALITY, quality])


def textured(width: int, height: int, count: int) -> list[bytes]:
    """Frames with detail and sensor noise, 4:2:2 at quality 90 without
    restart markers: a harder case than the feed's smooth pictures."""
    rng = np.random.default_rng(7)
    base = cv2.resize(rng.integers(0, 256, (height // 8, width // 8, 3), dtype=np.uint8), (width, height))
    out = []
    for i in range(count):
        noisy = np.clip(np.roll(base, 4 * i, axis=1).astype(np.int16) + rng.normal(0, 4, base.shape), 0, 255)
        out.append(cv2.imencode(".jpg", noisy.astype(np.uint8),
                                [cv2.IMWRITE_JPEG_QUALITY, 90, cv2.IMWRITE_JPEG_SAMPLING_FACTOR,
                                 cv2.IMWRITE_JPEG_SAMPLING_FACTOR_422])[1].tobytes())
    return out


def compressed_path() -> None:
    import av

    for width, height in ((1280, 360), (2560, 720)):
        mode = CaptureMode(width, height, 30, "MJPG", stereo=True)
        for kind, frames in (("feed", [p.data for p in Feed(mode, 60).packets()]),
                             ("textured", textured(width, height, 30))):
            quality = quality_of(frames[0])
            ours = cpu_per_frame(jpeg.split_stereo, frames)
            turbo = cpu_per_frame(lambda d: generic(d, quality), frames)
            decoder = av.CodecContext.create("mjpeg", "r")
            ffmpeg = cpu_per_frame(lambda d: generic_ffmpeg(d, quality, decoder), frames)
            size = sum(map(len, frames)) // len(frames) // 1024
            print(f"compressed path {width}x{height} {kind} ({size} KB, quality {quality}): lossless cut "
                  f"{ours * 1e3:.3f} ms/frame; decode + re-encode: libjpeg-turbo {turbo * 1e3:.3f} ms "
                  f"({turbo / ours:.1f}x), FFmpeg decode {ffmpeg * 1e3:.3f} ms ({ffmpeg / ours:.1f}x)")


def latency(folder: Path) -> None:
    from vorn_camera_sdk.mcap_recording import record_mcap

    mode = CaptureMode(1280, 360, 30, "MJPG", stereo=True)
    path = folder / "latency.mcap"
    record_mcap(Feed(mode, 450), path)
    env = dict(os.environ, ROS_LOCALHOST_ONLY="1", ROS_AUTOMATIC_DISCOVERY_RANGE="LOCALHOST",
               ROS_DOMAIN_ID=str(150 + os.getpid() % 50),
               PYTHONPATH=os.pathsep.join([str(HERE.parent / "tests"), *sys.path]))
    listener = subprocess.Popen([sys.executable, "-m", "harness.ros2_probe", "listen", "/bench", "60", "300"],
                                env=env, stdout=subprocess.PIPE, text=True)
    assert listener.stdout is not None and listener.stdout.readline().strip() == "ready"
    node = subprocess.Popen([sys.executable, "-m", "vorn_camera_sdk", "ros2", str(path), "--namespace", "bench"],
                            env=env, stdout=subprocess.DEVNULL)
    out, _ = listener.communicate(timeout=120)
    node.terminate()
    node.wait(timeout=60)
    delays: dict[str, list[float]] = {"raw": [], "compressed": []}
    for line in out.splitlines():
        item = json.loads(line)
        kind = "compressed" if item["topic"].endswith("compressed") else "raw" if "image_raw" in item["topic"] else None
        if kind and item["topic"].startswith("/bench/left"):
            delays[kind].append((item["received"] - item["stamp"]) * 1e3)
    for kind, values in delays.items():
        values.sort()
        print(f"latency {kind} 1280x360@30 (left eye, {len(values)} frames): median {statistics.median(values):.2f} ms, "
              f"p99 {values[int(len(values) * 0.99) - 1]:.2f} ms")


def recorders(folder: Path) -> None:
    from vorn_camera_sdk.mcap_recording import record_mcap
    from vorn_camera_sdk.recording import record

    mode = CaptureMode(1280, 360, 30, "MJPG", stereo=True)
    packets = list(Feed(mode, 300).packets())
    cpu = {}
    for name, fn, suffix in (("matroska", record, ".mkv"), ("mcap", record_mcap, ".mcap")):
        best = float("inf")
        for _ in range(3):
            began = time.process_time()
            fn(Packets(mode, packets), folder / f"rec{suffix}")
            best = min(best, time.process_time() - began)
        cpu[name] = best / len(packets)
    print(f"recorder CPU 1280x360: Matroska {cpu['matroska'] * 1e3:.3f} ms/frame, MCAP {cpu['mcap'] * 1e3:.3f} "
          f"ms/frame: MCAP costs {cpu['mcap'] / cpu['matroska']:.2f}x the Matroska recorder")


if __name__ == "__main__":
    compressed_path()
    with tempfile.TemporaryDirectory() as tmp:
        recorders(Path(tmp))
        latency(Path(tmp))
