"""A viewer client for the benchmarks, run as its own process:
``python3 bench/stream_client.py PORT SECONDS`` reads the viewer's MJPEG
stream for SECONDS and prints each part's age on arrival (now minus the
part's X-Timestamp, the kernel capture time), in seconds, on one line."""

import http.client
import sys
import time

port, seconds = int(sys.argv[1]), float(sys.argv[2])
c = http.client.HTTPConnection("127.0.0.1", port)
c.request("GET", "/stream.mjpg")
r = c.getresponse()
ages, end = [], time.monotonic() + seconds
while time.monotonic() < end:
    r.readline()  # boundary
    head = {}
    while (line := r.readline().strip()):
        name, _, value = line.partition(b": ")
        head[name] = value
    r.read(int(head[b"Content-Length"]) + 2)
    ages.append(time.monotonic() - float(head[b"X-Timestamp"]))
print(" ".join(f"{a:.6f}" for a in ages))
