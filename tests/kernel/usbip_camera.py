"""A USB/IP server that presents UVC 1.1 cameras to a Linux guest.

The guest's ``vhci-hcd`` imports a camera over TCP (OP_REQ_IMPORT) and then
forwards every URB to us (USBIP_CMD_SUBMIT / USBIP_CMD_UNLINK, see the
kernel's Documentation/usb/usbip_protocol.rst). Each :class:`UvcCamera`
answers the standard requests from its descriptors, the UVC class requests
from a per-camera control table, runs probe/commit, and streams frames over
a bulk IN endpoint: one payload per URB with a two-byte header whose
frame-ID bit toggles per frame and whose end-of-frame bit marks the last
payload of a frame.

The server listens on 127.0.0.1 only. Besides USB/IP, a connection that
starts with ``VORN`` speaks a line protocol for the test (one JSON object
per line each way): ``{"cmd": "state", "busid": ...}`` (control values, the
SET_CUR log and streaming counters), ``{"cmd": "unplug", "busid": ...}``
(drop the camera's connection: the guest sees a disconnect; further imports
are refused), ``{"cmd": "plug", "busid": ...}`` (importable again),
``{"cmd": "skip", "busid": ..., "every": N}`` (leave out every Nth frame: it
goes out as a damaged frame the driver discards; 0 sends every frame),
``{"cmd": "export", "busid": ..., "as": ...}`` (the same camera importable
under another busid too, as if re-seated on another port),
``{"cmd": "number", "busid": ..., "on": false}`` (plain pictures from now
on; ``true``, the default, has every frame carry its number, the camera's
count of frames with skipped ones included, in a band of black and white
blocks along its top edge, readable after decoding with
:func:`read_frame_number`).
"""

from __future__ import annotations

import json
import socket
import struct
import threading
import time
from dataclasses import dataclass
from typing import Optional

USBIP_VERSION = 0x0111
OP_REQ_IMPORT = 0x8003
OP_REP_IMPORT = 0x0003
OP_REQ_DEVLIST = 0x8005
OP_REP_DEVLIST = 0x0005
CMD_SUBMIT, CMD_UNLINK, RET_SUBMIT, RET_UNLINK = 1, 2, 3, 4
USB_SPEED_HIGH = 3
EPIPE, ECONNRESET, ESHUTDOWN = 32, 104, 108

VENDOR_ID, PRODUCT_ID = 0x1209, 0x0001  # the pid.codes test identifier
BULK_EP = 0x81
MAX_PAYLOAD = 16384  # one payload per URB: uvcvideo's bulk URB size is 32 x 512

# UVC request codes and selectors
SET_CUR, GET_CUR, GET_MIN, GET_MAX, GET_RES, GET_LEN, GET_INFO, GET_DEF = 0x01, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87
VS_PROBE, VS_COMMIT = 1, 2
VC_REQUEST_ERROR_CODE = 2
CT_ID, PU_ID, OT_ID = 1, 2, 3
# VC_REQUEST_ERROR_CODE_CONTROL answers
ERR_WRONG_STATE, ERR_OUT_OF_RANGE, ERR_INVALID_CONTROL, ERR_INVALID_REQUEST = 2, 4, 6, 7
INFO_GET_SET_AUTOUPDATE = 0x01 | 0x02 | 0x08

GUID_YUY2 = bytes.fromhex("5955593200001000800000aa00389b71")


@dataclass
class Control:
    """One UVC control: its unit, selector, wire size and value table."""

    name: str
    entity: int
    selector: int
    size: int
    signed: bool
    minimum: int
    maximum: int
    default: int
    res: int = 1
    cur: Optional[int] = None

    def __post_init__(self) -> None:
        if self.cur is None:
            self.cur = self.default

    def pack(self, value: int) -> bytes:
        return value.to_bytes(self.size, "little", signed=self.signed)

    def unpack(self, data: bytes) -> int:
        return int.from_bytes(data[: self.size], "little", signed=self.signed)


