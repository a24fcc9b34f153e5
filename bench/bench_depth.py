"""Depth throughput and accuracy: the SDK's pipeline against the one OpenCV's
documentation leads a user to write, on rendered scenes with known depth; the
matcher's share of the SDK's time; and the age of live depth.

Run by hand with the package installed with its depth extra:

    python3 bench/bench_depth.py [SECONDS_PER_CASE]

The documentation pipeline: decode the whole JPEG in colour, convert it to
grey, remap each eye with float tables to the same output size, and run
OpenCV's StereoSGBM in its default mode with the same disparity range, block
size and penalties. Both run from undecoded MJPG packets to depth in metres.
"""

from __future__ import annotations

import statistics
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import cv2  # noqa: E402
import numpy as np  # noqa: E402

import depth_scenes as ds  # noqa: E402
from vorn_camera_sdk.depth import DepthEstimator  # noqa: E402

PLANES = ("plane-0.7m", "plane-1.2m", "plane-2.0m")


class DocsPipeline:
    """Full colour decode, cvtColor, float remap tables, StereoSGBM default mode."""

    def __init__(self, estimator: DepthEstimator) -> None:
        r = estimator.rectifier
        self.eye = r.eye_size[0]
        self.maps = [cv2.initUndistortRectifyMap(r.camera_matrices[i], r.distortions[i], r.rotations[i],
                                                 r.projections[i], r.size, cv2.CV_32FC1) for i in (0, 1)]
        params = dict(estimator.parameters)
        params.pop("mode")
        self.matcher = cv2.StereoSGBM_create(**params)
        self.fb = r.focal_length * r.baseline

    def __call__(self, data: bytes) -> np.ndarray:
        image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
        grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
        left = cv2.remap(grey[:, : self.eye], *self.maps[0], cv2.INTER_LINEAR)
        right = cv2.remap(grey[:, self.eye :], *self.maps[1], cv2.INTER_LINEAR)
        disparity = self.matcher.compute(left, right).astype(np.float32) / 16.0
        disparity[disparity <= 0] = np.nan
        return self.fb / disparity


class Packet:
    def __init__(self, data: bytes, sequence: int = 0, timestamp: float = 0.0) -> None:
        self.data, self.sequence, self.timestamp, self.dropped = data, sequence, timestamp, 0


def fps(func, items, seconds: float) -> float:
    done, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        func(items[done % len(items)])
        done += 1
    return done / (time.perf_counter() - start)


def accuracy(depth_of, estimator: DepthEstimator, packets: dict) -> tuple[float, float]:
    """Median relative depth error and valid share over the planes' matchable area."""
    errors, valid = [], []
    margin = estimator.parameters["numDisparities"]
    for name in PLANES:
        depth = depth_of(packets[name])
        truth = ds.true_depth(name, estimator.rectifier)
        area = np.zeros(depth.shape, bool)
        area[:, margin:] = True
        ok = area & np.isfinite(depth)
        errors.append(float(np.median(np.abs(depth[ok] - truth[ok]) / truth[ok])))
        valid.append(ok.sum() / area.sum())
    return max(errors), min(valid)


def stages(estimator: DepthEstimator, data: bytes, rounds: int = 60) -> dict[str, float]:
    """Median milliseconds of each step of the SDK's pipeline; "rest" is the
    whole computation less the three steps (disparity to metres, the record)."""
    times: dict[str, list[float]] = {"decode": [], "rectify": [], "match": [], "whole": []}
    packet = Packet(data)
    for _ in range(rounds):
        t0 = time.perf_counter()
        left, right = estimator._grey_pair(data)
        t1 = time.perf_counter()
        rl, rr = estimator._rectify(left, right)
        t2 = time.perf_counter()
        estimator.matcher.compute(rl, rr)
        t3 = time.perf_counter()
        estimator.compute(packet)
        t4 = time.perf_counter()
        for name, value in zip(times, (t1 - t0, t2 - t1, t3 - t2, t4 - t3)):
            times[name].append(value * 1000)
    out = {name: statistics.median(values) for name, values in times.items()}
    out["rest"] = max(0.0, out.pop("whole") - out["decode"] - out["rectify"] - out["match"])
    return out


