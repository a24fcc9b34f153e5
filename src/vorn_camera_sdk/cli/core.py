"""The tool's shared core: argument parsing, exit codes, errors, output and logging.

Exit codes: 0 success, 1 nothing found or an operation refused, 2 usage error
(130 after Ctrl-C). Errors go to stderr as one sentence prefixed with
``vorn-camera:``; a traceback only with ``-v``.

Each command lives in its own module of this package, named in ``COMMANDS``;
the module exposes ``register(subparsers) -> ArgumentParser`` (adds its
sub-command) and ``run(args) -> int`` (runs it, returning the exit code).
"""

from __future__ import annotations

import argparse
import importlib
import json
import logging
import os
import sys
import urllib.parse
from types import ModuleType
from typing import Any, Optional, Sequence

EXIT_OK, EXIT_NOTHING, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

# The command modules, in the order `vorn-camera --help` lists them.
COMMANDS = (
    "list",
    "facts",
    "catalog",
    "controls",
    "doctor",
    "record",
    "convert",
    "snapshot",
    "depth",
    "view",
    "ros2",
)

# What the device-info client appends a serial to, after the service's base URL.
FACTS_ENDPOINT = "/api/public/camera-facts"
FACTS_QUERY = "serial_number="


class UsageError(Exception):
    """A bad argument: reported as one sentence, exit code 2."""


# ---------------------------------------------------------------- output


def err(message: str) -> None:
    """err(message: str) -> None

    Print one error sentence to stderr, prefixed with the tool's name.
    """
    print(f"vorn-camera: {message}", file=sys.stderr)


def print_json(value: Any) -> None:
    """print_json(value: Any) -> None

    Print ``value`` as indented JSON on stdout.
    """
    print(json.dumps(value, indent=2))


def reason(exc: BaseException) -> str:
    """reason(exc: BaseException) -> str

    One line saying what went wrong, for a message that names the operation:
    an OS error's text, an HTTP status, the reason of a URL error, or the
    exception's type and first line.
    """
    import urllib.error

    if isinstance(exc, urllib.error.HTTPError):
        return f"HTTP {exc.code} {exc.reason}".rstrip()
    if isinstance(exc, urllib.error.URLError):
        inner = exc.reason
        return reason(inner) if isinstance(inner, BaseException) else str(inner)
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    text = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {text[0]}" if text else type(exc).__name__


def os_error_text(exc: OSError) -> str:
    """os_error_text(exc: OSError) -> str

    An OS error as a sentence a user can act on: its text, then the file or
    device it concerns unless the text already names it; no "[Errno N]".
    """
    text = exc.strerror or (exc.args[0] if exc.args and isinstance(exc.args[0], str) else "") or str(exc)
    for name in (exc.filename, exc.filename2):
        if name is not None and os.fsdecode(name) not in text:
            text += f": {os.fsdecode(name)}"
    return text


# ---------------------------------------------------------------- logging


class _OneLine(logging.Formatter):
    """A record as one line; an attached exception shrinks to its reason."""

    def format(self, record: logging.LogRecord) -> str:
        line = f"vorn-camera: {record.getMessage()}"
        if record.exc_info and record.exc_info[1] is not None:
            line += f" ({reason(record.exc_info[1])})"
        return line


def setup_logging(verbose: bool) -> logging.Handler:
    """setup_logging(verbose: bool) -> logging.Handler

    Log to stderr: warnings and errors as one line each; with ``verbose``
    also informational records, with their tracebacks. Returns the handler
    added to the root logger, for ``main`` to remove when it returns.
    """
    handler = logging.StreamHandler(sys.stderr)
    if verbose:
        handler.setFormatter(logging.Formatter("vorn-camera: %(levelname)s %(name)s: %(message)s"))
    else:
        handler.setFormatter(_OneLine())
    root = logging.getLogger()
    root.addHandler(handler)
    root.setLevel(logging.INFO if verbose else logging.WARNING)
    return handler


# ---------------------------------------------------------------- the device-info service


