"""VORN camera SDK: discovery, model catalog, controls and frame sources for
VORN USB stereo (depth) cameras on Linux.

Where to start:

- ``vorn_camera_sdk.cameras.list_connected_vorn_cameras()``: the attached
  cameras as ``VornCameraFacts`` records (identity, model, calibration).
- ``vorn_camera_sdk.sources.factory.resolve_source_arg(source)``: a frame
  source for a serial, a camera facts .json file, a recording or None (the
  first camera); iterate it for ``Frame`` records and use ``controls``.
- ``vorn_camera_sdk.sources.camera_source.CameraSource`` and
  ``vorn_camera_sdk.sources.mkv_source.MkvSource``: a live camera, a recording.
- ``vorn_camera_sdk.recording.record()`` and ``snapshot()``: a camera into a
  Matroska file, one frame into PNG files.
- ``vorn_camera_sdk.platform.watch_cameras()``: cameras coming and going.
- ``vorn_camera_sdk.calibration.Calibration``: the stereo calibration record.
- The ``vorn-camera`` command: ``vorn-camera --help``.
"""

from importlib.metadata import PackageNotFoundError as _PackageNotFoundError
from importlib.metadata import version as _version

try:
    __version__: str = _version("vorn-camera-sdk")
except _PackageNotFoundError:  # run from a source tree, not installed
    __version__ = "0+unknown"
