"""VORN camera families, the device-info client and camera discovery.

``VornCameraFacts``, ``list_connected_vorn_cameras``,
``get_first_connected_vorn_camera`` and ``get_connected_vorn_camera_by_serial``
are re-exported from :mod:`vorn_camera_sdk.cameras.camera_facts`. They are
loaded on first access, so importing the catalog records
(``vorn_camera_sdk.cameras.camera_spec``) stays cheap and free of cycles.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # what type checkers see; at run time they load on first access
    from .camera_facts import (
        VornCameraFacts as VornCameraFacts,
        get_connected_vorn_camera_by_serial as get_connected_vorn_camera_by_serial,
        get_first_connected_vorn_camera as get_first_connected_vorn_camera,
        list_connected_vorn_cameras as list_connected_vorn_cameras,
    )

__all__ = [
    "VornCameraFacts",
    "list_connected_vorn_cameras",
    "get_first_connected_vorn_camera",
    "get_connected_vorn_camera_by_serial",
]


def __getattr__(name: str) -> Any:
    if name in __all__:
        value = getattr(importlib.import_module(".camera_facts", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
