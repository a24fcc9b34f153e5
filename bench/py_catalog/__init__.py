"""Yardstick: the three camera family modules written in plain Python, for bench_all.py."""
