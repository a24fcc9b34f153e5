"""Joins one guest connection to a server on the host's loopback.

QEMU's user networking runs this for every guest connection to a forwarded
address (``guestfwd=...-cmd:``), with the connection as standard input and
output. Usage: relay.py PORT. It only ever connects to 127.0.0.1 and writes
nothing else anywhere (its standard error is the connection too).
"""

import os
import selectors
import socket
import sys


def main() -> None:
    guest = socket.socket(fileno=os.dup(0))
    host = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    for s in (guest, host):
        try:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass
    peer = {guest: host, host: guest}
    sel = selectors.DefaultSelector()
    for s in peer:
        sel.register(s, selectors.EVENT_READ)
    open_ends = 2
    while open_ends:
        for key, _ in sel.select():
            src = key.fileobj
            try:
                data = src.recv(1 << 16)
            except OSError:
                data = b""
            if data:
                peer[src].sendall(data)
                continue
            sel.unregister(src)
            open_ends -= 1
            try:
                peer[src].shutdown(socket.SHUT_WR)
            except OSError:
                open_ends = 0


if __name__ == "__main__":
    try:
        main()
    except (OSError, KeyboardInterrupt):
        pass
