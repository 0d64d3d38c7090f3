"""Replaying a cassette on the stand-in: recorded answers and events, each
kind of divergence reported expected against received, match rules, bad
files, the launcher and the pytest marker.  The cassettes are written by the
kit's writer; the malformed records, by hand from its pieces."""
import ctypes
import os
import re
import signal
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from zq.csdk import _cassette_writer as writer
from zq.csdk import c_sdk
from zq.csdk._cassette_file import (FNPTR, I64, SECRET, VOID, Buf, CallRecord, EndRecord, EventRecord, Header, Out,
                                    Reader, ReturnRecord)
from zq.csdk._launch import LaunchError, environment, standin_library
from zq.csdk._replay import DIVERGED, CassetteError, check_cassette, rules_from_options, run_replay

# ---- cassettes of given calls -------------------------------------------------------------

NONE = VOID  # the result of a void function


def typed(v):
    """A recorded value of the shorthand below: bytes a request buffer, str a text, the markers themselves."""
    if isinstance(v, bytes):
        return Buf(len(v), v)
    if isinstance(v, str):
        return v.encode()
    return v


def value(v):
    return writer.value(typed(v))


def blob(b):
    return writer.blob(b)


def C(fn, *args, result=0, out=None, events=(), thread=1):
    """A recorded call; `out` a reply (bytes, or (length, bytes-or-None)); `events` its E(...)s, and the
    C(..., thread=N)s other threads made while it was in progress."""
    return ("call", fn, args, result, out, events, thread)


def E(msg_type, data, *calls, thread=None):
    """An event delivered during the enclosing call, and the calls its handler made; with `thread`, one
    delivered meanwhile by that thread of the core's own, outside any call of it."""
    return ("event", msg_type, data, calls, thread)


def cassette(*calls, end=True):
    records = [Header({"format": 1, "core": "test", "pid": 1, "secrets": "filtered"})]
    seq = [0]

    def walk(node):
        _, fn, args, result, reply, events, thread = node
        seq[0] += 1
        me = seq[0]
        records.append(CallRecord(me, thread, 0, fn, [typed(a) for a in args]))
        for e in events:
            if e[0] == "call":  # another thread's
                walk(e)
                continue
            _, msg_type, data, nested, own = e
            records.append(EventRecord(0 if own else me, own or thread, 0, msg_type.encode(), len(data), data))
            for n in nested:
                walk(n)
        if isinstance(reply, bytes):
            reply = (len(reply), reply)
        records.append(ReturnRecord(me, 5, typed(result), None if reply is None else Out(*reply)))

    for c in calls:
        walk(c)
    if end:
        records.append(EndRecord(seq[0], 0, 0))
    return b"".join(writer.encode(records, end=False))


@pytest.fixture
def tape(tmp_path):
    """Writes a cassette of the given calls and returns its path."""
    def write(*calls, **kw):
        path = tmp_path / "c.zqc"
        path.write_bytes(cassette(*calls, **kw))
        return path
    return write


def place(req):
    return c_sdk.py_zqi_place_order(req)


CALLBACK = C("zqi_set_event_callback_pb", FNPTR, result=NONE)


# ---- answers and events as recorded ------------------------------------------------------

# (recorded calls, the program, what it sees)
EXCHANGES = [
    ("reply", [C("zqi_place_order_pb", b"req", out=b"recorded reply"), C("zqi_place_order_pb", b"req", result=4, out=b"x")],
     lambda: (place(b"req"), place(b"req")), ((0, b"recorded reply"), (4, None))),
    ("status and scalars", [C("zqi_subscribe", "A,B", "60s", True, result=-7)],
     lambda: c_sdk.py_zqi_subscribe("A,B", "60s", True), -7),
    ("texts", [C("zqi_get_c_version", result="9.9-recorded"), C("zqi_strerror", 5, result="five")],
     lambda: (c_sdk.zqi_get_c_version(), c_sdk.zqi_strerror(5)), (b"9.9-recorded", b"five")),
    ("clock", [C("zqi_now", result=I64(1234567890123)), C("zqi_now_plus", result=12.25)],
     lambda: (c_sdk.zqi_now(), c_sdk.zqi_now_plus()), (1234567890123, 12.25)),
    ("server address", [C("zqi_get_serv_addr", "md", result=0, out=(-1, b"10.0.0.9:1"))],
     lambda: c_sdk.py_zqi_get_serv_addr("md"), b"10.0.0.9:1"),
    ("a secret matches any token", [C("zqi_set_token", SECRET, result=0)],
     lambda: c_sdk.py_zqi_set_token("whatever-token"), 0),
    ("a secret result reads as the stand-in's", [C("zqi_get_encrypted_token", result=SECRET)],
     lambda: c_sdk.py_zqi_get_encrypted_token(), b"standin-encrypted-token"),
    ("NULL reply", [C("zqi_place_order_pb", b"r", result=0, out=(0, None))], lambda: place(b"r"), (0, b"")),
]


@pytest.mark.parametrize("calls, program, expected", [x[1:] for x in EXCHANGES], ids=[x[0] for x in EXCHANGES])
def test_recorded_answers_come_back(core, tape, calls, program, expected):
    core.replay_open(tape(*calls))
    core.set_status("zqi_place_order_pb", 99)  # scripting changes nothing while replaying
    assert program() == expected
    assert core.replay_close() == ""


