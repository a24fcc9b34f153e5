"""The SDK against the real Linux kernel: uvcvideo under QEMU.

One guest boot per session: a Debian kernel (fetched by package name into
tests/kernel/cache/) with vhci-hcd and uvcvideo, USB/IP cameras served from
this process, and the in-guest tests of tests/kernel/scenario*.py
(scenario.py first, then the others by name; their shared fixtures are in
tests/kernel/rig.py). Each in-guest test is reported here as its own test. Run alone with
``pytest -m kernel tests/test_kernel.py``; needs root, qemu-system-x86 and
apt-get access to Debian's kernel and busybox-static packages, and skips
with the reason otherwise.

Settings from the environment: VORN_KERNEL_CACHE (download and build
folder), VORN_KERNEL_TIMEOUT (seconds the guest may take, default 420),
VORN_KERNEL_ACCEL (QEMU accelerator, default tcg).
"""

from __future__ import annotations

import ast
import os
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from kernel import assets, guest
from kernel.usbip_camera import UsbipServer, UvcCamera

pytestmark = pytest.mark.kernel

HERE = Path(__file__).resolve().parent
SCENARIOS = sorted((HERE / "kernel").glob("scenario*.py"), key=lambda p: (p.name != "scenario.py", p.name))
USBIP_PORT = 3240
DEVINFO_PORT = 443
WEBDRIVER_PORT = 4444  # the host's chromedriver, seen from the guest on FORWARD_ADDR
VIEWER_PORT = 8765  # a viewer in the guest, reached by the host's browser through a host port
CHROMEDRIVER = "/usr/bin/chromedriver"
GUEST_TIMEOUT = float(os.environ.get("VORN_KERNEL_TIMEOUT", "420"))

CAMERAS = [
    {"busid": "1-1", "family": "Talvex", "serial": "AB12CD34", "without": ()},
    {"busid": "1-2", "family": "Petrin", "serial": "EF56GH78", "without": ("hue", "gamma")},
]


def _guest_tests() -> list[str]:
    """ "scenario_x.py::test_name" for every in-guest test function."""
    tests = []
    for path in SCENARIOS:
        tree = ast.parse(path.read_text())
        tests += [f"{path.name}::{n.name}" for n in tree.body
                  if isinstance(n, ast.FunctionDef) and n.name.startswith("test_")]
    return tests


def _skus() -> dict[str, str]:
    from vorn_camera_sdk.cameras.vorn_petrin import VORN_PETRIN
    from vorn_camera_sdk.cameras.vorn_talvex import VORN_TALVEX

    return {"Talvex": VORN_TALVEX.skus[0], "Petrin": VORN_PETRIN.skus[0]}


