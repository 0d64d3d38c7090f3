"""The stand-in's control API as a testing kit: the bounded call log, argument
checking (one clear exception, nothing changed), text accepted as UTF-8, and
its type hints (and the live run's) under mypy --strict."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from zq.csdk import (_cassette_cli, _cassette_file, _cassette_json, _cassette_report, _cassette_writer, _cores, _launch,
                    _recording, _redaction, _replay, cassette, live, pytest_plugin, standin)
from zq.csdk.standin import DEFAULT_LOG_CAPACITY, NEGATIVE_LENGTH, NULL_REPLY, UnknownFunctionError

ROOT = Path(__file__).resolve().parent.parent
FN = "zqi_place_order_pb"


def place(m, n):
    for i in range(n):
        m.py_zqi_place_order(b"%d" % i)


@pytest.mark.parametrize("capacity, n", [(3, 2), (3, 3), (3, 7), (1, 5), (DEFAULT_LOG_CAPACITY, DEFAULT_LOG_CAPACITY + 2)])
def test_log_keeps_the_newest_calls_and_counts_the_dropped(m, core, capacity, n):
    if capacity != DEFAULT_LOG_CAPACITY:
        core.set_log_capacity(capacity)
    place(m, n)
    kept = min(n, capacity)
    assert core.requests(FN) == [b"%d" % i for i in range(n - kept, n)]
    assert (core.log_capacity(), core.log_dropped(), core.call_count(FN)) == (capacity, n - kept, n)


def test_log_capacity_changes_keep_the_newest_and_reset_restores_the_default(m, core):
    place(m, 6)
    core.set_log_capacity(4)  # shrinking drops the oldest two
    assert core.requests(FN) == [b"2", b"3", b"4", b"5"] and core.log_dropped() == 2
    core.set_log_capacity(8)  # growing keeps what there is, then fills up before dropping again
    place(m, 6)
    assert core.requests(FN) == [b"4", b"5"] + [b"%d" % i for i in range(6)] and core.log_dropped() == 4
    core.clear_log()
    assert (core.calls(), core.log_dropped(), core.log_capacity()) == ([], 0, 8)
    core.logging(False)
    place(m, 20)
    assert (core.calls(), core.log_dropped(), core.call_count(FN)) == ([], 0, 32)
    core.reset()
    assert (core.log_capacity(), core.log_dropped(), core.call_count(FN)) == (DEFAULT_LOG_CAPACITY, 0, 0)


# Each misuse: (call, exception, message).  Every call that takes a core
# function's name refuses an unknown one, a bytes one, and one that only
# matches up to a NUL.
MISUSES = [(f"{name} fn={fn!r}", lambda c, name=name, fn=fn, args=args: getattr(c, name)(fn, *args), exc, msg)
           for name, args in [("set_status", (1,)), ("set_reply", (b"x",)), ("set_mode", (NULL_REPLY, 3)),
                              ("deliver_during", (1,)), ("call_count", ()), ("calls", ()), ("requests", ())]
           for fn, exc, msg in [("zqi_place_order", UnknownFunctionError,
                                 r"^no core function named 'zqi_place_order'; did you mean 'zqi_place_order_pb'"),
                                (FN + "\0", UnknownFunctionError, r"^no core function named 'zqi_place_order_pb\\x00'"),
                                (FN.encode(), TypeError, r"^fn must be str, not bytes$")]] + [
    ("status too large", lambda c: c.set_status(FN, 2**32), OverflowError, r"^status must fit in a 32-bit int"),
    ("status float", lambda c: c.set_status(FN, 1.0), TypeError, r"^status must be int, not float$"),
    ("status bool", lambda c: c.set_status(FN, True), TypeError, r"^status must be int, not bool$"),
    ("reply int", lambda c: c.set_reply(FN, 5), TypeError,
     r"^data must be bytes, bytearray, memoryview or str or None, not int$"),
    ("mode unknown", lambda c: c.set_mode(FN, 7), ValueError, r"^mode must be one of NORMAL, .*got 7$"),
    ("mode str", lambda c: c.set_mode(FN, "NULL_REPLY"), TypeError, r"^mode must be int, not str$"),
    ("negative length not negative", lambda c: c.set_mode(FN, NEGATIVE_LENGTH, 0), ValueError,
     r"^length must be at most -1, got 0$"),
    ("length str", lambda c: c.set_mode(FN, NULL_REPLY, "3"), TypeError, r"^length must be int, not str$"),
    ("count below -1", lambda c: c.deliver_during(FN, -2), ValueError, r"^count must be at least -1, got -2$"),
    ("count None", lambda c: c.deliver_during(FN, None), TypeError, r"^count must be int, not NoneType$"),
    ("msg_type int", lambda c: c.queue_event(1, b""), TypeError, r"^msg_type must be bytes, .* not int$"),
    ("data float", lambda c: c.queue_event(b"t", 1.5), TypeError, r"^data must be bytes, .* not float$"),
    ("data_len beyond data", lambda c: c.queue_event(b"t", b"ab", 3), ValueError, r"^data_len must be at most 2"),
    ("data_len too large", lambda c: c.queue_event(b"t", None, 2**31), OverflowError, r"^data_len must fit"),
    ("events: a None payload", lambda c: c.queue_events([(b"a", b""), (b"b", None)]), TypeError,
     r"^events\[1\] data must be bytes, bytearray, memoryview or str, not NoneType$"),
    ("events: not a pair", lambda c: c.queue_events([(b"a", b""), "ab"]), TypeError,
     r"^events\[1\] must be a \(msg_type, data\) tuple, not str$"),
    ("capacity zero", lambda c: c.set_log_capacity(0), ValueError, r"^capacity must be at least 1, got 0$"),
    ("capacity negative", lambda c: c.set_log_capacity(-5), ValueError, r"^capacity must be at least 1, got -5$"),
    ("capacity too large", lambda c: c.set_log_capacity(2**31), OverflowError, r"^capacity must fit"),
    ("capacity str", lambda c: c.set_log_capacity("10"), TypeError, r"^capacity must be int, not str$"),
    ("logging str", lambda c: c.logging("off"), TypeError, r"^on must be bool, not str$"),
    ("live str", lambda c: c.set_live("on"), TypeError, r"^on must be bool, not str$"),
    ("delivery thread None", lambda c: c.set_delivery_thread(None), TypeError, r"^on must be bool, not NoneType$"),
    ("ticker period negative", lambda c: c.start_ticker(b"t", -1e-3, 5), ValueError,
     r"^period must be between 0 and 1e9 seconds, got -0.001$"),
    ("ticker period NaN", lambda c: c.start_ticker(b"t", float("nan"), 5), ValueError, r"^period must be between"),
    ("ticker period str", lambda c: c.start_ticker(b"t", "1", 5), TypeError, r"^period must be float, not str$"),
    ("ticker count negative", lambda c: c.start_ticker(b"t", 0, -1), ValueError, r"^count must be at least 0, got -1$"),
    ("ticker msg_type None", lambda c: c.start_ticker(None, 0, 1), TypeError, r"^msg_type must be bytes, .* not NoneType$"),
]


@pytest.mark.parametrize("label, misuse, exc, msg", MISUSES, ids=[x[0] for x in MISUSES])
def test_misuse_is_one_clear_exception_and_changes_nothing(m, core, label, misuse, exc, msg):
    seen = []
    m.py_zqi_set_data_callback(lambda t, d: seen.append(t))
    core.clear_log()
    core.set_log_capacity(5)
    core.queue_event(b"queued", b"")
    with pytest.raises(exc, match=msg):
        misuse(core)
    assert (core.queue_size(), core.calls(), core.log_capacity()) == (1, [], 5)
    # status, reply, mode and delivery of the named function as they were
    assert m.py_zqi_place_order(b"probe") == (0, b"probe") and seen == [] and core.call_count(FN) == 1


def test_text_is_accepted_as_utf8(m, core):
    got = []
    m.py_zqi_set_data_callback(lambda t, d: got.append((t, d)))
    core.set_reply(FN, "已成交")
    assert m.py_zqi_place_order(b"r") == (0, "已成交".encode())
    core.set_reply(FN, memoryview(b"view"))
    assert m.py_zqi_place_order(b"r") == (0, b"view")
    core.queue_event("成交", '{"qty": 1}')
    core.queue_events([("tick", bytearray(b"1")), (b"bar", "2")])
    core.queue_event(b"short", b"abc", 2)
    assert m.py_zqi_run() == 0
    assert got == [("成交", b'{"qty": 1}'), ("tick", b"1"), ("bar", b"2"), ("short", b"ab")]


def test_every_core_function_is_known_by_name(core):
    api = (ROOT / "native" / "csdk" / "core_api.h").read_text()
    table = (ROOT / "native" / "csdk" / "core_functions.def").read_text()
    names = set(re.findall(r"^\w[\w\s*]*?\b((?:zqi|stk)_\w+)\(", api, re.M))
    names |= set(re.findall(r"^CORE_\w+\((\w+)\)", table, re.M))
    assert core.functions() == names and len(names) == 187


def test_testing_kit_type_checks_strictly(tmp_path):
    pytest.importorskip("mypy")
    kit = (standin, pytest_plugin, live, _launch, _replay, cassette, _cassette_file, _cassette_report, _cassette_writer,
           _cassette_json, _cassette_cli, _cores, _recording, _redaction)
    modules = [a for mod in kit for a in ("-m", mod.__name__)]  # the installed ones
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, *modules],
                          capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
