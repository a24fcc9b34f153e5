"""Rendered stereo scenes with known depth, for the depth tests and benchmark.

Every pixel of each raw (distorted) eye is cast as a ray: undistorted with the
calibration's own model (cv2.undistortPoints), turned into the left camera's
frame by the eye's pose, and intersected with the scene's surfaces; the
surface point's texture (value noise at several scales, in metres on the
surface) is the pixel's brightness, averaged over 2x2 samples per pixel.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass

import cv2
import numpy as np

from harness.feeds import RECORD
from vorn_camera_sdk.platform.capture import Packet
from vorn_camera_sdk.cameras.camera_spec import CaptureMode

CALIBRATION = RECORD.base_calibration
SMALL = CaptureMode(1280, 360, 30, "MJPG", stereo=True)  # eyes 640x360 of a 1280x720 calibration
LARGE = CaptureMode(2560, 720, 30, "MJPG", stereo=True)  # eyes at the calibrated size
SMALL_YUYV = CaptureMode(1280, 360, 25, "YUYV", stereo=True)


@dataclass(frozen=True)
class Scene:
    """Planes Z = z (left camera frame) split at X = step_x (the first plane
    left of it, the second right of it); ``slope`` tilts both planes by dZ/dX."""

    name: str
    near: float
    far: float | None = None
    step_x: float = 0.0
    slope: float = 0.0

    def hit(self, origin: np.ndarray, direction: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The ray parameters and surface points (N x 3) of rays origin + s * direction."""
        planes = [(self.near, -np.inf, self.step_x if self.far is not None else np.inf)]
        if self.far is not None:
            planes.append((self.far, self.step_x, np.inf))
        best = np.full(len(direction), np.inf)
        for z0, lo, hi in planes:
            # Z - slope * X = z0
            denom = direction[:, 2] - self.slope * direction[:, 0]
            s = (z0 - origin[2] + self.slope * origin[0]) / denom
            x = origin[0] + s * direction[:, 0]
            ok = (s > 0) & (x >= lo) & (x < hi)
            best = np.where(ok & (s < best), s, best)
        if self.far is not None:  # the step's side wall, X = step_x between the two planes
            s = (self.step_x - origin[0]) / direction[:, 0]
            z = origin[2] + s * direction[:, 2]
            ok = (s > 0) & (z >= self.near + self.slope * self.step_x) & (z <= self.far + self.slope * self.step_x)
            best = np.where(ok & (s < best), s, best)
        return best, origin[None, :] + best[:, None] * direction


SCENES = {
    "plane-0.7m": Scene("plane-0.7m", 0.7),
    "plane-1.2m": Scene("plane-1.2m", 1.2),
    "plane-2.0m": Scene("plane-2.0m", 2.0),
    "slanted": Scene("slanted", 1.1, slope=0.5),
    "step": Scene("step", 0.8, 1.4, step_x=0.05),
}


