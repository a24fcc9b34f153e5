"""Live frames on the real uvcvideo driver: the capture engine against FFmpeg's
v4l2 demuxer and OpenCV's V4L2 backend, in one QEMU guest boot.

Run by hand, as root, from the repository with the package built in place:

    VORN_KERNEL_CACHE=/work/kernel-cache PYTHONPATH=src python3 bench/bench_capture.py

Needs what the kernel tests need (qemu-system-x86, the cached guest kernel)
plus PyAV and, for the OpenCV rows, opencv-python-headless. The in-guest side
is bench/guest_capture.py; this prints its measurements and the ratios.
"""

from __future__ import annotations

import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from _guest import run_in_guest  # noqa: E402


def main() -> None:
    script = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "bench" / "guest_capture.py"
    results = run_in_guest(script)
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
