"""The ROS 2 node, seen from a subscriber in another process over DDS on
loopback: a recording published by ``vorn-camera ros2``, and the emulated
camera (its stream at the engine seam) whose controls are set as parameters."""

from __future__ import annotations

import base64
import importlib.util
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
if importlib.util.find_spec("rclpy") is None:  # imported by the processes that use it, not here
    pytest.skip("rclpy is not installed (the ros2 extra)", allow_module_level=True)
pytest.importorskip("mcap_ros2")
pytest.importorskip("cv2")

from harness.devinfo import facts_payload  # noqa: E402
from harness.feeds import RECORD, Feed  # noqa: E402
from vorn_camera_sdk import jpeg  # noqa: E402
from vorn_camera_sdk.cameras import VornCameraFacts  # noqa: E402
from vorn_camera_sdk.cameras.camera_spec import CaptureMode  # noqa: E402
from vorn_camera_sdk.mcap_recording import record_mcap  # noqa: E402

STEREO = CaptureMode(128, 36, 30, "MJPG", stereo=True)  # 64x36 eyes: the calibration's aspect
# Under the sanitizer run: LeakSanitizer's exit-time scan crashes (its tracer
# takes SIGSEGV) in any process that ran Fast DDS, so ROS processes run
# with ASan's other checks but without the leak scan.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
EYE_TOPICS = [f"{eye}/{kind}" for eye in ("left", "right") for kind in ("image_raw", "image_raw/compressed",
                                                                         "camera_info")]


@pytest.fixture
def ros_env(monkeypatch):
    """DDS on loopback only, in a domain of this test run's own."""
    env = {"ROS_LOCALHOST_ONLY": "1", "ROS_AUTOMATIC_DISCOVERY_RANGE": "LOCALHOST",
           "ROS_DOMAIN_ID": str(100 + os.getpid() % 100)}
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(__file__).parent), *sys.path]))
    if SANITIZED:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return env


def probe(env, *args):
    return subprocess.Popen([sys.executable, "-m", "harness.ros2_probe", *args], env=env,
                            stdout=subprocess.PIPE, text=True)


def listen(env, namespace, count, seconds=60, *extra):
    proc = probe(env, "listen", namespace, str(seconds), str(count), *extra)
    assert proc.stdout.readline().strip() == "ready"
    return proc


def messages(proc):
    out, _ = proc.communicate(timeout=120)
    received = {}
    for line in out.splitlines():
        item = json.loads(line)
        received.setdefault(item["topic"], []).append(item)
    return received


def check_eyes(received, namespace, width, height, count, sent):
    """Every topic got ``count`` messages; sizes, encodings, frame ids, raw
    images that are the halves of the camera's decoded frame (``sent``
    packets), and the projections; returns the compressed eyes by stamp."""
    cuts = {jpeg.split_stereo(p.data): p.data for p in sent}
    assert sorted(received) == sorted(f"{namespace}/{t}" for t in EYE_TOPICS)
    assert {len(v) for v in received.values()} == {count}
    by_stamp = {}
    for eye in ("left", "right"):
        frame_id = f"camera_{eye}_optical_frame"
        for item in received[f"{namespace}/{eye}/image_raw"]:
            assert (item["width"], item["height"], item["encoding"], item["step"], item["frame_id"]) == (
                width, height, "bgr8", width * 3, frame_id)
        for item in received[f"{namespace}/{eye}/image_raw/compressed"]:
            assert (item["format"], item["frame_id"]) == ("jpeg", frame_id)
            by_stamp.setdefault(item["stamp_ns"], {})[eye] = base64.b64decode(item["data"])
    by_stamp = {stamp: eyes for stamp, eyes in by_stamp.items() if len(eyes) == 2}
    assert len(by_stamp) >= count // 2
    for stamp, eyes in by_stamp.items():
        whole = jpeg.decode_bgr(cuts[eyes["left"], eyes["right"]])
        for index, eye in enumerate(("left", "right")):
            for r in received[f"{namespace}/{eye}/image_raw"]:
                if r["stamp_ns"] == stamp:
                    pixels = np.frombuffer(base64.b64decode(r["data"]), np.uint8).reshape(height, width, 3)
                    assert np.array_equal(pixels, whole[:, index * width : (index + 1) * width])
    for eye in ("left", "right"):
        frame_id = f"camera_{eye}_optical_frame"
        info = received[f"{namespace}/{eye}/camera_info"][-1]
        assert (info["width"], info["height"], info["frame_id"]) == (width, height, frame_id)
    left_p = received[f"{namespace}/left/camera_info"][-1]["p"]
    right_p = received[f"{namespace}/right/camera_info"][-1]["p"]
    assert left_p[3] == 0 and -right_p[3] / right_p[0] == pytest.approx(RECORD.base_calibration.baseline)
    return by_stamp


def test_a_recording_published_by_the_command_reaches_another_process(tmp_path, ros_env):
    feed = Feed(STEREO, 240)
    record_mcap(feed, tmp_path / "run.mcap")
    listener = listen(ros_env, "/cam", 20)
    node = subprocess.Popen([sys.executable, "-m", "vorn_camera_sdk", "ros2", str(tmp_path / "run.mcap"),
                             "--namespace", "cam"], env=ros_env, stdout=subprocess.PIPE, text=True)
    received = messages(listener)
    node.terminate()
    assert node.wait(timeout=60) == 0
    by_stamp = check_eyes(received, "/cam", 64, 36, 20, feed.sent)
    # A recording is replayed with its capture times, moved to the replay's start.
    cuts = {round(p.timestamp * 30): jpeg.split_stereo(p.data) for p in feed.sent}
    stamps = sorted(by_stamp)
    # (The feed's pictures repeat, so the first pair received may equal an
    # earlier frame's: the frame it is, is the one the later stamps agree with.)
    received = [(round((stamp - stamps[0]) * 30 / 1e9), (by_stamp[stamp]["left"], by_stamp[stamp]["right"]))
                for stamp in stamps]
    starts = [i for i, cut in cuts.items() if cut == received[0][1]]
    assert any(all(cuts.get(first + step) == pair for step, pair in received) for first in starts)


