"""The recorder and snapshots: packet feeds recorded into Matroska, replayed
with MkvSource, a recorder interrupted from outside, PNG snapshots."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

av = pytest.importorskip("av")
np = pytest.importorskip("numpy")

from harness.feeds import RECORD, Feed  # noqa: E402
from vorn_camera_sdk.cameras.camera_spec import CaptureMode  # noqa: E402
from vorn_camera_sdk.cli import main  # noqa: E402
from vorn_camera_sdk.recording import decode_packet, parse_mode, record, snapshot  # noqa: E402
from vorn_camera_sdk.sources.factory import resolve_source_arg  # noqa: E402
from vorn_camera_sdk.sources.mkv_source import MkvSource  # noqa: E402

STEREO_MJPG = CaptureMode(128, 32, 30, "MJPG", stereo=True)
MONO_YUYV = CaptureMode(64, 16, 10, "YUYV", stereo=False)
GAPS = {0: 4, 3: 2, 7: 1}  # the 4 lost before the first frame are no loss of the recording


@pytest.mark.parametrize("mode", [STEREO_MJPG, MONO_YUYV], ids=["stereo-mjpg", "mono-yuyv"])
def test_replay_gives_back_the_recorded_packets_times_losses_and_facts(tmp_path, mode):
    feed = Feed(mode, 12, gaps=GAPS)
    out = tmp_path / "run.mkv"
    summary = record(feed, out)
    sent = feed.sent
    assert (summary.frames, summary.lost, summary.size) == (12, 3, out.stat().st_size)
    assert summary.duration == pytest.approx(sent[-1].timestamp - sent[0].timestamp)

    source = resolve_source_arg(str(out))
    assert isinstance(source, MkvSource)
    assert float(source.metadata["VORN_CAPTURE_START"]) == pytest.approx(sent[0].timestamp, abs=1e-6)
    assert source.record == type(RECORD).from_dict(RECORD.to_dict(), os_id="")
    assert (source.stereo, source.mode.width, source.mode.fps, source.mode.fourcc) == (
        mode.stereo, mode.width, mode.fps, mode.fourcc)
    replayed = list(source.packets())
    assert [p.data for p in replayed] == [p.data for p in sent]  # as they came, never re-encoded
    assert [p.timestamp for p in replayed] == pytest.approx([p.timestamp - sent[0].timestamp for p in sent], abs=1e-3)
    # Replay counts from the first frame recorded.
    expected = [(p.sequence - sent[0].sequence, p.dropped if i else 0) for i, p in enumerate(sent)]
    assert [(p.sequence, p.dropped) for p in replayed] == expected

    with MkvSource(out) as again:
        frames = list(again)
    for frame, packet, numbers in zip(frames, sent, expected, strict=True):
        assert np.array_equal(frame.image, decode_packet(packet, mode).to_ndarray(format="bgr24"))
        assert frame.stereo == mode.stereo and (frame.sequence, frame.dropped) == numbers


@pytest.mark.parametrize("limits, written", [({"frames": 5}, 5), ({"duration": 0.21}, 7)])
def test_recording_stops_at_its_limit(tmp_path, limits, written):
    summary = record(Feed(STEREO_MJPG, 30), tmp_path / "short.mkv", **limits)
    assert summary.frames == written == len(list(MkvSource(tmp_path / "short.mkv").packets()))


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT, signal.SIGKILL])
def test_an_interrupted_recorder_leaves_a_readable_file(tmp_path, signum):
    out = tmp_path / "cut.mkv"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(__file__).parent), *sys.path]))
    proc = subprocess.Popen([sys.executable, "-m", "harness.feeds", str(out)], env=env,
                            stdout=subprocess.PIPE, text=True)
    # Cut it about 1.5 s into the recording: clusters close every second, so
    # the first one, a second's worth of frames, is in the file even after
    # SIGKILL.
    assert proc.stdout.readline() == "recording\n"
    time.sleep(1.5)
    proc.send_signal(signum)
    stdout, _ = proc.communicate(timeout=30)
    packets = list(MkvSource(out).packets())
    feed = Feed(CaptureMode(64, 16, 30, "MJPG", stereo=True), len(packets))
    assert len(packets) >= 25
    assert [p.data for p in packets] == [p.data for p in feed.packets()]
    if signum == signal.SIGKILL:
        assert proc.returncode == -signal.SIGKILL
    else:
        assert proc.returncode == 0 and f"{len(packets)} frames" in stdout


@pytest.mark.parametrize("mode, names", [(STEREO_MJPG, ["left.png", "right.png", "frame.png"]),
                                         (MONO_YUYV, ["frame.png"])])
def test_snapshot_of_a_recording_at_a_time(tmp_path, mode, names):
    feed = Feed(mode, 12)
    record(feed, tmp_path / "run.mkv")
    written = snapshot(str(tmp_path / "run.mkv"), tmp_path / "snap", at=5 / float(mode.fps))
    assert [p.name for p in written] == names
    expected = decode_packet(feed.sent[5], mode).to_ndarray(format="rgb24")
    images = {p.name: next(av.open(str(p)).decode(video=0)).to_ndarray(format="rgb24") for p in written}
    assert np.array_equal(images["frame.png"], expected)
    if mode.stereo:
        half = mode.width // 2
        assert np.array_equal(np.concatenate([images["left.png"], images["right.png"]], axis=1), expected)
        assert images["left.png"].shape == (mode.height, half, 3)


@pytest.mark.parametrize("text, expected", [
    ("1280x360@30/MJPG", (1280, 360, 30, "MJPG")),
    ("1280x360@30", (1280, 360, 30, "MJPG")),
    ("640x360@7.5/yuyv", (640, 360, 7.5, "YUYV")),
    ("640x480@30/MJPG", "not a supported mode"),
    ("1280x360@60", "not a supported mode"),
    ("big", "not of the form"),
])
def test_modes_are_chosen_among_the_supported_catalog_modes(text, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            parse_mode(text, RECORD.spec)
    else:
        mode = parse_mode(text, RECORD.spec)
        assert (mode.width, mode.height, mode.fps, mode.fourcc) == expected and mode.is_supported


def test_snapshot_command_writes_the_pair_of_a_recording(tmp_path, capsys):
    record(Feed(STEREO_MJPG, 12), tmp_path / "run.mkv")
    assert main(["snapshot", str(tmp_path / "run.mkv"), "-o", str(tmp_path / "out"), "--at", "0.2"]) == 0
    assert capsys.readouterr().out.split() == [str(tmp_path / "out" / n) for n in ("left.png", "right.png", "frame.png")]
    assert main(["snapshot", str(tmp_path / "run.mkv"), "-o", str(tmp_path / "out"), "--at", "9"]) == 2
    assert "has no frame at 9.0 s" in capsys.readouterr().err


@pytest.mark.parametrize("argv, message", [
    (["record", "runs/old.mkv", "new.mkv"], "is a recording; record takes a live camera"),
    (["record", "AB12CD34", "out.avi"], "must be an .mkv file"),
    (["record", "out.mkv", "--frames", "0"], "--frames must be positive"),
    (["view", "run.mkv", "--port", "70000"], "--port must be 0..65535"),
])
def test_media_commands_refuse_bad_arguments(argv, message, capsys):
    assert main(argv) == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("how", ["SIGTERM", "SIGINT", "stop", "duration"])
def test_a_recording_ends_while_the_camera_sends_nothing(tmp_path, how):
    """The camera stalls after a few frames (harness/stall.py, behind the
    engine's seam); a signal, a stop request or the duration still ends the
    recording, with every frame received in a finalised file."""
    from harness.stall import FRAMES

    out = tmp_path / "stalled.mkv"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(__file__).parent), *sys.path]))
    by = "signal" if how.startswith("SIG") else how
    proc = subprocess.Popen([sys.executable, "-m", "harness.stall", "record", str(out), by], env=env,
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "stalled\n"
        if by == "signal":
            proc.send_signal(getattr(signal, how))
        # Nothing else would end it: the stall lasts for ever.
        stdout, _ = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 0 and f"{FRAMES} frames" in stdout
    assert len(list(MkvSource(out).packets())) == FRAMES


def _foreign_file(path: Path, kind: str) -> Path:
    """A file another tool made: PyAV video without our tags, a wrong mode
    tag, H.264 video, audio only, or text."""
    if kind == "text":
        path.write_text("not a recording\n")
        return path
    container = av.open(str(path), "w", format="matroska")
    if kind == "audio":
        stream = container.add_stream("pcm_s16le", rate=8000)
        frame = av.AudioFrame.from_ndarray(np.zeros((1, 800), np.int16), format="s16", layout="mono")
        frame.sample_rate = 8000
        for packet in [*stream.encode(frame), *stream.encode(None)]:
            container.mux(packet)
        container.close()
        return path
    if kind == "wrong-tag":
        container.metadata["VORN_CAPTURE_MODE"] = "1920x1080@60/H264"
    codec, pix_fmt = ("libx264", "yuv420p") if kind == "h264" else ("mjpeg", "yuvj422p")
    stream = container.add_stream(codec, rate=30)
    stream.width, stream.height, stream.pix_fmt = 1280, 360, pix_fmt  # a side-by-side stereo size of the catalog
    for i in range(10):
        frame = av.VideoFrame.from_ndarray(np.full((360, 1280, 3), i * 20, np.uint8), format="bgr24")
        for packet in stream.encode(frame.reformat(format=pix_fmt)):
            container.mux(packet)
    for packet in stream.encode(None):
        container.mux(packet)
    container.close()
    return path


FOREIGN_FILES = [
    ("plain", "up.MKV", None),
    ("wrong-tag", "tagged.mkv", "its VORN_CAPTURE_MODE tag says 1920x1080@60/H264 but the video is 1280x360 MJPG"),
    ("h264", "t360.webm", "holds h264 video; the tool replays MJPEG and YUYV recordings"),
    ("audio", "sound.mkv", "is no recording: it holds no video"),
    ("text", "notes.mkv", "is no recording: Invalid data found"),
]


@pytest.mark.parametrize("kind, name, message, command", [
    (*row, command) for row in FOREIGN_FILES for command in ("snapshot", "view")
    if row[2] is not None or command == "snapshot"  # a good file is served: the viewer's tests cover that
])
def test_recordings_from_elsewhere(tmp_path, capsys, kind, name, message, command):
    """Every command that takes a recording checks it the same way before
    it serves or writes; a plain stereo MJPEG file replays with the mode
    its stream shows."""
    path = _foreign_file(tmp_path / name, kind)
    if message is None:
        assert MkvSource(path).mode == CaptureMode(1280, 360, 30, "MJPG", stereo=True)
        assert main([command, str(path), "-o", str(tmp_path / "out")]) == 0
        assert [Path(p).name for p in capsys.readouterr().out.split()] == ["left.png", "right.png", "frame.png"]
        return
    options = ["-o", str(tmp_path / "out")] if command == "snapshot" else ["--port", "0"]
    assert main([command, str(path), *options]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith(f"vorn-camera: {path}") and err.count("\n") == 1
    assert message in err and not (tmp_path / "out").exists()


@pytest.mark.parametrize("option, message", [
    ("--port", "port {port} on 127.0.0.1 is in use; choose another with --port"),
    ("--bind", "--bind 192.0.2.1 is not an address of this machine"),
])
def test_view_names_the_port_or_address_it_cannot_listen_on(tmp_path, option, message):
    import socket

    record(Feed(STEREO_MJPG, 3), tmp_path / "run.mkv")
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        value = str(port) if option == "--port" else "192.0.2.1"  # an address of no machine here
        proc = subprocess.run([sys.executable, "-m", "vorn_camera_sdk", "view", str(tmp_path / "run.mkv"),
                               option, value], capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr.startswith(f"vorn-camera: {message.format(port=port)}") and proc.stderr.count("\n") == 1


@pytest.mark.parametrize("module, other", [("vorn_camera_sdk.sources.mkv_source", "vorn_camera_sdk.recording"),
                                           ("vorn_camera_sdk.recording", "vorn_camera_sdk.sources.mkv_source")])
def test_recorder_and_replay_share_the_tags_without_importing_each_other(module, other):
    # Replaying a file must not load the recorder, nor recording the replay
    # source; both read the same tag names and mode text.
    code = (f"import sys, {module}, vorn_camera_sdk.recording_tags as tags; "
            f"assert {other!r} not in sys.modules, {other!r}; "
            f"assert {module}.MODE_TAG is tags.MODE_TAG and {module}.format_mode is tags.format_mode")
    subprocess.run([sys.executable, "-c", code], check=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
