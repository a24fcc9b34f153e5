"""The shipped type stubs: one per extension module, valid, and in step with it."""

from __future__ import annotations

import ast
import importlib
import shutil
import types
from pathlib import Path

import pytest

import vorn_camera_sdk

MODULES = [
    "vorn_camera_sdk.calibration",
    "vorn_camera_sdk.cameras.vorn_talvex",
    "vorn_camera_sdk.cameras.vorn_petrin",
    "vorn_camera_sdk.cameras.vorn_sorvane",
    "vorn_camera_sdk.cameras.catalog_client",
    "vorn_camera_sdk.cameras.camera_facts",
    "vorn_camera_sdk.jpeg",
    "vorn_camera_sdk.platform.linux",
    "vorn_camera_sdk.platform.events",
    "vorn_camera_sdk.platform.capture",
    "vorn_camera_sdk.sources.factory",
]
PACKAGE = Path(vorn_camera_sdk.__file__).parent
INSTALLED = "site-packages" in PACKAGE.parts  # an in-place build may run without stubs

pytestmark = pytest.mark.skipif(not INSTALLED, reason="stubs are generated for the installed package")


def stub_of(name: str) -> Path:
    module = importlib.import_module(name)
    return Path(module.__file__).parent / (name.rpartition(".")[2] + ".pyi")


@pytest.mark.parametrize("name", MODULES)
def test_stub_declares_every_public_name(name):
    tree = ast.parse(stub_of(name).read_text())
    declared = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            declared.update((alias.asname or alias.name).split(".")[0] for alias in node.names)
    # Public names of ours; standard-library helpers a module imports need no stub.
    public = {
        n for n, v in vars(importlib.import_module(name)).items()
        if not n.startswith("_") and str(getattr(v, "__module__", "vorn_camera_sdk")).startswith("vorn_camera_sdk")
        and not isinstance(v, types.ModuleType)
    }
    assert public <= declared
    assert (PACKAGE / "py.typed").exists()


def test_stubs_type_check(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    shutil.copytree(PACKAGE, tmp_path / "vorn_camera_sdk", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    stubs = [str(p) for p in (tmp_path / "vorn_camera_sdk").rglob("*.pyi")]
    assert len(stubs) == len(MODULES)
    out, err, status = mypy.run(["--no-error-summary", "--no-incremental", *stubs])
    assert status == 0, out + err


@pytest.mark.parametrize("where, name, parameters", [
    ("vorn_camera_sdk.calibration", "Calibration.from_dict", "(block)"),
    ("vorn_camera_sdk.calibration", "Calibration.to_dict", "(self, /)"),
    ("vorn_camera_sdk.calibration", "CameraCalibration.from_dict", "(block)"),
    ("vorn_camera_sdk.cameras.camera_facts", "VornCameraFacts.from_dict", "(payload, *, os_id)"),
    ("vorn_camera_sdk.cameras.camera_facts", "VornCameraFacts.to_dict", "(self, /)"),
    ("vorn_camera_sdk.sources.factory", "resolve_source_arg", "(source)"),
    ("vorn_camera_sdk.platform.linux", "_IOC", "(direction, type_, nr, size)"),
    ("vorn_camera_sdk.platform.linux", "_LinuxCameraControls.get", "(self, /, name)"),
    ("vorn_camera_sdk.platform.linux", "_LinuxCameraControls.set", "(self, /, name, value)"),
    ("vorn_camera_sdk.platform.linux", "LinuxBackend.av_open_args", "(self, /, os_id, mode)"),
])
def test_builtin_style_entry_points_have_signatures(where, name, parameters):
    """inspect (help(), IDEs, documentation tools) reads their parameters;
    the docstring still starts with the annotated signature."""
    import inspect

    target = importlib.import_module(where)
    for part in name.split("."):
        target = getattr(target, part)
    assert str(inspect.signature(target)) == parameters
    assert target.__doc__.startswith(name.rpartition(".")[2] + "(")
