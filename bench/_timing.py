"""Timing helpers shared by the benchmarks in this directory."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(ROOT / "src"), str(ROOT / "tests")]


def per_call_ns(func, *args, calls: int, repeats: int = 15) -> float:
    """Best mean time of one call over `repeats` runs of `calls` calls, in ns."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(calls):
            func(*args)
        best = min(best, (time.perf_counter_ns() - start) / calls)
    return best


def fmt_ns(ns: float) -> str:
    return f"{ns / 1000:9.2f} us" if ns >= 10_000 else f"{ns:9.1f} ns"


def build_floor() -> Path:
    """Compile ioctl_floor.cpp (the bare system call loop) into a temporary directory."""
    out = Path(tempfile.mkdtemp(prefix="vorn-bench-")) / "ioctl_floor"
    subprocess.run([os.environ.get("CXX", "g++"), "-O2", "-std=c++17", "-o", str(out), str(HERE / "ioctl_floor.cpp")],
                   check=True)
    return out


def floor_ns(binary: Path, path: str, op: str, calls: int, repeats: int = 15) -> float:
    """ns per bare VIDIOC_G_CTRL ("get") or VIDIOC_S_CTRL ("set") ioctl on `path`."""
    out = subprocess.run([str(binary), path, op, str(calls), str(repeats)], check=True, capture_output=True, text=True)
    return float(out.stdout)
