"""The ``vorn-camera`` command-line tool: a thin layer over the public API.

    vorn-camera list [--resolve] [--json] [--device-info-url URL]
    vorn-camera catalog [SKU]
    vorn-camera controls DEVICE [NAME[=VALUE] ...]
    vorn-camera doctor [--device-info-url URL]

Exit codes: 0 success, 1 nothing found or an operation refused, 2 usage error.
"""

from __future__ import annotations

import argparse
import glob
import grp
import json
import os
import sys
import urllib.error
import urllib.parse
import urllib.request
from typing import Optional, Sequence

EXIT_OK, EXIT_NOTHING, EXIT_USAGE = 0, 1, 2

_FAMILIES = ("talvex", "petrin", "sorvane")


class _UsageError(Exception):
    pass


def _err(message: str) -> None:
    print(f"vorn-camera: {message}", file=sys.stderr)


def _family_specs() -> list[tuple[str, object]]:
    """[(family word, CameraSpec)] in catalog order."""
    import importlib

    out = []
    for word in _FAMILIES:
        mod = importlib.import_module(f"vorn_camera_sdk.cameras.vorn_{word}")
        out.append((word.capitalize(), getattr(mod, f"VORN_{word.upper()}")))
    return out


def _spec_for_product(product: str):
    """The family spec named by a product string such as "VORN Talvex"."""
    words = product.split(" ")
    family = words[1].lower() if len(words) > 1 else ""
    for word, spec in _family_specs():
        if word.lower() == family:
            return spec
    return None


def _use_device_info_url(url: Optional[str]) -> None:
    if url:
        from .cameras import catalog_client

        catalog_client._CAMERA_FACTS_URL = url


# ---------------------------------------------------------------- list


def _cmd_list(args: argparse.Namespace) -> int:
    from .platform import current_backend

    if args.resolve:
        _use_device_info_url(args.device_info_url)
        from .cameras import list_connected_vorn_cameras

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
            _err("no VORN camera resolved; run 'vorn-camera doctor' to see why each video device is or isn't listed.")
            return EXIT_NOTHING
        return EXIT_OK

    devices = current_backend().list_cameras()
    if args.json:
        print(json.dumps([{"os_id": d.os_id, "name": d.name, "serial": d.serial} for d in devices], indent=2))
    else:
        for d in devices:
            print(f"{d.os_id}  {d.name}  serial={d.serial}")
    if not devices:
        _err("no VORN camera found; run 'vorn-camera doctor' to see why each video device is or isn't listed.")
        return EXIT_NOTHING
    return EXIT_OK


# ---------------------------------------------------------------- catalog


def _fmt_fps(fps) -> str:
    return str(fps)


def _print_spec(spec) -> None:
    print(f"SKUs ({len(spec.skus)}):")
    for sku in spec.skus:
        print(f"  {sku}")
    print(f"\nCapture modes ({len(spec.modes)}):")
    print(f"  {'format':6}  {'size':>9}  {'fps':>4}  {'stereo':6}  {'supported':9}  default")
    for m in spec.modes:
        print(
            f"  {m.fourcc:6}  {f'{m.width}x{m.height}':>9}  {_fmt_fps(m.fps):>4}  "
            f"{'yes' if m.stereo else 'no':6}  {'yes' if m.is_supported else 'no':9}  {'*' if m.is_default else ''}"
        )
    print(f"\nControls ({len(spec.controls)}):")
    print(f"  {'name':24}  {'range':>14}  {'default':>7}  {'unit':6}  auto companion")
    for c in spec.controls:
        rng = f"{c.min}..{c.max}"
        if c.enum_values:
            rng = ",".join(str(v) for v, _ in c.enum_values)
        print(f"  {c.name:24}  {rng:>14}  {c.default!s:>7}  {c.unit or '':6}  {c.auto_companion or ''}")


def _cmd_catalog(args: argparse.Namespace) -> int:
    if args.sku:
        from .cameras.camera_spec import spec_by_sku

        spec = spec_by_sku(args.sku)
        if spec is None:
            _err(f"SKU {args.sku!r} is not in the catalog; run 'vorn-camera catalog' for the list.")
            return EXIT_NOTHING
        _print_spec(spec)
        return EXIT_OK
    for word, spec in _family_specs():
        supported = sum(1 for m in spec.modes if m.is_supported)
        print(f"VORN {word}: {len(spec.skus)} SKUs, {len(spec.modes)} modes ({supported} supported)")
        for sku in spec.skus:
            print(f"  {sku}")
    return EXIT_OK


# ---------------------------------------------------------------- controls


def _parse_assignments(items: Sequence[str]) -> tuple[list[str], list[tuple[str, float]]]:
    reads, writes = [], []
    for item in items:
        if "=" in item:
            name, _, text = item.partition("=")
            try:
                writes.append((name, float(text)))
            except ValueError:
                raise _UsageError(f"value for {name!r} is not a number: {text!r}") from None
        else:
            reads.append(item)
    return reads, writes


