"""Several threads at once over every shape, on any build; on the free-threaded one, with no interpreter lock.

Worker threads run every shape in turn (reply-pair, adapted, request-only and direct calls, the status
helpers, a record shared between them, one bytearray lent by all of them, events delivered on the worker's
own thread) while one more thread disturbs them (module globals rebound, the handler swapped, the record's
mapping swapped, the stand-in's answers scripted again).  Every call must return what the stand-in answers,
every queued event must reach a handler exactly once, and afterwards the core lock is free (another thread's
call completes) and the shared bytearray is lent to no one (it can be resized).  A recording through the
tap made while threads call holds every call.
"""
import os
import signal
import subprocess
import sys
import sysconfig
import textwrap
import threading

import pytest

from zq.csdk import live
from zq.csdk._cassette_file import CallRecord, EndRecord, Reader

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 4
ROUNDS = int(os.environ.get("CSDK_STRESS_ROUNDS", "150"))  # CI's stress step runs more


class Zero(int):
    """Equal to 0 but not the shared 0: comparisons with it run the slow path."""


class Logger:
    def debug(self, msg):
        assert msg.startswith("invoke c fun=")


def run_threads(n, target, *args):
    """Runs target(i, *args) on n threads at once; re-raises the first failure."""
    errors, start = [], threading.Barrier(n)

    def body(i):
        try:
            start.wait()
            target(i, *args)
        except BaseException as e:  # noqa: BLE001 - handed to the test
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a thread is stuck: the core lock is held"
    if errors:
        raise errors[0]


def core_lock_is_free(m):
    """A call from another thread completes within 10 s."""
    run_threads(1, lambda i: m.py_zqi_place_order(b"free"))


# (name, one operation on round i): each asserts what the stand-in answers.
def _reply(m, rec, i):
    req = b"r%d" % i
    assert m.py_zqi_place_order(req) == (0, req)


def _adapted(m, rec, i):
    assert m.py_zqi_get_orders("a%d" % i) == (0, b"a%d" % i)


def _request(m, rec, i):
    assert m.py_zqi_log(bytearray(b"log")) == 0


ERROR_TEXTS = (b"stand-in error text", b"another error text, longer than the first one")
SHARED = bytearray(b"shared")  # lent to the core by every worker at once


def _direct(m, rec, i):
    assert m.zqi_now() == 1700000000000 and m.zqi_strerror(i) in ERROR_TEXTS


def _status(m, rec, i):
    assert m.c_status_ok(0) is True and m.c_status_fail(i + 1, "fn") is True


def _record(m, rec, i):
    assert isinstance(rec.price, (int, float)) and rec["volume"] in (10, 20)  # others write theirs
    rec.price = i
    assert rec.somekey is None


def _poll(m, rec, i):
    assert m.zqi_poll() == 0  # delivers one queued event on this thread, if any


def _lend_shared(m, rec, i):
    assert m.py_zqi_place_order(SHARED) == (0, b"shared")


def _fails(m, rec, i):
    # a conversion failure: its traceback entry, one per wrapper, shared by every thread
    with pytest.raises(TypeError) as e:
        m.py_zqi_set_bus_info(b"s", None, b"p")
    assert e.value.__traceback__.tb_next.tb_frame.f_code.co_name == "py_zqi_set_bus_info"


SHAPES = [_reply, _adapted, _request, _direct, _status, _record, _poll, _lend_shared, _fails]


def _rebind_globals(m, core, rec, handlers, i):
    m.CSDK_OPERATE_SUCCESS = Zero(0) if i % 2 else 0
    m.zqsdklogger = Logger()
    m.IS_PY2 = False


def _swap_handler(m, core, rec, handlers, i):
    m.f = handlers[i % 2]


def _swap_mapping(m, core, rec, handlers, i):
    rec.data = {"price": 1.0, "volume": 10} if i % 2 else {"price": 2.0, "volume": 20}


def _script_core(m, core, rec, handlers, i):
    # What the shapes read, scripted again (ctypes lets the interpreter lock go on every build).
    core.set_reply("zqi_strerror", ERROR_TEXTS[i % 2])
    core.set_status("zqi_now", 0)
    core.deliver_during("zqi_get_orders_pb", 0)
    core.set_mode("zqi_place_order_pb", 0)


