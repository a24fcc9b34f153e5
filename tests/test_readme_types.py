"""The README's Python examples, type-checked against the shipped package:
they pass, and a wrong type in them is reported (nothing is Any)."""

from __future__ import annotations

import re
import shutil
from pathlib import Path

import pytest

import vorn_camera_sdk

PACKAGE = Path(vorn_camera_sdk.__file__).parent
README = Path(__file__).parent.parent / "README.md"

pytestmark = pytest.mark.skipif(not any(PACKAGE.rglob("*.pyi")), reason="the package's stubs are not generated")

# Type errors the examples must expose, appended after them: (code, what mypy says).
WRONG = [
    ("bad_serial: int = cam.serial", 'expression has type "str", variable has type "int"'),
    ("bad_frame: str = next(iter(source))", 'expression has type "Frame", variable has type "str"'),
    ("bad_gain: str | None = controls.get('gain')", 'expression has type "float | None"'),
    ("resolve_source_arg(42)", 'incompatible type "int"'),
]


def test_readme_examples_type_check_and_wrong_types_are_reported(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    shutil.copytree(PACKAGE, tmp_path / "vorn_camera_sdk", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    assert len(blocks) >= 3
    examples = "\n".join(blocks)
    first_wrong = examples.count("\n") + 2
    (tmp_path / "examples.py").write_text(examples + "\n" + "\n".join(code for code, _ in WRONG) + "\n")
    out, err, _ = mypy.run(
        ["--no-error-summary", "--no-incremental", "--follow-imports=silent", str(tmp_path / "examples.py")]
    )
    reported = {int(m.group(1)): m.group(2) for m in re.finditer(r"examples\.py:(\d+): error: (.*)", out)}
    assert sorted(reported) == list(range(first_wrong, first_wrong + len(WRONG))), out + err
    for (code, says), line in zip(WRONG, sorted(reported)):
        assert says in reported[line], (code, reported[line])
