"""zq.csdk.live.run() on the live stand-in: the core waits with the interpreter lock
released, events arrive on the core's thread or the caller's, signals and the
handler's KeyboardInterrupt/SystemExit stop it, and the application's signal
handling is put back."""
import os
import signal
import socket
import subprocess
import sys
import textwrap
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
    """Runs `action` on a thread after `delay` seconds; the thread is returned, started."""
    t = threading.Thread(target=lambda: (time.sleep(delay), action()), daemon=True)
    t.start()
    return t


def test_other_threads_progress_while_the_core_waits(m, live_core):
    counts = []

    def sample():
        n = 0
        end = time.monotonic() + 0.4
        mark = time.monotonic() + 0.05
        while time.monotonic() < end:
            n += 1
            if time.monotonic() >= mark:
                counts.append(n)
                mark += 0.05
        m.py_zqi_stop()  # from another thread: the run returns zqi_run's result

    live_core.set_status("zqi_run", 7)
    t = later(0, sample)
    assert live.run() == 7
    t.join()
    steps = [b - a for a, b in zip(counts, counts[1:])]
    assert len(steps) >= 4 and min(steps) > 0, counts  # progress in every 50 ms window


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
    got = []

    def handler(n, f):
        got.append(n)

    app_sock, wake_sock = socket.socketpair()
    wake_sock.setblocking(False)
    saved = {s: signal.signal(s, handler) for s in (signal.SIGINT, signal.SIGUSR1)}
    saved[signal.SIGTERM] = signal.signal(signal.SIGTERM, signal.SIG_IGN)
    old_fd = signal.set_wakeup_fd(wake_sock.fileno())
    try:
        def send():
            os.kill(os.getpid(), signal.SIGTERM)  # ignored, as the application says
            os.kill(os.getpid(), signal.SIGUSR1)
            time.sleep(0.05)
            os.kill(os.getpid(), signal.SIGINT)
        later(0.05, send)
        with pytest.raises(KeyboardInterrupt):
            live.run()
        assert got == [signal.SIGUSR1]  # its own handler ran, after the run; SIGINT went to the run
        assert signal.SIGUSR1 in app_sock.recv(16)  # passed on during the run
        assert signal.set_wakeup_fd(wake_sock.fileno()) == wake_sock.fileno()
        assert [signal.getsignal(s) for s in (signal.SIGINT, signal.SIGUSR1, signal.SIGTERM)] == \
            [handler, handler, signal.SIG_IGN]
    finally:
        signal.set_wakeup_fd(old_fd)
        for s, h in saved.items():
            signal.signal(s, h)
        app_sock.close()
        wake_sock.close()


@DELIVERY
def test_ten_thousand_events_queued_from_another_thread_arrive_whole_and_in_order(m, live_core, on_core_thread):
    live_core.set_delivery_thread(on_core_thread)
    n = 10000
    seen, threads = [], set()

    def handler(t, d):
        seen.append(d)
        threads.add(threading.get_ident())
        if len(seen) == n:
            m.py_zqi_stop()
        if int(d) % 1000 == 500:
            raise Boom(d)  # reported as py_zqi_run reports it; the run goes on

    m.py_zqi_set_data_callback(handler)
    later(0.02, lambda: [live_core.queue_event(b"tick", b"%d" % i) for i in range(n)])
    with reports() as (printed, unraisable):
        assert live.run() == 0
    assert seen == [b"%d" % i for i in range(n)]
    assert_reported(printed, unraisable, *[Boom] * 10)
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
    # Outside a live run the bridge reports and swallows it, as specified.
    if isinstance(raised, KeyboardInterrupt):
        live_core.set_live(False)
        live_core.set_delivery_thread(False)
        live_core.queue_event(b"stop", b"")
        with reports() as (printed, unraisable):
            assert m.py_zqi_run() == 0
        assert_reported(printed, unraisable, KeyboardInterrupt)


@DELIVERY
def test_handler_may_start_and_join_threads_and_stop_the_run(m, live_core, on_core_thread):
    live_core.set_delivery_thread(on_core_thread)
    codes = []

    def handler(t, d):
        worker = threading.Thread(target=lambda: codes.append(m.py_zqi_get_stop_error_code()))
        worker.start()
        worker.join()
        if t == "last":
            m.py_zqi_stop()

    m.py_zqi_set_data_callback(handler)
    live_core.queue_events([(b"a", b""), (b"last", b"")])
    assert live.run() == 0 and codes == [0, 0]


def _nested(m):
    m.py_zqi_set_data_callback(lambda t, d: live.run())
    return RuntimeError, ["live"]  # under py_zqi_run it is a nested zqi_run, which the core must accept


def _no_handler(m):
    m.__dict__.pop("f", None)
    return NameError, ["py_zqi_run", "live"]


@pytest.mark.parametrize("setup", [_nested, _no_handler], ids=["called-from-the-handler", "no-handler"])
def test_a_handler_fault_is_reported_as_py_zqi_run_reports_it(m, core, setup):
    # Not live: both runs return once the queue is empty.
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
    # py_zqi_run holds the lock while the stand-in's thread has an event:
    # the event waits (for ever here), and nothing crashes.
    script = textwrap.dedent("""
        from zq.csdk import c_sdk
        from zq.csdk.standin import StandIn
        core = StandIn()
        core.set_delivery_thread(True)
        c_sdk.py_zqi_set_data_callback(lambda t, d: print("delivered", flush=True))
        core.queue_event(b"x", b"")
        print("running", flush=True)
        c_sdk.py_zqi_run()
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "running\n"
        time.sleep(0.5)
        assert proc.poll() is None
    finally:
        proc.kill()
        out, err = proc.communicate()
    assert proc.returncode == -signal.SIGKILL and out == "" and err == ""


def test_reset_turns_live_and_the_delivery_thread_off(m, core):
    core.set_live(True)
    core.set_delivery_thread(True)
    core.reset()
    threads = []
    m.py_zqi_set_data_callback(lambda t, d: threads.append(threading.get_ident()))
    core.queue_event(b"x", b"")
    guard = threading.Timer(10, m.py_zqi_stop)  # ends the run should reset have left it live
    guard.start()
    assert live.run() == 0
    guard.cancel()
    assert threads == [threading.main_thread().ident]
