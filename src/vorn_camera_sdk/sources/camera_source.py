"""A live VORN camera as a frame source."""

from __future__ import annotations

import errno as _errno
import threading
from typing import TYPE_CHECKING, Any, Iterator, Optional

from ..platform import current_backend
from .base import Frame, FrameSource, import_stream_modules, make_frame

if TYPE_CHECKING:
    import numpy as np

    from ..cameras.camera_facts import VornCameraFacts
    from ..cameras.camera_spec import CaptureMode
    from ..platform.base import CameraControls
    from ..platform.capture import Packet


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


def _capture_stream_class() -> Any:
    # The engine is Linux's; imported on first use like the backend.
    from ..platform.capture import CaptureStream

    return CaptureStream


class _Decoder:
    """Packets of one capture mode to BGR images: MJPG through FFmpeg's MJPEG
    decoder, YUYV converted by FFmpeg's scaler (no encoder in between)."""

    def __init__(self, av: Any, np: Any, mode: "CaptureMode") -> None:
        self.av = av
        self.np = np
        self.fourcc = mode.fourcc.upper()
        if self.fourcc == "MJPG":
            self.codec = av.CodecContext.create("mjpeg", "r")
        elif self.fourcc != "YUYV":
            raise ValueError(f"cannot decode pixel format {mode.fourcc!r}; supported: MJPG, YUYV")

    def __call__(self, packet: Any, width: int, height: int) -> Optional["np.ndarray"]:
        """The packet's image, or None for a frame that does not decode."""
        if self.fourcc == "MJPG":
            try:
                frames = self.codec.decode(self.av.Packet(packet.data))
            except self.av.FFmpegError:
                return None
            return frames[-1].to_ndarray(format="bgr24") if frames else None
        data = packet.data
        if len(data) != width * height * 2:
            return None
        frame = self.av.VideoFrame(width, height, "yuyv422")
        plane = frame.planes[0]
        if plane.line_size == width * 2:
            plane.update(data)
        else:
            rows = self.np.frombuffer(data, self.np.uint8).reshape(height, width, 2)
            frame = self.av.VideoFrame.from_ndarray(rows, format="yuyv422")
        return frame.to_ndarray(format="bgr24")


class CameraSource(FrameSource):
    """A live VORN camera, streamed by the native capture engine.

    ``CameraSource(record, mode, *, latest=True)`` streams the camera
    described by ``record`` (a ``VornCameraFacts``) in capture mode ``mode``.
    Construction does no I/O: the first iteration (or ``open()``) opens the
    device. Iterating yields ``Frame`` records, decoded to BGR; in a stereo
    mode each carries the left and right halves as views. ``timestamp`` is
    the kernel's capture time (seconds of CLOCK_MONOTONIC), ``sequence`` the
    kernel's frame number and ``dropped`` the frames lost just before.

    With ``latest=True`` (live use) every frame handed out is the newest the
    camera delivered, however long the consumer was away; frames it never saw
    are not decoded and count as dropped. With ``latest=False`` (recording,
    analysis) every frame comes in order through a queue of a few seconds;
    a consumer that falls further behind loses the oldest, counted as dropped.
    ``packets()`` hands out the undecoded packets instead of frames.

    ``controls`` opens the camera's control handle on a second descriptor, so
    exposure, gain and the rest can change while frames flow. ``close()``
    (from any thread) releases the stream and the control handle.

    Opening errors name the device and the mode: an OSError that keeps its
    errno (EBUSY when another process streams from the camera, or the
    matching subclass: PermissionError, FileNotFoundError, ...), or a
    ValueError for a mode the device does not take. A camera unplugged while
    streaming raises ``DeviceLostError`` (an OSError with errno ENODEV) once
    the frames received before have been handed out.
    """

    def __init__(self, record: "VornCameraFacts", mode: "CaptureMode", *, latest: bool = True) -> None:
        """__init__(record: VornCameraFacts, mode: CaptureMode, *, latest: bool = True) -> None"""
        self.record = record
        self.mode = mode
        self.latest = latest
        self._stream: Any = None
        self._decoder: Optional[_Decoder] = None
        self._controls: Optional["CameraControls"] = None
        self._closed = False
        self._count = 0
        self._lock = threading.Lock()

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
        if self._stream is not None:
            return
        av, np = import_stream_modules()
        decoder = _Decoder(av, np, self.mode)
        os_id = self.record.os_id
        try:
            stream = _capture_stream_class()(os_id, self.mode, latest=self.latest, serial=self.record.serial)
        except OSError as exc:
            raise _device_error(exc, f"cannot open {self._describe()}", os_id) from exc
        except ValueError as exc:
            raise ValueError(f"cannot open {self._describe()}: {exc}") from exc
        with self._lock:
            closed = self._closed
            if not closed:
                self._stream, self._decoder = stream, decoder
        if closed:  # closed by another thread meanwhile
            stream.close()
            self._check_open()

    def __iter__(self) -> Iterator[Frame]:
        """__iter__() -> Iterator[Frame]

        Frames as the delivery policy hands them out; opens the stream on
        first use. Iterating again continues the same stream; ``close()``
        ends it.
        """
        self.open()
        return self._frames()

    def packets(self) -> Iterator["Packet"]:
        """packets() -> Iterator[Packet]

        The undecoded packets (``data``, ``sequence``, ``timestamp``,
        ``dropped``) as the delivery policy hands them out, for passthrough
        to a recorder or a viewer; opens the stream on first use. Ends when
        the source is closed.
        """
        self.open()
        return iter(self._stream)

    def _frames(self) -> Iterator[Frame]:
        stream, decoder = self._stream, self._decoder
        assert decoder is not None
        width, height = stream.width, stream.height
        undecodable = 0
        for packet in stream:
            image = decoder(packet, width, height)
            if image is None:  # a damaged frame is a lost frame
                undecodable += packet.dropped + 1
                continue
            frame = make_frame(image, packet.timestamp, self._count, self.stereo,
                               packet.sequence, packet.dropped + undecodable)
            undecodable = 0
            self._count += 1
            yield frame

    def close(self) -> None:
        """close() -> None

        Release the video stream and the control handle. Closing twice is
        harmless. Another thread may call it while frames are being read:
        the read in progress ends and so does the iteration.
        """
        with self._lock:
            self._closed = True
            stream, self._stream = self._stream, None
            controls, self._controls = self._controls, None
        try:
            if stream is not None:
                stream.close()
        finally:
            if controls is not None:
                controls.close()
