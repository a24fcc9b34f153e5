"""The recorder's and the viewer's CPU share and the viewer's added latency on
the real uvcvideo driver, at MJPG 1280x360 30 fps, in one QEMU guest boot
(the guest has one emulated CPU; its shares are of that CPU).

Run by hand, as root, from the repository with the package built in place:
    VORN_KERNEL_CACHE=/work/kernel-cache PYTHONPATH=src python3 bench/bench_record_guest.py
The in-guest side is bench/guest_record.py.
"""

from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from _guest import run_in_guest  # noqa: E402


def main() -> None:
    for result in run_in_guest(ROOT / "bench" / "guest_record.py"):
        print(result)


if __name__ == "__main__":
    main()
