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

# The forms resolve_source_arg accepts, as one union for type checkers (its
# documented signature stays "resolve_source_arg(source) -> FrameSource").
vorn_camera_sdk\.sources\.factory\.resolve_source_arg$:
    \import pathlib
    \from typing import Union
    \from vorn_camera_sdk.cameras.camera_facts import VornCameraFacts
    def resolve_source_arg(source: Union[FrameSource, VornCameraFacts, str, pathlib.Path, None]) -> FrameSource:
        \doc
