"""Yardstick: the calibration record written in plain Python (dataclasses), for bench_all.py."""
from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

__all__ = ["CameraCalibration", "Calibration"]

Matrix3 = tuple[tuple[float, float, float], tuple[float, float, float], tuple[float, float, float]]
Vector3 = tuple[float, float, float]

_ROLES = ("left", "right")
_DISTORTION_KEYS = ("k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6")


def _number(value: Any, where: str) -> float:
    # bool is an int subclass, but True is no focal length.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{where} must be a number, not {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:  # an integer beyond the float range
        raise ValueError(f"{where} is too large for a float") from None
    if not math.isfinite(number):
        raise ValueError(f"{where} must be finite, got {value!r}")
    return number


def _size(value: Any, where: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{where} must be an int, not {type(value).__name__}")
    if value <= 0:
        raise ValueError(f"{where} must be positive, got {value!r}")
    return value


def _vector(value: Any, where: str) -> Vector3:
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"{where} must be a list of 3 numbers, not {type(value).__name__}")
    if len(value) != 3:
        raise ValueError(f"{where} must have 3 entries, got {len(value)}")
    return tuple(_number(x, f"{where}[{i}]") for i, x in enumerate(value))  # type: ignore[return-value]


def _matrix(value: Any, where: str) -> Matrix3:
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"{where} must be a 3x3 list of rows, not {type(value).__name__}")
    if len(value) != 3:
        raise ValueError(f"{where} must be 3x3, got {len(value)} rows")
    return tuple(_vector(row, f"{where}[{i}]") for i, row in enumerate(value))  # type: ignore[return-value]


@dataclass(frozen=True)
class CameraCalibration:
    """One camera of a stereo pair: image size, intrinsics, distortion and pose.

    ``rotation``/``translation`` map points from the left camera's frame into
    this camera's frame (translation in metres).
    """

    role: str
    width: int
    height: int
    fx: float
    fy: float
    cx: float
    cy: float
    rotation: Matrix3
    translation: Vector3
    k1: float = 0.0
    k2: float = 0.0
    p1: float = 0.0
    p2: float = 0.0
    k3: float = 0.0
    k4: float = 0.0
    k5: float = 0.0
    k6: float = 0.0

    @classmethod
    def from_dict(cls, block: Mapping[str, Any]) -> "CameraCalibration":
        """from_dict(block: Mapping[str, Any]) -> CameraCalibration

        Read one entry of the block's "cameras" list. Raises KeyError for a
        missing required key, TypeError for a value of the wrong type and
        ValueError for a value out of range. Missing distortion terms are 0.0.
        """
        if not isinstance(block, Mapping):
            raise TypeError(f"a camera entry must be a mapping, not {type(block).__name__}")
        role = block["role"]
        if not isinstance(role, str):
            raise TypeError(f"camera role must be a str, not {type(role).__name__}")
        where = f"{role} camera"
        fx = _number(block["fx"], f"{where} fx")
        fy = _number(block["fy"], f"{where} fy")
        if fx <= 0 or fy <= 0:
            raise ValueError(f"{where} focal lengths must be positive, got fx={fx!r} fy={fy!r}")
        return cls(
            role=role,
            width=_size(block["width"], f"{where} width"),
            height=_size(block["height"], f"{where} height"),
            fx=fx,
            fy=fy,
            cx=_number(block["cx"], f"{where} cx"),
            cy=_number(block["cy"], f"{where} cy"),
            rotation=_matrix(block["rotation"], f"{where} rotation"),
            translation=_vector(block["translation"], f"{where} translation"),
            **{key: _number(block.get(key, 0.0), f"{where} {key}") for key in _DISTORTION_KEYS},
        )

    def to_dict(self) -> dict[str, Any]:
        """to_dict() -> dict[str, Any]

        The entry as the device-info endpoint sends it (JSON-ready lists).
        """
        return {
            "role": self.role,
            "width": self.width,
            "height": self.height,
            "fx": self.fx,
            "fy": self.fy,
            "cx": self.cx,
            "cy": self.cy,
            "k1": self.k1,
            "k2": self.k2,
            "p1": self.p1,
            "p2": self.p2,
            "k3": self.k3,
            "k4": self.k4,
            "k5": self.k5,
            "k6": self.k6,
            "rotation": [list(row) for row in self.rotation],
            "translation": list(self.translation),
        }

    @property
    def size(self) -> tuple[int, int]:
        """size -> tuple[int, int]

        The calibrated image size as (width, height), as OpenCV takes it.
        """
        return (self.width, self.height)

    @property
    def camera_matrix(self) -> Matrix3:
        """camera_matrix -> tuple[tuple[float, float, float], ...]

        The 3x3 intrinsic matrix K = ((fx, 0, cx), (0, fy, cy), (0, 0, 1)).
        """
        return ((self.fx, 0.0, self.cx), (0.0, self.fy, self.cy), (0.0, 0.0, 1.0))

    @property
    def distortion(self) -> tuple[float, ...]:
        """distortion -> tuple[float, ...]

        The distortion vector in OpenCV's order: (k1, k2, p1, p2, k3, k4, k5, k6).
        """
        return tuple(getattr(self, key) for key in _DISTORTION_KEYS)


