"""The viewer: its page in headless Chromium (driven by Selenium) on a
recording and on an emulated camera's controls; its safety rules and its
clients, over plain HTTP."""

from __future__ import annotations

import errno
import fcntl
import http.client
import io
import json
import logging
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import termios
import threading
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
from vorn_camera_sdk.viewer.frames import VIEWS  # noqa: E402

CHROMEDRIVER = "/usr/bin/chromedriver"
MODE = CaptureMode(640, 180, 30, "MJPG", stereo=True)
EXPOSURE_AUTO, EXPOSURE = 0x009A0901, 0x009A0902  # V4L2 control ids


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
        assert browser.title == "VORN camera viewer" and browser.current_url == viewer.url
        facts = browser.find_element("id", "facts").text
        assert "AB12CD34" in facts and "640x180@30/MJPG" in facts and "Baseline 60.10 mm" in facts
        assert "178.10" in browser.find_element("id", "calibration").text  # fx in the mode's pixels
        assert browser.find_element("id", "label-right").is_displayed()
        assert not browser.find_element("id", "controls-pane").is_displayed()
        assert browser.find_element("id", "duration").text == "0:08.000"
        picture = browser.find_element("id", "stream")
        assert eventually(lambda: frames_on_page(browser) > 5)
        first = picture.screenshot_as_png
        assert eventually(lambda: picture.screenshot_as_png != first)
        (player,) = viewer.players.values()
        with urllib.request.urlopen(f"{viewer.url}snapshot.zip?player={player.ident_text}", timeout=10) as answer:
            pngs = zipfile.ZipFile(io.BytesIO(answer.read()))
        assert pngs.namelist() == ["left.png", "right.png", "frame.png"]
        assert all(pngs.read(name)[:8] == b"\x89PNG\r\n\x1a\n" for name in pngs.namelist())
        # The picture and the panel fill the window's height.
        assert picture.rect["y"] + picture.rect["height"] > 0.6 * browser.execute_script("return innerHeight")
        if os.environ.get("VORN_VIEWER_SCREENSHOT"):
            browser.save_screenshot(os.environ["VORN_VIEWER_SCREENSHOT"])

        browser.find_element("id", "pause").click()
        assert eventually(lambda: browser.find_element("id", "pause").text == "Play")
        paused_at = player.position
        assert paused_at < player.duration - 2.0  # paused while there was still plenty to play

        def still() -> bool:  # a part already on its way may still be drawn: wait for the picture to settle
            number, shot = player.hub.number, picture.screenshot_as_png
            time.sleep(0.5)
            return player.hub.number == number and picture.screenshot_as_png == shot

        assert eventually(still)
        time.sleep(1.0)
        assert player.position == paused_at and not player.ended
        browser.find_element("id", "restart").click()  # back to start, still paused
        assert eventually(lambda: player.position == player.first and page_time(browser) == 0.0)
        assert browser.find_element("id", "pause").text == "Play" and player.paused
        browser.find_element("id", "pause").click()
        assert eventually(lambda: page_time(browser) > 0.5)


def page_time(driver) -> float:
    return float(driver.find_element("tag name", "body").get_attribute("data-time") or -1)


