"""MCAP recordings of a stereo camera as ROS 2 messages, their replay, and
conversion to and from the Matroska recordings.

An MCAP recording holds CDR-encoded ROS 2 messages (profile "ros2"), so
Foxglove opens it and ``ros2 bag play`` replays it as it is:

- ``/left/image_raw/compressed`` and ``/right/image_raw/compressed``
  (``sensor_msgs/msg/CompressedImage``, format "jpeg"): each eye cut out of
  the camera's side-by-side MJPG frame losslessly (``vorn_camera_sdk.jpeg``),
  never decoded;
- ``/stereo/image_raw/compressed``: the camera's side-by-side frame as it
  came. It keeps the recording convertible back to Matroska byte for byte:
  the two eyes cannot be joined into the original JPEG again without
  re-encoding, so the original travels beside them;
- ``/left/camera_info`` and ``/right/camera_info`` with each frame, from the
  factory calibration (``stereo_info``), and ``/tf_static`` once: the right
  optical frame in the left one.

Each message's MCAP sequence is the kernel's frame number, its log time and
``header.stamp`` the capture time on the system clock. The camera facts, the
capture mode and the clock offset (system minus monotonic time) go into the
file's metadata record ``METADATA_NAME``.

Messages are gathered in uncompressed chunks (JPEG does not compress) that
are closed and flushed to the file at least once a second, so a recorder
killed outright leaves every message of its closed chunks readable; only the
summary at the end is missing, which ``McapSource`` and any streaming MCAP
reader do without.
"""

from __future__ import annotations

import json
import logging
import os
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Generator, Iterator, Optional, Union

from .sources.base import Frame, FrameSource, make_frame
from .sources.mkv_source import REPLAY_OS_ID, RecordedPacket

_LOGGER = logging.getLogger(__name__)

if TYPE_CHECKING:
    from .cameras.camera_facts import VornCameraFacts
    from .cameras.camera_spec import CaptureMode
    from .recording import RecordingSummary

MCAP_EXTRA_HINT = "pip install 'vorn-camera-sdk[mcap]'"

# The metadata record with the camera facts, the mode and the clocks.
METADATA_NAME = "vorn_camera"
LEFT_IMAGE, RIGHT_IMAGE, STEREO_IMAGE = ("/left/image_raw/compressed", "/right/image_raw/compressed",
                                         "/stereo/image_raw/compressed")
LEFT_INFO, RIGHT_INFO, TF_STATIC = "/left/camera_info", "/right/camera_info", "/tf_static"
# Optical frame ids: "<prefix>left_optical_frame" and "<prefix>right_optical_frame".
DEFAULT_FRAME_PREFIX = "camera_"
# A chunk is closed and flushed after this many seconds of messages.
FLUSH_SECONDS = 1.0

_SEPARATOR = "=" * 80 + "\n"
_TIME = "MSG: builtin_interfaces/Time\nint32 sec\nuint32 nanosec\n"
_HEADER = "MSG: std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring frame_id\n"
# The message definitions as ROS 2 ships them (comments left out), each with
# the definitions it uses after it.
MSGDEFS = {
    "sensor_msgs/msg/CompressedImage": "std_msgs/Header header\nstring format\nuint8[] data\n"
    + _SEPARATOR + _HEADER + _SEPARATOR + _TIME,
    "sensor_msgs/msg/CameraInfo": (
        "std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\nfloat64[] d\n"
        "float64[9] k\nfloat64[9] r\nfloat64[12] p\nuint32 binning_x\nuint32 binning_y\n"
        "sensor_msgs/RegionOfInterest roi\n"
        + _SEPARATOR + _HEADER + _SEPARATOR + _TIME + _SEPARATOR
        + "MSG: sensor_msgs/RegionOfInterest\nuint32 x_offset\nuint32 y_offset\nuint32 height\nuint32 width\n"
        "bool do_rectify\n"),
    "tf2_msgs/msg/TFMessage": (
        "geometry_msgs/TransformStamped[] transforms\n" + _SEPARATOR
        + "MSG: geometry_msgs/TransformStamped\nstd_msgs/Header header\nstring child_frame_id\n"
        "geometry_msgs/Transform transform\n" + _SEPARATOR + _HEADER + _SEPARATOR + _TIME + _SEPARATOR
        + "MSG: geometry_msgs/Transform\ngeometry_msgs/Vector3 translation\ngeometry_msgs/Quaternion rotation\n"
        + _SEPARATOR + "MSG: geometry_msgs/Vector3\nfloat64 x\nfloat64 y\nfloat64 z\n" + _SEPARATOR
        + "MSG: geometry_msgs/Quaternion\nfloat64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n"),
}


