"""Depth from a VORN camera's factory calibration: rectified pairs, disparity,
depth in metres and point clouds, on the CPU.

``Rectifier`` turns the calibration of a stereo capture mode into OpenCV's
rectification: each eye's intrinsics scaled from the calibrated image size to
the eye's size in the mode, the rational distortion model, and the right eye's
pose (``x_right = R @ x_left + t``, ``t`` in metres), which is OpenCV's own
convention for ``stereoRectify``. Remap tables are built once, in OpenCV's
fixed-point form.

``DepthEstimator`` runs OpenCV's semi-global matcher on the rectified pair and
gives ``DepthFrame`` records. The matcher is the floor of the cost; the work
around it is kept small: a JPEG is decoded straight to grey at the scale the
matcher runs at (libjpeg-turbo's DCT scaling), YUYV's luma is taken as it is
with no colour conversion, rectification uses the fixed-point tables, and the
colour picture is decoded only when a point cloud or a PNG asks for it.

OpenCV comes with the ``depth`` extra: ``pip install 'vorn-camera-sdk[depth]'``.
"""

from __future__ import annotations

import dataclasses
import importlib
import logging
import math
import os
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Mapping, Optional, Union

if TYPE_CHECKING:
    import numpy as np

    from .calibration import Calibration, CameraCalibration
    from .cameras.camera_facts import VornCameraFacts
    from .cameras.camera_spec import CaptureMode

    _Pair = tuple[np.ndarray, np.ndarray]  # a left and a right image
    _Maps = tuple[np.ndarray, np.ndarray]  # one eye's fixed-point remap tables

_LOGGER = logging.getLogger(__name__)

DEPTH_EXTRA_HINT = "pip install 'vorn-camera-sdk[depth]'"

# What to tell a user whose source has no calibration.
CALIBRATION_HINT = (
    "a live VORN camera, a recording that carries the camera facts, "
    "or a camera facts file written by `vorn-camera facts SERIAL -o FILE`"
)

# The eye aspect of a mode may differ this much from the calibrated image's
# before the mode counts as a crop the calibration does not describe.
ASPECT_TOLERANCE = 0.01

# Reductions a JPEG decoder gives for free (libjpeg's DCT scaling).
_REDUCTIONS = (1, 2, 4, 8)


def import_cv2() -> Any:
    """import_cv2() -> module

    OpenCV, imported on demand; without it an ImportError names the extra.
    """
    try:
        return importlib.import_module("cv2")
    except ImportError as exc:
        raise ImportError(f"depth needs OpenCV: {DEPTH_EXTRA_HINT}", name="cv2") from exc


def _numpy() -> Any:
    try:
        return importlib.import_module("numpy")
    except ImportError as exc:
        raise ImportError(f"depth needs NumPy: {DEPTH_EXTRA_HINT}", name="numpy") from exc


def calibration_of(value: Any) -> "Calibration":
    """calibration_of(value) -> Calibration

    The stereo calibration that ``value`` carries: a ``Calibration``, a
    ``VornCameraFacts`` record, a frame source with a ``record``, or the path
    of a camera facts JSON file. ValueError in one sentence when there is
    none or it is not a left/right pair.
    """
    if isinstance(value, (str, os.PathLike)):
        value = _facts_from_file(os.fspath(value))
    source = value
    if hasattr(value, "base_calibration"):
        value = value.base_calibration
    elif hasattr(value, "record") and not hasattr(value, "cameras"):
        record = value.record
        if record is None:
            where = getattr(value, "path", None) or repr(value)
            raise ValueError(f"{where} carries no camera calibration; depth needs {CALIBRATION_HINT}")
        value = record.base_calibration
    if value is None:
        raise ValueError(f"no camera calibration was given; depth needs {CALIBRATION_HINT}")
    try:
        value.left, value.right
    except (AttributeError, KeyError, LookupError):
        raise ValueError(
            f"{value!r} is not the calibration of a stereo pair (a left and a right camera); "
            f"depth needs {CALIBRATION_HINT}"
        ) from None
    return value


def _facts_from_file(path: str) -> "VornCameraFacts":
    import json

    from .cameras import VornCameraFacts

    try:
        with open(path, encoding="utf-8") as fh:
            payload = json.load(fh)
    except ValueError:  # not text, or not JSON
        payload = None
    record = VornCameraFacts.from_dict(payload, os_id="") if isinstance(payload, dict) else None
    if record is None:
        raise ValueError(f"{path!r} is not a camera facts file; write one with `vorn-camera facts SERIAL -o FILE`")
    return record


def _eye_intrinsics(np: Any, camera: "CameraCalibration", eye: tuple[int, int]) -> tuple["np.ndarray", "np.ndarray"]:
    """K and the distortion vector of ``camera`` scaled to an eye of size ``eye``."""
    width, height = eye
    calibrated = camera.width / camera.height
    if abs((width / height) / calibrated - 1.0) > ASPECT_TOLERANCE:
        raise ValueError(
            f"the {camera.role} eye of this mode is {width}x{height}, not the {camera.width}x{camera.height} "
            f"aspect the calibration describes (a crop it does not cover); depth needs a mode whose eyes "
            f"keep the calibrated aspect"
        )
    sx, sy = width / camera.width, height / camera.height
    k = np.array([[camera.fx * sx, 0.0, camera.cx * sx], [0.0, camera.fy * sy, camera.cy * sy], [0.0, 0.0, 1.0]])
    # OpenCV's rational model order: k1, k2, p1, p2, k3, k4, k5, k6.
    d = np.array([camera.k1, camera.k2, camera.p1, camera.p2, camera.k3, camera.k4, camera.k5, camera.k6])
    return k, d


