"""The capture engine's argument checks on an emulated node (opening failures
are checked through CameraSource in test_sources; streaming runs against the
real driver, in tests/kernel)."""

from __future__ import annotations

import dataclasses

import pytest

from vorn_camera_sdk.cameras.vorn_talvex import VORN_TALVEX
from vorn_camera_sdk.platform.capture import CaptureStream

MODE = VORN_TALVEX.default_mode


@pytest.mark.parametrize("change, arguments, message", [
    ({"fourcc": "MJPEG"}, {}, "four-character"),
    ({"fps": 0}, {}, "frame rate must be positive"),
    ({}, {"buffers": 1}, "buffers must be at least 2"),
    ({}, {"queue_seconds": 0.0}, "queue_seconds must be positive"),
    ({}, {"queue_seconds": float("inf")}, "queue_seconds must be positive and at most 3600 s"),
    ({}, {"queue_seconds": 1e300}, "queue_seconds must be positive and at most 3600 s"),
    ({}, {"queue_seconds": float("nan")}, "queue_seconds must be positive"),
    ({"fps": 1e308}, {}, "frame rate must be positive and at most 1000"),
])
def test_arguments_are_checked_before_the_device_is_touched(emu, change, arguments, message):
    cam = emu.add_camera("VORN Talvex AB12CD34")
    with pytest.raises(ValueError, match=message):
        CaptureStream(cam.path, dataclasses.replace(MODE, **change), **arguments)
    assert cam.node.requests() == []