def default_controls() -> list[Control]:
    """The camera terminal and processing unit controls of a VORN camera."""
    return [
        # Camera terminal: auto-exposure mode is a bitmap (1 manual,
        # 8 aperture priority); exposure time in 100 us units.
        Control("auto_exposure", CT_ID, 0x02, 1, False, 0, 0x09, 0x08, res=0x09),
        Control("exposure", CT_ID, 0x04, 4, False, 1, 80000, 312),
        # Processing unit
        Control("backlight_compensation", PU_ID, 0x01, 2, False, 0, 1, 0),
        Control("brightness", PU_ID, 0x02, 2, True, -64, 64, 0),
        Control("contrast", PU_ID, 0x03, 2, False, 0, 64, 34),
        Control("gain", PU_ID, 0x04, 2, False, 0, 130, 32),
        Control("power_line_frequency", PU_ID, 0x05, 1, False, 0, 2, 1),
        Control("hue", PU_ID, 0x06, 2, True, -2000, 2000, 0),
        Control("saturation", PU_ID, 0x07, 2, False, 0, 78, 62),
        Control("sharpness", PU_ID, 0x08, 2, False, 1, 7, 4),
        Control("gamma", PU_ID, 0x09, 2, False, 100, 300, 150),
        Control("white_balance", PU_ID, 0x0A, 2, False, 2800, 6500, 4600),
        Control("white_balance_auto", PU_ID, 0x0B, 1, False, 0, 1, 1),
    ]


def control_bitmap(controls, entity: int) -> int:
    """bmControls of a unit: the bit of each control it has."""
    return sum(1 << BITS[c.entity][c.selector] for c in controls if c.entity == entity)


# bmControls bit of each selector: camera terminal (AE mode D1, exposure time
# absolute D3) and processing unit (UVC 1.1 numbering)
BITS = {
    CT_ID: {0x02: 1, 0x04: 3},
    PU_ID: {0x01: 8, 0x02: 0, 0x03: 1, 0x04: 9, 0x05: 10, 0x06: 2, 0x07: 3, 0x08: 4, 0x09: 5, 0x0A: 6, 0x0B: 12},
}


@dataclass(frozen=True)
class Mode:
    """One frame size of a format, with its frame rates (fps)."""

    fourcc: str
    width: int
    height: int
    rates: tuple[int, ...]


DEFAULT_MODES = (
    Mode("MJPG", 1280, 360, (30, 15)),
    Mode("MJPG", 640, 360, (30, 15)),
    Mode("YUYV", 640, 360, (30, 15)),
    Mode("YUYV", 1280, 360, (25, 15)),
)


def _interval(fps: float) -> int:
    return round(10_000_000 / fps)


@dataclass
class StreamState:
    format_index: int = 1
    frame_index: int = 1
    interval: int = 0
    committed: bool = False