class Rectifier:
    """The rectification of one stereo capture mode, from its calibration.

    Build it with ``Rectifier.from_calibration(calibration, mode)``.
    ``eye_size`` is one raw eye's (width, height) in the mode, ``size`` the
    rectified images' size (``scale`` times the eye). ``camera_matrices`` and
    ``distortions`` are the raw eyes' intrinsics scaled to the mode;
    ``rotations`` (R1, R2), ``projections`` (P1, P2) and ``q`` are OpenCV's
    rectification results for ``size``. ``baseline`` is in metres and
    ``focal_length`` in rectified pixels; a point at depth Z metres has the
    disparity ``focal_length * baseline / Z``.
    """

    def __init__(self, camera_matrices: tuple["np.ndarray", "np.ndarray"], distortions: tuple["np.ndarray", "np.ndarray"],
                 rotation: "np.ndarray", translation: "np.ndarray", eye_size: tuple[int, int], *, scale: float = 1.0, alpha: float = 0.0) -> None:
        """__init__(camera_matrices: tuple[ndarray, ndarray], distortions: tuple[ndarray, ndarray], rotation: ndarray, translation: ndarray, eye_size: tuple[int, int], *, scale: float = 1.0, alpha: float = 0.0) -> None

        The rectification of two eyes of ``eye_size`` with intrinsics
        ``camera_matrices`` and ``distortions`` (OpenCV's order), the right
        eye at ``x_right = rotation @ x_left + translation`` (metres).
        ``alpha`` is OpenCV's free-scaling parameter (0: only valid pixels).
        """
        cv2, np = import_cv2(), _numpy()
        if not scale > 0:
            raise ValueError(f"scale must be positive, not {scale!r}")
        self.eye_size = (int(eye_size[0]), int(eye_size[1]))
        self.size = (max(1, round(self.eye_size[0] * scale)), max(1, round(self.eye_size[1] * scale)))
        self.scale = scale
        self.camera_matrices = tuple(np.asarray(k, np.float64) for k in camera_matrices)
        self.distortions = tuple(np.asarray(d, np.float64).ravel() for d in distortions)
        self.rotation = np.asarray(rotation, np.float64).reshape(3, 3)
        self.translation = np.asarray(translation, np.float64).reshape(3, 1)
        # Rectified once at the eye size; a smaller output is the same
        # rectified view sampled more coarsely (pixel i of a 1/f image covers
        # full pixels f*i .. f*i+f-1), so every scale agrees on the geometry.
        r1, r2, p1, p2, _, _, _ = cv2.stereoRectify(
            self.camera_matrices[0], self.distortions[0], self.camera_matrices[1], self.distortions[1],
            self.eye_size, self.rotation, self.translation, flags=cv2.CALIB_ZERO_DISPARITY, alpha=alpha)
        sx, sy = self.size[0] / self.eye_size[0], self.size[1] / self.eye_size[1]
        for p in (p1, p2):
            p[0, :] *= sx
            p[1, :] *= sy
            p[0, 2] += 0.5 * sx - 0.5
            p[1, 2] += 0.5 * sy - 0.5
        if not (p2[0, 3] < 0 and abs(p2[1, 3]) < abs(p2[0, 3])):
            raise ValueError(
                f"the right eye sits at {(-self.rotation.T @ self.translation).ravel().round(4).tolist()} m from the "
                f"left one, not to its right: depth needs a side-by-side pair with the right eye on the right")
        self.rotations = (r1, r2)
        self.projections = (p1, p2)
        # OpenCV's reprojection matrix: (u, v, disparity, 1) -> homogeneous (X, Y, Z).
        f, tx = p1[0, 0], p2[0, 3] / p2[0, 0]
        self.q = np.array([[1.0, 0.0, 0.0, -p1[0, 2]], [0.0, 1.0, 0.0, -p1[1, 2]], [0.0, 0.0, 0.0, f],
                           [0.0, 0.0, -1.0 / tx, (p1[0, 2] - p2[0, 2]) / tx]])
        self._maps: dict[int, tuple[_Maps, _Maps]] = {}
        self._lock = threading.Lock()

    @classmethod
    def from_calibration(cls, calibration: Any, mode: "CaptureMode", *, scale: float = 1.0,
                         alpha: float = 0.0) -> "Rectifier":
        """from_calibration(calibration: Calibration, mode: CaptureMode, *, scale: float = 1.0, alpha: float = 0.0) -> Rectifier

        The rectification of stereo ``mode`` from ``calibration`` (a
        ``Calibration``, or anything ``calibration_of`` takes). Each eye's
        fx and cx scale by the eye's width over the calibrated width, fy and
        cy by the height ratio. ValueError for a mono mode, for a mode whose
        eyes differ in aspect from the calibrated images by more than 1 %,
        and for a missing calibration.
        """
        np = _numpy()
        calibration = calibration_of(calibration)
        if not getattr(mode, "stereo", False):
            raise ValueError(f"depth needs a stereo capture mode (two eyes side by side), not {mode!r}")
        eye = (mode.width // 2, mode.height)
        left, right = calibration.left, calibration.right
        k1, d1 = _eye_intrinsics(np, left, eye)
        k2, d2 = _eye_intrinsics(np, right, eye)
        # Both poses map from the left camera's frame; the right eye relative
        # to the left one is R = Rr Rl^T, t = tr - R tl (Rl = I, tl = 0 as sent).
        rl, tl = np.asarray(left.rotation, np.float64), np.asarray(left.translation, np.float64)
        rr, tr = np.asarray(right.rotation, np.float64), np.asarray(right.translation, np.float64)
        rotation = rr @ rl.T
        translation = tr - rotation @ tl
        return cls((k1, k2), (d1, d2), rotation, translation, eye, scale=scale, alpha=alpha)

    @property
    def baseline(self) -> float:
        """baseline -> float: the distance between the rectified eyes' centres, metres."""
        p2 = self.projections[1]
        return float(math.hypot(p2[0, 3], p2[1, 3]) / p2[0, 0])

    @property
    def focal_length(self) -> float:
        """focal_length -> float: the rectified eyes' focal length in rectified pixels."""
        return float(self.projections[0][0, 0])

    @property
    def principal_point(self) -> tuple[float, float]:
        """principal_point -> tuple[float, float]: the rectified left eye's (cx, cy) in pixels."""
        p1 = self.projections[0]
        return float(p1[0, 2]), float(p1[1, 2])

    def maps(self, reduction: int = 1) -> "tuple[_Maps, _Maps]":
        """maps(reduction: int = 1) -> tuple[tuple[ndarray, ndarray], tuple[ndarray, ndarray]]

        The fixed-point remap tables (CV_16SC2 and its interpolation table)
        of the left and the right eye, for raw eye images ``reduction`` times
        smaller than ``eye_size`` (a JPEG decoded at 1/2, 1/4 or 1/8 size).
        Built once per reduction.
        """
        with self._lock:
            built = self._maps.get(reduction)
            if built is None:
                built = self._maps[reduction] = (self._eye_maps(0, reduction), self._eye_maps(1, reduction))
            return built

    def _eye_maps(self, eye: int, reduction: int) -> "_Maps":
        cv2 = import_cv2()
        mx, my = cv2.initUndistortRectifyMap(self.camera_matrices[eye], self.distortions[eye], self.rotations[eye],
                                             self.projections[eye], self.size, cv2.CV_32FC1)
        if reduction != 1:
            # Pixel i of an image reduced by f covers full pixels f*i .. f*i+f-1.
            mx = (mx + 0.5) / reduction - 0.5
            my = (my + 0.5) / reduction - 0.5
        return cv2.convertMaps(mx, my, cv2.CV_16SC2)

    def rectify(self, left: "np.ndarray", right: "np.ndarray", *, reduction: int = 1,
                interpolation: Optional[int] = None) -> "_Pair":
        """rectify(left: ndarray, right: ndarray, *, reduction: int = 1, interpolation: Optional[int] = None) -> tuple[ndarray, ndarray]

        The rectified pair (each of ``size``) of raw eye images (grey or
        colour, views are fine) of ``eye_size`` divided by ``reduction``.
        """
        cv2 = import_cv2()
        (l1, l2), (r1, r2) = self.maps(reduction)
        how = cv2.INTER_LINEAR if interpolation is None else interpolation
        return cv2.remap(left, l1, l2, how), cv2.remap(right, r1, r2, how)

    def rectify_points(self, points: "np.ndarray", eye: str = "left") -> "np.ndarray":
        """rectify_points(points: ndarray, eye: str = "left") -> ndarray

        Raw pixel positions (N x 2, in ``eye_size`` pixels) of the ``eye``
        ("left" or "right") mapped to the rectified image (N x 2, in
        ``size`` pixels): undistorted, rotated and projected.
        """
        cv2, np = import_cv2(), _numpy()
        index = {"left": 0, "right": 1}.get(eye)
        if index is None:
            raise ValueError(f"eye must be 'left' or 'right', not {eye!r}")
        pts = np.asarray(points, np.float64).reshape(-1, 1, 2)
        criteria = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 50, 1e-10)
        k, d, r, p = (self.camera_matrices[index], self.distortions[index], self.rotations[index],
                      self.projections[index])
        if hasattr(cv2, "undistortPointsIter"):  # OpenCV 4 names the iterated form apart
            out = cv2.undistortPointsIter(pts, k, d, r, p, criteria)
        else:
            out = cv2.undistortPoints(pts, k, d, R=r, P=p, criteria=criteria)
        return out.reshape(-1, 2)


