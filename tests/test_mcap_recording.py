"""Lossless eye crops, stereo camera info, and MCAP recordings read back with
the MCAP reader and its ROS 2 decoder, converted to Matroska and back, and
cut short by SIGKILL."""

from __future__ import annotations

import json
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

av = pytest.importorskip("av")
np = pytest.importorskip("numpy")
pytest.importorskip("mcap_ros2")
cv2 = pytest.importorskip("cv2")

from harness.feeds import RECORD, Feed  # noqa: E402
from vorn_camera_sdk import jpeg  # noqa: E402
from vorn_camera_sdk.cameras.camera_spec import CaptureMode  # noqa: E402
from vorn_camera_sdk.mcap_recording import McapSource, convert, record_mcap  # noqa: E402
from vorn_camera_sdk.sources.factory import resolve_source_arg  # noqa: E402
from vorn_camera_sdk.sources.mkv_source import MkvSource  # noqa: E402
from vorn_camera_sdk.stereo_info import stereo_camera_info, stereo_transform  # noqa: E402

STEREO = CaptureMode(128, 36, 30, "MJPG", stereo=True)  # 64x36 eyes: the calibration's aspect


def planes(data):
    """The decoded YUV planes of a JPEG (no colour conversion in between)."""
    frame = av.CodecContext.create("mjpeg", "r").decode(av.Packet(data))[0]
    return [np.frombuffer(bytes(p), np.uint8).reshape(p.height, p.line_size)[:, : p.width] for p in frame.planes]


def without_huffman_tables(data):
    out, i = bytearray(data[:2]), 2
    while data[i + 1] != 0xDA:
        length = int.from_bytes(data[i + 2 : i + 4], "big")
        if data[i + 1] != 0xC4:
            out += data[i : i + 2 + length]
        i += 2 + length
    return bytes(out + data[i:])


def opencv_frame(width, height, *flags):
    pixels = np.clip(np.random.default_rng(width).normal(128, 40, (height, width, 3)), 0, 255).astype(np.uint8)
    return cv2.imencode(".jpg", pixels, list(flags))[1].tobytes()


def feed_frame(width, height):
    return next(iter(Feed(CaptureMode(width, height, 30, "MJPG", stereo=True), 3).packets())).data


