"""The guest's kernel and initramfs, built from Debian packages into a cache.

Nothing is installed on the machine: the kernel package is fetched with
``apt-get download`` and unpacked with ``dpkg-deb -x`` into the cache folder
(tests/kernel/cache/, git-ignored; ``VORN_KERNEL_CACHE`` moves it). From the
package we keep the uncompressed ``vmlinux`` (QEMU boots it directly through
its PVH entry point, which skips the self-decompression) and the modules the
guest needs, with their dependencies resolved from each module's own
``depends=`` entry. The initramfs is a static busybox, those modules and the
``init`` script below; it is written as a plain newc cpio archive.
"""

from __future__ import annotations

import hashlib
import lzma
import os
import re
import shutil
import struct
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

CACHE = Path(os.environ.get("VORN_KERNEL_CACHE") or Path(__file__).with_name("cache"))

# Loaded in this order after their dependencies: the USB/IP host controller
# and the UVC driver, the virtio network card for the link to the host, and
# 9p over virtio for the host's root file system.
MODULES = (
    "usb-common", "usbcore", "usbip-core", "vhci-hcd",
    "mc", "videodev", "videobuf2-common", "videobuf2-v4l2", "videobuf2-memops", "videobuf2-vmalloc",
    "uvcvideo",
    "virtio", "virtio_ring", "virtio_pci", "virtio_net",
    "9pnet", "9pnet_virtio", "netfs", "fscache", "9p",
)

# Where the guest finds the host's servers (QEMU user networking).
GUEST_ADDR = "10.0.2.15"
FORWARD_ADDR = "10.0.2.100"

INIT = r"""#!/bin/busybox sh
# The guest's first process: drivers, link, host file system, then the run
# script of the host's test inside a chroot into the host's root.
/bin/busybox mkdir -p /proc /sys /dev /host /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "@@VORN-BOOTED@@ $(cut -d' ' -f1 /proc/uptime)"
for m in $(cat /modules.list); do
    insmod "/lib/modules/$m.ko" || echo "@@VORN-INSMOD-FAILED@@ $m"
done
ip link set lo up
ip link set eth0 up
ip addr add @GUEST@/24 dev eth0
ip route add default via 10.0.2.2
rc=1
if mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot /host; then
    mount -t proc proc /host/proc
    mount -t sysfs sysfs /host/sys
    mount -t devtmpfs devtmpfs /host/dev
    mkdir -p /host/dev/shm /host/dev/pts
    mount -t tmpfs tmpfs /host/dev/shm   # the only writable place: TMPDIR
    echo "@@VORN-READY@@ $(cut -d' ' -f1 /proc/uptime)"
    chroot /host /bin/sh "$vorn_run/guest.sh"
    rc=$?
else
    echo "@@VORN-NO-HOSTFS@@"
fi
echo "@@VORN-GUEST-RC@@ $rc $(cut -d' ' -f1 /proc/uptime)"
echo "@@VORN-DMESG-BEGIN@@"
dmesg
echo "@@VORN-DMESG-END@@"
sync
reboot -f
""".replace("@GUEST@", GUEST_ADDR)


class Unavailable(RuntimeError):
    """The guest cannot be built here; the message says why."""


@dataclass(frozen=True)
class GuestImage:
    vmlinux: Path
    initramfs: Path
    kernel_release: str


def _run(cmd, **kw) -> str:
    try:
        done = subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)
    except FileNotFoundError as exc:
        raise Unavailable(f"{cmd[0]} is not installed") from exc
    except subprocess.CalledProcessError as exc:
        raise Unavailable(f"{' '.join(cmd)} failed: {exc.stderr.strip()[-400:]}") from exc
    return done.stdout


