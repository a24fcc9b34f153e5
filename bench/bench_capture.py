"""Live frames on the real uvcvideo driver: the capture engine against FFmpeg's
v4l2 demuxer and OpenCV's V4L2 backend, in one QEMU guest boot.

Run by hand, as root, from the repository with the package built in place:

    VORN_KERNEL_CACHE=/work/kernel-cache PYTHONPATH=src python3 bench/bench_capture.py

Needs what the kernel tests need (qemu-system-x86, the cached guest kernel)
plus PyAV and, for the OpenCV rows, opencv-python-headless. The in-guest side
is bench/guest_capture.py; this prints its measurements and the ratios.
"""

from __future__ import annotations

import json
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from kernel import assets, guest  # noqa: E402
from kernel.usbip_camera import UsbipServer, UvcCamera  # noqa: E402
import test_kernel  # noqa: E402

MARK = "@@BENCH@@ "


def run_guest(script: Path) -> list[dict]:
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
                         pytest_args=["-p", "kernel.rig", "-s", str(script)],
                         pythonpath=[guest.package_parent(), str(ROOT / "tests")], timeout=900)
    finally:
        usbip.close()
        devinfo.close()
    results = [json.loads(line[line.index(MARK) + len(MARK):]) for line in run.console.splitlines() if MARK in line]
    failed = [r for r in run.results if r["outcome"] == "failed"]
    if failed or not results:
        print(run.tail(), file=sys.stderr)
        print(f"console kept in {run_dir}", file=sys.stderr)
    else:
        shutil.rmtree(run_dir, ignore_errors=True)
    return results


def main() -> None:
    script = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "bench" / "guest_capture.py"
    results = run_guest(script)
    for r in (r for r in results if r["name"] not in ("staleness", "cpu")):
        print(r)
    print(f"{'staleness (consumer sleeping 2 s)':48} {'frames behind':>16} {'age s':>20} {'read s':>18}")
    for r in (r for r in results if r["name"] == "staleness"):
        ages = " ".join("-" if a is None else f"{a:.2f}" for a in r["age_s"])
        reads = " ".join(f"{a:.3f}" for a in r["read_s"])
        print(f"  {r['path']:46} {str(r['frames_behind']):>16} {ages:>20} {reads:>18}")
    print()
    cpu: dict = {}
    for r in (r for r in results if r["name"] == "cpu"):
        cpu.setdefault((r["case"], r["mode"]), []).append(r)
    for (case, mode), runs in cpu.items():
        per = [r["cpu_ms_per_used_frame"] for r in runs]
        fps = [r["used_fps"] for r in runs]
        print(f"  {mode:22} {case:58} {statistics.median(per):6.1f} ms CPU/frame (rounds: "
              f"{', '.join(f'{p:.1f}' for p in per)}), {statistics.median(fps):4.1f} fps used")
    print()
    engine10, fresh, stale = ("10 Hz: engine latest", "10 Hz: ffmpeg demuxer, every frame decoded, every 3rd used",
                              "10 Hz: ffmpeg demuxer, sleeping (stale frames)")
    engine_all, demux_all = "every frame: engine all", "every frame: ffmpeg demuxer"
    for mode in sorted({m for _, m in cpu}):
        def ratios(slow, fast):
            pairs = zip(cpu.get((slow, mode), []), cpu.get((fast, mode), []))
            values = [a["cpu_ms_per_used_frame"] / b["cpu_ms_per_used_frame"] for a, b in pairs]
            return f"{statistics.median(values):.2f}x (rounds {', '.join(f'{v:.2f}' for v in values)})" if values else "-"
        print(f"{mode}:")
        print(f"  10 Hz consumer, CPU per delivered frame, demuxer decoding every frame / engine latest: {ratios(fresh, engine10)}")
        print(f"  10 Hz consumer, CPU per delivered frame, demuxer sleeping (stale) / engine latest:     {ratios(stale, engine10)}")
        print(f"  keeping up, CPU per frame, demuxer / engine all:                                        {ratios(demux_all, engine_all)}")

if __name__ == "__main__":
    main()