def test_two_pages_play_one_recording_each_its_own_way(browser, recording):
    """One page paused and stepped, the other playing, then seeking by the timeline."""
    with Viewer(MkvSource(recording)) as viewer:
        open_page(browser, viewer.url)
        first = browser.current_window_handle
        browser.switch_to.new_window("tab")
        open_page(browser, viewer.url)
        second = browser.current_window_handle
        assert eventually(lambda: len(viewer.players) == 2)
        browser.switch_to.window(first)
        browser.find_element("id", "pause").click()
        assert eventually(lambda: browser.find_element("id", "pause").text == "Play")
        held = page_time(browser)
        with MkvSource(recording) as source:
            stamps = [p.timestamp for p in source.packets()]  # the recording has a lost frame at 50
        stamps = [s - stamps[0] for s in stamps]
        after = min(s for s in stamps if s > held + 1e-3)
        before = max(s for s in stamps if s < held - 1e-3)
        browser.find_element("id", "step-forward").click()
        assert eventually(lambda: abs(page_time(browser) - after) < 1e-3)
        browser.find_element("id", "step-back").click()
        browser.find_element("id", "step-back").click()
        assert eventually(lambda: abs(page_time(browser) - before) < 1e-3)

        browser.switch_to.window(second)
        assert browser.find_element("id", "pause").text == "Pause"
        start = page_time(browser)
        assert eventually(lambda: page_time(browser) > start + 0.5)  # the other page plays on
        timeline = browser.find_element("id", "timeline")
        ActionChains = pytest.importorskip("selenium.webdriver").ActionChains
        # Dragged to three quarters of its width: about 6 s into the 8 s recording.
        ActionChains(browser).click_and_hold(timeline).move_by_offset(timeline.size["width"] // 4, 0) \
            .release().perform()
        assert eventually(lambda: 5.0 < page_time(browser) <= 8.0)
        browser.close()
        browser.switch_to.window(first)
        assert abs(page_time(browser) - before) < 1e-3  # the paused page did not move


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
        # Reset again, from the automatic companion's side: auto exposure on
        # holds the exposure, so the companion goes to manual first, then the
        # exposure is written, then the companion back to its default.
        move("auto_exposure", 3)
        assert eventually(lambda: browser.find_element("id", "value-auto_exposure").text == "Aperture Priority")
        before = len(cam.node.requests("s_ctrl"))
        browser.execute_script("document.getElementById('message').textContent = ''")
        browser.find_element("id", "reset").click()
        assert eventually(lambda: "reset" in browser.find_element("id", "message").text)
        writes = [(r.id, r.value) for r in cam.node.requests("s_ctrl")[before:]]
        assert writes.index((EXPOSURE_AUTO, 1)) < writes.index((EXPOSURE, 312)) < writes.index((EXPOSURE_AUTO, 3))
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
    answer.body = answer.read()
    connection.close()
    return answer


JSON = {"Content-Type": "application/json"}


def new_player(viewer, token="") -> str:
    answer = request(viewer, "POST", f"/players{token}", headers=JSON, body={})
    assert answer.status == 200
    return json.loads(answer.body)["player"]


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
        player = new_player(viewer, "?token=T")
        if "body" in extra:
            extra["body"] = {**extra["body"], "player": player}
        assert request(viewer, method, path, **extra).status == status
        assert not viewer.players[player].paused  # a refused change changed nothing


def test_token_opens_the_page_then_lives_in_a_cookie_of_this_viewer(recording):
    with Viewer(MkvSource(recording), bind="0.0.0.0") as viewer, \
            Viewer(MkvSource(recording), bind="0.0.0.0") as other:
        assert viewer.url.endswith(f"/?token={viewer.token}") and len(viewer.token) >= 24
        first = request(viewer, "GET", f"/?token={viewer.token}")
        setting = first.getheader("Set-Cookie")
        cookie = setting.split(";")[0]
        assert first.status == 200 and cookie == f"vorn_viewer_{viewer.port}={viewer.token}"
        assert "HttpOnly" in setting and "SameSite=Strict" in setting
        assert first.getheader("Referrer-Policy") == "no-referrer"
        # The other viewer's cookie sits beside it (a browser sends both) and locks nobody out.
        other_cookie = request(other, "GET", f"/?token={other.token}").getheader("Set-Cookie").split(";")[0]
        both = {"Cookie": f"{cookie}; {other_cookie}"}
        assert request(viewer, "GET", "/info", headers=both).status == 200
        assert request(other, "GET", "/info", headers=both).status == 200
        player = json.loads(request(viewer, "POST", "/players", headers={**JSON, **both}, body={}).body)["player"]
        assert request(viewer, "POST", "/playback", headers={**JSON, **both},
                       body={"action": "pause", "player": player}).status == 200
        assert viewer.players[player].paused


class Rig:
    """A token viewer on a recording, with an emulated camera's controls in its panel."""

    def __init__(self, emu, recording, **options):
        self.cam = emu.add_camera("VORN Talvex AB12CD34", controls={"auto_exposure": 1, "exposure": 156, "gain": 3})
        self.handle = LinuxBackend().open_controls(self.cam.path)
        self.viewer = Viewer(MkvSource(recording), bind="0.0.0.0", token="T", controls=self.handle, **options)

    def __enter__(self):
        self.viewer.start()
        return self

    def __exit__(self, *exc_info):
        self.viewer.close()
        self.handle.close()

    def raw(self, data: bytes, *, whole: bool = False) -> bytes:
        """``data`` sent as it is; the answer's status line (b"" when closed without one). With
        ``whole``, the connection must then be closed, with one answer only: what followed the bad
        request was not taken for a request."""
        with socket.create_connection(("127.0.0.1", self.viewer.port), timeout=10) as sock:
            sock.sendall(data)
            answer = b""
            while (b"\r\n" not in answer or whole) and (chunk := sock.recv(65536)):
                answer += chunk
        if whole:
            assert answer.count(b"HTTP/1.") == 1, answer
        return answer.split(b"\r\n")[0]

    def answers(self) -> bool:
        return self.raw(b"GET /status?token=T HTTP/1.1\r\nHost: localhost\r\n\r\n") == b"HTTP/1.1 200 OK"


def post(path: str, body: bytes, *, length: bytes | None = None, extra: bytes = b"") -> bytes:
    size = str(len(body)).encode() if length is None else length
    return (b"POST " + path.encode() + b" HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
            + extra + b"Content-Length: " + size + b"\r\n\r\n" + body)


def control(value: bytes) -> bytes:
    return post("/controls?token=T", b'{"name": "gain", "value": ' + value + b"}")


COOKIE = b"Cookie: vorn_viewer_{port}=T\r\n"
HOSTILE = [
    # the token: malformed, not ASCII, wrong in a cookie; foreign cookies beside the right one
    (b"GET /?token=%C3%A9 HTTP/1.1\r\nHost: localhost\r\n\r\n", 400),
    (b"GET /?token=%FF%FE HTTP/1.1\r\nHost: localhost\r\n\r\n", 400),
    (b"GET /status HTTP/1.1\r\nHost: localhost\r\nCookie: vorn_viewer_{port}=U\r\n\r\n", 403),
    (b"GET /status HTTP/1.1\r\nHost: localhost\r\nCookie: vorn_viewer_1=T\r\n\r\n", 403),
    (b'GET /status HTTP/1.1\r\nHost: localhost\r\nCookie: prefs={"theme":"dark"}; a="b; vorn_viewer_{port}=T\r\n\r\n',
     200),
    # the Host: malformed, missing, twice, another name
    (b"GET /status?token=T HTTP/1.1\r\nHost: [127.0.0.1]:80\r\n\r\n", 400),
    (b"GET /status?token=T HTTP/1.1\r\nHost: [\r\n\r\n", 400),
    (b"GET /status?token=T HTTP/1.1\r\n\r\n", 400),
    (b"GET /status?token=T HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n", 400),
    (b"GET /status?token=T HTTP/1.1\r\nHost: evil.example\r\n\r\n", 403),
    # lengths and bodies
    (post("/players?token=T", b"{}", length=b"-1"), 400),
    (post("/players?token=T", b"{}", length=b"abc"), 400),
    (post("/players?token=T", b" " * 70000 + b"GET /status?token=T HTTP/1.1\r\nHost: localhost\r\n\r\n"), 413),
    (post("/players?token=T", b"[" * 30000 + b"]" * 30000), 400),
    (post("/players?token=T", b"{not json"), 400),
    (post("/players?token=T", b"[1, 2]"), 400),
    (post("/players?token=T", b"\xff\xfe{}"), 400),
    (post("/players?token=T", b"{}").replace(b"application/json", b"text/plain"), 415),
    (post("/players?token=T", b"{}", extra=b"Origin: http://evil.example\r\n"), 403),
    # control values: finite, whole, within the catalog's range, known
    (control(b"NaN"), 400),
    (control(b"Infinity"), 400),
    (control(b"1e999"), 400),
    (control(b"2147483648"), 400),
    (control(b"-1"), 400),
    (control(b"2.5"), 400),
    (control(b'"5"'), 400),
    (control(b"true"), 400),
    (post("/controls?token=T", b'{"name": "gainz", "value": 1}'), 404),
    (post("/controls?token=T", b'{"name": "auto_exposure", "value": 2}'), 400),  # not an entry of its menu
    # playback values
    (post("/playback?token=T", b'{"player": "p0", "action": "seek", "value": NaN}'), 400),
    (post("/playback?token=T", b'{"player": "../p1", "action": "pause"}'), 400),
    (post("/playback?token=T", b'{"player": "p999999", "action": "pause"}'), 404),
    # cross-site: no-cors picture, snapshot; a top-level navigation to the page is let through
    (b"GET /stream.mjpg HTTP/1.1\r\nHost: localhost\r\n" + COOKIE
     + b"Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: image\r\n\r\n", 403),
    (b"GET /snapshot.zip HTTP/1.1\r\nHost: localhost\r\n" + COOKIE + b"Sec-Fetch-Site: same-site\r\n\r\n", 403),
    (b"GET /?token=T HTTP/1.1\r\nHost: localhost\r\n"
     b"Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: document\r\n\r\n", 200),
    # not HTTP, methods and lines it does not serve
    (b"\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03\r\n\r\n", 400),
    (b"TRACE /?token=T HTTP/1.1\r\nHost: localhost\r\n\r\n", 405),
    (b"PUT /controls?token=T HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n", 405),
    (b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: localhost\r\n\r\n", 400),
    (b"GET /status?token=T HTTP/1.1\r\nHost: localhost\r\nX: " + b"b" * 20000 + b"\r\n\r\n", 400),
]


@pytest.mark.parametrize("data, status", HOSTILE, ids=[f"row{i}" for i in range(len(HOSTILE))])
def test_every_hostile_request_gets_its_answer_and_the_server_goes_on(emu, recording, capfd, caplog, data, status):
    with Rig(emu, recording) as rig:
        sent = len(rig.cam.node.requests("s_ctrl"))
        line = rig.raw(data.replace(b"{port}", str(rig.viewer.port).encode()), whole=status in (400, 413))
        assert line.split(b" ")[1:2] == [str(status).encode()], line
        assert rig.answers()
        if status != 200:
            assert len(rig.cam.node.requests("s_ctrl")) == sent  # nothing reached the camera
    assert quiet(capfd, caplog)


def quiet(capfd, caplog) -> bool:
    """Nothing on stderr, and no log record that would go there outside the tests."""
    return capfd.readouterr().err == "" and not [r for r in caplog.records if r.levelno >= logging.WARNING]


def test_half_open_and_surplus_connections_are_answered_and_reaped(emu, recording, capfd, caplog):
    with Rig(emu, recording, max_connections=300, idle_timeout=5.0) as rig:
        port = rig.viewer.port
        loris = []
        for _ in range(250):  # half-open requests: headers that never end
            sock = socket.create_connection(("127.0.0.1", port), timeout=10)
            sock.sendall(b"GET /status?token=T HTTP/1.1\r\nHost: local")
            loris.append(sock)
        began = time.monotonic()
        assert rig.answers() and time.monotonic() - began < 5.0  # a new client is still served
        more = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(60)]
        assert rig.raw(b"GET /status?token=T HTTP/1.1\r\nHost: localhost\r\n\r\n") == \
            b"HTTP/1.1 503 Service Unavailable"  # past the cap
        surplus = sum(sock.recv(4096).startswith(b"HTTP/1.1 503 ") for sock in more)
        assert surplus >= 10  # each connection past the cap was told so
        for sock in loris:  # and every dawdler is closed after the idle time-out
            assert sock.recv(4096) == b""
            sock.close()
        assert eventually(rig.answers)
    assert quiet(capfd, caplog)


def test_stream_clients_that_leave_while_no_frames_flow_are_released(recording, capfd, caplog):
    with Viewer(MkvSource(recording)) as viewer:
        player_id = new_player(viewer)
        player = viewer.players[player_id]
        request(viewer, "POST", "/playback", headers=JSON, body={"player": player_id, "action": "pause"})
        clients = []
        for _ in range(20):
            client = socket.create_connection(("127.0.0.1", viewer.port), timeout=10)
            client.sendall(f"GET /stream.mjpg?player={player_id} HTTP/1.1\r\nHost: localhost\r\n\r\n".encode())
            clients.append(client)
        assert eventually(lambda: player.watchers == 20)
        for client in clients:
            client.close()
        assert eventually(lambda: player.watchers == 0)
    assert quiet(capfd, caplog)


def read_part(stream) -> tuple[dict, bytes]:
    assert stream.readline() == b"--vornframe\r\n"
    head = {}
    while line := stream.readline().rstrip(b"\r\n"):
        name, _, value = line.partition(b": ")
        head[name] = value
    body = stream.read(int(head[b"Content-Length"]))
    assert stream.readline() == b"\r\n"
    return head, body


def test_a_stalled_client_stalls_nobody_else():
    feed = Feed(MODE, 600, pace=True)  # 20 s of live frames
    with Viewer(feed) as viewer:
        stalled = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # before connect: the window stays small
        stalled.connect(("127.0.0.1", viewer.port))
        stalled.sendall(f"GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1:{viewer.port}\r\n\r\n".encode())
        reader = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=10)
        reader.request("GET", "/stream.mjpg")
        stream = reader.getresponse()
        assert stream.getheader("Content-Type") == "multipart/x-mixed-replace; boundary=vornframe"
        stamps = []
        while len(stamps) < 120:  # four seconds of frames, all JPEGs as the camera sent them
            head, body = read_part(stream)
            assert body[:2] == b"\xff\xd8"
            stamps.append(float(head[b"X-Timestamp"]))
        waiting = bytearray(4)
        fcntl.ioctl(stalled, termios.FIONREAD, waiting)
        queued = int.from_bytes(waiting, sys.byteorder)
        size = len(feed.sent[0].data)
        # The healthy client got its frames in order, skipping few ...
        assert stamps == sorted(stamps) and (stamps[-1] - stamps[0]) * MODE.fps < 150
        # ... while the stalled one's socket is full and holds a few frames, not all of them.
        assert 0 < queued < 20 * size
        stalled.close()
        reader.close()


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_view_command_prints_the_url_and_stops_cleanly(recording, signum):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-m", "vorn_camera_sdk", "view", recording, "--bind", "::"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 20)
        assert ready, "the viewer printed no URL"
        url = urllib.parse.urlsplit(proc.stdout.readline().strip())
        token = urllib.parse.parse_qs(url.query)["token"][0]
        answer = urllib.request.urlopen(f"http://[::1]:{url.port}/info?token={token}", timeout=10)
        assert json.loads(answer.read())["camera"]["serial"] == "AB12CD34"
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=20)
    finally:
        proc.kill()
    assert proc.returncode == 0 and err == ""


