"""Boot the guest under QEMU and collect what it reports on its console.

The guest shares the host's root file system read-only over virtio-9p and
runs the in-guest pytest module (``kernel.scenario``) in a chroot into it,
with the host's own interpreter and installed package. Its only network is
QEMU's user mode with ``restrict=on``: each forwarded guest address starts
``relay.py`` on the host, which connects to one of our servers on
127.0.0.1, and the guest reaches nothing else.

Results come back on the serial console: one ``@@VORN-RESULT@@ {json}``
line per in-guest test phase (written by ``kernel.guest_report``), then
``@@VORN-GUEST-RC@@ rc``. QEMU is killed by its process group if the guest
does not finish in time.
"""

from __future__ import annotations

import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

from .assets import FORWARD_ADDR, GuestImage, Unavailable

HERE = Path(__file__).resolve().parent
TESTS = HERE.parent
RESULT = "@@VORN-RESULT@@ "
RC = "@@VORN-GUEST-RC@@ "
PASS_THROUGH = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


@dataclass
class GuestRun:
    rc: Optional[int]
    console: str
    results: list[dict] = field(default_factory=list)
    seconds: float = 0.0
    timed_out: bool = False

    def dmesg(self) -> str:
        text = self.console
        start, end = text.find("@@VORN-DMESG-BEGIN@@"), text.find("@@VORN-DMESG-END@@")
        return text[start:end] if start >= 0 else ""

    def tail(self, lines: int = 60) -> str:
        return "\n".join(self.console.splitlines()[-lines:])


def qemu_binary() -> str:
    path = shutil.which("qemu-system-x86_64")
    if path is None:
        raise Unavailable("qemu-system-x86_64 is not installed (Debian package qemu-system-x86)")
    return path


def package_parent() -> str:
    """The folder holding the vorn_camera_sdk package that this interpreter
    imports (the installed one in CI, src/ with PYTHONPATH=src)."""
    try:
        import vorn_camera_sdk
    except ImportError as exc:
        raise Unavailable(f"vorn_camera_sdk is not importable: {exc}") from exc
    return str(Path(vorn_camera_sdk.__file__).resolve().parent.parent)


def guest_script(run_dir: Path, *, python: str, pythonpath: list[str], pytest_args: list[str]) -> str:
    env = {
        "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        # the host's /tmp stays visible (the repository may live there);
        # the guest writes to its own tmpfs
        "HOME": "/dev/shm",
        "TMPDIR": "/dev/shm",
        "PYTHONDONTWRITEBYTECODE": "1",
        "PYTHONUNBUFFERED": "1",
        "PYTHONPATH": ":".join(pythonpath),
        "VORN_KERNEL_CONFIG": str(run_dir / "config.json"),
    }
    # a sanitizer build of the package needs its runtime in the guest too
    env.update({k: v for k, v in os.environ.items() if k in PASS_THROUGH})
    cmd = [python, "-m", "pytest", "-p", "no:cacheprovider", "--noconftest", "-p", "kernel.guest_report",
           "-c", str(HERE / "pytest-guest.ini"), "--rootdir", str(HERE), *pytest_args]
    lines = ["# written by the host's test for one guest run"]
    lines += [f"export {k}={shlex.quote(v)}" for k, v in env.items()]
    lines += [f"cd {shlex.quote(str(TESTS))}", "exec " + " ".join(shlex.quote(c) for c in cmd)]
    return "\n".join(lines) + "\n"


def boot(image: GuestImage, run_dir: Path, *, forwards: dict[int, int], config: dict,
         pytest_args: list[str], python: str = sys.executable, pythonpath: list[str],
         timeout: float = 240.0, memory_mb: int = 1024, hostfwds: Optional[dict[int, int]] = None) -> GuestRun:
    """Run one guest to completion (or ``timeout``); ``forwards`` maps a guest
    port on FORWARD_ADDR to a host port on 127.0.0.1, ``hostfwds`` a host
    port on 127.0.0.1 to a guest port (a server in the guest)."""
    run_dir.mkdir(parents=True, exist_ok=True)
    (run_dir / "config.json").write_text(json.dumps(config, indent=1))
    (run_dir / "guest.sh").write_text(guest_script(run_dir, python=python, pythonpath=pythonpath, pytest_args=pytest_args))
    netdev = "user,id=n0,restrict=on,ipv6=off"
    for guest_port, host_port in forwards.items():
        netdev += f",guestfwd=tcp:{FORWARD_ADDR}:{guest_port}-cmd:{python} {HERE / 'relay.py'} {host_port}"
    for host_port, guest_port in (hostfwds or {}).items():
        netdev += f",hostfwd=tcp:127.0.0.1:{host_port}-:{guest_port}"
    cmdline = f"console=ttyS0 loglevel=3 panic=-1 rdinit=/init mitigations=off random.trust_cpu=on vorn_run={run_dir}"
    cmd = [
        qemu_binary(), "-M", "pc", "-accel", os.environ.get("VORN_KERNEL_ACCEL", "tcg"), "-cpu", "max",
        "-m", str(memory_mb), "-smp", "1", "-nodefaults", "-no-user-config", "-display", "none",
        "-no-reboot", "-serial", "stdio",
        "-kernel", str(image.vmlinux), "-initrd", str(image.initramfs), "-append", cmdline,
        "-netdev", netdev, "-device", "virtio-net-pci,netdev=n0",
        "-fsdev", "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap",
        "-device", "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot",
    ]
    console_path = run_dir / "console.log"
    started = time.monotonic()
    timed_out = False
    with open(console_path, "wb") as console:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT,
                                start_new_session=True)
        try:
            deadline = started + timeout
            while proc.poll() is None:
                if time.monotonic() > deadline:
                    timed_out = True
                    break
                if RC.encode() in _tail_bytes(console_path) and _finished(console_path):
                    # the guest has powered off its tests; give QEMU a moment to exit
                    try:
                        proc.wait(timeout=15)
                    except subprocess.TimeoutExpired:
                        pass
                    break
                time.sleep(0.2)
        finally:
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                proc.wait()
    text = console_path.read_text(errors="replace")
    return GuestRun(rc=_rc(text), console=text, results=_results(text),
                    seconds=time.monotonic() - started, timed_out=timed_out)


def _tail_bytes(path: Path, n: int = 1 << 16) -> bytes:
    with open(path, "rb") as f:
        f.seek(0, 2)
        size = f.tell()
        f.seek(max(0, size - n))
        return f.read()


def _finished(path: Path) -> bool:
    return b"@@VORN-DMESG-END@@" in _tail_bytes(path, 1 << 20)


def _rc(text: str) -> Optional[int]:
    for line in text.splitlines():
        if line.startswith(RC):
            return int(line[len(RC):].split()[0])
    return None


def _results(text: str) -> list[dict]:
    out = []
    for line in text.splitlines():
        pos = line.find(RESULT)
        if pos >= 0:
            try:
                out.append(json.loads(line[pos + len(RESULT):]))
            except json.JSONDecodeError:
                pass
    return out
