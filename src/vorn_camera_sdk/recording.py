"""Recording a camera's packet stream into Matroska, and one-frame snapshots.

The recorder never decodes: MJPG packets go into the file as the camera sent
them (Matroska codec ``V_MJPEG``), YUYV frames as raw video (``yuyv422``), the
kernel's own bytes. Raw video rather than FFV1 because the recorder must stay
cheap on the capture machine: FFV1 would cost a full-frame encode per frame
(several milliseconds per 1280x720 frame on one core) to halve the file
size, while raw video costs nothing and replays bit for bit.

Each packet's kernel capture time becomes its presentation time, counted
from the first packet (Matroska keeps timestamps to the millisecond). The
file carries the camera facts, whether the frames are stereo and the
capture mode as global tags, so ``MkvSource`` replays it offline with its
calibration.

Clusters are closed at least once a second and flushed to the file as they
close, so a recorder killed outright leaves a file readable up to its last
complete cluster.
"""

from __future__ import annotations

import math
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Optional, Protocol, Union

from .recording_tags import MODE_TAG, START_TAG, STEREO_TAG, embed_camera_facts, format_mode
from .recording_tags import mode_from_tag as mode_from_tag  # kept importable from here
from .sources.base import import_stream_modules

if TYPE_CHECKING:
    from .cameras.camera_spec import CameraSpec, CaptureMode

# Presentation times are written in microseconds; the muxer keeps milliseconds.
TIME_BASE = Fraction(1, 1_000_000)
# The muxer closes a cluster after this many milliseconds of frames.
CLUSTER_MILLISECONDS = 1000

_CODECS = {"MJPG": ("mjpeg", "yuvj422p"), "YUYV": ("rawvideo", "yuyv422")}


class PacketLike(Protocol):
    """What the recorder, the snapshot and the viewer need of a packet."""

    data: bytes
    sequence: int
    timestamp: float
    dropped: int


@dataclass(frozen=True)
class RecordingSummary:
    """What a finished recording holds.

    ``frames`` written, ``duration`` in seconds from the first frame's
    capture time to the last one's, ``lost`` frames the device or the kernel
    lost (sequence gaps) while recording, ``size`` of the file in bytes.
    """

    path: str
    frames: int
    duration: float
    lost: int
    size: int

    @property
    def fps(self) -> float:
        """fps -> float: frames per second over the recording (0.0 below two frames)."""
        return (self.frames - 1) / self.duration if self.frames > 1 and self.duration > 0 else 0.0

    def __str__(self) -> str:
        return (
            f"{self.path}: {self.frames} frames in {self.duration:.2f} s ({self.fps:.1f} fps), "
            f"{self.lost} lost by the device, {self.size / 1e6:.1f} MB"
        )


def split_mode(text: str) -> tuple[int, int, float, str]:
    """split_mode(text: str) -> tuple[int, int, float, str]

    (width, height, fps, FOURCC) of "WxH@FPS[/FOURCC]" text (FOURCC
    defaults to MJPG), before any camera is asked. ValueError for
    malformed text.
    """
    body, _, fourcc = text.strip().partition("/")
    size, _, fps_text = body.partition("@")
    width, _, height = size.lower().partition("x")
    try:
        wanted = (int(width), int(height), float(fps_text), (fourcc or "MJPG").upper())
    except ValueError:
        wanted = None
    if wanted is None or not (math.isfinite(wanted[2]) and wanted[2] > 0) or len(wanted[3]) != 4:
        raise ValueError(f"capture mode {text!r} is not of the form WIDTHxHEIGHT@FPS[/FOURCC]")
    return wanted


def parse_mode(text: str, spec: "CameraSpec") -> "CaptureMode":
    """parse_mode(text: str, spec: CameraSpec) -> CaptureMode

    The supported mode of ``spec`` that "WxH@FPS[/FOURCC]" names (FOURCC
    defaults to MJPG). Raises ValueError for malformed text, and for a mode
    the camera does not offer or the SDK does not support, listing the
    supported ones.
    """
    wanted = split_mode(text)
    for mode in spec.modes:
        if mode.is_supported and (mode.width, mode.height, float(mode.fps), mode.fourcc) == wanted:
            return mode
    offered = ", ".join(format_mode(m) for m in spec.modes if m.is_supported)
    raise ValueError(f"capture mode {text!r} is not a supported mode of this camera; supported: {offered}")


# -- decoding one packet ---------------------------------------------------------------