# ------------------------------------------------------------------------- the matcher


@dataclass(frozen=True)
class Preset:
    """A matcher setting: the working ``scale`` of the eyes (1, 1/2, 1/4,
    1/8), the nearest depth to find (sets the disparity range) and OpenCV's
    StereoSGBM parameters (``P1``/``P2`` of None: 8 and 32 times the block
    area)."""

    scale: float
    min_depth: float
    blockSize: int
    mode: str
    uniquenessRatio: int
    speckleWindowSize: int
    speckleRange: int
    disp12MaxDiff: int
    preFilterCap: int
    P1: Optional[int] = None
    P2: Optional[int] = None


PRESETS: dict[str, Preset] = {
    # Live use: the matcher at half the eye size, three-way SGM.
    "fast": Preset(scale=0.5, min_depth=0.3, blockSize=5, mode="SGBM_3WAY", uniquenessRatio=10,
                   speckleWindowSize=60, speckleRange=2, disp12MaxDiff=1, preFilterCap=31),
    # Offline use: the eyes at full size, five-direction SGM.
    "quality": Preset(scale=1.0, min_depth=0.3, blockSize=5, mode="SGBM", uniquenessRatio=8,
                      speckleWindowSize=120, speckleRange=2, disp12MaxDiff=1, preFilterCap=31),
}

# OpenCV's StereoSGBM parameters a caller may set, by their OpenCV names.
MATCHER_PARAMETERS = ("minDisparity", "numDisparities", "blockSize", "P1", "P2", "disp12MaxDiff", "preFilterCap",
                      "uniquenessRatio", "speckleWindowSize", "speckleRange", "mode")
