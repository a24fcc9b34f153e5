# Names the signatures use that stubgen cannot import by itself.
vorn_camera_sdk\.platform\.linux\.__prefix__:
    \from typing import Optional
    \from vorn_camera_sdk.cameras.camera_spec import CaptureMode

vorn_camera_sdk\.platform\.capture\.__prefix__:
    \from typing import Iterator
    \from vorn_camera_sdk.cameras.camera_spec import CaptureMode

vorn_camera_sdk\.cameras\.camera_facts\.__prefix__:
    \from typing import Optional

# The record is a frozen, slotted dataclass: declare it as one, with its fields.
vorn_camera_sdk\.cameras\.camera_facts\.VornCameraFacts$:
    \import dataclasses
    \from vorn_camera_sdk.cameras.camera_spec import CameraSpec
    \from vorn_camera_sdk.calibration import Calibration
    @dataclasses.dataclass(frozen=True, slots=True)
    class VornCameraFacts:
        \doc
        os_id: str
        serial: str
        sku: str
        model_name: str
        spec: CameraSpec
        base_calibration: Calibration
        @classmethod
        def from_dict(cls, payload: dict, *, os_id: str) -> Optional['VornCameraFacts']: ...
        def to_dict(self) -> dict: ...

# Builtin-style functions and methods (plain vectorcall entry points): their
# signatures as the docstrings give them.
vorn_camera_sdk\.platform\.linux\._IOC$:
    def _IOC(direction: int, type_: str, nr: int, size: int) -> int:
        \doc

vorn_camera_sdk\.platform\.linux\._LinuxCameraControls\.get$:
    def get(self, name: str) -> Optional[float]:
        \doc

vorn_camera_sdk\.platform\.linux\._LinuxCameraControls\.set$:
    def set(self, name: str, value: float) -> bool:
        \doc

vorn_camera_sdk\.platform\.linux\.LinuxBackend\.av_open_args$:
    def av_open_args(self, os_id: str, mode: CaptureMode) -> tuple[str, str, dict]:
        \doc

# The calibration records are frozen dataclasses: declared as such, with
# their fields.
vorn_camera_sdk\.calibration\.__prefix__:
    \import dataclasses
    \from collections.abc import Mapping
    \from typing import Any

vorn_camera_sdk\.calibration\.CameraCalibration$:
    @dataclasses.dataclass(frozen=True)
    class CameraCalibration:
        \doc
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
        def from_dict(cls, block: Mapping[str, Any]) -> CameraCalibration: ...
        def to_dict(self) -> dict[str, Any]: ...
        @property
        def size(self) -> tuple[int, int]: ...
        @property
        def camera_matrix(self) -> Matrix3: ...
        @property
        def distortion(self) -> tuple[float, ...]: ...

vorn_camera_sdk\.calibration\.Calibration$:
    @dataclasses.dataclass(frozen=True)
    class Calibration:
        \doc
        version: int
        cameras: tuple[CameraCalibration, ...]
        @classmethod
        def from_dict(cls, block: Mapping[str, Any]) -> Calibration: ...
        def to_dict(self) -> dict[str, Any]: ...
        def camera(self, role: str) -> CameraCalibration: ...
        @property
        def left(self) -> CameraCalibration: ...
        @property
        def right(self) -> CameraCalibration: ...
        @property
        def baseline(self) -> float: ...

# The forms resolve_source_arg accepts, as one union for type checkers (its
# documented signature stays "resolve_source_arg(source) -> FrameSource").
vorn_camera_sdk\.sources\.factory\.resolve_source_arg$:
    \import pathlib
    \from typing import Union
    \from vorn_camera_sdk.cameras.camera_facts import VornCameraFacts
    def resolve_source_arg(source: Union[FrameSource, VornCameraFacts, str, pathlib.Path, None]) -> FrameSource:
        \doc

vorn_camera_sdk\.platform\.events\.__prefix__:
    \from typing import Optional
    \from vorn_camera_sdk.platform.base import VideoDeviceInfo

# The event is a frozen, slotted dataclass: declare it as one, with its fields.
vorn_camera_sdk\.platform\.events\.CameraEvent$:
    \import dataclasses
    @dataclasses.dataclass(frozen=True, slots=True)
    class CameraEvent:
        \doc
        kind: str
        os_id: str
        name: str
        serial: str