def live_latency(seconds: float) -> None:
    """Depth age on a live source fed at 30 fps through the engine seam."""
    from vorn_camera_sdk.sources import camera_source
    from vorn_camera_sdk.sources.camera_source import CameraSource

    mode = ds.SMALL
    data = [ds.encode(ds.render(name, mode), "MJPG") for name in PLANES]
    interval = 1.0 / mode.fps

    class PacedStream:
        def __init__(self, os_id, mode, *, latest, serial):
            self.width, self.height, self.closed = mode.width, mode.height, threading.Event()

        def __iter__(self):
            from vorn_camera_sdk.platform.capture import Packet as EnginePacket

            sequence, start = 0, time.monotonic()
            while not self.closed.is_set():
                due = start + sequence * interval
                self.closed.wait(max(0.0, due - time.monotonic()))
                yield EnginePacket(data[sequence % len(data)], sequence, time.monotonic(), 0)
                sequence += 1

        def close(self):
            self.closed.set()

    camera_source._capture_stream_class = lambda: PacedStream
    estimator = DepthEstimator(ds.CALIBRATION, mode)
    compute = statistics.median(
        [(lambda t: (estimator.compute(Packet(data[0])), time.perf_counter() - t)[1])(time.perf_counter())
         for _ in range(30)])
    ages, dropped, got = [], 0, 0
    with CameraSource(ds.RECORD, mode) as source:
        start = time.monotonic()
        for depth in source.depth():
            ages.append(time.monotonic() - depth.timestamp)
            dropped += depth.dropped
            got += 1
            time.sleep(0.05)  # a consumer slower than the camera
            if time.monotonic() - start > seconds:
                break
    ages.sort()
    print(f"live, 30 fps, consumer at 20 Hz: depth age median {statistics.median(ages) * 1000:.1f} ms, "
          f"p95 {ages[int(len(ages) * 0.95)] * 1000:.1f} ms; bound (one computation {compute * 1000:.1f} ms "
          f"+ one frame interval {interval * 1000:.1f} ms) {(compute + interval) * 1000:.1f} ms; "
          f"{got} delivered, {dropped} skipped and counted")


def viewer_views(seconds: float) -> None:
    """Frames per second a client of the viewer's stream gets, and the CPU
    the process spends (server and this reader), per view of a recording."""
    import json
    import tempfile
    import urllib.request

    from vorn_camera_sdk.recording import record
    from vorn_camera_sdk.sources.mkv_source import MkvSource
    from vorn_camera_sdk.viewer import Viewer

    path = Path(tempfile.mkdtemp(prefix="vorn-bench-")) / "step.mkv"
    frames = int(30 * (seconds + 2) * 3)
    record(ds.RenderedFeed(ds.SMALL, ["step"] * frames), path)
    with Viewer(MkvSource(path)) as viewer:
        for view in ("picture", "rectified", "depth"):
            ask = urllib.request.Request(viewer.url + "players", b"{}", {"Content-Type": "application/json"})
            player = json.loads(urllib.request.urlopen(ask, timeout=20).read())["player"]
            with urllib.request.urlopen(f"{viewer.url}stream.mjpg?player={player}&view={view}", timeout=20) as stream:
                parts, start, cpu = 0, time.monotonic(), time.process_time()
                while time.monotonic() - start < seconds:
                    line = stream.readline()
                    if line.startswith(b"Content-Length:"):
                        parts += 1
                wall, used = time.monotonic() - start, time.process_time() - cpu
            print(f"viewer, {ds.SMALL.width}x{ds.SMALL.height} MJPG recording at 30 fps, view {view:9}: "
                  f"{parts / wall:5.1f} frames/s to the client, process CPU {used / wall * 100:5.1f} % of one core")


def compare(mode, seconds: float) -> None:
    packets = {name: ds.encode(ds.render(name, mode), "MJPG") for name in PLANES}
    items = list(packets.values())
    ours = DepthEstimator(ds.CALIBRATION, mode)
    docs = DocsPipeline(ours)
    ours_fps = fps(lambda d: ours.compute(Packet(d)), items, seconds)
    docs_fps = fps(docs, items, seconds)
    ours_err, ours_valid = accuracy(lambda d: ours.compute(Packet(d)).depth, ours, packets)
    docs_err, docs_valid = accuracy(docs, ours, packets)
    steps = stages(ours, items[1])
    total = sum(steps.values())
    w, h = ours.size
    print(f"{mode.width}x{mode.height} MJPG -> {w}x{h} depth, {ours.parameters['numDisparities']} disparities, "
          f"{cv2.getNumThreads()} OpenCV threads:")
    print(f"  sdk  {ours_fps:7.1f} fps  worst plane error {ours_err * 100:.2f} %  valid >= {ours_valid * 100:.1f} %")
    print(f"  docs {docs_fps:7.1f} fps  worst plane error {docs_err * 100:.2f} %  valid >= {docs_valid * 100:.1f} %")
    print(f"  ratio {ours_fps / docs_fps:.2f}x")
    print("  sdk steps (ms): " + ", ".join(f"{k} {v:.2f}" for k, v in steps.items())
          + f"; matcher {steps['match'] / total * 100:.0f} % of {total:.2f} ms, ours "
          f"{(total - steps['match']) / total * 100:.0f} %")


def main() -> None:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 4.0
    print(f"OpenCV {cv2.__version__}")
    threads = cv2.getNumThreads()
    for count in (threads, 1):
        cv2.setNumThreads(count)
        for mode in (ds.SMALL, ds.LARGE):
            compare(mode, seconds)
    cv2.setNumThreads(threads)
    live_latency(seconds * 2)
    viewer_views(seconds)


if __name__ == "__main__":
    main()