def test_depth_is_published_in_metres_in_the_left_rectified_eye(tmp_path, ros_env):
    feed = Feed(STEREO, 120)
    record_mcap(feed, tmp_path / "run.mcap")
    listener = listen(ros_env, "/cam", 5, 60, "depth")
    node = subprocess.Popen([sys.executable, "-m", "vorn_camera_sdk", "ros2", str(tmp_path / "run.mcap"),
                             "--namespace", "cam", "--depth"], env=ros_env, stdout=subprocess.PIPE, text=True)
    received = messages(listener)
    node.terminate()
    assert node.wait(timeout=60) == 0
    image, info = received["/cam/depth/image_rect"][-1], received["/cam/depth/camera_info"][-1]
    width, height = info["width"], info["height"]
    assert (image["encoding"], image["width"], image["height"], image["step"]) == ("32FC1", width, height, 4 * width)
    assert image["frame_id"] == info["frame_id"] == "camera_left_optical_frame" and image["stamp_ns"] == info["stamp_ns"]
    assert info["d"] == [0.0] * 5 and info["r"] == [1.0, 0, 0, 0, 1.0, 0, 0, 0, 1.0] and info["p"][3] == 0
    depth = np.frombuffer(base64.b64decode(image["data"]), np.float32)
    assert depth.size == width * height and (np.isnan(depth) | (depth > 0)).all()  # metres, NaN where no match


@pytest.fixture
def live_camera(emu, monkeypatch):
    """The emulated camera (its controls on the node) with a stream of feed
    packets stamped on the monotonic clock as they are handed out."""
    from vorn_camera_sdk.platform.capture import Packet
    from vorn_camera_sdk.sources import camera_source

    sent = []

    class FeedStream:
        def __init__(self, os_id, mode, *, latest, serial):
            self.width, self.height, self.closed = mode.width, mode.height, False
            self.feed = Feed(mode, 100_000, pace=True)

        def __iter__(self):
            for packet in self.feed.packets():
                if self.closed:
                    return
                sent.append(Packet(packet.data, packet.sequence, time.monotonic(), 0))
                yield sent[-1]

        def close(self):
            self.closed = True

    monkeypatch.setattr(camera_source, "_capture_stream_class", lambda: FeedStream)
    cam = emu.add_camera("VORN Talvex AB12CD34", controls={"exposure": 156, "auto_exposure": 1, "gain": 3})
    record = VornCameraFacts.from_dict(facts_payload("AB12CD34"), os_id=cam.path)
    return camera_source.CameraSource(record, STEREO, latest=True), cam, sent


@pytest.mark.skipif(SANITIZED, reason="LeakSanitizer's exit scan crashes in a process that ran Fast DDS; "
                    "under the sanitizer the node runs in the recording test's subprocess")
def test_live_stamps_are_capture_times_and_parameters_reach_the_camera(live_camera, ros_env):
    from vorn_camera_sdk.ros2 import CameraNode

    source, cam, sent = live_camera
    listener = listen(ros_env, "/live", 10)
    with CameraNode(source, namespace="live", node_name="cam_node") as node:
        node.start()
        received = messages(listener)
        results = {}

        def set_param(name, value):
            out, _ = probe(ros_env, "param", "/live/cam_node", name, str(value)).communicate(timeout=120)
            results[(name, value)] = json.loads(out)

        for name, value in (("exposure", 200), ("auto_exposure", 2), ("gain", 999)):
            set_param(name, value)
        cam.node.set_control("auto_exposure", 3)  # automatic exposure: the node refuses exposure writes
        set_param("exposure", 300)
    by_stamp = check_eyes(received, "/live", 64, 36, 10, sent)
    # header.stamp = capture time + one clock offset (system minus monotonic time).
    # The feed's pictures repeat: of the packets with the same eyes, the one
    # captured nearest the stamp is the one published.
    clock = time.time() - time.monotonic()
    offsets = []
    for stamp, eyes in by_stamp.items():
        same = [p for p in sent if jpeg.split_stereo(p.data) == (eyes["left"], eyes["right"])]
        match = min(same, key=lambda p: abs(p.timestamp + clock - stamp / 1e9))
        offsets.append(stamp / 1e9 - match.timestamp)
    assert max(offsets) - min(offsets) < 1e-3 and abs(offsets[0] - clock) < 0.1
    assert results[("exposure", 200)] == {"successful": True, "reason": ""}
    written = [r.value for r in cam.node.requests("s_ctrl")]
    assert written[0] == 200 and 999 not in written and 2 not in written
    assert not results[("auto_exposure", 2)]["successful"]
    assert "not on its menu" in results[("auto_exposure", 2)]["reason"]
    assert not results[("gain", 999)]["successful"]
    assert not results[("exposure", 300)]["successful"]
    assert "refused exposure=300" in results[("exposure", 300)]["reason"]
    assert "auto_exposure" in results[("exposure", 300)]["reason"]
