"""pytest plugin for the in-guest run: the plugged cameras and the fixtures
every in-guest test file shares.

The cameras are USB/IP devices served by the host's ``usbip_camera`` server;
they are plugged in through ``vhci_hcd`` and bound by ``uvcvideo``. The rig
lives for the whole guest session, so the scenario files (run in the order
the host names them) share the plugged cameras.
"""

from __future__ import annotations

import faulthandler
import importlib
import json
import os
import socket
import threading

import pytest

from kernel import vhci
from kernel.usbip_camera import ServerClient

CONFIG = json.loads(open(os.environ["VORN_KERNEL_CONFIG"]).read())
SERVER = CONFIG["server"]
CAMERAS = CONFIG["cameras"]
TALVEX, PETRIN = CAMERAS[0], CAMERAS[1]


def module(name: str):
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        pytest.skip(f"{name} is not available: {exc}")


def _both_nodes(vport: int):
    """The camera's capture and metadata nodes once both exist, else None."""
    nodes = vhci.video_nodes_of(vport)
    return nodes if len(nodes) == 2 and all(os.path.exists(n) for n in nodes) else None


class Rig:
    """The cameras plugged into the guest, by busid."""

    def __init__(self, server: ServerClient) -> None:
        self.server = server
        self.ports: dict[str, int] = {}
        self.nodes: dict[str, list[str]] = {}

    def plug(self, cam: dict) -> list[str]:
        """Attach a camera and wait for its two video nodes (capture, metadata)."""
        busid = cam["busid"]
        if busid not in self.ports:
            vport = vhci.attach(busid, SERVER["host"], SERVER["port"])
            self.ports[busid] = vport
            self.nodes[busid] = vhci.wait_for(lambda: _both_nodes(vport))
        return self.nodes[busid]

    def capture_node(self, cam: dict) -> str:
        return self.plug(cam)[0]

    def pull(self, cam: dict) -> None:
        """Unplug at the server, as a cable pull: the guest sees a disconnect."""
        busid = cam["busid"]
        nodes = self.nodes.pop(busid)
        vport = self.ports.pop(busid)
        self.server.call("unplug", busid)
        vhci.wait_for(lambda: not any(os.path.exists(n) for n in nodes) and not vhci.video_nodes_of(vport))
        vhci.wait_for(lambda: all(p["status"] == 4 for p in vhci.ports() if p["port"] == vport))
        self.server.call("plug", busid)

    def state(self, cam: dict) -> dict:
        return self.server.call("state", cam["busid"])


@pytest.fixture(autouse=True)
def _watchdog():
    # A test stuck in the driver would hold the guest until the host gives
    # up on it; dump the stacks and end the run instead.
    faulthandler.dump_traceback_later(90, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="session")
def rig():
    server = ServerClient(SERVER["host"], SERVER["port"])
    rig = Rig(server)
    yield rig
    server.close()


@pytest.fixture(scope="session")
def linux():
    return module("vorn_camera_sdk.platform.linux")


@pytest.fixture
def backend(linux):
    return linux.LinuxBackend()


@pytest.fixture
def controls(backend, rig):
    handles = []

    def open_for(cam: dict):
        handle = backend.open_controls(rig.capture_node(cam))
        handles.append(handle)
        return handle

    yield open_for
    for handle in handles:
        handle.close()


# -- discovery -------------------------------------------------------------------------


def loopback_forwarder(local_port: int, host: str, port: int) -> socket.socket:
    """A listener on the guest's loopback at ``local_port`` (0: any free port)
    whose connections are carried to ``host``:``port``; closing it stops it."""
    listener = socket.create_server(("127.0.0.1", local_port))

    def pipe(src, dst):
        try:
            while data := src.recv(65536):
                dst.sendall(data)
        except OSError:
            pass
        finally:
            try:
                dst.shutdown(socket.SHUT_WR)
            except OSError:
                pass

    def serve():
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            upstream = socket.create_connection((host, port))
            threading.Thread(target=pipe, args=(client, upstream), daemon=True).start()
            threading.Thread(target=pipe, args=(upstream, client), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    return listener


@pytest.fixture(scope="session")
def devinfo_url():
    """The host's device-info server, reached through a guest loopback port.

    Its certificate names 127.0.0.1, so a small forwarder listens on the
    guest's loopback at the host server's port and carries each connection
    to the forwarded address.
    """
    info = CONFIG.get("devinfo")
    if not info:
        pytest.skip(f"no device-info server on the host: {CONFIG.get('devinfo_skip')}")
    listener = loopback_forwarder(info["local_port"], info["host"], info["port"])
    yield info
    listener.close()


@pytest.fixture
def discovery(devinfo_url, monkeypatch):
    """camera_facts, with the device-info client pointed at the host's server."""
    camera_facts = module("vorn_camera_sdk.cameras.camera_facts")
    catalog_client = module("vorn_camera_sdk.cameras.catalog_client")
    monkeypatch.setenv("SSL_CERT_FILE", devinfo_url["ca_file"])
    monkeypatch.setattr(catalog_client, "_CAMERA_FACTS_URL", devinfo_url["base_url"])
    return camera_facts