def test_events_are_delivered_during_their_call_with_the_handler_calls_matched(core, tape):
    path = tape(CALLBACK, C("zqi_run", result=0, events=[
        E("bar", b'{"close": 1}', C("zqi_place_order_pb", b"buy", result=0, out=b"order 1")),
        E("tick", b"t1"),
        E("bar", b'{"close": 2}', C("zqi_place_order_pb", b"sell", out=b"refused"),
          C("zqi_stop", result=0)),
    ]))
    core.replay_open(path)
    core.queue_event("tick", "scripted")  # dropped: events come from the cassette
    seen = []

    def handler(msg_type, data):
        seen.append((msg_type, data))
        if msg_type == "bar":
            seen.append(place(b"buy" if data == b'{"close": 1}' else b"sell"))
            if data.endswith(b"2}"):
                seen.append(c_sdk.py_zqi_stop())

    c_sdk.py_zqi_set_data_callback(handler)
    assert c_sdk.py_zqi_run() == 0
    assert seen == [("bar", b'{"close": 1}'), (0, b"order 1"), ("tick", b"t1"),
                    ("bar", b'{"close": 2}'), (0, b"refused"), 0]
    assert core.call_count("zqi_place_order_pb") == 2 and core.queue_size() == 0
    assert core.replay_close() == ""


# ---- calls from several threads ---------------------------------------------------------------

def run_unlocked():
    """zqi_run with the interpreter lock released, as zq.csdk.live.run() calls it."""
    lib = ctypes.CDLL("libzq3-c.so", mode=os.RTLD_NOLOAD)
    lib.zqi_run.restype = ctypes.c_int
    return lib.zqi_run()


def on_thread(work, delay=0.0):
    """Starts `work` on a thread of its own (after `delay` s); joining it gives what it returned."""
    out = []
    t = threading.Thread(target=lambda: (time.sleep(delay), out.append(work())))
    t.start()
    return lambda: (t.join(), out[0])[1]


def stopped_from_another_thread(delay):
    def program():
        c_sdk.py_zqi_set_data_callback(lambda t, d: None)
        joined = on_thread(c_sdk.py_zqi_stop, delay)
        return run_unlocked(), joined(), c_sdk.py_zqi_get_stop_error_code()
    return program


def events_from_a_core_thread():
    seen = []
    c_sdk.py_zqi_set_data_callback(lambda t, d: seen.append((d, place(d))))
    joined = on_thread(c_sdk.py_zqi_stop, 0.2)
    return run_unlocked(), joined(), seen


def worker_first():
    joined = on_thread(lambda: (place(b"w1"), place(b"w2")))
    done = joined()
    return done, place(b"main")


LIVE = [CALLBACK, C("zqi_run", result=5, events=[E("tick", b"t"), E("tick", b"u"), C("zqi_stop", result=7, thread=2)]),
        C("zqi_get_stop_error_code", result=9)]

# (recorded calls, the program, what it returns, report lines expected)
THREADS = [
    ("a run that returns once another thread has stopped it", LIVE, stopped_from_another_thread(0.2), (5, 7, 9), []),
    ("the stop made before the run has delivered its events", LIVE, stopped_from_another_thread(0), (5, 7, 9), []),
    ("events from a core's own thread, delivered during the run", [
        CALLBACK, C("zqi_run", events=[E("tick", b"a", C("zqi_place_order_pb", b"a", out=b"A", thread=3), thread=3),
                                       E("tick", b"b", C("zqi_place_order_pb", b"b", out=b"B", thread=3), thread=3),
                                       C("zqi_stop", thread=2)])],
     events_from_a_core_thread, (0, 0, [(b"a", (0, b"A")), (b"b", (0, b"B"))]), []),
    ("a worker thread's calls, made before the main thread's", [
        C("zqi_place_order_pb", b"main", out=b"m"), C("zqi_place_order_pb", b"w1", out=b"1", thread=2),
        C("zqi_place_order_pb", b"w2", out=b"2", thread=2)], worker_first, (((0, b"1"), (0, b"2")), (0, b"m")), []),
    ("in order within each thread", [
        C("zqi_place_order_pb", b"w2", out=b"2", thread=2), C("zqi_place_order_pb", b"w1", out=b"1", thread=2),
        C("zqi_place_order_pb", b"main", out=b"m")], worker_first, (((0, b"2"), (0, b"1")), (0, b"m")),
     ["call 1 zqi_place_order_pb differs from recorded call #1", "call 2 zqi_place_order_pb differs from recorded call #2"]),
]


@pytest.mark.parametrize("calls, program, returns, lines", [x[1:] for x in THREADS], ids=[x[0] for x in THREADS])
def test_calls_from_other_threads_are_matched_in_order_per_recorded_thread(core, tape, calls, program, returns, lines):
    core.replay_open(tape(*calls))
    assert program() == returns
    report = core.replay_close()
    assert all(want in report for want in lines) and bool(report) == bool(lines), report


# ---- divergences ----------------------------------------------------------------------------

def handler_placing(req):
    return lambda t, d: place(req)


ORDER = b'{"symbol": "A", "created_at": "09:30:00.123", "volume": 100}'
LATER = ORDER.replace(b"09:30:00.123", b"09:31:07.5")
MASKED = b'{"symbol": "A", , "volume": 100}'  # ORDER with its created_at masked

