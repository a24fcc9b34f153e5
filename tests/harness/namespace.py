"""Private mount namespace and the raw mount calls the emulator needs.

Everything here acts on the calling process only: ``isolate()`` moves it into
a mount namespace of its own, with every mount private, before anything is
mounted, so nothing done afterwards is visible on the machine's real /dev or
/sys.
"""

from __future__ import annotations

import ctypes
import os
import threading

CLONE_NEWNS = 0x00020000
MS_NOSUID = 0x2
MS_BIND = 0x1000
MS_MOVE = 0x2000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18
MNT_DETACH = 0x2

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_ulong, ctypes.c_char_p]
_libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]


class Unavailable(RuntimeError):
    """The emulated world cannot be set up here (the message says why)."""


_isolated = False
_failure: str | None = None


def _enc(s):
    return None if s is None else os.fsencode(s)


def _check(ret: int, what: str) -> None:
    if ret != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"{what}: {os.strerror(err)}")


def mount(source, target, fstype=None, flags=0, data=None) -> None:
    _check(_libc.mount(_enc(source), _enc(target), _enc(fstype), flags, _enc(data)),
           f"mount {source} on {target}")


def umount(target, flags=0) -> None:
    _check(_libc.umount2(_enc(target), flags), f"umount {target}")


def isolate() -> None:
    """Move this process into a private mount namespace (idempotent).

    Must run before the process starts a second thread: the kernel refuses
    to unshare the mount namespace of a multi-threaded process. Raises
    Unavailable with the reason when it cannot be done; the reason is
    remembered so later calls fail the same way at once.
    """
    global _isolated, _failure
    if _isolated:
        return
    if _failure is None:
        _failure = _try_isolate()
    if _failure is not None:
        raise Unavailable(_failure)
    _isolated = True


def _try_isolate() -> str | None:
    if os.geteuid() != 0:
        return "needs root: the emulated devices live in a private mount namespace"
    if threading.active_count() > 1:
        return "the process already runs several threads; cannot unshare its mount namespace"
    if _libc.unshare(CLONE_NEWNS) != 0:
        err = ctypes.get_errno()
        return f"unshare(CLONE_NEWNS) failed: {os.strerror(err)}"
    try:
        # Mounts copied from the parent namespace still share propagation
        # with it; cut that before anything gets mounted.
        mount("none", "/", None, MS_REC | MS_PRIVATE)
    except OSError as exc:
        # Nothing gets mounted then: it could propagate to the host.
        return f"cannot make / private in the new mount namespace: {exc}"
    return None
