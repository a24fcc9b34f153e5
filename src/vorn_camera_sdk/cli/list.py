"""``vorn-camera list``: the attached VORN cameras, optionally resolved
through the device-info service."""

from __future__ import annotations

import argparse
import json

from .core import EXIT_NOTHING, EXIT_OK, err, use_device_info_url


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``list`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("list", help="list attached VORN cameras")
    sp.add_argument("--resolve", action="store_true", help="look each camera up in the device-info catalog")
    sp.add_argument("--json", action="store_true", help="machine-readable output")
    sp.add_argument("--device-info-url", metavar="URL", help="device-info endpoint base URL (for staging)")
    return sp


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Print the attached cameras; exit code 1 when there are none.
    """
    from ..platform import current_backend

    if args.resolve:
        use_device_info_url(args.device_info_url)
        from ..cameras import list_connected_vorn_cameras

        records = list_connected_vorn_cameras()
        rows = []
        for r in records:
            cal = r.base_calibration
            rows.append(
                {
                    "os_id": r.os_id,
                    **r.to_dict(),
                    "baseline_m": cal.baseline,
                    "image_size": [cal.left.width, cal.left.height],
                }
            )
        if args.json:
            print(json.dumps(rows, indent=2))
        else:
            for row in rows:
                w, h = row["image_size"]
                print(
                    f"{row['os_id']}  {row['serial_number']}  {row['sku']}  {row['model_name']!s}  "
                    f"baseline={row['baseline_m'] * 1000:.1f} mm  image={w}x{h}"
                )
        if not rows:
            err("no VORN camera resolved; run 'vorn-camera doctor' to see why each video device is or isn't listed.")
            return EXIT_NOTHING
        return EXIT_OK

    devices = current_backend().list_cameras()
    if args.json:
        print(json.dumps([{"os_id": d.os_id, "name": d.name, "serial": d.serial} for d in devices], indent=2))
    else:
        for d in devices:
            print(f"{d.os_id}  {d.name}  serial={d.serial}")
    if not devices:
        err("no VORN camera found; run 'vorn-camera doctor' to see why each video device is or isn't listed.")
        return EXIT_NOTHING
    return EXIT_OK
