"""The leak check's cases of the event bridge: events delivered by every kind
of run (the caller's thread, the stand-in's delivery thread, a live run) to
handlers that count, raise, rebind, stop or exit.  Measured by leakcheck.py.
"""
from __future__ import annotations

import os
import sys
import threading
from typing import List

from reliability.leakcases import DELETE, BoolRaises, Boom, Case, Globals, both

class Reports:
    """Silences the two reports of a failed event delivery and counts them."""

    def __init__(self):
        self.n = 0

    def hook(self, u):
        self.n += 1

    def setup(self):
        # Line-buffered: a fully buffered stream holds the printed reports as
        # pending strings until some kilobytes have gathered, a saw-tooth in
        # the allocator's count that a case's two readings can catch.
        self._saved = sys.stderr, sys.unraisablehook
        sys.stderr, sys.unraisablehook = open(os.devnull, "w", buffering=1), self.hook

    def teardown(self):
        sys.stderr.close()
        sys.stderr, sys.unraisablehook = self._saved


def event_cases(m, core) -> List[Case]:
    from zq.csdk.standin import NORMAL  # noqa: F401

    cases = []
    reports = Reports()
    seen = [0]

    def counting(t, d):
        seen[0] += 1

    def register(handler):
        def setup():
            m.py_zqi_set_data_callback(handler)
        return setup

    def delivers(events, runner, handled, reported, check=None):
        def call():
            s, r = seen[0], reports.n
            for t, d, *n in events:
                core.queue_event(t, d, *n)
            result = runner()
            if check and not check(result):
                raise AssertionError(f"unexpected result {result!r}")
            if seen[0] - s != handled or reports.n - r != reported or core.queue_size():
                raise AssertionError(f"handled {seen[0] - s} of {handled}, reported {reports.n - r} of {reported}")
        return call

    def add(label, call, setup=None, teardown=None, g=None):
        cases.append(Case("events", label, call, both(reports.setup, setup, g and g.setup),
                          both(g and g.teardown, teardown, reports.teardown)))

    three = [(b"tick", b"\x00\x01"), (b"bar", b""), ("订单".encode(), b"x" * 300)]
    run = m.py_zqi_run
    add("run delivers", delivers(three, run, 3, 0, lambda r: r == 0), register(counting))
    add("poll delivers one", delivers(three[:1], m.zqi_poll, 1, 0), register(counting))

    def during(fn, count=-1):
        return (lambda: core.deliver_during(fn, count)), (lambda: core.deliver_during(fn, 0))

    s, t = during("zqi_get_orders_pb")
    add("delivered during reply call", delivers(three, lambda: m.py_zqi_get_orders(b"q"), 3, 0,
                                                lambda r: r == (0, b"q")), both(register(counting), s), t)
    s2, t2 = during("zqi_set_timer")
    add("delivered during scalar call", delivers(three, lambda: m.py_zqi_set_timer(5), 3, 0),
        both(register(counting), s2), t2)

    def nested(t_, d):
        seen[0] += 1
        if m.py_zqi_place_order(bytearray(d)) != (0, d):
            raise AssertionError("nested reply")
    s3, t3 = during("zqi_place_order_pb", 1)
    add("nested calls deliver", delivers([(b"n", b"%d" % i) for i in range(4)], run, 4, 0),
        both(register(nested), s3), t3)

    def raising(t_, d):
        seen[0] += 1
        raise Boom
    add("raising handler", delivers(three, run, 3, 3), register(raising))

    def every_other(t_, d):
        seen[0] += 1
        if seen[0] % 2:
            raise Boom
    add("raises every other event", delivers(three + three[:1], run, 4, 2), register(every_other))

    def resize(t_, d):
        seen[0] += 1
        try:
            held.extend(b"grow")
        except BufferError:
            return
        raise AssertionError("bytearray resized while the core holds it")
    held = bytearray(b"held")
    add("resize refused while held", delivers(three[:1], lambda: m.py_zqi_get_orders(held), 1, 0,
                                              lambda r: r == (0, b"held")), both(register(resize), s), t)

    def swap_a(t_, d):
        seen[0] += 1
        m.f = swap_b

    def swap_b(t_, d):
        seen[0] += 1
        m.f = swap_a
    add("handler replaces f", delivers(three + three[:1], run, 4, 0), register(swap_a))

    def reregister(t_, d):
        seen[0] += 1
        m.py_zqi_set_data_callback(reregister)
    add("handler registers again", delivers(three, run, 3, 0), register(reregister))
    add("f deleted", delivers(three, run, 0, 3), register(counting), g=Globals(m, f=DELETE))
    add("f not callable", delivers(three, run, 0, 3), register(counting), g=Globals(m, f=5))
    add("invalid UTF-8 type", delivers([(b"\xff\xfe", b"x")], run, 0, 1), register(counting))
    add("negative data length", delivers([(b"t", b"", -1)], run, 0, 1), register(counting))
    add("NULL type", delivers([(None, b"x")], run, 0, 1), register(counting))
    add("NULL data", delivers([(b"t", None)], run, 1, 0), register(counting))

    def py2(t_, d):
        seen[0] += 1
        if type(t_) is not bytes:
            raise AssertionError("IS_PY2 true: bytes type")
    add("IS_PY2 true", delivers(three, run, 3, 0), register(py2), g=Globals(m, IS_PY2=True))
    add("IS_PY2 deleted", delivers(three, run, 0, 3), register(counting), g=Globals(m, IS_PY2=DELETE))
    add("IS_PY2 __bool__ raises", delivers(three, run, 0, 3), register(counting), g=Globals(m, IS_PY2=BoolRaises()))

    def stopper(t_, d):
        seen[0] += 1
        m.py_zqi_stop()

    def drain():
        # py_zqi_stop leaves the rest queued; a second run takes the next one.
        run()
        run()
        return 0
    add("stop from handler", delivers(three[:2], drain, 2, 0), register(stopper))

    # The live run (zq.csdk.live) over the stand-in not live: it returns once
    # the queue is empty, the events delivered on the caller's thread or the
    # stand-in's, with the lock taken for each.
    from zq.csdk import live
    threaded = (lambda: core.set_delivery_thread(True)), (lambda: core.set_delivery_thread(False))
    add("live run delivers", delivers(three, live.run, 3, 0, lambda r: r == 0), register(counting))
    add("live run, delivery thread", delivers(three, live.run, 3, 0, lambda r: r == 0),
        both(register(counting), threaded[0]), threaded[1])
    add("live run, raising handler on the delivery thread", delivers(three, live.run, 3, 3),
        both(register(raising), threaded[0]), threaded[1])

    def thread_lifetime():
        # A delivery thread started and ended per call: the thread state the
        # bridge keeps for it goes with it.
        threaded[0]()
        try:
            delivers(three, live.run, 3, 0, lambda r: r == 0)()
        finally:
            threaded[1]()
    add("live run, a delivery thread per run", thread_lifetime, register(counting))

    def interrupt(t_, d):
        seen[0] += 1
        raise KeyboardInterrupt

    def interrupted():
        try:
            live.run()
        except KeyboardInterrupt:
            return 0
        raise AssertionError("KeyboardInterrupt not raised")
    add("live run ended by the handler's KeyboardInterrupt", delivers(three[:1], interrupted, 1, 0),
        register(interrupt))

    def exits(t_, d):
        seen[0] += 1
        raise SystemExit(3)

    def run_on_a_thread():
        out = []
        worker = threading.Thread(target=lambda: out.append(run()))
        worker.start()
        worker.join()
        return out
    add("SystemExit on another thread", delivers(three, run_on_a_thread, 3, 3, lambda r: r == [0]), register(exits))
    return cases
