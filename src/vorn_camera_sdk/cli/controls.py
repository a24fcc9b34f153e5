"""``vorn-camera controls``: read or set a camera's controls."""

from __future__ import annotations

import argparse
import math
from typing import Optional, Sequence

from .core import EXIT_NOTHING, EXIT_OK, UsageError, err
from .devices import find_camera

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``controls`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("controls", help="read or set camera controls")
    sp.add_argument("device", help="device node (/dev/video0, /dev/v4l/by-id/...) or serial")
    sp.add_argument("assignments", nargs="*", default=[], metavar="NAME[=VALUE]",
                    help="a menu value may be given by its label")
    return sp


def _allowed(c) -> str:
    """What a control accepts, in words."""
    if c.enum_values:
        return ", ".join(f"{v}={label}" for v, label in c.enum_values)
    step = f" in steps of {c.step}" if c.step > 1 else ""
    return f"{c.min}..{c.max}{step}"


def _value(c, text: str) -> float:
    """The value ``text`` asks for, checked against the control's catalog entry."""
    labels = {label.lower(): v for v, label in c.enum_values}
    if text.strip().lower() in labels:
        return float(labels[text.strip().lower()])
    try:
        value = float(text)
    except ValueError:
        raise UsageError(f"value for {c.name!r} is not a number: {text!r}") from None
    if not math.isfinite(value) or not INT32_MIN <= math.trunc(value) <= INT32_MAX:
        raise UsageError(f"value for {c.name!r} must be a finite number in the signed 32-bit range: {text!r}")
    raw = math.trunc(value)  # what the device is sent
    if c.enum_values:
        ok = raw in {v for v, _ in c.enum_values}
    else:
        ok = c.min <= raw <= c.max and (raw - c.min) % max(c.step, 1) == 0
    if not ok:
        raise UsageError(f"{c.name}={text} is not allowed; {c.name} takes {_allowed(c)}")
    return value


def _parse(by_name: dict, items: Sequence[str]) -> tuple[list[str], list[tuple[str, float]]]:
    reads, writes = [], []
    for item in items:
        name, eq, text = item.partition("=")
        if name not in by_name:
            raise UsageError(f"unknown control {name!r}; known: {', '.join(by_name)}")
        if eq:
            writes.append((name, _value(by_name[name], text)))
        else:
            reads.append(name)
    return reads, writes


def _manual_setting(c) -> tuple[int, str]:
    """The value that switches an automatic control to manual, and how to show it."""
    for value, label in c.enum_values:
        if "manual" in label.lower():
            return value, f"{c.name}={value} ({label})"
    return c.min, f"{c.name}={c.min}"


def _refusal_hint(handle, by_name: dict, name: str) -> str:
    """Why the camera may have refused ``name``: its automatic companion is on."""
    companion = by_name.get(by_name[name].auto_companion or "")
    if companion is None:
        return ""
    manual, shown = _manual_setting(companion)
    now: Optional[float] = handle.get(companion.name)
    if now is None or int(now) == manual:
        return ""
    return f" ({companion.name} is on; set {shown} first)"


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Set the assigned controls, then print the named (or all) controls;
    exit code 1 when the device is no VORN camera or the camera refused a value.
    """
    from ..cameras.camera_spec import family_specs, spec_by_family
    from ..platform import current_backend

    device = find_camera(args.device)
    if device is None:
        return EXIT_NOTHING
    spec = spec_by_family(device.name) or next(iter(family_specs().values()))
    by_name = {c.name: c for c in spec.controls}
    reads, writes = _parse(by_name, args.assignments)

    try:
        handle = current_backend().open_controls(device.os_id)
    except OSError as exc:
        err(f"cannot open {device.os_id}: {exc.strerror or exc}.")
        return EXIT_NOTHING
    refused = 0
    with handle:
        for name, value in writes:
            if handle.set(name, value):
                now = handle.get(name)
                print(f"{name} = {'unavailable' if now is None else format(now, 'g')}")
            else:
                refused += 1
                err(f"the camera refused {name}={value:g}{_refusal_hint(handle, by_name, name)}.")
        if not writes or reads:
            for name in reads or list(by_name):
                c = by_name[name]
                read = handle.get(name)
                shown = "unavailable" if read is None else f"{read:g}"
                print(f"{name:24} {shown:>11} {c.unit or '':5}  ({_allowed(c)}, default {c.default})")
    return EXIT_NOTHING if refused else EXIT_OK
