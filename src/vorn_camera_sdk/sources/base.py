"""The base of every frame source."""

from __future__ import annotations

from typing import Any, Iterator


class FrameSource:
    """A stream of frames: iterate it to get frames, ``close()`` it when done.

    Constructing a source does no I/O; the first iteration opens it. A source
    is also a context manager that closes it on exit.
    """

    def __iter__(self) -> Iterator[Any]:
        raise NotImplementedError

    def close(self) -> None:
        """close() -> None"""

    def __enter__(self):
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()
