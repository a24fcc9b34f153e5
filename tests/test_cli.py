"""The vorn-camera tool, driven as a user would: a subprocess per command,
against emulated devices and the local HTTPS device-info server."""

from __future__ import annotations

import errno
import json
import os
import subprocess
import sys

import pytest

from harness.devinfo import facts_payload
from harness import CID
from vorn_camera_sdk.cameras import VornCameraFacts, catalog_client


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


def test_list_resolve_json_and_facts(emu, devinfo, tmp_path):
    emu.add_camera("VORN Talvex AB12CD34")
    emu.add_camera("VORN Talvex UNKNOWN1")  # the server answers 404: dropped
    devinfo.set("AB12CD34", facts_payload("AB12CD34"))
    proc = run("list", "--resolve", "--json", "--device-info-url", devinfo.base_url)
    assert proc.returncode == 0, proc.stderr
    (row,) = json.loads(proc.stdout)
    assert row["os_id"] == "/dev/video0"
    assert row["serial"] == "AB12CD34"  # the key `list --json` uses
    assert row["sku"] == facts_payload("AB12CD34")["sku"]
    assert row["image_size"] == [1280, 720]
    assert row["baseline_m"] == pytest.approx(0.0601, abs=1e-3)
    assert devinfo.count() == 2
    # The dropped camera: one line saying why, no traceback.
    assert [line for line in proc.stderr.splitlines() if "UNKNOWN1" in line] == [
        "vorn-camera: device-info lookup failed for serial=UNKNOWN1 (HTTP 404 Not Found)"]
    assert_no_traceback(proc)

    # `facts` writes the record the resolver reads back, the same as `facts` in the listing.
    out = tmp_path / "AB12CD34.json"
    proc = run("facts", "AB12CD34", "-o", str(out), "--device-info-url", devinfo.base_url)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(out.read_text()) == row["facts"]
    record = VornCameraFacts.from_dict(json.loads(out.read_text()), os_id="/dev/video0")
    assert record.serial == "AB12CD34" and record.base_calibration.baseline == pytest.approx(row["baseline_m"])


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

    # Any case; a family by its name; the heading names the family.
    proc = run("catalog", "stereo-camera-petrin-wide-lenses-v21")
    assert proc.stdout.splitlines()[0] == "VORN Petrin: STEREO-CAMERA-PETRIN-WIDE-LENSES-V21"
    proc = run("catalog", "petrin")
    assert proc.stdout.splitlines()[:3] == ["VORN Petrin: 12 SKUs, 108 modes (45 supported)", "", "SKUs (12):"]

    proc = run("catalog", "NOT-A-SKU")
    assert proc.returncode == 1 and "'NOT-A-SKU' is not in the catalog" in proc.stderr


def test_controls_read_and_set(emu, tmp_path):
    cam = emu.add_camera(
        "VORN Talvex AB12CD34", controls={"exposure": 312, "gain": 32, "auto_exposure": 1}
    )
    proc = run("controls", "AB12CD34")  # by serial
    assert proc.returncode == 0, proc.stderr
    out = {line.split()[0]: line.split()[1] for line in proc.stdout.splitlines()}
    assert out["exposure"] == "312" and out["gain"] == "32"
    assert out["brightness"] == "unavailable"  # not in the device's table

    emu.forget_requests()
    link = tmp_path / "usb-VORN_Talvex_AB12CD34-video-index0"  # as /dev/v4l/by-id/ names it
    link.symlink_to(cam.path)
    proc = run("controls", str(link), "exposure=156.7", "gain")
    assert proc.returncode == 0, proc.stderr
    writes = [(r.id, r.value) for r in cam.node.requests("s_ctrl")]
    assert writes == [(CID["exposure"], 156)]
    assert "exposure = 156" in proc.stdout


def test_controls_reports_a_refused_write(emu):
    # Auto exposure (3) is on, so the device refuses a manual exposure value.
    cam = emu.add_camera("VORN Talvex AB12CD34", controls={"exposure": 312, "auto_exposure": 3})
    proc = run("controls", cam.path, "exposure=100")
    assert proc.returncode == 1
    assert "refused exposure=100 (auto_exposure is on; set auto_exposure=1 (Manual) first)" in proc.stderr
    assert_no_traceback(proc)


