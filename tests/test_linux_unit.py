"""The Linux backend's parts that need no emulated device: request encoding,
descriptor handling, control handles on a descriptor whose ioctl fails fast,
stream open arguments and the CUDA preload decision."""

from __future__ import annotations

import errno
import math
import os
import site
import struct
import sys
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from vorn_camera_sdk.cameras.camera_spec import CaptureMode
from vorn_camera_sdk.platform import base
from vorn_camera_sdk.platform import linux

# -- request encoding --------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        ((2, "V", 0, 104), 2154321408),
        ((3, "V", 27, 8), 3221771803),
        ((3, "V", 28, 8), 3221771804),
        ((0, "V", 256, 0), 0x5700),  # nr spills into the type byte
        ((0, "V", 0, 1 << 14), (1 << 30) | 0x5600),  # size spills into the direction bits
        ((-1, "V", 0, 0), -(1 << 30) | 0x5600),
        ((1 << 70, "\U0010ffff", 1 << 80, 1 << 64), (1 << 100) | (1 << 80) | (0x10FFFF << 8) | (1 << 80)),
    ],
)
def test_ioc_encodes_without_masking(args, expected):
    assert linux._IOC(*args) == expected


@given(st.integers(), st.characters(), st.integers(), st.integers())
def test_ioc_matches_the_integer_expression(direction, type_, nr, size):
    assert linux._IOC(direction, type_, nr, size) == (direction << 30) | (size << 16) | (ord(type_) << 8) | nr


@pytest.mark.parametrize("type_", ["VV", "", 86])
def test_ioc_type_must_be_one_character(type_):
    with pytest.raises(TypeError):
        linux._IOC(2, type_, 0, 104)


def test_constants_are_bound_in_order_with_their_values():
    expected = {
        "_IOC_NONE": 0, "_IOC_WRITE": 1, "_IOC_READ": 2, "_SIZE_QUERYCAP": 104, "_SIZE_CONTROL": 8,
        "VIDIOC_QUERYCAP": 0x80685600, "VIDIOC_G_CTRL": 0xC008561B, "VIDIOC_S_CTRL": 0xC008561C,
        "V4L2_CAP_VIDEO_CAPTURE": 1,
    }
    names = list(vars(linux))
    assert [n for n in names if n in expected] == list(expected)
    assert names.index("_IOC") < names.index("_IOC_NONE")
    assert {n: getattr(linux, n) for n in expected} == expected


# -- capability query: descriptor handling -----------------------------------


@pytest.fixture
def devnull():
    fd = os.open("/dev/null", os.O_RDWR)
    yield fd
    os.close(fd)


class _FileNo:
    def __init__(self, fd):
        self._fd = fd

    def fileno(self):
        return self._fd


def test_querycap_on_a_non_v4l2_descriptor_raises_enotty(devnull):
    for fd in (devnull, _FileNo(devnull)):
        with pytest.raises(OSError) as info:
            linux._querycap(fd)
        assert info.value.errno == errno.ENOTTY


@pytest.mark.parametrize(
    "fd, exc, message",
    [
        (-1, ValueError, "file descriptor cannot be a negative integer (-1)"),
        (None, TypeError, "argument must be an int, or have a fileno() method."),
        ("3", TypeError, "argument must be an int, or have a fileno() method."),
    ],
)
def test_querycap_rejects_bad_descriptors(fd, exc, message):
    with pytest.raises(exc) as info:
        linux._querycap(fd)
    assert str(info.value) == message


def test_read_usb_iproduct_without_sysfs_entry():
    assert linux._read_usb_iproduct("/dev/video-no-such-node") is None
    assert linux._read_usb_iproduct("/dev/vid\0eo0") is None


# -- classes -----------------------------------------------------------------


def test_backend_and_handle_classes():
    backend = linux.LinuxBackend
    assert issubclass(backend, base.PlatformBackend)
    assert issubclass(linux._LinuxCameraControls, base.CameraControls)
    assert (backend.__module__, backend.__qualname__) == ("vorn_camera_sdk.platform.linux", "LinuxBackend")
    assert backend.__dict__["av_input_format"] == "v4l2"
    assert backend.__dict__["clock_domain"] == "linux_monotonic"
    assert "__init__" not in backend.__dict__
    assert vars(backend()) == {}
    assert linux._LinuxCameraControls.__doc__ == "V4L2 ioctl-based control handle on a parallel fd."
    assert linux._LinuxCameraControls.get.__qualname__ == "_LinuxCameraControls.get"


