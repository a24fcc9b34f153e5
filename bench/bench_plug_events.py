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

from _guest import run_in_guest
from _timing import HERE


def main() -> None:
    lines = run_in_guest(HERE / "guest_plug_events.py", timeout=600)
    if not lines:
        raise SystemExit("the guest bench failed")
    for r in lines:
        extra = {k: v for k, v in r.items() if k not in ("name", "n", "median_ms", "max_ms")}
        print(f"{r['name']:40} median {r['median_ms']:8.2f} ms   max {r['max_ms']:8.2f} ms   (n={r['n']}) {extra or ''}")
        if r["name"].startswith("event latency"):
            print(f"{'':40} median / 50 ms target = {r['median_ms'] / 50:.2f}")
        if r["name"] == "reconnect beyond enumeration":
            print(f"{'':40} median / 1 s target = {r['median_ms'] / 1000:.2f}, max / 1 s = {r['max_ms'] / 1000:.2f}")


if __name__ == "__main__":
    main()
