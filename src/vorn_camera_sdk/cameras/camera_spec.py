"""Record types of the camera model catalog and the SKU lookup."""

from __future__ import annotations

import functools
from dataclasses import KW_ONLY, dataclass
from typing import Optional, Union


@dataclass(frozen=True)
class CaptureMode:
    """One capture mode: pixel format, size and frame rate as the device offers it.

    ``width``/``height`` are pixels of the whole frame (a stereo mode carries
    the left and right views side by side, so it is twice as wide as one view).
    ``fps`` is an int, or the float 7.5.
    """

    width: int
    height: int
    fps: Union[int, float]
    fourcc: str
    _: KW_ONLY
    stereo: bool
    is_supported: bool = True
    is_default: bool = False


@dataclass(frozen=True, kw_only=True)
class CameraControl:
    """One camera control as a user interface presents it, in raw device units."""

    name: str
    label: str
    kind: str
    value_type: str
    default: int
    min: int
    max: int
    step: int
    unit: Optional[str] = None
    enum_values: tuple[tuple[int, str], ...] = ()
    auto_companion: Optional[str] = None
    updatable_by_auto: bool = True


@dataclass(frozen=True, kw_only=True)
class CameraSpec:
    """A camera family: its SKUs, capture modes and control tables."""

    skus: tuple[str, ...]
    modes: tuple[CaptureMode, ...]
    controls: tuple[CameraControl, ...]
    windows_controls: tuple[CameraControl, ...] = ()

    def __repr__(self) -> str:
        # The tables run to hundreds of entries: a summary reads better.
        family = family_of(self)
        return (
            f"<CameraSpec {'VORN ' + family if family else 'family ?'}: {len(self.skus)} SKUs, "
            f"{len(self.modes)} modes, {len(self.controls)} controls, {len(self.windows_controls)} Windows controls>"
        )

    @property
    def default_mode(self) -> CaptureMode:
        """default_mode -> CaptureMode

        The mode a live camera is opened with: the first mode marked
        ``is_default``. Raises ValueError when no mode is marked.
        """
        for mode in self.modes:
            if mode.is_default:
                return mode
        raise ValueError(
            f"camera spec has no default capture mode (none of its {len(self.modes)} modes is marked is_default)"
        )


@functools.cache
def _specs_by_sku() -> dict[str, CameraSpec]:
    # The family modules import this module, so they are imported here, on
    # first use, rather than at the top.
    from .vorn_petrin import VORN_PETRIN
    from .vorn_sorvane import VORN_SORVANE
    from .vorn_talvex import VORN_TALVEX

    index: dict[str, CameraSpec] = {}
    for spec in (VORN_TALVEX, VORN_PETRIN, VORN_SORVANE):
        for sku in spec.skus:
            index.setdefault(sku, spec)
    return index


def spec_by_sku(sku: str) -> Optional[CameraSpec]:
    """spec_by_sku(sku: str) -> Optional[CameraSpec]

    The family spec whose ``skus`` holds ``sku``, or None when no family lists it.
    """
    return _specs_by_sku().get(sku)


# The catalog's families in catalog order: name -> (module, attribute).
_FAMILIES = {
    "Talvex": ("vorn_talvex", "VORN_TALVEX"),
    "Petrin": ("vorn_petrin", "VORN_PETRIN"),
    "Sorvane": ("vorn_sorvane", "VORN_SORVANE"),
}


@functools.cache
def family_specs() -> dict[str, CameraSpec]:
    """family_specs() -> dict[str, CameraSpec]

    Every family of the catalog by name ("Talvex", "Petrin", "Sorvane"), in catalog order.
    """
    import importlib

    return {
        name: getattr(importlib.import_module(f".{module}", __package__), attr)
        for name, (module, attr) in _FAMILIES.items()
    }


def spec_by_family(name: str) -> Optional[CameraSpec]:
    """spec_by_family(name: str) -> Optional[CameraSpec]

    The family spec named by ``name``, case-insensitively: the family word
    ("petrin"), or a product name as a camera reports it ("VORN Petrin",
    "VORN Petrin Module"). None when no family has that name.
    """
    words = name.split()
    if len(words) > 1 and words[0].upper() == "VORN":
        words = words[1:]
    if not words:
        return None
    for family, spec in family_specs().items():
        if family.lower() == words[0].lower():
            return spec
    return None


def family_of(spec: CameraSpec) -> Optional[str]:
    """family_of(spec: CameraSpec) -> Optional[str]

    The catalog family name of ``spec`` ("Talvex"), or None for a spec that is
    not one of the catalog's families.
    """
    for family, known in family_specs().items():
        if known is spec:
            return family
    return None