def kernel_package() -> str:
    """The name of Debian's current amd64 kernel image package, unsigned."""
    out = _run(["apt-cache", "depends", "linux-image-amd64"])
    m = re.search(r"Depends:\s*(linux-image-[0-9][\w.+-]*-amd64)\s*$", out, re.M)
    if not m:
        raise Unavailable("apt-cache knows no linux-image-amd64 (run apt-get update)")
    return m.group(1) + "-unsigned"


def _download(package: str, into: Path) -> Path:
    """``apt-get download`` one package into ``into``; returns the .deb."""
    into.mkdir(parents=True, exist_ok=True)
    _run(["apt-get", "download", "-q", package], cwd=into)
    debs = sorted(into.glob(f"{package}_*.deb"))
    if not debs:
        raise Unavailable(f"apt-get download {package} left no .deb")
    return debs[-1]


def _unpack(deb: Path, into: Path) -> None:
    _run(["dpkg-deb", "-x", str(deb), str(into)])


def extract_vmlinux(vmlinuz: bytes) -> bytes:
    """The ELF kernel inside a bzImage compressed with xz or gzip."""
    for magic, decompress in ((b"\xfd7zXZ\x00", lambda d: lzma.LZMADecompressor(lzma.FORMAT_XZ).decompress(d)),
                              (b"\x1f\x8b\x08", _gunzip)):
        pos = vmlinuz.find(magic)
        while pos >= 0:
            try:
                elf = decompress(vmlinuz[pos:])
            except (lzma.LZMAError, OSError, EOFError):
                elf = b""
            if elf.startswith(b"\x7fELF"):
                return elf
            pos = vmlinuz.find(magic, pos + 1)
    raise Unavailable("no compressed ELF kernel found in vmlinuz")


def _gunzip(data: bytes) -> bytes:
    import zlib

    return zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(data)


def modinfo(ko: bytes) -> dict[str, str]:
    """The ``key=value`` entries of a module's .modinfo section."""
    info: dict[str, str] = {}
    for key in ("name", "depends"):
        m = re.search(rb"(?:^|\x00)" + key.encode() + rb"=([^\x00]*)\x00", ko)
        if m:
            info[key] = m.group(1).decode()
    return info


def _norm(name: str) -> str:
    return name.replace("-", "_")


def resolve_modules(moddir: Path, wanted=MODULES) -> list[Path]:
    """The module files for ``wanted`` plus dependencies, in load order."""
    by_name = {_norm(p.name.split(".ko")[0]): p for p in moddir.rglob("*.ko*")}
    order: list[Path] = []
    seen: set[str] = set()

    def visit(name: str) -> None:
        key = _norm(name)
        if key in seen:
            return
        seen.add(key)
        path = by_name.get(key)
        if path is None:
            raise Unavailable(f"kernel module {name} not in the package")
        for dep in filter(None, modinfo(_read_module(path)).get("depends", "").split(",")):
            visit(dep)
        order.append(path)

    for name in wanted:
        visit(name)
    return order


def _read_module(path: Path) -> bytes:
    data = path.read_bytes()
    if path.name.endswith(".xz"):
        data = lzma.decompress(data)
    return data


def _is_static_elf(path: Path) -> bool:
    try:
        with open(path, "rb") as f:
            head = f.read(64)
            if head[:4] != b"\x7fELF" or head[4] != 2:
                return False
            phoff, = struct.unpack_from("<Q", head, 32)
            phentsize, phnum = struct.unpack_from("<HH", head, 54)
            f.seek(phoff)
            table = f.read(phentsize * phnum)
    except OSError:
        return False
    return all(struct.unpack_from("<I", table, i * phentsize)[0] != 3 for i in range(phnum))  # no PT_INTERP


