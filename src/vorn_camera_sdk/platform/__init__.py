"""Platform backends: the one for the running operating system is ``current_backend()``."""

from __future__ import annotations

import functools
import sys

from .base import PlatformBackend


@functools.cache
def current_backend() -> PlatformBackend:
    """current_backend() -> PlatformBackend

    The backend of the running platform (one shared instance). Only Linux is
    supported; elsewhere a RuntimeError names the platform.
    """
    if sys.platform.startswith("linux"):
        from .linux import LinuxBackend

        return LinuxBackend()
    raise RuntimeError(f"no VORN camera backend for platform {sys.platform!r}; only Linux is supported")
