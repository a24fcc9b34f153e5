"""The camera facts record (from_dict/to_dict, value semantics) and Calibration."""

from __future__ import annotations

import dataclasses
import json
import logging
import math
import traceback

import pytest

from harness.devinfo import calibration_block, facts_payload, registered_sku
from vorn_camera_sdk.calibration import Calibration
from vorn_camera_sdk.cameras import camera_facts
from vorn_camera_sdk.cameras.camera_facts import VornCameraFacts
from vorn_camera_sdk.cameras.camera_spec import spec_by_sku

UNKNOWN_SKU_FMT = (
    "camera serial=%s reports SKU %r which is not in the SDK device registry — ignoring this camera. "
    "Add the SKU to the matching CameraSpec.skus in cameras/vorn_*."
)


def facts_logs(caplog):
    return [r for r in caplog.records if r.name == camera_facts.__name__]


@pytest.fixture
def caplog(caplog):
    caplog.set_level(logging.DEBUG, logger=camera_facts.__name__)
    return caplog


DELETE = object()


def record(os_id="/dev/video0", **payload_changes):
    payload = facts_payload("AB12CD34")
    payload.update(payload_changes)
    return VornCameraFacts.from_dict({k: v for k, v in payload.items() if v is not DELETE}, os_id=os_id)


# ---------------------------------------------------------------- from_dict


def test_from_dict_builds_the_record(caplog):
    sku = registered_sku()
    payload = facts_payload("AB12CD34", sku=sku, model_name="VORN Talvex Regular", extra="ignored")
    r = VornCameraFacts.from_dict(payload, os_id="/dev/video2")
    assert r == VornCameraFacts(
        os_id="/dev/video2",
        serial="AB12CD34",
        sku=sku,
        model_name="VORN Talvex Regular",
        spec=spec_by_sku(sku),
        base_calibration=Calibration.from_dict(calibration_block()),
    )
    assert facts_logs(caplog) == []
    # Printed, the family's tables shrink to their sizes.
    assert "spec=<CameraSpec VORN Talvex: 56 SKUs, 108 modes, 13 controls, 12 Windows controls>" in repr(r)
    assert len(repr(r)) < 2000


@pytest.mark.parametrize(
    "changes",
    [
        {"serial_number": DELETE}, {"serial_number": ""}, {"serial_number": None},
        {"sku": DELETE}, {"sku": ""}, {"sku": 0}, {"serial_number": "", "sku": "NOT-REGISTERED"},
    ],
)
def test_missing_identity_gives_none_silently(caplog, changes):
    assert record(**changes) is None
    assert facts_logs(caplog) == []


def _broken(error):
    block = calibration_block()
    if error is KeyError:
        del block["cameras"][0]["fx"]
    elif error is TypeError:
        block["cameras"] = "left,right"
    else:
        block["cameras"][1]["role"] = "left"
    return block


NO_BLOCK, BAD_BLOCK = "no base_calibration block for serial=%s", "calibration deserialize failed for serial=%s"


@pytest.mark.parametrize("changes, level, fmt, args, exc_type", [
    # An unknown SKU is reported alone: the (missing) calibration is never looked at.
    (dict(serial_number=77, sku="STEREO-CAMERA-NOPE-V21", base_calibration=DELETE),
     logging.WARNING, UNKNOWN_SKU_FMT, (77, "STEREO-CAMERA-NOPE-V21"), None),
    *[(dict(base_calibration=block), logging.ERROR, NO_BLOCK, ("AB12CD34",), None)
      for block in (DELETE, None, [calibration_block()], json.dumps(calibration_block()))],
    *[(dict(base_calibration=_broken(error)), logging.ERROR, BAD_BLOCK, ("AB12CD34",), error)
      for error in (KeyError, TypeError, ValueError)],
], ids=["unknown-sku", "absent", "none", "list", "json-text", "KeyError", "TypeError", "ValueError"])
def test_dropped_payload_logs_one_line(caplog, changes, level, fmt, args, exc_type):
    assert record(**changes) is None
    (log,) = facts_logs(caplog)
    assert (log.levelno, log.msg, log.args) == (level, fmt, args)
    if exc_type is None:
        assert log.exc_info is None
    else:  # logged with the calibration's own traceback
        seen, _, tb = log.exc_info
        assert seen is exc_type and traceback.extract_tb(tb)[-1].filename.endswith("calibration.py")


