"""The tool's shared core: argument parsing, exit codes, errors and output.

Exit codes: 0 success, 1 nothing found or an operation refused, 2 usage error.
Errors go to stderr as one sentence prefixed with ``vorn-camera:``.

Each command lives in its own module of this package, named in ``COMMANDS``;
the module exposes ``register(subparsers) -> ArgumentParser`` (adds its
sub-command) and ``run(args) -> int`` (runs it, returning the exit code).
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from typing import Optional, Sequence

EXIT_OK, EXIT_NOTHING, EXIT_USAGE = 0, 1, 2

# The command modules, in the order `vorn-camera --help` lists them.
COMMANDS = (
    "list",
    "catalog",
    "controls",
    "doctor",
)

_FAMILIES = ("talvex", "petrin", "sorvane")


class UsageError(Exception):
    """A bad argument: reported as one sentence, exit code 2."""


def err(message: str) -> None:
    """err(message: str) -> None

    Print one error sentence to stderr, prefixed with the tool's name.
    """
    print(f"vorn-camera: {message}", file=sys.stderr)


def family_specs() -> list[tuple[str, object]]:
    """family_specs() -> list[tuple[str, object]]

    [(family word, CameraSpec)] in catalog order.
    """
    out = []
    for word in _FAMILIES:
        mod = importlib.import_module(f"vorn_camera_sdk.cameras.vorn_{word}")
        out.append((word.capitalize(), getattr(mod, f"VORN_{word.upper()}")))
    return out


def spec_for_product(product: str):
    """spec_for_product(product: str) -> Optional[CameraSpec]

    The family spec named by a product string such as "VORN Talvex".
    """
    words = product.split(" ")
    family = words[1].lower() if len(words) > 1 else ""
    for word, spec in family_specs():
        if word.lower() == family:
            return spec
    return None


def use_device_info_url(url: Optional[str]) -> None:
    """use_device_info_url(url: Optional[str]) -> None

    Point the device-info client at ``url`` for the rest of the run.
    """
    if url:
        from ..cameras import catalog_client

        catalog_client._CAMERA_FACTS_URL = url


def command_modules() -> list:
    """command_modules() -> list[module]

    The command modules named in ``COMMANDS``, imported.
    """
    return [importlib.import_module(f".{name}", __package__) for name in COMMANDS]


def build_parser() -> argparse.ArgumentParser:
    """build_parser() -> argparse.ArgumentParser

    The tool's parser, with one sub-command per command module.
    """
    p = argparse.ArgumentParser(prog="vorn-camera", description="Find, inspect and control VORN cameras.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for module in command_modules():
        module.register(sub).set_defaults(run=module.run)
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    """main(argv: Optional[Sequence[str]] = None) -> int

    Run the ``vorn-camera`` tool and return its exit code.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except UsageError as exc:
        err(f"{exc}.")
        return EXIT_USAGE
    except RuntimeError as exc:
        err(str(exc))
        return EXIT_NOTHING
    except OSError as exc:
        err(f"{exc}.")
        return EXIT_NOTHING
