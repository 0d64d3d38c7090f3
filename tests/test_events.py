"""The event bridge and the run loop, against the stand-in core library."""
import contextlib
import subprocess
import sys
import textwrap

import pytest

NO_ARGS = "takes no arguments"


@contextlib.contextmanager
def reports():
    """Both reports of a failed delivery: (printed, unraisable) lists."""
    printed, unraisable = [], []
    saved = sys.excepthook, sys.unraisablehook
    sys.excepthook = lambda t, v, tb: printed.append((t, v, tb))
    sys.unraisablehook = lambda u: unraisable.append((u.exc_type, u.exc_value, u.object))
    try:
        yield printed, unraisable
    finally:
        sys.excepthook, sys.unraisablehook = saved


def assert_reported(printed, unraisable, *types):
    assert [t for t, _, _ in printed] == list(types)
    assert [t for t, _, _ in unraisable] == list(types)
    assert all(obj == "c_sdk.callback_wrapper" for _, _, obj in unraisable)
    assert [v for _, v, _ in printed] == [v for _, v, _ in unraisable]


@pytest.fixture
def got(m, core):
    seen = []
    m.py_zqi_set_data_callback(lambda t, d: seen.append((t, d)))
    return seen


def run(m):
    """py_zqi_run; the wrapper returns normally with the error indicator clear."""
    assert m.py_zqi_run() == 0
    return True


# ---- delivery ------------------------------------------------------------------

@pytest.mark.parametrize("msg_type, data, expected", [
    (b"", b"", ("", b"")),
    (b"tick", b"\0\0a\0b\0", ("tick", b"\0\0a\0b\0")),
    ("订单".encode(), b"x" * 100000, ("订单", b"x" * 100000)),
    (b"nd", None, ("nd", b"")),  # NULL data with length 0
])
def test_delivered_whole(m, core, got, msg_type, data, expected):
    core.queue_event(msg_type, data)
    run(m)
    assert got == [expected]
    assert type(got[0][0]) is str and type(got[0][1]) is bytes


def test_events_delivered_in_order_until_queue_empty(m, core, got):
    long = "x" * 31 + "é" * 10
    types = ["tick", "tick", "tic", "tick2", "", "tick", long, long, "tick" + "x" * 40, "tick", "y" * 300]
    for i, t in enumerate(types):
        core.queue_event(t.encode(), bytes([i]))
    core.queue_event(b"tick\xff", b"")  # invalid, sharing a prefix with the last good type
    core.queue_event(b"tick\0tail", b"z")
    with reports() as (printed, unraisable):
        run(m)
    assert_reported(printed, unraisable, UnicodeDecodeError)
    assert got == [(t, bytes([i])) for i, t in enumerate(types)] + [("tick", b"z")]
    assert core.queue_size() == 0


@pytest.mark.parametrize("flag, kind", [(True, bytes), (1, bytes), ([0], bytes), (False, str), (None, str), (0, str)])
def test_is_py2_selects_message_type(m, core, got, flag, kind):
    m.IS_PY2 = flag
    core.queue_event(b"bar", b"p")
    core.queue_event(b"", b"")
    run(m)
    assert got == [(kind(b"bar") if kind is bytes else "bar", b"p"), (b"" if kind is bytes else "", b"")]


def test_is_py2_true_passes_invalid_utf8_through(m, core, got):
    m.IS_PY2 = True
    core.queue_event(b"\xff\xfe", b"")
    run(m)
    assert got == [(b"\xff\xfe", b"")]


class Boom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom("truth")


def _delete_is_py2(m):
    del m.IS_PY2


def _bad_is_py2(m):
    m.IS_PY2 = BadBool()


def _delete_f(m):
    del m.f


def _uncallable_f(m):
    m.f = 42


