"""``vorn-camera convert``: a recording from Matroska to MCAP or back, without
re-encoding a frame."""

from __future__ import annotations

import argparse

from .core import EXIT_OK, UsageError


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``convert`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("convert", help="convert a recording between MKV and MCAP (no re-encoding)")
    sp.add_argument("src", metavar="IN", help="the recording to read (.mkv or .mcap)")
    sp.add_argument("dst", metavar="OUT", help="the recording to write (.mcap or .mkv)")
    return sp


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Convert and print the summary of the file written.
    """
    from ..mcap_recording import convert

    try:
        summary = convert(args.src, args.dst)
    except ValueError as exc:
        raise UsageError(str(exc).rstrip(".")) from None
    print(f"wrote {summary}")
    return EXIT_OK
