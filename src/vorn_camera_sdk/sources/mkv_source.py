"""Replay of an MKV recording as a frame source.

A recording made with this package carries the camera facts of the unit that
recorded it, whether its frames are stereo and its capture mode as global
tags (``recording_tags``). Replay then has the unit's identity and
calibration offline, without a device-info request.
"""

from __future__ import annotations

import errno as _errno
import json
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Iterator, Optional, Union

from ..recording_tags import CAMERA_FACTS_TAG, MODE_TAG, STEREO_TAG, format_mode, mode_from_tag
from ..recording_tags import embed_camera_facts as embed_camera_facts  # kept importable from here
from .base import Frame, FrameSource, import_stream_modules, make_frame

if TYPE_CHECKING:
    from ..cameras.camera_facts import VornCameraFacts
    from ..cameras.camera_spec import CaptureMode
    from ..depth import DepthEstimator, DepthFrame

# os_id of a record read from a recording: a replay is bound to no device.
REPLAY_OS_ID = ""


@dataclass(frozen=True, slots=True)
class _VideoFacts:
    """What a file's first video stream says of itself."""

    codec: str  # FFmpeg's codec name: "mjpeg", "rawvideo", "h264", ...
    pix_fmt: str
    width: int
    height: int
    fps: Optional[float]

    @property
    def fourcc(self) -> Optional[str]:
        """The capture pixel format the stream carries, None for one no camera sends."""
        if self.codec == "mjpeg":
            return "MJPG"
        if self.codec == "rawvideo" and self.pix_fmt == "yuyv422":
            return "YUYV"
        return None


def _stereo_sizes() -> frozenset[tuple[int, int]]:
    # The frame sizes of the catalog's side-by-side stereo modes.
    from ..cameras.camera_spec import family_specs

    return frozenset((m.width, m.height) for spec in family_specs().values() for m in spec.modes if m.stereo)


@dataclass(frozen=True, slots=True)
class RecordedPacket:
    """One packet of a recording, undecoded, with the attributes of a live one.

    ``timestamp`` is the stored presentation time in seconds. ``sequence``
    and ``dropped`` are rebuilt from the timestamps and the recorded mode's
    frame interval (a gap of two intervals is one lost frame); without a
    recorded mode ``sequence`` counts packets and ``dropped`` is 0.
    """

    data: bytes
    sequence: int
    timestamp: float
    dropped: int


