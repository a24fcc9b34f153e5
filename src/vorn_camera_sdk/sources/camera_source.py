"""A live VORN camera as a frame source."""

from __future__ import annotations

import dataclasses
import errno as _errno
import logging
import threading
import time
from typing import TYPE_CHECKING, Any, Generator, Iterator, Optional

from ..platform import current_backend, watch_cameras
from ..platform.base import CameraControls
from .base import Frame, FrameSource, import_stream_modules, make_frame

if TYPE_CHECKING:
    import numpy as np

    from ..cameras.camera_facts import VornCameraFacts
    from ..cameras.camera_spec import CaptureMode
    from ..depth import DepthEstimator, DepthFrame
    from ..platform.capture import Packet
    from ..platform.events import CameraWatcher

_LOGGER = logging.getLogger(__name__)


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


def _capture_module() -> Any:
    # The engine is Linux's; imported on first use like the backend.
    from ..platform import capture

    return capture


class _SourceControls(CameraControls):
    """The control handle a source hands out. It remembers every value set
    through it (the last of each control, in the order last set), so that a
    camera that comes back after an unplug gets them again; the platform
    handle underneath is replaced then, and references to this one stay good."""

    def __init__(self, handle: CameraControls) -> None:
        self._handle = handle
        self._values: dict[str, float] = {}
        self._closed = False
        self._lock = threading.Lock()

    def get(self, name: str) -> Optional[int]:
        """get(name: str) -> Optional[int]

        The control's value in raw device units (the camera's controls are
        all integer controls), or None when the name is unknown or the
        camera refuses the request. Safe while the source reconnects.
        """
        with self._lock:
            value = self._handle.get(name)
        return None if value is None else int(value)

    def set(self, name: str, value: float) -> bool:
        """set(name: str, value: float) -> bool"""
        with self._lock:
            done = self._handle.set(name, value)
            if done:
                self._values.pop(name, None)
                self._values[name] = value
            return done

    def replace(self, handle: CameraControls) -> dict[str, float]:
        """replace(handle: CameraControls) -> dict[str, float]

        Go on with ``handle`` (the camera's new node) and set every
        remembered value on it again; the values it refused. A value the
        camera refuses only for the order of things (an exposure time while
        it still exposes automatically) is tried once more after the others.
        """
        with self._lock:
            old, self._handle = self._handle, handle
            old.close()
            if self._closed:
                handle.close()
                return {}
            refused = {name: value for name, value in self._values.items() if not handle.set(name, value)}
            return {name: value for name, value in refused.items() if not handle.set(name, value)}

    def close(self) -> None:
        """close() -> None"""
        with self._lock:
            self._closed = True
            self._handle.close()


def _capture_stream_class() -> Any:
    return _capture_module().CaptureStream


def _stream_packets(stream: Any, idle: float) -> Iterator[Optional["Packet"]]:
    # A capture stream's packets until it is closed, and None each time
    # `idle` seconds pass without a packet.
    while True:
        try:
            packet = stream.read(idle)
        except TimeoutError:
            yield None
            continue
        except ValueError:
            if stream.closed:  # closed by another thread, or while waiting
                return
            raise
        yield packet


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


