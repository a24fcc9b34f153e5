"""The Talvex family in plain Python (yardstick for the first-import row of bench_all.py)."""

from dataclasses import replace

from vorn_camera_sdk.cameras.camera_spec import CameraControl, CameraSpec, CaptureMode

_LADDER = (30, 25, 20, 15, 10, 7.5, 5)
_GROUPS = (
    ("MJPG", 1280, 720, _LADDER, False, True, False),
    ("MJPG", 640, 480, _LADDER, False, False, False),
    ("MJPG", 640, 360, _LADDER, False, True, False),
    ("MJPG", 1280, 712, _LADDER, False, False, False),
    ("MJPG", 640, 472, _LADDER, False, False, False),
    ("MJPG", 640, 352, _LADDER, False, False, False),
    ("MJPG", 2560, 720, _LADDER, True, True, False),
    ("MJPG", 1280, 480, _LADDER, True, False, False),
    ("MJPG", 1280, 360, _LADDER, True, True, True),
    ("YUYV", 1280, 720, (10, 7.5, 5), False, True, False),
    ("YUYV", 640, 480, _LADDER, False, False, False),
    ("YUYV", 640, 360, _LADDER, False, True, False),
    ("YUYV", 1280, 712, (10, 7.5, 5), False, False, False),
    ("YUYV", 640, 472, _LADDER, False, False, False),
    ("YUYV", 640, 352, _LADDER, False, False, False),
    ("YUYV", 2560, 720, (5,), True, True, False),
    ("YUYV", 1280, 480, (15, 10, 7.5, 5), True, False, False),
    ("YUYV", 1280, 360, (25, 20, 15, 10, 7.5, 5), True, True, False),
)


def _modes():
    modes = []
    for fourcc, width, height, rates, stereo, supported, first_default in _GROUPS:
        for i, fps in enumerate(rates):
            flags = {"stereo": stereo}
            if not supported:
                flags["is_supported"] = False
            if first_default and i == 0:
                flags["is_default"] = True
            modes.append(CaptureMode(width, height, fps, fourcc, **flags))
    return tuple(modes)


_CONTROLS = (
    CameraControl(name="auto_exposure", label="Auto exposure", kind="enum", value_type="int", default=3, min=0,
                  max=3, step=1, enum_values=((1, "Manual"), (3, "Aperture Priority"))),
    CameraControl(name="exposure", label="Exposure", kind="number", value_type="int", default=312, min=1,
                  max=80000, step=1, unit="100us", auto_companion="auto_exposure"),
    CameraControl(name="gain", label="Gain", kind="number", value_type="int", default=32, min=0, max=130, step=1,
                  auto_companion="auto_exposure"),
    CameraControl(name="brightness", label="Brightness", kind="number", value_type="int", default=0, min=-64,
                  max=64, step=1),
    CameraControl(name="contrast", label="Contrast", kind="number", value_type="int", default=34, min=0, max=64,
                  step=1),
    CameraControl(name="saturation", label="Saturation", kind="number", value_type="int", default=62, min=0,
                  max=78, step=1),
    CameraControl(name="hue", label="Hue", kind="number", value_type="int", default=0, min=-2000, max=2000, step=1),
    CameraControl(name="gamma", label="Gamma", kind="number", value_type="int", default=150, min=100, max=300,
                  step=1),
    CameraControl(name="sharpness", label="Sharpness", kind="number", value_type="int", default=4, min=1, max=7,
                  step=1),
    CameraControl(name="white_balance_auto", label="Auto white balance", kind="boolean", value_type="bool",
                  default=1, min=0, max=1, step=1),
    CameraControl(name="white_balance", label="White balance (K)", kind="number", value_type="int", default=4600,
                  min=2800, max=6500, step=1, unit="K", auto_companion="white_balance_auto",
                  updatable_by_auto=False),
    CameraControl(name="power_line_frequency", label="Power-line frequency", kind="enum", value_type="int",
                  default=1, min=0, max=2, step=1, enum_values=((0, "Disabled"), (1, "50 Hz"), (2, "60 Hz"))),
    CameraControl(name="backlight_compensation", label="Backlight compensation", kind="number", value_type="int",
                  default=0, min=0, max=1, step=1),
)


def _build_windows_controls(controls):
    out = []
    for control in controls:
        if control.name == "power_line_frequency":
            continue
        if control.name == "exposure":
            control = replace(control, min=-13, max=3, step=1, default=-5, unit="log2(s)")
        out.append(control)
    return tuple(out)


_SKUS = tuple(
    f"{line}-TALVEX-{baseline}-BASELINE-{lens}-LENSES-V21"
    for line in ("STEREO-CAMERA", "STEREO-CAMERA-MODULE")
    for baseline in ("ULTRA-SHORT", "SHORT", "REGULAR", "LONG")
    for lens in ("NARROW", "REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE", "PANOPTIC")
)

VORN_TALVEX = CameraSpec(skus=_SKUS, modes=_modes(), controls=_CONTROLS)
VORN_TALVEX = replace(VORN_TALVEX, windows_controls=_build_windows_controls(VORN_TALVEX.controls))