@pytest.mark.parametrize(
    "func",
    [linux._IOC, linux._querycap, linux._read_usb_iproduct, linux._setup_cuda_linux_preload,
     linux.LinuxBackend.list_cameras, linux.LinuxBackend.open_controls, linux.LinuxBackend.av_open_args,
     linux._LinuxCameraControls.get, linux._LinuxCameraControls.set, linux._LinuxCameraControls.close],
)
def test_docstrings_begin_with_the_signature(func):
    assert func.__doc__.startswith(func.__name__ + "(")
    assert " -> " in func.__doc__.splitlines()[0]


# -- control handle on /dev/null: every control request fails with ENOTTY ----


@pytest.fixture
def controls():
    handle = linux.LinuxBackend().open_controls("/dev/null")
    yield handle
    handle.close()


def test_refused_requests_give_none_and_false(controls):
    assert (controls._os_id, controls.get("gain"), controls.set("gain", 3)) == ("/dev/null", None, False)
    assert controls.get("focus") is None and controls.set("focus", 1) is False
    assert controls.get("Exposure") is None and controls.set("Exposure", 1) is False


@pytest.mark.parametrize(
    "value, exc",
    [(3e9, struct.error), (-2147483649, struct.error), (2**80, struct.error), (math.nan, ValueError),
     (math.inf, OverflowError), (-math.inf, OverflowError), ("x", ValueError), (None, TypeError)],
)
def test_unconvertible_values_raise(controls, value, exc):
    with pytest.raises(exc):
        controls.set("exposure", value)


def test_packing_error_is_structs_own(controls):
    with pytest.raises(struct.error) as info:
        controls.set("exposure", 3e9)
    assert str(info.value) == "'i' format requires -2147483648 <= number <= 2147483647"
    # In range after truncation toward zero: reaches the device (which refuses).
    assert controls.set("exposure", 2147483647.9) is False
    assert controls.set("exposure", -2147483648.9) is False


def test_close_is_idempotent_and_never_closes_a_reused_number():
    handle = linux.LinuxBackend().open_controls("/dev/null", serial="AB12CD34")
    fd = handle._fd
    assert os.readlink(f"/proc/self/fd/{fd}") == "/dev/null"
    assert handle.close() is None
    assert handle._fd == -1
    reused = os.open("/dev/zero", os.O_RDONLY)
    try:
        assert reused == fd
        assert handle.close() is None
        assert os.readlink(f"/proc/self/fd/{reused}") == "/dev/zero"
    finally:
        os.close(reused)


def test_closed_handle_rejects_use_before_any_request():
    with linux.LinuxBackend().open_controls("/dev/null") as handle:
        pass
    assert handle._fd == -1
    with pytest.raises(ValueError):
        handle.get("gain")
    with pytest.raises(ValueError):
        handle.set("gain", 1)
    assert handle.get("focus") is None  # name lookup comes first
    handle._fd = None
    handle.close()
    with pytest.raises(TypeError):
        handle.get("gain")


def test_each_handle_has_its_own_descriptor():
    backend = linux.LinuxBackend()
    first, second = backend.open_controls("/dev/null"), backend.open_controls("/dev/null", "X")
    try:
        assert first._fd != second._fd
    finally:
        first.close()
        second.close()


def test_open_failure_raises_the_os_error():
    with pytest.raises(FileNotFoundError) as info:
        linux.LinuxBackend().open_controls("/dev/no-such-node")
    assert info.value.filename == "/dev/no-such-node"
    with pytest.raises(ValueError):
        linux.LinuxBackend().open_controls("/dev/nu\0ll")


# -- stream open arguments ---------------------------------------------------


def _mode(fourcc="MJPG", width=1280, height=720, fps=30):
    return types.SimpleNamespace(fourcc=fourcc, width=width, height=height, fps=fps)


@pytest.mark.parametrize(
    "mode, options",
    [
        (CaptureMode(2560, 720, 30, "MJPG", stereo=True), {"input_format": "mjpeg", "video_size": "2560x720", "framerate": "30"}),
        (_mode("yuyv", 640, 480, 7.5), {"input_format": "yuyv422", "video_size": "640x480", "framerate": "7.5"}),
        (_mode("mjpg", fps=30.0), {"input_format": "mjpeg", "video_size": "1280x720", "framerate": "30.0"}),
    ],
)
def test_av_open_args(mode, options):
    path, fmt, opts = linux.LinuxBackend().av_open_args("/dev/no-such-node", mode)
    assert (path, fmt) == ("/dev/no-such-node", "v4l2")
    assert list(opts.items()) == list(options.items())


@pytest.mark.parametrize("fourcc", ["H264", "h264", "NV12"])
def test_av_open_args_unsupported_fourcc(fourcc):
    with pytest.raises(ValueError) as info:
        linux.LinuxBackend().av_open_args("/dev/video0", _mode(fourcc))
    assert str(info.value) == f"unsupported fourcc {fourcc!r}; supported: ['MJPG', 'YUYV']"