class UvcCamera:
    """One emulated camera: descriptors, control table, probe/commit, frames."""

    def __init__(self, busid: str, family: str, serial: str, modes=DEFAULT_MODES, devnum: int = 2,
                 without: tuple[str, ...] = ()) -> None:
        self.busid = busid
        self.family = family
        self.serial = serial
        self.product = f"VORN {family} {serial}"
        self.devnum = devnum
        self.busnum = int(busid.split("-")[0])
        self.controls = {(c.entity, c.selector): c for c in default_controls() if c.name not in without}
        self.set_log: list[tuple[str, int]] = []
        self.rejected: list[tuple[str, int]] = []
        self.formats = self._group_formats(modes)
        self.lock = threading.Lock()
        self.plugged = True
        self.frames_sent = 0
        self.last_error = 0
        self.jpeg: dict[tuple[int, int], bytes] = {}
        self.gradients: dict = {}
        self.probe = self._default_probe()
        self.commit: Optional[bytes] = None
        self.stream_gen = 0
        self.skip_every = 0
        self.numbered = True
        self.frames_skipped = 0
        self.last_frame_number = -1
        self.device_descriptor = self._device_descriptor()
        self.config_descriptor = self._config_descriptor()

    # -- descriptors ---------------------------------------------------------

    @staticmethod
    def _group_formats(modes) -> list[tuple[str, list[Mode]]]:
        formats: list[tuple[str, list[Mode]]] = []
        for mode in modes:
            for fourcc, frames in formats:
                if fourcc == mode.fourcc:
                    frames.append(mode)
                    break
            else:
                formats.append((mode.fourcc, [mode]))
        return formats

    def _device_descriptor(self) -> bytes:
        return struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0xEF, 0x02, 0x01, 64,
                           VENDOR_ID, PRODUCT_ID, 0x0100, 1, 2, 3, 1)

    def frame_size(self, fourcc: str, mode: Mode) -> int:
        return mode.width * mode.height * 2

    def _config_descriptor(self) -> bytes:
        # VideoControl: header, camera terminal, processing unit, output terminal
        ctrls = self.controls.values()
        ct = (struct.pack("<BBBBHBBHHHB", 18, 0x24, 0x02, CT_ID, 0x0201, 0, 0, 0, 0, 0, 3)
              + control_bitmap(ctrls, CT_ID).to_bytes(3, "little"))
        pu = (struct.pack("<BBBBBHB", 12, 0x24, 0x05, PU_ID, CT_ID, 0, 2)
              + control_bitmap(ctrls, PU_ID).to_bytes(2, "little") + bytes([0, 0]))
        ot = struct.pack("<BBBBHBBB", 9, 0x24, 0x03, OT_ID, 0x0101, 0, PU_ID, 0)
        vc_len = 13 + len(ct) + len(pu) + len(ot)
        vc_header = struct.pack("<BBBHHIBB", 13, 0x24, 0x01, 0x0110, vc_len, 48_000_000, 1, 1)
        vc = vc_header + ct + pu + ot

        # VideoStreaming: input header, then per format its frame descriptors
        body = b""
        for fi, (fourcc, frames) in enumerate(self.formats, start=1):
            if fourcc == "YUYV":
                body += struct.pack("<BBBBB", 27, 0x24, 0x04, fi, len(frames)) + GUID_YUY2 + bytes([16, 1, 0, 0, 0, 0])
                subtype = 0x05
            else:
                body += struct.pack("<BBBBBBBBBBB", 11, 0x24, 0x06, fi, len(frames), 0, 1, 0, 0, 0, 0)
                subtype = 0x07
            for ri, mode in enumerate(frames, start=1):
                size = self.frame_size(fourcc, mode)
                intervals = [_interval(r) for r in mode.rates]
                rate_bits = size * 8 * max(mode.rates)
                body += struct.pack("<BBBBBHHIIIIB", 26 + 4 * len(intervals), 0x24, subtype, ri, 0,
                                    mode.width, mode.height, rate_bits // 4, rate_bits, size,
                                    intervals[0], len(intervals))
                body += b"".join(struct.pack("<I", i) for i in intervals)
        nfmt = len(self.formats)
        vs_len = 13 + nfmt + len(body)
        vs_header = struct.pack("<BBBBHBBBBBBB", 13 + nfmt, 0x24, 0x01, nfmt, vs_len, BULK_EP, 0, OT_ID, 0, 0, 0, 1) + bytes(nfmt)

        iad = struct.pack("<BBBBBBBB", 8, 0x0B, 0, 2, 0x0E, 0x03, 0, 0)  # iFunction 0: keeps the card name
        vc_if = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, 0, 0x0E, 0x01, 0, 0)
        vs_if = struct.pack("<BBBBBBBBB", 9, 4, 1, 0, 1, 0x0E, 0x02, 0, 0)
        ep = struct.pack("<BBBBHB", 7, 5, BULK_EP, 0x02, 512, 0)
        rest = iad + vc_if + vc + vs_if + vs_header + body + ep
        return struct.pack("<BBHBBBBB", 9, 2, 9 + len(rest), 2, 1, 0, 0x80, 250) + rest

    def string_descriptor(self, index: int) -> Optional[bytes]:
        if index == 0:
            return bytes([4, 3, 0x09, 0x04])
        text = {1: "VORN", 2: self.product, 3: self.serial}.get(index)
        if text is None:
            return None
        raw = text.encode("utf-16-le")
        return bytes([2 + len(raw), 3]) + raw

    # -- probe / commit ------------------------------------------------------

    def _mode(self, format_index: int, frame_index: int) -> tuple[str, Mode]:
        fourcc, frames = self.formats[format_index - 1]
        return fourcc, frames[frame_index - 1]

    def _default_probe(self) -> bytes:
        return self._fix_probe(1, 1, 0)

    def _fix_probe(self, format_index: int, frame_index: int, interval: int) -> bytes:
        format_index = min(max(format_index, 1), len(self.formats))
        frames = self.formats[format_index - 1][1]
        frame_index = min(max(frame_index, 1), len(frames))
        fourcc, mode = self._mode(format_index, frame_index)
        intervals = [_interval(r) for r in mode.rates]
        if interval not in intervals:
            interval = min(intervals, key=lambda i: abs(i - interval)) if interval else intervals[0]
        return struct.pack("<HBBIHHHHHIIIBBBB", 1, format_index, frame_index, interval, 0, 0, 0, 0, 0,
                           self.frame_size(fourcc, mode), MAX_PAYLOAD, 48_000_000, 0x03, 1, 1, 1)

    def streaming_mode(self) -> tuple[str, Mode, int]:
        data = self.commit or self.probe
        format_index, frame_index, interval = struct.unpack_from("<BBI", data, 2)
        fourcc, mode = self._mode(format_index, frame_index)
        return fourcc, mode, interval

    # -- requests --------------------------------------------------------------

    def control_request(self, setup: bytes, data: bytes) -> tuple[int, bytes]:
        """Answer one EP0 request: (status, data for an IN request)."""
        rtype, req, value, index, length = struct.unpack("<BBHHH", setup)
        kind = (rtype >> 5) & 3
        if kind == 0:
            return self._standard(rtype, req, value, index, length)
        if kind == 1 and (rtype & 0x1F) == 1:
            return self._uvc(rtype, req, value, index, length, data)
        return -EPIPE, b""

    def _standard(self, rtype, req, value, index, length) -> tuple[int, bytes]:
        if req == 6 and rtype == 0x80:  # GET_DESCRIPTOR
            dtype, dindex = value >> 8, value & 0xFF
            desc = {1: self.device_descriptor, 2: self.config_descriptor}.get(dtype)
            if dtype == 3:
                desc = self.string_descriptor(dindex)
            if desc is None:
                return -EPIPE, b""
            return 0, desc[:length]
        if req == 0 and rtype & 0x80:  # GET_STATUS
            return 0, bytes(2)[:length]
        if req == 8:  # GET_CONFIGURATION
            return 0, b"\x01"[:length]
        if req == 10:  # GET_INTERFACE
            return 0, b"\x00"[:length]
        if req == 1 and rtype == 0x02 and index == BULK_EP:  # CLEAR_FEATURE(HALT): stream stopped
            with self.lock:
                self.commit = None
        return 0, b""  # SET_CONFIGURATION, SET_INTERFACE, SET_FEATURE, ...

    def _uvc(self, rtype, req, value, index, length, data) -> tuple[int, bytes]:
        selector, entity, interface = value >> 8, index >> 8, index & 0xFF
        with self.lock:
            if interface == 1 and entity == 0:
                return self._streaming_request(req, selector, length, data)
            if interface == 0 and entity == 0 and selector == VC_REQUEST_ERROR_CODE and req == GET_CUR:
                return 0, bytes([self.last_error])[:length]
            ctrl = self.controls.get((entity, selector))
            if ctrl is None or interface != 0:
                self.last_error = ERR_INVALID_CONTROL
                return -EPIPE, b""
            self.last_error = 0
            if req == SET_CUR:
                wanted = ctrl.unpack(data)
                if not self._accepts(ctrl, wanted):
                    self.rejected.append((ctrl.name, wanted))
                    return -EPIPE, b""
                ctrl.cur = wanted
                self.set_log.append((ctrl.name, wanted))
                return 0, b""
            answer = {
                GET_CUR: lambda: ctrl.pack(ctrl.cur),
                GET_MIN: lambda: ctrl.pack(ctrl.minimum),
                GET_MAX: lambda: ctrl.pack(ctrl.maximum),
                GET_RES: lambda: ctrl.pack(ctrl.res),
                GET_DEF: lambda: ctrl.pack(ctrl.default),
                GET_LEN: lambda: struct.pack("<H", ctrl.size),
                GET_INFO: lambda: bytes([INFO_GET_SET_AUTOUPDATE]),
            }.get(req)
            if answer is None:
                self.last_error = ERR_INVALID_REQUEST
                return -EPIPE, b""
            return 0, answer()[:length]

    def _accepts(self, ctrl: Control, value: int) -> bool:
        """The device's own checks, as a camera firmware makes them."""
        if ctrl.name == "auto_exposure":
            ok = value in (1, 8)
        elif ctrl.name in ("exposure", "gain") and self.controls[(CT_ID, 0x02)].cur != 1:
            self.last_error = ERR_WRONG_STATE  # the firmware's own while it exposes automatically
            return False
        else:
            ok = ctrl.minimum <= value <= ctrl.maximum
        if not ok:
            self.last_error = ERR_OUT_OF_RANGE
        return ok

    def _streaming_request(self, req, selector, length, data) -> tuple[int, bytes]:
        if selector not in (VS_PROBE, VS_COMMIT):
            self.last_error = ERR_INVALID_CONTROL
            return -EPIPE, b""
        if req == SET_CUR:
            fmt, frame, interval = struct.unpack_from("<BBI", data.ljust(34, b"\0"), 2)
            fixed = self._fix_probe(fmt, frame, interval)
            self.probe = fixed
            if selector == VS_COMMIT:
                self.commit = fixed
                self.stream_gen += 1
            return 0, b""
        if req in (GET_CUR, GET_MIN, GET_MAX, GET_DEF):
            base = self.probe if req == GET_CUR else self._default_probe() if req == GET_DEF else self.probe
            return 0, base[:length]
        if req == GET_LEN:
            return 0, struct.pack("<H", 34)[:length]
        if req == GET_INFO:
            return 0, b"\x03"[:length]
        return -EPIPE, b""

    # -- frames -------------------------------------------------------------------

    def frame_bytes(self, fourcc: str, mode: Mode, number: int) -> bytes:
        """The image data of frame ``number``: a moving gradient (YUYV) or a JPEG."""
        if self.numbered:
            return self.numbered_frame_bytes(fourcc, mode, number)
        if fourcc == "MJPG":
            key = (mode.width, mode.height)
            if key not in self.jpeg:
                self.jpeg[key] = make_jpeg(mode.width, mode.height)
            return self.jpeg[key]
        row = bytes((x + number * 4) & 0xFF for x in range(mode.width * 2))
        return row * mode.height

    def numbered_frame_bytes(self, fourcc: str, mode: Mode, number: int) -> bytes:
        """Frame ``number`` with the number in its top band: a still grey
        gradient (MJPG, encoded per frame) or the moving gradient (YUYV)."""
        import numpy as np

        bits = number_band(mode.width, number)
        if fourcc == "MJPG":
            key = (mode.width, mode.height)
            if key not in self.gradients:
                self.gradients[key] = gradient_image(mode.width, mode.height)
            image = self.gradients[key].copy()
            image[:NUMBER_BAND] = bits
            return make_jpeg_of(image)
        row = (np.arange(mode.width * 2) + number * 4).astype(np.uint8)
        image = np.tile(row, (mode.height, 1))
        image[:NUMBER_BAND, 0::2] = bits  # luma; chroma stays as the gradient left it
        image[:NUMBER_BAND, 1::2] = 128
        return image.tobytes()

    def skips(self, number: int) -> bool:
        """Whether frame ``number`` is one the camera leaves out."""
        return self.skip_every > 0 and (number + 1) % self.skip_every == 0

    def state(self) -> dict:
        with self.lock:
            return {
                "busid": self.busid,
                "product": self.product,
                "plugged": self.plugged,
                "controls": {c.name: c.cur for c in self.controls.values()},
                "set_log": list(self.set_log),
                "rejected": list(self.rejected),
                "frames_sent": self.frames_sent,
                "frames_skipped": self.frames_skipped,
                "last_frame_number": self.last_frame_number,
                "numbered": self.numbered,
                "streaming": self.commit is not None,
            }


