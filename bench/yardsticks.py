"""Plain-Python versions of the native calls that bench_all.py times.

Each one does what the native call does, written the way a Python module
would write it: module globals looked up at call time, import statements
inside the function where the native code imports at call time, dataclasses
for records. The calibration yardstick is py_calibration.py, the catalog
family yardsticks are the py_catalog package.
"""

from __future__ import annotations

import fcntl
import logging
import struct
from dataclasses import dataclass
from typing import Any, Optional

import py_calibration
from vorn_camera_sdk.cameras.camera_spec import CameraSpec, spec_by_sku
from vorn_camera_sdk.platform.base import _FOURCC_TO_FFMPEG, CameraControls
from vorn_camera_sdk.sources.base import FrameSource

# ---------------------------------------------------------------- linux


def _IOC(direction, type_, nr, size):
    return (direction << 30) | (size << 16) | (ord(type_) << 8) | nr


VIDIOC_G_CTRL = _IOC(3, "V", 27, 8)
VIDIOC_S_CTRL = _IOC(3, "V", 28, 8)
_CANONICAL_TO_V4L2_ID = {
    "brightness": 0x00980900, "contrast": 0x00980901, "saturation": 0x00980902, "hue": 0x00980903,
    "gain": 0x00980913, "auto_exposure": 0x009A0901, "exposure": 0x009A0902, "gamma": 0x00980910,
    "white_balance_auto": 0x0098090C, "white_balance": 0x0098091A, "power_line_frequency": 0x00980918,
    "sharpness": 0x0098091B, "backlight_compensation": 0x0098091C,
}


class PyBackend:
    def av_open_args(self, os_id, mode):
        fourcc = mode.fourcc
        ff = _FOURCC_TO_FFMPEG.get(fourcc.upper())
        if ff is None:
            raise ValueError(f"unsupported fourcc {fourcc!r}; supported: {sorted(_FOURCC_TO_FFMPEG)}")
        return os_id, "v4l2", {"input_format": ff, "video_size": f"{mode.width}x{mode.height}",
                               "framerate": str(mode.fps)}


class PyControls(CameraControls):
    """The control handle with fcntl.ioctl and struct, on a descriptor it does not own."""

    def __init__(self, fd: int) -> None:
        self._fd = fd

    def get(self, name):
        cid = _CANONICAL_TO_V4L2_ID.get(name)
        if cid is None:
            return None
        buf = bytearray(struct.pack("<Ii", cid, 0))
        try:
            fcntl.ioctl(self._fd, VIDIOC_G_CTRL, buf)
        except OSError:
            return None
        return float(struct.unpack_from("<i", buf, 4)[0])

    def set(self, name, value):
        cid = _CANONICAL_TO_V4L2_ID.get(name)
        if cid is None:
            return False
        buf = bytearray(struct.pack("<Ii", cid, int(value)))
        try:
            fcntl.ioctl(self._fd, VIDIOC_S_CTRL, buf)
        except OSError:
            return False
        return True


# ---------------------------------------------------------------- camera facts

Calibration = py_calibration.Calibration
_LOGGER = logging.getLogger("bench.yardsticks")


@dataclass(frozen=True, slots=True)
class PyFacts:
    os_id: str
    serial: str
    sku: str
    model_name: str
    spec: CameraSpec
    base_calibration: Any

    @classmethod
    def from_dict(cls, payload: dict, *, os_id: str) -> Optional["PyFacts"]:
        serial = payload.get("serial_number")
        sku = payload.get("sku")
        if not serial or not sku:
            return None
        spec = spec_by_sku(str(sku))
        if spec is None:
            _LOGGER.warning("camera serial=%s reports SKU %r which is not registered", serial, sku)
            return None
        cal_block = payload.get("base_calibration")
        if not isinstance(cal_block, dict):
            _LOGGER.error("no base_calibration block for serial=%s", serial)
            return None
        try:
            cal = Calibration.from_dict(cal_block)
        except (ValueError, KeyError, TypeError):
            _LOGGER.exception("calibration deserialize failed for serial=%s", serial)
            return None
        return cls(os_id=os_id, serial=str(serial), sku=str(sku), model_name=str(payload.get("model_name") or ""),
                   spec=spec, base_calibration=cal)

    def to_dict(self) -> dict:
        return {"serial_number": self.serial, "sku": self.sku, "model_name": self.model_name,
                "base_calibration": self.base_calibration.to_dict()}


# ---------------------------------------------------------------- catalog


def py_spec_by_sku(sku):
    """The SKU lookup as a plain scan of the three families."""
    from py_catalog.vorn_petrin import VORN_PETRIN
    from py_catalog.vorn_sorvane import VORN_SORVANE
    from py_catalog.vorn_talvex import VORN_TALVEX

    for spec in (VORN_TALVEX, VORN_PETRIN, VORN_SORVANE):
        if sku in spec.skus:
            return spec
    return None


# ---------------------------------------------------------------- factory


def resolve_source_arg(source):
    """The resolver's dispatch up to the record form (the forms bench_all.py times)."""
    if isinstance(source, FrameSource):
        return source
    if source is None:
        raise NotImplementedError("auto-discovery is not timed")
    from vorn_camera_sdk.cameras import VornCameraFacts

    if isinstance(source, VornCameraFacts):
        from vorn_camera_sdk.sources.camera_source import CameraSource

        return CameraSource(source, source.spec.default_mode)
    raise NotImplementedError("text forms are not timed")