# (recorded calls, handler or None, the program's calls, report lines expected in order, divergences[, match])
DIVERGENCES = [
    ("arguments differ",
     [C("zqi_place_order_pb", b'{"side": "buy", "volume": 100}', out=b"ok")], None,
     [lambda: place(b'{"side": "buy", "volume": 200}')],
     ["call 1 zqi_place_order_pb differs from recorded call #1 (argument 0, byte 26)",
      """expected: #1 zqi_place_order_pb(b'{"side": "buy", "volume": 100}' (30 bytes))""",
      """received: call 1 zqi_place_order_pb(b'{"side": "buy", "volume": 200}' (30 bytes))"""], 1),
    ("not in the recording",
     [C("zqi_place_order_pb", b"A", out=b"ok")], None,
     [lambda: c_sdk.py_zqi_subscribe("X", "tick", False), lambda: place(b"A")],
     ["call 1 zqi_subscribe is not in the recording",
      "expected: #1 zqi_place_order_pb(b'A' (1 bytes))",
      "received: call 1 zqi_subscribe('X', 'tick', false)"], 1),
    ("out of order",
     [C("zqi_place_order_pb", b"A"), C("zqi_subscribe", "X", "tick", False)], None,
     [lambda: c_sdk.py_zqi_subscribe("X", "tick", False), lambda: place(b"A")],
     ["call 1 zqi_subscribe is out of order: the recording has it later, as #2",
      "expected: #1 zqi_place_order_pb(b'A' (1 bytes))"], 1),
    ("left unused at the end",
     [C("zqi_place_order_pb", b"A"), C("zqi_place_order_pb", b"B")], None,
     [lambda: place(b"A")],
     ["recorded call #2 zqi_place_order_pb was never made",
      "expected: #2 zqi_place_order_pb(b'B' (1 bytes))", "received: no call: the run ended"], 1),
    ("a call past the end",
     [], None, [lambda: place(b"A")],
     ["call 1 zqi_place_order_pb is not in the recording", "expected: the end of the recording"], 1),
    ("the handler makes a call fewer",
     [CALLBACK, C("zqi_run", events=[E("tick", b"t", C("zqi_place_order_pb", b"N"))])], lambda t, d: None,
     [c_sdk.py_zqi_run],
     ["recorded call #3 zqi_place_order_pb was never made", "received: no call: the handler returned"], 1),
    ("the handler makes a call more",
     [CALLBACK, C("zqi_run", events=[E("tick", b"t")])], handler_placing(b"N"),
     [c_sdk.py_zqi_run],
     ["call 3 zqi_place_order_pb is not in the recording", "expected: no call: #2 zqi_run returns here"], 1),
    ("differs one step ahead: the call before it left out",
     [C("zqi_subscribe", "X", "tick", False), C("zqi_place_order_pb", b"A", out=b"a")], None,
     [lambda: place(b"B")],
     ["call 1 zqi_place_order_pb differs from recorded call #2 (argument 0, byte 0)",
      "expected: #2 zqi_place_order_pb(b'A' (1 bytes))",
      "recorded call #1 zqi_subscribe was never made",
      "received: no call: call 1 zqi_place_order_pb came in its place"], 2),
    ("the calls left unmade after the first divergence, in one line",
     [C("zqi_place_order_pb", b"A"), C("zqi_place_order_pb", b"B"), C("zqi_subscribe", "X", "tick", False),
      C("zqi_place_order_pb", b"C")], None,
     [lambda: place(b"Z")],
     ["call 1 zqi_place_order_pb differs from recorded call #1 (argument 0, byte 0)",
      "2. 3 recorded calls from #2 to #4 were never made (zqi_place_order_pb 2, zqi_subscribe 1)"], 4),
    ("with masks: the first differing byte after masking, both sides masked",
     [C("zqi_place_order_pb", ORDER)], None, [lambda: place(LATER.replace(b"100", b"200"))],
     [f"call 1 zqi_place_order_pb differs from recorded call #1 (argument 0, byte {MASKED.index(b'100')} after masking)",
      f"expected: #1 zqi_place_order_pb(b'{MASKED.decode()}' ({len(MASKED)} bytes))",
      f"received: call 1 zqi_place_order_pb(b'{MASKED.decode().replace('100', '200')}' ({len(MASKED)} bytes))"], 1,
     {"zqi_place_order_pb": {"mask": [r'"created_at": "[^"]*"']}}),
]


@pytest.mark.parametrize("calls, handler, program, lines, count, match",
                         [(*x[1:6], x[6] if len(x) > 6 else None) for x in DIVERGENCES], ids=[x[0] for x in DIVERGENCES])
def test_each_divergence_is_reported_expected_against_received(core, tape, calls, handler, program, lines, count,
                                                               match):
    path = tape(*calls)
    core.replay_open(path, match=match)
    if handler is not None:
        c_sdk.py_zqi_set_data_callback(handler)
    for step in program:
        step()
    report = core.replay_close()
    assert report.startswith(f"replay of {path}: {count} divergence")
    body = [ln.strip() for ln in report.splitlines()]
    at = [next(i for i, ln in enumerate(body) if ln.endswith(want)) for want in lines]
    assert at == sorted(at), report


