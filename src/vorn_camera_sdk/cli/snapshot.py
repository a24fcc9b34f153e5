"""``vorn-camera snapshot``: one fresh frame as PNG files (left, right and
side by side for a stereo mode)."""

from __future__ import annotations

import argparse
import os

from .core import EXIT_OK, UsageError
from .sources import SOURCE_FORMS, check_seconds, names_a_camera, open_source


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``snapshot`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("snapshot", help="save one frame as left.png, right.png and frame.png (mono: frame.png)")
    sp.add_argument("source", nargs="?", metavar="SOURCE", help=f"{SOURCE_FORMS} (default: the first camera)")
    sp.add_argument("-o", "--output", default=".", metavar="DIR", help="the folder for the PNG files (default: .)")
    sp.add_argument("--at", type=float, metavar="SECONDS", help="for a recording: the first frame at this time")
    return sp


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int: write the PNG files and print their paths."""
    from ..recording import snapshot

    check_seconds("--at", args.at, zero=True)
    if args.at is not None and names_a_camera(args.source):
        raise UsageError("--at applies to recordings only; a live camera gives its newest frame")
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise UsageError(f"-o {args.output} is a file; give a folder for the PNG files")
    source = open_source(args.source, command="snapshot")
    try:
        written = snapshot(source, args.output, at=args.at)
    except ValueError as exc:
        raise UsageError(str(exc).rstrip(".")) from None
    finally:
        source.close()
    for path in written:
        print(path)
    return EXIT_OK
