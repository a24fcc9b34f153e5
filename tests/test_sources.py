"""Frame sources: MKV replay of files written here with PyAV, and the live
camera source on emulated device nodes (which answer controls but not streaming;
its stream stands in at the capture engine)."""

from __future__ import annotations

import errno
import sys
import threading
from fractions import Fraction

import pytest

av = pytest.importorskip("av")
np = pytest.importorskip("numpy")

from harness.devinfo import facts_payload  # noqa: E402
from harness import open_fds  # noqa: E402
from vorn_camera_sdk.cameras import VornCameraFacts  # noqa: E402
from vorn_camera_sdk.sources.camera_source import CameraSource, describe_mode  # noqa: E402
from vorn_camera_sdk.sources.mkv_source import STEREO_TAG, MkvSource, embed_camera_facts  # noqa: E402

WIDTH, HEIGHT, FRAMES, STEP_MS = 64, 16, 4, 40
RECORD = VornCameraFacts.from_dict(facts_payload("AB12CD34"), os_id="/dev/video0")
MODE = RECORD.spec.default_mode


def colours(i):
    return (10 * i, 20, 30), (200, 100, 50 + i)  # left half, right half of frame i


def write_mkv(path, *, facts=None, stereo=None, frames=FRAMES):
    """Lossless side-by-side frames, frame i at i * STEP_MS milliseconds."""
    container = av.open(str(path), "w")
    if facts is not None:
        embed_camera_facts(container, facts, stereo=stereo)
    elif stereo is not None:
        container.metadata[STEREO_TAG] = "1" if stereo else "0"
    stream = container.add_stream("ffv1", rate=25)
    stream.width, stream.height, stream.pix_fmt = WIDTH, HEIGHT, "bgr0"
    for i in range(frames):
        image = np.empty((HEIGHT, WIDTH, 3), np.uint8)
        image[:, : WIDTH // 2], image[:, WIDTH // 2 :] = colours(i)
        frame = av.VideoFrame.from_ndarray(image, format="bgr24")
        frame.pts, frame.time_base = i * STEP_MS, Fraction(1, 1000)
        for packet in stream.encode(frame):
            container.mux(packet)
    for packet in stream.encode():
        container.mux(packet)
    container.close()
    return str(path)


def test_replay_yields_stereo_frames_with_halves_and_timestamps(tmp_path):
    with MkvSource(write_mkv(tmp_path / "run.mkv", facts=RECORD)) as source:
        frames = list(source)
    assert [f.index for f in frames] == list(range(FRAMES))
    assert [f.timestamp for f in frames] == pytest.approx([i * STEP_MS / 1000 for i in range(FRAMES)], abs=1e-3)
    for i, f in enumerate(frames):
        assert f.image.shape == (HEIGHT, WIDTH, 3) and f.image.dtype == np.uint8
        assert f.left.shape == f.right.shape == (HEIGHT, WIDTH // 2, 3)
        assert np.shares_memory(f.left, f.image) and np.shares_memory(f.right, f.image)
        assert (f.left == colours(i)[0]).all() and (f.right == colours(i)[1]).all()


@pytest.mark.parametrize("facts, tag, argument, stereo", [
    (None, None, None, False),     # a plain video
    (RECORD, None, None, True),    # a VORN recording without the tag
    (RECORD, False, None, False),  # the tag over the facts
    (None, True, None, True),
    (RECORD, True, False, False),  # the argument over everything
])
def test_stereo_split_follows_argument_then_tag_then_facts(tmp_path, facts, tag, argument, stereo):
    source = MkvSource(write_mkv(tmp_path / "run.mkv", facts=facts, stereo=tag, frames=1), stereo=argument)
    (frame,) = source
    assert source.stereo is stereo and frame.stereo is stereo and (frame.right is None) is (not stereo)


def test_camera_facts_round_trip_offline(tmp_path, devinfo):
    source = MkvSource(write_mkv(tmp_path / "run.mkv", facts=RECORD))
    assert source.camera_facts == RECORD.to_dict()
    assert source.record == VornCameraFacts.from_dict(RECORD.to_dict(), os_id="")
    plain = MkvSource(write_mkv(tmp_path / "plain.mkv", frames=1))
    assert plain.camera_facts is None and plain.record is None
    assert devinfo.count() == 0


def test_corrupt_and_missing_recordings_give_clear_errors(tmp_path):
    corrupt = tmp_path / "corrupt.mkv"
    corrupt.write_bytes(b"\x1a\x45\xdf\xa3 not really matroska" * 50)
    with pytest.raises(ValueError, match="cannot read MKV recording") as info:
        list(MkvSource(corrupt))
    assert str(corrupt) in str(info.value)
    with pytest.raises(FileNotFoundError) as info:
        list(MkvSource(tmp_path / "missing.mkv"))
    assert info.value.filename == str(tmp_path / "missing.mkv")


def test_iteration_resumes_and_close_is_final(tmp_path):
    source = MkvSource(write_mkv(tmp_path / "run.mkv"))
    assert next(iter(source)).index == 0
    assert [f.index for f in source] == list(range(1, FRAMES))
    source.close()
    source.close()
    with pytest.raises(ValueError, match="closed"):
        iter(source)


@pytest.mark.parametrize("module", ["av", "numpy"])
def test_missing_stream_extra_names_it(tmp_path, monkeypatch, module):
    sources = [MkvSource(write_mkv(tmp_path / "run.mkv", frames=1)), CameraSource(RECORD, MODE)]
    monkeypatch.setitem(sys.modules, module, None)
    for source in sources:
        with pytest.raises(ImportError, match=r"pip install 'vorn-camera-sdk\[stream\]'"):
            iter(source)


def emulated_fds():
    return [target for target in open_fds().values() if "v4l2emu" in target]


@pytest.mark.parametrize("fault, error, code", [
    ({}, OSError, errno.ENOTTY),  # the node answers no streaming request
    ({"open_errno": errno.EBUSY}, OSError, errno.EBUSY),
    ({"open_errno": errno.EACCES}, PermissionError, errno.EACCES),
    (None, FileNotFoundError, errno.ENOENT),  # unplugged
])
def test_opening_the_stream_fails_naming_device_and_mode(emu, fault, error, code):
    cam = emu.add_camera("VORN Talvex AB12CD34", index=3)
    source = CameraSource(VornCameraFacts.from_dict(facts_payload("AB12CD34"), os_id=cam.path), MODE)
    assert cam.node.requests() == []  # construction does no I/O
    cam.node.remove() if fault is None else cam.node.configure(**fault)
    with pytest.raises(error) as info:
        iter(source)
    assert info.value.errno == code and info.value.filename == "/dev/video3"
    assert "AB12CD34" in str(info.value) and describe_mode(MODE) in str(info.value)
    assert emulated_fds() == []


def test_controls_work_while_the_source_lives_and_close_releases_them(emu):
    cam = emu.add_camera("VORN Talvex AB12CD34", controls={"exposure": 156, "gain": 3})
    source = CameraSource(VornCameraFacts.from_dict(facts_payload("AB12CD34"), os_id=cam.path), MODE)
    controls = source.controls
    with pytest.raises(OSError):
        iter(source)
    assert source.controls is controls and controls.get("exposure") == 156.0
    assert controls.set("gain", 7) and controls.get("gain") == 7.0
    (control_fh,) = {r.fh for r in cam.node.requests("g_ctrl", "s_ctrl")}
    source.close()
    source.close()
    assert [r.fh for r in cam.node.requests("close")].count(control_fh) == 1
    assert emulated_fds() == []
    with pytest.raises(ValueError, match="closed"):
        source.controls
    cam.node.configure(open_errno=errno.EACCES)
    with pytest.raises(PermissionError, match="controls of VORN camera AB12CD34"):
        CameraSource(source.record, MODE).controls


def jpeg(i):
    """Frame i of the colour table as the JPEG an MJPG camera sends."""
    codec = av.CodecContext.create("mjpeg", "w")
    codec.width, codec.height, codec.pix_fmt, codec.time_base = WIDTH, HEIGHT, "yuvj444p", Fraction(1, 30)
    image = np.empty((HEIGHT, WIDTH, 3), np.uint8)
    image[:, : WIDTH // 2], image[:, WIDTH // 2 :] = colours(i)
    frame = av.VideoFrame.from_ndarray(image, format="bgr24").reformat(format="yuvj444p")
    return b"".join(bytes(p) for p in [*codec.encode(frame), *codec.encode(None)])


def test_live_frames_are_split_while_controls_change(emu, monkeypatch):
    from vorn_camera_sdk.platform.capture import Packet
    from vorn_camera_sdk.sources import camera_source

    class RecordedFeed:  # the engine's stream over recorded packets; the controls come from the node
        def __init__(self, os_id, mode, *, latest, serial):
            assert (os_id, mode, latest, serial) == (cam.path, MODE, True, "AB12CD34")
            self.width, self.height, self.closed = WIDTH, HEIGHT, False
            self.queue = [Packet(jpeg(i), 10 + 2 * i, 5 + i * STEP_MS / 1000, i) for i in range(FRAMES)]

        def __iter__(self):
            while self.queue and not self.closed:
                yield self.queue.pop(0)

        def close(self):
            self.closed = True

    monkeypatch.setattr(camera_source, "_capture_stream_class", lambda: RecordedFeed)
    cam = emu.add_camera("VORN Talvex AB12CD34", controls={"exposure": 156})
    source = CameraSource(VornCameraFacts.from_dict(facts_payload("AB12CD34"), os_id=cam.path), MODE)
    seen = []
    for frame in source:
        assert np.abs(frame.left.astype(int) - colours(frame.index)[0]).max() <= 3
        assert np.abs(frame.right.astype(int) - colours(frame.index)[1]).max() <= 3
        assert source.controls.set("exposure", 100 + frame.index)
        seen.append((frame.timestamp, frame.sequence, frame.dropped))
        if frame.index == 1:
            closer = threading.Thread(target=source.close)
            closer.start()
            closer.join()
    assert seen == [(5.0, 10, 0), (pytest.approx(5 + STEP_MS / 1000), 12, 1)]
    assert [r.value for r in cam.node.requests("s_ctrl")] == [100, 101]
    assert emulated_fds() == []


class ScriptedStream:
    """The engine's stream behind the seam, following a script shared by the
    streams the source opens in turn: each takes the next list of packets,
    then, as the script says, loses the device ("lost"), ends ("end") or
    lets ``close()`` take ``slow`` seconds."""

    script: list = []
    opened: list = []

    def __init__(self, os_id, mode, *, latest, serial):
        self.os_id, self.width, self.height, self.closed, self.released = os_id, WIDTH, HEIGHT, False, False
        self.packets, self.then, self.slow = ScriptedStream.script.pop(0)
        self.closing = threading.Event()
        ScriptedStream.opened.append(self)

    def __iter__(self):
        from vorn_camera_sdk.platform.capture import DeviceLostError

        while self.packets and not self.closed:
            yield self.packets.pop(0)
        if self.then == "lost" and not self.closed:
            raise DeviceLostError(errno.ENODEV, f"the camera on {self.os_id} is gone", self.os_id)

    def close(self):
        self.closing.set()
        self.closed = True
        threading.Event().wait(self.slow)
        self.released = True


@pytest.fixture
def scripted(emu, monkeypatch):
    from vorn_camera_sdk.sources import camera_source

    monkeypatch.setattr(camera_source, "_capture_stream_class", lambda: ScriptedStream)
    ScriptedStream.script, ScriptedStream.opened = [], []
    cam = emu.add_camera("VORN Talvex AB12CD34")
    return VornCameraFacts.from_dict(facts_payload("AB12CD34"), os_id=cam.path)


def packets_at(*times, first_sequence=0):
    from vorn_camera_sdk.platform.capture import Packet

    return [Packet(jpeg(i), first_sequence + i, t, 0) for i, t in enumerate(times)]


@pytest.mark.parametrize("race", ["close before the first frame", "second close while the first releases"])
def test_close_races(scripted, race):
    ScriptedStream.script = [(packets_at(1.0), "end", 0.3)]
    source = CameraSource(scripted, MODE)
    frames = iter(source)
    if race == "close before the first frame":
        source.close()
        assert list(frames) == []  # ends cleanly
        return
    first = threading.Thread(target=source.close)
    first.start()
    (stream,) = ScriptedStream.opened
    assert stream.closing.wait(10)
    source.close()  # returns once the first close has released the device
    assert stream.released
    first.join(10)


def test_reconnect_continues_the_count_with_the_frames_missed(scripted):
    """The Python side of the losses and of a reconnection: a frame that does
    not decode counts as lost; the camera goes away after three frames and
    comes back on its node; the first frame after the gap counts the frames
    missed at the mode's rate, the index goes on."""
    from vorn_camera_sdk.platform.capture import Packet

    fps = float(MODE.fps)
    before = packets_at(10.0, 10.0 + 1 / fps, 10.0 + 2 / fps)
    before[1] = Packet(b"\xff\xd8 not a picture", 1, before[1].timestamp, 0)
    ScriptedStream.script = [(before, "lost", 0), (packets_at(10.0 + 8 / fps, 10.0 + 9 / fps), "end", 0)]
    source = CameraSource(scripted, MODE, reconnect=10)
    frames = [(f.index, f.dropped) for f in source]
    assert frames == [(0, 0), (1, 1), (2, 5), (3, 0)] and source.reconnects == 1
    assert [s.os_id for s in ScriptedStream.opened] == [scripted.os_id] * 2