def test_a_diverging_call_gets_the_unscripted_answer_and_the_run_goes_on(core, tape):
    core.replay_open(tape(C("zqi_place_order_pb", b"A", out=b"recorded"), C("zqi_place_order_pb", b"B", out=b"b")))
    assert place(b"other") == (0, b"recorded")  # the same function: answered as recorded, in step
    assert c_sdk.py_zqi_subscribe("X", "tick", False) == 0  # not recorded: the stand-in's default
    assert place(b"B") == (0, b"b")
    assert core.replay_report().count("\n1. ") == 1 and core.replay_close().count(". call ") == 2


# ---- match rules ------------------------------------------------------------------------------

# (match rules, recorded call, received call, matches)
RULES = [
    (None, C("zqi_place_order_pb", ORDER), lambda: place(LATER), False),
    ({"zqi_place_order_pb": "function"}, C("zqi_place_order_pb", ORDER), lambda: place(LATER), True),
    ({"zqi_place_order_pb": {"mask": [r'"created_at": "[^"]*"']}}, C("zqi_place_order_pb", ORDER),
     lambda: place(LATER), True),
    ({"*": {"mask": [r'"created_at": "[^"]*"']}}, C("zqi_place_order_pb", ORDER), lambda: place(LATER), True),
    ({"zqi_place_order_pb": {"mask": [r'"created_at": "[^"]*"']}}, C("zqi_place_order_pb", ORDER),
     lambda: place(LATER.replace(b"100", b"200")), False),
    ({"zqi_subscribe": "function"}, C("zqi_place_order_pb", ORDER), lambda: place(LATER), False),
    ({"zqi_subscribe": {"ignore": [2]}}, C("zqi_subscribe", "A", "tick", True),
     lambda: c_sdk.py_zqi_subscribe("A", "tick", False), True),
    ({"zqi_subscribe": [{"ignore": [1]}, {"mask": ["A+"]}]}, C("zqi_subscribe", "A", "tick", True),
     lambda: c_sdk.py_zqi_subscribe("AA", "60s", True), True),
    ({"zqi_subscribe": {"ignore": [1]}}, C("zqi_subscribe", "A", "tick", True),
     lambda: c_sdk.py_zqi_subscribe("A", "tick", False), False),
    (None, C("zqi_stop"), lambda: None, False),
    ({"zqi_stop": {"optional": True}}, C("zqi_stop"), lambda: None, True),
    ({"zqi_stop": {"optional": False}}, C("zqi_stop"), lambda: None, False),
    ({"zqi_stop": {"optional": True}}, [C("zqi_stop"), C("zqi_stop"), C("zqi_place_order_pb", ORDER)],
     lambda: place(ORDER), True),
    ({"zqi_stop": {"optional": True}}, C("zqi_stop"), lambda: (c_sdk.py_zqi_stop(), c_sdk.py_zqi_stop()), True),
    ({"zqi_stop": {"optional": True}}, C("zqi_place_order_pb", ORDER), lambda: (c_sdk.py_zqi_stop(), place(ORDER)),
     True),
    ({"zqi_stop": {"optional": True}}, [CALLBACK, C("zqi_run", events=[E("tick", b"t", C("zqi_stop"))])],
     lambda: (c_sdk.py_zqi_set_data_callback(lambda t, d: None), c_sdk.py_zqi_run()), True),
    # the patterns' own syntax and choices: lazy and greedy, anchors, bounds, bytes written as escapes
    ({"zqi_place_order_pb": {"mask": [r"<.*?>"]}}, C("zqi_place_order_pb", b"<a>x<b>"), lambda: place(b"<cc>x<d>"), True),
    ({"zqi_place_order_pb": {"mask": [r"<.*>"]}}, C("zqi_place_order_pb", b"<a>x<b>"), lambda: place(b"<cc>y<d>"), True),
    ({"zqi_place_order_pb": {"mask": [r"<.*?>"]}}, C("zqi_place_order_pb", b"<a>x<b>"), lambda: place(b"<cc>y<d>"), False),
    ({"zqi_place_order_pb": {"mask": [r"^\d+"]}}, C("zqi_place_order_pb", b"12ab"), lambda: place(b"345ab"), True),
    ({"zqi_place_order_pb": {"mask": [r"^\d+"]}}, C("zqi_place_order_pb", b"a12"), lambda: place(b"a345"), False),
    ({"zqi_place_order_pb": {"mask": [r"\d{2}$"]}}, C("zqi_place_order_pb", b"a12"), lambda: place(b"a34"), True),
    ({"zqi_place_order_pb": {"mask": [r"\x00[^\x00]*\x00"]}}, C("zqi_place_order_pb", b"a\0one\0b"),
     lambda: place(b"a\0other\0b"), True),
    ({"zqi_place_order_pb": {"mask": [r"id=(?:\w|-){3,5};"]}}, C("zqi_place_order_pb", b"id=a-1;x"),
     lambda: place(b"id=bc-22;x"), True),
    ({"zqi_place_order_pb": {"mask": [r"id=(?:\w|-){3,5};"]}}, C("zqi_place_order_pb", b"id=a-1;x"),
     lambda: place(b"id=bcd-22;x"), False),
]


@pytest.mark.parametrize("match, recorded, received, matches", RULES)
def test_match_rules(core, tape, match, recorded, received, matches):
    core.replay_open(tape(*recorded) if isinstance(recorded, list) else tape(recorded), match=match)
    received()
    assert (core.replay_close() == "") is matches


