"""``vorn-camera facts``: the camera facts record of an attached camera as
JSON, the file ``resolve_source_arg("FILE.json")`` and offline work read."""

from __future__ import annotations

import argparse
import json
from pathlib import Path

from .core import EXIT_NOTHING, EXIT_OK, add_device_info_url, err, use_device_info_url


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``facts`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("facts", help="an attached camera's facts (calibration included) as JSON")
    sp.add_argument("serial", nargs="?", help="the camera's serial (default: the first attached camera)")
    sp.add_argument("-o", "--output", metavar="FILE", help="write to FILE (e.g. AB12CD34.json) instead of stdout")
    add_device_info_url(sp)
    return sp


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Look the camera up and write its record; exit code 1 when no attached
    camera has that serial or the service does not know it.
    """
    use_device_info_url(args.device_info_url)
    from ..cameras import get_connected_vorn_camera_by_serial, list_connected_vorn_cameras

    if args.serial is None:
        records = list_connected_vorn_cameras()
        record = records[0] if records else None
    else:
        record = get_connected_vorn_camera_by_serial(args.serial)
    if record is None:
        which = "VORN camera" if args.serial is None else f"VORN camera with serial {args.serial!r}"
        err(f"no attached {which} could be resolved; run 'vorn-camera doctor' to see why.")
        return EXIT_NOTHING
    text = json.dumps(record.to_dict(), indent=2) + "\n"
    if args.output:
        Path(args.output).write_text(text)
    else:
        print(text, end="")
    return EXIT_OK
