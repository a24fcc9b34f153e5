"""The Sorvane family in plain Python (yardstick for the first-import row of bench_all.py)."""

from vorn_camera_sdk.cameras.camera_spec import CameraSpec

from .vorn_talvex import VORN_TALVEX

_SORVANE_LENSES = ("REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE")

VORN_SORVANE = CameraSpec(
    skus=tuple(f"{line}{lens}-LENSES-V21" for line in ("STEREO-CAMERA-SORVANE-", "STEREO-CAMERA-MODULE-SORVANE-")
               for lens in _SORVANE_LENSES),
    modes=VORN_TALVEX.modes,
    controls=VORN_TALVEX.controls,
    windows_controls=VORN_TALVEX.windows_controls,
)
