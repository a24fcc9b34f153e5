"""Platform backends: the one for the running operating system is ``current_backend()``."""

from __future__ import annotations

import functools
import sys
from typing import TYPE_CHECKING, Optional

from .base import PlatformBackend

if TYPE_CHECKING:
    from .events import CameraWatcher


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


def watch_cameras(timeout: Optional[float] = None) -> "CameraWatcher":
    """watch_cameras(timeout: Optional[float] = None) -> CameraWatcher

    Watch VORN cameras come and go: a context manager that iterates
    ``CameraEvent(kind, os_id, name, serial)`` records, ``kind`` being "added"
    or "removed"; ``close()`` from any thread ends it. See
    ``vorn_camera_sdk.platform.events``.
    """
    if not sys.platform.startswith("linux"):
        raise RuntimeError(f"no VORN camera backend for platform {sys.platform!r}; only Linux is supported")
    from .events import watch_cameras as watch

    return watch(timeout)
