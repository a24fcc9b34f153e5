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


def _loop(arity: int):
    """A timing loop that calls `func` with `arity` positional arguments spelled out (no *args unpacking)."""
    names = ", ".join(f"a{i}" for i in range(arity))
    code = (f"def loop(func, calls, {names}):\n"
            "    start = perf_counter_ns()\n"
            "    for _ in range(calls):\n"
            f"        func({names})\n"
            "    return perf_counter_ns() - start\n").replace(", ):", "):")
    namespace = {"perf_counter_ns": time.perf_counter_ns}
    exec(code, namespace)
    return namespace["loop"]


def median_ns(func, *args, calls: int, rounds: int = 5) -> float:
    """Median over `rounds` of the mean time of one call in a run of `calls` calls, in ns."""
    loop = _loop(len(args))
    return sorted(loop(func, calls, *args) / calls for _ in range(rounds))[rounds // 2]


def build_nb_floor() -> Path:
    """Build nb_ioctl_floor.cpp as an extension module (in build/bench-floor); returns its directory."""
    out = ROOT / "build" / "bench-floor"
    src = out / "src"
    src.mkdir(parents=True, exist_ok=True)
    (src / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.18...3.31)\n"
        "project(nb_ioctl_floor LANGUAGES CXX)\n"
        "set(CMAKE_BUILD_TYPE Release)\n"
        f"find_package(Python {sys.version_info.major}.{sys.version_info.minor} EXACT"
        " COMPONENTS Interpreter Development.Module REQUIRED)\n"
        "execute_process(COMMAND \"${Python_EXECUTABLE}\" -m nanobind --cmake_dir\n"
        "  OUTPUT_STRIP_TRAILING_WHITESPACE OUTPUT_VARIABLE nanobind_ROOT)\n"
        "find_package(nanobind CONFIG REQUIRED)\n"
        f"nanobind_add_module(nb_ioctl_floor NB_STATIC \"{HERE / 'nb_ioctl_floor.cpp'}\")\n"
        f"set_target_properties(nb_ioctl_floor PROPERTIES LIBRARY_OUTPUT_DIRECTORY \"{out}\")\n")
    subprocess.run(["cmake", "-S", str(src), "-B", str(out / "tree"), "-G", "Ninja",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(out / "tree")], check=True, capture_output=True)
    return out
