"""``vorn-camera list``: the attached VORN cameras, optionally resolved
through the device-info service, or watched as they come and go."""

from __future__ import annotations

import argparse
import json

from .core import EXIT_NOTHING, EXIT_OK, UsageError, add_device_info_url, err, print_json, use_device_info_url


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``list`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("list", help="list attached VORN cameras")
    sp.add_argument("--resolve", action="store_true", help="look each camera up in the device-info catalog")
    sp.add_argument("--json", action="store_true", help="machine-readable output")
    sp.add_argument(
        "--watch", action="store_true", help="then one line per camera added or removed, until Ctrl-C"
    )
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
    if args.watch:
        if args.resolve:
            raise UsageError("--watch lists device nodes and serials only; it does not combine with --resolve")
        return watch(args.json)
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


def watch(as_json: bool) -> int:
    """watch(as_json: bool) -> int

    The cameras present, then one line per camera added or removed as it
    happens, until Ctrl-C or SIGTERM (exit code 0); on a terminal, a line
    on stderr says it is watching. A line reads ``KIND  OS_ID  NAME
    serial=SERIAL``; with ``as_json`` it is a JSON object with the keys
    ``kind`` ("present", "added" or "removed"), ``os_id``, ``name`` and
    ``serial``.
    """
    import signal
    import sys

    from ..platform import watch_cameras

    def show(kind: str, os_id: str, name: str, serial: str) -> None:
        if as_json:
            line = json.dumps({"kind": kind, "os_id": os_id, "name": name, "serial": serial})
        else:
            line = f"{kind:7}  {os_id}  {name}  serial={serial}"
        print(line, flush=True)

    previous = None
    try:
        with watch_cameras() as watcher:
            # SIGTERM ends the watch as Ctrl-C does: the read in progress ends.
            previous = signal.signal(signal.SIGTERM, lambda *_: watcher.close())
            for d in watcher.present:
                show("present", d.os_id, d.name, d.serial)
            if sys.stdout.isatty():
                print("vorn-camera: watching for VORN cameras coming and going; Ctrl-C ends", file=sys.stderr, flush=True)
            for event in watcher:
                show(event.kind, event.os_id, event.name, event.serial)
    except KeyboardInterrupt:
        pass
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    return EXIT_OK