@pytest.mark.parametrize("spoil, exc", [
    (_delete_is_py2, NameError),
    (_bad_is_py2, Boom),
    (_delete_f, NameError),
    (_uncallable_f, TypeError),
])
def test_failed_lookup_is_reported_and_delivery_resumes(m, core, spoil, exc):
    seen = []
    handler = lambda t, d: seen.append(t)  # noqa: E731
    m.py_zqi_set_data_callback(handler)
    spoil(m)
    core.queue_event(b"a", b"")
    core.queue_event(b"b", b"")
    with reports() as (printed, unraisable):
        assert m.zqi_poll() == 0
        assert m.zqi_poll() == 0
    assert_reported(printed, unraisable, exc, exc)
    if exc is NameError:
        assert "is not defined" in str(printed[0][1])
    assert seen == []
    m.IS_PY2 = False
    m.f = handler
    core.queue_event(b"c", b"")
    run(m)
    assert seen == ["c"]


@pytest.mark.parametrize("msg_type, data, data_len, exc", [
    (b"\xff", b"x", None, UnicodeDecodeError),
    (b"ok\xc3", b"", None, UnicodeDecodeError),
    (b"neg", b"", -1, SystemError),
    (b"neg", None, -5, SystemError),
    (b"nd", None, 4, SystemError),  # NULL data, positive length
    (None, b"x", None, SystemError),  # NULL message type
])
def test_bad_event_reported_handler_not_called(m, core, got, msg_type, data, data_len, exc):
    core.queue_event(msg_type, data, data_len)
    core.queue_event(b"after", b"ok")
    with reports() as (printed, unraisable):
        run(m)
    assert_reported(printed, unraisable, exc)
    assert got == [("after", b"ok")]


def test_raising_handler_reports_and_keeps_receiving(m, core):
    seen = []

    def handler(t, d):
        seen.append(t)
        if t == "bad":
            raise Boom(d)

    m.py_zqi_set_data_callback(handler)
    for t in (b"bad", b"good", b"bad", b"good"):
        core.queue_event(t, t)
    for name in ("last_type", "last_value", "last_traceback"):
        if hasattr(sys, name):
            delattr(sys, name)
    with reports() as (printed, unraisable):
        run(m)
    assert seen == ["bad", "good", "bad", "good"]
    assert_reported(printed, unraisable, Boom, Boom)
    assert printed[0][1].args == (b"bad",)
    tb = printed[0][2]
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_code is handler.__code__
    assert not any(hasattr(sys, n) for n in ("last_type", "last_value", "last_traceback"))


def _failing_hook(t, v, tb):
    raise ValueError("hook broke")


# The printed report through each state of sys.excepthook, in the words of
# the interpreter's own printing of an uncaught exception.
@pytest.mark.parametrize("hook, expected", [
    (sys.__excepthook__, ["Boom: from the handler", "Boom: from the handler"]),
    (_failing_hook, ["Error in sys.excepthook:\n", "ValueError: hook broke\n\nOriginal exception was:\n",
                     "Boom: from the handler", "Boom: from the handler"]),
    (None, ["sys.excepthook is missing\n", "Boom: from the handler", "Boom: from the handler"]),
], ids=["default", "failing", "missing"])
def test_default_report_goes_to_stderr(m, core, capsys, monkeypatch, hook, expected):
    def handler(t, d):
        raise Boom("from the handler")

    m.py_zqi_set_data_callback(handler)
    core.queue_event(b"x", b"")
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    if hook is None:
        monkeypatch.delattr(sys, "excepthook")
    else:
        monkeypatch.setattr(sys, "excepthook", hook)
    run(m)
    err = capsys.readouterr().err
    at = 0
    for piece in expected:  # in this order
        at = err.index(piece, at) + len(piece)
    assert err.count("Boom: from the handler") == 2
    assert "Exception ignored in: 'c_sdk.callback_wrapper'" in err
    assert "in handler" in err


def test_keyboard_interrupt_is_swallowed(m, core):
    def handler(t, d):
        raise KeyboardInterrupt

    m.py_zqi_set_data_callback(handler)
    core.queue_event(b"x", b"")
    with reports() as (printed, unraisable):
        run(m)
    assert_reported(printed, unraisable, KeyboardInterrupt)


