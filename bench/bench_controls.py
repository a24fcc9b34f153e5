"""Per-call cost of a control handle's get/set.

Compares, in one run, `_LinuxCameraControls.get`/`set` with
  (a) the same operation written in Python with fcntl.ioctl + struct, and
  (b) the bare system call in a C++ loop (bench/ioctl_floor.cpp), the floor.
First on /dev/null, where every control request fails at once with ENOTTY
(get returns None after a real system call), then, when this machine can host
the emulated devices (root, FUSE), on an emulated node that answers.

Run by hand:  python3 bench/bench_controls.py   (after building the linux module)
"""

from __future__ import annotations

import fcntl
import struct

from _timing import build_floor, floor_ns, fmt_ns, per_call_ns

import harness  # noqa: E402  (tests/ is on sys.path now)

# The mount namespace must be unshared while the process has a single thread.
try:
    harness.isolate()
    _isolated = None
except harness.Unavailable as exc:
    _isolated = str(exc)

from vorn_camera_sdk.platform import linux  # noqa: E402


class PyControls:
    """The yardstick: the control handle written with fcntl.ioctl and struct."""

    def __init__(self, fd: int) -> None:
        self._fd = fd

    def get(self, name):
        cid = linux._CANONICAL_TO_V4L2_ID.get(name)
        if cid is None:
            return None
        buf = bytearray(8)
        struct.pack_into("<I", buf, 0, cid)
        try:
            fcntl.ioctl(self._fd, linux.VIDIOC_G_CTRL, buf)
        except OSError:
            return None
        return float(struct.unpack_from("<i", buf, 4)[0])

    def set(self, name, value):
        cid = linux._CANONICAL_TO_V4L2_ID.get(name)
        if cid is None:
            return False
        buf = bytearray(8)
        struct.pack_into("<Ii", buf, 0, cid, int(value))
        try:
            fcntl.ioctl(self._fd, linux.VIDIOC_S_CTRL, buf)
        except OSError:
            return False
        return True


def measure(title: str, path: str, calls: int, floor_bin) -> None:
    ours = linux.LinuxBackend().open_controls(path)
    theirs = PyControls(ours._fd)
    print(f"\n{title} ({path}, best of 15 x {calls} calls)")
    print(f"  {'':4} {'C++ handle':>12} {'Python':>12} {'bare ioctl':>12}   vs bare   Python/ours")
    try:
        for op, args in (("get", ("gain",)), ("set", ("gain", 5.7))):
            t_ours = per_call_ns(getattr(ours, op), *args, calls=calls)
            t_py = per_call_ns(getattr(theirs, op), *args, calls=calls)
            t_floor = floor_ns(floor_bin, path, op, calls)
            print(f"  {op:4} {fmt_ns(t_ours):>12} {fmt_ns(t_py):>12} {fmt_ns(t_floor):>12}"
                  f"   {t_ours / t_floor:6.2f}x   {t_py / t_ours:6.2f}x")
    finally:
        ours.close()


def main() -> None:
    floor_bin = build_floor()
    measure("Fast path: the request fails at once with ENOTTY", "/dev/null", 300_000, floor_bin)
    if _isolated is not None:
        print(f"\nemulated device skipped: {_isolated}")
        return
    try:
        emu = harness.Emulator.start()
    except harness.Unavailable as exc:
        print(f"\nemulated device skipped: {exc}")
        return
    try:
        emu.reset()
        node = emu.add_node(controls={"gain": 5})
        measure("Emulated device: a FUSE round trip per request", node.path, 3_000, floor_bin)
    finally:
        emu.stop()


if __name__ == "__main__":
    main()
