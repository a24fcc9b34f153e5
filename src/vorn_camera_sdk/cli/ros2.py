"""``vorn-camera ros2``: the camera (or a recording) as a ROS 2 node."""

from __future__ import annotations

import argparse
import signal
import threading

from .core import EXIT_NOTHING, EXIT_OK, UsageError


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``ros2`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("ros2", help="publish a camera or a recording as a ROS 2 stereo node")
    sp.add_argument("source", nargs="?", metavar="SOURCE",
                    help="a camera serial, a camera facts .json file or a recording (default: the first camera)")
    sp.add_argument("--namespace", default="", metavar="NS", help="the node's namespace (default: none)")
    sp.add_argument("--frame-prefix", default="camera_", metavar="P",
                    help="prefix of the optical frame ids P+left_optical_frame, P+right_optical_frame")
    sp.add_argument("--reconnect", type=float, metavar="SECONDS",
                    help="wait this long for an unplugged camera to come back")
    sp.add_argument("--mode", metavar="WxH@FPS[/FOURCC]", help="a supported capture mode of the camera")
    sp.add_argument("--node-name", default="vorn_camera", metavar="NAME", help="the node's name")
    sp.add_argument("--depth", nargs="?", const="fast", metavar="PRESET",
                    help="also publish depth/image_rect and depth/camera_info (preset: fast, the default, or quality)")
    return sp


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Publish until the source ends, Ctrl-C or SIGTERM. A stream that fails
    (an unplugged camera that did not come back) ends with exit code 1.
    """
    from ..ros2 import CameraNode, open_camera_source

    if args.reconnect is not None and args.reconnect < 0:
        raise UsageError(f"--reconnect must not be negative, not {args.reconnect}")
    try:
        source = open_camera_source(args.source, mode=args.mode, reconnect=args.reconnect)
    except ValueError as exc:
        raise UsageError(str(exc).rstrip(".")) from None
    stop = threading.Event()
    previous = {s: signal.signal(s, lambda *_: stop.set()) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        with CameraNode(source, namespace=args.namespace, frame_prefix=args.frame_prefix,
                        node_name=args.node_name, depth=args.depth) as node:
            node.start()
            while not stop.is_set() and not node.wait(0.2):
                pass
            if node.error is not None:
                from .core import err

                err(f"streaming stopped: {node.error}")
                return EXIT_NOTHING
            print(f"published {node.published} frames")
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return EXIT_OK
