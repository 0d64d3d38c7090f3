"""Events from the core library's own thread: throughput, latency, instructions per event.

    python bench/core_thread_events.py throughput [--events N] [--rounds R]
    python bench/core_thread_events.py latency [--rate HZ] [--seconds S]
    python bench/core_thread_events.py instructions [--events N]
    python bench/core_thread_events.py one PATH N   (driven under callgrind)
    python bench/core_thread_events.py table DIR...  (the tables of bench/events.sh's results)

Runs on the stand-in core (call log off) with the project installed in the
interpreter that runs it; bench/events.sh drives it on several interpreters
and prints the tables of bench/README.md.  Each command prints one JSON
object on stdout.

throughput: N events of 100 bytes queued, then one run delivers them into
``def h(m, d): pass``, by three paths:
  held     ``py_zqi_run``: the caller's thread, which holds the lock (or is attached)
  caller   ``live.run``: the caller's thread inside ``zqi_run`` without the lock,
           which the bridge takes back for each event
  core     ``live.run`` with the stand-in's delivery thread, a thread Python has
           not started, which the bridge attaches for each event
Events per second: the median of R runs.  N stays small (20,000 events, about
2 MiB of queue) so that the queue is in cache: with 200,000 the run on the
caller's thread measures memory more than delivery (3.13: 14 M/s against 4 M/s).

latency: the stand-in's ticker thread queues an event every 1/HZ s, its
payload starting with the CLOCK_MONOTONIC time of queueing in ns; the delivery thread
delivers it; the handler subtracts that from time.monotonic_ns() on entry.
p50, p99 and max over S seconds of a live run, with no other Python thread
and with one more thread busy in a loop of Python code.

instructions: callgrind counts `one` for N and 5N events by each path;
per event, (I(5N) - I(N)) / 4N, for the whole process and inclusive in the
bridge's callback_wrapper (needs an unstripped build:
``pip install -C install.strip=false .``).
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import sysconfig
import threading
import time

from zq.csdk import c_sdk, live
from zq.csdk.standin import StandIn

PAYLOAD = bytes(range(100))
PATHS = ("held", "caller", "core")


def handler(m, d):
    pass


def _core() -> StandIn:
    core = StandIn()
    core.reset()
    core.logging(False)
    return core


def _queue(core: StandIn, n: int) -> None:
    queue = core._lib.zqstub_queue_event  # the checked queue_events spends 2 us a call on its checks
    for _ in range(n):
        queue(b"tick", 4, PAYLOAD, len(PAYLOAD), 0)


def deliver(core: StandIn, path: str, n: int) -> float:
    """Queues n events, delivers them by `path`; returns the run's seconds."""
    core.set_delivery_thread(path == "core")
    _queue(core, n)
    t0 = time.perf_counter()
    status = c_sdk.py_zqi_run() if path == "held" else live.run()
    took = time.perf_counter() - t0
    if status != 0 or core.queue_size() != 0:
        raise SystemExit(f"{path}: run returned {status} with {core.queue_size()} events left")
    return took


def interpreter() -> str:
    ft = " (free-threaded, lock %s)" % ("on" if sys._is_gil_enabled() else "off") \
        if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    return "%d.%d.%d%s" % (sys.version_info[:3] + (ft,))


def throughput(args: argparse.Namespace) -> dict:
    core = _core()
    c_sdk.py_zqi_set_data_callback(handler)
    deliver(core, "core", 1000)  # warm-up, and the delivery thread's first event
    rates = {}
    for path in PATHS:
        runs = [args.events / deliver(core, path, args.events) for _ in range(args.rounds)]
        rates[path] = statistics.median(runs)
    core.reset()
    return {"python": interpreter(), "events": args.events, "per_second": rates}


