"""``vorn-camera list``: the attached VORN cameras, optionally resolved
through the device-info service."""

from __future__ import annotations

import argparse

from .core import EXIT_NOTHING, EXIT_OK, add_device_info_url, err, print_json, use_device_info_url


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``list`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("list", help="list attached VORN cameras")
    sp.add_argument("--resolve", action="store_true", help="look each camera up in the device-info catalog")
    sp.add_argument("--json", action="store_true", help="machine-readable output")
    add_device_info_url(sp)
    return sp


def resolved_row(record) -> dict:
    """resolved_row(record: VornCameraFacts) -> dict

    One resolved camera as ``list --resolve --json`` shows it: the keys of
    ``list --json`` that apply (``os_id``, ``serial``), the SKU, model name
    and calibration summary, and under ``facts`` the camera facts record as
    ``vorn-camera facts`` writes it.
    """
    cal = record.base_calibration
    return {
        "os_id": record.os_id,
        "serial": record.serial,
        "sku": record.sku,
        "model_name": record.model_name,
        "baseline_m": cal.baseline,
        "image_size": [cal.left.width, cal.left.height],
        "facts": record.to_dict(),
    }


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Print the attached cameras; exit code 1 when there are none.
    """
    if args.resolve:
        use_device_info_url(args.device_info_url)
        from ..cameras import list_connected_vorn_cameras

        rows = [resolved_row(r) for r in list_connected_vorn_cameras()]
        if args.json:
            print_json(rows)
        else:
            for row in rows:
                w, h = row["image_size"]
                print(
                    f"{row['os_id']}  {row['serial']}  {row['sku']}  {row['model_name']}  "
                    f"baseline={row['baseline_m'] * 1000:.1f} mm  image={w}x{h}"
                )
        if not rows:
            err("no VORN camera resolved; run 'vorn-camera doctor' to see why each video device is or isn't listed.")
            return EXIT_NOTHING
        return EXIT_OK

    from ..platform import current_backend

    devices = current_backend().list_cameras()
    if args.json:
        print_json([{"os_id": d.os_id, "name": d.name, "serial": d.serial} for d in devices])
    else:
        for d in devices:
            print(f"{d.os_id}  {d.name}  serial={d.serial}")
    if not devices:
        err("no VORN camera found; run 'vorn-camera doctor' to see why each video device is or isn't listed.")
        return EXIT_NOTHING
    return EXIT_OK