def static_busybox() -> Path:
    """A static busybox: the installed one, else one from busybox-static."""
    for cand in (shutil.which("busybox"), "/bin/busybox", "/usr/bin/busybox"):
        if cand and _is_static_elf(Path(cand)):
            return Path(cand)
    cached = CACHE / "busybox"
    if _is_static_elf(cached):
        return cached
    with tempfile.TemporaryDirectory(dir=_cache_dir()) as tmp:
        deb = _download("busybox-static", Path(tmp))
        _unpack(deb, Path(tmp) / "root")
        found = next((p for p in (Path(tmp) / "root").rglob("busybox") if _is_static_elf(p)), None)
        if found is None:
            raise Unavailable("busybox-static holds no static busybox")
        shutil.copy2(found, Path(tmp) / "busybox")
        os.replace(Path(tmp) / "busybox", cached)
    return cached


def _cache_dir() -> Path:
    CACHE.mkdir(parents=True, exist_ok=True)
    return CACHE


def prepare_kernel() -> tuple[Path, str]:
    """The cached kernel folder (vmlinux + modules/) and its release."""
    ready = sorted(_cache_dir().glob("kernel-*/ready"))
    try:
        package = kernel_package()
    except Unavailable:
        if ready:  # offline: use what is there
            folder = ready[-1].parent
            return folder, folder.name[len("kernel-"):]
        raise
    release = package[len("linux-image-"):-len("-unsigned")]
    folder = CACHE / f"kernel-{release}"
    if (folder / "ready").exists():
        return folder, release
    shutil.rmtree(folder, ignore_errors=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as tmp:
        deb = _download(package, Path(tmp))
        root = Path(tmp) / "root"
        _unpack(deb, root)
        vmlinuz = next((root / "boot").glob("vmlinuz-*"))
        staged = Path(tmp) / "kernel"
        (staged / "modules").mkdir(parents=True)
        (staged / "vmlinux").write_bytes(extract_vmlinux(vmlinuz.read_bytes()))
        moddir = next((root / "lib" / "modules").iterdir())
        order = []
        for path in resolve_modules(moddir):
            name = path.name.split(".ko")[0]
            (staged / "modules" / f"{name}.ko").write_bytes(_read_module(path))
            order.append(name)
        (staged / "modules.list").write_text("\n".join(order) + "\n")
        (staged / "ready").write_text(release + "\n")
        try:
            staged.rename(folder)
        except OSError:
            if not (folder / "ready").exists():  # not a concurrent run that got there first
                raise
    return folder, release


def _cpio(entries) -> bytes:
    """A newc cpio archive of (name, mode, data) entries."""
    out = bytearray()
    for ino, (name, mode, data) in enumerate([*entries, ("TRAILER!!!", 0, b"")], start=1):
        nm = name.encode() + b"\x00"
        fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(nm), 0)
        out += b"070701" + b"".join(b"%08X" % f for f in fields) + nm
        out += b"\x00" * (-len(out) % 4) + data
        out += b"\x00" * (-len(out) % 4)
    return bytes(out)


def build_image() -> GuestImage:
    """The guest's vmlinux and initramfs, from the cache when already built."""
    folder, release = prepare_kernel()
    busybox = static_busybox().read_bytes()
    names = (folder / "modules.list").read_text().split()
    digest = hashlib.sha256(INIT.encode() + busybox + "\n".join(names).encode()).hexdigest()[:16]
    initramfs = folder / f"initramfs-{digest}.cpio"
    if not initramfs.exists():
        dirs = ["bin", "dev", "proc", "sys", "host", "lib", "lib/modules"]
        entries = [(d, 0o040755, b"") for d in dirs]
        entries.append(("bin/busybox", 0o100755, busybox))
        entries.append(("init", 0o100755, INIT.encode()))
        entries.append(("modules.list", 0o100644, "\n".join(names).encode() + b"\n"))
        entries += [(f"lib/modules/{n}.ko", 0o100644, (folder / "modules" / f"{n}.ko").read_bytes()) for n in names]
        fd, tmp = tempfile.mkstemp(dir=folder, suffix=".tmp")
        with os.fdopen(fd, "wb") as f:
            f.write(_cpio(entries))
        os.replace(tmp, initramfs)
    return GuestImage(folder / "vmlinux", initramfs, release)