@pytest.mark.parametrize("bind, host", [("::1", "::1"), ("::", "::1"), ("::", "127.0.0.1")])
def test_ipv6_binds(recording, bind, host):
    with Viewer(recording, bind=bind, token="T") as viewer:  # a recording's path, opened by the viewer
        with socket.create_connection((host, viewer.port), timeout=10) as sock:
            sock.sendall(f"GET /info?token=T HTTP/1.1\r\nHost: [::1]:{viewer.port}\r\n\r\n".encode())
            assert sock.recv(4096).startswith(b"HTTP/1.1 200 OK")


def test_yuyv_frames_are_encoded_once_per_frame_for_every_client(tmp_path):
    mode = CaptureMode(64, 16, 30, "YUYV", stereo=False)
    feed = Feed(mode, 300, pace=True)
    with Viewer(feed) as viewer:
        streams = [urllib.request.urlopen(viewer.url + "stream.mjpg", timeout=10) for _ in range(3)]
        parts = [[read_part(s)[1] for _ in range(10)] for s in streams]
        assert all(p[:2] == b"\xff\xd8" for client in parts for p in client)
        picture = av.CodecContext.create("mjpeg", "r").decode(av.Packet(parts[0][0]))[0]
        assert (picture.width, picture.height) == (64, 16)
        for stream in streams:
            stream.close()
    assert viewer.hub.encodes == viewer.hub.number >= 10  # one encode per frame, whatever the number of clients


