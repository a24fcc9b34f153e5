"""``vorn-camera depth``: the depth of one fresh frame as files (16-bit
millimetre PNG, a colourised PNG, the rectified pair and a PLY point cloud)."""

from __future__ import annotations

import argparse

from .core import EXIT_NOTHING, EXIT_OK, UsageError, err
from .sources import SOURCE_FORMS, check_frame_options, open_source


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``depth`` sub-command to the sub-parsers ``sub``.
    """
    from ..depth import PRESETS

    sp = sub.add_parser(
        "depth",
        help="save one frame's depth: depth.png (mm), depth_color.png, left/right_rectified.png, cloud.ply")
    sp.add_argument("source", nargs="?", metavar="SOURCE", help=f"{SOURCE_FORMS} (default: the first camera)")
    sp.add_argument("-o", "--output", default=".", metavar="DIR", help="the folder for the files (default: .)")
    sp.add_argument("--at", type=float, metavar="SECONDS", help="for a recording: the first frame at this time")
    sp.add_argument("--facts", metavar="FILE",
                    help="a camera facts .json file (vorn-camera facts SERIAL -o FILE) for a recording without them")
    sp.add_argument("--preset", default="fast", choices=list(PRESETS), metavar="NAME",
                    help=f"the matcher preset: {', '.join(PRESETS)} (default: fast)")
    return sp


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int: write the depth files and print their paths."""
    from ..depth import depth_snapshot

    check_frame_options(args, "depth files")
    source = open_source(args.source, command="depth")
    try:
        written = depth_snapshot(source, args.output, at=args.at, preset=args.preset, calibration=args.facts)
    except ValueError as exc:
        raise UsageError(str(exc).rstrip(".")) from None
    except OSError as exc:  # the --facts file
        raise UsageError(f"cannot read {args.facts}: {exc.strerror or exc}") from None
    except ImportError as exc:  # the depth or stream extra is missing: the message names it
        err(f"{exc}.")
        return EXIT_NOTHING
    finally:
        source.close()
    for path in written:
        print(path)
    return EXIT_OK
