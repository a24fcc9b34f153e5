"""``vorn-camera doctor``: why each video device is or isn't listed, and
whether the device-info endpoint answers."""

from __future__ import annotations

import argparse
import glob
import grp
import os
import urllib.error
import urllib.parse
import urllib.request

from .core import EXIT_NOTHING, EXIT_OK, use_device_info_url


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``doctor`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("doctor", help="explain why each video device is or isn't listed")
    sp.add_argument("--device-info-url", metavar="URL", help="device-info endpoint base URL (for staging)")
    return sp


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
    from ..platform import linux
    from ..platform.base import parse_vorn_iproduct

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
    from ..cameras import catalog_client

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


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Print one line per video node and one for the endpoint; exit code 1
    when no camera is listed or the endpoint is unreachable.
    """
    use_device_info_url(args.device_info_url)
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