@pytest.mark.parametrize(
    "args, code, message",
    [
        ((), 2, "required"),
        (("bogus",), 2, "invalid choice"),
        (("controls", "/dev/video0", "focus"), 2, "unknown control 'focus'"),
        (("controls", "/dev/video0", "gain=high"), 2, "is not a number"),
        (("controls", "/dev/video0", "gain=nan"), 2, "finite number in the signed 32-bit range"),
        (("controls", "/dev/video0", "gain=-inf"), 2, "finite number in the signed 32-bit range"),
        (("controls", "/dev/video0", "gain=1e20"), 2, "finite number in the signed 32-bit range"),
        (("controls", "/dev/video0", "gain=1000"), 2, "gain=1000 is not allowed; gain takes 0..130"),
        (("controls", "/dev/video0", "auto_exposure=2"), 2, "auto_exposure takes 1=Manual, 3=Aperture Priority"),
        (("controls", "/dev/video1"), 1, "/dev/video1 is no VORN camera: not a capture node"),
        (("controls", "/dev/null", "gain=40"), 1, "/dev/null is no VORN camera: not a V4L2 device"),
        (("controls", "/etc/passwd"), 1, "not a V4L2 device"),
        (("controls", "/dev/nothing"), 1, "/dev/nothing is no VORN camera: does not exist"),
        (("controls", "ZZ99"), 1, "no attached VORN camera has serial 'ZZ99'"),
        (("doctor", "--device-info-url", "notaurl"), 2, "'notaurl' is not a URL"),
        (("list", "--resolve", "--device-info-url", "http://127.0.0.1:x"), 2, "is not a URL"),
        (("facts", "--device-info-url", "ftp://h/"), 2, "is not a URL"),
        (("catalog", "STEREO-CAMERA-PETRIN-WIDE-LENS-V21"), 1,
         "(did you mean STEREO-CAMERA-PETRIN-WIDE-LENSES-V21"),
        (("catalog", "xyz"), 1, "'xyz' is not in the catalog: no model or SKU has that name"),
        (("controls",), 2, "the following arguments are required: device$"),
        # The commands that stream: numbers and modes before any camera is looked for.
        (("snapshot", "--at", "nan"), 2, "--at must be a finite number of seconds 0 or more, not nan."),
        (("snapshot", "--at", "inf"), 2, "--at must be a finite number of seconds 0 or more, not inf."),
        (("snapshot", "--at", "-1"), 2, "--at must be a finite number of seconds 0 or more, not -1."),
        (("snapshot", "AB12CD34", "--at", "1"), 2, "--at applies to recordings only"),
        (("record", "ZZ99", "out.mkv", "--duration", "nan"), 2, "--duration must be a finite number of seconds"),
        (("record", "ZZ99", "out.mkv", "--mode", "bogus"), 2, "capture mode 'bogus' is not of the form"),
        # SOURCE: files, folders and serials, the same answer from every command.
        (("snapshot", "/no/such/run.mkv"), 2, "vorn-camera: /no/such/run.mkv: no such file.$"),
        (("view", "UP.MKV"), 2, "vorn-camera: UP.MKV: no such file.$"),
        (("snapshot", "/etc/passwd"), 2, "/etc/passwd is no recording: Invalid data found"),
        (("view", "/etc/passwd"), 2, "/etc/passwd is no recording: Invalid data found"),
        (("view", "/etc"), 2, "/etc is a folder, not a camera serial, a camera facts .json file or a recording."),
        (("record", "/etc/passwd", "out.mkv"), 2, "/etc/passwd is a file; record takes a live camera"),
        (("snapshot", "foo.txt"), 1, "no connected VORN camera has serial 'foo.txt' and no file of that name "
         "exists; 'vorn-camera list' shows the connected ones; run 'vorn-camera doctor'"),
        (("view", "ZZ99"), 1, "no connected VORN camera has serial 'ZZ99'; 'vorn-camera list'"),
        (("snapshot", "-o", "/etc/passwd"), 2, "-o /etc/passwd is a file; give a folder for the PNG files.$"),
    ],
)
def test_bad_input_is_one_sentence(emu, args, code, message):
    cam = emu.add_camera("VORN Talvex AB12CD34", metadata=True)
    proc = run(*args)
    assert (proc.returncode, proc.stdout) == (code, "")
    last = proc.stderr.splitlines()[-1]  # argparse puts its usage above
    if message.endswith("$"):  # the whole end of the line
        assert last.endswith(message[:-1]), proc.stderr
    else:
        assert message in last, proc.stderr
    assert "[Errno" not in proc.stderr and "<" not in proc.stderr
    assert_no_traceback(proc)
    assert cam.node.requests("s_ctrl") == []


