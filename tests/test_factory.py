"""The source= resolver: every form, its exact messages, and what propagates."""

from __future__ import annotations

import json
import operator
import os
import subprocess
import sys
import types
from pathlib import Path, PurePosixPath

import pytest

import vorn_camera_sdk.cameras as cameras
from harness.devinfo import calibration_block, facts_payload
from vorn_camera_sdk.sources import camera_source, factory, mkv_source
from vorn_camera_sdk.sources.base import FrameSource
from vorn_camera_sdk.sources.factory import resolve_source_arg

UNSUPPORTED = ("unsupported source argument: {!r}; expected FrameSource, VornCameraFacts, VORN serial, "
               ".mkv path, camera-facts .json path, or None for auto-discover")
BAD_STRING = "unsupported source string {!r}: expected a VORN serial, an .mkv path, or a camera-facts .json path"
NO_CAMERA = "no VORN camera detected \u2014 pass `source=` explicitly, or connect a registered VORN unit."


class Text(str):
    pass


class Recorder:
    """Stands in for a source class and keeps the arguments it was built with."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


@pytest.fixture
def built(monkeypatch):
    monkeypatch.setattr(camera_source, "CameraSource", Recorder)
    monkeypatch.setattr(mkv_source, "MkvSource", Recorder)


def record(serial="AB12CD34", os_id="/dev/video0"):
    return cameras.VornCameraFacts.from_dict(facts_payload(serial), os_id=os_id)


def built_for(result, serial, os_id):
    """The record a recorded CameraSource got, checked for the (record, its default mode) call."""
    rec = result.args[0]
    assert result.kwargs == {} and len(result.args) == 2 and result.args[1] is rec.spec.default_mode
    assert (rec.serial, rec.os_id) == (serial, os_id)
    return rec


def test_import_loads_no_camera_or_platform_code():
    code = ("import sys, vorn_camera_sdk.sources.factory as f\n"
            "print(sorted(n for n in vars(f) if not n.startswith('__')))\n"
            "print([m for m in sys.modules if m.startswith(('vorn_camera_sdk.cameras', 'vorn_camera_sdk.platform'))])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["['FrameSource', 'Path', 'json', 'resolve_source_arg']", "[]"]
    assert resolve_source_arg.__doc__.startswith("resolve_source_arg(source) -> FrameSource")
    with pytest.raises(TypeError):
        resolve_source_arg()


def test_frame_source_passes_through_without_importing_cameras(monkeypatch):
    source = FrameSource()
    monkeypatch.setitem(sys.modules, "vorn_camera_sdk.cameras", None)
    assert resolve_source_arg(source=source) is source


@pytest.mark.parametrize("source, message", [
    *[(s, UNSUPPORTED.format(s)) for s in (42, b"AB12CD34", "   ", Text("  \t"), PurePosixPath("capture.mkv"), ["x"])],
    *[(s, BAD_STRING.format(str(s).strip())) for s in ("recordings/run1", Path("recordings/run1"), " recordings/run1.MKV ")],
])
def test_unsupported_argument(source, message):
    with pytest.raises(ValueError) as info:
        resolve_source_arg(source)
    assert str(info.value) == message


@pytest.mark.parametrize("source, path", [(Path("capture.mkv"), "capture.mkv"), (Text(" a/run1.mkv\n"), "a/run1.mkv")])
def test_recording_gets_the_stripped_str_path(built, source, path):
    result = resolve_source_arg(source)
    assert result.args == (path,) and type(result.args[0]) is str and result.kwargs == {}


def test_record_and_recording_give_real_sources_without_io(devinfo, tmp_path):
    rec = record()
    live = resolve_source_arg(rec)
    assert isinstance(live, camera_source.CameraSource) and live.record is rec and live.mode is rec.spec.default_mode
    replay = resolve_source_arg(tmp_path / "missing.mkv")  # existence is checked on first iteration
    assert isinstance(replay, mkv_source.MkvSource) and replay.path == str(tmp_path / "missing.mkv")
    assert devinfo.count() == 0


def test_auto_discovery_takes_the_first_camera(built, emu, devinfo):
    emu.add_camera("VORN Talvex ZZ99", index=4)
    emu.add_camera("VORN Talvex AB12CD34", index=2)
    for serial in ("ZZ99", "AB12CD34"):
        devinfo.set(serial, facts_payload(serial))
    built_for(resolve_source_arg(None), "AB12CD34", "/dev/video2")


@pytest.mark.parametrize("source, message", [(None, NO_CAMERA), ("  AB12CD34  ", "no connected VORN camera with serial 'AB12CD34'")])
def test_no_camera_resolves(emu, devinfo, source, message):
    emu.add_camera("VORN Talvex AB12CD34")  # attached, but the device-info service does not know it
    with pytest.raises(RuntimeError) as info:
        resolve_source_arg(source)
    assert str(info.value) == message


@pytest.mark.parametrize("source, serial", [("  AB12CD34  ", "AB12CD34"), (Path("AB12CD34"), "AB12CD34"),
                                            ("capture.MKV", "capture.MKV"), (Text("ab.JSON"), "ab.JSON")])
def test_serial_lookup(built, emu, devinfo, source, serial):
    emu.add_camera("VORN Talvex ZZ99", index=0)
    emu.add_camera(f"VORN Talvex {serial}", index=1)
    devinfo.set(serial, facts_payload(serial))
    built_for(resolve_source_arg(source), serial, "/dev/video1")
    assert devinfo.count() == devinfo.count(serial) == 1


def test_discovery_and_constructor_errors_propagate(monkeypatch):
    class Refused(OSError):
        pass

    def refuse(*args):
        raise Refused("no")

    for module, name in [(cameras, "list_connected_vorn_cameras"), (cameras, "get_connected_vorn_camera_by_serial"),
                         (camera_source, "CameraSource"), (mkv_source, "MkvSource")]:
        monkeypatch.setattr(module, name, refuse)
    for source in (None, "AB12CD34", record(), "x.mkv"):
        with pytest.raises(Refused):
            resolve_source_arg(source)


@pytest.fixture
def attached(emu):
    """Three attached cameras, AB12CD34 twice (video4 comes first)."""
    for index, serial in ((0, "ZZ99"), (4, "AB12CD34"), (6, "AB12CD34")):
        emu.add_camera(f"VORN Talvex {serial}", index=index)
    emu.forget_requests()
    return emu


def test_facts_file_builds_the_record_from_its_content(built, attached, devinfo, tmp_path):
    facts = facts_payload("AB12CD34", model_name="Unit 7")
    path = tmp_path / "facts.json"
    path.write_text(json.dumps(facts))
    rec = built_for(resolve_source_arg(f"  {path}  "), "AB12CD34", "/dev/video4")
    assert rec == cameras.VornCameraFacts.from_dict(facts, os_id="/dev/video4")
    assert devinfo.count() == 0


@pytest.mark.parametrize("content, message", [
    ({"serial_number": "", "serial": None, "camera_serial": 0}, "{s} has no `serial_number` field \u2014 can't pick a camera"),
    ({"serial_number": 42}, "camera-facts JSON references serial 42, but no such VORN camera is currently connected"),
    ({"camera_serial": "NO"}, "camera-facts JSON references serial 'NO', but no such VORN camera is currently connected"),
    # "serial" picks the device, but the record is read from "serial_number" only
    ({"serial": "AB12CD34", "sku": "STEREO-CAMERA-TALVEX-LONG-BASELINE-WIDE-LENSES-V21", "base_calibration": calibration_block()},
     "{s}: not a valid server-shape device-info payload (missing serial / sku, unknown SKU, or broken calibration block)"),
])
def test_facts_file_failures(attached, tmp_path, content, message):
    path = tmp_path / "facts.json"
    path.write_text(json.dumps(content))
    with pytest.raises(RuntimeError) as info:
        resolve_source_arg(path)
    assert str(info.value) == message.format(s=path)


@pytest.mark.parametrize("content, error", [(None, FileNotFoundError), (b"\xff\xfe{}", UnicodeDecodeError),
                                            (b"{not json", json.JSONDecodeError), (b'["AB12CD34"]', AttributeError)])
def test_facts_file_errors_propagate_before_enumeration(attached, tmp_path, content, error):
    path = tmp_path / "facts.json"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(error):
        resolve_source_arg(str(path))
    assert attached.requests() == []


def test_facts_file_closed_when_the_parser_fails_without_a_traceback(monkeypatch, tmp_path):
    # json.load replaced by a C function: its error carries no traceback, and
    # must still reach the caller as itself, with the file closed.
    path = tmp_path / "facts.json"
    path.write_text("{}")
    monkeypatch.setattr(factory, "json", types.SimpleNamespace(load=operator.methodcaller("read", "x")))
    before = sorted(os.listdir("/proc/self/fd"))
    with pytest.raises(TypeError, match="argument should be integer or None"):
        resolve_source_arg(path)
    assert sorted(os.listdir("/proc/self/fd")) == before
