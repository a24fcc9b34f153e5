"""Recorder, snapshot and viewer against the USB/IP camera under uvcvideo.

The recorder reads every frame (the engine's ``all`` policy); what it got is
kept beside it, so the replayed file can be compared packet by packet. The
viewer's control routes are driven over HTTP from inside the guest (a
browser does not run well on the guest's one emulated CPU; the page itself
is tested in a real browser on the host).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
import urllib.parse
import urllib.request

import pytest

from kernel.rig import CONFIG, TALVEX, loopback_forwarder, module
from kernel.usbip_camera import read_frame_number


def _talvex(rig, discovery):
    rig.plug(TALVEX)
    record = discovery.get_connected_vorn_camera_by_serial(TALVEX["serial"])
    if record is None:
        dmesg = subprocess.run(["dmesg"], capture_output=True, text=True).stdout[-3000:]
        nodes = sorted(n for n in os.listdir("/dev") if n.startswith("video"))
        pytest.fail(f"the Talvex is not listed; nodes {nodes}, camera {rig.state(TALVEX)}\n{dmesg}")
    return record


class Kept:
    """The camera's packets, each kept as the recorder takes it."""

    def __init__(self, source) -> None:
        self.source, self.mode, self.record, self.kept = source, source.mode, source.record, []

    def packets(self):
        for packet in self.source.packets():
            self.kept.append(packet)
            yield packet

    def close(self) -> None:
        self.source.close()


@pytest.mark.parametrize("every", [0, 6])
def test_recording_replays_the_packets_and_times_the_camera_sent(rig, discovery, tmp_path, every):
    pytest.importorskip("av")
    np = pytest.importorskip("numpy")
    recording = module("vorn_camera_sdk.recording")
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    mkv = module("vorn_camera_sdk.sources.mkv_source")
    record = _talvex(rig, discovery)
    mode = record.spec.default_mode
    rig.server.call("skip", TALVEX["busid"], every=every)  # the camera leaves out every 6th frame
    live = Kept(camera_source.CameraSource(record, mode, latest=False))
    try:
        summary = recording.record(live, tmp_path / "cam.mkv", frames=20)
    finally:
        live.close()
        rig.server.call("skip", TALVEX["busid"], every=0)
    kept = live.kept
    numbers = [read_frame_number(recording.decode_packet(p, mode).to_ndarray(format="bgr24")) for p in kept]
    missing = numbers[-1] - numbers[0] + 1 - len(numbers)
    assert summary.frames == len(kept) == 20 and summary.lost == missing == sum(p.dropped for p in kept[1:])
    assert (missing > 0) == (every > 0)  # the engine lost nothing; the device's gaps are counted

    source = mkv.MkvSource(tmp_path / "cam.mkv")
    assert source.record.serial == TALVEX["serial"] and source.stereo
    replayed = list(source.packets())
    assert [p.data for p in replayed] == [p.data for p in kept]
    assert [p.timestamp for p in replayed] == pytest.approx([p.timestamp - kept[0].timestamp for p in kept], abs=1e-3)
    with mkv.MkvSource(tmp_path / "cam.mkv") as again:
        first = next(iter(again))
    decoded = recording.decode_packet(kept[0], mode).to_ndarray(format="bgr24")
    assert np.array_equal(first.image, decoded) and first.left.shape == (360, 640, 3)


