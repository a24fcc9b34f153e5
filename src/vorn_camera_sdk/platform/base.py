"""The platform backend contract shared by every operating-system backend."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional, Self

if TYPE_CHECKING:
    from ..cameras.camera_spec import CaptureMode

# Four-character pixel format code -> FFmpeg v4l2 demuxer input_format name.
_FOURCC_TO_FFMPEG: dict[str, str] = {"MJPG": "mjpeg", "YUYV": "yuyv422"}


@dataclass(frozen=True, kw_only=True)
class VideoDeviceInfo:
    """One enumerated video device of a VORN camera."""

    os_id: str
    name: str
    serial: str


class CameraControls:
    """A handle that reads and writes camera controls by canonical name.

    Values are raw device units. Use as a context manager to close it on exit.
    """

    def get(self, name: str) -> Optional[float]:
        """get(name: str) -> Optional[float]"""
        raise NotImplementedError

    def set(self, name: str, value: float) -> bool:
        """set(name: str, value: float) -> bool"""
        raise NotImplementedError

    def close(self) -> None:
        """close() -> None"""
        raise NotImplementedError

    def __enter__(self) -> Self:
        """__enter__() -> Self: the handle itself."""
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


class PlatformBackend:
    """What an operating-system backend offers: enumeration, controls, stream arguments."""

    av_input_format: str
    clock_domain: str

    def list_cameras(self) -> list[VideoDeviceInfo]:
        """list_cameras() -> list[VideoDeviceInfo]"""
        raise NotImplementedError

    def open_controls(self, os_id: str, serial: Optional[str] = None) -> CameraControls:
        """open_controls(os_id: str, serial: Optional[str] = None) -> CameraControls"""
        raise NotImplementedError

    def av_open_args(self, os_id: str, mode: "CaptureMode") -> tuple[str, str, dict]:
        """av_open_args(os_id: str, mode: CaptureMode) -> tuple[str, str, dict]"""
        raise NotImplementedError


def parse_vorn_iproduct(product: str) -> Optional[tuple[str, str]]:
    """parse_vorn_iproduct(product: str) -> Optional[tuple[str, str]]

    Split a USB product string such as "VORN Talvex AB12CD34" into
    (product name, serial): ("VORN Talvex", "AB12CD34"). Returns None unless
    the string is at least three words separated by single spaces, the first
    being "VORN".
    """
    words = product.split(" ")
    if len(words) < 3 or "" in words or words[0] != "VORN":
        return None
    name, _, serial = product.rpartition(" ")
    return name, serial
