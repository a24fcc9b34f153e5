"""Depth from the factory calibration, checked against rendered scenes with
known geometry (tests/depth_scenes.py): rectification on projected points,
depth on planes, a slanted plane and a step, MJPG and YUYV, a mode scaled from
the calibrated size; replay against live; the depth command's files."""

from __future__ import annotations

import dataclasses
import errno
import json
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

cv2 = pytest.importorskip("cv2")
np = pytest.importorskip("numpy")
pytest.importorskip("av")

import depth_scenes as ds  # noqa: E402
from vorn_camera_sdk.cameras.camera_spec import CaptureMode  # noqa: E402
from vorn_camera_sdk.cli import main  # noqa: E402
from vorn_camera_sdk.depth import DepthEstimator, Rectifier  # noqa: E402
from vorn_camera_sdk.platform.capture import Packet  # noqa: E402
from vorn_camera_sdk.recording import record  # noqa: E402
from vorn_camera_sdk.sources import camera_source  # noqa: E402
from vorn_camera_sdk.sources.camera_source import CameraSource  # noqa: E402
from vorn_camera_sdk.sources.mkv_source import MkvSource  # noqa: E402


@pytest.mark.parametrize("mode, scale", [(ds.SMALL, 1.0), (ds.SMALL, 0.5), (ds.LARGE, 1.0), (ds.LARGE, 0.25)])
def test_both_projections_of_a_point_land_on_one_rectified_row(mode, scale):
    rng = np.random.default_rng(3)
    points = np.stack([rng.uniform(-0.5, 0.5, 400), rng.uniform(-0.3, 0.3, 400), rng.uniform(0.5, 4.0, 400)], 1)
    rectifier = Rectifier.from_calibration(ds.CALIBRATION, mode, scale=scale)
    left = rectifier.rectify_points(ds.project(points, mode, "left"), "left")
    right = rectifier.rectify_points(ds.project(points, mode, "right"), "right")
    assert np.abs(left[:, 1] - right[:, 1]).max() < 0.01
    # The column shift is the disparity f * B / Z (Z in the rectified frame).
    z = (points @ rectifier.rotations[0].T)[:, 2]
    expected = rectifier.focal_length * rectifier.baseline / z
    assert np.abs((left[:, 0] - right[:, 0]) - expected).max() < 0.01
    assert rectifier.baseline == pytest.approx(ds.CALIBRATION.baseline, rel=1e-9)


@pytest.mark.parametrize("mode, scale", [(ds.SMALL, 0.5), (ds.SMALL_YUYV, 0.5), (ds.SMALL, 0.25), (ds.LARGE, 0.25)])
def test_a_reduced_decode_rectifies_onto_the_full_size_view(mode, scale):
    # The JPEG decoded at reduced size (or YUYV luma shrunk) and rectified
    # with the reduced tables is the full-size rectified view, only coarser.
    packet = Packet(ds.encode(ds.render("plane-1.2m", mode), mode.fourcc), 0, 0.0, 0)
    full = DepthEstimator(ds.CALIBRATION, mode, scale=1).compute(packet)
    reduced = DepthEstimator(ds.CALIBRATION, mode, scale=scale).compute(packet)
    for big, small in ((full.rectified_left, reduced.rectified_left), (full.rectified_right, reduced.rectified_right)):
        shrunk = cv2.resize(big, small.shape[::-1], interpolation=cv2.INTER_AREA)
        (dx, dy), _ = cv2.phaseCorrelate(shrunk.astype(np.float32), small.astype(np.float32))
        assert abs(dx) < 0.06 and abs(dy) < 0.06


def matchable(depth, estimator):
    area = np.zeros(depth.shape, bool)
    area[:, estimator.parameters["numDisparities"] :] = True  # the matcher's own left margin
    return area