def decode_packet(packet: PacketLike, mode: "CaptureMode") -> Any:
    """decode_packet(packet, mode: CaptureMode) -> av.VideoFrame

    One packet of ``mode`` as a picture: a JPEG decoded, YUYV bytes wrapped.
    """
    av, np = import_stream_modules()
    if mode.fourcc == "YUYV":
        pixels = np.frombuffer(packet.data, np.uint8).reshape(mode.height, mode.width, 2)
        return av.VideoFrame.from_ndarray(pixels, format="yuyv422")
    decoder = av.CodecContext.create("mjpeg", "r")
    frames = decoder.decode(av.Packet(packet.data))
    frames += decoder.decode(None)
    if not frames:
        raise ValueError(f"packet {packet.sequence} is not a decodable JPEG")
    return frames[0]


def encode_png(picture: Any) -> bytes:
    """encode_png(picture: av.VideoFrame) -> bytes: the picture as a PNG file's bytes."""
    av, _ = import_stream_modules()
    encoder = av.CodecContext.create("png", "w")
    encoder.width, encoder.height, encoder.pix_fmt = picture.width, picture.height, "rgb24"
    encoder.time_base = Fraction(1, 1)
    rgb = picture.reformat(format="rgb24")
    return b"".join(bytes(p) for p in encoder.encode(rgb) + encoder.encode(None))


def png_views(packet: PacketLike, mode: "CaptureMode") -> dict[str, bytes]:
    """png_views(packet, mode: CaptureMode) -> dict[str, bytes]

    PNG files of one packet by file name: "frame.png" (the whole frame),
    and for a stereo mode "left.png" and "right.png" (its halves).
    """
    av, _ = import_stream_modules()
    picture = decode_packet(packet, mode)
    out = {"frame.png": encode_png(picture)}
    if mode.stereo:
        rgb = picture.to_ndarray(format="rgb24")
        half = rgb.shape[1] // 2
        for name, view in (("left.png", rgb[:, :half]), ("right.png", rgb[:, half : 2 * half])):
            out[name] = encode_png(av.VideoFrame.from_ndarray(view.copy(), format="rgb24"))
    return out


# -- opening a packet source -------------------------------------------------------------


def open_packet_source(source: Any, mode: Union["CaptureMode", str, None] = None, *, latest: bool) -> Any:
    """open_packet_source(source, mode=None, *, latest: bool) -> FrameSource

    A source whose ``packets()`` the tools read. ``source`` is anything
    ``resolve_source_arg`` takes; a live camera is (re)opened in ``mode``
    (a ``CaptureMode`` or "WxH@FPS[/FOURCC]" text, default: the camera's
    default mode) with the engine's ``latest`` policy (``latest=False``
    delivers every frame). A recording is returned as it is; asking a mode of
    it raises ValueError.
    """
    from .sources.camera_source import CameraSource
    from .sources.factory import resolve_source_arg

    resolved = resolve_source_arg(source)
    if isinstance(resolved, CameraSource):
        chosen = resolved.mode
        if isinstance(mode, str):
            chosen = parse_mode(mode, resolved.record.spec)
        elif mode is not None:
            chosen = mode
        if resolved is source and chosen is resolved.mode and getattr(resolved, "latest", latest) == latest:
            return resolved
        return CameraSource(resolved.record, chosen, latest=latest)
    if mode is not None:
        raise ValueError(f"{describe_source(resolved)} is a recording: its capture mode cannot be chosen")
    return resolved


def source_mode(source: Any) -> "CaptureMode":
    """source_mode(source) -> CaptureMode

    The capture mode of a live source or of a recording (from its mode tag,
    else its video stream). Raises ValueError for a recording without one.
    """
    mode = getattr(source, "mode", None)
    if mode is None:
        raise ValueError(f"{describe_source(source)} does not say its capture mode")
    return mode


def describe_source(source: Any) -> str:
    """describe_source(source) -> str: a source as a message names it (a recording by its path)."""
    path = getattr(source, "path", None)
    if isinstance(path, str):
        return path
    record = getattr(source, "record", None)
    serial = getattr(record, "serial", None)
    return f"VORN camera {serial}" if serial else type(source).__name__


def source_facts(source: Any) -> Optional[dict]:
    """source_facts(source) -> Optional[dict]: the camera facts dictionary of a source, if known."""
    facts = getattr(source, "camera_facts", None)
    if facts is not None:
        return facts
    record = getattr(source, "record", None)
    return record.to_dict() if record is not None else None