def import_mcap() -> tuple[Any, Any]:
    """import_mcap() -> tuple[module, module]

    The MCAP writer module and the ROS 2 support's dynamic CDR module. Without
    them an ImportError says which extra to install.
    """
    try:
        import mcap.writer as writer
        import mcap_ros2._dynamic as dynamic
    except ImportError as exc:
        raise ImportError(f"MCAP recordings need the mcap packages: {MCAP_EXTRA_HINT}", name=exc.name) from exc
    return writer, dynamic


def import_jpeg() -> Any:
    """import_jpeg() -> module

    The package's JPEG module. A package built without libjpeg-turbo lacks
    it: the ImportError then says what to install.
    """
    try:
        from . import jpeg
    except ImportError as exc:
        raise ImportError("lossless eye crops need libjpeg-turbo, which this build of vorn-camera-sdk lacks: "
                          "sudo apt-get install libturbojpeg0-dev, then reinstall the package",
                          name=exc.name) from exc
    return jpeg


def frame_ids(prefix: str = DEFAULT_FRAME_PREFIX) -> tuple[str, str]:
    """frame_ids(prefix: str = DEFAULT_FRAME_PREFIX) -> tuple[str, str]: the left and right optical frame ids."""
    return f"{prefix}left_optical_frame", f"{prefix}right_optical_frame"