@pytest.mark.parametrize("scene, mode, preset", [
    ("plane-0.7m", ds.SMALL, "fast"),
    ("plane-1.2m", ds.SMALL, "fast"),
    ("plane-2.0m", ds.SMALL, "fast"),
    ("plane-1.2m", ds.SMALL_YUYV, "fast"),
    ("slanted", ds.SMALL, "fast"),
    ("plane-2.0m", ds.SMALL, "quality"),
    ("slanted", ds.LARGE, "fast"),
    ("plane-1.2m", ds.LARGE, "quality"),
])
def test_depth_of_rendered_scenes_is_within_a_few_per_cent(scene, mode, preset):
    estimator = DepthEstimator(ds.CALIBRATION, mode, preset=preset)
    frame = estimator.compute(Packet(ds.encode(ds.render(scene, mode), mode.fourcc), 7, 1.5, 0), index=3)
    truth = ds.true_depth(scene, estimator.rectifier)
    area = matchable(frame.depth, estimator)
    ok = area & frame.valid
    error = np.abs(frame.depth[ok] - truth[ok]) / truth[ok]
    assert ok.sum() / area.sum() > 0.95
    assert np.median(error) < 0.045 and np.percentile(error, 90) < 0.08
    assert (frame.index, frame.sequence, frame.timestamp) == (3, 7, 1.5)
    assert np.isnan(frame.depth[~frame.valid]).all() and np.isnan(frame.disparity[~frame.valid]).all()
    assert frame.depth.dtype == np.float32 and frame.depth.shape == estimator.size[::-1]


