"""zq.csdk.live.run() on the live stand-in: the lock released while the core waits, events on
either thread, signals and the handler's KeyboardInterrupt/SystemExit stopping it."""
import faulthandler
import json
import os
import signal
import socket
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

from zq.csdk import live
from test_events import Boom, assert_reported, reports

DELIVERY = pytest.mark.parametrize("on_core_thread", [False, True], ids=["caller-thread", "core-thread"])


@pytest.fixture
def live_core(m, core):
    core.set_live(True)
    core.logging(False)
    return core


def later(delay, action):
    """Runs `action` on a thread of its own after `delay` seconds."""
    threading.Thread(target=lambda: (time.sleep(delay), action()), daemon=True).start()


def test_other_threads_progress_while_the_core_waits(m, live_core):
    # The run ends only when another thread stops it, and that thread first runs
    # many turns of Python once the core is inside zqi_run: with the interpreter
    # lock held there it could not, and the run would hang (ended by the watchdog).
    turns = 0
    returned = threading.Event()

    def count():
        nonlocal turns
        while live_core.call_count("zqi_run") == 0:
            time.sleep(0.001)
        for _ in range(200_000):
            turns += 1
        # From another thread: the run returns zqi_run's result.  A stop that
        # comes before zqi_run has begun waiting is lost, so it is sent until
        # the run has returned.
        while not returned.is_set():
            m.py_zqi_stop()
            returned.wait(0.05)

    live_core.set_status("zqi_run", 7)
    later(0, count)
    faulthandler.dump_traceback_later(120, exit=True)
    try:
        assert live.run() == 7
    finally:
        returned.set()
        faulthandler.cancel_dump_traceback_later()
    assert turns == 200_000


SIGNALS = [(signal.SIGINT, KeyboardInterrupt, None), (signal.SIGTERM, SystemExit, 143)]


@pytest.mark.parametrize("signum, exc, code", SIGNALS, ids=["SIGINT", "SIGTERM"])
def test_a_signal_in_a_quiet_period_stops_the_run_within_100_ms(m, live_core, signum, exc, code):
    # Measured from the signal to run() raising; on a loaded machine one try
    # in three may be slow, so the best of three must meet the bound.
    took = []
    for _ in range(3):
        sent = []
        later(0.1, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signum)))
        with pytest.raises(exc) as e:
            live.run()
        took.append(time.monotonic() - sent[0])
        assert getattr(e.value, "code", None) == code
        if took[-1] < 0.1:
            break
    assert min(took) < 0.1, took
    assert live_core.call_count("zqi_stop") >= 1


def test_application_signal_handling_is_restored_and_other_signals_passed_on(m, live_core):
    got, (app_sock, wake_sock) = [], socket.socketpair()
    handler = lambda n, f: got.append(n)  # noqa: E731
    wake_sock.setblocking(False)
    kept = [(s, signal.signal(s, h)) for s, h in [(signal.SIGINT, handler), (signal.SIGUSR1, handler),
                                                  (signal.SIGTERM, signal.SIG_IGN)]]
    kept_fd = signal.set_wakeup_fd(wake_sock.fileno())
    try:
        later(0.05, lambda: [os.kill(os.getpid(), s) or time.sleep(0.05) for s in
                             (signal.SIGTERM, signal.SIGUSR1, signal.SIGINT)])  # SIGTERM ignored, as the app says
        with pytest.raises(KeyboardInterrupt):
            live.run()
        assert got == [signal.SIGUSR1] and signal.SIGUSR1 in app_sock.recv(16)  # passed on during the run
        assert [signal.getsignal(s) for s, _ in kept] == [handler, handler, signal.SIG_IGN]
        assert signal.set_wakeup_fd(kept_fd) == wake_sock.fileno()
    finally:
        for s, h in kept:
            signal.signal(s, h)
        app_sock.close()
        wake_sock.close()


@DELIVERY
def test_ten_thousand_events_queued_from_another_thread_arrive_whole_and_in_order(m, live_core, on_core_thread):
    live_core.set_delivery_thread(on_core_thread)
    n = 10000
    seen, threads, codes = [], set(), []

    def handler(t, d):
        seen.append(d)
        threads.add(threading.get_ident())
        if len(seen) == n:
            m.py_zqi_stop()
        if int(d) % 1000 == 500:
            worker = threading.Thread(target=lambda: codes.append(m.py_zqi_get_stop_error_code()))
            worker.start()  # a handler may start and join threads
            worker.join()
            raise Boom(d)  # reported as py_zqi_run reports it; the run goes on

    m.py_zqi_set_data_callback(handler)
    later(0.02, lambda: [live_core.queue_event(b"tick", b"%d" % i) for i in range(n)])
    with reports() as (printed, unraisable):
        assert live.run() == 0
    assert seen == [b"%d" % i for i in range(n)]
    assert_reported(printed, unraisable, *[Boom] * 10)
    assert codes == [0] * 10
    assert (threading.main_thread().ident in threads) != on_core_thread and len(threads) == 1


@DELIVERY
@pytest.mark.parametrize("raised", [KeyboardInterrupt("from the handler"), SystemExit(3)], ids=["KeyboardInterrupt",
                                                                                               "SystemExit"])
