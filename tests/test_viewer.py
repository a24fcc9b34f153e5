"""The viewer: its page in headless Chromium (driven by Selenium) on a
recording and on an emulated camera's controls; its safety rules and its
clients, over plain HTTP."""

from __future__ import annotations

import http.client
import io
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request
import zipfile

import pytest

av = pytest.importorskip("av")
pytest.importorskip("numpy")

from harness.feeds import Feed  # noqa: E402
from vorn_camera_sdk.cameras.camera_spec import CaptureMode  # noqa: E402
from vorn_camera_sdk.platform.linux import LinuxBackend  # noqa: E402
from vorn_camera_sdk.recording import record  # noqa: E402
from vorn_camera_sdk.sources.mkv_source import MkvSource  # noqa: E402
from vorn_camera_sdk.viewer import Viewer  # noqa: E402

CHROMEDRIVER = "/usr/bin/chromedriver"
MODE = CaptureMode(640, 180, 30, "MJPG", stereo=True)


def eventually(check, timeout=20.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("viewer") / "run.mkv"
    record(Feed(MODE, 240, gaps={50: 1}), path)  # 8 s
    return str(path)


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    if not os.path.exists(CHROMEDRIVER) or not shutil.which("chromium"):
        pytest.skip("Debian's chromium and chromium-driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--window-size=1280,720"):
        options.add_argument(arg)
    # The browser is not ours to check: no sanitizer runtime preloaded into it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    driver.implicitly_wait(10)
    yield driver
    driver.quit()


def open_page(driver, url):
    driver.get(url)
    assert eventually(lambda: driver.find_element("tag name", "body").get_attribute("data-ready") == "1")


def frames_on_page(driver) -> int:
    return int(driver.find_element("tag name", "body").get_attribute("data-frames") or 0)


def test_page_plays_a_recording_with_its_camera_facts_and_pauses(browser, recording):
    with Viewer(MkvSource(recording)) as viewer:
        open_page(browser, viewer.url)
        facts = browser.find_element("id", "facts").text
        assert "AB12CD34" in facts and "640x180@30/MJPG" in facts and "Baseline 60.10 mm" in facts
        assert "712.40" in browser.find_element("id", "calibration").text
        assert browser.find_element("id", "label-right").is_displayed()
        assert not browser.find_element("id", "controls-pane").is_displayed()
        picture = browser.find_element("id", "stream")
        assert eventually(lambda: frames_on_page(browser) > 5)
        first = picture.screenshot_as_png
        assert eventually(lambda: picture.screenshot_as_png != first)
        with urllib.request.urlopen(viewer.url + "snapshot.zip", timeout=10) as answer:
            pngs = zipfile.ZipFile(io.BytesIO(answer.read()))
        assert pngs.namelist() == ["left.png", "right.png", "frame.png"]
        assert all(pngs.read(name)[:8] == b"\x89PNG\r\n\x1a\n" for name in pngs.namelist())
        if os.environ.get("VORN_VIEWER_SCREENSHOT"):
            browser.save_screenshot(os.environ["VORN_VIEWER_SCREENSHOT"])

        browser.find_element("id", "pause").click()
        assert eventually(lambda: browser.find_element("id", "pause").text == "Play")

        def still() -> bool:  # a part already on its way may still be drawn: wait for the picture to settle
            number, shot = viewer.hub.number, picture.screenshot_as_png
            time.sleep(0.5)
            return viewer.hub.number == number and picture.screenshot_as_png == shot

        assert eventually(still)
        held = viewer.hub.number
        browser.find_element("id", "restart").click()
        browser.find_element("id", "pause").click()
        assert eventually(lambda: viewer.hub.number > held and viewer.status()["time"] < 2.0)


def test_panel_changes_controls_and_shows_what_the_device_took(browser, recording, emu):
    cam = emu.add_camera("VORN Talvex AB12CD34", controls={"auto_exposure": 3, "exposure": 156, "gain": 3,
                                                            "brightness": 0, "white_balance_auto": 1})
    cam.node.set_control("brightness", 0, limits=(-64, 64))
    handle = LinuxBackend().open_controls(cam.path)
    with Viewer(MkvSource(recording), controls=handle) as viewer:
        open_page(browser, viewer.url)
        exposure = browser.find_element("id", "input-exposure")
        assert browser.find_element("id", "value-auto_exposure").text == "Aperture Priority"
        assert not exposure.is_enabled() and not browser.find_element("id", "input-white_balance").is_enabled()
        assert browser.find_element("id", "input-brightness").is_enabled()

        def move(name, value):
            browser.execute_script(
                "const e = document.getElementById('input-' + arguments[0]); e.value = arguments[1];"
                "e.dispatchEvent(new Event('change'));", name, value)

        move("brightness", 40)
        assert eventually(lambda: browser.find_element("id", "value-brightness").text == "40")
        assert cam.node.requests("s_ctrl")[-1].value == 40
        move("auto_exposure", 1)  # manual: the exposure slider comes back
        assert eventually(lambda: exposure.is_enabled())
        move("exposure", 900)
        assert eventually(lambda: browser.find_element("id", "value-exposure").text == "900 100us")
        browser.find_element("id", "reset").click()
        assert eventually(lambda: not exposure.is_enabled())
        assert browser.find_element("id", "value-brightness").text == "0"
        handle.close()


def request(viewer, method, path, *, host=None, headers=None, body=None):
    connection = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=10)
    connection.putrequest(method, path, skip_host=True)
    connection.putheader("Host", host or f"127.0.0.1:{viewer.port}")
    for name, value in (headers or {}).items():
        connection.putheader(name, value)
    data = json.dumps(body).encode() if body is not None else b""
    connection.putheader("Content-Length", str(len(data)))
    connection.endheaders(data)
    answer = connection.getresponse()
    answer.read()
    connection.close()
    return answer