# SystemExit raised on the main thread ends the process as at top level; on
# another thread the exit is reported through both hooks and the run goes on,
# as Python's own threads treat SystemExit.  A KeyboardInterrupt is reported
# and swallowed on either, and leaves the exit status alone (status None: the
# run goes on).
@pytest.mark.parametrize("raised, status, out", [
    ("SystemExit(3)", 3, ""),
    ("SystemExit('bye')", 1, "bye"),
    ("SystemExit(None)", 0, ""),
    ("KeyboardInterrupt", None, ""),
])
@pytest.mark.parametrize("thread", [False, True], ids=["main-thread", "other-thread"])
def test_exit_exception_in_handler_and_the_exit_status(raised, status, out, thread):
    script = textwrap.dedent(f"""
        import threading
        from zq.csdk import c_sdk
        from zq.csdk.standin import StandIn
        core = StandIn()
        core.reset()
        seen = []
        def handler(t, d):
            seen.append(t)
            raise {raised}
        c_sdk.py_zqi_set_data_callback(handler)
        core.queue_event(b"x", b"")
        core.queue_event(b"y", b"")
        if {thread}:
            ran = threading.Thread(target=lambda: seen.append(c_sdk.py_zqi_run()))
            ran.start()
            ran.join(60)
        else:
            seen.append(c_sdk.py_zqi_run())
        print("still running", seen)
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    if thread or status is None:
        assert (proc.returncode, proc.stdout) == (0, "still running ['x', 'y', 0]\n"), proc.stderr
        assert proc.stderr.count("Exception ignored in: 'c_sdk.callback_wrapper'") == 2
        assert proc.stderr.count("\n" + raised.partition("(")[0]) == 4  # both events, both hooks
    else:
        assert proc.returncode == status
        assert "still running" not in proc.stdout
    assert out in proc.stderr


# What the printing of a reported exception does with the interpreter's audit
# hooks and a hook that exits; audit hooks stay for the process, so each runs
# in one: (setup, exit status, what stderr holds, how often the exception is
# printed: a veto leaves only the unraisable hook's report).
@pytest.mark.parametrize("setup, status, present, printed", [
    ("sys.addaudithook(lambda e, a: (_ for _ in ()).throw(RuntimeError('no')) if e == 'sys.excepthook' else None)",
     0, "Exception ignored in: 'c_sdk.callback_wrapper'", 1),
    ("sys.addaudithook(lambda e, a: (_ for _ in ()).throw(ValueError('audit')) if e == 'sys.excepthook' else None)",
     0, "ValueError: audit", 2),
    ("sys.excepthook = lambda *a: sys.exit(4)", 4, "", 0),
], ids=["audit-veto", "audit-fails", "hook-exits"])
def test_report_through_audit_hooks_and_an_exiting_hook(setup, status, present, printed):
    script = textwrap.dedent(f"""
        import sys
        from zq.csdk import c_sdk
        from zq.csdk.standin import StandIn
        class Boom(Exception):
            pass
        core = StandIn()
        core.reset()
        def handler(t, d):
            raise Boom("from the handler")
        c_sdk.py_zqi_set_data_callback(handler)
        core.queue_event(b"x", b"")
        {setup}
        c_sdk.py_zqi_run()
        print("still running")
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == status, proc.stderr
    assert present in proc.stderr and proc.stderr.count("Boom: from the handler") == printed
    assert ("still running" in proc.stdout) == (status == 0)


def test_handler_called_with_exactly_two_positionals(m, core):
    calls = []

    class Obj:
        def method(self, *args, **kwargs):
            calls.append((self, args, kwargs))

    o = Obj()
    m.py_zqi_set_data_callback(o.method)
    core.queue_event(b"t", b"d")
    run(m)
    assert calls == [(o, ("t", b"d"), {})]


def test_handler_result_ignored_and_error_left_clear(m, core):
    m.py_zqi_set_data_callback(lambda t, d: object())
    core.queue_event(b"t", b"d")
    assert m.py_zqi_run() == 0
    # an error left pending would surface in the next call
    assert m.py_zqi_get_stop_error_code() == 0


# ---- registration ---------------------------------------------------------------

def test_register_replaces_f_and_passes_same_pointer(m, core):
    first, second = [], []
    h1, h2 = (lambda t, d: first.append(t)), (lambda t, d: second.append(t))
    assert m.py_zqi_set_data_callback(h1) is None
    assert m.f is h1
    ptr = core.callback()
    assert ptr
    core.queue_event(b"a", b"")
    run(m)
    assert m.py_zqi_set_data_callback(pythonf=h2) is None
    assert m.f is h2 and core.callback() == ptr
    log = [c for c in core.calls() if c.fn == "zqi_set_event_callback_pb"]
    assert [c.args for c in log] == [[ptr], [ptr]]
    core.queue_event(b"b", b"")
    run(m)
    assert (first, second) == (["a"], ["b"])


def test_direct_assignment_of_f_takes_effect(m, core, got):
    other = []
    m.f = lambda t, d: other.append(t)
    core.queue_event(b"a", b"")
    run(m)
    assert got == [] and other == ["a"]


def test_f_found_in_builtins_when_not_in_module(m, core, got, monkeypatch):
    import builtins
    other = []
    monkeypatch.setattr(builtins, "f", lambda t, d: other.append(t), raising=False)
    core.queue_event(b"a", b"")
    run(m)
    del m.f
    core.queue_event(b"b", b"")
    run(m)
    assert got == [("a", b"")] and other == ["b"]


def test_non_callable_handler_accepted(m, core):
    assert m.py_zqi_set_data_callback(None) is None
    assert m.f is None


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"f": 1}), ((1,), {"pythonf": 2})])
def test_set_data_callback_binding_errors_store_nothing(m, core, args, kwargs):
    m.__dict__.pop("f", None)
    with pytest.raises(TypeError):
        m.py_zqi_set_data_callback(*args, **kwargs)
    assert "f" not in m.__dict__
    assert core.calls() == []


