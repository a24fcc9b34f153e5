"""The recorder's and the viewer's CPU share and the viewer's added latency on
the real uvcvideo driver, at MJPG 1280x360 30 fps, in one QEMU guest boot
(the guest has one emulated CPU; its shares are of that CPU).

Run by hand, as root, from the repository with the package built in place:
    VORN_KERNEL_CACHE=/work/kernel-cache PYTHONPATH=src python3 bench/bench_record_guest.py
The in-guest side is bench/guest_record.py.
"""

from __future__ import annotations

import json
import shutil
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from kernel import assets, guest  # noqa: E402
from kernel.usbip_camera import UsbipServer, UvcCamera  # noqa: E402

import test_kernel  # noqa: E402

MARK = "@@BENCH@@ "


def main() -> None:
    image = assets.build_image()
    assets.CACHE.mkdir(parents=True, exist_ok=True)
    run_dir = Path(tempfile.mkdtemp(prefix="bench-", dir=assets.CACHE))
    cameras = [dict(c) for c in test_kernel.CAMERAS]
    usbip = UsbipServer([UvcCamera(c["busid"], c["family"], c["serial"], devnum=i + 2, without=c["without"])
                         for i, c in enumerate(cameras)])
    devinfo, devinfo_config = test_kernel._start_devinfo(run_dir, cameras)
    if devinfo is None:
        sys.exit(f"no device-info server: {devinfo_config['skip']}")
    config = {"server": {"host": assets.FORWARD_ADDR, "port": test_kernel.USBIP_PORT}, "cameras": cameras,
              "devinfo": devinfo_config, "devinfo_skip": None}
    forwards = {test_kernel.USBIP_PORT: usbip.port, test_kernel.DEVINFO_PORT: devinfo.port}
    try:
        run = guest.boot(image, run_dir, forwards=forwards, config=config,
                         pytest_args=["-p", "kernel.rig", "-s", str(ROOT / "bench" / "guest_record.py")],
                         pythonpath=[guest.package_parent(), str(ROOT / "tests")], timeout=900)
    finally:
        usbip.close()
        devinfo.close()
    results = [json.loads(line[line.index(MARK) + len(MARK):]) for line in run.console.splitlines() if MARK in line]
    for result in results:
        print(result)
    if not results or any(r["outcome"] == "failed" for r in run.results):
        print(run.tail(), file=sys.stderr)
        print(f"console kept in {run_dir}", file=sys.stderr)
    else:
        shutil.rmtree(run_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
