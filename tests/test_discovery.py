"""Discovery end to end: emulated camera nodes, the Linux backend and the local
HTTPS device-info server; a few cases the kernel side cannot produce use a
fake backend in place of ``current_backend``."""

from __future__ import annotations

import json
import logging
import types
import urllib.error

import pytest

from harness.devinfo import facts_payload
from vorn_camera_sdk.calibration import Calibration
from vorn_camera_sdk.cameras import (
    camera_facts,
    get_connected_vorn_camera_by_serial,
    get_first_connected_vorn_camera,
    list_connected_vorn_cameras,
)
from vorn_camera_sdk.cameras.vorn_petrin import VORN_PETRIN
from vorn_camera_sdk.cameras.vorn_sorvane import VORN_SORVANE
from vorn_camera_sdk.cameras.vorn_talvex import VORN_TALVEX

LOOKUP_FAILED = "device-info lookup failed for serial=%s"
UNKNOWN_SKU = (
    "camera serial=%s reports SKU %r which is not in the SDK device registry — ignoring this camera. "
    "Add the SKU to the matching CameraSpec.skus in cameras/vorn_*."
)
NO_CAMERA = (
    "no VORN camera connected (or no connected device's serial is registered in the device-info catalog). "
    "Plug one in, or use list_connected_vorn_cameras() to inspect what's seen."
)


@pytest.fixture
def logs(caplog):
    caplog.set_level(logging.DEBUG, logger=camera_facts.__name__)

    def records():
        return [r for r in caplog.records if r.name == camera_facts.__name__]

    return records


def test_records_follow_device_order(emu, devinfo, logs):
    emu.add_camera("VORN Sorvane S0002", index=2)
    emu.add_camera("VORN Talvex T0010", index=10, metadata=True)  # video10 + metadata video11
    emu.add_other_device(index=3)
    emu.add_camera("ACME Webcam W1", index=4)
    devinfo.set("S0002", facts_payload("S0002", sku=VORN_SORVANE.skus[-1], model_name="VORN Sorvane"))
    t_payload = facts_payload("T0010", sku=VORN_TALVEX.skus[3])
    t_payload["base_calibration"]["cameras"][1]["translation"] = [-0.12, 0.0, 0.0]
    devinfo.set("T0010", t_payload)

    records = list_connected_vorn_cameras()

    assert [(r.os_id, r.serial) for r in records] == [("/dev/video10", "T0010"), ("/dev/video2", "S0002")]
    talvex, sorvane = records
    assert talvex.spec is VORN_TALVEX and sorvane.spec is VORN_SORVANE
    assert sorvane.model_name == "VORN Sorvane"
    assert talvex.base_calibration == Calibration.from_dict(t_payload["base_calibration"])
    assert talvex.base_calibration.baseline == pytest.approx(0.12)
    assert [r.serial for r in devinfo.requests] == ["T0010", "S0002"]
    assert logs() == []
    assert get_first_connected_vorn_camera() == talvex


def test_each_bad_answer_drops_only_its_device(emu, devinfo, logs):
    serials = ["OK01", "UNKNOWN02", "SKU03", "CAL04", "LIST05", "NULL06", "TEXT07", "OK08"]
    for i, serial in enumerate(serials):
        emu.add_camera(f"VORN Petrin {serial}", index=i)
    devinfo.set("OK01", facts_payload("OK01", sku=VORN_PETRIN.skus[0]))
    devinfo.set("SKU03", facts_payload("SKU03", sku="STEREO-CAMERA-UNHEARD-OF-V21"))
    bad_cal = facts_payload("CAL04", sku=VORN_PETRIN.skus[0])
    del bad_cal["base_calibration"]["cameras"][1]["translation"]
    devinfo.set("CAL04", bad_cal)
    devinfo.set("LIST05", [facts_payload("LIST05", sku=VORN_PETRIN.skus[0])])
    devinfo.set("NULL06", None)
    devinfo.set("TEXT07", body=b"Service Unavailable")
    devinfo.set("OK08", facts_payload("OK08", sku=VORN_PETRIN.skus[1]))

    records = list_connected_vorn_cameras()

    assert [(r.os_id, r.serial) for r in records] == [("/dev/video0", "OK01"), ("/dev/video7", "OK08")]
    assert all(devinfo.count(s) == 1 for s in serials)
    seen = [(r.levelname, r.msg, r.args, r.exc_info and r.exc_info[0]) for r in logs()]
    assert seen == [
        ("ERROR", LOOKUP_FAILED, ("UNKNOWN02",), urllib.error.HTTPError),
        ("WARNING", UNKNOWN_SKU, ("SKU03", "STEREO-CAMERA-UNHEARD-OF-V21"), None),
        ("ERROR", "calibration deserialize failed for serial=%s", ("CAL04",), KeyError),
        ("ERROR", LOOKUP_FAILED, ("LIST05",), TypeError),
        ("ERROR", LOOKUP_FAILED, ("NULL06",), TypeError),
        ("ERROR", LOOKUP_FAILED, ("TEXT07",), json.JSONDecodeError),
    ]
    unknown = logs()[0]
    assert unknown.exc_info[1].code == 404 and unknown.exc_info[2] is not None
    assert "is list, not a JSON object" in str(logs()[3].exc_info[1])


