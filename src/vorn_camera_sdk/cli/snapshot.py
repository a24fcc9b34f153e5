"""``vorn-camera snapshot``: one fresh frame as PNG files (left, right and
side by side for a stereo mode)."""

from __future__ import annotations

import argparse

from .core import EXIT_OK, UsageError
from .sources import SOURCE_FORMS, check_frame_options, open_source


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

    check_frame_options(args, "PNG files")
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