def texture(u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Value noise over surface coordinates in metres, cells of 6 mm to 10 cm."""
    rng = np.random.default_rng(7)
    out = np.zeros_like(u)
    for cell, weight in ((0.006, 0.5), (0.012, 0.8), (0.025, 1.0), (0.05, 0.8), (0.1, 0.6)):
        table = rng.random((512, 512))
        x, y = u / cell + 1000.5, v / cell + 1000.5
        x0, y0 = np.floor(x), np.floor(y)
        fx, fy = x - x0, y - y0
        fx, fy = fx * fx * (3 - 2 * fx), fy * fy * (3 - 2 * fy)
        i, j = x0.astype(np.int64) % 512, y0.astype(np.int64) % 512
        i1, j1 = (i + 1) % 512, (j + 1) % 512
        top = table[j, i] * (1 - fx) + table[j, i1] * fx
        bottom = table[j1, i] * (1 - fx) + table[j1, i1] * fx
        out += weight * (top * (1 - fy) + bottom * fy)
    return out / 3.7


def eye_model(role: str, mode: CaptureMode) -> tuple[np.ndarray, np.ndarray]:
    """K and OpenCV's rational distortion vector of eye ``role``, scaled to ``mode``'s eyes."""
    c = CALIBRATION.camera(role)
    sx, sy = (mode.width // 2) / c.width, mode.height / c.height
    k = np.array([[c.fx * sx, 0, c.cx * sx], [0, c.fy * sy, c.cy * sy], [0, 0, 1]])
    return k, np.array([c.k1, c.k2, c.p1, c.p2, c.k3, c.k4, c.k5, c.k6])


def _eye_pose(role: str) -> tuple[np.ndarray, np.ndarray]:
    camera = CALIBRATION.camera(role)
    return np.asarray(camera.rotation, float), np.asarray(camera.translation, float)


def render_eye(scene: Scene, mode: CaptureMode, role: str) -> np.ndarray:
    """The raw grey image (float, 0..1) that eye ``role`` of ``mode`` sees."""
    eye = (mode.width // 2, mode.height)
    k, d = eye_model(role, mode)
    rotation, translation = _eye_pose(role)
    total = np.zeros(eye[1] * eye[0])
    for dx, dy in ((-0.25, -0.25), (0.25, -0.25), (-0.25, 0.25), (0.25, 0.25)):
        ys, xs = np.mgrid[0 : eye[1], 0 : eye[0]].astype(np.float64)
        pixels = np.stack([xs.ravel() + dx, ys.ravel() + dy], axis=1).reshape(-1, 1, 2)
        rays = cv2.undistortPoints(pixels, k, d, criteria=(cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 40, 1e-10))
        direction_cam = np.concatenate([rays.reshape(-1, 2), np.ones((len(pixels), 1))], axis=1)
        # x_eye = R x_left + t: the eye's centre is -R^T t, its rays R^T d.
        origin = -rotation.T @ translation
        _, points = scene.hit(origin, direction_cam @ rotation)
        total += texture(points[:, 0] + 0.3 * points[:, 2], points[:, 1])
    return (total / 4).reshape(eye[1], eye[0])


@functools.cache
def render(scene_name: str, mode: CaptureMode) -> np.ndarray:
    """The side-by-side BGR uint8 frame of ``mode`` showing the scene."""
    scene = SCENES[scene_name]
    grey = np.concatenate([render_eye(scene, mode, "left"), render_eye(scene, mode, "right")], axis=1)
    level = np.clip(grey * 230 + 15, 0, 255)
    return np.stack([level, level * 0.9 + 12, level * 0.8 + 20], axis=2).clip(0, 255).astype(np.uint8)


def encode(image: np.ndarray, fourcc: str) -> bytes:
    """The frame as the camera sends it: a 4:2:2 JPEG (quality 85) or YUYV bytes."""
    if fourcc == "MJPG":
        ok, data = cv2.imencode(".jpg", image, [cv2.IMWRITE_JPEG_QUALITY, 85, cv2.IMWRITE_JPEG_SAMPLING_FACTOR,
                                                cv2.IMWRITE_JPEG_SAMPLING_FACTOR_422])
        assert ok
        return data.tobytes()
    import av

    return av.VideoFrame.from_ndarray(image, format="bgr24").reformat(format="yuyv422").to_ndarray().tobytes()


def true_depth(scene_name: str, rectifier) -> np.ndarray:
    """Z in the left rectified camera's frame for every pixel of ``rectifier.size``."""
    width, height = rectifier.size
    p1 = rectifier.projections[0]
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float64)
    rect = np.stack([(xs.ravel() - p1[0, 2]) / p1[0, 0], (ys.ravel() - p1[1, 2]) / p1[1, 1],
                     np.ones(xs.size)], axis=1)
    # Rectified rays back in the left camera's frame: R1^T d; their z in the
    # rectified frame stays 1, so the ray parameter is the rectified depth.
    s, _ = SCENES[scene_name].hit(np.zeros(3), rect @ rectifier.rotations[0])
    return s.reshape(height, width)


def project(points: np.ndarray, mode: CaptureMode, role: str) -> np.ndarray:
    """Raw pixel positions (N x 2) of 3-D points (left camera frame) in eye ``role``."""
    k, d = eye_model(role, mode)
    rotation, translation = _eye_pose(role)
    pixels, _ = cv2.projectPoints(points.reshape(-1, 1, 3), cv2.Rodrigues(rotation)[0], translation, k, d)
    return pixels.reshape(-1, 2)


class RenderedFeed:
    """MJPG packets of rendered scenes, as the recorder and the engine seam take them."""

    def __init__(self, mode, scenes):
        self.mode, self.record = mode, RECORD
        self.sent = [Packet(encode(render(name, mode), "MJPG"), 100 + i, 40.0 + i / mode.fps, 0)
                     for i, name in enumerate(scenes)]

    def packets(self):
        return iter(self.sent)

    def close(self):
        pass
