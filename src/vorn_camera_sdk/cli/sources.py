"""The SOURCE argument of the commands that stream (``snapshot``, ``view``,
``record``): one way to turn it into a frame source, checked in full before
a command serves or writes anything, with the same answer from every command.

A text names an existing file or folder, or else a camera serial. An
existing file is a camera facts ``.json`` file or a recording, whatever the
case of its extension; anything else that exists is refused plainly. A text
that looks like a file name (a "/" or a recording's or facts file's
extension) but names nothing is a missing file. Bad files are usage errors
(exit code 2), cameras that cannot be found are "nothing found" (exit code 1).
"""

from __future__ import annotations

import math
import os
from typing import Any, Optional

from .core import UsageError

# What a user may pass as SOURCE, for messages.
SOURCE_FORMS = "a camera serial, a camera facts .json file or a recording"
# Where a user learns why a camera is not listed.
DOCTOR_HINT = "run 'vorn-camera doctor' to see why a camera is or isn't listed"
# Extensions the tool takes for file names even when the file is missing.
_FILE_SUFFIXES = (".mkv", ".json", ".webm", ".mka", ".mp4", ".avi", ".mov")


def open_source(text: Optional[str], *, command: str, recordings: bool = True) -> Any:
    """open_source(text: Optional[str], *, command: str, recordings: bool = True) -> FrameSource

    The frame source SOURCE names, for the sub-command ``command``: the
    first camera for None, a camera by serial or facts file, or a recording
    (opened, with its capture mode known) unless ``recordings`` is false.
    UsageError for a file that is missing, no recording, or a recording
    given to a command that takes a live camera; RuntimeError (exit code 1)
    when no matching camera is connected.
    """
    from ..sources.factory import resolve_source_arg

    if text is None:
        return _camera(resolve_source_arg, None)
    name = text.strip()
    if not name:
        raise UsageError(f"SOURCE is empty; give {SOURCE_FORMS}")
    if os.path.isdir(name):
        raise UsageError(f"{name} is a folder, not {SOURCE_FORMS}")
    if os.path.exists(name):
        if name.endswith(".json"):
            return _camera(resolve_source_arg, name)
        if name.lower().endswith(".json"):
            raise UsageError(f"{name}: the name of a camera facts file ends in .json, in lower case")
        if not recordings:
            raise UsageError(f"{name} is a file; {command} takes a live camera (a serial or a camera facts .json file)")
        return open_recording(name)
    if "/" in name or name.lower().endswith(_FILE_SUFFIXES):
        raise UsageError(f"{name}: no such file")
    return _camera(resolve_source_arg, name)


def names_a_camera(text: Optional[str]) -> bool:
    """names_a_camera(text: Optional[str]) -> bool

    Whether SOURCE ``text`` names a live camera (None, a serial or an
    existing camera facts file) rather than a recording or a file.
    """
    if text is None:
        return True
    name = text.strip()
    if os.path.exists(name):
        return name.lower().endswith(".json") and not os.path.isdir(name)
    return bool(name) and "/" not in name and not name.lower().endswith(_FILE_SUFFIXES)


def _camera(resolve: Any, name: Optional[str]) -> Any:
    # A live camera, by serial or facts file, or the first one; the
    # resolver's own "not found" errors said in the tool's words.
    try:
        return resolve(name)
    except RuntimeError as exc:
        if name is None:
            raise RuntimeError(f"no VORN camera found; connect one or name a SOURCE ({SOURCE_FORMS}); "
                               f"{DOCTOR_HINT}.") from None
        if name.lower().endswith(".json"):
            raise RuntimeError(f"{str(exc).rstrip('.')}; {DOCTOR_HINT}.") from None
        looks_like_file = "." in name
        also = " and no file of that name exists" if looks_like_file else ""
        raise RuntimeError(f"no connected VORN camera has serial {name!r}{also}; 'vorn-camera list' shows "
                           f"the connected ones; {DOCTOR_HINT}.") from None


def open_recording(path: str) -> Any:
    """open_recording(path: str) -> MkvSource

    The recording at ``path``, opened, with its capture mode known (from its
    tag or its video stream). UsageError, naming the file, for a file that
    cannot be read, holds no video, or holds video no camera of ours sends.
    """
    from ..sources.mkv_source import MkvSource

    source = MkvSource(path)
    try:
        source.open()
        mode = source.mode
    except OSError as exc:
        source.close()
        raise UsageError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        source.close()
        cause = exc.__cause__
        if cause is not None:
            why = getattr(cause, "strerror", None) or str(cause)
            raise UsageError(f"{path} is no recording: {why}") from None
        if source.codec is None:
            raise UsageError(f"{path} is no recording: it holds no video") from None
        raise UsageError(str(exc).rstrip(".")) from None
    if mode is None:
        codec = source.codec
        source.close()
        raise UsageError(f"{path} holds {codec} video; the tool replays MJPEG and YUYV recordings")
    return source


def check_seconds(option: str, value: Optional[float], *, zero: bool = False) -> None:
    """check_seconds(option: str, value: Optional[float], *, zero: bool = False) -> None

    UsageError unless ``value`` (of ``option``) is None or a finite number
    of seconds above 0 (or at least 0 with ``zero``).
    """
    if value is None:
        return
    if not math.isfinite(value) or value < 0 or (value == 0 and not zero):
        least = "0 or more" if zero else "above 0"
        raise UsageError(f"{option} must be a finite number of seconds {least}, not {value:g}")


def check_frame_options(args: Any, files: str) -> None:
    """check_frame_options(args, files: str) -> None

    The checks of a command that saves one frame's ``files`` into the folder
    ``-o``: ``--at`` a finite time for a recording only, and ``-o`` no file.
    """
    check_seconds("--at", args.at, zero=True)
    if args.at is not None and names_a_camera(args.source):
        raise UsageError("--at applies to recordings only; a live camera gives its newest frame")
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise UsageError(f"-o {args.output} is a file; give a folder for the {files}")
