"""The vorn-camera tool, driven as a user would: a subprocess per command,
against emulated devices and the local HTTPS device-info server."""

from __future__ import annotations

import errno
import json
import subprocess
import sys

import pytest

from harness.devinfo import facts_payload
from harness import CID


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "vorn_camera_sdk", *args], capture_output=True, text=True, timeout=60
    )


def assert_no_traceback(proc: subprocess.CompletedProcess) -> None:
    assert "Traceback" not in proc.stderr, proc.stderr


def test_list_without_cameras_says_so_and_points_to_doctor(emu):
    emu.add_other_device()
    proc = run("list")
    assert proc.returncode == 1
    assert proc.stdout == ""
    assert "no VORN camera found" in proc.stderr and "vorn-camera doctor" in proc.stderr
    assert_no_traceback(proc)


def test_list_shows_each_camera_once_without_network(emu):
    emu.add_camera("VORN Talvex AB12CD34", metadata=True)  # video0 + metadata video1
    emu.add_camera("VORN Petrin Module X9", 2)
    proc = run("list")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "/dev/video0  VORN Talvex  serial=AB12CD34",
        "/dev/video2  VORN Petrin Module  serial=X9",
    ]
    proc = run("list", "--json")
    assert json.loads(proc.stdout) == [
        {"os_id": "/dev/video0", "name": "VORN Talvex", "serial": "AB12CD34"},
        {"os_id": "/dev/video2", "name": "VORN Petrin Module", "serial": "X9"},
    ]


def test_list_resolve_json(emu, devinfo):
    emu.add_camera("VORN Talvex AB12CD34")
    emu.add_camera("VORN Talvex UNKNOWN1")  # the server answers 404: dropped
    devinfo.set("AB12CD34", facts_payload("AB12CD34"))
    proc = run("list", "--resolve", "--json", "--device-info-url", devinfo.base_url)
    assert proc.returncode == 0, proc.stderr
    (row,) = json.loads(proc.stdout)
    assert row["os_id"] == "/dev/video0"
    assert row["serial_number"] == "AB12CD34"
    assert row["sku"] == facts_payload("AB12CD34")["sku"]
    assert row["image_size"] == [1280, 720]
    assert row["baseline_m"] == pytest.approx(0.0601, abs=1e-3)
    assert devinfo.count() == 2


def test_catalog(tmp_path):
    proc = run("catalog")
    assert proc.returncode == 0
    assert "VORN Talvex: 56 SKUs, 108 modes (45 supported)" in proc.stdout
    assert "STEREO-CAMERA-MODULE-SORVANE-ULTRA-FISHEYE-LENSES-V21" in proc.stdout

    proc = run("catalog", "STEREO-CAMERA-PETRIN-WIDE-LENSES-V21")
    assert proc.returncode == 0
    lines = proc.stdout.splitlines()
    assert "Capture modes (108):" in lines and "Controls (13):" in lines
    default = [line for line in lines if line.rstrip().endswith("*")]
    assert len(default) == 1 and "MJPG" in default[0] and "1280x360" in default[0]
    assert any(line.split()[:2] == ["exposure", "1..80000"] and "auto_exposure" in line for line in lines)

    proc = run("catalog", "NOT-A-SKU")
    assert proc.returncode == 1 and "'NOT-A-SKU' is not in the catalog" in proc.stderr


def test_controls_read_and_set(emu):
    cam = emu.add_camera(
        "VORN Talvex AB12CD34", controls={"exposure": 312, "gain": 32, "auto_exposure": 1}
    )
    proc = run("controls", cam.path)
    assert proc.returncode == 0, proc.stderr
    out = {line.split()[0]: line.split()[1] for line in proc.stdout.splitlines()}
    assert out["exposure"] == "312" and out["gain"] == "32"
    assert out["brightness"] == "unavailable"  # not in the device's table

    emu.forget_requests()
    proc = run("controls", cam.path, "exposure=156.7", "gain")
    assert proc.returncode == 0, proc.stderr
    writes = [(r.id, r.value) for r in cam.node.requests("s_ctrl")]
    assert writes == [(CID["exposure"], 156)]
    assert "exposure = 156" in proc.stdout


def test_controls_reports_a_refused_write(emu):
    # Auto exposure (3) is on, so the device refuses a manual exposure value.
    cam = emu.add_camera("VORN Talvex AB12CD34", controls={"exposure": 312, "auto_exposure": 3})
    proc = run("controls", cam.path, "exposure=100")
    assert proc.returncode == 1
    assert "refused exposure=100" in proc.stderr and "auto_exposure" in proc.stderr
    assert_no_traceback(proc)


@pytest.mark.parametrize(
    "args, message",
    [
        ((), "required"),
        (("bogus",), "invalid choice"),
        (("controls", "/dev/video0", "focus"), "unknown control 'focus'"),
        (("controls", "/dev/video0", "gain=high"), "is not a number"),
    ],
)
def test_usage_errors(emu, args, message):
    emu.add_camera("VORN Talvex AB12CD34")
    proc = run(*args)
    assert proc.returncode == 2
    assert message in proc.stderr
    assert_no_traceback(proc)


def test_doctor_explains_every_node(emu, devinfo):
    emu.add_camera("VORN Talvex AB12CD34", 0, metadata=True)  # video0, video1
    emu.add_camera("Integrated Camera", 2)
    emu.add_other_device(3)
    emu.add_camera("VORN Talvex LOCKED01", 4, open_errno=errno.EACCES)
    emu.add_node(5, querycap_errno=errno.ENOTTY)
    proc = run("doctor", "--device-info-url", devinfo.base_url)
    assert_no_traceback(proc)
    lines = dict(line.split(": ", 1) for line in proc.stdout.splitlines())
    assert lines["/dev/video0"].startswith("listed - VORN camera 'VORN Talvex', serial 'AB12CD34'")
    assert "not a capture node" in lines["/dev/video1"]
    assert "product string 'Integrated Camera' is not a VORN one" in lines["/dev/video2"]
    assert "not on USB" in lines["/dev/video3"]
    assert "permission denied" in lines["/dev/video4"] and 'SUBSYSTEM=="video4linux"' in lines["/dev/video4"]
    assert "not a V4L2 device" in lines["/dev/video5"]
    assert lines["device-info endpoint"].startswith("https://127.0.0.1:")
    assert "answers" in lines["device-info endpoint"]
    assert proc.returncode == 0


def test_doctor_without_devices_or_endpoint(emu):
    proc = run("doctor", "--device-info-url", "https://127.0.0.1:9/api/public/camera-facts?serial_number=")
    assert proc.returncode == 1
    assert "no /dev/video* nodes" in proc.stdout
    assert "is not reachable" in proc.stdout