# -- the recorder -----------------------------------------------------------------------


class _StopOnSignals:
    """SIGINT and SIGTERM end the recording cleanly while it runs on the main thread."""

    def __init__(self, stop: threading.Event) -> None:
        self.stop = stop
        self.previous: dict[int, Any] = {}

    def __enter__(self) -> "_StopOnSignals":
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                self.previous[signum] = signal.signal(signum, lambda *_: self.stop.set())
        return self

    def __exit__(self, *exc_info: Any) -> None:
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)


def record(
    source: Any,
    out: Union[str, "os.PathLike[str]"],
    *,
    duration: Optional[float] = None,
    frames: Optional[int] = None,
    mode: Union["CaptureMode", str, None] = None,
    stop: Optional[threading.Event] = None,
    progress: Optional[Callable[[RecordingSummary], None]] = None,
) -> RecordingSummary:
    """record(source, out, *, duration=None, frames=None, mode=None, stop=None, progress=None) -> RecordingSummary

    Record ``source`` into the Matroska file ``out`` until ``duration``
    seconds of frames or ``frames`` frames are written, ``stop`` is set,
    the source ends, or (on the main thread) SIGINT or SIGTERM arrives; the
    file is finalised in every case and the summary returned.

    ``source`` is anything ``resolve_source_arg`` takes (a live camera is
    opened in ``mode`` with every frame delivered), or any object whose
    ``packets()`` yields packets (``data``, ``sequence``, ``timestamp``,
    ``dropped``) and that has a ``mode`` and camera facts. ``progress`` is
    called with the running summary about twice a second.
    """
    if hasattr(source, "packets") and not _is_camera_source(source):
        packet_source = source
    else:
        packet_source = open_packet_source(source, mode, latest=False)
    capture_mode = source_mode(packet_source)
    stop = stop or threading.Event()
    path = os.fspath(out)
    with _StopOnSignals(stop):
        try:
            return _record(packet_source, capture_mode, path, duration, frames, stop, progress)
        finally:
            if packet_source is not source:
                packet_source.close()


def _is_camera_source(source: Any) -> bool:
    from .sources.camera_source import CameraSource

    return isinstance(source, CameraSource)


def _record(source: Any, mode: "CaptureMode", path: str, duration: Optional[float], limit: Optional[int],
            stop: threading.Event, progress: Optional[Callable[[RecordingSummary], None]]) -> RecordingSummary:
    av, _ = import_stream_modules()
    if mode.fourcc not in _CODECS:
        raise ValueError(f"cannot record pixel format {mode.fourcc!r}; recordable: {', '.join(_CODECS)}")
    codec, pix_fmt = _CODECS[mode.fourcc]
    options = {"cluster_time_limit": str(CLUSTER_MILLISECONDS), "flush_packets": "1"}
    container = av.open(path, "w", format="matroska", options=options)
    try:
        facts = source_facts(source)
        if facts is not None:
            embed_camera_facts(container, facts, stereo=bool(mode.stereo))
        else:
            container.metadata[STEREO_TAG] = "1" if mode.stereo else "0"
        container.metadata[MODE_TAG] = format_mode(mode)
        stream = container.add_stream(codec, rate=Fraction(mode.fps).limit_denominator(1000))
        stream.width, stream.height, stream.pix_fmt = mode.width, mode.height, pix_fmt
        stream.time_base = TIME_BASE

        def write(packet: PacketLike, first: float) -> None:
            if packet.timestamp == first:
                container.metadata[START_TAG] = f"{first:.6f}"  # the header goes out with the first packet
            out = av.Packet(packet.data)
            out.stream = stream
            out.time_base = TIME_BASE
            out.pts = out.dts = round((packet.timestamp - first) / TIME_BASE)
            out.is_keyframe = True
            container.mux(out)

        written, span, lost = pump_packets(source, path, write, duration, limit, stop, progress)
    finally:
        container.close()
    return RecordingSummary(path, written, span, lost, _file_size(path))


