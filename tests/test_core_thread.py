"""Events from a thread of the core's own (the stand-in's ticker and delivery thread): none lost or
reordered while other threads call the module, and the thread state the bridge keeps for such a thread
released when it ends."""
import ctypes
import threading

import pytest

from zq.csdk import live
from zq.csdk.standin import ticks

TICKS = 20000


def thread_states():
    """How many thread states the main interpreter has (ctypes.pythonapi holds the lock meanwhile)."""
    api = ctypes.pythonapi
    api.PyInterpreterState_Main.restype = ctypes.c_void_p
    api.PyInterpreterState_ThreadHead.restype = api.PyThreadState_Next.restype = ctypes.c_void_p
    api.PyInterpreterState_ThreadHead.argtypes = api.PyThreadState_Next.argtypes = [ctypes.c_void_p]
    n, ts = 0, api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Main())
    while ts:
        n, ts = n + 1, api.PyThreadState_Next(ts)
    return n


# (id, core function counted, one call of the module from a worker thread: checks its own result)
CALLERS = [
    ("reply pairs", "zqi_get_symbol_infos", lambda m, c: m.py_zqi_get_symbol_infos(b"req") == (0, b"req")),
    ("adapted text", "zqi_place_order_pb", lambda m, c: m.py_zqi_place_order("ord") == (0, b"ord")),
    ("direct callables", "zqi_now", lambda m, c: m.zqi_now() == 1700000000000),
    ("handler registered again", "zqi_set_event_callback_pb",
     lambda m, c: m.py_zqi_set_data_callback(m.f) is None),
    ("events queued beside the ticker", None, lambda m, c: c.queue_event(b"side", b"x") is None),
]


@pytest.mark.parametrize("fn, call", [row[1:] for row in CALLERS], ids=[row[0] for row in CALLERS])
def test_ticks_from_the_cores_thread_arrive_whole_and_in_order_while_threads_call(m, core, fn, call):
    core.logging(False)
    core.set_live(True)
    core.set_delivery_thread(True)
    numbers, delivered_on, sides = [], set(), []

    def handler(t, d):
        delivered_on.add(threading.get_ident())
        if t == "tick":
            numbers.append(ticks(d)[1])
        elif t == "side":
            sides.append(d)
        elif t == "end":
            m.py_zqi_stop()

    done, counts, faults = threading.Event(), [], []

    def work():
        n = 0
        while not done.is_set() or n == 0:
            if not call(m, core):
                faults.append(n)
            n += 1
        counts.append(n)

    def finish():
        core.wait_ticker()
        done.set()
        for w in workers:
            w.join()
        core.queue_event(b"end", b"")  # after every tick and side event: all of them come before it

    m.py_zqi_set_data_callback(handler)
    before = core.call_count(fn) if fn else 0
    workers = [threading.Thread(target=work) for _ in range(4)]
    for w in workers:
        w.start()
    core.start_ticker(b"tick", 0, TICKS)
    finisher = threading.Thread(target=finish)
    finisher.start()
    assert live.run() == 0
    finisher.join()
    assert numbers == list(range(TICKS)) and faults == []
    assert len(delivered_on) == 1 and delivered_on.isdisjoint({threading.main_thread().ident, finisher.ident})
    assert (core.call_count(fn) - before if fn else len(sides)) == sum(counts)


# (id, delivered by the stand-in's own thread, delivery runs, thread states during a run above those
# before: the live run's signal watcher, and the core thread's)
KEPT = [
    ("a core thread: one state for all its events, freed when it ends", True, 1, 2),
    ("a core thread started again and again: none left behind", True, 4, 2),
    ("the live run's own thread: its own state, none made", False, 2, 1),
]


@pytest.mark.parametrize("on_core_thread, runs, extra", [row[1:] for row in KEPT], ids=[row[0] for row in KEPT])
def test_the_bridge_keeps_one_thread_state_per_core_thread_until_it_ends(m, core, on_core_thread, runs, extra):
    core.logging(False)
    before = thread_states()
    for _ in range(runs):
        seen, local = [], threading.local()  # a thread-local value lives as long as the thread state

        def handler(t, d):
            local.n = getattr(local, "n", 0) + 1
            seen.append((thread_states(), local.n))

        m.py_zqi_set_data_callback(handler)
        core.set_delivery_thread(on_core_thread)
        core.queue_events([(b"e", b"%d" % i) for i in range(50)])
        assert live.run() == 0
        core.set_delivery_thread(False)  # the thread ends, and its state with it
        assert seen == [(before + extra, n) for n in range(1, 51)]
        assert thread_states() == before