def facts_url(base: str) -> str:
    """facts_url(base: str) -> str

    The prefix the device-info client appends a serial to, for the service's
    base URL ``base`` (scheme, host, optional port and path prefix). The full
    form, ending in ``/api/public/camera-facts?serial_number=``, is taken as
    it is. UsageError for anything that is not such a URL.
    """
    bad = f"--device-info-url {base!r} is not a URL such as https://host[:port][/prefix]"
    try:
        parts = urllib.parse.urlsplit(base.strip())
        parts.port  # a port that is not a number raises here
    except ValueError as exc:
        raise UsageError(f"{bad} ({exc})") from None
    if parts.scheme not in ("http", "https") or not parts.hostname or parts.fragment:
        raise UsageError(bad)
    path = parts.path.rstrip("/")
    if parts.query and not (path.endswith(FACTS_ENDPOINT) and parts.query == FACTS_QUERY):
        raise UsageError(f"{bad}; only the service's own query ?{FACTS_QUERY} may follow its path")
    if not path.endswith(FACTS_ENDPOINT):
        path += FACTS_ENDPOINT
    return urllib.parse.urlunsplit((parts.scheme, parts.netloc, path, FACTS_QUERY, ""))


def use_device_info_url(url: Optional[str]) -> None:
    """use_device_info_url(url: Optional[str]) -> None

    Point the device-info client at the service with base URL ``url`` for
    the rest of the run (nothing changes for None).
    """
    if url:
        from ..cameras import catalog_client

        catalog_client._CAMERA_FACTS_URL = facts_url(url)


def add_device_info_url(parser: argparse.ArgumentParser) -> None:
    """add_device_info_url(parser: argparse.ArgumentParser) -> None

    Give a sub-command the ``--device-info-url`` option.
    """
    parser.add_argument(
        "--device-info-url",
        metavar="URL",
        help="base URL of another device-info service, e.g. https://staging.example:8443",
    )


# ---------------------------------------------------------------- parsing and running


def command_modules() -> list[ModuleType]:
    """command_modules() -> list[ModuleType]

    The command modules named in ``COMMANDS``, imported.
    """
    return [importlib.import_module(f".{name}", __package__) for name in COMMANDS]


def build_parser() -> argparse.ArgumentParser:
    """build_parser() -> argparse.ArgumentParser

    The tool's parser, with one sub-command per command module.
    """
    from .. import __version__

    p = argparse.ArgumentParser(prog="vorn-camera", description="Find, inspect and control VORN cameras.")
    p.add_argument("--version", action="version", version=f"vorn-camera {__version__}")
    verbose_help = "log more, with tracebacks"
    p.add_argument("-v", "--verbose", action="store_true", help=verbose_help)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for module in command_modules():
        sp = module.register(sub)
        sp.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS, help=verbose_help)
        sp.set_defaults(run=module.run)
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    """main(argv: Optional[Sequence[str]] = None) -> int

    Run the ``vorn-camera`` tool and return its exit code.
    """
    args = build_parser().parse_args(argv)
    # Removed again on return: the tool run in-process (by a program or a
    # test) leaves no handler bound to a stderr that may be gone later.
    handler = setup_logging(args.verbose)
    try:
        return _run(args)
    finally:
        logging.getLogger().removeHandler(handler)


def _run(args: argparse.Namespace) -> int:
    try:
        return args.run(args)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except UsageError as exc:
        err(f"{exc}.")
        return EXIT_USAGE
    except RuntimeError as exc:
        err(str(exc))
        return EXIT_NOTHING
    except ImportError as exc:  # an extra that is not installed: the message names it
        err(str(exc))
        return EXIT_NOTHING
    except OSError as exc:
        err(f"{os_error_text(exc).rstrip('.')}.")
        return EXIT_NOTHING
    except Exception as exc:
        if args.verbose:
            logging.getLogger(__name__).exception("unexpected error")
        else:
            err(f"unexpected error: {reason(exc)} (run with -v for the traceback).")
        return EXIT_NOTHING