class _DepthWorker:
    """Computes depth for the packets of a live stream on its own thread and
    keeps only the newest result: a result nobody took before the next one
    is dropped and counted in the next one's ``dropped``, and so is a frame
    that did not decode."""

    def __init__(self, packets: Iterator["Packet"], estimator: "DepthEstimator") -> None:
        self._packets = packets
        self._estimator = estimator
        self._ready = threading.Condition()
        self._newest: Optional["DepthFrame"] = None
        self._error: Optional[BaseException] = None
        self._done = False
        self._stopping = False
        self._thread = threading.Thread(target=self._run, name="vorn-depth", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        lost = 0  # frames since the last result that will never be handed out
        try:
            for packet in self._packets:
                if self._stopping:
                    break
                try:
                    depth = self._estimator.compute(packet)
                except ValueError:  # a damaged frame is a lost frame
                    lost += packet.dropped + 1
                    continue
                with self._ready:
                    if self._newest is not None:
                        lost += self._newest.dropped + 1
                    self._newest = dataclasses.replace(depth, dropped=depth.dropped + lost)
                    lost = 0
                    self._ready.notify_all()
        except BaseException as exc:  # handed to the consumer
            with self._ready:
                self._error = exc
        finally:
            close = getattr(self._packets, "close", None)
            if close is not None:
                close()
            with self._ready:
                self._done = True
                self._ready.notify_all()

    def take(self) -> Optional["DepthFrame"]:
        """take() -> Optional[DepthFrame]: the newest depth, waiting for one; None at the end."""
        with self._ready:
            while self._newest is None and not self._done:
                self._ready.wait()
            depth, self._newest = self._newest, None
            if depth is None and self._error is not None:
                error, self._error = self._error, None
                raise error
            return depth

    def stop(self, grace: float) -> None:
        """stop(grace: float) -> None

        Ask the thread to end after its current packet and wait for it (the
        next packet, or the end of the stream, wakes it; ``grace`` seconds
        beyond a second at most).
        """
        self._stopping = True
        if self._thread is not threading.current_thread():
            self._thread.join(1.0 + grace)


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

    With ``reconnect=SECONDS`` an unplugged camera is waited for instead: when
    a camera with the same serial comes back within that time, on whatever
    node it now has, the source opens the same mode there, reopens its
    control handle, sets again every control value set through
    ``controls``, and goes on: ``index`` continues, the first frame after the
    gap counts the frames missed in its ``dropped`` (from the frame rate and
    the time away; ``sequence`` starts again with the new stream),
    ``record.os_id`` names the new node and ``reconnects`` counts the
    reconnections. After the time-out the iteration raises
    ``DeviceLostError``; ``close()`` from another thread ends a wait at once.
    """

    def __init__(self, record: "VornCameraFacts", mode: "CaptureMode", *, latest: bool = True,
                 reconnect: Optional[float] = None) -> None:
        """__init__(record: VornCameraFacts, mode: CaptureMode, *, latest: bool = True, reconnect: Optional[float] = None) -> None"""
        if reconnect is not None and not reconnect >= 0:
            raise ValueError(f"reconnect must be a number of seconds (or None), not {reconnect!r}")
        self.record = record
        self.mode = mode
        self.latest = latest
        self.reconnect = reconnect
        self._stream: Any = None
        self._decoder: Optional[_Decoder] = None
        self._controls: Optional[_SourceControls] = None
        self._closed = False
        self._count = 0
        self._reconnects = 0
        self._watcher: Optional["CameraWatcher"] = None  # while waiting for the camera to come back
        self._depth_workers: list[_DepthWorker] = []
        self._lock = threading.Lock()
        # Held for a whole close(): a second one returns once the device is free.
        self._closing = threading.Lock()

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

    @property
    def reconnects(self) -> int:
        """reconnects -> int: how often the stream picked up again after an unplug."""
        return self._reconnects

    def _describe(self) -> str:
        return (
            f"VORN camera {self.record.serial} on {self.record.os_id} "
            f"in mode {describe_mode(self.mode)}"
        )

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"{self._describe()}: the source is closed")

    @property
    def controls(self) -> CameraControls:
        """controls -> CameraControls

        The camera's control handle, opened on first access and kept until
        ``close()``. Usable while frames flow; the values set through it are
        set again when the source reconnects.
        """
        self._check_open()
        if self._controls is None:
            os_id = self.record.os_id
            try:
                handle = current_backend().open_controls(os_id, self.record.serial)
            except OSError as exc:
                raise _device_error(exc, f"cannot open the controls of {self._describe()}", os_id) from exc
            self._controls = _SourceControls(handle)
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
        if not self._keep(stream, _stream=stream, _decoder=decoder):
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
        the source is closed. With ``reconnect`` they go on after an unplug
        as frames do.
        """
        self.open()
        return self._packets()

    def depth(self, *, preset: str = "fast", calibration: Any = None, **options: Any) -> Iterator["DepthFrame"]:
        """depth(*, preset: str = "fast", calibration: Any = None, **options: Any) -> Iterator[DepthFrame]

        Depth of the live stereo stream from the camera's factory
        calibration (or ``calibration``, anything
        ``vorn_camera_sdk.depth.calibration_of`` takes). A worker thread
        computes depth for the freshest frame while the consumer is busy,
        so each ``DepthFrame`` handed out is the newest one; the frames it
        never saw count in its ``dropped``, as frames do. ``preset`` and
        ``options`` go to ``DepthEstimator``. Opens the stream on first use;
        ends when the source is closed.
        """
        from ..depth import DepthEstimator

        estimator = DepthEstimator(self.record if calibration is None else calibration, self.mode,
                                   preset=preset, **options)
        self.open()
        return self._depth_frames(estimator)

    def _depth_frames(self, estimator: "DepthEstimator") -> Iterator["DepthFrame"]:
        worker = _DepthWorker(self._packets(), estimator)
        with self._lock:
            self._depth_workers.append(worker)
        try:
            while (depth := worker.take()) is not None:
                depth = dataclasses.replace(depth, index=self._count)
                self._count += 1
                yield depth
        finally:
            worker.stop(1.0 / float(self.mode.fps))
            with self._lock:
                self._depth_workers.remove(worker)

    def _packets(self) -> Iterator["Packet"]:
        for packet in self._packets_or_idle(None):
            if packet is not None:
                yield packet

    def _packets_or_idle(self, idle: Optional[float]) -> Iterator[Optional["Packet"]]:
        # The packets; with `idle` seconds, also None each time that long
        # passes without one (the camera stalled, or it is away and the
        # source waits for it), so a consumer can look at the clock.
        # Everything the clean-up of a generator closed at exit needs is
        # bound here, before the first packet: nothing is imported then.
        lost_error = _capture_module().DeviceLostError
        last: Optional[float] = None  # the capture time of the last packet
        away_since: Optional[float] = None
        while (stream := self._stream) is not None:
            try:
                # Without `idle`, the stream's own iterator (it ends on close).
                for packet in stream if idle is None else _stream_packets(stream, idle):
                    if packet is None:
                        yield None
                        continue
                    if away_since is not None:
                        # Every frame the camera would have sent since the last
                        # one delivered, the new stream's own first losses included.
                        missed = round((packet.timestamp - away_since) * float(self.mode.fps)) - 1
                        packet = type(packet)(packet.data, packet.sequence, packet.timestamp,
                                              max(packet.dropped, missed))
                        away_since = None
                    last = packet.timestamp
                    yield packet
                return
            except lost_error as lost:
                if self.reconnect is None or self._closed:
                    raise
                if away_since is None:
                    away_since = last if last is not None else time.monotonic()
                if not (yield from self._reconnect(lost, idle, lost_error)):
                    return

    def _reconnect(self, lost: OSError, idle: Optional[float], lost_error: Any) -> Generator[None, None, bool]:
        """Wait for the camera to come back and open the same mode on its
        node: True once streaming again, False when the source was closed
        meanwhile, DeviceLostError after ``reconnect`` seconds. Yields None
        every ``idle`` seconds of the wait."""
        deadline = time.monotonic() + (self.reconnect or 0.0)
        serial = self.record.serial
        with self._lock:
            stream, self._stream = self._stream, None
        if stream is not None:
            stream.close()  # the old node's number is free again once released
        watcher = watch_cameras()
        if not self._keep(watcher, _watcher=watcher):
            return False
        try:
            node = next((d.os_id for d in watcher.present if d.serial == serial), None)
            while True:
                if node is not None and self._reopen(node):
                    return True
                if self._closed:
                    return False
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                # A node that did not open may be one the kernel is still taking
                # down or setting up: look again shortly even without an event.
                wait = remaining if node is None else min(remaining, 0.1)
                event = watcher.read(wait if idle is None else min(wait, idle))
                if event is None and idle is not None:
                    yield None
                if event is not None:
                    node = event.os_id if event.kind == "added" and event.serial == serial else node
                elif node is not None:
                    node = next((d.os_id for d in current_backend().list_cameras() if d.serial == serial), None)
        finally:
            with self._lock:
                self._watcher = None
            watcher.close()
        raise lost_error(
            _errno.ENODEV, f"{lost.strerror or lost}; it did not come back within {self.reconnect:g} s",
            lost.filename) from lost

    def _reopen(self, os_id: str) -> bool:
        """Open the stream, and the control handle if one was open, on the
        camera's new node ``os_id``; False when that fails."""
        serial = self.record.serial
        try:
            stream = _capture_stream_class()(os_id, self.mode, latest=self.latest, serial=serial)
        except OSError as exc:
            _LOGGER.debug("VORN camera %s not yet ready on %s: %s", serial, os_id, exc)
            return False
        controls = self._controls
        if controls is not None:
            try:
                handle = current_backend().open_controls(os_id, serial)
            except OSError as exc:
                stream.close()
                _LOGGER.debug("the controls of VORN camera %s not yet ready on %s: %s", serial, os_id, exc)
                return False
            for name, value in controls.replace(handle).items():
                _LOGGER.warning("VORN camera %s refused %s=%s when it came back on %s", serial, name, value, os_id)
        self._keep(stream, _stream=stream, record=dataclasses.replace(self.record, os_id=os_id),
                   _reconnects=self._reconnects + 1)
        return True

    def _keep(self, resource: Any, **attributes: Any) -> bool:
        # Store a stream or watcher just opened (``attributes``) unless another
        # thread closed the source meanwhile; then close it instead. True
        # when it was kept.
        with self._lock:
            if not self._closed:
                for name, value in attributes.items():
                    setattr(self, name, value)
                return True
        resource.close()
        return False

    def _frames(self) -> Iterator[Frame]:
        stream, decoder = self._stream, self._decoder
        if stream is None or decoder is None:  # closed before the first frame was asked for
            return
        width, height = stream.width, stream.height
        undecodable = 0
        for packet in self._packets():
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
        harmless. Another thread may call it while frames are being read, or
        while the source waits for an unplugged camera to come back: the read
        or the wait ends at once and so does the iteration.
        """
        with self._closing:
            with self._lock:
                self._closed = True
                stream, self._stream = self._stream, None
                controls, self._controls = self._controls, None
                watcher = self._watcher
                workers = list(self._depth_workers)
            try:
                if watcher is not None:
                    watcher.close()  # ends a wait for the camera to come back
                if stream is not None:
                    stream.close()
                for worker in workers:  # their stream has ended: they finish now
                    worker.stop(0.0)
            finally:
                if controls is not None:
                    controls.close()
