"""The base of every frame source, and the frame record sources yield."""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Iterator, Optional, Self

if TYPE_CHECKING:
    import numpy as np

# What a user installs to get the streaming dependencies (PyAV and NumPy).
STREAM_EXTRA_HINT = "pip install 'vorn-camera-sdk[stream]'"


@dataclass(frozen=True, slots=True, repr=False)
class Frame:
    """One frame of a source.

    ``image`` is the whole frame as a ``uint8`` NumPy array of shape
    (height, width, 3) in BGR channel order (OpenCV's order). ``timestamp`` is
    the frame's presentation time in seconds: for a live camera the capture
    time the device driver stamps, for a recording the time stored in the file.
    ``index`` counts the frames a source has yielded, from 0.

    A live camera also gives the kernel's buffer ``sequence`` number and
    ``dropped``, the frames lost just before this one (the device's or the
    kernel's gaps, and frames the source's delivery policy skipped); a source
    without them leaves -1 and 0.

    For a stereo stream the frame carries the left and right views side by
    side; ``left`` and ``right`` are then views (no copies) of the left and
    right halves of ``image``: they share its memory and are not
    contiguous (each row is a slice of a full-width row). Where a library
    needs contiguous memory, ``numpy.ascontiguousarray(frame.left)`` makes a
    copy. For a mono stream both are None.
    """

    image: "np.ndarray"
    timestamp: float
    index: int
    left: Optional["np.ndarray"] = None
    right: Optional["np.ndarray"] = None
    sequence: int = -1
    dropped: int = 0

    @property
    def stereo(self) -> bool:
        """stereo -> bool: whether the frame carries a left and a right view."""
        return self.left is not None

    def __repr__(self) -> str:
        shape: tuple[int, ...] = tuple(getattr(self.image, "shape", ()))
        size = f"{shape[1]}x{shape[0]}" if len(shape) >= 2 else "?"
        return (f"<Frame index={self.index} timestamp={self.timestamp:.6f} {size} "
                f"{'stereo' if self.stereo else 'mono'} sequence={self.sequence} dropped={self.dropped}>")


def make_frame(
    image: "np.ndarray", timestamp: float, index: int, stereo: bool, sequence: int = -1, dropped: int = 0
) -> Frame:
    """make_frame(image: np.ndarray, timestamp: float, index: int, stereo: bool, sequence: int = -1, dropped: int = 0) -> Frame

    A frame for ``image``; a stereo frame is split at half its width into
    views of the left and right halves.
    """
    if not stereo:
        return Frame(image, timestamp, index, sequence=sequence, dropped=dropped)
    half = image.shape[1] // 2
    return Frame(image, timestamp, index, image[:, :half], image[:, half : 2 * half], sequence, dropped)


def import_stream_modules() -> tuple[Any, Any]:
    """import_stream_modules() -> tuple[module, module]

    PyAV and NumPy, imported on demand. Without them an ImportError says
    which extra to install.
    """
    try:
        av = importlib.import_module("av")
        np = importlib.import_module("numpy")
    except ImportError as exc:
        raise ImportError(
            f"frame sources need PyAV and NumPy ({exc.name or 'a module'} is missing): {STREAM_EXTRA_HINT}",
            name=exc.name,
        ) from exc
    return av, np


class FrameSource:
    """A stream of frames: iterate it to get frames, ``close()`` it when done.

    Constructing a source does no I/O; the first iteration opens it. A source
    is also a context manager that closes it on exit.
    """

    def __iter__(self) -> Iterator[Frame]:
        """__iter__() -> Iterator[Frame]"""
        raise NotImplementedError

    def close(self) -> None:
        """close() -> None"""

    def __enter__(self) -> Self:
        """__enter__() -> Self: the source itself."""
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()
