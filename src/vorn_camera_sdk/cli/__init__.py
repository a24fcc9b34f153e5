"""The ``vorn-camera`` command-line tool: a thin layer over the public API.

One module per command (``list``, ``catalog``, ``controls``, ``doctor``)
beside :mod:`.core`, which parses the arguments, holds the exit-code and error
conventions and the output helpers. A command module exposes
``register(subparsers)`` and ``run(args) -> int``; ``core.COMMANDS`` names them.
"""

from .core import main

__all__ = ["main"]
