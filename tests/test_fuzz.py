"""Property-based fuzzing of every place outside input comes in: product
strings, capability answers, sysfs product files, device-info answers, camera
facts and calibration dictionaries, JSON files and source= arguments.

The property is always the same: the call ends in one of its documented
outcomes (a value, None, or one of the exception types the behaviour names),
never in a crash or another exception type, and a record that comes out
survives its dictionary round trip.

Profiles (HYPOTHESIS_PROFILE): "ci" (default) runs a fixed set of a few
hundred examples per property; "long" runs thousands of fresh ones.
"""

from __future__ import annotations

import json
import locale
import logging
import os
import pathlib
import string

import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

from harness.devinfo import calibration_block, facts_payload
from harness import querycap_bytes
from vorn_camera_sdk.calibration import Calibration
from vorn_camera_sdk.cameras.camera_facts import VornCameraFacts, list_connected_vorn_cameras
from vorn_camera_sdk.platform.base import VideoDeviceInfo, parse_vorn_iproduct
from vorn_camera_sdk.platform.linux import LinuxBackend, _querycap, _read_usb_iproduct
from vorn_camera_sdk.sources.camera_source import CameraSource
from vorn_camera_sdk.sources.factory import resolve_source_arg
from vorn_camera_sdk.sources.mkv_source import MkvSource

_COMMON = dict(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
settings.register_profile("ci", max_examples=200, derandomize=True, database=None, **_COMMON)
settings.register_profile("long", max_examples=5000, **_COMMON)
FUZZ = settings.get_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

SERIAL = "FUZZ0001"  # the one attached camera in the worlds below
CALIBRATION_ERRORS = (ValueError, KeyError, TypeError)

# ---------------------------------------------------------------- strategies

json_scalars = (st.none() | st.booleans() | st.integers(-(2**1100), 2**1100)
                | st.floats(allow_nan=True, allow_infinity=True) | st.text(max_size=12))
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12,
)


@st.composite
def mutated(draw, base):
    """`base` (a JSON-like tree) with a few random edits: a value replaced, a
    key removed or added, a list shortened or grown."""
    tree = json.loads(json.dumps(base))
    for _ in range(draw(st.integers(0, 4))):
        # Walk down to a random container.
        node = tree
        while True:
            children = list(node.items()) if isinstance(node, dict) else list(enumerate(node))
            containers = [(k, v) for k, v in children if isinstance(v, (dict, list)) and v]
            if not containers or draw(st.booleans()):
                break
            node = draw(st.sampled_from(containers))[1]
        keys = list(node) if isinstance(node, dict) else list(range(len(node)))
        action = draw(st.sampled_from(["replace", "remove", "add"]))
        if action == "replace" and keys:
            node[draw(st.sampled_from(keys))] = draw(json_values)
        elif action == "remove" and keys:
            del node[draw(st.sampled_from(keys))]
        elif isinstance(node, dict):
            node[draw(st.text(max_size=8))] = draw(json_values)
        else:
            node.append(draw(json_values))
    return tree


@pytest.fixture
def camera(emu):
    """One attached camera, /dev/video0 with the serial SERIAL, for all examples of a test."""
    return emu.add_camera(f"VORN Talvex {SERIAL}")


def payloads():
    """Device-info answers: mostly near-valid ones, some arbitrary JSON."""
    return mutated(facts_payload(SERIAL)) | json_values


# ---------------------------------------------------------------- product strings

near_products = st.lists(
    st.sampled_from(["VORN", "Talvex", "Petrin", SERIAL, "", " ", "\t", "vorn", "AB12"]) | st.text(max_size=6),
    max_size=6,
).map(" ".join)


@FUZZ
@given(near_products | st.text())
def test_parse_vorn_iproduct(text):
    parsed = parse_vorn_iproduct(text)
    if parsed is not None:
        name, serial = parsed
        assert f"{name} {serial}" == text
        assert name.startswith("VORN ") and serial and " " not in serial


# ---------------------------------------------------------------- device answers

u32 = st.integers(0, 2**32 - 1)
querycap_answers = st.binary(min_size=104, max_size=104) | st.builds(
    querycap_bytes, st.binary(max_size=16), st.binary(max_size=32),
    bus_info=st.binary(max_size=32), version=u32, capabilities=u32,
    device_caps=st.sampled_from([0, 1, 0x04200001, 0x04A00000]) | u32,
)


