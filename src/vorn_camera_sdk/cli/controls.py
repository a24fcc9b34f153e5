"""``vorn-camera controls``: read or set a camera's controls."""

from __future__ import annotations

import argparse
from typing import Sequence

from .core import EXIT_NOTHING, EXIT_OK, UsageError, err, family_specs, spec_for_product


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``controls`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("controls", help="read or set camera controls")
    sp.add_argument("device", help="device node, e.g. /dev/video0")
    sp.add_argument("assignments", nargs="*", metavar="NAME[=VALUE]")
    return sp


def _parse_assignments(items: Sequence[str]) -> tuple[list[str], list[tuple[str, float]]]:
    reads, writes = [], []
    for item in items:
        if "=" in item:
            name, _, text = item.partition("=")
            try:
                writes.append((name, float(text)))
            except ValueError:
                raise UsageError(f"value for {name!r} is not a number: {text!r}") from None
        else:
            reads.append(item)
    return reads, writes


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Set the assigned controls, then print the named (or all) controls;
    exit code 1 when the camera refused a value.
    """
    from ..platform import current_backend

    backend = current_backend()
    product = ""
    for d in backend.list_cameras():
        if d.os_id == args.device:
            product = d.name
    spec = spec_for_product(product) or family_specs()[0][1]
    by_name = {c.name: c for c in spec.controls}
    reads, writes = _parse_assignments(args.assignments)
    for name in reads + [n for n, _ in writes]:
        if name not in by_name:
            raise UsageError(f"unknown control {name!r}; known: {', '.join(by_name)}")

    try:
        handle = backend.open_controls(args.device)
    except OSError as exc:
        err(f"cannot open {args.device}: {exc.strerror or exc}.")
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
                err(f"the camera refused {name}={value:g}{hint}.")
        if not writes or reads:
            for name in reads or list(by_name):
                c = by_name[name]
                value = handle.get(name)
                shown = "unavailable" if value is None else f"{value:g}"
                print(f"{name:24} {shown:>11} {c.unit or '':5}  (range {c.min}..{c.max}, default {c.default})")
    return EXIT_NOTHING if refused else EXIT_OK
