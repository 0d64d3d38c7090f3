"""Calls per second of a reply-pair wrapper on 1, 2 and 4 threads at once, against one thread.

    python bench/scaling.py [PYTHON ...]     each interpreter in turn (default: this one)

Each interpreter needs the project and the development kit installed (the
stand-in core, its call log off).  Two loads per thread count:
  bare      c_sdk.py_zqi_place_order(req), 100-byte bytes: the core call and
            its conversions, nearly all of it under the core lock;
  with work the same call with the Python a strategy does around it: the
            request built from a dict, the reply parsed and summed.
Without the interpreter lock the core calls take turns on the core lock
while the rest runs in parallel; with it, everything takes turns.  Printed:
calls/s over all threads and the speed-up against one thread.  The median of ROUNDS rounds of
CALLS calls per thread.
"""
from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import threading
import time

CALLS = int(os.environ.get("CALLS", "100000"))
ROUNDS = int(os.environ.get("ROUNDS", "5"))
COUNTS = (1, 2, 4)


def _bare(c_sdk, req):
    fn = c_sdk.py_zqi_place_order
    return lambda: fn(req)


def _with_work(c_sdk, req):
    fn = c_sdk.py_zqi_place_order
    order = {"symbol": "SHSE.600000", "side": 1, "volume": 100, "price": 10.5}

    def call():
        body = ";".join(f"{k}={v}" for k, v in order.items()).encode()
        status, reply = fn(body)
        return status + sum(len(part) for part in reply.split(b";"))
    return call


LOADS = {"bare": _bare, "with work": _with_work}


def measure() -> dict:
    from zq.csdk import c_sdk
    from zq.csdk.standin import StandIn

    StandIn().logging(False)
    req = b"x" * 100
    out: dict = {"python": sys.version.split()[0], "gil": getattr(sys, "_is_gil_enabled", lambda: True)()}
    for name, make in LOADS.items():
        rates = {}
        for n in COUNTS:
            samples = []
            for _ in range(ROUNDS):
                start = threading.Barrier(n + 1)
                calls = [make(c_sdk, req) for _ in range(n)]

                def body(call, start):
                    start.wait()
                    for _ in range(CALLS):
                        call()
                threads = [threading.Thread(target=body, args=(c, start)) for c in calls]
                for t in threads:
                    t.start()
                start.wait()
                t0 = time.perf_counter()
                for t in threads:
                    t.join()
                samples.append(n * CALLS / (time.perf_counter() - t0))
            rates[n] = statistics.median(samples)
        out[name] = rates
    return out


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--one":
        print(json.dumps(measure()))
        return
    pythons = sys.argv[1:] or [sys.executable]
    print(f"calls/s over all threads (speed-up against 1 thread); median of {ROUNDS} rounds x {CALLS} calls/thread; "
          f"nproc={os.cpu_count()}")
    print()
    print("| interpreter | load | " + " | ".join(f"{n} thread{'s' * (n > 1)}" for n in COUNTS) + " |")
    print("|---|---|" + "---|" * len(COUNTS))
    for py in pythons:
        r = json.loads(subprocess.run([py, __file__, "--one"], check=True, capture_output=True, text=True).stdout)
        label = f"{r['python']}{'' if r['gil'] else 't (no GIL)'}"
        for name in LOADS:
            rates = {int(k): v for k, v in r[name].items()}
            cells = [f"{rates[n] / 1e6:.2f} M/s ({rates[n] / rates[1]:.2f}x)" for n in COUNTS]
            print(f"| {label} | {name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
