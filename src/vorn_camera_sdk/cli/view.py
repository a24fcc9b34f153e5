"""``vorn-camera view``: a camera or a recording as a local web page, with
the camera's controls."""

from __future__ import annotations

import argparse
import errno
import socket

from .core import EXIT_OK, UsageError
from .sources import SOURCE_FORMS, open_source


def register(sub) -> argparse.ArgumentParser:
    """register(sub) -> argparse.ArgumentParser

    Add the ``view`` sub-command to the sub-parsers ``sub``.
    """
    sp = sub.add_parser("view", help="watch a camera or a recording in the browser, with live controls")
    sp.add_argument("source", nargs="?", metavar="SOURCE", help=f"{SOURCE_FORMS} (default: the first camera)")
    sp.add_argument("--bind", default="127.0.0.1", metavar="ADDR",
                    help="the address to listen on (default: 127.0.0.1; any other needs the printed token)")
    sp.add_argument("--port", type=int, default=0, metavar="N", help="the port (default: a free one)")
    return sp


def run(args: argparse.Namespace) -> int:
    """run(args: argparse.Namespace) -> int

    Print the page's URL and serve until Ctrl-C or SIGTERM, then release
    the camera.
    """
    from ..viewer import serve

    if not 0 <= args.port <= 65535:
        raise UsageError(f"--port must be 0..65535, not {args.port}")
    source = open_source(args.source, command="view")
    try:
        serve(source, bind=args.bind, port=args.port, announce=lambda url: print(url, flush=True))
    except OSError as exc:
        if exc.errno == errno.EADDRINUSE:
            raise UsageError(f"port {args.port} on {args.bind} is in use; choose another with --port "
                             "(or leave it out for a free one)") from None
        if isinstance(exc, socket.gaierror) or exc.errno in (errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT):
            raise UsageError(f"--bind {args.bind} is not an address of this machine") from None
        raise
    finally:
        source.close()
    return EXIT_OK
