"""The device-info client against a real HTTPS server on 127.0.0.1."""

from __future__ import annotations

import importlib.metadata
import json
import logging
import types
import urllib.error

import pytest

from harness.devinfo import facts_payload
from vorn_camera_sdk.cameras import catalog_client

HOMEPAGE = "https://vorn.example"


@pytest.mark.parametrize(
    "serial, sent",
    [
        ("AB12CD34", "AB12CD34"),
        ("a/b c?d&e=f", "a%2Fb%20c%3Fd%26e%3Df"),
        ("x-y_z.w~v", "x-y_z.w~v"),
        ("café", "caf%C3%A9"),
        ("", ""),
    ],
)
def test_request_line_and_headers(devinfo, caplog, serial, sent):
    devinfo.set(serial, {"ok": serial})
    with caplog.at_level(logging.INFO, logger=catalog_client.__name__):
        assert catalog_client.fetch_camera_facts_json(serial) == {"ok": serial}

    (seen,) = devinfo.requests
    assert seen.path == "/api/public/camera-facts?serial_number=" + sent
    assert seen.serial == serial
    assert seen.header("User-Agent") == catalog_client._USER_AGENT
    assert seen.header("Accept") == "application/json"

    (record,) = [r for r in caplog.records if r.name == catalog_client.__name__]
    assert record.levelno == logging.INFO
    assert record.msg == "fetching camera-facts from %s"
    assert record.args == (devinfo.base_url + sent,)


@pytest.mark.parametrize(
    "payload",
    [
        facts_payload("AB12CD34", sku="STEREO-CAMERA-ANY-V21", extra_key={"nested": [1, 2.5, None]}),
        [1, "two"],
        42,
        None,
    ],
    ids=["object", "list", "number", "null"],
)
def test_json_comes_back_unchanged(devinfo, payload):
    devinfo.set("AB12CD34", payload)
    assert catalog_client.fetch_camera_facts_json("AB12CD34", timeout=5.0) == payload


@pytest.mark.parametrize(
    "answer, error",
    [
        (dict(payload={"detail": "nope"}, status=404), urllib.error.HTTPError),
        (dict(payload={"detail": "nope"}, status=500), urllib.error.HTTPError),
        (dict(payload={}, delay=5.0), TimeoutError),
        (dict(body=b'{"sku": "\xff\xfe"}'), UnicodeDecodeError),
        (dict(body=b"<html>not json</html>"), json.JSONDecodeError),
    ],
    ids=["404", "500", "slow", "not-utf8", "not-json"],
)
def test_failures_propagate(devinfo, answer, error):
    devinfo.set("AB12CD34", **answer)
    with pytest.raises(error) as info:
        catalog_client.fetch_camera_facts_json("AB12CD34", timeout=0.3 if "delay" in answer else 10.0)
    assert getattr(info.value, "code", None) == answer.get("status")


def test_untrusted_certificate_is_a_url_error(devinfo, monkeypatch, tmp_path):
    # Without the test authority the server's certificate does not verify.
    empty = tmp_path / "empty.pem"
    empty.write_text("")
    monkeypatch.setenv("SSL_CERT_FILE", str(empty))
    monkeypatch.setenv("SSL_CERT_DIR", str(tmp_path))
    devinfo.set("AB12CD34", {})
    with pytest.raises(urllib.error.URLError):
        catalog_client.fetch_camera_facts_json("AB12CD34")


@pytest.mark.parametrize(
    "timeout_args, timeout, body",
    [((), 10.0, b'{"a": 1}'), ((None,), None, b'{"a": 1}'), ((2,), 2, b'{"a": 1}'), ((), 10.0, TimeoutError("read timed out"))],
    ids=["default", "none", "int", "read-fails"],
)
def test_response_is_closed_before_parsing(monkeypatch, timeout_args, timeout, body):
    events = []

    class Response:
        def __enter__(self):
            events.append("enter")
            return self

        def __exit__(self, *exc):
            events.append(("exit", exc[0]))

        def read(self):
            if isinstance(body, Exception):
                raise body
            return body

    def urlopen(req, timeout):
        events.append(("open", req.full_url, req.get_method(), timeout))
        return Response()

    def loads(raw):
        events.append(("loads", raw))
        return "parsed"

    fake_urllib = types.SimpleNamespace(
        parse=catalog_client.urllib.parse,
        request=types.SimpleNamespace(Request=catalog_client.urllib.request.Request, urlopen=urlopen),
    )
    monkeypatch.setattr(catalog_client, "urllib", fake_urllib)
    monkeypatch.setattr(catalog_client, "json", types.SimpleNamespace(loads=loads))
    monkeypatch.setattr(catalog_client, "_CAMERA_FACTS_URL", "https://h/x?s=")

    opened = [("open", "https://h/x?s=S%201", "GET", timeout), "enter"]
    if isinstance(body, Exception):
        with pytest.raises(TimeoutError, match="read timed out"):
            catalog_client.fetch_camera_facts_json("S 1", *timeout_args)
        assert events == [*opened, ("exit", TimeoutError)]
    else:
        assert catalog_client.fetch_camera_facts_json("S 1", *timeout_args) == "parsed"
        assert events == [*opened, ("exit", None), ("loads", '{"a": 1}')]


class _Version:
    def __format__(self, spec):
        return "9.9.9+local"


def _raise(exc):
    def version(name):
        raise exc

    return version


@pytest.mark.parametrize(
    "version, expected",
    [
        (lambda name: "1.2.0" if name == "vorn-camera-sdk" else "?", f"vorn-camera-sdk/1.2.0 (+{HOMEPAGE})"),
        (lambda name: _Version(), f"vorn-camera-sdk/9.9.9+local (+{HOMEPAGE})"),
        (_raise(importlib.metadata.PackageNotFoundError("vorn-camera-sdk")), f"vorn-camera-sdk (+{HOMEPAGE})"),
        (_raise(RuntimeError("broken metadata")), f"vorn-camera-sdk (+{HOMEPAGE})"),
    ],
    ids=["str", "formatted", "not-installed", "any-exception"],
)
def test_user_agent(monkeypatch, version, expected):
    monkeypatch.setattr(importlib.metadata, "version", version)
    assert catalog_client._user_agent() == expected


def test_user_agent_lets_interrupts_through(monkeypatch):
    monkeypatch.setattr(importlib.metadata, "version", _raise(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        catalog_client._user_agent()
