"""The built-in camera model catalog: Talvex, Petrin and Sorvane families."""

import dataclasses
import itertools
from collections import Counter

import pytest

from vorn_camera_sdk.cameras import vorn_petrin, vorn_sorvane, vorn_talvex
from vorn_camera_sdk.cameras.camera_spec import CameraControl, CameraSpec, CaptureMode, spec_by_sku
from vorn_camera_sdk.cameras.vorn_petrin import VORN_PETRIN
from vorn_camera_sdk.cameras.vorn_sorvane import VORN_SORVANE
from vorn_camera_sdk.cameras.vorn_talvex import VORN_TALVEX, _build_windows_controls

FAMILIES = pytest.mark.parametrize("spec", [VORN_TALVEX, VORN_PETRIN, VORN_SORVANE],
                                   ids=["talvex", "petrin", "sorvane"])
LINUX_NAMES = (
    "auto_exposure", "exposure", "gain", "brightness", "contrast", "saturation", "hue",
    "gamma", "sharpness", "white_balance_auto", "white_balance", "power_line_frequency",
    "backlight_compensation",
)


def _control(name, **changes):
    return CameraControl(**{**dict(name=name, label=name, kind="number", value_type="int",
                                   default=0, min=0, max=1, step=1), **changes})


@pytest.mark.parametrize("module, names", [
    (vorn_talvex, ["replace", "CameraControl", "CameraSpec", "CaptureMode",
                   "_build_windows_controls", "VORN_TALVEX"]),
    (vorn_petrin, ["VORN_TALVEX", "CameraSpec", "_PETRIN_LENSES", "_PETRIN_MOUNTS", "VORN_PETRIN"]),
    (vorn_sorvane, ["VORN_TALVEX", "CameraSpec", "_SORVANE_LENSES", "VORN_SORVANE"]),
])
def test_module_names_in_binding_order(module, names):
    assert [n for n in vars(module) if not n.startswith("__")] == names
    assert module.CameraSpec is CameraSpec


def test_talvex_module_doc_and_imports():
    assert vorn_talvex.replace is dataclasses.replace
    assert "gen-21" in vorn_talvex.__doc__ and "Linux video driver" in vorn_talvex.__doc__
    assert _build_windows_controls.__doc__.startswith("_build_windows_controls(controls")


def test_sku_tuples():
    lines, baselines = ("STEREO-CAMERA", "STEREO-CAMERA-MODULE"), ("ULTRA-SHORT", "SHORT", "REGULAR", "LONG")
    lenses = ("NARROW", "REGULAR", "WIDE", "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE", "PANOPTIC")
    assert VORN_TALVEX.skus == tuple(f"{l}-TALVEX-{b}-BASELINE-{s}-LENSES-V21"
                                     for l, b, s in itertools.product(lines, baselines, lenses))
    petrin, sorvane = lenses[1:5], lenses[1:6]
    assert (vorn_petrin._PETRIN_LENSES, vorn_sorvane._SORVANE_LENSES) == (petrin, sorvane)
    assert VORN_PETRIN.skus == (
        tuple(f"STEREO-CAMERA-PETRIN-{l}-LENSES-V21" for l in petrin)
        + tuple(f"STEREO-CAMERA-MODULE-PETRIN-{l}-LENSES-{m}-V21"
                for l in petrin for m in ("NO-MOUNT", "SIDE-MOUNTS")))
    assert VORN_SORVANE.skus == (
        tuple(f"STEREO-CAMERA-SORVANE-{l}-LENSES-V21" for l in sorvane)
        + tuple(f"STEREO-CAMERA-MODULE-SORVANE-{l}-LENSES-V21" for l in sorvane))
    every = VORN_TALVEX.skus + VORN_PETRIN.skus + VORN_SORVANE.skus
    assert len(every) == 56 + 12 + 10 == len(set(every))


@FAMILIES
def test_family_skus_lookup_and_shared_tables(spec):
    assert type(spec) is CameraSpec
    assert all(spec_by_sku(sku) is spec for sku in spec.skus)
    if spec is not VORN_TALVEX:
        assert spec.modes is VORN_TALVEX.modes and spec.controls is VORN_TALVEX.controls
        assert spec.windows_controls is VORN_TALVEX.windows_controls


@pytest.mark.parametrize("sku", ["", "STEREO-CAMERA-PETRIN-ULTRA-FISHEYE-LENSES-V21",
                                 "stereo-camera-sorvane-wide-lenses-v21"])
def test_spec_by_sku_unknown(sku):
    assert spec_by_sku(sku) is None