@pytest.mark.parametrize("options, rules", [
    (["zqi_log_pb=function", "*=ignore:1,2"], {"zqi_log_pb": ["function"], "*": [{"ignore": [1, 2]}]}),
    (['zqi_place_order_pb=mask:"t": *\\d+', 'zqi_place_order_pb=mask:a:b'],
     {"zqi_place_order_pb": [{"mask": ['"t": *\\d+']}, {"mask": ["a:b"]}]}),
    (['{"zqi_log_pb": "function", "zqi_subscribe": [{"ignore": [2]}]}'],
     {"zqi_log_pb": ["function"], "zqi_subscribe": [{"ignore": [2]}]}),
    (["zqi_stop=optional"], {"zqi_stop": [{"optional": True}]}),
])
def test_command_line_rules(options, rules):
    assert rules_from_options(options) == rules


@pytest.mark.parametrize("option", ["zqi_log_pb", "=function", "zqi_log=function", "zqi_log_pb=any", "zqi_log_pb=ignore:x",
                                    "zqi_log_pb=mask:", "{not json", "[1]", "zqi_stop=optional:1",
                                    "zqi_log_pb=mask:(?i)x", '{"zqi_log_pb": {"mask": "12"}}'])
def test_a_bad_command_line_rule_stops_the_launch(tape, option):
    with pytest.raises(LaunchError, match="--match|no core function named 'zqi_log'|bad mask|takes a list"):
        run_replay(str(tape()), [sys.executable, "-c", "pass"], [option])
    started = tape().parent / "started"
    run = subprocess.run([sys.executable, "-m", "zq.csdk.cassette", "replay", tape(), "--match", option, "--",
                          "touch", started], capture_output=True, text=True, timeout=60)
    assert run.returncode == 2 and run.stderr.count("\n") == 1 and not started.exists()


# (recorded call, the program's call): secrets on either side never reach the report
SECRET_CALLS = [
    (C("zqi_set_token", "tok-recorded"), lambda: c_sdk.py_zqi_set_token("tok-received")),
    (C("zqi_set_bus_info", "host", "user", "pw-recorded", result=NONE),
     lambda: c_sdk.py_zqi_set_bus_info("host", "user2", "pw-received")),
    (C("zqi_set_bus_secure", 1, "ca", "cert", "key-recorded", True, result=NONE),
     lambda: c_sdk.py_zqi_set_bus_secure(1, "ca", "cert", "key-received", False)),
    (C("zqi_set_token", "tok-recorded"), lambda: c_sdk.py_zqi_set_apitoken("tok-received")),
]


@pytest.mark.parametrize("recorded, received", SECRET_CALLS)
def test_secrets_stay_out_of_divergence_reports(core, tape, recorded, received):
    core.replay_open(tape(recorded))  # a cassette recorded with --keep-secrets
    received()
    report = core.replay_close()
    assert "<secret>" in report and "-recorded" not in report and "-received" not in report, report


@pytest.mark.parametrize("mask", ["x*", '[^"]*', "(x+x+)+y", "a[^z]*z|a", "(x|xx)*y", "(?:.*,)*y"])
def test_a_100_kB_request_replays_under_any_mask(core, tape, mask):
    # A backtracking engine recurses per byte on some of these, and takes forever on the others.
    big = b'"' + b"x" * 50_000 + b"a" * 50_000 + b'"'
    core.replay_open(tape(C("zqi_place_order_pb", big, out=b"ok")), match={"zqi_place_order_pb": {"mask": [mask]}})
    assert place(big[:-1] + b"!") == (0, b"ok") and core.replay_close().startswith("replay of")
    core.replay_open(tape(C("zqi_place_order_pb", big, out=b"ok")), match={"zqi_place_order_pb": {"mask": [mask]}})
    assert place(big) == (0, b"ok") and core.replay_close() == ""


# (pattern, why the engine refuses it; "" where it takes it), asked of the stand-in's engine alone
PATTERNS = [
    (r'"created_at": *"[^"]*"', ""), (r"\d{1,3}(?:\.\d+)?", ""), ("a|b|", ""), ("[]a]", ""), (r"[^\x00-\x1f]+?", ""),
    (r"\.\*\{\}\(\)\[\]\\", ""), ("^$", ""), ("(a*)*", ""), ("x{1000}", ""), ("x{2,}?", ""), (r"[\w\s-]", ""),
    ("(?P<n>x)", "unsupported group"), ("(?i)x", "unsupported group"), ("(?=x)", "unsupported group"),
    (r"\b", "unsupported escape \\b"), (r"(a)\1", "unsupported escape \\1"), ("a**", "multiple repeat"),
    ("*a", "nothing to repeat"), ("^*", "nothing to repeat"), ("x{1001}", "bound over 1000"), ("x{3,2}", "n below m"),
    ("x{", "bad repetition"), ("{", "a literal { is written"), ("(x", "missing )"), ("x)", "unbalanced )"),
    ("[x", "missing ]"), ("[z-a]", "bad range"), ("\\", "cannot end with"), (r"\x4", "two hexadecimal digits"),
    (r"\01", "\\0 followed by a digit"), ("((x{1000}){1000})", "too large"), ("(" * 101 + ")" * 101, "nested too deeply"),
]


