#!/usr/bin/env python3
"""Replay speed: matched calls per second, and the memory a long cassette takes.

    python3 bench/replay_speed.py [N] [--mask PATTERN]     (default 1,000,000 calls)

Writes a cassette of N zqi_place_order_pb calls with 100-byte requests and
replies (the writer of tests/test_replay.py), then, on the stand-in with its
call log off, times N calls through c_sdk.py_zqi_place_order: unscripted
(the stand-in's echo) and replaying the cassette.  The replay's own cost is
the difference.  With --mask, the replay matches the requests under that
mask rule (each request and its recording searched).  Prints the resident memory before and after replaying: the
cassette is read a record at a time, so it stays about the same whatever N.
"""
from __future__ import annotations

import os
import resource
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from test_replay import C, cassette  # noqa: E402  (the tests' cassette writer)
from zq.csdk import c_sdk  # noqa: E402
from zq.csdk.standin import StandIn  # noqa: E402


def rss_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def timed(n: int, req: bytes) -> float:
    place = c_sdk.py_zqi_place_order
    t0 = time.perf_counter()
    for _ in range(n):
        place(req)
    return time.perf_counter() - t0


def main() -> int:
    args = sys.argv[1:]
    mask = None
    if "--mask" in args:
        at = args.index("--mask")
        mask = args[at + 1]
        del args[at:at + 2]
    n = int(args[0]) if args else 1_000_000
    req, reply = b"r" * 100, b"a" * 100
    core = StandIn()
    core.reset()
    core.logging(False)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "bench.zqc"
        chunk = 10_000  # written in pieces: the writer builds its bytes in memory
        with open(path, "wb") as f:
            body = cassette(*[C("zqi_place_order_pb", req, out=reply)] * chunk, end=False)
            one = cassette(end=False)  # the magic and the header record
            f.write(one)
            piece = body[len(one):]
            for _ in range(n // chunk):
                f.write(piece)
        size = os.path.getsize(path)
        # Each piece numbers its calls from 1 again: replay pairs a RETURN with
        # its CALL by number, which the pieces keep, one after the other.
        plain = timed(n, req)
        before = rss_mib()
        core.replay_open(path, match={"zqi_place_order_pb": {"mask": [mask]}} if mask is not None else None)
        core.logging(False)
        replayed = timed(n, req)
        after = rss_mib()
        report = core.replay_close()
    assert report == "", report[:500]
    print(f"cassette: {n} calls, {size / 1e6:.1f} MB" + (f", mask {mask!r}" if mask is not None else ""))
    print(f"unscripted stand-in: {n / plain / 1e6:.2f} M calls/s ({plain / n * 1e9:.0f} ns per call)")
    print(f"replaying:           {n / replayed / 1e6:.2f} M calls/s ({replayed / n * 1e9:.0f} ns per call, "
          f"replay itself {(replayed - plain) / n * 1e9:.0f} ns)")
    print(f"resident memory: {before:.1f} MiB before replaying, {after:.1f} MiB after")
    return 0


if __name__ == "__main__":
    sys.exit(main())
