"""What recording a cassette costs: per reply call, and how soon records reach the file.

    python3 bench/cassette.py [--calls N] [--rounds R] [--cassette PATH] [--redact RULE ...]

Run with the interpreter the development kit is installed into (the
stand-in and the tap are taken from there).  Builds bench/cassette_driver.c
with cc and runs it, R rounds each:
- a reply call (zqi_place_order_pb, 100-byte request, the stand-in's 100-byte
  echo as the reply) N times straight to the stand-in, then N times through
  the tap recording into PATH (default: a file in the system's temporary
  folder); each call timed alone, so the clock's own cost is in both rows.
  "cpu mean" is the calling thread's CPU time per call: on a busy machine the
  clock's mean also holds the time the thread waited for a processor;
- the flush delay: a single call, at a random point of the writer's period,
  then how long until the cassette grows (40 times).
With --redact (record's syntax, once per rule) the tap records through those
redaction rules; --request gives the request's first bytes (the rest is q).
Prints the mean and percentiles per row and the overhead (tap minus direct)
of the best round, as bench/README.md shows them.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def build(out_dir: Path) -> Path:
    exe = out_dir / "cassette_driver"
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-O2", "-o", str(exe), str(HERE / "cassette_driver.c"), "-ldl"], check=True)
    return exe


def run(cmd: list[str], env: dict[str, str]) -> list[float]:
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    if out.stderr:
        sys.stderr.write(out.stderr)
    return [float(x) for x in out.stdout.split()]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cassette", help="where the tap records (default: a temporary file)")
    parser.add_argument("--request", default="", help="the request's first bytes (the rest: q)")
    parser.add_argument("--redact", metavar="RULE", action="append", default=[],
                        help="a redaction rule, as cassette record --redact takes it")
    args = parser.parse_args()

    from zq.csdk import _launch, cassette
    from zq.csdk._redaction import redaction_from_options, redaction_text
    redact = redaction_text(redaction_from_options(args.redact))
    standin, tap = _launch.standin_library(), cassette.tap_library()
    with tempfile.TemporaryDirectory() as tmp:
        exe = build(Path(tmp))
        path = args.cassette or str(Path(tmp) / "bench.zqc")
        env = dict(os.environ, ZQ_TAP_CORE=standin, ZQ_CASSETTE_RECORD=path, ZQ_CASSETTE_REDACT=redact,
                   BENCH_REQUEST=args.request)
        rows = []
        for _ in range(args.rounds):
            direct = run([str(exe), "calls", standin, str(args.calls)], env)
            Path(path).write_bytes(b"")
            tapped = run([str(exe), "calls", standin, tap, str(args.calls)], env)
            size = os.path.getsize(path)
            rows.append((direct, tapped, size))
        Path(path).write_bytes(b"")
        flush = run([str(exe), "flush", standin, tap, path, "40"], env)

    print(f"python {sysconfig.get_python_version()}, {args.calls} calls per row, best of {args.rounds} rounds "
          f"(by the tap's CPU mean)")
    direct, tapped, size = min(rows, key=lambda r: r[1][0])
    print(f"{'ns per call':24}{'cpu mean':>9}{'mean':>9}{'p50':>9}{'p99':>9}{'p99.9':>9}")
    print(f"{'stand-in, direct':24}" + "".join(f"{v:9.0f}" for v in direct))
    print(f"{'through the tap':24}" + "".join(f"{v:9.0f}" for v in tapped))
    print(f"{'overhead':24}" + "".join(f"{t - d:9.0f}" for d, t in zip(direct, tapped)))
    print(f"cassette: {size / args.calls:.0f} bytes per call")
    print(f"flush delay over 40 single calls: mean {flush[0]:.1f} ms, max {flush[1]:.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
