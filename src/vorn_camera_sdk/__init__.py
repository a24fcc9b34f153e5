"""VORN camera SDK: discovery, model catalog, controls and frame sources for
VORN USB stereo (depth) cameras on Linux."""

from importlib.metadata import PackageNotFoundError as _PackageNotFoundError
from importlib.metadata import version as _version

try:
    __version__: str = _version("vorn-camera-sdk")
except _PackageNotFoundError:  # run from a source tree, not installed
    __version__ = "0+unknown"