def test_other_calibration_errors_propagate(monkeypatch, caplog):
    class Exploding:
        @staticmethod
        def from_dict(block):
            raise RuntimeError("boom")

    monkeypatch.setattr(camera_facts, "Calibration", Exploding)
    with pytest.raises(RuntimeError, match="boom"):
        record()
    assert facts_logs(caplog) == []


@pytest.mark.parametrize("field, given, stored", [
    *[("model_name", given, "") for given in (DELETE, None, "", 0)],
    ("model_name", 7, "7"), ("serial_number", 42, "42"),
])
def test_fields_become_str(field, given, stored):
    r = record(**{field: given})
    assert getattr(r, "serial" if field == "serial_number" else field) == stored


def test_subclass_gets_its_own_instances():
    class Mine(VornCameraFacts):
        pass

    assert type(Mine.from_dict(payload=facts_payload("S1"), os_id="x")) is Mine


@pytest.mark.parametrize(
    "call, error, mentions",
    [
        (lambda p: VornCameraFacts.from_dict(p), TypeError, "os_id"),
        (lambda p: VornCameraFacts.from_dict(p, "/dev/video0"), TypeError, "positional"),
        (lambda p: VornCameraFacts.from_dict(p, os_id="x", serial="S"), TypeError, "serial"),
        (lambda p: VornCameraFacts.from_dict(os_id="x"), TypeError, "payload"),
        (lambda p: VornCameraFacts.from_dict(p, os_id="x", payload=p), TypeError, "multiple values"),
        (lambda p: VornCameraFacts.from_dict(list(p.items()), os_id="x"), AttributeError, "get"),
    ],
)
def test_argument_errors(call, error, mentions):
    with pytest.raises(error, match=mentions):
        call(facts_payload("S1"))


# ---------------------------------------------------------------- to_dict and the record


def test_to_dict_layout_and_round_trip_through_json_text():
    r = record(os_id="/dev/video4", extra_top_level_key=1)
    d = r.to_dict()
    assert list(d) == ["serial_number", "sku", "model_name", "base_calibration"]
    assert d["serial_number"] is r.serial and d["sku"] is r.sku
    assert d["base_calibration"] == r.base_calibration.to_dict()
    again = VornCameraFacts.from_dict(json.loads(json.dumps(d)), os_id="/dev/video4")
    assert again == r and hash(again) == hash(r) and again is not r


def test_record_is_a_frozen_slotted_value_dataclass():
    r, same, other = record(), record(), record(os_id="/dev/video1")
    assert [f.name for f in dataclasses.fields(VornCameraFacts)] == [
        "os_id", "serial", "sku", "model_name", "spec", "base_calibration",
    ]
    assert not hasattr(r, "__dict__")
    with pytest.raises(dataclasses.FrozenInstanceError):
        r.serial = "other"
    with pytest.raises(dataclasses.FrozenInstanceError):
        del r.os_id
    # 3.11's frozen+slots __setattr__ fails with TypeError for unknown names.
    with pytest.raises((dataclasses.FrozenInstanceError, AttributeError, TypeError)):
        r.extra = 1
    assert r.serial == "AB12CD34"
    assert dataclasses.replace(r, os_id="/dev/video9").os_id == "/dev/video9"
    assert r == same and r != other and len({r, same, other}) == 2
    text = repr(VornCameraFacts("o", "s", "k", "m", None, None))
    assert text == "VornCameraFacts(os_id='o', serial='s', sku='k', model_name='m', spec=None, base_calibration=None)"


# ---------------------------------------------------------------- Calibration