DISTURBERS = [_rebind_globals, _swap_handler, _swap_mapping, _script_core]


def test_import_leaves_the_interpreter_lock_as_it_was():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    script = "import sys; from zq.csdk import c_sdk; f = getattr(sys, '_is_gil_enabled', None); print(f and f())"
    out = subprocess.run([sys.executable, "-W", "error", "-c", script], env=env, capture_output=True, text=True,
                         check=True)
    assert out.stderr == ""
    assert out.stdout.strip() == ("False" if FREE_THREADED else "None" if sys.version_info < (3, 13) else "True")


@pytest.mark.parametrize("disturb", DISTURBERS, ids=lambda f: f.__name__.strip("_"))
def test_every_shape_on_threads_at_once(m, core, disturb):
    from zq.csdk.c_sdk import TickLikeDict2

    core.logging(False)
    core.set_reply("zqi_strerror", b"stand-in error text")
    seen = []

    def handler(msg_type, data):
        seen.append(int(data))
        assert m.py_zqi_get_stop_error_code() == 0  # a call nested in the handler

    handlers = [handler, lambda t, d: handler(t, d)]
    m.py_zqi_set_data_callback(handler)
    m.zqsdklogger = Logger()
    events = THREADS * ROUNDS
    core.queue_events([(b"ev", b"%d" % i) for i in range(events)])
    rec = TickLikeDict2({"price": 1.0, "volume": 10})
    done = threading.Event()

    def work(t):
        if t == THREADS:
            i = 0
            while not done.is_set():
                disturb(m, core, rec, handlers, i)
                i += 1
            return
        try:
            for i in range(ROUNDS):
                for shape in SHAPES[t % len(SHAPES):] + SHAPES[:t % len(SHAPES)]:
                    shape(m, rec, i)
        finally:
            if t == 0:
                done.set()

    run_threads(THREADS + 1, work)
    while core.queue_size():
        m.zqi_poll()
    assert sorted(seen) == list(range(events))
    core_lock_is_free(m)
    SHARED.extend(b"!")  # BufferError while an export is counted that no call holds
    del SHARED[-1:]


def _raises(m):
    def handler(t, d):
        raise ValueError(d)
    return handler


def _exits(m):
    def handler(t, d):
        raise SystemExit(3)  # on a worker thread: reported, and the thread goes on
    return handler


def _nests(m):
    def handler(t, d):
        depth = int(d)
        if depth < 40:
            m.py_zqi_place_order(b"%d" % (depth + 1))  # delivers the next event one level down
    return handler


FAULTS = [_raises, _exits, _nests]


@pytest.mark.parametrize("fault", FAULTS, ids=lambda f: f.__name__.strip("_"))
def test_a_fault_in_a_handler_on_a_worker_leaves_the_core_lock_free(m, core, fault):
    core.logging(False)
    core.deliver_during("zqi_place_order_pb", 1)
    core.queue_events([(b"ev", b"%d" % i) for i in range(THREADS * 41)])
    m.py_zqi_set_data_callback(fault(m))
    saved = sys.excepthook, sys.unraisablehook
    sys.excepthook = sys.unraisablehook = lambda *a: None
    try:
        run_threads(THREADS, lambda i: [m.py_zqi_place_order(b"0") for _ in range(20)])
    finally:
        sys.excepthook, sys.unraisablehook = saved
    core.deliver_during("zqi_place_order_pb", 0)
    core_lock_is_free(m)


