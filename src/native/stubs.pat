# Names the signatures use that stubgen cannot import by itself.
vorn_camera_sdk\.platform\.linux\.__prefix__:
    \from typing import Optional
    \from vorn_camera_sdk.cameras.camera_spec import CaptureMode

vorn_camera_sdk\.cameras\.camera_facts\.__prefix__:
    \from typing import Optional