@pytest.mark.parametrize("pattern, why", PATTERNS)
def test_the_engine_takes_or_refuses_each_pattern(pattern, why):
    check = ctypes.CDLL(standin_library()).zqstub_replay_check
    check.restype, check.argtypes = ctypes.c_char_p, [ctypes.c_char_p]
    got = check(f"zqi_log_pb\tmask\t{pattern}\n".encode()).decode()
    assert (why in got and got.startswith("match rule for zqi_log_pb: bad mask ")) if why else got == ""


@pytest.mark.parametrize("match, exc, message", [
    ({"zqi_place_order_pb": "args"}, ValueError, "a rule is 'function'"),
    ({"zqi_place_order_pb": {"mask": "12"}}, ValueError, "'mask' takes a list of patterns, not '12'"),
    ({"zqi_place_order_pb": {"ignore": 1}}, ValueError, "'ignore' takes a list of argument positions, not 1"),
    ({"zqi_place_order_pb": 12}, ValueError, "a rule or a list of rules, not 12"),
    ({"zqi_place_order_pb": {"mask": ["(?P<n>x)"]}}, ValueError, "bad mask '(?P<n>x)': unsupported group"),
    ({"zqi_place_order_pb": {"mask": ["a: b{2,1}"]}}, ValueError, "'a: b{2,1}': bad repetition: {m,n} with n below m"),
    ({"zqi_place_order_pb": {"mask": ["a\0b"]}}, ValueError, "write '\\x00' in a mask as \\x00"),
    ({"zqi_place_order_pb": {"ignore": [12]}}, ValueError, "argument position 12"),
    ({"zqi_place_order_pb": {"mask": ["("]}}, ValueError, "bad mask '('"),
    ({"zqi_place_order_pb": {"mask": [b"x"]}}, TypeError, "a mask is a str pattern"),
    ({"zqi_stop": {"optional": 1}}, TypeError, "optional is True or False"),
    ({"zqi_place_order": "function"}, ValueError,
     "no core function named 'zqi_place_order'; did you mean 'zqi_place_order_pb'"),
    (["zqi_place_order_pb"], TypeError, "match must be a mapping"),
])
def test_bad_match_rules_are_refused_before_replaying(core, tape, match, exc, message):
    with pytest.raises(exc, match=re.escape(message)):
        core.replay_open(tape(), match=match)
    assert not core.replaying()


# ---- bad files --------------------------------------------------------------------------------

GOOD = cassette(C("zqi_place_order_pb", b"A", out=b"a"), C("zqi_place_order_pb", b"B", out=b"b"))
SECOND = len(cassette(C("zqi_place_order_pb", b"A", out=b"a"), end=False))  # where the second call's frame starts


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]


# (file content, the one line both readers give, or None when it replays in part)
BAD = [
    ("foreign", b"PK\3\4 not at all a cassette", "not a cassette"),
    ("empty", b"", "not a cassette (empty file)"),
    ("cut in the magic", GOOD[:7], "not a cassette (cut short within its first bytes)"),
    ("newer", GOOD[:11] + struct.pack("<H", 2) + GOOD[13:], "cassette format version 2 is newer than this reader's (1)"),
    ("no header", GOOD[:13] + GOOD[SECOND - len(GOOD):],
     "readable up to byte 13 (record #1): the header record is missing"),
    ("magic alone", GOOD[:13], "readable up to byte 13 (record #1): the header record is missing"),
]


@pytest.mark.parametrize("content, message", [x[1:] for x in BAD], ids=[x[0] for x in BAD])
def test_an_unusable_file_gets_one_clear_line(core, tmp_path, content, message):
    path = tmp_path / "bad.zqc"
    path.write_bytes(content)
    for attempt in (lambda: check_cassette(path), lambda: core.replay_open(path)):
        with pytest.raises(CassetteError) as e:
            attempt()
        assert str(e.value) == f"{path}: {message}"
    with pytest.raises(CassetteError, match="cannot read: No such file"):
        core.replay_open(tmp_path / "missing.zqc")


@pytest.mark.parametrize("content, note", [
    (GOOD[:SECOND + 15], "readable up to byte {second} (record #4): the file ends within a record"),
    (flip(GOOD, SECOND + 20), "readable up to byte {second} (record #4): a record's checksum does not match"),
    (GOOD[:GOOD.rindex(b"\x05") - 4], "the recording was cut short"),
])
def test_a_damaged_file_replays_as_far_as_it_reads(core, tmp_path, content, note):
    path = tmp_path / "cut.zqc"
    path.write_bytes(content)
    note = note.format(second=SECOND)
    assert note in check_cassette(path)
    core.replay_open(path)
    assert place(b"A") == (0, b"a")
    place(b"B")
    report = core.replay_close()
    assert (note in report) if "readable" in note else report == ""


CALL_A = writer.frame(2, struct.pack("<QIQH", 1, 1, 0, 18) + b"zqi_place_order_pb\x01" + value(b"A"))
HEAD = len(cassette(end=False))  # the magic and the header record


