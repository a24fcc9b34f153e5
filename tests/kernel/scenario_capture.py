"""In-guest tests of the capture engine against the real uvcvideo driver.

The test camera writes its frame number into every image
(``usbip_camera.read_frame_number``) and can leave out every Nth frame, so
freshness and the ``dropped`` counts are checked frame by frame.
"""

from __future__ import annotations

import errno
import os
import subprocess
import sys
import threading
import time

import pytest

from kernel import vhci
from kernel.rig import PETRIN, TALVEX, module
from kernel.usbip_camera import read_frame_number

WAIT = 15.0  # seconds a read may take under TCG before the camera is deemed silent


@pytest.fixture(scope="module")
def capture():
    return module("vorn_camera_sdk.platform.capture")


@pytest.fixture
def talvex(rig, discovery):
    pytest.importorskip("av")
    node = rig.capture_node(TALVEX)
    record = discovery.get_connected_vorn_camera_by_serial(TALVEX["serial"])
    assert record is not None and record.os_id == node
    yield record
    rig.server.call("skip", TALVEX["busid"], every=0)


def mode_of(spec, fourcc, width, height, fps):
    return next(m for m in spec.modes if (m.fourcc, m.width, m.height, m.fps) == (fourcc, width, height, fps))


def decode(packet, width, height):
    av = pytest.importorskip("av")
    if packet.data[:2] == b"\xff\xd8":
        return av.CodecContext.create("mjpeg", "r").decode(av.Packet(packet.data))[0].to_ndarray(format="bgr24")
    frame = av.VideoFrame(width, height, "yuyv422")
    frame.planes[0].update(packet.data)
    return frame.to_ndarray(format="bgr24")


