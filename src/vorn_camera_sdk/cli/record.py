"""``vorn-camera record``: a live camera into an MKV or MCAP file (the format
from the file name), every frame, as the camera sent it."""

from __future__ import annotations

import argparse
import sys
import time

from .core import EXIT_OK, UsageError
from .sources import check_seconds, open_source


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``record`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("record", help="record a camera into an MKV or MCAP file (packets as they came, nothing lost)")
    sp.add_argument("source", nargs="?", metavar="SOURCE",
                    help="a camera serial or camera facts .json file (default: the first camera)")
    sp.add_argument("out", metavar="OUT.mkv|OUT.mcap", help="the recording to write (.mcap: ROS 2 messages)")
    sp.add_argument("--duration", type=float, metavar="SECONDS", help="stop after this many seconds")
    sp.add_argument("--frames", type=int, metavar="N", help="stop after N frames")
    sp.add_argument("--mode", metavar="WxH@FPS[/FOURCC]",
                    help="a supported capture mode, e.g. 1280x360@30/MJPG (default: the camera's default mode)")
    return sp


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Record until the limit, Ctrl-C or SIGTERM; print the summary. A live
    one-line status goes to stderr when it is a terminal.
    """
    from ..recording import record, split_mode, status_line, stderr_is_terminal

    if not str(args.out).endswith((".mkv", ".mcap")):
        raise UsageError(f"the output {args.out!r} must be an .mkv file, or an .mcap file for ROS 2 messages")
    if args.source is not None and str(args.source).strip().endswith((".mkv", ".mcap")):
        raise UsageError(f"{args.source} is a recording; record takes a live camera (a serial or a .json file)")
    if str(args.out).endswith(".mcap"):
        from ..mcap_recording import record_mcap as record  # noqa: F811
    check_seconds("--duration", args.duration)
    if args.frames is not None and args.frames <= 0:
        raise UsageError(f"--frames must be positive, not {args.frames}")
    if args.mode is not None:
        try:
            split_mode(args.mode)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
    source = open_source(args.source, command="record", recordings=False)
    began = time.monotonic()
    progress = None
    if stderr_is_terminal():
        def progress(summary) -> None:
            print("\r" + status_line(summary, time.monotonic() - began), end="", file=sys.stderr, flush=True)
    try:
        summary = record(source, args.out, duration=args.duration, frames=args.frames, mode=args.mode,
                         progress=progress)
    except ValueError as exc:
        raise UsageError(str(exc).rstrip(".")) from None
    finally:
        source.close()
        if progress is not None:
            print(file=sys.stderr)
    print(f"wrote {summary}")
    return EXIT_OK