def pump_packets(source: Any, path: str, write: Callable[[PacketLike, float], None], duration: Optional[float],
                 limit: Optional[int], stop: threading.Event,
                 progress: Optional[Callable[[RecordingSummary], None]]) -> tuple[int, float, int]:
    """pump_packets(source, path, write, duration, limit, stop, progress) -> tuple[int, float, int]

    The recorders' loop: each packet of ``source`` to ``write(packet,
    first_timestamp)`` until the source ends, ``duration`` seconds of
    capture time, ``limit`` packets or ``stop``; a live camera that sends
    nothing still ends on a stop or the duration within a second.
    ``progress`` gets a summary about twice a second. Returns (packets
    written, seconds spanned, frames lost between them).
    """
    written = lost = 0
    first = last = None
    reported = began = time.monotonic()
    packets = _packets_or_idle(source)
    for packet in packets:
        if packet is None:
            # Nothing from the camera for a while: a stop asked for, or
            # the duration over by the clock the capture times are on,
            # ends the recording all the same.
            start = first if first is not None else began
            if stop.is_set() or (duration is not None and time.monotonic() - start > duration):
                break
            continue
        if first is None:
            first = packet.timestamp
        elif duration is not None and packet.timestamp - first > duration:
            break
        write(packet, first)
        written += 1
        if written > 1:
            lost += packet.dropped
        last = packet.timestamp
        if progress is not None and time.monotonic() - reported >= 0.5:
            reported = time.monotonic()
            progress(RecordingSummary(path, written, last - first, lost, _file_size(path)))
        if stop.is_set() or (limit is not None and written >= limit):
            break
    close = getattr(packets, "close", None)
    if close is not None:
        close()
    span = (last - first) if first is not None and last is not None else 0.0
    return written, span, lost


# How long the recorder waits for a packet before it looks at the clock and
# at a stop request: well within the second a stop may take.
IDLE_SECONDS = 0.2


def _packets_or_idle(source: Any) -> Iterator[Optional[PacketLike]]:
    # A live camera's packets with None for each IDLE_SECONDS without one;
    # any other source's packets as they come.
    idle = getattr(source, "_packets_or_idle", None)
    if idle is not None:
        source.open()
        return idle(IDLE_SECONDS)
    return iter(source.packets())


def _file_size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def status_line(summary: RecordingSummary, elapsed: float) -> str:
    """status_line(summary: RecordingSummary, elapsed: float) -> str

    The recorder's one-line live status: elapsed time, frames, frame rate,
    megabytes written and frames lost.
    """
    return (
        f"{elapsed:7.1f} s  {summary.frames:6d} frames  {summary.fps:5.1f} fps  "
        f"{summary.size / 1e6:8.1f} MB  {summary.lost} lost"
    )


# -- snapshots ----------------------------------------------------------------------------


def snapshot(source: Any, out_dir: Union[str, "os.PathLike[str]"], *, at: Optional[float] = None) -> list[Path]:
    """snapshot(source, out_dir, *, at: Optional[float] = None) -> list[Path]

    Write one fresh frame of ``source`` (anything ``resolve_source_arg``
    takes) into ``out_dir`` as PNG files: "left.png", "right.png" and
    "frame.png" (side by side) for a stereo mode, "frame.png" for mono.
    ``at`` picks the first frame of a recording at or after that many
    seconds; live cameras take the newest frame. Returns the paths written.
    """
    packet_source = open_packet_source(source, latest=True)
    try:
        if at is not None and _is_camera_source(packet_source):
            raise ValueError("--at applies to recordings only; a live camera gives its newest frame")
        mode = source_mode(packet_source)
        chosen, last = _pick(packet_source.packets(), at)
        if chosen is None:
            where = describe_source(packet_source)
            if at is None or last is None:
                raise ValueError(f"{where} has no frame")
            raise ValueError(f"{where} has no frame at {at} s: the recording is {last:.2f} s long")
        views = png_views(chosen, mode)
    finally:
        packet_source.close()
    folder = Path(out_dir)
    folder.mkdir(parents=True, exist_ok=True)
    written = []
    for name in ("left.png", "right.png", "frame.png"):
        if name in views:
            (folder / name).write_bytes(views[name])
            written.append(folder / name)
    return written


def _pick(packets: Iterable[PacketLike], at: Optional[float]) -> tuple[Optional[PacketLike], Optional[float]]:
    # The packet chosen, or None and the last packet's time.
    iterator: Iterator[PacketLike] = iter(packets)
    last = None
    for packet in iterator:
        if at is None or packet.timestamp >= at:
            close = getattr(iterator, "close", None)
            if close is not None:
                close()
            return packet, packet.timestamp
        last = packet.timestamp
    return None, last


def stderr_is_terminal() -> bool:
    """stderr_is_terminal() -> bool: whether live status lines belong on stderr."""
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False