# The frame number: NUMBER_BITS blocks across the top NUMBER_BAND rows,
# white for a one bit, black for a zero, most significant bit first.
NUMBER_BAND, NUMBER_BITS = 24, 16


def number_band(width: int, number: int):
    """One row of the number band: the luma of each column."""
    import numpy as np

    block = width // NUMBER_BITS
    bits = [(number >> (NUMBER_BITS - 1 - i)) & 1 for i in range(NUMBER_BITS)]
    row = np.full(width, 16, np.uint8)
    for i, bit in enumerate(bits):
        if bit:
            row[i * block:(i + 1) * block] = 235
    return row


def read_frame_number(image) -> int:
    """The frame number in a decoded frame (a BGR or grey NumPy image)."""
    width = image.shape[1]
    block = width // NUMBER_BITS
    row = image[NUMBER_BAND // 2]
    number = 0
    for i in range(NUMBER_BITS):
        number = number << 1 | int(row[i * block + block // 2].mean() > 128)
    return number


def gradient_image(width: int, height: int):
    """A grey-level picture with a horizontal and a vertical gradient."""
    import numpy as np

    image = np.zeros((height, width), np.uint8)
    image[:] = np.linspace(0, 255, width, dtype=np.uint8)[None, :] // 2
    image += np.linspace(0, 127, height, dtype=np.uint8)[:, None]
    return image


def make_jpeg_of(grey) -> bytes:
    """One baseline JPEG of a grey image (PyAV's MJPEG encoder, 4:2:2 like a camera)."""
    import av
    import numpy as np

    height, width = grey.shape
    codec = av.CodecContext.create("mjpeg", "w")
    codec.width, codec.height, codec.pix_fmt = width, height, "yuvj422p"
    codec.time_base = __import__("fractions").Fraction(1, 30)
    frame = av.VideoFrame.from_ndarray(np.ascontiguousarray(np.repeat(grey[:, :, None], 3, axis=2)),
                                       format="rgb24").reformat(format="yuvj422p")
    packets = list(codec.encode(frame)) + list(codec.encode(None))
    return b"".join(bytes(p) for p in packets)


def make_jpeg(width: int, height: int) -> bytes:
    """One baseline JPEG of the given size (PyAV's MJPEG encoder)."""
    import av
    import numpy as np

    codec = av.CodecContext.create("mjpeg", "w")
    codec.width, codec.height, codec.pix_fmt = width, height, "yuvj422p"
    codec.time_base = __import__("fractions").Fraction(1, 30)
    img = np.zeros((height, width, 3), np.uint8)
    img[:, :, 0] = np.linspace(0, 255, width, dtype=np.uint8)[None, :]
    img[:, :, 1] = np.linspace(0, 255, height, dtype=np.uint8)[:, None]
    frame = av.VideoFrame.from_ndarray(img, format="rgb24").reformat(format="yuvj422p")
    packets = list(codec.encode(frame)) + list(codec.encode(None))
    return b"".join(bytes(p) for p in packets)


# -- the wire -----------------------------------------------------------------------


def _recv_exact(sock: socket.socket, n: int) -> bytes:
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise ConnectionError("peer closed")
        buf += chunk
    return bytes(buf)


def device_record(cam: UvcCamera) -> bytes:
    """The usbip_usb_device block of OP_REP_IMPORT / OP_REP_DEVLIST."""
    path = f"/sys/devices/vorn/usb{cam.busnum}/{cam.busid}".encode().ljust(256, b"\0")
    return (path + cam.busid.encode().ljust(32, b"\0")
            + struct.pack(">IIIHHHBBBBBB", cam.busnum, cam.devnum, USB_SPEED_HIGH, VENDOR_ID, PRODUCT_ID,
                          0x0100, 0xEF, 0x02, 0x01, 1, 1, 2))


class _Attachment:
    """One imported camera: the URB traffic on its connection."""

    def __init__(self, server: "UsbipServer", cam: UvcCamera, sock: socket.socket) -> None:
        self.server = server
        self.cam = cam
        self.sock = sock
        self.send_lock = threading.Lock()
        # Held from taking a bulk URB off the queue until its completion is
        # sent, and while an unlink is answered: vhci must never see
        # "already given back" for a URB whose completion is still to come.
        self.urb_lock = threading.Lock()
        self.cond = threading.Condition()
        self.pending: list[tuple[int, int]] = []  # bulk IN URBs: (seqnum, length)
        # vhci's sender can put an unlink on the wire ahead of the submit it
        # cancels (both queued while it is sending unlinks). Such an unlink
        # is answered when its submit arrives, and that URB is never
        # completed: vhci gives it back on the unlink's answer.
        self.last_submitted = 0
        self.early_unlinks: dict[int, int] = {}  # URB seqnum -> seqnum of the unlink waiting for it
        self.closed = False
        self.frame_no = 0
        self.fid = 0
        self.chunks: list[bytes] = []
        self.gen = -1
        self.next_frame_at = 0.0
        self.skipping = False
        self.streamer = threading.Thread(target=self._stream, daemon=True, name=f"uvc-stream-{cam.busid}")

    def run(self) -> None:
        self.streamer.start()
        try:
            while True:
                head = _recv_exact(self.sock, 48)
                command, seqnum, devid, direction, ep = struct.unpack_from(">IIIII", head)
                if command == CMD_SUBMIT:
                    flags, length, _start, npackets, _interval = struct.unpack_from(">IiiiI", head, 20)
                    setup = head[40:48]
                    data = _recv_exact(self.sock, length) if direction == 0 and length > 0 else b""
                    if npackets not in (0, -1, 0xFFFFFFFF) and npackets > 0:
                        _recv_exact(self.sock, 16 * npackets)
                    self.last_submitted = max(self.last_submitted, seqnum)
                    if seqnum in self.early_unlinks:
                        self._ret_unlink(self.early_unlinks.pop(seqnum), -ECONNRESET)
                        continue
                    self._submit(seqnum, direction, ep, length, setup, data)
                elif command == CMD_UNLINK:
                    victim, = struct.unpack_from(">I", head, 20)
                    self._unlink(seqnum, victim)
                else:
                    raise ConnectionError(f"unknown USB/IP command {command}")
        except (ConnectionError, OSError):
            pass
        finally:
            with self.cond:
                self.closed = True
                self.cond.notify_all()
            try:
                self.sock.close()
            except OSError:
                pass

    def _send(self, data: bytes) -> None:
        with self.send_lock:
            self.sock.sendall(data)

    def _ret_submit(self, seqnum: int, status: int, data: bytes = b"", *, written: int = 0) -> None:
        """Complete a URB: ``data`` for an IN transfer, ``written`` bytes taken for an OUT one."""
        actual = len(data) if data else (written if status == 0 else 0)
        head = struct.pack(">IIIIIiiiii", RET_SUBMIT, seqnum, 0, 0, 0, status, actual, 0, 0, 0) + bytes(8)
        self._send(head + data)

    def _submit(self, seqnum, direction, ep, length, setup, data) -> None:
        if ep == 0:
            status, answer = self.cam.control_request(setup, data)
            if direction == 1:
                self._ret_submit(seqnum, status, answer[:length])
            else:
                self._ret_submit(seqnum, status, written=len(data))
            if direction == 0 and status == 0 and setup[1] == 9:  # SET_CONFIGURATION resets streaming
                with self.cam.lock:
                    self.cam.commit = None
        elif ep == (BULK_EP & 0x0F) and direction == 1:
            with self.cond:
                self.pending.append((seqnum, length))
                self.cond.notify_all()
        else:
            self._ret_submit(seqnum, -EPIPE)

    def _unlink(self, seqnum: int, victim: int) -> None:
        with self.urb_lock:
            with self.cond:
                found = any(s == victim for s, _ in self.pending)
                self.pending = [(s, n) for s, n in self.pending if s != victim]
            if not found and victim > self.last_submitted:
                self.early_unlinks[victim] = seqnum
                return
            self._ret_unlink(seqnum, -ECONNRESET if found else 0)

    def _ret_unlink(self, seqnum: int, status: int) -> None:
        self._send(struct.pack(">IIIIIi", RET_UNLINK, seqnum, 0, 0, 0, status) + bytes(24))

    def _stream(self) -> None:
        """Answer bulk IN URBs with frame payloads, paced at the frame rate."""
        while True:
            with self.cond:
                while not self.closed and not self.pending:
                    self.cond.wait(0.5)
                if self.closed:
                    return
                seqnum, length = self.pending[0]
            with self.cam.lock:
                streaming = self.cam.commit is not None
                if self.gen != self.cam.stream_gen:
                    self.gen, self.chunks, self.next_frame_at = self.cam.stream_gen, [], 0.0
            if not streaming:
                with self.cond:
                    self.cond.wait(0.05)
                continue
            if not self.chunks:
                fourcc, mode, interval = self.cam.streaming_mode()
                now = time.monotonic()
                if now < self.next_frame_at:
                    time.sleep(min(self.next_frame_at - now, 0.2))
                    continue
                self.next_frame_at = max(now, self.next_frame_at) + interval / 10_000_000
                self.skipping = self.cam.skips(self.frame_no)
                if self.skipping:  # a damaged frame: the error bit set, a few bytes
                    self.chunks = [bytes(16)]
                else:
                    image = self.cam.frame_bytes(fourcc, mode, self.frame_no)
                    step = MAX_PAYLOAD - 2
                    self.chunks = [image[i:i + step] for i in range(0, len(image), step)] or [b""]
                self.fid ^= 1
            with self.urb_lock:
                with self.cond:
                    if not self.pending or self.pending[0][0] != seqnum:
                        continue  # unlinked meanwhile
                    self.pending.pop(0)
                chunk = self.chunks.pop(0)
                last = not self.chunks
                header = bytes([2, 0x80 | self.fid | (0x02 if last else 0) | (0x40 if self.skipping else 0)])
                payload = (header + chunk)[:length]
                try:
                    self._ret_submit(seqnum, 0, payload)
                except OSError:
                    return
            if last:
                with self.cam.lock:
                    if self.skipping:
                        self.cam.frames_skipped += 1
                    else:
                        self.cam.frames_sent += 1
                        self.cam.last_frame_number = self.frame_no
                self.frame_no += 1


class UsbipServer:
    """USB/IP server for a set of :class:`UvcCamera`, on 127.0.0.1."""

    def __init__(self, cameras, port: int = 0) -> None:
        self.cameras = {cam.busid: cam for cam in cameras}
        self.attachments: dict[str, _Attachment] = {}
        self.lock = threading.Lock()
        self.listener = socket.create_server(("127.0.0.1", port))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._accept, daemon=True, name="usbip-accept")
        self.thread.start()

    def close(self) -> None:
        self.listener.close()
        with self.lock:
            attachments = list(self.attachments.values())
        for att in attachments:
            _shutdown(att.sock)

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _accept(self) -> None:
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._serve, args=(sock,), daemon=True).start()

    def _serve(self, sock: socket.socket) -> None:
        try:
            head = _recv_exact(sock, 8)
            if head[:4] == b"VORN":
                self._control(sock, head[4:])
                return
            version, code, _status = struct.unpack(">HHI", head)
            if code == OP_REQ_DEVLIST:
                cams = [c for c in self.cameras.values() if c.plugged]
                reply = struct.pack(">HHII", USBIP_VERSION, OP_REP_DEVLIST, 0, len(cams))
                for cam in cams:
                    reply += device_record(cam) + struct.pack(">BBBB", 0x0E, 0x01, 0, 0) + struct.pack(">BBBB", 0x0E, 0x02, 0, 0)
                sock.sendall(reply)
                sock.close()
                return
            if code != OP_REQ_IMPORT:
                sock.close()
                return
            busid = _recv_exact(sock, 32).rstrip(b"\0").decode()
            cam = self.cameras.get(busid)
            with self.lock:
                ok = cam is not None and cam.plugged and busid not in self.attachments
                if ok:
                    att = _Attachment(self, cam, sock)
                    self.attachments[busid] = att
            if not ok:
                sock.sendall(struct.pack(">HHI", USBIP_VERSION, OP_REP_IMPORT, 1))
                sock.close()
                return
            with cam.lock:
                cam.commit = None
            sock.sendall(struct.pack(">HHI", USBIP_VERSION, OP_REP_IMPORT, 0) + device_record(cam))
            try:
                att.run()
            finally:
                with self.lock:
                    if self.attachments.get(busid) is att:
                        del self.attachments[busid]
        except (ConnectionError, OSError):
            try:
                sock.close()
            except OSError:
                pass

    def unplug(self, busid: str) -> None:
        """Pull the camera: its connection drops and imports are refused."""
        cam = self.cameras[busid]
        with cam.lock:
            cam.plugged = False
        with self.lock:
            att = self.attachments.get(busid)
        if att is not None:
            _shutdown(att.sock)

    def plug(self, busid: str) -> None:
        cam = self.cameras[busid]
        with cam.lock:
            cam.plugged = True

    def export(self, busid: str, other: str) -> None:
        """Offer camera ``busid`` under the busid ``other`` as well."""
        with self.lock:
            self.cameras[other] = self.cameras[busid]

    def _control(self, sock: socket.socket, rest: bytes) -> None:
        stream = sock.makefile("rwb")
        buffered = rest
        try:
            while True:
                line = stream.readline()
                if not line:
                    return
                line, buffered = buffered + line, b""
                request = json.loads(line)
                busid = request.get("busid")
                cmd = request.get("cmd")
                try:
                    if cmd == "state":
                        answer = self.cameras[busid].state()
                    elif cmd == "unplug":
                        self.unplug(busid)
                        answer = {"ok": True}
                    elif cmd == "plug":
                        self.plug(busid)
                        answer = {"ok": True}
                    elif cmd == "export":
                        self.export(busid, request["as"])
                        answer = {"ok": True}
                    elif cmd == "number":
                        cam = self.cameras[busid]
                        with cam.lock:
                            cam.numbered = bool(request.get("on", True))
                        answer = {"ok": True}
                    elif cmd == "skip":
                        cam = self.cameras[busid]
                        with cam.lock:
                            cam.skip_every = int(request.get("every", 0))
                        answer = {"ok": True}
                    elif cmd == "list":
                        answer = {"cameras": [c.state() for c in {id(c): c for c in self.cameras.values()}.values()]}
                    else:
                        answer = {"error": f"unknown command {cmd!r}"}
                except KeyError:
                    answer = {"error": f"unknown busid {busid!r}"}
                stream.write(json.dumps(answer).encode() + b"\n")
                stream.flush()
        finally:
            stream.close()
            sock.close()


def _shutdown(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class ServerClient:
    """The test's side of the control line protocol."""

    def __init__(self, host: str, port: int, timeout: float = 30.0) -> None:
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.sendall(b"VORN")
        self.stream = self.sock.makefile("rwb")

    def call(self, cmd: str, busid: Optional[str] = None, **params) -> dict:
        self.stream.write(json.dumps({"cmd": cmd, "busid": busid, **params}).encode() + b"\n")
        self.stream.flush()
        line = self.stream.readline()
        if not line:
            raise ConnectionError("camera server closed the control connection")
        answer = json.loads(line)
        if "error" in answer:
            raise RuntimeError(answer["error"])
        return answer

    def close(self) -> None:
        self.stream.close()
        self.sock.close()
