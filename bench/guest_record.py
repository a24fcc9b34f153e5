"""Recorder and viewer measurements inside the QEMU guest, on the USB/IP test
camera through the real uvcvideo driver (run by bench/bench_record_guest.py).

Each measurement prints one line "@@BENCH@@ {json}" for the host runner.
CPU shares are this process's CPU time over wall time, in percent of the
guest's one CPU, for: reading every packet (the floor), recording them, and
serving them to one viewer client in another process.
"""

from __future__ import annotations

import json
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

import pytest

from kernel.rig import TALVEX, module

STREAM_CLIENT = Path(__file__).with_name("stream_client.py")
SECONDS = 6.0

def report(name: str, **values) -> None:
    print("@@BENCH@@ " + json.dumps({"name": name, **values}), flush=True)


def cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


@pytest.fixture
def camera(rig, discovery):
    pytest.importorskip("av")
    rig.plug(TALVEX)
    found = discovery.get_connected_vorn_camera_by_serial(TALVEX["serial"])
    assert found is not None
    return found, found.spec.default_mode  # MJPG 1280x360 30 fps, stereo


def test_recorder_cpu(camera, tmp_path):
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    recording = module("vorn_camera_sdk.recording")
    record, mode = camera
    warm = camera_source.CameraSource(record, mode, latest=False)  # the first stream of a boot costs more
    for packet in warm.packets():
        if packet.sequence > 30:
            break
    warm.close()
    for _ in range(2):
        source = camera_source.CameraSource(record, mode, latest=False)
        wall, used, count = time.monotonic(), cpu(), 0
        for packet in source.packets():
            count += 1
            if time.monotonic() - wall > SECONDS:
                break
        source.close()
        floor = (cpu() - used) / (time.monotonic() - wall) * 100
        wall, used = time.monotonic(), cpu()
        summary = recording.record(record, tmp_path / "bench.mkv", duration=SECONDS, mode=mode)
        share = (cpu() - used) / (time.monotonic() - wall) * 100
        report("recorder", read_only_cpu_pct=round(floor, 1), read_fps=round(count / SECONDS, 1),
               record_cpu_pct=round(share, 1), recorder_share_pct=round(share - floor, 1),
               fps=round(summary.fps, 1), lost=summary.lost, frames=summary.frames)


def test_viewer_cpu_and_latency(camera):
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    viewer_module = module("vorn_camera_sdk.viewer")
    record, mode = camera
    source = camera_source.CameraSource(record, mode)
    wall, used = time.monotonic(), cpu()
    for packet in source.packets():
        if time.monotonic() - wall > SECONDS:
            break
    source.close()
    floor = (cpu() - used) / (time.monotonic() - wall) * 100
    with viewer_module.Viewer(camera_source.CameraSource(record, mode)) as viewer:
        while viewer.hub.number < 5:
            time.sleep(0.1)
        wall, used, engine = time.monotonic(), cpu(), []
        client = subprocess.Popen([sys.executable, str(STREAM_CLIENT), str(viewer.port), str(SECONDS)],
                                  stdout=subprocess.PIPE, text=True)
        while client.poll() is None:
            if viewer.hub.engine_age is not None:
                engine.append(viewer.hub.engine_age)
            time.sleep(0.05)
        share = (cpu() - used) / (time.monotonic() - wall) * 100
        ages = [float(a) for a in client.stdout.read().split()]
    report("viewer", read_only_cpu_pct=round(floor, 1), viewer_cpu_pct=round(share, 1),
           viewer_share_pct=round(share - floor, 1), client_fps=round(len(ages) / SECONDS, 1),
           age_client_ms=round(statistics.median(ages) * 1000, 1),
           age_engine_ms=round(statistics.median(engine) * 1000, 1),
           added_ms=round((statistics.median(ages) - statistics.median(engine)) * 1000, 1))