_MODES = {"SGBM": "StereoSGBM_MODE_SGBM", "HH": "StereoSGBM_MODE_HH", "SGBM_3WAY": "StereoSGBM_MODE_SGBM_3WAY",
          "HH4": "StereoSGBM_MODE_HH4"}


def _reduction_for(preset: Preset, scale: Optional[float]) -> int:
    if scale is None:
        scale = preset.scale
    reduction = round(1 / scale) if scale > 0 else 0
    if reduction not in _REDUCTIONS or abs(1 / reduction - scale) > 1e-9:
        raise ValueError(f"scale must be 1, 1/2, 1/4 or 1/8, not {scale!r}")
    return reduction


@dataclass(frozen=True, eq=False)
class DepthFrame:
    """Depth of one stereo frame, in the left rectified eye's view.

    ``disparity`` (pixels) and ``depth`` (metres) are float32 arrays of the
    rectified size with NaN where the matcher found no valid match;
    ``valid`` is the boolean mask of the rest. ``rectified_left`` and
    ``rectified_right`` are the grey rectified pair the matcher saw.
    ``index``, ``sequence``, ``timestamp`` and ``dropped`` are those of the
    source frame. ``focal_length`` (pixels), ``principal_point`` and
    ``baseline`` (metres) are the rectified geometry.
    """

    disparity: "np.ndarray"
    depth: "np.ndarray"
    valid: "np.ndarray"
    rectified_left: "np.ndarray"
    rectified_right: "np.ndarray"
    index: int
    sequence: int
    timestamp: float
    dropped: int
    focal_length: float
    principal_point: tuple[float, float]
    baseline: float
    _colour: Optional[Callable[[], "_Pair"]] = dataclasses.field(default=None, repr=False)
    _cache: dict = dataclasses.field(default_factory=dict, repr=False)

    def __repr__(self) -> str:
        height, width = self.depth.shape
        share = float(self.valid.mean()) * 100 if self.valid.size else 0.0
        return (f"<DepthFrame index={self.index} sequence={self.sequence} timestamp={self.timestamp:.3f} "
                f"{width}x{height} valid={share:.1f}% dropped={self.dropped}>")

    def depth_mm(self) -> "np.ndarray":
        """depth_mm(self) -> numpy.ndarray

        The depth as uint16 millimetres, 0 where there is no valid match
        (and beyond 65.535 m): the usual depth-image convention.
        """
        np = _numpy()
        mm = np.zeros(self.depth.shape, np.uint16)
        metres = self.depth[self.valid]
        mm[self.valid] = np.where(metres * 1000.0 < 65535.5, np.rint(metres * 1000.0), 0).astype(np.uint16)
        return mm

    def rectified_color(self) -> tuple["np.ndarray", "np.ndarray"]:
        """rectified_color(self) -> tuple[numpy.ndarray, numpy.ndarray]

        The rectified left and right images in colour (BGR uint8, the
        rectified size), decoded on first call from the source frame; grey
        replicated to three channels when the source gave only grey.
        """
        pair = self._cache.get("colour")
        if pair is None:
            if self._colour is not None:
                pair = self._colour()
            else:
                cv2 = import_cv2()
                pair = (cv2.cvtColor(self.rectified_left, cv2.COLOR_GRAY2BGR),
                        cv2.cvtColor(self.rectified_right, cv2.COLOR_GRAY2BGR))
            self._cache["colour"] = pair
        return pair

    def point_cloud(self) -> tuple["np.ndarray", "np.ndarray"]:
        """point_cloud(self) -> tuple[numpy.ndarray, numpy.ndarray]

        The valid pixels as points: an N x 3 float32 array of (X, Y, Z) in
        metres in the left rectified camera's frame (X right, Y down, Z
        forward), and the N x 3 uint8 BGR colours of the same pixels.
        """
        np = _numpy()
        rows, cols = np.nonzero(self.valid)
        z = self.depth[rows, cols]
        cx, cy = self.principal_point
        f = np.float32(self.focal_length)
        points = np.empty((len(z), 3), np.float32)
        points[:, 0] = (cols.astype(np.float32) - np.float32(cx)) * z / f
        points[:, 1] = (rows.astype(np.float32) - np.float32(cy)) * z / f
        points[:, 2] = z
        colours = self.rectified_color()[0][rows, cols]
        return points, colours

    def write_ply(self, path: Union[str, "os.PathLike[str]"]) -> int:
        """write_ply(self, path: str | os.PathLike) -> int

        Write the point cloud with its colours as a binary PLY file at
        ``path``; returns the number of points.
        """
        np = _numpy()
        points, colours = self.point_cloud()
        vertices = np.empty(len(points), dtype=[("x", "<f4"), ("y", "<f4"), ("z", "<f4"),
                                                ("red", "u1"), ("green", "u1"), ("blue", "u1")])
        vertices["x"], vertices["y"], vertices["z"] = points[:, 0], points[:, 1], points[:, 2]
        vertices["red"], vertices["green"], vertices["blue"] = colours[:, 2], colours[:, 1], colours[:, 0]
        header = (
            "ply\nformat binary_little_endian 1.0\ncomment VORN depth, metres, left rectified camera frame\n"
            f"element vertex {len(points)}\nproperty float x\nproperty float y\nproperty float z\n"
            "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n"
        )
        with open(path, "wb") as fh:
            fh.write(header.encode("ascii"))
            fh.write(vertices.tobytes())
        return len(points)


