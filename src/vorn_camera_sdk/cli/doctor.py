"""``vorn-camera doctor``: why each video device is or isn't listed, and
what a device-info lookup meets."""

from __future__ import annotations

import argparse
import socket
import ssl
import urllib.error
import urllib.parse

from .core import EXIT_NOTHING, EXIT_OK, add_device_info_url, reason, use_device_info_url
from .devices import explain, probe, video_nodes

# Asked for when no camera is attached: any serial shows whether lookups get through.
PROBE_SERIAL = "0"


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``doctor`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("doctor", help="explain why each video device is or isn't listed; check the device-info service")
    add_device_info_url(sp)
    return sp


def diagnose(path: str):
    """diagnose(path: str) -> tuple[Optional[VideoDeviceInfo], str]

    The listing's entry for ``path`` (None when it is left out), and why, in
    words. Never raises for one node's trouble.
    """
    try:
        info, verdict = probe(path)
        return info, explain(path, info, verdict)
    except Exception as exc:  # what the listing would raise on this node
        return None, f"examining it fails ({reason(exc)}), and so does the whole listing"


def lookup(serial: str) -> tuple[bool, str]:
    """lookup(serial: str) -> tuple[bool, str]

    Ask the device-info service about ``serial`` exactly as discovery does
    (the client's own request, User-Agent and time-out): whether the service
    answered, and what a lookup meets.
    """
    from ..cameras import catalog_client

    which = f"serial {serial!r}" if serial != PROBE_SERIAL else f"the test serial {serial!r}"
    try:
        payload = catalog_client.fetch_camera_facts_json(serial)
    except urllib.error.HTTPError as exc:
        unknown = ", a serial it does not know" if exc.code == 404 else ""
        return True, f"HTTP {exc.code} for {which}{unknown}"
    except urllib.error.URLError as exc:
        cause = exc.reason
        if isinstance(cause, ssl.SSLCertVerificationError):
            return False, f"TLS failure: certificate verify failed ({cause.verify_message})"
        if isinstance(cause, ssl.SSLError):
            return False, f"TLS failure: {cause.reason or cause}"
        if isinstance(cause, socket.gaierror):
            return False, f"DNS failure: the host name does not resolve ({cause.strerror})"
        if isinstance(cause, TimeoutError):
            return False, "no answer before the time-out"
        return False, reason(exc).lower()
    except TimeoutError:
        return False, "no answer before the time-out"
    except Exception as exc:  # the answer broke off, or is not UTF-8 JSON
        return True, f"a broken answer for {which} ({reason(exc)})"
    if not isinstance(payload, dict):
        return True, f"a JSON {type(payload).__name__} for {which}, not an object"
    return True, f"{which} is known (SKU {payload.get('sku')!r})"


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Print one line per video node and one for the device-info service;
    exit code 1 when no camera is listed or the service cannot be reached.
    """
    from ..cameras import catalog_client

    use_device_info_url(args.device_info_url)
    paths = video_nodes()
    if not paths:
        print("no /dev/video* nodes: no video device is attached, or the uvcvideo driver is not loaded.")
    serials = []
    for path in paths:
        info, why = diagnose(path)
        if info is not None:
            serials.append(info.serial)
        print(f"{path}: {'listed' if info is not None else 'not listed'} - {why}")

    parts = urllib.parse.urlsplit(catalog_client._CAMERA_FACTS_URL)
    endpoint = urllib.parse.urlunsplit((parts.scheme, parts.netloc, parts.path, "", ""))
    outcomes = [lookup(serial) for serial in serials or [PROBE_SERIAL]]
    reachable = all(ok for ok, _ in outcomes)
    verb = "answers" if reachable else "is not reachable"
    said = "; ".join(dict.fromkeys(what for _, what in outcomes))  # each distinct outcome once
    print(f"device-info endpoint: {endpoint} {verb}: {said}")
    return EXIT_OK if serials and reachable else EXIT_NOTHING