def test_handler_reregisters_itself(m, core):
    seen = []

    def handler(t, d):
        seen.append(t)
        m.py_zqi_set_data_callback(handler)

    m.py_zqi_set_data_callback(handler)
    ptr = core.callback()
    for t in (b"a", b"b", b"c"):
        core.queue_event(t, b"")
    run(m)
    assert seen == ["a", "b", "c"] and core.callback() == ptr
    assert core.call_count("zqi_set_event_callback_pb") == 4


# ---- run loop ---------------------------------------------------------------------

@pytest.mark.parametrize("name, core_fn", [
    ("py_zqi_run", "zqi_run"), ("py_zqi_stop", "zqi_stop"), ("py_zqi_get_stop_error_code", "zqi_get_stop_error_code"),
])
@pytest.mark.parametrize("status", [0, -7, 2**31 - 1, -2**31])
def test_run_control_returns_core_int(m, core, name, core_fn, status):
    core.set_status(core_fn, status)
    assert getattr(m, name)() == status
    assert [c.fn for c in core.calls()] == [core_fn]


@pytest.mark.parametrize("name", ["py_zqi_run", "py_zqi_stop", "py_zqi_get_stop_error_code"])
@pytest.mark.parametrize("args, kwargs, reason", [
    ((1,), {}, NO_ARGS + " (1 given)"),
    ((1, 2), {}, NO_ARGS + " (2 given)"),
    ((), {"x": 1}, "takes no keyword arguments"),
    ((1,), {"x": 1}, "takes no keyword arguments"),
])
def test_run_control_refuses_arguments(m, core, name, args, kwargs, reason):
    with pytest.raises(TypeError) as e:
        getattr(m, name)(*args, **kwargs)
    assert str(e.value) == f"{name}() {reason}"
    assert core.calls() == []


def test_poll_delivers_one_event_at_a_time(m, core, got):
    for t in (b"a", b"b"):
        core.queue_event(t, b"")
    assert m.zqi_poll() == 0
    assert got == [("a", b"")] and core.queue_size() == 1
    assert m.zqi_poll() == 0
    assert got == [("a", b""), ("b", b"")]
    assert m.zqi_poll() == 0
    assert len(got) == 2