@pytest.mark.parametrize("mode", [ds.SMALL, ds.LARGE])
def test_the_step_edge_is_where_it_is(mode):
    estimator = DepthEstimator(ds.CALIBRATION, mode)
    frame = estimator.compute(Packet(ds.encode(ds.render("step", mode), "MJPG"), 0, 0.0, 0))
    truth = ds.true_depth("step", estimator.rectifier)
    middle = (ds.SCENES["step"].near + ds.SCENES["step"].far) / 2
    rows = range(frame.depth.shape[0] // 4, 3 * frame.depth.shape[0] // 4)
    found = [np.argmax(np.nan_to_num(frame.depth[r], nan=0) > middle) for r in rows]
    expected = [np.argmax(truth[r] > middle) for r in rows]
    assert np.median(np.abs(np.subtract(found, expected))) <= 1.0


def test_depth_images_point_cloud_and_ply_agree(tmp_path):
    estimator = DepthEstimator(ds.CALIBRATION, ds.SMALL)
    frame = estimator.compute(ds.render("slanted", ds.SMALL))  # a whole BGR image
    mm = frame.depth_mm()
    assert mm.dtype == np.uint16 and (mm[~frame.valid] == 0).all()
    assert np.abs(mm[frame.valid] - frame.depth[frame.valid] * 1000).max() <= 0.5
    points, colours = frame.point_cloud()
    assert np.allclose(cv2.reprojectImageTo3D(frame.disparity, estimator.rectifier.q)[frame.valid], points, rtol=1e-4)
    assert points.shape == colours.shape == (frame.valid.sum(), 3) and points.dtype == np.float32
    assert colours.dtype == np.uint8 and colours[:, 0].mean() > colours[:, 2].mean()  # the scene is bluish
    # The slanted plane Z - 0.5 X = 1.1 of the left camera's frame, seen in the rectified frame.
    unrotated = points @ estimator.rectifier.rotations[0]
    residual = unrotated[:, 2] - 0.5 * unrotated[:, 0] - 1.1
    assert np.median(np.abs(residual)) < 0.02
    count = frame.write_ply(tmp_path / "cloud.ply")
    data = (tmp_path / "cloud.ply").read_bytes()
    header, body = data.split(b"end_header\n", 1)
    assert f"element vertex {count}".encode() in header and len(body) == count * 15 == len(points) * 15


def test_replay_gives_every_frame_deterministically_and_live_gives_the_same_depth(tmp_path, monkeypatch):
    feed = ds.RenderedFeed(ds.SMALL, ["plane-0.7m", "slanted", "step", "plane-1.2m", "plane-2.0m", "step"] * 2)
    record(feed, tmp_path / "run.mkv")
    replayed = list(MkvSource(tmp_path / "run.mkv").depth())
    again = list(MkvSource(tmp_path / "run.mkv").depth())
    assert [d.index for d in replayed] == list(range(len(feed.sent)))
    assert [d.sequence for d in replayed] == list(range(len(feed.sent)))  # rebuilt from the frame times
    for a, b in zip(replayed, again, strict=True):
        assert np.array_equal(a.disparity, b.disparity, equal_nan=True)

    class EngineStream:  # the capture engine's stream over the recorded packets
        def __init__(self, os_id, mode, *, latest, serial):
            self.width, self.height, self.closed = mode.width, mode.height, False

        def __iter__(self):
            for packet in feed.sent:
                if self.closed:
                    return
                yield packet

        def close(self):
            self.closed = True

    monkeypatch.setattr(camera_source, "_capture_stream_class", lambda: EngineStream)
    live = []
    with CameraSource(ds.RECORD, ds.SMALL) as source:
        for depth in source.depth():
            live.append(depth)
            time.sleep(0.03)  # a consumer slower than the matcher: older results are skipped
    assert [d.index for d in live] == list(range(len(live)))
    assert sum(d.dropped + 1 for d in live) == len(feed.sent)
    for depth in live:
        twin = replayed[depth.sequence - 100]
        assert np.array_equal(depth.disparity, twin.disparity, equal_nan=True)
    deadline = time.monotonic() + 10
    while any(t.name == "vorn-depth" for t in threading.enumerate()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(t.name == "vorn-depth" for t in threading.enumerate())


def test_a_camera_lost_while_depth_flows_raises_after_the_newest_depth(monkeypatch):
    from vorn_camera_sdk.platform.capture import DeviceLostError

    feed = ds.RenderedFeed(ds.SMALL, ["plane-1.2m", "plane-0.7m"])

    class VanishingStream:
        def __init__(self, os_id, mode, *, latest, serial):
            self.width, self.height = mode.width, mode.height

        def __iter__(self):
            yield from feed.sent
            raise DeviceLostError(errno.ENODEV, "VORN camera AB12CD34 was unplugged", "/dev/video0")

        def close(self):
            pass

    monkeypatch.setattr(camera_source, "_capture_stream_class", lambda: VanishingStream)
    got = []
    with CameraSource(ds.RECORD, ds.SMALL) as source, pytest.raises(DeviceLostError, match="unplugged"):
        for depth in source.depth():
            got.append(depth.sequence)
    assert got[-1] == 101  # the newest depth before the loss is handed out first


def test_depth_command_writes_the_files_of_a_recording(tmp_path, capsys):
    feed = ds.RenderedFeed(ds.SMALL, ["plane-2.0m", "plane-1.2m"])
    record(feed, tmp_path / "run.mkv")
    assert main(["depth", str(tmp_path / "run.mkv"), "-o", str(tmp_path / "out"), "--at", "0.03"]) == 0
    names = ["depth.png", "depth_color.png", "left_rectified.png", "right_rectified.png", "cloud.ply"]
    assert capsys.readouterr().out.split() == [str(tmp_path / "out" / n) for n in names]
    mm = cv2.imread(str(tmp_path / "out" / "depth.png"), cv2.IMREAD_UNCHANGED)
    assert mm.dtype == np.uint16 and abs(np.median(mm[mm > 0]) - 1200) < 40
    assert f"element vertex {(mm > 0).sum()}\n".encode() in (tmp_path / "out" / "cloud.ply").read_bytes()[:300]
    assert cv2.imread(str(tmp_path / "out" / "left_rectified.png")).shape == (180, 320, 3)


def read_part(stream):
    assert stream.readline() == b"--vornframe\r\n"
    head = dict(line.rstrip(b"\r\n").split(b": ", 1) for line in iter(stream.readline, b"\r\n"))
    body = stream.read(int(head[b"Content-Length"]))
    stream.readline()
    return cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_COLOR)


def test_viewer_shows_rectified_and_depth_views_only_while_watched(tmp_path):
    from vorn_camera_sdk.viewer import Viewer

    record(ds.RenderedFeed(ds.SMALL, ["plane-1.2m"] * 450), tmp_path / "run.mkv")
    with Viewer(MkvSource(tmp_path / "run.mkv")) as viewer:
        get = lambda path: urllib.request.urlopen(viewer.url + path, timeout=20)  # noqa: E731
        info = json.loads(get("info").read())
        assert info["views"] == ["picture", "rectified", "depth"]
        right = info["camera"]["views"][1]  # the calibration in the mode's pixels, distortion and pose too
        assert (right["fx"], right["cy"], right["p1"], right["k3"]) == (713.1 / 2, 360.9 / 2, 0.0003, 0.0009)
        assert right["translation"] == [-0.0601, 0.0002, 0.0004] and right["width"] == 640
        ask = urllib.request.Request(viewer.url + "players", b"{}", {"Content-Type": "application/json"})
        player = json.loads(urllib.request.urlopen(ask, timeout=20).read())["player"]
        hub = viewer.players[player].hub
        with get(f"stream.mjpg?player={player}&view=rectified") as stream:
            assert read_part(stream).shape == (180, 640, 3)
        assert hub.encoder("depth") is None  # nobody looked at depth yet: none computed
        with get(f"stream.mjpg?player={player}&view=depth") as stream:
            assert read_part(stream).shape == (180, 320, 3)
            depth_view = hub.encoder("depth")
            shown = [read_part(stream) for _ in range(3)]
        assert len(shown) == 3
        reading = json.loads(get(f"depth?player={player}&x=0.6&y=0.5").read())
        assert reading["distance"] == pytest.approx(1.2, rel=0.04) and 1.0 < reading["near"] < reading["far"] < 1.4
        assert [m for m, _ in reading["stops"]] == pytest.approx(np.linspace(reading["near"], reading["far"], 6))
        # Still playing, but no page shows depth: once the server has seen
        # the page go (a frame may be on its way meanwhile), none is computed.
        player_state, deadline = viewer.players[player], time.monotonic() + 8
        while True:
            computed, position = depth_view.latest.sequence, player_state.position
            time.sleep(0.5)
            if depth_view.latest.sequence == computed and player_state.position > position:
                break
            assert time.monotonic() < deadline, "depth is still computed with no page showing it"
        with pytest.raises(urllib.error.HTTPError) as refused:
            get(f"depth?player={player}&x=left&y=0.5")
        assert refused.value.code == 400


@pytest.mark.parametrize("calibration, mode, options, error, message", [
    (None, ds.SMALL, {}, ValueError, "vorn-camera facts SERIAL -o FILE"),
    (ds.CALIBRATION, CaptureMode(640, 360, 30, "MJPG", stereo=False), {}, ValueError, "stereo capture mode"),
    (ds.CALIBRATION, CaptureMode(1280, 480, 30, "MJPG", stereo=True), {}, ValueError, "aspect"),
    (dataclasses.replace(ds.CALIBRATION, cameras=(ds.CALIBRATION.left, dataclasses.replace(
        ds.CALIBRATION.right, translation=(0.0601, 0.0002, 0.0004)))), ds.SMALL, {}, ValueError, "not to its right"),
    (ds.CALIBRATION, ds.SMALL, {"preset": "best"}, ValueError, "preset must be one of 'fast', 'quality'"),
    (ds.CALIBRATION, ds.SMALL, {"scale": 0.3}, ValueError, "scale must be 1, 1/2, 1/4 or 1/8"),
    (ds.CALIBRATION, ds.SMALL, {"windowSize": 3}, TypeError, "unknown matcher parameter 'windowSize'"),
])
def test_what_depth_refuses_is_said_in_one_sentence(calibration, mode, options, error, message):
    with pytest.raises(error, match=message):
        DepthEstimator(calibration, mode, **options)


@pytest.mark.parametrize("argv, message", [
    (["depth", "{dir}/plain.mkv"], "{dir}/plain.mkv carries no camera calibration; depth needs"),
    (["depth", "{dir}/plain.mkv", "--facts", "{dir}/run.mkv"], "is not a camera facts file"),
    (["depth", "{dir}/run.mkv", "--at", "9"], "has no frame at 9.0 s"),
])
def test_depth_command_refusals(tmp_path, capsys, argv, message):
    feed = ds.RenderedFeed(ds.SMALL, ["plane-1.2m"])
    record(feed, tmp_path / "run.mkv")
    feed.record = None
    record(feed, tmp_path / "plain.mkv")
    assert main([a.format(dir=tmp_path) for a in argv]) == 2
    assert message.format(dir=tmp_path) in capsys.readouterr().err
    (tmp_path / "facts.json").write_text(json.dumps(ds.RECORD.to_dict()))
    assert main(["depth", str(tmp_path / "plain.mkv"), "--facts", str(tmp_path / "facts.json"), "-o", str(tmp_path)]) == 0


def test_missing_opencv_names_the_extra(tmp_path, monkeypatch, capsys):
    record(ds.RenderedFeed(ds.SMALL, ["plane-1.2m"]), tmp_path / "run.mkv")
    monkeypatch.setitem(sys.modules, "cv2", None)
    with pytest.raises(ImportError, match=r"pip install 'vorn-camera-sdk\[depth\]'"):
        DepthEstimator(ds.CALIBRATION, ds.SMALL)
    assert main(["depth", str(tmp_path / "run.mkv"), "-o", str(tmp_path)]) == 1
    assert capsys.readouterr().err == "vorn-camera: depth needs OpenCV: pip install 'vorn-camera-sdk[depth]'.\n"