def assert_released(node):
    """No descriptor and no mapping of the node is left in this process."""
    def held():
        fds = [os.readlink(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")
               if os.path.exists(f"/proc/self/fd/{fd}")]
        maps = [line for line in open("/proc/self/maps") if line.rstrip().endswith(node)]
        return node in fds or bool(maps)
    vhci.wait_for(lambda: not held(), timeout=5)


# every mode the test camera offers
MODES = [("MJPG", 1280, 360, 30), ("MJPG", 640, 360, 30), ("YUYV", 640, 360, 30), ("YUYV", 1280, 360, 25)]


@pytest.mark.parametrize("fourcc,width,height,fps", MODES, ids=[f"{m[0]}-{m[1]}x{m[2]}" for m in MODES])
def test_every_mode_gives_frames_in_order_with_their_content(rig, talvex, fourcc, width, height, fps):
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    mode = mode_of(talvex.spec, fourcc, width, height, fps)
    source = camera_source.CameraSource(talvex, mode, latest=False)
    frames = []
    for frame in source:
        frames.append(frame)
        if len(frames) == 3:
            source.close()
    assert [f.index for f in frames] == [0, 1, 2]
    assert all(f.image.shape == (height, width, 3) and f.stereo == mode.stereo for f in frames)
    numbers = [read_frame_number(f.image) for f in frames]
    assert numbers == list(range(numbers[0], numbers[0] + 3))
    assert [f.sequence - frames[0].sequence for f in frames] == [0, 1, 2]
    assert [f.dropped for f in frames[1:]] == [0, 0]
    assert 0 < time.monotonic() - frames[-1].timestamp < WAIT  # the kernel's CLOCK_MONOTONIC
    vhci.wait_for(lambda: not rig.state(TALVEX)["streaming"], timeout=20)
    assert_released(talvex.os_id)


@pytest.mark.parametrize("every", [0, 7])
def test_all_delivers_every_frame_and_counts_each_one_the_camera_lost(rig, talvex, every):
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    rig.server.call("skip", TALVEX["busid"], every=every)
    mode = mode_of(talvex.spec, "MJPG", 640, 360, 30)
    source = camera_source.CameraSource(talvex, mode, latest=False)
    packets = []
    for packet in source.packets():  # read as they come, decoded afterwards
        packets.append(packet)
        if len(packets) == 75:  # two and a half seconds
            source.close()
    numbers = [read_frame_number(decode(p, 640, 360)) for p in packets]
    for before, after, packet, previous in zip(numbers, numbers[1:], packets[1:], packets):
        assert packet.dropped == after - before - 1 == packet.sequence - previous.sequence - 1
        assert packet.timestamp > previous.timestamp
    lost = [n for n in range(numbers[0], numbers[-1]) if every and (n + 1) % every == 0]
    assert sum(p.dropped for p in packets[1:]) == len(lost) and (every == 0 or len(lost) >= 3)


def test_latest_hands_a_sleeping_consumer_the_newest_frame(rig, talvex, capture):
    mode = mode_of(talvex.spec, "MJPG", 640, 360, 30)
    with capture.CaptureStream(talvex.os_id, mode, serial=talvex.serial) as stream:
        assert (stream.latest, stream.fourcc, stream.width, stream.height) == (True, "MJPG", 640, 360)
        previous = stream.read(WAIT)
        for _ in range(3):
            time.sleep(1.5)
            newest = rig.state(TALVEX)["last_frame_number"]
            packet = stream.read(WAIT)
            age = time.monotonic() - packet.timestamp
            number = read_frame_number(decode(packet, 640, 360))
            assert number >= newest - 3 and age < 0.75  # a frame of now, not one from before the pause
            assert packet.dropped == number - read_frame_number(decode(previous, 640, 360)) - 1 >= 20
            assert packet.dropped == packet.sequence - previous.sequence - 1
            previous = packet
    assert_released(talvex.os_id)


def test_opening_errors_name_the_device(rig, talvex, capture):
    mode = mode_of(talvex.spec, "MJPG", 640, 360, 30)
    with capture.CaptureStream(talvex.os_id, mode) as first:
        first.read(WAIT)
        with pytest.raises(OSError, match="in use") as info:
            capture.CaptureStream(talvex.os_id, mode)
        assert info.value.errno == errno.EBUSY and talvex.os_id in str(info.value)
        first.read(WAIT)  # the first stream is unharmed
    unknown = mode_of(talvex.spec, "MJPG", 1280, 720, 30)  # in the catalog, not offered by the test camera
    with pytest.raises(ValueError, match=r"does not take MJPG 1280x720: the device offered MJPG 1280x360"):
        capture.CaptureStream(talvex.os_id, unknown)
    assert_released(talvex.os_id)


def test_a_read_times_out_and_close_from_another_thread_ends_a_blocked_one(rig, talvex, capture):
    mode = mode_of(talvex.spec, "MJPG", 640, 360, 30)
    stream = capture.CaptureStream(talvex.os_id, mode)
    stream.read(WAIT)
    rig.server.call("skip", TALVEX["busid"], every=1)  # every frame damaged: nothing arrives
    time.sleep(0.3)
    while True:  # whatever was already under way
        try:
            stream.read(0.3)
        except TimeoutError:
            break
    outcome = []

    def reader():
        try:
            outcome.append(list(stream))  # iteration ends cleanly at close
            stream.read()
        except ValueError as exc:
            outcome.append(exc)

    thread = threading.Thread(target=reader)
    thread.start()
    time.sleep(0.5)
    assert thread.is_alive()
    started = time.monotonic()
    stream.close()
    thread.join(5)
    assert not thread.is_alive() and time.monotonic() - started < 5
    assert outcome[0] == [] and "closed" in str(outcome[1]) and stream.closed
    stream.close()
    with pytest.raises(ValueError, match="closed"):
        stream.read(0)
    assert_released(talvex.os_id)


def test_unplugging_gives_device_lost_after_the_delivered_frames(rig, capture):
    node = rig.capture_node(PETRIN)
    try:
        petrin = module("vorn_camera_sdk.cameras.vorn_petrin").VORN_PETRIN
        mode = mode_of(petrin, "MJPG", 640, 360, 30)
        stream = capture.CaptureStream(node, mode, latest=False, serial=PETRIN["serial"])
        stream.read(WAIT)
        time.sleep(0.5)  # frames pile up in the queue
        rig.pull(PETRIN)
        delivered = 0
        with pytest.raises(capture.DeviceLostError) as info:
            while True:
                stream.read(WAIT)
                delivered += 1
        assert delivered >= 5
        assert isinstance(info.value, OSError) and info.value.errno == errno.ENODEV
        assert PETRIN["serial"] in str(info.value) and node in str(info.value)
        with pytest.raises(capture.DeviceLostError):
            stream.read(0)
        stream.close()
        assert_released(node)
    finally:
        if PETRIN["busid"] in rig.ports:
            rig.pull(PETRIN)


# A program that leaves a daemon thread reading the engine when it returns.
EXIT_WITH_A_READER = """
import sys, threading, time
from vorn_camera_sdk.cameras.camera_spec import CaptureMode
from vorn_camera_sdk.platform.capture import CaptureStream
stream = CaptureStream(sys.argv[1], CaptureMode(640, 360, 30, "MJPG", stereo=True))
threading.Thread(target=lambda: [None for _ in stream], daemon=True).start()
time.sleep(1)
"""


@pytest.mark.parametrize("stalled", [False, True], ids=["frames", "stalled"])
def test_exit_with_a_daemon_reader_in_the_engine_is_quiet(rig, talvex, stalled):
    if stalled:  # the reader waits for a frame that never comes
        rig.server.call("skip", TALVEX["busid"], every=1)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", EXIT_WITH_A_READER, talvex.os_id], env=env,
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    vhci.wait_for(lambda: not rig.state(TALVEX)["streaming"], timeout=15)  # the stream was closed at exit
