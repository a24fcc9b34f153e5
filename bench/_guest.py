"""Running a benchmark inside the QEMU guest of tests/kernel: one boot with
the kernel tests' two USB/IP cameras and device-info server, the in-guest
script run by pytest with the rig plugin, its "@@BENCH@@ {json}" console
lines collected."""

from __future__ import annotations

import json
import shutil
import sys
import tempfile
from pathlib import Path

from _timing import ROOT  # noqa: F401  (puts src/ and tests/ on sys.path)

from kernel import assets, guest  # noqa: E402
from kernel.usbip_camera import UsbipServer, UvcCamera  # noqa: E402
import test_kernel  # noqa: E402

MARK = "@@BENCH@@ "


def run_in_guest(script: Path, *, timeout: float = 900) -> list[dict]:
    """run_in_guest(script: Path, *, timeout: float = 900) -> list[dict]

    Boot the guest, run ``script`` in it and return its measurements. On a
    failure the console's tail is printed and the run folder kept."""
    image = assets.build_image()
    assets.CACHE.mkdir(parents=True, exist_ok=True)
    run_dir = Path(tempfile.mkdtemp(prefix="bench-", dir=assets.CACHE))
    cameras = [dict(c) for c in test_kernel.CAMERAS]
    usbip = UsbipServer([UvcCamera(c["busid"], c["family"], c["serial"], devnum=i + 2, without=c["without"])
                         for i, c in enumerate(cameras)])
    devinfo, devinfo_config = test_kernel._start_devinfo(run_dir, cameras)
    if devinfo is None:
        usbip.close()
        sys.exit(f"no device-info server: {devinfo_config['skip']}")
    config = {"server": {"host": assets.FORWARD_ADDR, "port": test_kernel.USBIP_PORT}, "cameras": cameras,
              "devinfo": devinfo_config, "devinfo_skip": None}
    forwards = {test_kernel.USBIP_PORT: usbip.port, test_kernel.DEVINFO_PORT: devinfo.port}
    try:
        run = guest.boot(image, run_dir, forwards=forwards, config=config,
                         pytest_args=["-p", "kernel.rig", "-s", str(script)],
                         pythonpath=[guest.package_parent(), str(ROOT / "tests"), str(ROOT / "bench")],
                         timeout=timeout)
    finally:
        usbip.close()
        devinfo.close()
    results = [json.loads(line[line.index(MARK) + len(MARK):]) for line in run.console.splitlines() if MARK in line]
    failed = [r for r in run.results if r["outcome"] == "failed"]
    for r in failed:
        print(r["message"], file=sys.stderr)
    for r in run.results:
        if r["outcome"] == "skipped":
            print(f"skipped {r['nodeid']}: {r['message']}", file=sys.stderr)
    if failed or not results:
        print(run.tail(80), file=sys.stderr)
        print(f"console kept in {run_dir}", file=sys.stderr)
    else:
        shutil.rmtree(run_dir, ignore_errors=True)
    return results