def test_record_and_snapshot_commands_on_the_camera(rig, discovery, tmp_path):
    pytest.importorskip("av")
    record = _talvex(rig, discovery)
    facts = tmp_path / "talvex.json"
    facts.write_text(json.dumps(record.to_dict()))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    tool = [sys.executable, "-m", "vorn_camera_sdk"]
    done = subprocess.run([*tool, "record", str(facts), str(tmp_path / "c.mkv"), "--frames", "6",
                           "--mode", "640x360@30/YUYV"], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "6 frames" in done.stdout and "0 lost" in done.stdout and done.stderr == ""  # no status off a TTY
    packets = list(module("vorn_camera_sdk.sources.mkv_source").MkvSource(tmp_path / "c.mkv").packets())
    assert len(packets) == 6 and all(len(p.data) == 640 * 360 * 2 for p in packets)

    done = subprocess.run([*tool, "snapshot", str(facts), "-o", str(tmp_path / "snap")],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(tmp_path / "snap")) == ["frame.png", "left.png", "right.png"]
    assert not rig.state(TALVEX)["streaming"]


def test_a_recording_stops_on_sigterm_while_the_camera_sends_nothing(rig, discovery, tmp_path):
    pytest.importorskip("av")
    import signal

    record = _talvex(rig, discovery)
    facts = tmp_path / "talvex.json"
    facts.write_text(json.dumps(record.to_dict()))
    out = tmp_path / "stalled.mkv"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-m", "vorn_camera_sdk", "record", str(facts), str(out),
                             "--mode", "640x360@30/MJPG"], env=env, stdout=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while (not out.exists() or out.stat().st_size == 0) and time.monotonic() < deadline:
            time.sleep(0.1)  # the header goes out with the first frame
        rig.server.call("skip", TALVEX["busid"], every=1)  # every frame damaged: nothing arrives
        time.sleep(1.0)
        proc.send_signal(signal.SIGTERM)
        stdout, _ = proc.communicate(timeout=60)  # nothing but the signal ends it
    finally:
        rig.server.call("skip", TALVEX["busid"], every=0)
        proc.kill()
    assert proc.returncode == 0, stdout
    frames = int(stdout.split(": ", 1)[1].split()[0])
    packets = list(module("vorn_camera_sdk.sources.mkv_source").MkvSource(out).packets())
    assert frames >= 1 and len(packets) == frames
    assert not rig.state(TALVEX)["streaming"]