def test_av_open_args_reads_the_table_at_call_time(monkeypatch):
    monkeypatch.setattr(linux, "_FOURCC_TO_FFMPEG", {"YUYV": None, "MJPG": "", "GREY": "gray"})
    backend = linux.LinuxBackend()
    assert backend.av_open_args("/dev/video0", _mode("mjpg"))[2]["input_format"] == ""
    with pytest.raises(ValueError, match=r"^unsupported fourcc 'YUYV'; supported: \['GREY', 'MJPG', 'YUYV'\]$"):
        backend.av_open_args("/dev/video0", _mode("YUYV"))


@pytest.mark.parametrize("mode, exc", [(types.SimpleNamespace(fourcc="MJPG", width=1, height=2), AttributeError),
                                        (_mode(fourcc=1234), AttributeError)])
def test_av_open_args_bad_mode(mode, exc):
    with pytest.raises(exc):
        linux.LinuxBackend().av_open_args("/dev/video0", mode)


# -- CUDA preload decision ---------------------------------------------------


class _StandIn(types.ModuleType):
    """An onnxruntime that records preload calls, or raises what it is told."""

    def __init__(self, raises=None):
        super().__init__("onnxruntime")
        self.calls = []
        self.raises = raises

    def preload_dlls(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.raises is not None:
            raise self.raises


@pytest.fixture
def sites(tmp_path, monkeypatch):
    """Two global site-packages directories and a user one, all empty."""
    dirs = {name: tmp_path / name for name in ("global1", "global2", "user")}
    for d in dirs.values():
        d.mkdir()
    monkeypatch.setattr(site, "getsitepackages", lambda: [str(dirs["global1"]), str(dirs["global2"])])
    monkeypatch.setattr(site, "getusersitepackages", lambda: str(dirs["user"]))
    monkeypatch.chdir(tmp_path)
    return dirs


@pytest.mark.parametrize(
    "layout, preloads",
    [
        ([], 0),
        (["global1/nvidia/cublas/lib", "global2/nvidia/cudnn"], 0),  # only nvidia/cudnn/lib counts
        (["global2/nvidia/cudnn/lib"], 1),
        (["user/nvidia/cudnn/lib"], 1),
        (["global1/nvidia/cudnn/lib", "user/nvidia/cudnn/lib"], 1),
    ],
)
def test_preload_runs_only_with_a_cudnn_lib_directory(sites, monkeypatch, tmp_path, layout, preloads):
    for rel in layout:
        (tmp_path / rel).mkdir(parents=True)
    ort = _StandIn()
    monkeypatch.setitem(sys.modules, "onnxruntime", ort)
    assert linux._setup_cuda_linux_preload() is None
    assert linux._setup_cuda_linux_preload() is None  # every call repeats the check and the request
    assert ort.calls == [((), {"cuda": True, "cudnn": True})] * (2 * preloads)


def test_empty_user_site_adds_no_root(sites, monkeypatch, tmp_path):
    (tmp_path / "nvidia/cudnn/lib").mkdir(parents=True)  # what "" joined with "nvidia" would find
    monkeypatch.setattr(site, "getusersitepackages", lambda: "")
    ort = _StandIn()
    monkeypatch.setitem(sys.modules, "onnxruntime", ort)
    linux._setup_cuda_linux_preload()
    assert ort.calls == []


@pytest.mark.parametrize("ort", [None, _StandIn(RuntimeError("libcudnn.so.9: cannot open")),
                                 _StandIn(OSError(errno.ENOENT, "gone")), types.ModuleType("onnxruntime")])
def test_preload_failures_are_swallowed(sites, monkeypatch, ort, capsys):
    (sites["user"] / "nvidia/cudnn/lib").mkdir(parents=True)
    monkeypatch.setitem(sys.modules, "onnxruntime", ort)  # None: the import fails
    assert linux._setup_cuda_linux_preload() is None
    assert capsys.readouterr() == ("", "")


def test_preload_lets_interrupts_through(sites, monkeypatch):
    (sites["global1"] / "nvidia/cudnn/lib").mkdir(parents=True)
    monkeypatch.setitem(sys.modules, "onnxruntime", _StandIn(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        linux._setup_cuda_linux_preload()


def test_site_query_errors_propagate(monkeypatch):
    monkeypatch.setattr(site, "getsitepackages", lambda: [None])
    with pytest.raises(TypeError):
        linux._setup_cuda_linux_preload()


def test_preload_with_the_real_onnxruntime(sites):
    pytest.importorskip("onnxruntime")
    (sites["user"] / "nvidia/cudnn/lib").mkdir(parents=True)
    assert linux._setup_cuda_linux_preload() is None