class MkvSource(FrameSource):
    """Replays an MKV recording through PyAV, frame by frame.

    ``MkvSource(path)`` yields the same ``Frame`` records as a live camera,
    with ``timestamp`` the presentation time stored in the file, in seconds.
    Frames are split into left and right views when the recording is stereo:
    as ``stereo=`` says, else as the recording's stereo tag says, else when
    the recording carries camera facts (a VORN camera recording).

    ``camera_facts`` is the camera facts dictionary embedded by the recorder
    (or None) and ``record`` the ``VornCameraFacts`` built from it offline.
    Construction does no I/O. A missing file raises the matching OSError; a
    file that is not a readable recording raises ValueError naming it.

    ``mode`` is the capture mode the recorder tagged, checked against the
    video stream; a file without the tag (made with another tool) gets the
    mode of its stream (MJPEG or YUYV video), stereo when the file says so
    or when its size is one of the catalog's side-by-side stereo sizes.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], *, stereo: Optional[bool] = None) -> None:
        """__init__(path: str | os.PathLike, *, stereo: Optional[bool] = None) -> None"""
        self.path = os.fspath(path)
        self._stereo = stereo
        self._metadata: Optional[dict] = None
        self._video: Optional[_VideoFacts] = None
        self._has_video: Optional[bool] = None
        self._container: Any = None
        self._closed = False
        self._count = 0

    def __repr__(self) -> str:
        return f"<MkvSource path={self.path!r}{' closed' if self._closed else ''}>"

    @property
    def closed(self) -> bool:
        """closed -> bool: whether ``close()`` has been called."""
        return self._closed

    def _open_container(self, av: Any) -> Any:
        try:
            return av.open(self.path)
        except OSError as exc:
            if isinstance(exc.errno, int) and exc.errno in _errno.errorcode:
                reason = exc.strerror or str(exc)
                raise OSError(exc.errno, f"cannot open MKV recording: {reason}", self.path) from exc
            raise ValueError(f"cannot read MKV recording {self.path!r}: {exc.strerror or exc}") from exc
        except av.FFmpegError as exc:
            raise ValueError(f"cannot read MKV recording {self.path!r}: {exc.strerror or exc}") from exc

    def _read_header(self, container: Any) -> None:
        self._metadata = dict(container.metadata)
        videos = container.streams.video
        self._has_video = bool(videos)
        if videos:
            stream = videos[0]
            context = stream.codec_context
            rate = stream.average_rate or stream.guessed_rate
            pix_fmt = context.format.name if context.format is not None else ""
            self._video = _VideoFacts(context.name, pix_fmt, context.width, context.height,
                                      float(rate) if rate else None)

    def _header(self) -> None:
        if self._metadata is not None:
            return
        if self._container is not None:
            self._read_header(self._container)
            return
        av, _ = import_stream_modules()
        container = self._open_container(av)
        try:
            self._read_header(container)
        finally:
            container.close()

    @property
    def metadata(self) -> dict:
        """metadata -> dict: the container's global metadata tags, read once."""
        self._header()
        assert self._metadata is not None
        return self._metadata

    @property
    def camera_facts(self) -> Optional[dict]:
        """camera_facts -> Optional[dict]

        The camera facts dictionary the recorder embedded, or None when the
        recording has none. A tag that is not a JSON object raises ValueError.
        """
        text = self.metadata.get(CAMERA_FACTS_TAG)
        if text is None:
            return None
        try:
            payload = json.loads(text)
        except ValueError as exc:
            raise ValueError(f"{self.path}: the {CAMERA_FACTS_TAG} tag is not valid JSON ({exc})") from exc
        if not isinstance(payload, dict):
            raise ValueError(f"{self.path}: the {CAMERA_FACTS_TAG} tag is not a JSON object")
        return payload

    @property
    def record(self) -> Optional["VornCameraFacts"]:
        """record -> Optional[VornCameraFacts]

        The recording camera's facts record, built offline from the embedded
        dictionary with an empty ``os_id`` (a replay has no device). None when
        the recording carries no facts or they are not a valid record (the
        camera facts module logs why).
        """
        payload = self.camera_facts
        if payload is None:
            return None
        from ..cameras import VornCameraFacts

        return VornCameraFacts.from_dict(payload, os_id=REPLAY_OS_ID)

    @property
    def stereo(self) -> bool:
        """stereo -> bool: whether frames are split into left and right views."""
        if self._stereo is not None:
            return bool(self._stereo)
        tag = self.metadata.get(STEREO_TAG)
        if tag is not None:
            return tag.strip() not in ("0", "")
        if CAMERA_FACTS_TAG in self.metadata:
            return True
        video = self._video
        return video is not None and (video.width, video.height) in _stereo_sizes()

    def _tagged_mode(self) -> Optional["CaptureMode"]:
        return mode_from_tag(self.metadata.get(MODE_TAG), stereo=self.stereo)

    @property
    def mode(self) -> Optional["CaptureMode"]:
        """mode -> Optional[CaptureMode]

        The capture mode the recorder tagged, or without a tag the one the
        video stream shows (MJPEG or YUYV video with a frame rate); None
        when neither says. ValueError when the tag and the stream disagree.
        """
        from ..cameras.camera_spec import CaptureMode

        tagged = self._tagged_mode()
        video = self._video
        if video is None:
            return tagged
        fourcc = video.fourcc
        if tagged is not None:
            if (tagged.width, tagged.height) != (video.width, video.height) or (
                    fourcc is not None and tagged.fourcc.upper() != fourcc):
                shown = f"{video.width}x{video.height} {fourcc or video.codec}"
                raise ValueError(f"{self.path}: its {MODE_TAG} tag says {format_mode(tagged)} "
                                 f"but the video is {shown}")
            return tagged
        if self.metadata.get(MODE_TAG):
            raise ValueError(f"{self.path}: its {MODE_TAG} tag {self.metadata[MODE_TAG]!r} is not "
                             "of the form WIDTHxHEIGHT@FPS/FOURCC")
        if fourcc is None or not video.fps:
            return None
        fps = round(video.fps, 3)
        return CaptureMode(video.width, video.height, int(fps) if fps.is_integer() else fps, fourcc,
                           stereo=self.stereo)

    @property
    def codec(self) -> Optional[str]:
        """codec -> Optional[str]: FFmpeg's name of the video stream's codec, None without video."""
        self._header()
        return self._video.codec if self._video is not None else None

    def packets(self) -> Iterator[RecordedPacket]:
        """packets() -> Iterator[RecordedPacket]

        The recording's video packets in order, undecoded, as ``RecordedPacket``
        records; opens the file on first use. Packets and frames share the
        file position, so use one or the other.
        """
        self.open()
        return self._packets()

    def _packets(self) -> Iterator[RecordedPacket]:
        for packet, sequence, timestamp, dropped in self._demux():
            self._count += 1
            yield RecordedPacket(bytes(packet), sequence, timestamp, dropped)

    def depth(self, *, preset: str = "fast", calibration: Any = None, **options: Any) -> Iterator["DepthFrame"]:
        """depth(*, preset: str = "fast", calibration: Any = None, **options: Any) -> Iterator[DepthFrame]

        Depth of every frame of a stereo recording, in order and the same
        on every replay, from the camera facts the recording carries (or
        ``calibration``, anything ``vorn_camera_sdk.depth.calibration_of``
        takes). ``preset`` and ``options`` go to ``DepthEstimator``. A
        recording without a capture mode tag, a mono one or one without a
        calibration raises ValueError saying what is needed.
        """
        from ..depth import DepthEstimator

        mode = self.mode
        if mode is None:
            raise ValueError(f"MKV recording {self.path!r} does not say its capture mode; "
                             f"depth needs a recording made by this SDK")
        estimator = DepthEstimator(self if calibration is None else calibration, mode, preset=preset, **options)
        self.open()
        return self._depth_frames(estimator)

    def _depth_frames(self, estimator: "DepthEstimator") -> Iterator["DepthFrame"]:
        for packet, sequence, timestamp, dropped in self._demux():
            index = self._count
            try:
                depth = estimator.compute(RecordedPacket(bytes(packet), sequence, timestamp, dropped), index=index)
            except ValueError as exc:
                raise ValueError(f"cannot decode frame {index} of MKV recording {self.path!r}: {exc}") from exc
            self._count += 1
            yield depth

    def _demux(self) -> Iterator[tuple[Any, int, float, int]]:
        # (PyAV packet, sequence, timestamp, dropped) for each video packet.
        stream = self._container.streams.video[0]
        mode = self._tagged_mode()
        interval = 1.0 / float(mode.fps) if mode is not None else None
        sequence, previous = -1, None
        for packet in self._read(self._container.demux(stream)):
            if packet.size == 0 or packet.pts is None:
                continue
            timestamp = float(packet.pts * packet.time_base)
            step = 1
            if interval is not None and previous is not None:
                step = max(1, round((timestamp - previous) / interval))
            sequence += step
            previous = timestamp
            yield packet, sequence, timestamp, step - 1

    def open(self) -> None:
        """open() -> None

        Open the recording now rather than on first iteration. Does nothing
        when it is already open.
        """
        if self._closed:
            raise ValueError(f"MKV recording {self.path!r}: the source is closed")
        if self._container is not None:
            return
        av, _ = import_stream_modules()
        container = self._open_container(av)
        if not container.streams.video:
            container.close()
            raise ValueError(f"MKV recording {self.path!r} has no video stream")
        self._container = container
        if self._metadata is None:
            self._read_header(container)

    def __iter__(self) -> Iterator[Frame]:
        """__iter__() -> Iterator[Frame]

        The recording's frames in order; opens the file on first use.
        Iterating again continues where the last iteration stopped.
        """
        self.open()
        return self._frames()

    def _frames(self) -> Iterator[Frame]:
        if self._tagged_mode() is not None:
            return self._recorded_frames()
        return self._decoded_frames()

    def _recorded_frames(self) -> Iterator[Frame]:
        # A recording of this package holds one intra-coded picture per
        # packet, so each frame keeps its packet's sequence and losses.
        av, _ = import_stream_modules()
        decoder = self._container.streams.video[0].codec_context
        stereo = self.stereo
        for packet, sequence, timestamp, dropped in self._demux():
            try:
                pictures = decoder.decode(packet)
            except (OSError, av.FFmpegError) as exc:
                raise ValueError(
                    f"cannot decode frame {self._count} of MKV recording {self.path!r}: "
                    f"{getattr(exc, 'strerror', None) or exc}"
                ) from exc
            for picture in pictures:
                image = picture.to_ndarray(format="bgr24")
                frame = make_frame(image, timestamp, self._count, stereo, sequence, dropped)
                self._count += 1
                yield frame

    def _decoded_frames(self) -> Iterator[Frame]:
        container = self._container
        stream = container.streams.video[0]
        stereo = self.stereo
        rate = stream.average_rate or stream.guessed_rate
        for video_frame in self._read(container.decode(stream)):
            image = video_frame.to_ndarray(format="bgr24")
            if video_frame.time is not None:
                timestamp = float(video_frame.time)
            else:
                timestamp = self._count / float(rate) if rate else 0.0
            frame = make_frame(image, timestamp, self._count, stereo)
            self._count += 1
            yield frame
            if self._closed:
                return

    def _read(self, items: Iterator[Any]) -> Iterator[Any]:
        # The demuxer's packets or the decoder's frames until they end or the
        # source is closed; a failing read raises ValueError naming the file.
        av, _ = import_stream_modules()
        while not self._closed:
            try:
                item = next(items)
            except StopIteration:
                return
            except (OSError, av.FFmpegError) as exc:
                if self._closed:
                    return
                raise self._read_failure(exc) from exc
            yield item

    def _read_failure(self, exc: BaseException) -> ValueError:
        return ValueError(
            f"cannot read MKV recording {self.path!r} after {self._count} frames: "
            f"{getattr(exc, 'strerror', None) or exc}"
        )

    def close(self) -> None:
        """close() -> None: release the file. Closing twice is harmless."""
        self._closed = True
        container, self._container = self._container, None
        if container is not None:
            container.close()
