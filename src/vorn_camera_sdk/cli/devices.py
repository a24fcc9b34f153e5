"""What the commands share about device nodes: which node an argument names,
and why a node is or isn't a listed VORN camera, in words.

Both rest on the backend's own per-node probe, the one ``list_cameras`` uses,
so a command never judges a node differently from the listing.
"""

from __future__ import annotations

import errno
import glob
import grp
import os

from .core import err

VIDEO_NODES = "/dev/video*"


def video_nodes() -> list[str]:
    """video_nodes() -> list[str]

    The video device nodes, in the order the listing walks them.
    """
    return sorted(glob.glob(VIDEO_NODES))


def probe(path: str):
    """probe(path: str) -> tuple[Optional[VideoDeviceInfo], str]

    The backend's verdict on one node: (its listed entry, "listed"), or
    (None, why it is left out, as "kind" or "kind:detail").
    """
    from ..platform import linux

    return linux._probe_node(path)


def _strerror(name: str) -> str:
    code = getattr(errno, name, None)
    return os.strerror(code) if isinstance(code, int) else name


def _udev_rule(group: str) -> str:
    # Every VORN camera's USB product string begins with "VORN ".
    return f'SUBSYSTEM=="video4linux", ATTRS{{product}}=="VORN *", MODE="0660", GROUP="{group}"'


def _permission_hint(path: str) -> str:
    try:
        gid = os.stat(path).st_gid
    except OSError as exc:
        return f"its owner cannot be read either: {exc.strerror}"
    try:
        group = grp.getgrgid(gid).gr_name
    except KeyError:
        group = str(gid)
    join = "" if group == "root" else f"add your user to group {group!r}, or "
    return f"{join}grant access with a udev rule such as: {_udev_rule('video')}"


def explain(path: str, info, verdict: str) -> str:
    """explain(path: str, info: Optional[VideoDeviceInfo], verdict: str) -> str

    The probe's verdict on ``path`` as a phrase: what the node is, and for a
    node left out, why.
    """
    if info is not None:
        return f"VORN camera {info.name!r}, serial {info.serial!r}"
    kind, _, detail = verdict.partition(":")
    if kind == "open-failed":
        if detail in ("EACCES", "EPERM"):
            return f"cannot be opened: permission denied ({_permission_hint(path)})"
        if detail == "ENOENT":
            return "does not exist"
        return f"cannot be opened: {_strerror(detail)}"
    if kind == "not-v4l2":
        return f"not a V4L2 device ({_strerror(detail)})" if detail else "not a V4L2 device"
    if kind == "close-failed":
        return f"cannot be closed after the capability query ({_strerror(detail)}); the driver is misbehaving"
    if kind == "not-capture":
        return f"not a capture node ({detail!r}; e.g. the metadata node of a camera)"
    if kind == "no-usb-product":
        return f"not on USB, or its USB product string cannot be read ({detail!r})"
    if kind == "not-vorn":
        return f"product string {detail!r} is not a VORN one"
    return verdict


def find_camera(arg: str):
    """find_camera(arg: str) -> Optional[VideoDeviceInfo]

    The listed VORN camera that ``arg`` names: a device node such as
    /dev/video0, a link to one (/dev/v4l/by-id/...), or a serial. Otherwise
    one error sentence saying what ``arg`` is, and None.
    """
    if "/" not in arg:
        from ..platform import current_backend

        for device in current_backend().list_cameras():
            if device.serial == arg:
                return device
        err(f"no attached VORN camera has serial {arg!r}; run 'vorn-camera list' to see the attached ones.")
        return None
    node = arg
    for candidate in video_nodes():  # the node a link such as /dev/v4l/by-id/... leads to
        try:
            if os.path.samefile(candidate, arg):
                node = candidate
                break
        except OSError:
            continue
    info, verdict = probe(node)
    if info is None:
        err(f"{arg} is no VORN camera: {explain(node, info, verdict)}; run 'vorn-camera doctor' for every node.")
    return info