def _cmd_controls(args: argparse.Namespace) -> int:
    from .platform import current_backend

    backend = current_backend()
    product = ""
    for d in backend.list_cameras():
        if d.os_id == args.device:
            product = d.name
    spec = _spec_for_product(product) or _family_specs()[0][1]
    by_name = {c.name: c for c in spec.controls}
    reads, writes = _parse_assignments(args.assignments)
    for name in reads + [n for n, _ in writes]:
        if name not in by_name:
            raise _UsageError(f"unknown control {name!r}; known: {', '.join(by_name)}")

    try:
        handle = backend.open_controls(args.device)
    except OSError as exc:
        _err(f"cannot open {args.device}: {exc.strerror or exc}.")
        return EXIT_NOTHING
    refused = 0
    with handle:
        for name, value in writes:
            if handle.set(name, value):
                now = handle.get(name)
                print(f"{name} = {'unavailable' if now is None else format(now, 'g')}")
            else:
                refused += 1
                hint = ""
                companion = by_name[name].auto_companion
                if companion:
                    hint = f" (is {companion} on? switch it to manual first)"
                _err(f"the camera refused {name}={value:g}{hint}.")
        if not writes or reads:
            for name in reads or list(by_name):
                c = by_name[name]
                value = handle.get(name)
                shown = "unavailable" if value is None else f"{value:g}"
                print(f"{name:24} {shown:>11} {c.unit or '':5}  (range {c.min}..{c.max}, default {c.default})")
    return EXIT_NOTHING if refused else EXIT_OK


# ---------------------------------------------------------------- doctor


def _udev_hint(path: str) -> str:
    name = os.path.basename(path)
    vendor = "????"
    try:
        with open(f"/sys/class/video4linux/{name}/device/../idVendor") as fh:
            vendor = fh.read().strip()
    except OSError:
        pass
    return f'SUBSYSTEM=="video4linux", ATTRS{{idVendor}}=="{vendor}", MODE="0660", GROUP="video"'


def _diagnose(path: str) -> tuple[bool, str]:
    from .platform import linux
    from .platform.base import parse_vorn_iproduct

    try:
        fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)
    except PermissionError:
        st = os.stat(path)
        try:
            group = grp.getgrgid(st.st_gid).gr_name
        except KeyError:
            group = str(st.st_gid)
        return False, (
            f"cannot be opened: permission denied (owned by group {group!r}; add your user to it, "
            f"or grant access with a udev rule such as: {_udev_hint(path)})"
        )
    except OSError as exc:
        return False, f"cannot be opened: {exc.strerror}"
    try:
        try:
            _, card, caps = linux._querycap(fd)
        except OSError as exc:
            return False, f"not a V4L2 device ({exc.strerror})"
    finally:
        os.close(fd)
    if not caps & linux.V4L2_CAP_VIDEO_CAPTURE:
        return False, f"not a capture node ({card!r}; e.g. the metadata node of a camera)"
    product = linux._read_usb_iproduct(path)
    if product is None:
        return False, f"not on USB, or its USB product string cannot be read ({card!r})"
    parsed = parse_vorn_iproduct(product)
    if parsed is None:
        return False, f"product string {product!r} is not a VORN one"
    return True, f"VORN camera {parsed[0]!r}, serial {parsed[1]!r}"


def _endpoint_reachable() -> tuple[bool, str]:
    from .cameras import catalog_client

    parts = urllib.parse.urlsplit(catalog_client._CAMERA_FACTS_URL)
    root = f"{parts.scheme}://{parts.netloc}/"
    try:
        with urllib.request.urlopen(urllib.request.Request(root, method="HEAD"), timeout=5):
            pass
    except urllib.error.HTTPError as exc:
        return True, f"{root} answers (HTTP {exc.code})"
    except (urllib.error.URLError, OSError) as exc:
        reason = getattr(exc, "reason", exc)
        return False, f"{root} is not reachable: {reason}"
    return True, f"{root} answers"


def _cmd_doctor(args: argparse.Namespace) -> int:
    _use_device_info_url(args.device_info_url)
    paths = sorted(glob.glob("/dev/video*"))
    if not paths:
        print("no /dev/video* nodes: no video device is attached, or the uvcvideo driver is not loaded.")
    found = 0
    for path in paths:
        ok, why = _diagnose(path)
        found += ok
        print(f"{path}: {'listed' if ok else 'not listed'} - {why}")
    reachable, why = _endpoint_reachable()
    print(f"device-info endpoint: {why}")
    return EXIT_OK if found and reachable else EXIT_NOTHING


# ---------------------------------------------------------------- main


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vorn-camera", description="Find, inspect and control VORN cameras.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    sp = sub.add_parser("list", help="list attached VORN cameras")
    sp.add_argument("--resolve", action="store_true", help="look each camera up in the device-info catalog")
    sp.add_argument("--json", action="store_true", help="machine-readable output")
    sp.add_argument("--device-info-url", metavar="URL", help="device-info endpoint base URL (for staging)")
    sp.set_defaults(run=_cmd_list)

    sp = sub.add_parser("catalog", help="show camera families, or one SKU's modes and controls")
    sp.add_argument("sku", nargs="?")
    sp.set_defaults(run=_cmd_catalog)

    sp = sub.add_parser("controls", help="read or set camera controls")
    sp.add_argument("device", help="device node, e.g. /dev/video0")
    sp.add_argument("assignments", nargs="*", metavar="NAME[=VALUE]")
    sp.set_defaults(run=_cmd_controls)

    sp = sub.add_parser("doctor", help="explain why each video device is or isn't listed")
    sp.add_argument("--device-info-url", metavar="URL", help="device-info endpoint base URL (for staging)")
    sp.set_defaults(run=_cmd_doctor)
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    """main(argv: Optional[Sequence[str]] = None) -> int

    Run the ``vorn-camera`` tool and return its exit code.
    """
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except _UsageError as exc:
        _err(f"{exc}.")
        return EXIT_USAGE
    except RuntimeError as exc:
        _err(str(exc))
        return EXIT_NOTHING
    except OSError as exc:
        _err(f"{exc}.")
        return EXIT_NOTHING


if __name__ == "__main__":
    sys.exit(main())