def _fixed_text(raw: bytes) -> str:
    return raw.rstrip(b"\0").decode("ascii", "replace")


@FUZZ
@given(raw=querycap_answers)
def test_any_capability_answer(camera, raw):
    camera.node.configure(querycap=raw)
    device_caps = int.from_bytes(raw[88:92], "little")
    caps = device_caps or int.from_bytes(raw[84:88], "little")

    fd = os.open("/dev/video0", os.O_RDWR | os.O_NONBLOCK)
    try:
        assert _querycap(fd) == (_fixed_text(raw[:16]), _fixed_text(raw[16:48]), caps)
    finally:
        os.close(fd)
    listed = LinuxBackend().list_cameras()
    event("listed" if listed else "not a capture node")
    assert listed == ([VideoDeviceInfo(os_id="/dev/video0", name="VORN Talvex", serial=SERIAL)] if caps & 1 else [])


product_bytes = (
    st.binary(max_size=300)
    | st.text(max_size=80).map(lambda t: t.encode("utf-8", "surrogatepass"))
    | near_products.map(lambda t: t.encode() + b"\n")
    | st.tuples(st.integers(0, 1 << 20), st.sampled_from([b"A", b"\0", b"\xff", b" \r\n"])).map(
        lambda n_b: b"VORN Talvex " + n_b[1] * n_b[0])
)


@FUZZ
@given(raw=product_bytes)
def test_any_product_file(camera, raw):
    product_file = os.path.join(camera.usb_dir, "product")
    with open(product_file, "wb") as f:
        f.write(raw)

    try:  # what Python's own text reading makes of it
        with open(product_file, encoding=locale.getpreferredencoding(False)) as f:
            expected = f.read().strip()
    except ValueError:
        expected = None  # undecodable: the device is skipped
    assert _read_usb_iproduct("/dev/video0") == expected
    event("undecodable" if expected is None else "text")

    parsed = None if expected is None else parse_vorn_iproduct(expected)
    want = [] if parsed is None else [VideoDeviceInfo(os_id="/dev/video0", name=parsed[0], serial=parsed[1])]
    assert LinuxBackend().list_cameras() == want


# ---------------------------------------------------------------- records

def _round_trips(record: VornCameraFacts) -> None:
    assert VornCameraFacts.from_dict(record.to_dict(), os_id=record.os_id) == record
    assert json.loads(json.dumps(record.to_dict())) == record.to_dict()


@FUZZ
@given(block=mutated(calibration_block()) | json_values)
def test_calibration_from_dict(block):
    try:
        cal = Calibration.from_dict(block)
    except CALIBRATION_ERRORS as exc:
        event(f"rejected: {type(exc).__name__}")
        return
    event("calibration")
    assert Calibration.from_dict(cal.to_dict()) == cal
    assert hash(cal) == hash(Calibration.from_dict(json.loads(json.dumps(cal.to_dict()))))


@FUZZ
@given(payload=payloads())
def test_camera_facts_from_dict(payload):
    logging.disable(logging.CRITICAL)
    try:
        record = VornCameraFacts.from_dict(payload, os_id="/dev/video3")
    except AttributeError:
        assert not hasattr(payload, "get")  # only a payload that is not a mapping
        return
    finally:
        logging.disable(logging.NOTSET)
    event("record" if record is not None else "None")
    if record is not None:
        assert record.os_id == "/dev/video3" and record.serial and record.sku
        _round_trips(record)


# ---------------------------------------------------------------- network answers

bodies = (payloads().map(lambda p: json.dumps(p).encode()) | st.binary(max_size=64)
          | st.text(max_size=20).map(lambda t: t.encode("utf-8", "surrogatepass")))


@FUZZ
@given(body=bodies, status=st.sampled_from([200] * 8 + [404, 500]))
def test_discovery_on_any_answer(camera, devinfo, body, status):  # noqa: F811
    devinfo.set(SERIAL, body=body, status=status)
    try:
        answer = json.loads(body.decode("utf-8")) if status == 200 else None
    except ValueError:
        answer = None  # not UTF-8 or not JSON
    logging.disable(logging.CRITICAL)
    try:
        # A failed lookup, or an answer that is not a JSON object, drops the device.
        expected = VornCameraFacts.from_dict(answer, os_id="/dev/video0") if isinstance(answer, dict) else None
        cams = list_connected_vorn_cameras()
    finally:
        logging.disable(logging.NOTSET)
    event(f"{len(cams)} record(s)")
    assert cams == ([expected] if expected is not None else [])
    for cam in cams:
        _round_trips(cam)