class Unplugged(Feed):
    """A live camera that goes away after ``away_after`` frames and comes back when ``back`` is set;
    with ``gone`` it never does and the stream fails the way a lost device does."""

    def __init__(self, away_after: int, *, gone: bool = False) -> None:
        super().__init__(MODE, 100_000, pace=True)
        self.away_after, self.gone = away_after, gone
        self.reconnect = None if gone else 30.0
        self.back, self.closed = threading.Event(), threading.Event()

    def packets(self):
        for i, packet in enumerate(super().packets()):
            if self.closed.is_set():
                return
            if i == self.away_after:
                if self.gone:
                    raise OSError(errno.ENODEV, "No such device")
                while not self.back.wait(0.1):
                    if self.closed.is_set():
                        return
            yield packet

    def close(self) -> None:
        self.closed.set()


@pytest.mark.parametrize("gone", [False, True])
def test_page_shows_a_camera_that_went_away(browser, gone):
    feed = Unplugged(20, gone=gone)
    with Viewer(feed) as viewer:
        open_page(browser, viewer.url)
        banner = browser.find_element("id", "banner")
        expected = "No such device" if gone else "camera disconnected – reconnecting…"
        assert eventually(lambda: banner.is_displayed() and "camera disconnected" in banner.text
                          and expected in banner.text), banner.text
        if not gone:
            feed.back.set()
            assert eventually(lambda: not banner.is_displayed() and viewer.status()["state"] == "live")