class DepthEstimator:
    """Depth for the frames of one stereo capture mode of a calibrated camera.

    ``DepthEstimator(calibration, mode, *, preset="fast")``: ``calibration``
    is anything ``calibration_of`` takes (a ``Calibration``, a camera
    record, a facts file path). Presets: "fast" (live use: the matcher at
    half the eye size, three-way semi-global matching) and
    "quality" (offline: full eye size, five-direction matching).
    ``scale`` (1, 1/2, 1/4, 1/8) and ``min_depth`` (metres, sets the
    disparity range) override the preset, and so does any of OpenCV's
    StereoSGBM parameters given by its OpenCV name (``numDisparities=64``,
    ``mode="HH"``); ``matcher`` is the OpenCV matcher itself.

    ``compute(item)`` takes an undecoded packet (``.data`` of the mode's
    pixel format: a JPEG, or YUYV bytes), a decoded ``Frame`` or a whole
    side-by-side image, and gives a ``DepthFrame``.
    """

    def __init__(self, calibration: Any, mode: "CaptureMode", /, *, preset: str = "fast",
                 scale: Optional[float] = None, min_depth: Optional[float] = None, **matcher: Any) -> None:
        """__init__(calibration: Calibration, mode: CaptureMode, /, *, preset: str = "fast", scale: Optional[float] = None, min_depth: Optional[float] = None, **matcher: Any) -> None"""
        cv2, np = import_cv2(), _numpy()
        self._cv2, self._np = cv2, np
        chosen = PRESETS.get(preset)
        if chosen is None:
            raise ValueError(f"preset must be one of {', '.join(map(repr, PRESETS))}, not {preset!r}")
        unknown = sorted(set(matcher) - set(MATCHER_PARAMETERS))
        if unknown:
            raise TypeError(f"unknown matcher parameter {unknown[0]!r}; OpenCV's StereoSGBM takes "
                            f"{', '.join(MATCHER_PARAMETERS)}")
        self.preset = preset
        self.mode = mode
        fourcc = str(mode.fourcc).upper()
        if fourcc not in ("MJPG", "YUYV"):
            raise ValueError(f"depth decodes MJPG and YUYV modes, not {mode.fourcc!r}")
        self.fourcc = fourcc
        self.reduction = _reduction_for(chosen, scale)
        self.rectifier = Rectifier.from_calibration(calibration, mode, scale=1 / self.reduction)
        self.min_depth = chosen.min_depth if min_depth is None else float(min_depth)
        if not self.min_depth > 0:
            raise ValueError(f"min_depth must be a positive number of metres, not {min_depth!r}")
        params = {name: getattr(chosen, name) for name in MATCHER_PARAMETERS if hasattr(chosen, name)}
        params.update(matcher)
        widest = self.rectifier.focal_length * self.rectifier.baseline / self.min_depth
        params.setdefault("minDisparity", 0)
        params.setdefault("numDisparities", max(16, 16 * math.ceil(widest / 16)))
        area = params["blockSize"] ** 2
        params["P1"] = params.get("P1") or 8 * area
        params["P2"] = params.get("P2") or 32 * area
        mode_name = params.get("mode")
        if isinstance(mode_name, str):
            if mode_name not in _MODES:
                raise ValueError(f"matcher mode must be one of {', '.join(_MODES)}, not {mode_name!r}")
            params["mode"] = getattr(cv2, _MODES[mode_name])
        self.parameters: dict[str, int] = {k: int(v) for k, v in params.items()}
        self.matcher = cv2.StereoSGBM_create(**self.parameters)
        self._maps = self.rectifier.maps(self.reduction)
        self._full_maps = self.rectifier.maps(1) if fourcc == "YUYV" else None
        eye_w, eye_h = self.rectifier.eye_size
        self._decode_flag = {1: cv2.IMREAD_GRAYSCALE, 2: cv2.IMREAD_REDUCED_GRAYSCALE_2,
                             4: cv2.IMREAD_REDUCED_GRAYSCALE_4, 8: cv2.IMREAD_REDUCED_GRAYSCALE_8}[self.reduction]
        self._colour_flag = {1: cv2.IMREAD_COLOR, 2: cv2.IMREAD_REDUCED_COLOR_2,
                             4: cv2.IMREAD_REDUCED_COLOR_4, 8: cv2.IMREAD_REDUCED_COLOR_8}[self.reduction]
        self._eye = (eye_w, eye_h)

    def __repr__(self) -> str:
        w, h = self.rectifier.size
        return (f"<DepthEstimator preset={self.preset!r} {w}x{h} "
                f"disparities={self.parameters['numDisparities']} {self.mode.width}x{self.mode.height} {self.fourcc}>")

    @property
    def size(self) -> tuple[int, int]:
        """size -> tuple[int, int]: the (width, height) of the depth images."""
        return self.rectifier.size

    # -- getting the pair to the matcher's scale

    def _grey_pair(self, data: bytes) -> "_Pair":
        """Raw grey eyes at the matcher's reduction, as views where possible."""
        cv2, np = self._cv2, self._np
        eye_w, eye_h = self._eye
        if self.fourcc == "MJPG":
            grey = cv2.imdecode(np.frombuffer(data, np.uint8), self._decode_flag)
            if grey is None:
                raise ValueError("the frame is not a decodable JPEG")
            half = eye_w // self.reduction
            return grey[:, :half], grey[:, half : 2 * half]
        width, height = self.mode.width, self.mode.height
        if len(data) != width * height * 2:
            raise ValueError(f"a YUYV frame of {width}x{height} has {width * height * 2} bytes, not {len(data)}")
        # YUYV: every even byte is a luma sample; OpenCV's YUY2-to-grey copies
        # them out as they are (no colour arithmetic).
        luma = cv2.cvtColor(np.frombuffer(data, np.uint8).reshape(height, width, 2), cv2.COLOR_YUV2GRAY_YUY2)
        if self.reduction != 1:
            luma = cv2.resize(luma, (width // self.reduction, height // self.reduction), interpolation=cv2.INTER_AREA)
        half = eye_w // self.reduction
        return luma[:, :half], luma[:, half : 2 * half]

    def _colour_pair_of_packet(self, data: bytes) -> "_Pair":
        cv2, np = self._cv2, self._np
        eye_w = self._eye[0]
        if self.fourcc == "MJPG":
            image = cv2.imdecode(np.frombuffer(data, np.uint8), self._colour_flag)
        else:
            yuyv = np.frombuffer(data, np.uint8).reshape(self.mode.height, self.mode.width, 2)
            image = cv2.cvtColor(yuyv, cv2.COLOR_YUV2BGR_YUYV)
            if self.reduction != 1:
                image = cv2.resize(image, (self.mode.width // self.reduction, self.mode.height // self.reduction),
                                   interpolation=cv2.INTER_AREA)
        half = eye_w // self.reduction
        return self._rectify(image[:, :half], image[:, half : 2 * half])

    def _rectify(self, left: "np.ndarray", right: "np.ndarray") -> "_Pair":
        cv2 = self._cv2
        (l1, l2), (r1, r2) = self._maps
        return cv2.remap(left, l1, l2, cv2.INTER_LINEAR), cv2.remap(right, r1, r2, cv2.INTER_LINEAR)

    # -- computing

    def compute(self, item: Any, *, index: Optional[int] = None) -> DepthFrame:
        """compute(item: Packet | Frame | ndarray, *, index: Optional[int] = None) -> DepthFrame

        Depth of one stereo frame: an undecoded packet of the mode (``data``,
        ``sequence``, ``timestamp``, ``dropped``), a decoded ``Frame`` or a
        whole side-by-side image (BGR or grey). ``index`` overrides the
        item's own. ValueError for a packet that does not decode.
        """
        data = None if isinstance(item, self._np.ndarray) else getattr(item, "data", None)
        meta = (getattr(item, "sequence", -1), getattr(item, "timestamp", 0.0), getattr(item, "dropped", 0))
        if data is not None:
            left, right = self._grey_pair(data)
            rect_l, rect_r = self._rectify(left, right)
            colour: Callable[[], _Pair] = lambda: self._colour_pair_of_packet(data)  # noqa: E731
            return self._match(rect_l, rect_r, colour, index if index is not None else -1, *meta)
        image = getattr(item, "image", item)
        return self.compute_image(image, index=index if index is not None else getattr(item, "index", -1),
                                  sequence=meta[0], timestamp=meta[1], dropped=meta[2])

    def compute_image(self, image: "np.ndarray", *, index: int = -1, sequence: int = -1, timestamp: float = 0.0,
                      dropped: int = 0) -> DepthFrame:
        """compute_image(image: ndarray, *, index: int = -1, sequence: int = -1, timestamp: float = 0.0, dropped: int = 0) -> DepthFrame

        Depth of a whole side-by-side image of the mode's size (BGR or grey).
        """
        cv2 = self._cv2
        grey = image if image.ndim == 2 else cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
        height, width = grey.shape[:2]
        if (width, height) != (self.mode.width, self.mode.height):
            raise ValueError(f"the image is {width}x{height}, not the mode's {self.mode.width}x{self.mode.height}")
        if self.reduction != 1:
            grey = cv2.resize(grey, (width // self.reduction, height // self.reduction), interpolation=cv2.INTER_AREA)
        half = self._eye[0] // self.reduction
        rect_l, rect_r = self._rectify(grey[:, :half], grey[:, half : 2 * half])

        def colour() -> "_Pair":
            if image.ndim == 2:
                return cv2.cvtColor(rect_l, cv2.COLOR_GRAY2BGR), cv2.cvtColor(rect_r, cv2.COLOR_GRAY2BGR)
            small = image if self.reduction == 1 else cv2.resize(
                image, (width // self.reduction, height // self.reduction), interpolation=cv2.INTER_AREA)
            return self._rectify(small[:, :half], small[:, half : 2 * half])

        return self._match(rect_l, rect_r, colour, index, sequence, timestamp, dropped)

    def compute_rectified(self, left: "np.ndarray", right: "np.ndarray", *, index: int = -1, sequence: int = -1,
                          timestamp: float = 0.0, dropped: int = 0) -> DepthFrame:
        """compute_rectified(left: ndarray, right: ndarray, *, index: int = -1, sequence: int = -1, timestamp: float = 0.0, dropped: int = 0) -> DepthFrame

        Depth of an already rectified grey pair of ``size``.
        """
        return self._match(left, right, None, index, sequence, timestamp, dropped)

    def _match(self, left: "np.ndarray", right: "np.ndarray", colour: Optional[Callable[[], "_Pair"]], index: int,
               sequence: int, timestamp: float, dropped: int) -> DepthFrame:
        np = self._np
        fixed = self.matcher.compute(left, right)  # int16, 1/16 pixel; OpenCV releases the GIL
        valid = fixed > max(0, self.parameters["minDisparity"] * 16)
        disparity = fixed.astype(np.float32)
        disparity *= np.float32(1 / 16)
        disparity[~valid] = np.nan
        f, b = self.rectifier.focal_length, self.rectifier.baseline
        depth = np.float32(f * b) / disparity
        return DepthFrame(disparity, depth, valid, left, right, int(index), int(sequence), float(timestamp),
                          int(dropped), f, self.rectifier.principal_point, b, colour)


# ------------------------------------------------------------------------- pictures


def depth_range(depth: "np.ndarray", near: Optional[float] = None, far: Optional[float] = None) -> tuple[float, float]:
    """depth_range(depth: ndarray, near: Optional[float] = None, far: Optional[float] = None) -> tuple[float, float]

    The range in metres a colourised depth image spans: ``near``/``far``
    where given, else the 2nd and 98th percentiles of the valid depths
    ((0.3, 5.0) without any), widened to a quarter of its middle at least.
    """
    np = _numpy()
    finite = depth[np.isfinite(depth)]
    if finite.size and (near is None or far is None):
        lo, hi = np.percentile(finite, (2, 98))
        near = float(lo) if near is None else near
        far = float(hi) if far is None else far
    near = 0.3 if near is None else float(near)
    far = 5.0 if far is None else float(far)
    # A flat scene spans next to nothing: at least a quarter of its distance,
    # so the matcher's noise does not fill the whole colour map.
    least = max(0.05, 0.25 * (near + far) / 2)
    if far - near < least:
        middle = (near + far) / 2
        near, far = max(0.0, middle - least / 2), middle + least / 2
    return near, far


def colorize(depth: "np.ndarray", near: Optional[float] = None,
             far: Optional[float] = None) -> tuple["np.ndarray", tuple[float, float]]:
    """colorize(depth: ndarray, near: Optional[float] = None, far: Optional[float] = None) -> tuple[ndarray, tuple[float, float]]

    A BGR picture of a depth image in metres: near red through far blue
    (OpenCV's turbo colour map), black where there is no depth; and the
    (near, far) range it spans, for a legend (see ``depth_range``).
    """
    cv2, np = import_cv2(), _numpy()
    near, far = depth_range(depth, near, far)
    with np.errstate(invalid="ignore"):
        level = (far - np.nan_to_num(depth, nan=far)) / (far - near)
    grey = np.clip(level * 255.0, 0, 255).astype(np.uint8)
    picture = cv2.applyColorMap(grey, cv2.COLORMAP_TURBO)
    picture[~np.isfinite(depth)] = 0
    return picture, (near, far)


def write_outputs(frame: DepthFrame, folder: Union[str, "os.PathLike[str]"]) -> list[str]:
    """write_outputs(frame: DepthFrame, folder: str | os.PathLike) -> list[str]

    Write ``frame`` into ``folder`` (made if missing): depth.png (16-bit
    millimetres, 0 for none), depth_color.png, left_rectified.png,
    right_rectified.png and cloud.ply. Returns the paths written.
    """
    cv2 = import_cv2()
    os.makedirs(folder, exist_ok=True)
    left, right = frame.rectified_color()
    pictures = {"depth.png": frame.depth_mm(), "depth_color.png": colorize(frame.depth)[0],
                "left_rectified.png": left, "right_rectified.png": right}
    written = []
    for name, picture in pictures.items():
        path = os.path.join(folder, name)
        if not cv2.imwrite(path, picture):
            raise OSError(f"cannot write {path}")
        written.append(path)
    cloud = os.path.join(folder, "cloud.ply")
    frame.write_ply(cloud)
    written.append(cloud)
    return written


def depth_snapshot(source: Any, out_dir: Union[str, "os.PathLike[str]"], *, at: Optional[float] = None,
                   preset: str = "fast", calibration: Any = None) -> list[str]:
    """depth_snapshot(source, out_dir: str | os.PathLike, *, at: Optional[float] = None, preset: str = "fast", calibration: Any = None) -> list[str]

    The depth of one fresh frame of ``source`` (anything ``resolve_source_arg``
    takes: a live camera gives its newest frame, a recording its first frame
    at or after ``at`` seconds) written by ``write_outputs`` into ``out_dir``;
    ``calibration`` (anything ``calibration_of`` takes) stands in for the
    source's own. Returns the paths written. ValueError for a source without a stereo mode
    or a calibration, or without a frame at ``at``.
    """
    from .recording import _is_camera_source, describe_source, open_packet_source, source_mode

    packet_source = open_packet_source(source, latest=True)
    try:
        if at is not None and _is_camera_source(packet_source):
            raise ValueError("--at applies to recordings only; a live camera gives its newest frame")
        estimator = DepthEstimator(packet_source if calibration is None else calibration,
                                   source_mode(packet_source), preset=preset)
        chosen, last = None, None
        packets = packet_source.packets()
        for packet in packets:
            if at is None or packet.timestamp >= at:
                chosen = packet
                break
            last = packet.timestamp
        close = getattr(packets, "close", None)
        if close is not None:
            close()
        if chosen is None:
            where = describe_source(packet_source)
            if at is None or last is None:
                raise ValueError(f"{where} has no frame")
            raise ValueError(f"{where} has no frame at {at} s: the recording is {last:.2f} s long")
        frame = estimator.compute(chosen, index=0)
    finally:
        packet_source.close()
    return write_outputs(frame, out_dir)


def legend(near: float, far: float, stops: int = 6) -> list[tuple[float, str]]:
    """legend(near: float, far: float, stops: int = 6) -> list[tuple[float, str]]

    Evenly spaced (metres, "#rrggbb") stops of the colour map ``colorize``
    uses over [near, far], nearest first: a page draws its legend from them.
    """
    cv2, np = import_cv2(), _numpy()
    levels = np.linspace(255, 0, stops).round().astype(np.uint8).reshape(-1, 1)
    colours = cv2.applyColorMap(levels, cv2.COLORMAP_TURBO).reshape(-1, 3)
    metres = np.linspace(near, far, stops)
    return [(float(m), "#{:02x}{:02x}{:02x}".format(int(c[2]), int(c[1]), int(c[0]))) for m, c in zip(metres, colours)]


def guide_lines(pair: "_Pair", spacing: int = 24) -> "np.ndarray":
    """guide_lines(pair: tuple[numpy.ndarray, numpy.ndarray], spacing: int = 24) -> numpy.ndarray

    The rectified pair side by side (BGR) with a horizontal line every
    ``spacing`` rows: on a good calibration a feature lies on the same line
    in both halves.
    """
    np = _numpy()
    left, right = pair
    both = np.concatenate([left, right], axis=1)
    if both.ndim == 2:
        both = np.repeat(both[:, :, None], 3, axis=2)
    both[spacing // 2 :: spacing, :, :] = (0, 255, 0)
    return both


def mode_calibration(calibration: "Calibration", mode: "CaptureMode") -> list[dict[str, Any]]:
    """mode_calibration(calibration: Calibration, mode: CaptureMode) -> list[dict[str, Any]]

    Each camera of ``calibration`` (left, then right) as a stream of
    ``mode`` sees it, JSON-ready: "role", the eye's "width" and "height",
    fx, fy, cx, cy scaled to it (as depth scales them), the distortion
    k1..k6, p1, p2 and the pose ("rotation" rows, "translation" metres).
    Needs no OpenCV.
    """
    width, height = (mode.width // 2 if mode.stereo else mode.width), mode.height
    eyes = []
    for camera in (calibration.left, calibration.right):
        sx, sy = width / camera.width, height / camera.height
        eyes.append({
            "role": camera.role, "width": width, "height": height,
            "fx": camera.fx * sx, "fy": camera.fy * sy, "cx": camera.cx * sx, "cy": camera.cy * sy,
            **{name: float(getattr(camera, name)) for name in ("k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6")},
            "rotation": [[float(v) for v in row] for row in camera.rotation],
            "translation": [float(v) for v in camera.translation],
        })
    return eyes


def _jpeg(picture: "np.ndarray", quality: int) -> bytes:
    cv2 = import_cv2()
    ok, data = cv2.imencode(".jpg", picture, [cv2.IMWRITE_JPEG_QUALITY, int(quality)])
    if not ok:
        raise ValueError("the picture could not be encoded as a JPEG")
    return bytes(data)


class RectifiedView:
    """A viewer's "rectified" picture of a stream: each packet's eyes
    rectified (at the fast preset's scale) side by side with horizontal
    guide lines, as a JPEG. Called on the producer's thread, only while a
    page shows it."""

    def __init__(self, calibration: Any, mode: "CaptureMode") -> None:
        """__init__(calibration: Calibration, mode: CaptureMode) -> None"""
        self.estimator = DepthEstimator(calibration, mode)

    def __call__(self, packet: Any) -> bytes:
        """__call__(packet) -> bytes: the JPEG of ``packet``'s rectified pair (black for a damaged packet)."""
        try:
            pair = self.estimator._colour_pair_of_packet(packet.data)
        except (ValueError, AttributeError, TypeError):  # no image in the packet
            np = _numpy()
            width, height = self.estimator.size
            pair = (np.zeros((height, width, 3), np.uint8),) * 2
        return _jpeg(guide_lines(pair), 85)


class DepthView:
    """A viewer's "depth" picture of a stream: each packet's depth (fast
    preset) colourised over a range that settles on the scene, as a JPEG;
    ``distance_at`` reads the newest depth under a point. Called on the
    producer's thread, only while a page shows it."""

    def __init__(self, calibration: Any, mode: "CaptureMode") -> None:
        """__init__(calibration: Calibration, mode: CaptureMode) -> None"""
        self.estimator = DepthEstimator(calibration, mode)
        self.latest: Optional[DepthFrame] = None
        self.range: Optional[tuple[float, float]] = None
        self._jpeg: Optional[bytes] = None

    def __call__(self, packet: Any) -> bytes:
        """__call__(packet) -> bytes: the JPEG of ``packet``'s colourised depth (a damaged packet: the last one's)."""
        try:
            frame = self.estimator.compute(packet)
        except ValueError:
            if self._jpeg is None:
                width, height = self.estimator.size
                self._jpeg = _jpeg(_numpy().zeros((height, width, 3), _numpy().uint8), 85)
            return self._jpeg
        near, far = depth_range(frame.depth)
        if self.range is not None:  # eased towards the scene's, so the colours hold still
            near, far = (0.8 * self.range[0] + 0.2 * near, 0.8 * self.range[1] + 0.2 * far)
        self.range = (round(near, 3), round(far, 3))
        self.latest = frame
        self._jpeg = _jpeg(colorize(frame.depth, *self.range)[0], 85)
        return self._jpeg

    def reading(self, x: float, y: float) -> dict[str, Any]:
        """reading(x: float, y: float) -> dict[str, Any]

        What a page shows for the point (x, y), fractions (0..1) of the
        picture: "distance" in metres (None without depth there), the
        legend's "near" and "far" metres and its colour "stops".
        """
        frame, span = self.latest, self.range or (0.3, 5.0)
        distance = None
        if frame is not None and 0 <= x <= 1 and 0 <= y <= 1:
            height, width = frame.depth.shape
            value = float(frame.depth[min(int(y * height), height - 1), min(int(x * width), width - 1)])
            distance = None if math.isnan(value) else round(value, 4)
        return {"distance": distance, "near": span[0], "far": span[1], "stops": legend(*span)}
