"""Plug events and reconnection on the real uvcvideo driver, inside the QEMU
guest of tests/kernel (one boot, the same cameras).

  event latency    the kernel's uevent (heard on a raw uevent socket) to the
                   watcher's CameraEvent, for "added" and "removed"; target 50 ms.
  reconnect        the camera re-appearing on the bus (USB/IP import and
                   attach) to the first frame of a CameraSource(reconnect=...)
                   after the gap, beside the driver's own enumeration time
                   (attach to the capture node's uevent); target: at most
                   1 s beyond the enumeration.

Run by hand, as root:  python3 bench/bench_plug_events.py
(needs what the kernel tests need; VORN_KERNEL_CACHE as there). The guest has
one CPU under TCG, so absolute times are those of an emulated machine.
"""

from __future__ import annotations

import json
import sys
import tempfile
from pathlib import Path

from _timing import HERE, ROOT  # noqa: F401  (puts src/ and tests/ on sys.path)

from kernel import assets, guest  # noqa: E402
from kernel.usbip_camera import UsbipServer, UvcCamera  # noqa: E402

sys.path.insert(0, str(ROOT / "tests"))
from test_kernel import CAMERAS, DEVINFO_PORT, USBIP_PORT, _start_devinfo  # noqa: E402


def main() -> None:
    image = assets.build_image()
    assets.CACHE.mkdir(parents=True, exist_ok=True)
    run_dir = Path(tempfile.mkdtemp(prefix="bench-", dir=assets.CACHE))
    cameras = [dict(c) for c in CAMERAS]
    server = UsbipServer([UvcCamera(c["busid"], c["family"], c["serial"], devnum=i + 2, without=c["without"])
                          for i, c in enumerate(cameras)])
    devinfo, devinfo_config = _start_devinfo(run_dir, cameras)  # the source's record comes from discovery
    config = {"server": {"host": assets.FORWARD_ADDR, "port": USBIP_PORT}, "cameras": cameras,
              "devinfo": devinfo_config if devinfo is not None else None, "devinfo_skip": devinfo_config.get("skip")}
    forwards = {USBIP_PORT: server.port}
    if devinfo is not None:
        forwards[DEVINFO_PORT] = devinfo.port
    try:
        run = guest.boot(image, run_dir, forwards=forwards, config=config,
                         pytest_args=["-p", "kernel.rig", str(HERE / "guest_plug_events.py")],
                         pythonpath=[guest.package_parent(), str(ROOT / "tests")], timeout=600)
    finally:
        server.close()
        if devinfo is not None:
            devinfo.close()
    lines = [json.loads(line.split("@@VORN-BENCH@@ ", 1)[1]) for line in run.console.splitlines()
             if "@@VORN-BENCH@@ " in line]
    failed = [r for r in run.results if r["outcome"] == "failed"]
    if failed or not lines:
        for r in failed:
            print(r["message"])
        print(run.tail(80))
        raise SystemExit(f"the guest bench failed; console in {run_dir}/console.log")
    for r in lines:
        extra = {k: v for k, v in r.items() if k not in ("name", "n", "median_ms", "max_ms")}
        print(f"{r['name']:40} median {r['median_ms']:8.2f} ms   max {r['max_ms']:8.2f} ms   (n={r['n']}) {extra or ''}")
        if r["name"].startswith("event latency"):
            print(f"{'':40} median / 50 ms target = {r['median_ms'] / 50:.2f}")
        if r["name"] == "reconnect beyond enumeration":
            print(f"{'':40} median / 1 s target = {r['median_ms'] / 1000:.2f}, max / 1 s = {r['max_ms'] / 1000:.2f}")
    skipped = [r for r in run.results if r["outcome"] == "skipped"]
    for r in skipped:
        print(f"skipped {r['nodeid']}: {r['message']}")


if __name__ == "__main__":
    main()
