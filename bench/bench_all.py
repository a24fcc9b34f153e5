"""Every native call next to its plain-Python yardstick, in one run.

For each call: the median (of 5 rounds) of the time per call of the native
module and of the same call written in plain Python (yardsticks.py,
py_calibration.py, py_catalog/), and the ratio Python / native: above 1 the
native call is faster. The control rows use /dev/null, where every control
request fails at once with ENOTTY, and also show the least a native control
request can cost (nb_ioctl_floor.cpp, built on first use).

Run by hand:  python3 bench/bench_all.py   (after building the modules)
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time

from _timing import HERE, ROOT, build_nb_floor, fmt_ns, median_ns

sys.path.insert(0, str(HERE))

import py_calibration  # noqa: E402
import yardsticks  # noqa: E402
from harness.devinfo import calibration_block, facts_payload  # noqa: E402
from vorn_camera_sdk.calibration import Calibration  # noqa: E402
from vorn_camera_sdk.cameras import VornCameraFacts  # noqa: E402
from vorn_camera_sdk.cameras.camera_spec import spec_by_sku  # noqa: E402
from vorn_camera_sdk.cameras.vorn_talvex import VORN_TALVEX  # noqa: E402
from vorn_camera_sdk.platform import linux  # noqa: E402
from vorn_camera_sdk.sources.base import FrameSource  # noqa: E402
from vorn_camera_sdk.sources.factory import resolve_source_arg  # noqa: E402

ROUND_NS = 40_000_000  # about 40 ms per round and side


def calls_for(func, args) -> int:
    start = time.perf_counter_ns()
    for _ in range(200):
        func(*args)
    per_call = max((time.perf_counter_ns() - start) / 200, 20)
    return max(200, int(ROUND_NS / per_call))


def row(label: str, ours, ours_args, theirs, theirs_args, same=lambda a, b: a == b) -> tuple[str, float, float]:
    assert same(ours(*ours_args), theirs(*theirs_args)), label
    calls = calls_for(theirs, theirs_args)
    # Rounds alternate between the two sides, so a change in the machine's load hits both alike.
    ours_ns, theirs_ns = [], []
    for _ in range(5):
        ours_ns.append(median_ns(ours, *ours_args, calls=calls, rounds=1))
        theirs_ns.append(median_ns(theirs, *theirs_args, calls=calls, rounds=1))
    return label, statistics.median(ours_ns), statistics.median(theirs_ns)


def same_dict(a, b) -> bool:
    return a.to_dict() == b.to_dict()


def first_import_ns(package: str, before: str = "vorn_camera_sdk.cameras.camera_spec") -> float:
    """Time of importing the three family modules of `package` in a fresh interpreter that has imported `before`."""
    code = (f"import sys, time; sys.path[:0] = [{str(ROOT / 'src')!r}, {str(HERE)!r}]\n"
            f"import {before}\n"
            "start = time.perf_counter_ns()\n"
            f"import {package}.vorn_talvex, {package}.vorn_petrin, {package}.vorn_sorvane\n"
            "print(time.perf_counter_ns() - start)\n")
    run = lambda: float(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,  # noqa: E731
                                       text=True).stdout)
    run()  # byte-compiles the Python side once
    return statistics.median(run() for _ in range(5))


def main() -> None:
    floor_dir = build_nb_floor()
    sys.path.insert(0, str(floor_dir))
    import nb_ioctl_floor

    mode = VORN_TALVEX.default_mode
    payload = facts_payload("AB12CD34")
    ours_rec = VornCameraFacts.from_dict(payload, os_id="/dev/video0")
    py_rec = yardsticks.PyFacts.from_dict(payload, os_id="/dev/video0")
    block = calibration_block()
    ours_cal, py_cal = Calibration.from_dict(block), py_calibration.Calibration.from_dict(block)
    source = FrameSource()
    sku = VORN_TALVEX.skus[-1]
    backend, py_backend = linux.LinuxBackend(), yardsticks.PyBackend()
    controls = backend.open_controls("/dev/null")
    py_controls = yardsticks.PyControls(controls._fd)
    exposure = linux._CANONICAL_TO_V4L2_ID["exposure"]

    rows = [
        row('linux._IOC(3, "V", 27, 8)', linux._IOC, (3, "V", 27, 8), yardsticks._IOC, (3, "V", 27, 8)),
        row("LinuxBackend().av_open_args(os_id, mode)", backend.av_open_args, ("/dev/video0", mode),
            py_backend.av_open_args, ("/dev/video0", mode)),
        row("VornCameraFacts.to_dict()", ours_rec.to_dict, (), py_rec.to_dict, ()),
        row("resolve_source_arg(record)", resolve_source_arg, (ours_rec,), yardsticks.resolve_source_arg,
            (ours_rec,), lambda a, b: (a.record, a.mode) == (b.record, b.mode)),
        row("resolve_source_arg(frame_source)", resolve_source_arg, (source,), yardsticks.resolve_source_arg,
            (source,)),
        row("VornCameraFacts.from_dict(payload)", lambda: VornCameraFacts.from_dict(payload, os_id="/dev/video0"),
            (), lambda: yardsticks.PyFacts.from_dict(payload, os_id="/dev/video0"), (), same_dict),
        row("Calibration.from_dict(block)", Calibration.from_dict, (block,), py_calibration.Calibration.from_dict,
            (block,), same_dict),
        row("Calibration.to_dict()", ours_cal.to_dict, (), py_cal.to_dict, ()),
        row('controls.get("focus") (name not in the table)', controls.get, ("focus",), py_controls.get,
            ("focus",)),
        row('controls.get("exposure") refused (ENOTTY)', controls.get, ("exposure",), py_controls.get,
            ("exposure",)),
        row('controls.set("exposure", 312.9) refused (ENOTTY)', controls.set, ("exposure", 312.9),
            py_controls.set, ("exposure", 312.9)),
        row("spec_by_sku(sku)", spec_by_sku, (sku,), yardsticks.py_spec_by_sku, (sku,)),
    ]
    floor = median_ns(nb_ioctl_floor.g_ctrl, controls._fd, exposure, calls=calls_for(nb_ioctl_floor.g_ctrl,
                                                                                         (controls._fd, exposure)))
    refused_get = rows[9][1]
    controls.close()
    rows.append(("first import of the three catalog modules", first_import_ns("vorn_camera_sdk.cameras"),
                 first_import_ns("py_catalog")))
    # The first C++ extension module of a process also loads the C++ runtime
    # (libstdc++, about a millisecond); here another module has loaded it.
    loaded = "vorn_camera_sdk.cameras.camera_spec, vorn_camera_sdk.sources.factory"
    rows.append(("first import of the three catalog modules, C++ runtime loaded", first_import_ns("vorn_camera_sdk.cameras", loaded),
                 first_import_ns("py_catalog", loaded)))

    print(f"| call | ours | plain Python | ratio |\n| --- | --- | --- | --- |")
    for label, ours, theirs in rows:
        print(f"| `{label}` | {fmt_ns(ours).strip()} | {fmt_ns(theirs).strip()} | {theirs / ours:.2f} |")
    print(f"\nminimal nanobind get (descriptor, id; GIL released): {fmt_ns(floor).strip()}; "
          f"controls.get refused / minimal = {refused_get / floor:.2f}")
    print(f"(median of 5 rounds, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