def test_calibration_accessors():
    cal = Calibration.from_dict(calibration_block())
    left, right = cal.left, cal.right
    assert (left.role, right.role) == ("left", "right")
    assert left.camera_matrix == ((712.4, 0.0, 640.2), (0.0, 712.9, 361.7), (0.0, 0.0, 1.0))
    assert right.distortion == (-0.029, 0.011, 0.0003, -0.0001, 0.0009, 0.0, 0.0, 0.0)
    assert left.size == (1280, 720)
    assert math.isclose(cal.baseline, math.sqrt(0.0601**2 + 0.0002**2 + 0.0004**2))
    with pytest.raises(KeyError):
        cal.camera("centre")
    bare = calibration_block()  # distortion terms default to zero
    for cam in bare["cameras"]:
        for key in ("k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"):
            del cam[key]
    assert Calibration.from_dict(bare).left.distortion == (0.0,) * 8


def test_calibration_dict_form_and_round_trip():
    block = calibration_block()
    block["cameras"].reverse()  # order is kept, whatever it is
    cal = Calibration.from_dict(block)
    d = cal.to_dict()
    assert list(d) == ["version", "cameras"]
    assert [c["role"] for c in d["cameras"]] == ["right", "left"]
    assert list(d["cameras"][0]) == [
        "role", "width", "height", "fx", "fy", "cx", "cy",
        "k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6", "rotation", "translation",
    ]
    assert d["cameras"][1]["rotation"] == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert Calibration.from_dict(json.loads(json.dumps(d))) == cal
    assert hash(Calibration.from_dict(d)) == hash(cal)
    with pytest.raises(dataclasses.FrozenInstanceError):
        cal.version = 4


def _cam(block, i=0):
    return block["cameras"][i]


BAD_CALIBRATIONS = [
    *[(f"missing-{key}", lambda b, k=key: b.pop(k), KeyError) for key in ("version", "cameras")],
    *[
        (f"missing-camera-{key}", lambda b, k=key: _cam(b, 1).pop(k), KeyError)
        for key in ("role", "width", "height", "fx", "fy", "cx", "cy", "rotation", "translation")
    ],
    ("cameras-not-list", lambda b: b.update(cameras={"left": 1}), TypeError),
    ("camera-not-mapping", lambda b: b["cameras"].append(3), TypeError),
    ("version-text", lambda b: b.update(version="3"), TypeError),
    ("fx-text", lambda b: _cam(b).update(fx="712.4"), TypeError),
    ("fx-bool", lambda b: _cam(b).update(fx=True), TypeError),
    ("k1-none", lambda b: _cam(b).update(k1=None), TypeError),
    ("width-float", lambda b: _cam(b).update(width=1280.0), TypeError),
    ("rotation-text", lambda b: _cam(b).update(rotation="identity"), TypeError),
    ("two-lefts", lambda b: _cam(b, 1).update(role="left"), ValueError),
    ("one-camera", lambda b: b["cameras"].pop(), ValueError),
    ("three-cameras", lambda b: b["cameras"].append(dict(_cam(b))), ValueError),
    ("width-zero", lambda b: _cam(b).update(width=0), ValueError),
    ("fy-negative", lambda b: _cam(b, 1).update(fy=-1.0), ValueError),
    ("fx-nan", lambda b: _cam(b).update(fx=float("nan")), ValueError),
    ("fx-huge-int", lambda b: _cam(b).update(fx=10**400), ValueError),  # what json.loads makes of 400 digits
    ("rotation-2-rows", lambda b: _cam(b).update(rotation=[[1, 0, 0], [0, 1, 0]]), ValueError),
    ("rotation-short-row", lambda b: _cam(b).update(rotation=[[1, 0, 0], [0, 1], [0, 0, 1]]), ValueError),
    ("translation-2", lambda b: _cam(b, 1).update(translation=[-0.06, 0.0]), ValueError),
]


@pytest.mark.parametrize("mutate, error", [row[1:] for row in BAD_CALIBRATIONS], ids=[row[0] for row in BAD_CALIBRATIONS])
def test_calibration_rejects(mutate, error):
    block = calibration_block()
    mutate(block)
    with pytest.raises(error):
        Calibration.from_dict(block)