def test_modes():
    modes = VORN_TALVEX.modes
    assert len(modes) == 108 and all(type(m) is CaptureMode for m in modes)
    assert sum(not m.is_supported for m in modes) == 63 and sum(m.stereo for m in modes) == 32
    assert [m for m in modes if m.is_default] == [
        CaptureMode(1280, 360, 30, "MJPG", stereo=True, is_default=True)]
    assert VORN_TALVEX.default_mode is modes[56]
    sizes = [(1280, 720), (640, 480), (640, 360), (1280, 712), (640, 472), (640, 352),
             (2560, 720), (1280, 480), (1280, 360)]
    assert list(dict.fromkeys((m.fourcc, m.width, m.height) for m in modes)) == [
        (f, w, h) for f in ("MJPG", "YUYV") for w, h in sizes]
    for m in modes:
        assert m.stereo == ((m.width, m.height) in sizes[6:])
        assert m.is_supported == (m.height not in (480, 712, 472, 352))
    assert Counter(type(m.fps) for m in modes) == {int: 91, float: 17}
    assert {m.fps for m in modes if type(m.fps) is float} == {7.5}


@pytest.mark.parametrize("fourcc, size, rates", [
    ("MJPG", (1280, 360), [30, 25, 20, 15, 10, 7.5, 5]),
    ("YUYV", (1280, 720), [10, 7.5, 5]),
    ("YUYV", (2560, 720), [5]),
    ("YUYV", (1280, 480), [15, 10, 7.5, 5]),
    ("YUYV", (1280, 360), [25, 20, 15, 10, 7.5, 5]),
])
def test_frame_rates_per_format(fourcc, size, rates):
    assert [m.fps for m in VORN_TALVEX.modes
            if m.fourcc == fourcc and (m.width, m.height) == size] == rates


def test_control_tables():
    linux, windows = VORN_TALVEX.controls, VORN_TALVEX.windows_controls
    by_name = {c.name: c for c in linux}
    assert tuple(by_name) == LINUX_NAMES
    wb_auto = by_name["white_balance_auto"]
    assert [(type(v), v) for v in (wb_auto.default, wb_auto.min, wb_auto.max)] == [
        (int, 1), (int, 0), (int, 1)]
    assert by_name["power_line_frequency"].enum_values == ((0, "Disabled"), (1, "50 Hz"), (2, "60 Hz"))
    assert {n: (c.auto_companion, c.unit, c.updatable_by_auto) for n, c in by_name.items()
            if c.auto_companion} == {"exposure": ("auto_exposure", "100us", True),
                                     "gain": ("auto_exposure", None, True),
                                     "white_balance": ("white_balance_auto", "K", False)}
    assert type(windows) is tuple
    assert tuple(c.name for c in windows) == LINUX_NAMES[:11] + LINUX_NAMES[12:]
    assert windows[1] == dataclasses.replace(by_name["exposure"], min=-13, max=3, step=1,
                                             default=-5, unit="log2(s)")
    assert all(w is c for w, c in zip(windows, linux[:11] + linux[12:]) if w.name != "exposure")


@pytest.mark.parametrize("names, kept", [
    ((), ()),
    (("gain", "hue", "gamma"), ("gain", "hue", "gamma")),
    (("exposure", "power_line_frequency", "gain", "power_line_frequency", "exposure"), ("exposure", "gain", "exposure")),
], ids=["empty", "plain", "duplicates"])
def test_build_windows_controls(names, kept):
    items = [_control(name, label=f"{name} {i}", min=5) for i, name in enumerate(names)]
    before = list(items)
    out = _build_windows_controls(items)
    assert type(out) is tuple and [c.name for c in out] == list(kept)
    assert len(items) == len(before) and all(a is b for a, b in zip(items, before))
    assert _build_windows_controls(controls=iter(items)) == out
    # Survivors keep their order; exposure is replaced in place, the rest are the same objects.
    for got, given in zip(out, [c for c in items if c.name != "power_line_frequency"]):
        if given.name == "exposure":
            assert got == dataclasses.replace(given, min=-13, max=3, step=1, default=-5, unit="log2(s)")
        else:
            assert got is given


class _Named:
    def __init__(self, name):
        self.name = name


@pytest.mark.parametrize("items, error", [
    ([object()], AttributeError),
    ([_Named("gain"), _Named("exposure")], TypeError),
    (42, TypeError),
])
def test_build_windows_controls_errors_propagate(items, error):
    with pytest.raises(error):
        _build_windows_controls(items)


def test_default_mode_missing_raises():
    spec = CameraSpec(skus=(), modes=(CaptureMode(640, 360, 30, "MJPG", stereo=False),), controls=())
    with pytest.raises(ValueError):
        spec.default_mode