@pytest.mark.parametrize("records, report", [
    (writer.frame(2, struct.pack("<QIQH", 1, 1, 0, 18) + b"zqi_place_order_pb\x01\x09"),
     f"readable up to byte {HEAD} (record #2): unknown value tag 9"),
    (CALL_A + writer.frame(3, b"\x01\0\0\0\0\0\0\0"),
     f"readable up to byte {HEAD + len(CALL_A)} (record #3): a field runs past the end of its record"),
    (CALL_A + writer.frame(4, b"\x01\0") + writer.frame(3, struct.pack("<QQ", 1, 0) + value(0) + b"\1\1\0\0\0" + blob(b"A")),
     f"readable up to byte {HEAD + len(CALL_A)} (record #3): a field runs past the end of its record"),
])
def test_a_record_that_checks_out_but_does_not_parse_ends_the_replay_where_it_stands(core, tmp_path, records, report):
    path = tmp_path / "odd.zqc"
    path.write_bytes(cassette(end=False) + records)
    core.replay_open(path)
    assert place(b"A") == (0, b"A")  # the stand-in's echo: the recording ends there
    assert report in core.replay_close()


def test_the_launcher_variable_with_a_bad_file_says_so_and_reports_it(tmp_path):
    (tmp_path / "bad.zqc").write_bytes(b"nonsense")
    env = environment(standin_library(), extra={"ZQ_CASSETTE_REPLAY": str(tmp_path / "bad.zqc"),
                                                "ZQ_CASSETTE_REPORT": str(tmp_path / "report")})
    proc = subprocess.run([sys.executable, "-c", "from zq.csdk import c_sdk; print(c_sdk.py_zqi_place_order(b'x'))"],
                          env=env, capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "(0, b'x')\n")
    assert proc.stderr == f"libzq3-c.so: cannot replay {tmp_path / 'bad.zqc'}: not a cassette\n"
    assert "1. cannot replay" in (tmp_path / "report").read_text()


# ---- the launcher and the marker ------------------------------------------------------------------

PROGRAM = "from zq.csdk import c_sdk; print(c_sdk.py_zqi_place_order(b'A')); raise SystemExit({exit})"


@pytest.mark.parametrize("request_, exit, status, stderr", [
    ("b'A'", 0, 0, ""),
    ("b'A'", 5, 5, ""),
    ("b'Z'", 0, DIVERGED, "call 1 zqi_place_order_pb differs"),
    ("b'Z'", 6, 6, "differs from recorded call #1"),
    ("b'" + "Z" * 60 + "'", 0, DIVERGED, "differs from recorded call #1"),
])
def test_run_replay_gives_the_status_and_the_report(tape, tmp_path, capfd, request_, exit, status, stderr):
    path = tape(C("zqi_place_order_pb", b"A", out=b"from the cassette"))
    program = PROGRAM.replace("b'A'", request_).format(exit=exit)
    full = tmp_path / "full.txt"
    assert run_replay(str(path), [sys.executable, "-c", program], report=str(full)) == status
    out, err = capfd.readouterr()
    assert out == "(0, b'from the cassette')\n"
    assert (stderr in err) if stderr else err == ""
    # The full report: every argument whole, where the report cuts a preview at 48 bytes.
    assert (f"     0: {request_} ({len(eval(request_))} bytes)\n" in full.read_text()) if stderr else full.read_text() == ""


def test_run_replay_refuses_a_bad_file_before_the_command_and_fails_a_command_without_core_calls(tmp_path, tape, capfd):
    bad = tmp_path / "bad.zqc"
    bad.write_bytes(b"garbage")
    flag = tmp_path / "ran"
    with pytest.raises(CassetteError, match="not a cassette"):
        run_replay(str(bad), [sys.executable, "-c", f"open({str(flag)!r}, 'w')"])
    assert not flag.exists()
    assert run_replay(str(tape(C("zqi_init"))), [sys.executable, "-c", "pass"]) == DIVERGED
    assert "made no call to the core library" in capfd.readouterr().err


def test_the_marker_fails_a_diverging_test_with_one_report(pytester, tmp_path):
    (pytester.path / "orders.zqc").write_bytes(cassette(C("zqi_place_order_pb", b"A", out=b"a")))
    pytester.makepyfile(test_layer="""
        import pytest
        from zq.csdk import c_sdk

        @pytest.mark.zq_cassette("orders.zqc")
        def test_same():
            assert c_sdk.py_zqi_place_order(b"A") == (0, b"a")

        @pytest.mark.zq_cassette("orders.zqc")
        def test_other(zq_core):
            c_sdk.py_zqi_place_order(b"B")

        @pytest.mark.zq_cassette("orders.zqc", match={"zqi_place_order_pb": "function"})
        def test_relaxed():
            c_sdk.py_zqi_place_order(b"B")

        @pytest.mark.zq_cassette("orders.zqc")
        def test_none_made():
            pass

        @pytest.mark.zq_cassette("orders.zqc")
        def test_own_assertion():
            c_sdk.py_zqi_set_token(b"hunter2")
            assert c_sdk.py_zqi_place_order(b"A") == (0, b"other")

        @pytest.mark.zq_cassette("orders.zqc")
        def test_exception():
            c_sdk.py_zqi_place_order(b"C")
            raise RuntimeError("the layer broke")

        def test_not_replaying():
            assert False
    """)
    result = pytester.runpytest_subprocess("-q", "--zq-report", "full.txt")
    result.assert_outcomes(passed=2, failed=5)
    result.stdout.fnmatch_lines(["*call 1 zqi_place_order_pb differs from recorded call #1*",
                                 "*expected: #1 zqi_place_order_pb(b'A' (1 bytes))",
                                 "*received: call 1 zqi_place_order_pb(b'B' (1 bytes))",
                                 "*recorded call #1 zqi_place_order_pb was never made*"])
    out = result.stdout.str()
    # Each replaying test that failed, for whatever reason, has its divergences in a section of their own.
    sections = re.findall(r"-+ zq cassette replay: divergences -+\n(.*?)\n(?=[-_=]{5})", out, re.S)
    assert [s.splitlines()[1] for s in sections] == [
        "1. call 1 zqi_place_order_pb differs from recorded call #1 (argument 0, byte 0)",
        "1. recorded call #1 zqi_place_order_pb was never made",
        "1. call 1 zqi_set_token is not in the recording",
        "1. call 1 zqi_place_order_pb differs from recorded call #1 (argument 0, byte 0)"], out
    assert "assert (0, b'a') == (0, b'other')" in out and "RuntimeError: the layer broke" in out
    full = (pytester.path / "full.txt").read_text()
    assert re.findall(r"^== (\S+)", full, re.M) == [f"test_layer.py::test_{t}" for t in
                                                    ("other", "none_made", "own_assertion", "exception")]
    assert "received: call 1 zqi_set_token\n     0: <secret>\n" in full and "hunter2" not in full + "".join(sections)