def _post(url: str, payload: dict) -> dict:
    request = urllib.request.Request(url, json.dumps(payload).encode(), {"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=20) as answer:
        return json.loads(answer.read())


def test_viewer_controls_reach_the_camera_and_show_what_it_took(rig, discovery):
    pytest.importorskip("av")
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    viewer_module = module("vorn_camera_sdk.viewer")
    record = _talvex(rig, discovery)
    with viewer_module.Viewer(camera_source.CameraSource(record, record.spec.default_mode)) as viewer:
        base = viewer.url
        deadline = time.monotonic() + 30
        while viewer.hub.number < 3 and time.monotonic() < deadline:
            time.sleep(0.1)
        with urllib.request.urlopen(base + "stream.mjpg", timeout=20) as stream:
            assert stream.headers["Content-Type"].startswith("multipart/x-mixed-replace")
            part = stream.read(65536)
            assert b"Content-Type: image/jpeg" in part and b"\xff\xd8" in part
        assert viewer.hub.jpeg is viewer.hub.packet.data  # MJPG passed through, never re-encoded
        status = json.loads(urllib.request.urlopen(base + "status", timeout=20).read())
        assert status["fps"] > 0 and status["age_ms"] is not None and status["lost"] == 0

        state = _post(base + "controls", {"name": "brightness", "value": 17})
        assert state["ok"] and state["values"]["brightness"] == 17
        assert ("brightness", 17) in [tuple(e) for e in rig.state(TALVEX)["set_log"]]

        assert _post(base + "controls", {"name": "auto_exposure", "value": 3})["disabled"]["exposure"] is True
        state = _post(base + "controls", {"name": "auto_exposure", "value": 1})
        assert state["disabled"]["exposure"] is False
        state = _post(base + "controls", {"name": "exposure", "value": 250})
        assert state["ok"] and state["values"]["exposure"] == rig.state(TALVEX)["controls"]["exposure"] == 250

        state = _post(base + "controls/reset", {})
        assert state["values"]["brightness"] == 0 and state["disabled"]["exposure"] is True
    assert not rig.state(TALVEX)["streaming"]  # closing the viewer released the camera


def test_viewer_says_reconnecting_while_the_camera_is_unplugged(rig, discovery):
    pytest.importorskip("av")
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    viewer_module = module("vorn_camera_sdk.viewer")
    record = _talvex(rig, discovery)
    page = _Page(None)
    seen = []

    def state(url: str) -> dict:
        with urllib.request.urlopen(url + "status", timeout=20) as answer:
            status = json.loads(answer.read())
        if not seen or seen[-1] != status["state"]:
            seen.append(status["state"])
        return status

    try:
        with viewer_module.Viewer(camera_source.CameraSource(record, record.spec.default_mode, reconnect=60)) as viewer:
            assert page.wait(lambda: state(viewer.url)["state"] == "live"), seen
            rig.pull(TALVEX)
            assert page.wait(lambda: state(viewer.url)["state"] == "reconnecting"), (seen, state(viewer.url))
            held = viewer.hub.number
            rig.plug(TALVEX)
            assert page.wait(lambda: state(viewer.url)["state"] == "live" and viewer.hub.number > held, 60.0), seen
            assert state(viewer.url)["reconnects"] == 1
    finally:
        rig.plug(TALVEX)


def test_page_on_the_camera_in_a_browser(rig, discovery):
    """The host's Chromium, driven from here, on the page this guest serves."""
    pytest.importorskip("av")
    browser = CONFIG.get("browser")
    if not browser:
        pytest.skip(f"no browser on the host: {CONFIG.get('browser_skip')}")
    webdriver = module("selenium.webdriver")
    camera_source = module("vorn_camera_sdk.sources.camera_source")
    viewer_module = module("vorn_camera_sdk.viewer")
    record = _talvex(rig, discovery)
    options = webdriver.ChromeOptions()
    options.binary_location = browser["chromium"]
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(arg)
    source = camera_source.CameraSource(record, record.spec.default_mode)
    local = _loopback_forwarder(browser["webdriver"])  # chromedriver takes loopback Host names only
    with viewer_module.Viewer(source, bind="0.0.0.0", port=browser["viewer_port"]) as viewer:
        driver = webdriver.Remote(command_executor=local, options=options)
        try:
            driver.get(f"{browser['page_base']}/?token={viewer.token}")
            page = _Page(driver)
            assert page.wait(lambda: page.attribute("data-ready") == "1")
            assert page.wait(lambda: int(page.attribute("data-frames") or 0) > 0)
            page.move("auto_exposure", 3)
            assert page.wait(lambda: not page.enabled("input-exposure"))  # auto exposure holds the slider
            page.move("brightness", 23)
            assert page.wait(lambda: page.text("value-brightness") == "23")
            assert ["brightness", 23] in rig.state(TALVEX)["set_log"]
            page.move("auto_exposure", 1)
            assert page.wait(lambda: page.enabled("input-exposure"))
            page.move("exposure", 420)
            assert page.wait(lambda: page.text("value-exposure") == "420 100us")
            assert rig.state(TALVEX)["controls"]["exposure"] == 420
            driver.find_element("id", "reset").click()
            assert page.wait(lambda: page.text("value-brightness") == "0" and not page.enabled("input-exposure"))
        finally:
            driver.quit()


def _loopback_forwarder(url: str) -> str:
    """A guest loopback address whose connections are carried to ``url``'s host and port."""
    target = urllib.parse.urlsplit(url)
    listener = loopback_forwarder(0, target.hostname, target.port)
    return f"http://127.0.0.1:{listener.getsockname()[1]}"


class _Page:
    def __init__(self, driver) -> None:
        self.driver = driver

    def wait(self, check, timeout: float = 30.0) -> bool:
        deadline = time.monotonic() + timeout
        while not check():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)
        return True

    def attribute(self, name: str):
        return self.driver.find_element("tag name", "body").get_attribute(name)

    def text(self, element: str) -> str:
        return self.driver.find_element("id", element).text

    def enabled(self, element: str) -> bool:
        return self.driver.find_element("id", element).is_enabled()

    def move(self, name: str, value: int) -> None:
        self.driver.execute_script(
            "const e = document.getElementById('input-' + arguments[0]); e.value = arguments[1];"
            "e.dispatchEvent(new Event('change'));", name, value)
