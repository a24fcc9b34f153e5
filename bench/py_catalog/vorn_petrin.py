"""The Petrin family in plain Python (yardstick for the first-import row of bench_all.py)."""

from vorn_camera_sdk.cameras.camera_spec import CameraSpec

from .vorn_talvex import VORN_TALVEX

_PETRIN_LENSES = ("REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE")
_PETRIN_MOUNTS = ("NO-MOUNT", "SIDE-MOUNTS")

VORN_PETRIN = CameraSpec(
    skus=tuple(f"STEREO-CAMERA-PETRIN-{lens}-LENSES-V21" for lens in _PETRIN_LENSES)
    + tuple(f"STEREO-CAMERA-MODULE-PETRIN-{lens}-LENSES-{mount}-V21" for lens in _PETRIN_LENSES
            for mount in _PETRIN_MOUNTS),
    modes=VORN_TALVEX.modes,
    controls=VORN_TALVEX.controls,
    windows_controls=VORN_TALVEX.windows_controls,
)