def stamp(seconds: float) -> dict[str, int]:
    """stamp(seconds: float) -> dict[str, int]: a builtin_interfaces/Time of system-clock seconds."""
    nanoseconds = round(seconds * 1e9)
    return {"sec": nanoseconds // 1_000_000_000, "nanosec": nanoseconds % 1_000_000_000}


def camera_info_message(info: Any, header: dict) -> dict:
    """camera_info_message(info: EyeInfo, header: dict) -> dict: a sensor_msgs/CameraInfo as a dict."""
    return {"header": header, "height": info.height, "width": info.width,
            "distortion_model": info.distortion_model, "d": list(info.d), "k": list(info.k),
            "r": list(info.r), "p": list(info.p), "binning_x": 0, "binning_y": 0,
            "roi": {"x_offset": 0, "y_offset": 0, "height": 0, "width": 0, "do_rectify": False}}


def transform_message(transform: Any, header: dict, child: str) -> dict:
    """transform_message(transform: StereoTransform, header: dict, child: str) -> dict

    A tf2_msgs/TFMessage holding the one transform as a dict.
    """
    (tx, ty, tz), (qx, qy, qz, qw) = transform.translation, transform.rotation
    return {"transforms": [{"header": header, "child_frame_id": child, "transform": {
        "translation": {"x": tx, "y": ty, "z": tz}, "rotation": {"x": qx, "y": qy, "z": qz, "w": qw}}}]}


class McapWriter:
    """Writes a camera's side-by-side MJPG packets into an MCAP recording.

    ``McapWriter(path, mode, facts, clock_offset)``; ``write(packet)`` for each
    packet in order (``data``, ``sequence``, ``timestamp`` on the monotonic
    clock), ``close()`` to finish the file with its summary. ``facts`` is the
    camera facts dictionary (its calibration gives the camera info; without
    one the camera info and the transform are left out).
    """

    def __init__(self, path: str, mode: "CaptureMode", facts: Optional[dict], clock_offset: float,
                 frame_prefix: str = DEFAULT_FRAME_PREFIX) -> None:
        """__init__(path: str, mode: CaptureMode, facts: Optional[dict], clock_offset: float, frame_prefix: str = DEFAULT_FRAME_PREFIX) -> None"""
        if mode.fourcc != "MJPG" or not mode.stereo:
            raise ValueError(f"MCAP recordings take stereo MJPG modes, not {mode.width}x{mode.height} "
                             f"{mode.fourcc}{'' if mode.stereo else ' mono'}; record it into an .mkv file")
        writer_module, dynamic = import_mcap()
        from .recording import format_mode

        self.mode, self.clock_offset = mode, clock_offset
        self.left_frame, self.right_frame = frame_ids(frame_prefix)
        self._file = open(path, "wb")
        self._writer = writer_module.Writer(self._file, chunk_size=4 << 20,
                                            compression=writer_module.CompressionType.NONE)
        self._writer.start(profile="ros2", library="vorn-camera-sdk")
        self._channels: dict[str, tuple[int, Callable[[Any], bytes]]] = {}
        schemas = {}
        for name, text in MSGDEFS.items():
            schema_id = self._writer.register_schema(name, "ros2msg", text.encode())
            schemas[name] = (schema_id, dynamic.serialize_dynamic(name, text)[name])
        topics = {LEFT_IMAGE: "sensor_msgs/msg/CompressedImage", RIGHT_IMAGE: "sensor_msgs/msg/CompressedImage",
                  STEREO_IMAGE: "sensor_msgs/msg/CompressedImage", LEFT_INFO: "sensor_msgs/msg/CameraInfo",
                  RIGHT_INFO: "sensor_msgs/msg/CameraInfo", TF_STATIC: "tf2_msgs/msg/TFMessage"}
        for topic, name in topics.items():
            schema_id, encoder = schemas[name]
            channel = self._writer.register_channel(topic=topic, message_encoding="cdr", schema_id=schema_id)
            self._channels[topic] = (channel, encoder)
        self._infos: Optional[tuple[Any, Any]] = None
        self._transform: Any = None
        calibration = None
        if facts is not None and isinstance(facts.get("base_calibration"), dict):
            from .calibration import Calibration

            calibration = Calibration.from_dict(facts["base_calibration"])
            from .stereo_info import stereo_camera_info, stereo_transform

            try:
                self._infos = stereo_camera_info(calibration, mode)
            except ValueError as exc:  # a mode whose eyes the calibration does not describe
                _LOGGER.warning("%s: no camera_info is recorded: %s", path, exc)
            self._transform = stereo_transform(calibration)
        metadata = {"capture_mode": format_mode(mode), "stereo": "1", "clock_offset": f"{clock_offset:.9f}",
                    "frame_prefix": frame_prefix}
        if facts is not None:
            metadata["camera_facts"] = json.dumps(facts)
        self._writer.add_metadata(METADATA_NAME, metadata)
        self._flushed = time.monotonic()
        self._first = True
        self._split = import_jpeg().split_stereo

    def _put(self, topic: str, message: dict, log_time: int, sequence: int) -> None:
        channel, encoder = self._channels[topic]
        self._writer.add_message(channel_id=channel, log_time=log_time, publish_time=log_time,
                                 sequence=sequence & 0xFFFFFFFF, data=encoder(message))

    def write(self, packet: Any) -> None:
        """write(packet) -> None

        One side-by-side frame: both eyes cut out losslessly, the original,
        and the camera info of both eyes, stamped with the capture time.
        """
        left, right = self._split(bytes(packet.data))
        wall = packet.timestamp + self.clock_offset
        nanoseconds = round(wall * 1e9)
        time_msg = stamp(wall)
        sequence = packet.sequence
        if self._first and self._transform is not None:
            header = {"stamp": time_msg, "frame_id": self.left_frame}
            self._put(TF_STATIC, transform_message(self._transform, header, self.right_frame), nanoseconds, 0)
        self._first = False
        for topic, frame_id, data in ((LEFT_IMAGE, self.left_frame, left), (RIGHT_IMAGE, self.right_frame, right),
                                      (STEREO_IMAGE, self.left_frame, bytes(packet.data))):
            self._put(topic, {"header": {"stamp": time_msg, "frame_id": frame_id}, "format": "jpeg", "data": data},
                      nanoseconds, sequence)
        if self._infos is not None:
            for topic, frame_id, info in ((LEFT_INFO, self.left_frame, self._infos[0]),
                                          (RIGHT_INFO, self.right_frame, self._infos[1])):
                self._put(topic, camera_info_message(info, {"stamp": time_msg, "frame_id": frame_id}),
                          nanoseconds, sequence)
        if time.monotonic() - self._flushed >= FLUSH_SECONDS:
            self._writer.flush()  # closes the chunk and flushes the file
            self._flushed = time.monotonic()

    def close(self) -> None:
        """close() -> None: write the summary and close the file. Closing twice is harmless."""
        if self._file.closed:
            return
        try:
            self._writer.finish()
        finally:
            self._file.close()


def record_mcap(
    source: Any,
    out: Union[str, "os.PathLike[str]"],
    *,
    duration: Optional[float] = None,
    frames: Optional[int] = None,
    mode: Union["CaptureMode", str, None] = None,
    stop: Optional[threading.Event] = None,
    progress: Optional[Callable[["RecordingSummary"], None]] = None,
) -> "RecordingSummary":
    """record_mcap(source, out, *, duration=None, frames=None, mode=None, stop=None, progress=None) -> RecordingSummary

    Record ``source`` into the MCAP file ``out``, as ``recording.record``
    records into Matroska: the same sources, limits, stop event, signals
    and progress calls. A live camera's capture times go onto the system
    clock; a Matroska recording's keep the clock offset it stored, or are
    placed by the file's modification time.
    """
    from . import recording

    if hasattr(source, "packets") and not recording._is_camera_source(source):
        packet_source = source
    else:
        packet_source = recording.open_packet_source(source, mode, latest=False)
    capture_mode = recording.source_mode(packet_source)
    stop = stop or threading.Event()
    path = os.fspath(out)
    offset = _clock_offset(packet_source)
    with recording._StopOnSignals(stop):
        try:
            writer = McapWriter(path, capture_mode, recording.source_facts(packet_source), offset)
            try:
                return _pump(packet_source, writer, path, duration, frames, stop, progress)
            finally:
                writer.close()
        finally:
            if packet_source is not source:
                packet_source.close()


def _clock_offset(source: Any) -> float:
    # Live packets are stamped on the monotonic clock: system minus monotonic
    # time now. A recording's packets start at 0: their capture start, placed
    # on the system clock by the offset it kept or by its file's time.
    offset = getattr(source, "clock_offset", None)
    start = getattr(source, "capture_start", None)
    if offset is not None:
        return float(offset) + (float(start) if start is not None else 0.0)
    path = getattr(source, "path", None)
    if path is not None:
        from .sources.mkv_source import MkvSource

        if isinstance(source, MkvSource):
            from .recording import START_TAG

            if START_TAG in source.metadata:
                return os.stat(path).st_mtime - _last_timestamp(path)
    return time.time() - time.monotonic()


def _last_timestamp(path: str) -> float:
    from .sources.mkv_source import MkvSource

    last = 0.0
    with MkvSource(path) as source:
        for packet in source.packets():
            last = packet.timestamp
    return last


def _pump(source: Any, writer: McapWriter, path: str, duration: Optional[float], limit: Optional[int],
          stop: threading.Event, progress: Optional[Callable[["RecordingSummary"], None]]) -> "RecordingSummary":
    from .recording import RecordingSummary, _file_size, pump_packets

    try:
        written, span, lost = pump_packets(source, path, lambda packet, first: writer.write(packet), duration,
                                           limit, stop, progress)
    finally:
        writer.close()
    return RecordingSummary(path, written, span, lost, _file_size(path))


# -- replay ----------------------------------------------------------------------------------


@dataclass(frozen=True)
class McapMessage:
    """One decoded message of a recording: its topic, MCAP sequence, log time
    (nanoseconds) and the decoded ROS 2 message."""

    topic: str
    sequence: int
    log_time: int
    message: Any


def read_messages(path: Union[str, "os.PathLike[str]"],
                  topics: Optional[frozenset[str]] = None) -> Generator[McapMessage, None, None]:
    """read_messages(path, topics: Optional[frozenset[str]] = None) -> Generator[McapMessage, None, None]

    Every message of an MCAP file (of ``topics`` only, when given) in file
    order, decoded from CDR. A file cut short (a recorder killed outright)
    ends at its last complete record.
    """
    import_mcap()
    from mcap.exceptions import EndOfFile
    from mcap.records import Channel, Message, Schema
    from mcap.stream_reader import StreamReader
    from mcap_ros2.decoder import DecoderFactory

    factory = DecoderFactory()
    schemas: dict[int, Any] = {}
    channels: dict[int, Any] = {}
    with open(os.fspath(path), "rb") as fh:
        records = StreamReader(fh, record_size_limit=1 << 30).records
        while True:
            try:
                record = next(records)
            except (StopIteration, EndOfFile):
                return
            if isinstance(record, Schema):
                schemas[record.id] = record
            elif isinstance(record, Channel):
                channels[record.id] = record
            elif isinstance(record, Message):
                channel = channels[record.channel_id]
                if topics is not None and channel.topic not in topics:
                    continue
                decoder = factory.decoder_for(channel.message_encoding, schemas.get(channel.schema_id))
                decoded = decoder(record.data) if decoder is not None else record.data
                yield McapMessage(channel.topic, record.sequence, record.log_time, decoded)


def read_metadata(path: Union[str, "os.PathLike[str]"]) -> dict[str, str]:
    """read_metadata(path) -> dict[str, str]

    The recording's ``METADATA_NAME`` metadata record ({} without one). Read
    from the file's head, so a cut-short file has it too.
    """
    import_mcap()
    from mcap.exceptions import EndOfFile
    from mcap.records import Message, Metadata
    from mcap.stream_reader import StreamReader

    with open(os.fspath(path), "rb") as fh:
        try:
            for record in StreamReader(fh, record_size_limit=1 << 30).records:
                if isinstance(record, Metadata) and record.name == METADATA_NAME:
                    return dict(record.metadata)
                if isinstance(record, Message):
                    break
        except EndOfFile:
            pass
    return {}


class McapSource(FrameSource):
    """Replays an MCAP recording of this package as a frame source.

    ``McapSource(path)`` yields the camera's side-by-side frames from the
    recording's ``STEREO_IMAGE`` topic as ``Frame`` records with left and
    right views; ``packets()`` gives them undecoded. Timestamps count from
    the first frame, as in a Matroska replay; ``sequence`` is the kernel's
    frame number as recorded and ``dropped`` the gap before it.
    ``capture_start`` is the first frame's capture time (monotonic seconds)
    and ``clock_offset`` the system-minus-monotonic offset of the recording
    machine. ``camera_facts``, ``record`` and ``mode`` come from the file's
    metadata. Construction does no I/O.
    """

    stereo = True

    def __init__(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """__init__(path: str | os.PathLike) -> None"""
        self.path = os.fspath(path)
        self._metadata: Optional[dict[str, str]] = None
        self._closed = False
        self._count = 0
        self._messages: Optional[Iterator[McapMessage]] = None

    def __repr__(self) -> str:
        return f"<McapSource path={self.path!r}{' closed' if self._closed else ''}>"

    @property
    def metadata(self) -> dict[str, str]:
        """metadata -> dict[str, str]: the recording's camera metadata record, read once."""
        if self._metadata is None:
            if not os.path.exists(self.path):
                raise FileNotFoundError(2, "cannot open MCAP recording: No such file or directory", self.path)
            self._metadata = read_metadata(self.path)
        return self._metadata

    @property
    def camera_facts(self) -> Optional[dict]:
        """camera_facts -> Optional[dict]: the camera facts dictionary recorded, or None."""
        text = self.metadata.get("camera_facts")
        return json.loads(text) if text else None

    @property
    def record(self) -> Optional["VornCameraFacts"]:
        """record -> Optional[VornCameraFacts]: the recording camera's facts record, built offline."""
        payload = self.camera_facts
        if payload is None:
            return None
        from .cameras import VornCameraFacts

        return VornCameraFacts.from_dict(payload, os_id=REPLAY_OS_ID)

    @property
    def mode(self) -> Optional["CaptureMode"]:
        """mode -> Optional[CaptureMode]: the capture mode recorded, or None."""
        from .recording import mode_from_tag

        return mode_from_tag(self.metadata.get("capture_mode"), stereo=True)

    @property
    def clock_offset(self) -> float:
        """clock_offset -> float: system minus monotonic seconds on the recording machine."""
        return float(self.metadata.get("clock_offset", "0"))

    @property
    def capture_start(self) -> Optional[float]:
        """capture_start -> Optional[float]: the first frame's capture time (monotonic seconds), if any."""
        messages = read_messages(self.path, frozenset([STEREO_IMAGE]))
        try:
            first = next(messages, None)
        finally:
            messages.close()
        return first.log_time / 1e9 - self.clock_offset if first is not None else None

    def packets(self) -> Iterator[RecordedPacket]:
        """packets() -> Iterator[RecordedPacket]

        The side-by-side frames in order, undecoded; timestamps from the
        first frame. Packets and frames share the read position.
        """
        if self._closed:
            raise ValueError(f"MCAP recording {self.path!r}: the source is closed")
        if self._messages is None:
            self.metadata  # noqa: B018  (a missing file fails here, with its path)
            self._messages = read_messages(self.path, frozenset([STEREO_IMAGE]))
        return self._packets(self._messages)

    def _packets(self, messages: Iterator[McapMessage]) -> Iterator[RecordedPacket]:
        first = None
        previous = None
        for item in messages:
            if self._closed:
                return
            if item.topic != STEREO_IMAGE:
                continue
            if first is None:
                first = item.log_time
            dropped = max(0, item.sequence - previous - 1) if previous is not None else 0
            previous = item.sequence
            self._count += 1
            yield RecordedPacket(bytes(item.message.data), item.sequence, (item.log_time - first) / 1e9, dropped)

    def __iter__(self) -> Iterator[Frame]:
        """__iter__() -> Iterator[Frame]: the recording's frames in order, decoded to BGR."""
        jpeg = import_jpeg()
        index = 0
        for packet in self.packets():
            yield make_frame(jpeg.decode_bgr(packet.data), packet.timestamp, index, True,
                             packet.sequence, packet.dropped)
            index += 1

    def close(self) -> None:
        """close() -> None: stop reading. Closing twice is harmless."""
        self._closed = True
        self._messages = None


# -- conversion ------------------------------------------------------------------------------


def convert(src: Union[str, "os.PathLike[str]"], dst: Union[str, "os.PathLike[str]"]) -> "RecordingSummary":
    """convert(src, dst) -> RecordingSummary

    Convert a recording between Matroska (.mkv) and MCAP (.mcap), either way,
    without re-encoding: the camera's JPEGs keep every byte, the kernel's
    frame numbers and the capture times go across, and so do the camera
    facts and the mode. ValueError for any other pair of file kinds.
    """
    src_text, dst_text = os.fspath(src), os.fspath(dst)
    kinds = (os.path.splitext(src_text)[1].lower(), os.path.splitext(dst_text)[1].lower())
    if kinds == (".mkv", ".mcap"):
        from .sources.mkv_source import MkvSource

        with MkvSource(src_text) as mkv:
            if mkv.mode is None or mkv.mode.fourcc != "MJPG":
                raise ValueError(f"{src_text} is not a stereo MJPG recording of this package")
            return record_mcap(mkv, dst_text)
    if kinds == (".mcap", ".mkv"):
        from .recording import record

        with McapSource(src_text) as source:
            return record(_Absolute(source), dst_text)
    raise ValueError(f"convert takes an .mkv recording to .mcap or an .mcap recording to .mkv, "
                     f"not {src_text} to {dst_text}")


class _Absolute:
    """An MCAP replay whose packets carry their monotonic capture times again,
    for the Matroska recorder (which keeps the first one as its start tag)."""

    def __init__(self, source: McapSource) -> None:
        self.source = source
        self.mode = source.mode
        self.camera_facts = source.camera_facts
        self.start = source.capture_start or 0.0

    def packets(self) -> Iterator[RecordedPacket]:
        for packet in self.source.packets():
            yield RecordedPacket(packet.data, packet.sequence, self.start + packet.timestamp, packet.dropped)

    def close(self) -> None:
        self.source.close()