@dataclass(frozen=True)
class Calibration:
    """The factory calibration of one stereo camera: a left and a right camera.

    Build it with :meth:`from_dict` from the device-info block and write it
    back with :meth:`to_dict`; the two round-trip. Records are immutable and
    hashable.
    """

    version: int
    cameras: tuple[CameraCalibration, ...]

    @classmethod
    def from_dict(cls, block: Mapping[str, Any]) -> "Calibration":
        """from_dict(block: Mapping[str, Any]) -> Calibration

        Deserialise a calibration block. Raises KeyError when a required key
        is missing ("version", "cameras", and per camera "role", "width",
        "height", "fx", "fy", "cx", "cy", "rotation", "translation"),
        TypeError for a value of the wrong type (bools are not numbers), and
        ValueError when the roles are not exactly one "left" and one "right",
        a size or focal length is not positive, a number is not finite,
        "rotation" is not 3x3 or "translation" has not 3 entries.
        """
        if not isinstance(block, Mapping):
            raise TypeError(f"a calibration block must be a mapping, not {type(block).__name__}")
        version = block["version"]
        if isinstance(version, bool) or not isinstance(version, int):
            raise TypeError(f"calibration version must be an int, not {type(version).__name__}")
        entries = block["cameras"]
        if not isinstance(entries, (list, tuple)):
            raise TypeError(f"calibration cameras must be a list, not {type(entries).__name__}")
        cameras = tuple(CameraCalibration.from_dict(entry) for entry in entries)
        roles = sorted(camera.role for camera in cameras)
        if roles != list(_ROLES):
            raise ValueError(f"calibration must have exactly one 'left' and one 'right' camera, got roles {roles!r}")
        return cls(version=version, cameras=cameras)

    def to_dict(self) -> dict[str, Any]:
        """to_dict() -> dict[str, Any]

        The calibration block {"version", "cameras": [...]} that
        :meth:`from_dict` reads back into an equal record.
        """
        return {"version": self.version, "cameras": [camera.to_dict() for camera in self.cameras]}

    def camera(self, role: str) -> CameraCalibration:
        """camera(role: str) -> CameraCalibration

        The camera with role "left" or "right"; KeyError for any other role.
        """
        for camera in self.cameras:
            if camera.role == role:
                return camera
        raise KeyError(role)

    @property
    def left(self) -> CameraCalibration:
        """left -> CameraCalibration"""
        return self.camera("left")

    @property
    def right(self) -> CameraCalibration:
        """right -> CameraCalibration"""
        return self.camera("right")

    @property
    def baseline(self) -> float:
        """baseline -> float

        The stereo baseline in metres: the length of the right camera's
        translation from the left camera.
        """
        return math.dist(self.right.translation, self.left.translation)
