"""Time per `LinuxBackend.list_cameras()` call with 1, 8 and 32 emulated cameras.

The yardstick, measured in the same run on the same emulated world, is the same
walk written in Python with glob, os.open, fcntl.ioctl and pathlib. Needs what
the emulated devices need (root, FUSE, g++ and libfuse3-dev).

Run by hand:  python3 bench/bench_list_cameras.py   (after building the linux module)
"""

from __future__ import annotations

import fcntl
import glob
import os
import struct
from pathlib import Path

from _timing import fmt_ns, per_call_ns

import harness  # noqa: E402  (tests/ is on sys.path now)

try:
    harness.isolate()  # before any thread starts
except harness.Unavailable as exc:
    raise SystemExit(f"emulated devices unavailable: {exc}")

from vorn_camera_sdk.platform.base import VideoDeviceInfo, parse_vorn_iproduct  # noqa: E402
from vorn_camera_sdk.platform.linux import VIDIOC_QUERYCAP, LinuxBackend  # noqa: E402


def _py_iproduct(dev_path: str):
    base = Path("/sys/class/video4linux") / Path(dev_path).name / "device"
    if not base.exists():
        return None
    node = base.resolve() if base.is_symlink() else base
    for _ in range(8):
        if (node / "idVendor").is_file():
            product = node / "product"
            if not product.is_file():
                return None
            try:
                return product.read_text().strip()
            except (OSError, ValueError):
                return None
        if node.parent == node:
            return None
        node = node.parent
    return None


def py_list_cameras():
    """The yardstick: enumeration in plain Python."""
    found = []
    for path in sorted(glob.glob("/dev/video*")):
        try:
            fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        except OSError:
            continue
        try:
            buf = bytearray(104)
            fcntl.ioctl(fd, VIDIOC_QUERYCAP, buf)
            device_caps, = struct.unpack_from("<I", buf, 88)
            caps = device_caps or struct.unpack_from("<I", buf, 84)[0]
        except OSError:
            os.close(fd)
            continue
        try:
            os.close(fd)
        except OSError:
            continue
        if not caps & 1:
            continue
        iproduct = _py_iproduct(path)
        parsed = None if iproduct is None else parse_vorn_iproduct(iproduct)
        if parsed is None:
            continue
        name, serial = parsed
        found.append(VideoDeviceInfo(os_id=path, name=name, serial=serial))
    return found


def main() -> None:
    backend = LinuxBackend()
    with harness.Emulator.start() as emu:
        print("list_cameras() per call (best of 15 runs); each camera has a capture and a metadata node")
        print(f"  {'cameras':>7} {'nodes':>6} {'C++':>12} {'Python':>12}   Python/C++")
        for count in (1, 8, 32):
            emu.reset()
            for i in range(count):
                emu.add_camera(f"VORN Talvex CAM{i:05d}", 2 * i, metadata=True)
            expected = backend.list_cameras()
            assert expected == py_list_cameras() and len(expected) == count
            calls = max(5, 200 // count)
            t_ours = per_call_ns(backend.list_cameras, calls=calls)
            t_py = per_call_ns(py_list_cameras, calls=calls)
            print(f"  {count:>7} {2 * count:>6} {fmt_ns(t_ours):>12} {fmt_ns(t_py):>12}   {t_py / t_ours:8.2f}x")


if __name__ == "__main__":
    main()