# ---------------------------------------------------------------- source arguments

UNSUPPORTED = ("; expected FrameSource, VornCameraFacts, VORN serial, .mkv path, "
               "camera-facts .json path, or None for auto-discover")

odd_objects = (st.integers() | st.floats() | st.binary() | st.booleans() | st.lists(st.integers(), max_size=3)
               | st.dictionaries(st.text(max_size=3), st.integers(), max_size=2) | st.builds(object)
               | st.text().map(pathlib.PurePosixPath))
source_texts = (st.text()
                | st.tuples(st.text(string.printable, max_size=12), st.sampled_from([".mkv", ".json", "/", ".MKV", ""]),
                            st.sampled_from(["", " ", "\n\t"])).map("".join))


def _check_text_outcome(source, result_or_exc) -> None:
    s = (source if type(source) is str else str(source)).strip()
    if not s:
        assert isinstance(result_or_exc, ValueError)
        assert str(result_or_exc) == "unsupported source argument: " + repr(source) + UNSUPPORTED
    elif not ("/" in s or s.endswith((".mkv", ".json"))):
        assert isinstance(result_or_exc, RuntimeError)
        assert str(result_or_exc) == "no connected VORN camera with serial " + repr(s)
    elif s.endswith(".mkv"):
        assert isinstance(result_or_exc, MkvSource) and result_or_exc.path == s
    elif s.endswith(".json"):
        # No such file, or a name the file system cannot take.
        assert isinstance(result_or_exc, (OSError, ValueError)), result_or_exc
    else:
        assert isinstance(result_or_exc, ValueError)
        assert str(result_or_exc).startswith("unsupported source string " + repr(s) + ": ")


def _resolve(source):
    try:
        return resolve_source_arg(source)
    except Exception as exc:  # noqa: BLE001 - checked by the caller
        return exc


@FUZZ
@given(source=odd_objects | source_texts | source_texts.map(pathlib.Path))
def test_resolve_any_argument(camera, devinfo, source):  # noqa: F811
    assume(not (isinstance(source, (str, pathlib.Path)) and str(source).strip() == SERIAL))
    outcome = _resolve(source)
    event(type(outcome).__name__)
    if isinstance(source, (str, pathlib.Path)):
        _check_text_outcome(source, outcome)
    else:
        assert isinstance(outcome, ValueError)
        assert str(outcome) == "unsupported source argument: " + repr(source) + UNSUPPORTED


file_contents = (payloads().map(lambda p: json.dumps(p).encode())
                 | mutated({"serial": SERIAL, "camera_serial": 42}).map(lambda p: json.dumps(p).encode())
                 | st.binary(max_size=40))


@FUZZ
@given(content=file_contents)
def test_resolve_any_facts_file(camera, tmp_path, content):
    path = tmp_path / "facts.json"
    path.write_bytes(content)
    logging.disable(logging.CRITICAL)
    try:
        outcome = _resolve(path)
    finally:
        logging.disable(logging.NOTSET)
    event(type(outcome).__name__)

    try:
        payload = json.loads(content.decode("utf-8"))
    except ValueError:
        assert isinstance(outcome, ValueError)  # UnicodeDecodeError or JSONDecodeError
        return
    if not isinstance(payload, dict):
        assert isinstance(outcome, AttributeError)
        return
    if isinstance(outcome, CameraSource):
        assert outcome.record.os_id == "/dev/video0" and outcome.mode is outcome.record.spec.default_mode
        _round_trips(outcome.record)
        return
    assert isinstance(outcome, RuntimeError), outcome
    message = str(outcome)
    assert (message == f"{path} has no `serial_number` field \u2014 can't pick a camera"
            or message.startswith("camera-facts JSON references serial ")
            or message == f"{path}: not a valid server-shape device-info payload "
                          "(missing serial / sku, unknown SKU, or broken calibration block)"), message
