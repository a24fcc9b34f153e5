"""A live VORN camera as a frame source."""

from __future__ import annotations

import errno as _errno
import threading
import time
from typing import TYPE_CHECKING, Any, Iterator, Optional

from ..platform import current_backend
from .base import Frame, FrameSource, import_stream_modules, make_frame

if TYPE_CHECKING:
    from ..cameras.camera_facts import VornCameraFacts
    from ..cameras.camera_spec import CaptureMode
    from ..platform.base import CameraControls


def describe_mode(mode: "CaptureMode") -> str:
    """describe_mode(mode: CaptureMode) -> str

    A capture mode as one short phrase, such as "2560x720 MJPG at 30 fps, stereo".
    """
    kind = "stereo" if mode.stereo else "mono"
    return f"{mode.width}x{mode.height} {mode.fourcc} at {mode.fps} fps, {kind}"


def _device_error(exc: BaseException, what: str, os_id: str) -> OSError:
    # An errno-carrying failure keeps its errno, so OSError() picks the
    # matching subclass (PermissionError, FileNotFoundError, ...); anything
    # else (FFmpeg's own error codes) becomes a plain OSError.
    code = getattr(exc, "errno", None)
    reason = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
    if isinstance(exc, OSError) and isinstance(code, int) and code in _errno.errorcode:
        return OSError(code, f"{what}: {reason}", os_id)
    return OSError(f"{what}: {reason}")


class CameraSource(FrameSource):
    """A live VORN camera, streamed through PyAV.

    ``CameraSource(record, mode)`` streams the camera described by ``record``
    (a ``VornCameraFacts``) in capture mode ``mode``. Construction does no
    I/O: the first iteration (or ``open()``) opens the device with the
    platform backend's stream arguments. Iterating yields ``Frame`` records;
    in a stereo mode each carries the left and right halves as views.

    ``controls`` opens the camera's control handle on a second descriptor, so
    exposure, gain and the rest can change while frames flow. ``close()``
    releases the stream and the control handle.

    Opening errors are OSErrors that name the device and the mode; a busy,
    missing or forbidden node keeps its errno, so it arrives as the matching
    OSError subclass (PermissionError, FileNotFoundError, ...).
    """

    def __init__(self, record: "VornCameraFacts", mode: "CaptureMode") -> None:
        """__init__(record: VornCameraFacts, mode: CaptureMode) -> None"""
        self.record = record
        self.mode = mode
        self._container: Any = None
        self._controls: Optional["CameraControls"] = None
        self._closed = False
        self._count = 0
        # close() from another thread must not pull the container out from
        # under a read in progress; the reader releases it instead.
        self._lock = threading.Lock()
        self._reading = False

    def __repr__(self) -> str:
        return (
            f"<CameraSource serial={self.record.serial!r} os_id={self.record.os_id!r} "
            f"mode={describe_mode(self.mode)!r}{' closed' if self._closed else ''}>"
        )

    @property
    def stereo(self) -> bool:
        """stereo -> bool: whether the frames carry a left and a right view."""
        return bool(self.mode.stereo)

    @property
    def closed(self) -> bool:
        """closed -> bool: whether ``close()`` has been called."""
        return self._closed

    def _describe(self) -> str:
        return (
            f"VORN camera {self.record.serial} on {self.record.os_id} "
            f"in mode {describe_mode(self.mode)}"
        )

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"{self._describe()}: the source is closed")

    @property
    def controls(self) -> "CameraControls":
        """controls -> CameraControls

        The camera's control handle, opened on first access and kept until
        ``close()``. Usable while frames flow.
        """
        self._check_open()
        if self._controls is None:
            os_id = self.record.os_id
            try:
                self._controls = current_backend().open_controls(os_id, self.record.serial)
            except OSError as exc:
                raise _device_error(exc, f"cannot open the controls of {self._describe()}", os_id) from exc
        return self._controls

    def open(self) -> None:
        """open() -> None

        Open the video stream now rather than on first iteration. Does
        nothing when it is already open.
        """
        self._check_open()
        if self._container is not None:
            return
        av, _ = import_stream_modules()
        path, input_format, options = current_backend().av_open_args(self.record.os_id, self.mode)
        try:
            container = av.open(path, format=input_format, options=options)
        except (OSError, av.FFmpegError) as exc:
            raise _device_error(exc, f"cannot open {self._describe()}", path) from exc
        if not container.streams.video:
            container.close()
            raise OSError(f"cannot open {self._describe()}: the device offers no video stream")
        self._container = container

    def __iter__(self) -> Iterator[Frame]:
        """__iter__() -> Iterator[Frame]

        Frames as they arrive; opens the stream on first use. Iterating again
        continues the same stream.
        """
        self.open()
        return self._frames()

    def _frames(self) -> Iterator[Frame]:
        av, _ = import_stream_modules()
        container = self._container
        decoded = container.decode(container.streams.video[0])
        while True:
            with self._lock:
                if self._closed:
                    return
                self._reading = True
            try:
                video_frame = next(decoded)
            except StopIteration:
                return
            except (OSError, av.FFmpegError) as exc:
                if self._closed:
                    return
                raise _device_error(exc, f"streaming from {self._describe()} failed", self.record.os_id) from exc
            finally:
                with self._lock:
                    self._reading = False
                    closed = self._closed
                if closed:
                    self._release_stream()
            if closed:
                return
            image = video_frame.to_ndarray(format="bgr24")
            stamp = video_frame.time
            timestamp = float(stamp) if stamp is not None else time.monotonic()
            frame = make_frame(image, timestamp, self._count, self.stereo)
            self._count += 1
            yield frame

    def _release_stream(self) -> None:
        container, self._container = self._container, None
        if container is not None:
            container.close()

    def close(self) -> None:
        """close() -> None

        Release the video stream and the control handle. Closing twice is
        harmless. Another thread may call it while frames are being read:
        the stream is then released as soon as the frame being read arrives.
        """
        with self._lock:
            self._closed = True
            reading = self._reading
            controls, self._controls = self._controls, None
        try:
            if not reading:
                self._release_stream()
        finally:
            if controls is not None:
                controls.close()
