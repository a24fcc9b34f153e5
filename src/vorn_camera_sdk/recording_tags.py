"""The global tags of a recording, written by the recorder and read by replay.

A recording made with this package carries, in the container's global
metadata, the camera facts dictionary of the unit that recorded it (the form
``VornCameraFacts.to_dict()`` writes) as JSON under ``CAMERA_FACTS_TAG``,
whether its frames are side-by-side stereo under ``STEREO_TAG``, the capture
mode under ``MODE_TAG`` and the first frame's capture time under
``START_TAG``.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Mapping, Optional, Union

if TYPE_CHECKING:
    from .cameras.camera_facts import VornCameraFacts
    from .cameras.camera_spec import CaptureMode

# Container metadata key holding the camera facts dictionary as JSON.
CAMERA_FACTS_TAG = "VORN_CAMERA_FACTS"
# Container metadata key: "1" for side-by-side stereo frames, "0" for mono.
STEREO_TAG = "VORN_STEREO"
# Container metadata key: the capture mode recorded, as "1280x360@30/MJPG".
MODE_TAG = "VORN_CAPTURE_MODE"
# Container metadata key: the first frame's capture time (seconds of
# CLOCK_MONOTONIC), to which the presentation times are relative.
START_TAG = "VORN_CAPTURE_START"


def embed_camera_facts(
    container: Any, facts: Union["VornCameraFacts", Mapping[str, Any]], *, stereo: Optional[bool] = None
) -> None:
    """embed_camera_facts(container, facts, *, stereo: Optional[bool] = None) -> None

    Tag an output container (``av.open(path, "w")``) with the recording
    camera's facts, given as a ``VornCameraFacts`` or its dictionary form, and,
    unless ``stereo`` is None, with whether its frames are stereo. Call it
    before the first packet is muxed: the tags are written with the header.
    """
    payload = facts.to_dict() if hasattr(facts, "to_dict") else dict(facts)
    container.metadata[CAMERA_FACTS_TAG] = json.dumps(payload)
    if stereo is not None:
        container.metadata[STEREO_TAG] = "1" if stereo else "0"


def format_mode(mode: "CaptureMode") -> str:
    """format_mode(mode: CaptureMode) -> str

    A capture mode in the form the tools take and the recording's mode tag
    stores: "WIDTHxHEIGHT@FPS/FOURCC", such as "1280x360@30/MJPG".
    """
    return f"{mode.width}x{mode.height}@{mode.fps}/{mode.fourcc}"


def mode_from_tag(text: Optional[str], *, stereo: bool) -> Optional["CaptureMode"]:
    """mode_from_tag(text: Optional[str], *, stereo: bool) -> Optional[CaptureMode]

    The capture mode a recording's mode tag names, or None without a
    readable tag.
    """
    from .cameras.camera_spec import CaptureMode

    if not text:
        return None
    try:
        body, _, fourcc = text.partition("/")
        size, _, fps_text = body.partition("@")
        width, _, height = size.partition("x")
        fps = float(fps_text)
        return CaptureMode(int(width), int(height), int(fps) if fps.is_integer() else fps, fourcc, stereo=stereo)
    except ValueError:
        return None