def _start_devinfo(run_dir: Path, cameras: list[dict]):
    """The shared device-info test server, answering for both cameras."""
    try:
        from harness.devinfo import DeviceInfoServer, facts_payload

        skus = _skus()
        server = DeviceInfoServer()
    except Exception as exc:  # missing modules or trustme: discovery is skipped in the guest
        return None, {"skip": f"{type(exc).__name__}: {exc}"}
    for cam in cameras:
        cam["sku"] = skus[cam["family"]]
        server.set(cam["serial"], facts_payload(cam["serial"], sku=cam["sku"], model_name=f"VORN {cam['family']} Regular"))
    ca_file = run_dir / "devinfo-ca.pem"
    shutil.copyfile(server.ca_file, ca_file)
    return server, {"host": assets.FORWARD_ADDR, "port": DEVINFO_PORT, "local_port": server.port,
                    "base_url": server.base_url, "ca_file": str(ca_file)}


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _start_webdriver():
    """The host's chromedriver (Debian's), for in-guest tests of a page the
    guest serves: the guest drives it through a forwarded port, and the
    browser reaches the guest's viewer through a host port."""
    if not os.path.exists(CHROMEDRIVER) or not shutil.which("chromium"):
        return None, {"skip": "Debian's chromium and chromium-driver are not installed"}
    port = _free_port()
    proc = subprocess.Popen([CHROMEDRIVER, f"--port={port}"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.1)
    page_port = _free_port()
    return proc, {"port": port, "page_port": page_port,
                  "config": {"webdriver": f"http://{assets.FORWARD_ADDR}:{WEBDRIVER_PORT}",
                             "chromium": shutil.which("chromium"), "viewer_port": VIEWER_PORT,
                             "page_base": f"http://127.0.0.1:{page_port}"}}


@pytest.fixture(scope="module")
def guest_run():
    if os.geteuid() != 0:
        pytest.skip("needs root (QEMU shares the root file system with the guest)")
    try:
        guest.qemu_binary()
        image = assets.build_image()
        pkg_parent = guest.package_parent()
    except assets.Unavailable as exc:
        pytest.skip(f"kernel guest unavailable: {exc}")

    assets.CACHE.mkdir(parents=True, exist_ok=True)
    for old in assets.CACHE.glob("run-*"):  # consoles of failed runs, kept a day
        if time.time() - old.stat().st_mtime > 86400:
            shutil.rmtree(old, ignore_errors=True)
    run_dir = Path(tempfile.mkdtemp(prefix="run-", dir=assets.CACHE))
    cameras = [dict(c) for c in CAMERAS]
    usbip = UsbipServer([UvcCamera(c["busid"], c["family"], c["serial"], devnum=i + 2, without=c["without"])
                         for i, c in enumerate(cameras)])
    devinfo, devinfo_config = _start_devinfo(run_dir, cameras)
    forwards = {USBIP_PORT: usbip.port}
    if devinfo is not None:
        forwards[DEVINFO_PORT] = devinfo.port
    webdriver, browser = _start_webdriver()
    hostfwds = {}
    if webdriver is not None:
        forwards[WEBDRIVER_PORT] = browser["port"]
        hostfwds[browser["page_port"]] = VIEWER_PORT
    config = {
        "server": {"host": assets.FORWARD_ADDR, "port": USBIP_PORT},
        "cameras": cameras,
        "devinfo": devinfo_config if devinfo is not None else None,
        "devinfo_skip": devinfo_config.get("skip"),
        "browser": browser.get("config"),
        "browser_skip": browser.get("skip"),
    }
    try:
        run = guest.boot(image, run_dir, forwards=forwards, config=config,
                         pytest_args=["-p", "kernel.rig", *map(str, SCENARIOS)], pythonpath=[pkg_parent, str(HERE)],
                         timeout=GUEST_TIMEOUT, hostfwds=hostfwds)
    finally:
        if webdriver is not None:
            webdriver.terminate()
            webdriver.wait(10)
        usbip.close()
        if devinfo is not None:
            devinfo.close()
    print(f"guest run: {run.seconds:.1f} s, rc={run.rc}, console in {run_dir}/console.log")
    yield run
    if all(r["outcome"] != "failed" for r in run.results) and run.rc == 0:
        shutil.rmtree(run_dir, ignore_errors=True)


def test_guest_ran_the_scenario(guest_run):
    assert not guest_run.timed_out, f"the guest did not finish in {GUEST_TIMEOUT:.0f} s:\n{guest_run.tail()}"
    assert guest_run.rc is not None, f"the guest never reported back:\n{guest_run.tail()}"
    assert guest_run.results, f"no in-guest test reported:\n{guest_run.tail()}"
    assert "@@VORN-INSMOD-FAILED@@" not in guest_run.console, guest_run.tail()


@pytest.mark.parametrize("name", _guest_tests())
def test_in_guest(guest_run, name):
    mine = [r for r in guest_run.results if r["nodeid"].split("[")[0] == name]
    if not mine:
        pytest.fail(f"{name} did not run in the guest (rc={guest_run.rc}):\n{guest_run.tail()}")
    failed = [r for r in mine if r["outcome"] == "failed"]
    if failed:
        pytest.fail("\n\n".join(f"{r['nodeid']} ({r['when']}):\n{r['message']}" for r in failed), pytrace=False)
    if all(r["outcome"] == "skipped" for r in mine):
        pytest.skip(mine[0]["message"])