def test_page_opens_beside_foreign_cookies_and_hides_its_token(browser, recording):
    with Viewer(MkvSource(recording), bind="0.0.0.0") as viewer:
        base = f"http://127.0.0.1:{viewer.port}/"
        browser.get(base + "favicon.svg")  # on the host, before the viewer's cookie exists
        for name, value in (("prefs", '{"theme":"dark"}'), ("vorn_viewer_1", "another-viewers-token"),
                            ("session", "a=b=c")):
            browser.add_cookie({"name": name, "value": value, "path": "/"})
        open_page(browser, f"{base}?token={viewer.token}")
        assert browser.current_url == base  # the token left the address bar ...
        assert viewer.token not in browser.execute_script("return document.cookie")  # ... and script's reach
        browser.refresh()  # the cookie alone opens the page now
        assert eventually(lambda: browser.find_element("tag name", "body").get_attribute("data-ready") == "1")
        assert eventually(lambda: frames_on_page(browser) > 3)
        browser.delete_all_cookies()


class Garbled(Feed):
    """A live camera whose MJPG packets are not JPEGs."""

    def packets(self):
        for packet in super().packets():
            yield type(packet)(b"\xff\xd8 not a picture", packet.sequence, packet.timestamp, packet.dropped)


def test_an_unexpected_failure_is_a_500_and_one_log_line(capfd, caplog):
    with Viewer(Garbled(MODE, 300, pace=True)) as viewer:
        assert eventually(lambda: viewer.hub.number > 0)
        answer = request(viewer, "GET", "/snapshot.zip")
        assert answer.status == 500 and b"Traceback" not in answer.body
        assert request(viewer, "GET", "/status").status == 200
    (record,) = [r for r in caplog.records if r.name.startswith("vorn_camera_sdk.viewer")]  # not another test's leftovers
    message = record.getMessage()
    assert record.exc_info is None and "\n" not in message and "GET /snapshot.zip failed: InvalidDataError" in message
    assert capfd.readouterr().err == ""