JSON = {"Content-Type": "application/json"}


@pytest.mark.parametrize("bind, method, path, extra, status", [
    ("0.0.0.0", "GET", "/status", {}, 403),                                        # no token
    ("0.0.0.0", "GET", "/status?token=wrong", {}, 403),                            # wrong token
    ("127.0.0.1", "GET", "/status", {"host": "rebound.example:1"}, 403),           # DNS rebinding
    ("0.0.0.0", "GET", "/status?token=T", {"host": "rebound.example"}, 403),
    ("127.0.0.1", "GET", "/playback", {}, 405),                                    # changes are POSTs
    ("127.0.0.1", "POST", "/playback", {"headers": {"Content-Type": "text/plain"}, "body": {"action": "pause"}}, 415),
    ("127.0.0.1", "POST", "/playback", {"headers": {**JSON, "Origin": "http://evil.example"},
                                        "body": {"action": "pause"}}, 403),
    ("127.0.0.1", "GET", "/../../etc/passwd", {}, 404),                            # only the app's routes
    ("127.0.0.1", "GET", "/static/viewer.js", {}, 404),
])
def test_safety_rules_refuse(recording, bind, method, path, extra, status):
    with Viewer(MkvSource(recording), bind=bind, token="T") as viewer:
        assert request(viewer, method, path, **extra).status == status
        assert not viewer.pump.paused  # a refused change changed nothing


def test_token_opens_the_page_then_lives_in_a_cookie(recording):
    with Viewer(MkvSource(recording), bind="0.0.0.0") as viewer:
        assert viewer.url.endswith(f"/?token={viewer.token}") and len(viewer.token) >= 24
        first = request(viewer, "GET", f"/?token={viewer.token}")
        cookie = first.getheader("Set-Cookie").split(";")[0]
        assert first.status == 200 and "HttpOnly" in first.getheader("Set-Cookie")
        assert request(viewer, "GET", "/info", headers={"Cookie": cookie}).status == 200
        assert request(viewer, "POST", "/playback", headers={**JSON, "Cookie": cookie},
                       body={"action": "pause"}).status == 200


def test_a_stalled_client_stalls_nobody_else(recording):
    with Viewer(MkvSource(recording)) as viewer:
        stalled = socket.create_connection(("127.0.0.1", viewer.port))
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.sendall(f"GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1:{viewer.port}\r\n\r\n".encode())
        reader = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=10)
        reader.request("GET", "/stream.mjpg")
        stream = reader.getresponse()
        assert stream.getheader("Content-Type") == "multipart/x-mixed-replace; boundary=vornframe"
        stamps = []
        while len(stamps) < 60:  # two seconds of frames, all JPEGs as recorded
            assert stream.fp.readline() == b"--vornframe\r\n"
            part = dict(iter(lambda: stream.fp.readline().rstrip(b"\r\n"), b"").__next__().split(b": ", 1)
                        for _ in range(3))
            assert stream.fp.readline() == b"\r\n"
            assert stream.fp.read(int(part[b"Content-Length"]))[:2] == b"\xff\xd8"
            assert stream.fp.readline() == b"\r\n"
            stamps.append(float(part[b"X-Timestamp"]))
        assert stamps == sorted(stamps) and stamps[-1] - stamps[0] > 1.5
        stalled.close()
        reader.close()


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_view_command_prints_the_url_and_stops_cleanly(recording, signum):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-m", "vorn_camera_sdk", "view", recording, "--bind", "0.0.0.0"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    url = urllib.parse.urlsplit(proc.stdout.readline().strip())
    token = urllib.parse.parse_qs(url.query)["token"][0]
    answer = urllib.request.urlopen(f"http://127.0.0.1:{url.port}/info?token={token}", timeout=10)
    assert json.loads(answer.read())["camera"]["serial"] == "AB12CD34"
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=20)
    assert proc.returncode == 0 and err == ""


def test_yuyv_frames_are_served_as_jpeg_encoded_in_the_hub(tmp_path):
    mode = CaptureMode(64, 16, 10, "YUYV", stereo=False)
    record(Feed(mode, 40), tmp_path / "yuyv.mkv")
    with Viewer(MkvSource(tmp_path / "yuyv.mkv")) as viewer:
        parts = []
        for _ in range(2):
            with urllib.request.urlopen(viewer.url + "stream.mjpg", timeout=10) as stream:
                while stream.readline().strip() != b"":
                    pass  # the first part's headers
                parts.append(stream.read(256))
        assert eventually(lambda: viewer.hub.number > 0)
        jpeg = viewer.hub.jpeg
        assert jpeg[:2] == b"\xff\xd8" and jpeg is not viewer.hub.packet.data
        picture = av.CodecContext.create("mjpeg", "r").decode(av.Packet(jpeg))[0]
        assert (picture.width, picture.height) == (64, 16)
        assert all(part[:2] == b"\xff\xd8" for part in parts)