# ---- end to end: the example strategy recorded through the tap, then replayed -------------------

STRATEGY = Path(__file__).resolve().parent.parent / "examples" / "strategy.py"
# The strategy with its third order changed (its type), and nothing else.
CHANGED = """
import runpy, sys
from zq.csdk import c_sdk
real, n = c_sdk.py_zqi_place_order, [0]
def place(req):
    n[0] += 1
    return real(req.replace(b'"limit"', b'"market"') if n[0] == 3 else req)
c_sdk.py_zqi_place_order = place
sys.argv = sys.argv[1:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def cassette_command(*args):
    return subprocess.run([sys.executable, "-m", "zq.csdk.cassette", *map(str, args)], capture_output=True,
                          text=True, timeout=300)


def without_timings(report):
    lines = [ln for ln in report.splitlines() if not ln.startswith("time per event")]
    return re.sub(r"run: [\d.]+ ms", "run: N ms", "\n".join(lines))


@pytest.fixture(scope="module")
def recorded_strategy(tmp_path_factory):
    path = tmp_path_factory.mktemp("strategy") / "strategy.zqc"
    proc = cassette_command("record", path, "--", sys.executable, STRATEGY, "--progress", "0")
    assert proc.returncode == 0 and "orders placed: 10" in proc.stdout, proc.stdout + proc.stderr
    return path, proc.stdout


@pytest.mark.parametrize("changed, status, report", [
    (False, 0, ""),
    (True, DIVERGED, r"replay of .*: 1 divergence\n"
                     r"1\. call 12 zqi_place_order_pb differs from recorded call #12 \(argument 0, byte \d+\)\n"
                     r"   expected: #12 zqi_place_order_pb\(b'.*\"limit\".*' \(128 bytes\)\)\n"
                     r"   received: call 12 zqi_place_order_pb\(b'.*\"market\".*' \(129 bytes\)\)\n$"),
])
def test_the_example_strategy_replays_its_recording(recorded_strategy, tmp_path, changed, status, report):
    path, recorded_report = recorded_strategy
    command = [sys.executable, STRATEGY, "--progress", "0"]
    if changed:
        (tmp_path / "changed.py").write_text(CHANGED)
        command.insert(1, tmp_path / "changed.py")
    proc = cassette_command("replay", path, "--", *command)
    assert proc.returncode == status, proc.stderr
    assert without_timings(proc.stdout) == without_timings(recorded_report)
    assert re.fullmatch(report, proc.stderr) if report else proc.stderr == ""


# ---- end to end: a live session stopped with Ctrl-C, recorded and replayed --------------------------

def interrupted(args, ready):
    """`python -m zq.csdk.cassette ARGS`, sent Ctrl-C (SIGINT to its process group, as a terminal does) once
    a line on its stderr satisfies `ready`: (status, stdout, stderr)."""
    proc = subprocess.Popen([sys.executable, "-m", "zq.csdk.cassette", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    watchdog = threading.Timer(240, lambda: os.killpg(proc.pid, signal.SIGKILL))
    watchdog.start()
    try:
        err = []
        for line in proc.stderr:
            err.append(line)
            if ready(line):
                break
        os.killpg(proc.pid, signal.SIGINT)
        out, rest = proc.communicate()
    finally:
        watchdog.cancel()
    return proc.returncode, out, "".join(err) + rest


def test_a_live_session_stopped_with_ctrl_c_replays_clean(tmp_path):
    path = tmp_path / "live.zqc"
    live = [sys.executable, STRATEGY, "--live", "--heartbeat", "0.1", "--progress", "0"]
    status, recorded, err = interrupted(["record", path, "--", *live], lambda line: "0 queued, the core waits" in line)
    assert status == 0 and "live.run -> KeyboardInterrupt" in recorded, err
    with Reader(str(path)) as reader:
        stops = [r.thread for r in reader if isinstance(r, CallRecord) and r.fn == "zqi_stop"]
    assert stops and set(stops) != {1}  # made by the live run's signal thread
    delivered = re.search(r"events delivered: (\d+)", recorded).group(1)
    status, replayed, err = interrupted(["replay", path, "--", *live], lambda line: f" {delivered} events so far" in line)
    assert status == 0 and "replay of" not in err, err
    assert without_timings(replayed) == without_timings(recorded)