def test_keyboard_interrupt_or_system_exit_in_the_handler_ends_the_run(m, live_core, on_core_thread, raised):
    live_core.set_delivery_thread(on_core_thread)
    seen = []

    def handler(t, d):
        seen.append(t)
        if t == "stop":
            raise raised

    m.py_zqi_set_data_callback(handler)
    live_core.queue_events([(b"a", b""), (b"stop", b""), (b"left", b"")])
    with reports() as (printed, unraisable), pytest.raises(type(raised)) as e:
        live.run()
    assert e.value is raised and (printed, unraisable) == ([], [])
    assert seen == ["a", "stop"] and live_core.queue_size() == 1


def _nested(m):
    m.py_zqi_set_data_callback(lambda t, d: live.run())
    return RuntimeError, ["live"]  # under py_zqi_run it is a nested zqi_run, which the core must accept


def _no_handler(m):
    m.__dict__.pop("f", None)
    return NameError, ["py_zqi_run", "live"]


@pytest.mark.parametrize("setup", [_nested, _no_handler], ids=["called-from-the-handler", "no-handler"])
def test_a_handler_fault_is_reported_as_py_zqi_run_reports_it(m, core, setup):
    core.set_live(True)
    core.set_delivery_thread(True)
    core.reset()  # not live, no delivery thread: both runs return once the queue is empty
    exc, runners = setup(m)
    for runner in runners:
        core.queue_events([(b"a", b""), (b"b", b"")])
        with reports() as (printed, unraisable):
            assert (live.run() if runner == "live" else m.py_zqi_run()) == 0
        assert_reported(printed, unraisable, exc, exc)
    assert "in progress" in str(printed[0][1]) or exc is NameError


def test_refused_off_the_main_thread(m, core):
    errors = []
    t = threading.Thread(target=lambda: errors.append(pytest.raises(RuntimeError, live.run).value))
    t.start()
    t.join()
    assert "main thread" in str(errors[0]) and core.call_count("zqi_run") == 0


def test_an_event_from_the_cores_thread_under_py_zqi_run_waits_for_the_lock():
    # py_zqi_run holds the lock while the stand-in's own thread has an event: it waits (for ever), no crash.
    # Without an interpreter lock (free-threaded) there is nothing to wait for: the event is delivered
    # and the run ends with the queue empty.
    script = ("from zq.csdk import c_sdk, standin; core = standin.StandIn(); core.set_delivery_thread(True); "
              "c_sdk.py_zqi_set_data_callback(print); core.queue_event(b'x', b''); print('running', flush=True); "
              "c_sdk.py_zqi_run()")
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    with proc:
        if sysconfig.get_config_var("Py_GIL_DISABLED"):
            assert proc.communicate(timeout=60) == ("running\nx b''\n", "") and proc.returncode == 0
            return
        try:
            assert proc.stdout.readline() == "running\n"
            time.sleep(0.5)
            assert proc.poll() is None
        finally:
            proc.kill()
        assert proc.communicate() == ("", "") and proc.returncode == -signal.SIGKILL


STREAM = """
import json, os, signal, threading, time
from zq.csdk import c_sdk, live
from zq.csdk.standin import StandIn

core = StandIn()
core.set_live(True)
core.logging(False)
armed = [False]
in_run = [False]  # cleared by the first statement that runs once run() has ended


def on_int(signum, frame):  # the application's handler: an interrupt while a stream is on and run() has not ended
    if armed[0] and in_run[0]:
        raise KeyboardInterrupt


def stream(go, done):  # Ctrl-C every 0.2 ms for 30 ms: into the run, through its teardown and past it
    go.wait()
    time.sleep(0.005)
    armed[0] = True
    end = time.monotonic() + 0.03
    while time.monotonic() < end:
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(0.0002)
    armed[0] = False
    done.set()


signal.signal(signal.SIGINT, on_int)
fds = os.listdir("/proc/self/fd")
interrupted = 0
for _ in range(ROUNDS):
    go, done = threading.Event(), threading.Event()
    threading.Thread(target=stream, args=(go, done)).start()
    in_run[0] = True
    try:
        try:
            go.set()
            live.run()
        except KeyboardInterrupt:
            in_run[0] = False
            interrupted += 1
    except KeyboardInterrupt:  # one more, while the first was being caught
        in_run[0] = False
        interrupted += 1
    in_run[0] = False
    while not done.is_set():  # the stream's tail: past the run, into the application's handler
        time.sleep(0.001)
threading.Timer(0.05, c_sdk.py_zqi_stop).start()
print(json.dumps({"interrupted": interrupted, "in progress": live._current is not None,
                  "descriptors": sorted(os.listdir("/proc/self/fd")) == sorted(fds),
                  "handler": signal.getsignal(signal.SIGINT) is on_int, "runs again": live.run()}))
"""


def test_a_stream_of_interrupts_through_the_teardown_leaves_nothing_behind():
    # However many Ctrl-C arrive while run() ends, its state is cleared, its pipe closed and the application's
    # handler back: the next run() starts.
    script = STREAM.replace("ROUNDS", "30")
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout)
    assert got.pop("interrupted") >= 1
    assert got == {"in progress": False, "descriptors": True, "handler": True, "runs again": 0}
