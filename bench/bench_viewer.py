"""The viewer's server against the threaded one it replaced, in one run, on
MJPG 1280x360 (stereo) 30 fps from a paced live feed.

For each server:
  - CPU per stream client at 1, 20 and 50 clients (this process's CPU time
    over wall time, as a percentage of one core, minus the same viewer with
    no client, divided by the clients); each client is its own process
    (bench/stream_client.py) and reports the frames it got;
  - with 1,000 idle connections held open (connected, sending nothing):
    the frames per second of one healthy stream client, the process's
    resident memory grown by holding them, and the time to serve a new
    client (the median of 20 GET /status round trips).
The threaded server is the viewer's server module as it was in commit
OLD_COMMIT of this repository, loaded beside the current one. The idle
connections' time-out is raised for the measurement, so the 1,000 are held
rather than reaped (reaping them is the new server's defence, tested in
tests/test_viewer.py). Everything runs on 127.0.0.1, bounded in time.

Run by hand:  python3 bench/bench_viewer.py [SECONDS]
"""

from __future__ import annotations

import http.client
import importlib.util
import resource
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

import _timing  # noqa: F401  (puts src/ and tests/ on sys.path)

if not list((_timing.ROOT / "src" / "vorn_camera_sdk").glob("calibration*.so")):
    sys.path.remove(str(_timing.ROOT / "src"))  # no in-place build: the installed package

from bench_record_view import MODE, PacedFeed, jpegs  # noqa: E402

import vorn_camera_sdk.viewer.server as current  # noqa: E402

OLD_COMMIT = "a74211a"
STREAM_CLIENT = Path(__file__).with_name("stream_client.py")
SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 6.0
IDLE = 1000


def threaded_module() -> Any:
    """The threaded server module, from git, as a module of the viewer package (its relative imports hold)."""
    text = subprocess.run(["git", "-C", str(_timing.ROOT), "show", f"{OLD_COMMIT}:src/vorn_camera_sdk/viewer/server.py"],
                          capture_output=True, text=True, check=True).stdout
    name = "vorn_camera_sdk.viewer._threaded_server"
    spec = importlib.util.spec_from_loader(name, loader=None)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    module.__package__ = "vorn_camera_sdk.viewer"
    sys.modules[name] = module
    exec(compile(text, f"{OLD_COMMIT}:viewer/server.py", "exec"), module.__dict__)
    return module


def cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def rss_mib() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def share(seconds: float) -> float:
    """This process's CPU share over the next ``seconds``, in % of one core."""
    wall0, cpu0 = time.monotonic(), cpu()
    time.sleep(seconds)
    return (cpu() - cpu0) / (time.monotonic() - wall0) * 100.0


def clients(port: int, count: int, seconds: float) -> tuple[float, list[subprocess.Popen]]:
    procs = [subprocess.Popen([sys.executable, str(STREAM_CLIENT), str(port), str(seconds)],
                              stdout=subprocess.PIPE, text=True) for _ in range(count)]
    return seconds, procs


def fps_of(procs: list[subprocess.Popen], seconds: float) -> list[float]:
    return [len(p.communicate(timeout=seconds + 30)[0].split()) / seconds for p in procs]


def round_trip(port: int) -> float:
    began = time.perf_counter()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("GET", "/status")
    connection.getresponse().read()
    connection.close()
    return time.perf_counter() - began


def measure(label: str, make: Callable[[PacedFeed], Any], data: list[bytes]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    feed = PacedFeed(data, 1e9)
    viewer = make(feed)
    with viewer:
        time.sleep(1.0)
        floor = share(SECONDS)
        for count in (1, 20, 50):
            seconds, procs = clients(viewer.port, count, SECONDS + 3)
            time.sleep(2.0)  # all connected and streaming
            used = share(SECONDS)
            rates = fps_of(procs, seconds)
            out[count] = ((used - floor) / count, statistics.median(rates), min(rates))
            print(f"{label:9} {count:3} clients: {(used - floor) / count:6.2f} % of a core per client, "
                  f"fps per client median {statistics.median(rates):.1f}, lowest {min(rates):.1f}", flush=True)
        before = rss_mib()
        idle = []
        for _ in range(IDLE):
            idle.append(socket.create_connection(("127.0.0.1", viewer.port), timeout=10))
        time.sleep(1.0)
        grown = rss_mib() - before
        trips = sorted(round_trip(viewer.port) for _ in range(20))
        seconds, procs = clients(viewer.port, 1, SECONDS)
        healthy = fps_of(procs, seconds)[0]
        out["idle"] = (healthy, grown, statistics.median(trips))
        print(f"{label:9} with {IDLE} idle connections: healthy client {healthy:.1f} fps, memory +{grown:.1f} MiB, "
              f"new client served in {statistics.median(trips) * 1000:.2f} ms (median of 20)", flush=True)
        for sock in idle:
            sock.close()
    return out


def main() -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    data = jpegs()
    print(f"MJPG {MODE.width}x{MODE.height} {MODE.fps} fps, {len(data[0]) / 1024:.0f} KiB per frame, "
          f"{SECONDS:.0f} s per figure; threaded = the server of {OLD_COMMIT}", flush=True)
    old = threaded_module()
    results = {
        "threaded": measure("threaded", lambda feed: old.Viewer(feed), data),
        "aiohttp": measure("aiohttp", lambda feed: current.Viewer(feed, max_connections=2 * IDLE, idle_timeout=600.0),
                           data),
    }
    print("\nratios aiohttp / threaded (below 1: the new server is cheaper or faster):")
    for count in (1, 20, 50):
        a, t = results["aiohttp"][count][0], results["threaded"][count][0]
        print(f"  CPU per client at {count:2}: {a / t:.2f}" if t > 0 else f"  CPU per client at {count:2}: n/a")
    (ah, am, at), (th, tm, tt) = results["aiohttp"]["idle"], results["threaded"]["idle"]
    print(f"  with {IDLE} idle: memory grown {am / tm:.2f}, new-client time {at / tt:.2f}; "
          f"healthy client fps {ah:.1f} vs {th:.1f}" if tm > 0 and tt > 0 else "")


if __name__ == "__main__":
    main()