def test_a_view_added_to_the_registry_is_served_also_to_a_paused_page(recording, monkeypatch):
    # A view is one more registry entry; a page that picks it while paused gets the frame it stands on.
    monkeypatch.setitem(VIEWS, "reversed", lambda mode: lambda packet: bytes(packet.data[::-1]))
    with Viewer(MkvSource(recording)) as viewer:
        player_id = new_player(viewer)
        player = viewer.players[player_id]
        assert eventually(lambda: player.hub.number > 3)
        request(viewer, "POST", "/playback", headers=JSON, body={"player": player_id, "action": "pause"})
        assert eventually(lambda: player.paused and player.hub.packet is not None)
        time.sleep(0.2)
        shown = player.hub.packet
        url = f"{viewer.url}stream.mjpg?player={player_id}&view=reversed"
        with urllib.request.urlopen(url, timeout=10) as stream:
            head, body = read_part(stream)
        assert body == shown.data[::-1] and float(head[b"X-Timestamp"]) == shown.timestamp
        assert "reversed" in json.loads(request(viewer, "GET", "/info").body)["views"]
        assert request(viewer, "GET", f"/stream.mjpg?player={player_id}&view=no-such-view").status == 400


def test_page_shows_depth_with_its_legend_and_the_distance_under_the_pointer(browser, tmp_path):
    pytest.importorskip("cv2")
    import depth_scenes

    record(depth_scenes.RenderedFeed(depth_scenes.SMALL, ["plane-1.2m"] * 240), tmp_path / "plane.mkv")
    with Viewer(MkvSource(tmp_path / "plane.mkv")) as viewer:
        open_page(browser, viewer.url)
        assert "0.0003" in browser.find_element("id", "lens").text  # the right eye's p1, beside fx..cy
        from selenium.webdriver.support.ui import Select

        Select(browser.find_element("id", "view")).select_by_value("depth")
        picture = browser.find_element("id", "stream")
        assert eventually(lambda: "view=depth" in picture.get_attribute("src"))
        assert browser.find_element("id", "depth-legend").is_displayed()
        ActionChains = pytest.importorskip("selenium.webdriver").ActionChains
        ActionChains(browser).move_to_element_with_offset(picture, picture.size["width"] // 10, 0).perform()

        def distance() -> float:
            return float(browser.find_element("tag name", "body").get_attribute("data-distance") or 0)

        assert eventually(lambda: abs(distance() - 1.2) < 0.05)
        assert " m" in browser.find_element("id", "legend-far").text
        ActionChains(browser).click(picture).perform()
        assert eventually(lambda: "kept" in browser.find_element("id", "reading").text)
        if os.environ.get("VORN_DEPTH_SCREENSHOT"):
            browser.save_screenshot(os.environ["VORN_DEPTH_SCREENSHOT"])