@pytest.mark.parametrize("command", [("snapshot",), ("view",), ("record", "out.mkv")])
def test_commands_without_a_camera_point_to_doctor(emu, command):
    proc = run(*command)
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == ("vorn-camera: no VORN camera found; connect one or name a SOURCE (a camera serial, a camera "
                           "facts .json file or a recording); run 'vorn-camera doctor' to see why a camera is or "
                           "isn't listed.\n")


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


def test_doctor_agrees_with_the_listing_on_every_kind_of_fault(emu, devinfo):
    from test_linux_enumeration import FAULTY_DEVICES
    from vorn_camera_sdk.platform.linux import LinuxBackend

    emu.add_camera("VORN Talvex GOOD0", 0)
    for index, fault in enumerate(FAULTY_DEVICES.values(), start=1):
        if fault == "pci":
            emu.add_other_device(index)
        elif fault == "bare":
            emu.add_node(index)
        else:
            fault = dict(fault)
            emu.add_camera(fault.pop("product", f"VORN Talvex BAD{index:02}"), index, **fault)
    emu.add_camera("VORN Talvex GOOD1", len(FAULTY_DEVICES) + 1)
    devinfo.set("GOOD0", facts_payload("GOOD0"))

    proc = run("doctor", "--device-info-url", devinfo.base_url)
    assert_no_traceback(proc)
    lines = dict(line.split(": ", 1) for line in proc.stdout.splitlines())
    endpoint = lines.pop("device-info endpoint")
    assert len(lines) == len(FAULTY_DEVICES) + 2
    listed = {path for path, why in lines.items() if why.startswith("listed - ")}
    assert listed == {d.os_id for d in LinuxBackend().list_cameras()} == {"/dev/video0", f"/dev/video{len(lines) - 1}"}

    # The service is asked as a lookup asks it, once per listed camera.
    assert endpoint.startswith(devinfo.base_url.partition("?")[0] + " answers: ")
    assert "serial 'GOOD0' is known" in endpoint and "HTTP 404 for serial 'GOOD1'" in endpoint
    assert [r.header("User-Agent") for r in devinfo.requests] == [catalog_client._USER_AGENT] * 2
    assert proc.returncode == 0

    # Without the test authority the same lookup meets a TLS failure.
    env = {k: v for k, v in os.environ.items() if k != "SSL_CERT_FILE"}
    proc = subprocess.run([sys.executable, "-m", "vorn_camera_sdk", "doctor", "--device-info-url", devinfo.base_url],
                          capture_output=True, text=True, timeout=60, env=env)
    assert "is not reachable: TLS failure: certificate verify failed" in proc.stdout
    assert proc.returncode == 1


@pytest.mark.parametrize("base", ["https://127.0.0.1:{port}", "https://127.0.0.1:{port}/", "{full}"])
def test_device_info_url_is_a_base_url(emu, devinfo, base):
    emu.add_camera("VORN Talvex AB12CD34")
    devinfo.set("AB12CD34", facts_payload("AB12CD34"))
    proc = run("list", "--resolve", "--device-info-url", base.format(port=devinfo.port, full=devinfo.base_url))
    assert proc.returncode == 0, proc.stderr
    assert [r.serial for r in devinfo.requests] == ["AB12CD34"]