@pytest.mark.parametrize("signum, exc", [(signal.SIGINT, KeyboardInterrupt), (signal.SIGTERM, SystemExit)])
def test_a_live_run_stopped_by_a_signal_while_threads_call_and_events_arrive(m, core, signum, exc):
    core.logging(False)
    core.set_live(True)
    core.set_delivery_thread(True)
    seen = []
    handlers = [lambda t, d: seen.append(d), lambda t, d: seen.append(d)]
    m.py_zqi_set_data_callback(handlers[0])
    stop = threading.Event()

    def work(t):
        i = 0
        while not stop.is_set():
            if t == 0:
                m.f = handlers[i % 2]  # swapped while the core's thread delivers
                core.queue_event(b"ev", b"%d" % i)
            else:
                assert m.py_zqi_place_order(b"w") == (0, b"w")
            if t == 1 and i >= 200 and len(seen) > 50:  # the run is delivering
                os.kill(os.getpid(), signum)
                t = 2
            i += 1

    workers = threading.Thread(target=run_threads, args=(3, work))
    workers.start()
    try:
        with pytest.raises(exc):
            live.run()
    finally:
        stop.set()
        workers.join(60)
    assert seen and not workers.is_alive()
    core.set_live(False)
    core.set_delivery_thread(False)
    core_lock_is_free(m)


EXIT_SCRIPT = """
import threading, sys
from zq.csdk import c_sdk, standin
core = standin.StandIn(); core.reset(); core.logging(False)
core.deliver_during("zqi_place_order_pb", 1); core.queue_event(b"ev", b"")
done = []
def worker():
    core_free.wait()
    done.append(c_sdk.py_zqi_log(b"after"))  # waits for the core lock until the main thread lets it go
core_free = threading.Event()
t = threading.Thread(target=worker); t.start()
def handler(msg_type, data):
    core_free.set()
    raise SystemExit(7)  # on the main thread, inside a core call: the process exits
c_sdk.py_zqi_set_data_callback(handler)
import atexit; atexit.register(lambda: print("joined", t.is_alive(), done, flush=True))
c_sdk.py_zqi_place_order(b"x")
"""


def test_system_exit_inside_a_core_call_exits_without_holding_the_core_lock():
    # Exiting joins the worker first, which needs the core lock the dying call held.
    out = subprocess.run([sys.executable, "-c", EXIT_SCRIPT], capture_output=True, text=True, timeout=60)
    assert out.returncode == 7 and "joined False [0]" in out.stdout, out.stderr


RECORDED_SCRIPT = """
import threading
from zq.csdk import c_sdk
from zq.csdk.standin import StandIn
THREADS, ROUNDS = {threads}, {rounds}
core = StandIn()  # the stand-in behind the tap
core.logging(False)
core.queue_events([(b"ev", b"%d" % i) for i in range(THREADS * ROUNDS)])
seen = []
c_sdk.py_zqi_set_data_callback(lambda t, d: seen.append(d))
start = threading.Barrier(THREADS)
def work(t):
    start.wait()
    for i in range(ROUNDS):
        assert c_sdk.py_zqi_place_order(b"%d-%d" % (t, i)) == (0, b"%d-%d" % (t, i))
        assert c_sdk.zqi_poll() == 0  # one event, recorded on this thread
        if i % 10 == 0:
            core.set_reply("zqi_strerror", b"e%d" % i)  # the stand-in scripted meanwhile
threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
for t in threads: t.start()
for t in threads: t.join()
assert len(seen) == THREADS * ROUNDS
"""


def test_a_recording_made_while_threads_call_holds_every_call_and_event(tmp_path):
    rounds = 200
    script, path = tmp_path / "threads.py", tmp_path / "threads.zqc"
    script.write_text(textwrap.dedent(RECORDED_SCRIPT.format(threads=THREADS, rounds=rounds)))
    run = subprocess.run([sys.executable, "-m", "zq.csdk.cassette", "record", str(path), "--", sys.executable,
                          str(script)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and "cassette tap" not in run.stderr, run.stderr
    with Reader(str(path)) as reader:
        records = list(reader)
    orders = [r for r in records if isinstance(r, CallRecord) and r.fn == "zqi_place_order_pb"]
    assert sorted(r.args[0].data for r in orders) == sorted(b"%d-%d" % (t, i) for t in range(THREADS)
                                                           for i in range(rounds))
    assert len({r.seq for r in records if isinstance(r, CallRecord)}) == sum(isinstance(r, CallRecord)
                                                                          for r in records)
    end = records[-1]
    assert isinstance(end, EndRecord) and (end.events, end.dropped) == (THREADS * rounds, 0)
    assert end.calls == sum(isinstance(r, CallRecord) for r in records)