def _latency_run(core: StandIn, busy: int, rate: float, seconds: float) -> dict:
    seen: list = []
    stamps, now, frombytes = seen.append, time.monotonic_ns, int.from_bytes

    def on_event(m, d):
        stamps(now() - frombytes(d[:8], "little"))

    c_sdk.py_zqi_set_data_callback(on_event)
    core.set_live(True)
    core.set_delivery_thread(True)
    stop = threading.Event()

    def spin():
        x = 0
        while not stop.is_set():
            for i in range(1000):
                x += i

    spinners = [threading.Thread(target=spin) for _ in range(busy)]
    for t in spinners:
        t.start()
    count = int(rate * seconds)
    core.start_ticker(b"tick", 1 / rate, count)
    finisher = threading.Thread(target=lambda: (core.wait_ticker(), time.sleep(0.2), c_sdk.py_zqi_stop()))
    finisher.start()
    live.run()
    finisher.join()
    stop.set()
    for t in spinners:
        t.join()
    core.reset()
    lat = sorted(seen)
    if len(lat) != count:
        raise SystemExit(f"{len(lat)} of {count} events delivered")
    return {"p50_us": lat[len(lat) // 2] / 1e3, "p99_us": lat[int(len(lat) * 0.99)] / 1e3, "max_us": lat[-1] / 1e3}


def latency(args: argparse.Namespace) -> dict:
    core = _core()
    out = {"python": interpreter(), "rate": args.rate, "seconds": args.seconds}
    for busy in (0, 1):
        out[f"busy{busy}"] = _latency_run(core, busy, args.rate, args.seconds)
    return out


def one(args: argparse.Namespace) -> dict:
    core = _core()
    c_sdk.py_zqi_set_data_callback(handler)
    deliver(core, args.path, 100)
    deliver(core, args.path, args.n)
    core.reset()
    return {}


def _callgrind(path: str, n: int, tmp: str) -> dict:
    out = os.path.join(tmp, f"cg.{path}.{n}")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                    os.path.abspath(__file__), "one", path, str(n)], check=True, capture_output=True)
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out], check=True,
                          capture_output=True, text=True).stdout
    counts = {"total": 0, "bridge": 0}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(.*)", line)
        if not m:
            continue
        ir, where = int(m.group(1).replace(",", "")), m.group(2)
        if "PROGRAM TOTALS" in where:
            counts["total"] = ir
        elif re.search(r"\bcallback_wrapper\b", where) and not counts["bridge"]:
            counts["bridge"] = ir
    return counts


def instructions(args: argparse.Namespace) -> dict:
    n1, n2 = args.events, 5 * args.events
    per_event = {}
    with tempfile.TemporaryDirectory() as tmp:
        for path in PATHS:
            a, b = _callgrind(path, n1, tmp), _callgrind(path, n2, tmp)
            per_event[path] = {k: (b[k] - a[k]) / (n2 - n1) for k in a}
    return {"python": interpreter(), "per_event": per_event}


def _load(d: str, name: str) -> dict:
    with open(os.path.join(d, name + ".json")) as f:
        return json.load(f)


def table(args: argparse.Namespace) -> None:
    lat = [_load(d, "latency") for d in args.dirs]
    print("Event latency, queued by the stand-in's ticker to the handler's entry "
          f"({lat[0]['rate']:.0f} events/s, {lat[0]['seconds']:.0f} s per run), us\n")
    print("| interpreter | busy Python threads | p50 | p99 | max |\n|---|---|---|---|---|")
    for r in lat:
        for busy in (0, 1):
            x = r[f"busy{busy}"]
            print(f"| {r['python']} | {busy} | {x['p50_us']:.0f} | {x['p99_us']:.0f} | {x['max_us']:.0f} |")
    print("\nEvents per second by path (median of the runs)\n")
    print("| interpreter | " + " | ".join(PATHS) + " |\n|---|" + "---|" * len(PATHS))
    for d in args.dirs:
        r = _load(d, "throughput")
        print(f"| {r['python']} | " + " | ".join(f"{r['per_second'][p] / 1e6:.2f} M" for p in PATHS) + " |")
    cg = [_load(d, "instructions") for d in args.dirs]
    if any(cg):
        print("\nInstructions per event (callgrind): whole process / inside callback_wrapper\n")
        print("| interpreter | " + " | ".join(PATHS) + " |\n|---|" + "---|" * len(PATHS))
        for r in cg:
            if r:
                e = r["per_event"]
                print(f"| {r['python']} | " + " | ".join(f"{e[p]['total']:.0f} / {e[p]['bridge']:.0f}"
                                                          for p in PATHS) + " |")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    t = sub.add_parser("throughput")
    t.add_argument("--events", type=int, default=20_000)
    t.add_argument("--rounds", type=int, default=25)
    lt = sub.add_parser("latency")
    lt.add_argument("--rate", type=float, default=1000.0)
    lt.add_argument("--seconds", type=float, default=5.0)
    tb = sub.add_parser("table")
    tb.add_argument("dirs", nargs="+")
    i = sub.add_parser("instructions")
    i.add_argument("--events", type=int, default=5000)
    o = sub.add_parser("one")
    o.add_argument("path", choices=PATHS)
    o.add_argument("n", type=int)
    args = p.parse_args()
    if args.cmd == "table":
        return table(args)
    commands = {"throughput": throughput, "latency": latency, "instructions": instructions, "one": one}
    print(json.dumps(commands[args.cmd](args)))


if __name__ == "__main__":
    main()
