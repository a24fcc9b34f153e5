"""Stereo geometry for consumers of the camera's images: per-eye camera info
and the left-to-right transform, from the factory calibration.

The calibration gives each eye at its calibrated size; a capture mode streams
each eye at its own size (half the frame's width for side-by-side stereo), so
the intrinsics are scaled to it first. Rectification (the rotation that makes
the eyes' rows line up, and the rectified projections) is the depth module's
(OpenCV's ``stereoRectify`` with zero disparity at infinity and no extra
border), the
form ``image_geometry`` and ``stereo_image_proc`` expect: the right eye's
projection carries ``P[0][3] = -fx' * baseline`` (baseline in metres).

The calibration maps points from the left camera's frame into the right
one's: ``x_right = R @ x_left + t`` with ``t`` in metres, which is OpenCV's
``(R, T)`` for the pair. Everything here is plain data (tuples of floats), so
the ROS 2 node and the MCAP writer build their messages from the same values.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .calibration import Calibration
    from .cameras.camera_spec import CaptureMode

# The distortion model the calibration's eight coefficients are
# (k1, k2, p1, p2, k3, k4, k5, k6), by its name in sensor_msgs/CameraInfo.
DISTORTION_MODEL = "rational_polynomial"


@dataclass(frozen=True)
class EyeInfo:
    """What ``sensor_msgs/CameraInfo`` says of one eye at one image size.

    ``k`` (3x3), ``r`` (3x3) and ``p`` (3x4) are row-major flat tuples;
    ``d`` the eight distortion coefficients in ``DISTORTION_MODEL`` order.
    """

    width: int
    height: int
    d: tuple[float, ...]
    k: tuple[float, ...]
    r: tuple[float, ...]
    p: tuple[float, ...]
    distortion_model: str = DISTORTION_MODEL


@dataclass(frozen=True)
class StereoTransform:
    """The right optical frame's pose in the left optical frame: a point
    ``x_right`` in the right camera's frame is ``R(rotation) @ x_right +
    translation`` in the left one's. ``rotation`` is a unit quaternion
    (x, y, z, w); ``translation`` is in metres."""

    translation: tuple[float, float, float]
    rotation: tuple[float, float, float, float]


def stereo_camera_info(calibration: "Calibration", mode: "CaptureMode") -> tuple[EyeInfo, EyeInfo]:
    """stereo_camera_info(calibration: Calibration, mode: CaptureMode) -> tuple[EyeInfo, EyeInfo]

    Camera info of the left and the right eye of the stereo ``mode``: the
    calibration's intrinsics scaled to the eyes' size, its distortion, and
    the rectification rotation and rectified projection of each eye (the
    right one carrying the baseline), from the rectification depth uses
    (``depth.Rectifier``). Needs OpenCV (the ``depth`` extra); ValueError
    for a mode whose eyes the calibration does not describe.
    """
    from .depth import Rectifier

    rect = Rectifier.from_calibration(calibration, mode)
    width, height = rect.eye_size

    def eye(i: int) -> EyeInfo:
        return EyeInfo(width, height, tuple(float(v) for v in rect.distortions[i]),
                       tuple(float(v) for v in rect.camera_matrices[i].ravel()),
                       tuple(float(v) for v in rect.rotations[i].ravel()),
                       tuple(float(v) for v in rect.projections[i].ravel()))

    return eye(0), eye(1)


def stereo_transform(calibration: "Calibration") -> StereoTransform:
    """stereo_transform(calibration: Calibration) -> StereoTransform

    The right eye's optical frame in the left eye's, from the calibration's
    pose: rotation R^T and translation -R^T t of its x_right = R x_left + t.
    """
    r = [[float(v) for v in row] for row in calibration.right.rotation]
    t = [float(v) for v in calibration.right.translation]
    rt = [[r[j][i] for j in range(3)] for i in range(3)]
    translation = tuple(-sum(rt[i][j] * t[j] for j in range(3)) for i in range(3))
    return StereoTransform((translation[0], translation[1], translation[2]), rotation_quaternion(rt))


def rotation_quaternion(m: list[list[float]]) -> tuple[float, float, float, float]:
    """rotation_quaternion(m: list[list[float]]) -> tuple[float, float, float, float]

    The unit quaternion (x, y, z, w) of the 3x3 rotation matrix ``m``
    (normalised, so a calibration's slightly non-orthogonal matrix still
    gives a rotation).
    """
    trace = m[0][0] + m[1][1] + m[2][2]
    if trace > 0:
        s = 2.0 * math.sqrt(trace + 1.0)
        q = ((m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s, 0.25 * s)
    elif m[0][0] > m[1][1] and m[0][0] > m[2][2]:
        s = 2.0 * math.sqrt(1.0 + m[0][0] - m[1][1] - m[2][2])
        q = (0.25 * s, (m[0][1] + m[1][0]) / s, (m[0][2] + m[2][0]) / s, (m[2][1] - m[1][2]) / s)
    elif m[1][1] > m[2][2]:
        s = 2.0 * math.sqrt(1.0 + m[1][1] - m[0][0] - m[2][2])
        q = ((m[0][1] + m[1][0]) / s, 0.25 * s, (m[1][2] + m[2][1]) / s, (m[0][2] - m[2][0]) / s)
    else:
        s = 2.0 * math.sqrt(1.0 + m[2][2] - m[0][0] - m[1][1])
        q = ((m[0][2] + m[2][0]) / s, (m[1][2] + m[2][1]) / s, 0.25 * s, (m[1][0] - m[0][1]) / s)
    norm = math.sqrt(sum(v * v for v in q))
    return (q[0] / norm, q[1] / norm, q[2] / norm, q[3] / norm)