def test_nothing_attached(emu, devinfo, logs):
    emu.add_other_device()
    assert list_connected_vorn_cameras() == []
    with pytest.raises(RuntimeError) as info:
        get_first_connected_vorn_camera()
    assert str(info.value) == NO_CAMERA
    assert devinfo.count() == 0 and logs() == []


def test_duplicate_serials_and_one_request_by_serial(emu, devinfo, logs):
    for index, serial in ((5, "TWIN"), (0, "A0"), (1, "TWIN"), (2, "C2")):
        emu.add_camera(f"VORN Talvex {serial}", index=index)
        devinfo.set(serial, facts_payload(serial, sku=VORN_PETRIN.skus[0]))
    assert [(r.os_id, r.serial) for r in list_connected_vorn_cameras()] == [
        ("/dev/video0", "A0"), ("/dev/video1", "TWIN"), ("/dev/video2", "C2"), ("/dev/video5", "TWIN")]
    assert devinfo.count("TWIN") == 2
    devinfo.requests.clear()

    record = get_connected_vorn_camera_by_serial(serial="TWIN")

    assert (record.os_id, record.serial, record.spec) == ("/dev/video1", "TWIN", VORN_PETRIN)
    assert [r.serial for r in devinfo.requests] == ["TWIN"]
    assert logs() == []


@pytest.mark.parametrize("asked", ["b1", " B1", "B1 ", "ZZ9", 42, None])
def test_by_serial_without_a_match_sends_nothing(emu, devinfo, logs, asked):
    emu.add_camera("VORN Talvex B1")
    devinfo.set("B1", facts_payload("B1"))
    assert get_connected_vorn_camera_by_serial(asked) is None
    assert devinfo.count() == 0 and logs() == []


@pytest.mark.parametrize(
    "answer, exc_type",
    [(dict(status=404), urllib.error.HTTPError), (dict(payload=[1, 2]), TypeError), (dict(payload=7), TypeError)],
    ids=["404", "list", "number"],
)
def test_by_serial_failed_lookup(emu, devinfo, logs, answer, exc_type):
    emu.add_camera("VORN Talvex B1")
    devinfo.set("B1", answer.get("payload", {}), status=answer.get("status", 200))
    assert get_connected_vorn_camera_by_serial("B1") is None
    (log,) = logs()
    assert (log.levelname, log.msg, log.args, log.exc_info[0]) == ("ERROR", LOOKUP_FAILED, ("B1",), exc_type)


# ---------------------------------------------------------------- fake backend


class FakeBackend:
    def __init__(self, *devices):
        self.devices = [types.SimpleNamespace(os_id=os_id, serial=serial) for os_id, serial in devices]

    def list_cameras(self):
        return list(self.devices)


@pytest.fixture
def backend(monkeypatch):
    def install(*devices):
        fake = FakeBackend(*devices)
        monkeypatch.setattr(camera_facts, "current_backend", lambda: fake)
        return fake

    return install


def test_devices_without_serial(backend, devinfo):
    backend(("/dev/video0", None), ("/dev/video1", ""), ("/dev/video2", "C2"))
    devinfo.set("C2", facts_payload("C2"))
    devinfo.set("", facts_payload("", sku=VORN_TALVEX.skus[0]))
    assert [r.os_id for r in list_connected_vorn_cameras()] == ["/dev/video2"]  # skipped, never asked for
    assert get_connected_vorn_camera_by_serial("") is None  # "" matches, is asked for, makes no record
    assert [r.path.rsplit("=", 1)[1] for r in devinfo.requests] == ["C2", ""]


def test_interrupts_are_not_swallowed(backend, monkeypatch):
    backend(("/dev/video0", "A0"))

    def fetch(serial):
        raise KeyboardInterrupt

    monkeypatch.setattr(camera_facts, "fetch_camera_facts_json", fetch)
    with pytest.raises(KeyboardInterrupt):
        list_connected_vorn_cameras()
    with pytest.raises(KeyboardInterrupt):
        get_connected_vorn_camera_by_serial("A0")