def test_stop_from_handler_leaves_rest_queued(m, core):
    seen = []

    def handler(t, d):
        seen.append(t)
        if t == "stop":
            assert m.py_zqi_stop() == 0

    m.py_zqi_set_data_callback(handler)
    for t in (b"a", b"stop", b"b", b"c"):
        core.queue_event(t, b"")
    core.set_status("zqi_get_stop_error_code", 12)
    run(m)
    assert seen == ["a", "stop"] and core.queue_size() == 2
    assert m.py_zqi_get_stop_error_code() == 12
    run(m)
    assert seen == ["a", "stop", "b", "c"]


# ---- nested calls ------------------------------------------------------------------

def test_events_during_reply_call(m, core, got):
    core.deliver_during("zqi_place_order_pb")
    core.queue_event(b"order", b"\x01\x00")
    core.queue_event(b"fill", b"")
    assert m.py_zqi_place_order(b"req") == (0, b"req")
    assert got == [("order", b"\x01\x00"), ("fill", b"")]


def test_order_placed_from_inside_event(m, core):
    inner = []

    def handler(t, d):
        inner.append(m.py_zqi_place_order(b"inner-" + d))

    m.py_zqi_set_data_callback(handler)
    core.deliver_during("zqi_place_order_pb", 1)
    core.queue_event(b"tick", b"1")
    core.queue_event(b"tick", b"2")
    req = bytearray(b"outer")
    assert m.py_zqi_place_order(req) == (0, b"outer")
    # the outer call delivered event 1; its handler's order delivered event 2
    assert inner == [(0, b"inner-2"), (0, b"inner-1")]
    orders = [c.args[0].data for c in core.calls() if c.fn == "zqi_place_order_pb"]
    assert sorted(orders) == [b"inner-1", b"inner-2", b"outer"]


def test_handler_order_during_run_with_failing_status(m, core):
    inner = []
    m.py_zqi_set_data_callback(lambda t, d: inner.append(m.py_zqi_place_order(d)))
    core.set_status("zqi_place_order_pb", -2)
    core.queue_event(b"tick", b"abc")
    run(m)
    assert inner == [(-2, None)]


def test_handler_raising_during_reply_call_leaves_reply_intact(m, core):
    def handler(t, d):
        raise Boom

    m.py_zqi_set_data_callback(handler)
    core.deliver_during("zqi_place_order_pb")
    core.queue_event(b"x", b"")
    with reports() as (printed, unraisable):
        assert m.py_zqi_place_order(b"req") == (0, b"req")
    assert_reported(printed, unraisable, Boom)


@pytest.mark.parametrize("handler, py2", [("py_zqi_send_msg_to_bus", False), ("zqi_send_msg_to_bus", True)],
                         ids=["adapter", "direct-callable"])
def test_handler_forwarding_each_event_back_to_the_core_hits_the_recursion_limit(m, core, capfd, handler, py2):
    # With IS_PY2 set the message type arrives as bytes, so even the direct
    # callable takes it: a loop through C alone, with no adapter in it.
    m.IS_PY2 = py2
    m.py_zqi_set_data_callback(getattr(m, handler))
    for _ in range(20000):
        core.queue_event(b"topic", b"msg")
    core.deliver_during("zqi_send_msg_to_bus", 1)
    with reports() as (printed, unraisable):
        run(m)
    sent = core.call_count("zqi_send_msg_to_bus")  # more calls than the log keeps
    # Only the events that met the limit were lost, and the run went on to
    # the end of the queue.  Each is reported through both hooks, unless the
    # interpreter's own check on calls of builtins (3.11: against the
    # recursion limit; 3.12: against its fixed C limit) was met before the
    # module's on the stack: then the hooks have no depth left and its
    # fallback prints them.
    assert 19900 < sent < 20000
    if printed or handler == "py_zqi_send_msg_to_bus":
        assert_reported(printed, unraisable, *[RecursionError] * (20000 - sent))
    else:
        assert "RecursionError" in capfd.readouterr().err