# Camera-like frames (FFmpeg's: restart markers every row), without their
# Huffman tables as cameras send them, noisy frames without restarts (4:2:2
# and 4:2:0), and a progressive frame (cut by libjpeg-turbo's transform).
@pytest.mark.parametrize("make, width, height", [
    (lambda: feed_frame(128, 32), 128, 32),
    (lambda: feed_frame(1280, 360), 1280, 360),
    (lambda: without_huffman_tables(feed_frame(1280, 360)), 1280, 360),
    (lambda: opencv_frame(256, 48, cv2.IMWRITE_JPEG_QUALITY, 95,
                                cv2.IMWRITE_JPEG_SAMPLING_FACTOR, cv2.IMWRITE_JPEG_SAMPLING_FACTOR_422), 256, 48),
    (lambda: opencv_frame(256, 40, cv2.IMWRITE_JPEG_QUALITY, 80), 256, 40),  # a partial MCU row
    (lambda: opencv_frame(256, 48, cv2.IMWRITE_JPEG_PROGRESSIVE, 1), 256, 48),
], ids=["small", "1280x360", "camera-without-dht", "noisy-422", "noisy-420", "progressive"])
def test_eyes_are_cut_losslessly(make, width, height):
    data = make()
    left, right = jpeg.split_stereo(data)
    for whole, l_plane, r_plane in zip(planes(data), planes(left), planes(right), strict=True):
        half = whole.shape[1] // 2
        assert np.array_equal(whole[:, :half], l_plane) and np.array_equal(whole[:, half:], r_plane)
    assert jpeg.info(left)[:2] == jpeg.info(right)[:2] == (width // 2, height)


@pytest.mark.parametrize("call, message", [
    (lambda d: jpeg.split_stereo(d(120)), "not a multiple of its 16-pixel block width"),
    (lambda d: jpeg.crop(d(128), 4, 0, 16, 16), "block grid"),
    (lambda d: jpeg.crop(d(128), 64, 0, 128, 16), "outside the picture"),
    (lambda d: jpeg.split_stereo(b"not a jpeg"), "not a readable JPEG"),
])
def test_crops_off_the_block_grid_are_refused(call, message):
    def frame(width):
        return next(iter(Feed(CaptureMode(width, 32, 30, "MJPG", stereo=True), 1).packets())).data
    with pytest.raises(ValueError, match=message):
        call(frame)


@pytest.mark.parametrize("eye_width, eye_height", [(640, 360), (1280, 720), (64, 36)])
def test_camera_info_triangulates_the_calibrated_baseline_and_focal_length(eye_width, eye_height):
    calibration = RECORD.base_calibration
    left, right = stereo_camera_info(calibration, CaptureMode(2 * eye_width, eye_height, 30, "MJPG", stereo=True))
    scale = eye_width / calibration.left.width
    assert left.k[0] == pytest.approx(calibration.left.fx * scale) and left.k[4] == pytest.approx(
        calibration.left.fy * eye_height / calibration.left.height)
    assert left.distortion_model == "rational_polynomial" and left.d == calibration.left.distortion
    for info in (left, right):
        rotation = np.array(info.r).reshape(3, 3)
        assert np.allclose(rotation @ rotation.T, np.eye(3), atol=1e-9) and (info.width, info.height) == (
            eye_width, eye_height)
    p_left, p_right = np.array(left.p).reshape(3, 4), np.array(right.p).reshape(3, 4)
    # A point Z metres ahead on the left camera's rectified axis.
    depth = 2.0
    point = np.array([0.0, 0.0, depth, 1.0])
    u_left, u_right = (p_left @ point)[0] / depth, (p_right @ point)[0] / depth
    disparity = u_left - u_right
    baseline = -p_right[0, 3] / p_right[0, 0]
    assert baseline == pytest.approx(calibration.baseline, rel=1e-9)
    assert p_right[0, 0] * baseline / disparity == pytest.approx(depth)
    assert p_left[0, 0] == pytest.approx(calibration.left.fx * scale, rel=0.05)
    pose = stereo_transform(calibration)
    assert math.dist(pose.translation, (0, 0, 0)) == pytest.approx(calibration.baseline, rel=1e-4)
    assert pose.translation[0] > 0.05 and math.dist(pose.rotation, (0, 0, 0, 0)) == pytest.approx(1.0)


def read_back(path):
    from mcap.reader import make_reader
    from mcap_ros2.decoder import DecoderFactory

    with open(path, "rb") as fh:
        reader = make_reader(fh, decoder_factories=[DecoderFactory()])
        messages = [(channel.topic, message.sequence, decoded)
                    for _, channel, message, decoded in reader.iter_decoded_messages()]
        metadata = {m.name: m.metadata for m in reader.iter_metadata()}
    return messages, metadata


def test_an_mcap_recording_holds_every_frame_once_in_order_with_the_facts(tmp_path):
    feed = Feed(STEREO, 12, gaps={3: 2, 7: 1})
    out = tmp_path / "run.mcap"
    summary = record_mcap(feed, out)
    assert (summary.frames, summary.lost) == (12, 3)
    messages, metadata = read_back(out)
    sent = feed.sent
    by_topic = {}
    for topic, sequence, message in messages:
        by_topic.setdefault(topic, []).append((sequence, message))
    cut = [jpeg.split_stereo(p.data) for p in sent]
    for topic, eye, frame_id in (("/left/image_raw/compressed", 0, "camera_left_optical_frame"),
                                 ("/right/image_raw/compressed", 1, "camera_right_optical_frame")):
        assert [bytes(m.data) for _, m in by_topic[topic]] == [c[eye] for c in cut]
        assert {(m.format, m.header.frame_id) for _, m in by_topic[topic]} == {("jpeg", frame_id)}
    originals = by_topic["/stereo/image_raw/compressed"]
    assert [(s, bytes(m.data)) for s, m in originals] == [(p.sequence, p.data) for p in sent]
    stamps = [m.header.stamp.sec + m.header.stamp.nanosec * 1e-9 for _, m in originals]
    assert np.diff(stamps) == pytest.approx(np.diff([p.timestamp for p in sent]), abs=1e-6)
    right_info = by_topic["/right/camera_info"][0][1]
    assert len(by_topic["/right/camera_info"]) == 12 and right_info.distortion_model == "rational_polynomial"
    assert -right_info.p[3] / right_info.p[0] == pytest.approx(RECORD.base_calibration.baseline)
    (tf,) = [m for _, m in by_topic["/tf_static"]]
    assert (tf.transforms[0].header.frame_id, tf.transforms[0].child_frame_id) == (
        "camera_left_optical_frame", "camera_right_optical_frame")
    facts = metadata["vorn_camera"]
    assert json.loads(facts["camera_facts"]) == RECORD.to_dict() and facts["capture_mode"] == "128x36@30/MJPG"


def test_conversion_both_ways_keeps_every_jpeg_byte_and_replays_through_the_resolver(tmp_path):
    from vorn_camera_sdk.recording import record

    feed = Feed(STEREO, 10, gaps={4: 1})
    record(feed, tmp_path / "a.mkv")
    assert convert(tmp_path / "a.mkv", tmp_path / "b.mcap").frames == 10
    assert convert(tmp_path / "b.mcap", tmp_path / "c.mkv").frames == 10
    source = resolve_source_arg(str(tmp_path / "b.mcap"))
    assert isinstance(source, McapSource) and source.record == type(RECORD).from_dict(RECORD.to_dict(), os_id="")
    for replay in (source, MkvSource(tmp_path / "c.mkv")):
        packets = list(replay.packets())
        assert [p.data for p in packets] == [p.data for p in feed.sent]
        assert [p.dropped for p in packets] == [p.dropped for p in feed.sent]
        assert [p.timestamp for p in packets] == pytest.approx([p.timestamp - 5000 for p in feed.sent], abs=1e-3)
    frame = next(iter(McapSource(tmp_path / "b.mcap")))
    assert frame.left.shape == (36, 64, 3) and frame.stereo
    with pytest.raises(ValueError, match="convert takes"):
        convert(tmp_path / "a.mkv", tmp_path / "d.mkv")


def test_a_killed_mcap_recorder_leaves_its_flushed_frames(tmp_path):
    out = tmp_path / "cut.mcap"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(__file__).parent), *sys.path]))
    program = ("import sys; from harness.feeds import Feed; from vorn_camera_sdk.cameras.camera_spec import "
               "CaptureMode; from vorn_camera_sdk.mcap_recording import record_mcap; "
               "record_mcap(Feed(CaptureMode(128, 36, 30, 'MJPG', stereo=True), 100000, pace=True), sys.argv[1])")
    proc = subprocess.Popen([sys.executable, "-c", program, str(out)], env=env)
    deadline = time.monotonic() + 60
    # Chunks are flushed every second: wait until two of them reached the file.
    while time.monotonic() < deadline and (not out.exists() or out.stat().st_size < 60_000):
        time.sleep(0.1)
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=30)
    packets = list(McapSource(out).packets())
    assert len(packets) >= 30
    assert [p.data for p in packets] == [p.data for p in Feed(STEREO, len(packets)).packets()]


@pytest.mark.parametrize("argv, code, message", [
    (["convert", "{a}.mkv", "{a}.mcap"], 0, "wrote {a}.mcap: 6 frames"),
    (["convert", "{a}.mkv", "{a}.avi"], 2, "convert takes an .mkv recording to .mcap"),
    (["record", "runs/old.mcap", "new.mcap"], 2, "is a recording; record takes a live camera"),
    (["ros2", "{a}.mkv", "--reconnect", "5"], 2, "--mode and --reconnect apply to cameras"),
])
def test_recording_commands(tmp_path, capsys, argv, code, message):
    from vorn_camera_sdk.cli import main
    from vorn_camera_sdk.recording import record

    stem = str(tmp_path / "run")
    record(Feed(STEREO, 6), stem + ".mkv")
    assert main([arg.format(a=stem) for arg in argv]) == code
    out = capsys.readouterr()
    assert message.format(a=stem) in (out.out if code == 0 else out.err)
