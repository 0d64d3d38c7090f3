"""Reference-count and memory check of every public callable of c_sdk.

Each case is one call on the success path or on one error path (binding and
conversion errors, a deleted global, a raising handler, failing statuses and
faulty replies from the stand-in core).  A case is called WARM times, then N
times, then N times more; the check fails when the interpreter's total
reference count (a debug interpreter's ``sys.gettotalrefcount()``) or the bytes
malloc holds in use grow over the second N calls, i.e. when they grow with the
number of calls.  A second phase runs all cases together N and 2N times under
tracemalloc and compares the traced memory and the process's RSS.

    python tests/reliability/leakcheck.py [-n N] [--warm W] [--only SUBSTR]

Run it with PYTHONMALLOC=malloc so that every object is its own malloc block
(tests/reliability/leakcheck.sh does, on the debug and the normal interpreter).
Exit status 1 on any growth or any case whose outcome is not the expected one.
"""
from __future__ import annotations

import argparse
import ctypes
import gc
import os
import sys
import threading
import time
import tracemalloc
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, List, Optional

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from reliability import catalog  # noqa: E402
from reliability.values import (Boom, BoolRaises, EncodeRaises, EqCallsCore, EqRaises, EqWrong, StrRaises,  # noqa: E402
                                bad, good)

REF_TOL = 2          # references the second batch may add, whatever N is
MEM_TOL = 2048       # bytes the second batch may add to malloc's in-use total
RSS_TOL = 2 << 20    # aggregate phase: RSS growth allowed between N and 2N
TRACED_TOL = 64 << 10  # aggregate phase: tracemalloc growth allowed between N and 2N


# ---- measuring ---------------------------------------------------------------------

class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def malloc_in_use() -> int:
    mi = _libc.mallinfo2()
    return mi.uordblks + mi.hblkhd


def total_refs() -> int:
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def reading():
    """(total references, malloc bytes in use).

    The interpreter's type attribute cache keeps a reference to each attribute
    name it was last asked for, and a name built afresh for a lookup (as
    PyObject_GetAttrString does) lands in a new slot each time, up to the
    cache's 4096 entries: bounded, but it looks like growth.  It is emptied
    before each reading.
    """
    sys._clear_type_cache()
    return total_refs(), malloc_in_use()


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@dataclass
class Case:
    group: str
    label: str
    call: Callable[[], None]
    setup: Optional[Callable[[], None]] = None
    teardown: Optional[Callable[[], None]] = None
    refs: List[int] = field(default_factory=list)   # growth after N, after 2N
    mem: List[int] = field(default_factory=list)
    error: str = ""


def run_case(case: Case, warm: int, n: int) -> None:
    if case.setup:
        case.setup()
    try:
        call = case.call
        gc.collect()  # a full collection empties the free lists; the warm-up refills them
        for _ in range(warm):
            call()
        gc.disable()
        try:
            r0, a0 = reading()
            for _ in range(n):
                call()
            r1, a1 = reading()
            for _ in range(n):
                call()
            r2, a2 = reading()
            if r2 - r1 > REF_TOL or a2 - a1 > MEM_TOL:
                # Cycles freed by the collector are not a leak: measure again
                # with a collection before each reading.
                gc.collect()
                r0, a0 = reading()
                for _ in range(n):
                    call()
                gc.collect()
                r1, a1 = reading()
                for _ in range(n):
                    call()
                gc.collect()
                r2, a2 = reading()
        finally:
            gc.enable()
        case.refs = [r1 - r0, r2 - r0]
        case.mem = [a1 - a0, a2 - a0]
    except BaseException as e:  # noqa: BLE001 -- any outcome other than the expected one fails the case
        case.error = f"{type(e).__name__}: {e}"
    finally:
        if case.teardown:
            case.teardown()


def leaked(case: Case) -> bool:
    return bool(case.refs) and (case.refs[1] - case.refs[0] > REF_TOL or case.mem[1] - case.mem[0] > MEM_TOL)


# ---- expected outcomes -----------------------------------------------------------------

CHECKS = catalog.RESULT_CHECKS


def returns(fn, args=(), kwargs=None, result="any", check=None):
    ok = check or CHECKS[result]
    kwargs = kwargs or {}

    def call():
        r = fn(*args, **kwargs)
        if not ok(r):
            raise AssertionError(f"unexpected result {r!r}")
    return call


def raises(fn, exc, args=(), kwargs=None):
    kwargs = kwargs or {}

    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{exc} not raised")
    return call


class Globals:
    """Rebinds or deletes module globals for one case and puts them back."""

    def __init__(self, m, **changes):
        self.m, self.changes, self.saved = m, changes, {}

    def setup(self):
        d = vars(self.m)
        for k, v in self.changes.items():
            self.saved[k] = d.get(k, Globals)
            if v is Globals:
                d.pop(k, None)
            else:
                d[k] = v

    def teardown(self):
        d = vars(self.m)
        for k, v in self.saved.items():
            if v is Globals:
                d.pop(k, None)
            else:
                d[k] = v


DELETE = Globals  # marker: the global is deleted for the case


def both(*fns):
    fns = [f for f in fns if f]

    def run():
        for f in fns:
            f()
    return run


# ---- the cases -------------------------------------------------------------------------

def wrapper_cases(m, core, entries) -> List[Case]:
    from zq.csdk.standin import NEGATIVE_LENGTH, NORMAL, NULL_REPLY, NULL_TEXT

    cases = []
    for i, e in enumerate(entries):
        fn = getattr(m, e.name)
        group = "direct" if e.direct else f"wrapper:{e.row.lower()}"
        goods = [good(p.kind, e.adapted) for p in e.params]
        first = [g[0] for g in goods]
        alt = [g[(i + 1) % len(g)] for g in goods]
        alt2 = [g[(i + 3) % len(g)] for g in goods]
        names = [p.name for p in e.params]
        add = lambda label, call, g=None: cases.append(  # noqa: E731
            Case(group, f"{e.name} {label}", call, g.setup if g else None, g.teardown if g else None))

        add("ok", returns(fn, first, result=e.result))
        add("ok alt", returns(fn, alt, result=e.result))
        if names:
            add("ok keywords", returns(fn, (), dict(zip(names, alt2)), result=e.result))
            add("missing argument", raises(fn, TypeError, first[:-1]))
            add("duplicate keyword", raises(fn, TypeError, first, {names[0]: first[0]}))
        add("extra argument", raises(fn, TypeError, first + [b"x"]))
        add("unexpected keyword", raises(fn, TypeError, first, {"no_such_param": 1}))
        for j, p in enumerate(e.params):
            for value, exc in bad(p.kind, e.adapted):
                args = list(first)
                args[j] = value
                if exc is DeprecationWarning:
                    continue
                add(f"{p.name}={type(value).__name__} -> {exc.__name__}", raises(fn, exc, args))
        core_fn = e.core
        if e.result in ("pair", "int"):
            def fail(core_fn=core_fn):
                core.set_status(core_fn, -3)

            def unfail(core_fn=core_fn):
                core.set_status(core_fn, 0)
            check = (lambda r: r == (-3, None)) if e.result == "pair" else (lambda r: r == -3)
            cases.append(Case(group, f"{e.name} failing status", returns(fn, first, check=check), fail, unfail))
        if e.result == "pair":
            def neg(core_fn=core_fn):
                core.set_mode(core_fn, NEGATIVE_LENGTH, -5)

            def null(core_fn=core_fn):
                core.set_mode(core_fn, NULL_REPLY, 10)

            def normal(core_fn=core_fn):
                core.set_mode(core_fn, NORMAL, 0)
            cases.append(Case(group, f"{e.name} negative reply length", raises(fn, SystemError, first), neg, normal))
            cases.append(Case(group, f"{e.name} null reply", returns(fn, first, result="pair"), null, normal))
            add("success deleted -> NameError", raises(fn, NameError, first), Globals(m, CSDK_OPERATE_SUCCESS=DELETE))
            add("success __eq__ raises", raises(fn, Boom, first), Globals(m, CSDK_OPERATE_SUCCESS=EqRaises()))
            add("success __eq__ non-bool", raises(fn, Boom, first), Globals(m, CSDK_OPERATE_SUCCESS=EqWrong()))
            add("success as float", returns(fn, first, result="pair"), Globals(m, CSDK_OPERATE_SUCCESS=0.0))
        if e.result == "pair" or e.name == "py_zqi_get_serv_addr":
            add("success compared by calling the core", returns(fn, first, result=e.result),
                Globals(m, CSDK_OPERATE_SUCCESS=EqCallsCore(lambda fn=fn, alt=alt: fn(*alt))))
        if e.result in ("bytes", "bytes_or_none"):
            def nulltext(core_fn=core_fn):
                core.set_mode(core_fn, NULL_TEXT, 0)

            def normal(core_fn=core_fn):
                core.set_mode(core_fn, NORMAL, 0)
            cases.append(Case(group, f"{e.name} null text", returns(fn, first, result=e.result), nulltext, normal))
        if e.adapted:
            add("IS_PY2 deleted -> NameError", raises(fn, NameError, first), Globals(m, IS_PY2=DELETE))
            add("IS_PY2 __bool__ raises", raises(fn, Boom, first), Globals(m, IS_PY2=BoolRaises()))
            text_args = [("ascii" if p.kind in ("text", "request") else a) for p, a in zip(e.params, first)]
            if text_args != first:
                add("IS_PY2 true, str refused", raises(fn, TypeError, text_args), Globals(m, IS_PY2=True))
                add("str encoded", returns(fn, text_args, result=e.result))
                add("str keywords encoded", returns(fn, (), dict(zip(names, text_args)), result=e.result))
    return cases


class Sink:
    """A logger that counts its debug lines."""

    def __init__(self):
        self.n = 0

    def debug(self, msg):
        self.n += 1


class RaisingLogger:
    debug = staticmethod(lambda msg: (_ for _ in ()).throw(Boom()))


class Platform:
    @staticmethod
    def uname():
        raise Boom


def helper_cases(m, core) -> List[Case]:
    cases = []
    add = lambda label, call, g=None, s=None, t=None: cases.append(  # noqa: E731
        Case("helpers", label, call, both(g and g.setup, s), both(t, g and g.teardown)))
    ok, fail, adapt = m.c_status_ok, m.c_status_fail, m.adapt_to_python3
    add("c_status_ok(0)", returns(ok, (0,), check=lambda r: r is True))
    add("c_status_ok(-1)", returns(ok, (-1,), check=lambda r: r is False))
    add("c_status_ok(status=0.0)", returns(ok, (), {"status": 0.0}, check=lambda r: r is True))
    add("c_status_ok(2**80)", returns(ok, (2 ** 80,), check=lambda r: r is False))
    add("c_status_ok() -> TypeError", raises(ok, TypeError))
    add("c_status_ok(x, y) -> TypeError", raises(ok, TypeError, (0, 1)))
    add("c_status_ok(EqRaises) -> Boom", raises(ok, Boom, (EqRaises(),)))
    add("c_status_ok non-bool comparison", returns(ok, (EqWrong(),)))
    add("c_status_ok success deleted", raises(ok, NameError, (0,)), Globals(m, CSDK_OPERATE_SUCCESS=DELETE))
    sink = Sink()
    logged = Globals(m, zqsdklogger=sink)
    add("c_status_fail(0)", returns(fail, (0,), check=lambda r: r is False), logged)
    add("c_status_fail(-1) logs", returns(fail, (-1,), check=lambda r: r is True), logged)
    add("c_status_fail(-1, 'fn') logs", returns(fail, (-1, "zqi_run"), check=lambda r: r is True), logged)
    add("c_status_fail(-1, cfunname=None)", returns(fail, (-1,), {"cfunname": None}, check=lambda r: r is True),
        logged)
    add("c_status_fail(-1) real logger", returns(fail, (-1,), check=lambda r: r is True))
    add("c_status_fail('x') -> TypeError", raises(fail, TypeError, ("x",)))
    add("c_status_fail(pair) -> TypeError", raises(fail, TypeError, ((0, None),)))
    add("c_status_fail(2**40) -> OverflowError", raises(fail, OverflowError, (2 ** 40,)))
    add("c_status_fail(-1, StrRaises) -> Boom", raises(fail, Boom, (-1, StrRaises())), logged)
    add("c_status_fail(-1, BoolRaises) -> Boom", raises(fail, Boom, (-1, BoolRaises())), logged)
    add("c_status_fail() -> TypeError", raises(fail, TypeError))
    add("c_status_fail(a, b, c) -> TypeError", raises(fail, TypeError, (1, 2, 3)))
    add("c_status_fail bad keyword", raises(fail, TypeError, (1,), {"x": 2}))
    add("c_status_fail strerror deleted", raises(fail, NameError, (-1,)), Globals(m, py_zqi_strerror=DELETE))
    add("c_status_fail logger deleted", raises(fail, NameError, (-1,)), Globals(m, zqsdklogger=DELETE))
    add("c_status_fail logger raises", raises(fail, Boom, (-1,)), Globals(m, zqsdklogger=RaisingLogger()))
    add("c_status_fail success deleted", raises(fail, NameError, (-1,)), Globals(m, CSDK_OPERATE_SUCCESS=DELETE))
    add("c_status_fail non-bool comparison", raises(fail, Boom, (EqWrong(),)))
    add("c_status_fail non-UTF-8 error text", raises(fail, UnicodeDecodeError, (-1,)), logged,
        lambda: core.set_reply("zqi_strerror", b"\xff\xfe"), lambda: core.set_reply("zqi_strerror", None))

    add("is_linux()", returns(m.is_linux, check=lambda r: r is True))
    add("is_windows()", returns(m.is_windows, check=lambda r: r is False))
    add("is_linux(1) -> TypeError", raises(m.is_linux, TypeError, (1,)))
    add("is_windows(x=1) -> TypeError", raises(m.is_windows, TypeError, (), {"x": 1}))
    add("is_linux platform deleted", raises(m.is_linux, NameError), Globals(m, platform=DELETE))
    add("is_linux uname raises", raises(m.is_linux, Boom), Globals(m, platform=Platform()))

    def target(*a, **k):
        return a, k

    def raiser(*a, **k):
        raise Boom
    adapter = adapt(target)
    add("adapt_to_python3(f)", returns(adapt, (target,), check=lambda r: r.__name__ == "wrapper"))
    add("adapt_to_python3(func=f)", returns(adapt, (), {"func": target}))
    add("adapt_to_python3() -> TypeError", raises(adapt, TypeError))
    add("adapt_to_python3(f, g) -> TypeError", raises(adapt, TypeError, (target, target)))
    add("adapter no str", returns(adapter, (b"a", 1, None), {"k": b"v"},
                                  check=lambda r: r == ((b"a", 1, None), {"k": b"v"})))
    add("adapter str encoded", returns(adapter, ("a", b"b", 3), {"k": "v"},
                                       check=lambda r: r == ((b"a", b"b", 3), {"k": b"v"})))
    many = tuple("s%d" % i if i % 2 else i for i in range(24))
    add("adapter 24 arguments", returns(adapter, many, {"k1": "a", "k2": 2},
                                        check=lambda r: len(r[0]) == 24 and r[1] == {"k1": b"a", "k2": 2}))
    add("adapter non-ASCII", raises(adapter, UnicodeEncodeError, ("a", "é")))
    add("adapter non-ASCII keyword", raises(adapter, UnicodeEncodeError, (), {"k": "é"}))
    add("adapter encode raises", raises(adapter, Boom, (EncodeRaises("x"),)))
    nested = m.c_status_ok
    for _ in range(200000):
        nested = adapt(nested)
    add("adapters nested past the C stack", raises(nested, RecursionError, (0,)))
    fits = m.c_status_ok
    for _ in range(3000):
        fits = adapt(fits)
    add("adapters nested past the recursion limit", returns(fits, (0,), check=lambda r: r is True))
    add("adapters nested, made and dropped", returns(lambda: _nest(adapt, 3000)))
    add("adapter IS_PY2 true", returns(adapter, ("a",), check=lambda r: r == (("a",), {})), Globals(m, IS_PY2=1))
    add("adapter IS_PY2 deleted", raises(adapter, NameError, ("a",)), Globals(m, IS_PY2=DELETE))
    add("adapter func raises", raises(adapt(raiser), Boom, ("a",)))
    add("adapter of non-callable", raises(adapt(5), TypeError, (b"a",)))
    add("adapter made and called", returns(lambda: adapt(target)("x"), check=lambda r: r == ((b"x",), {})))
    add("adapter attributes", returns(lambda: (adapter.__name__, adapter.__qualname__, adapter.__module__,
                                               adapter.__doc__, repr(adapter))))
    add("wrapper attributes", returns(lambda: (m.py_zqi_log.__name__, m.py_zqi_log.__text_signature__,
                                               m.zqi_init.__doc__, m.zqi_init.__name__)))
    return cases


def record_cases(m) -> List[Case]:
    cases = []
    for cls in catalog.record_classes(m):
        cases += _record_cases(cls)
    return cases


class _BadRepr(dict):
    def __str__(self):
        raise Boom

    __repr__ = __str__


def _nest(make, depth):
    """Wraps an object `depth` times and drops the chain."""
    r = make({})
    for _ in range(depth):
        r = make(r)


def _record_cases(cls) -> List[Case]:
    cases = []
    n = cls.__name__
    add = lambda label, call: cases.append(Case("records", f"{n} {label}", call))  # noqa: E731
    d = {"key": b"A", 5: "five"}
    r = cls(d)
    fields = catalog.record_fields(cls)
    add("construct", returns(cls, (d,)))
    add("construct data=", returns(cls, (), {"data": d}))
    add("construct no argument", raises(cls, TypeError))
    add("construct two arguments", raises(cls, TypeError, (d, d)))
    sub = type("Sub", (cls,), {})
    looked = type("Looked", (cls,), {"__getattribute__": lambda self, item: super(looked, self).__getattribute__(item)})
    deep = r
    for _ in range(200000):
        deep = cls(deep)
    add("subclass construct", returns(sub, (d,)))
    add("subclass construct data=", returns(sub, (), {"data": d}))
    add("subclass construct bad keyword", raises(sub, TypeError, (), {"other": d}))
    add("subclass __getattribute__ miss", returns(lambda: looked(d).nothing_here, check=lambda v: v is None))
    add("nested past the C stack", raises(lambda: deep["key"], RecursionError))
    add("nested, made and dropped", returns(lambda: _nest(cls, 3000)))
    add("getitem", returns(lambda: r["key"], check=lambda v: v == b"A"))
    add("getitem missing", returns(lambda: r["nope"], check=lambda v: v is None))
    add("getitem int key", returns(lambda: r[5], check=lambda v: v == "five"))
    add("getitem unhashable", raises(lambda: r[[]], TypeError))
    add("setitem", returns(lambda: r.__setitem__("k", 2)))
    add("setitem unhashable", raises(lambda: r.__setitem__([], 2), TypeError))
    add("getattr missing", returns(lambda: r.nothing_here, check=lambda v: v is None))
    add("setattr", returns(lambda: setattr(r, "attr", 3)))
    add("data", returns(lambda: r.data, check=lambda v: v is d))
    add("data replaced", returns(lambda: setattr(cls(d), "data", {"x": 1})))
    add("str", returns(lambda: str(r), check=lambda v: v == str(d)))
    add("repr", returns(lambda: repr(r), check=lambda v: v == repr(d)))
    add("str raising mapping", raises(lambda: str(cls(_BadRepr())), Boom))
    add("mapping without get", raises(lambda: cls(object())["x"], Exception))
    add("len", raises(lambda: len(r), TypeError))
    add("delitem", raises(lambda: r.__delitem__("absent"), Exception))
    add("iter", returns(lambda: _iterate(r)))
    if n == "BarLikeDict2":
        add("contains", returns(lambda: "key" in r, check=lambda v: v is True))
        add("contains unhashable", raises(lambda: [] in r, TypeError))
    for f in fields:
        desc = vars(cls)[f]
        add(f"field {f}", returns(lambda f=f: getattr(r, f)))
        add(f"field {f} set", returns(lambda f=f: setattr(r, f, 7)))
        add(f"field {f} delete", raises(lambda f=f: delattr(r, f), AttributeError))
        if getattr(desc, "fset", None) is not None or type(desc).__name__ == "getset_descriptor":
            add(f"field {f} setter", returns(lambda desc=desc: desc.__set__(r, 8)))
        if getattr(desc, "fget", None) is not None:
            add(f"field {f} getter", returns(lambda desc=desc: desc.fget(r)))
    if fields:
        desc = vars(cls)[fields[0]]
        plain = type("Plain", (), {"data": d})()
        add("field getter on an int", raises(lambda: desc.fget(12345), AttributeError))
        add("field getter on a float", raises(lambda: desc.__get__(1.5), AttributeError))
        add("field getter on a plain object", returns(lambda: desc.fget(plain)))
        add("field reused on an int subclass", raises(lambda: type("P", (int,), {"f": desc})(7).f, AttributeError))
    return cases


def _iterate(r):
    try:
        for _ in r:
            pass
    except Exception:  # noqa: BLE001 -- iteration is not part of a record's interface; it must only end
        pass


class Reports:
    """Silences the two reports of a failed event delivery and counts them."""

    def __init__(self):
        self.n = 0

    def hook(self, u):
        self.n += 1

    def setup(self):
        self._saved = sys.stderr, sys.unraisablehook
        sys.stderr, sys.unraisablehook = open(os.devnull, "w"), self.hook

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


# ---- main ------------------------------------------------------------------------------------

def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=200, help="calls per batch (default 200)")
    ap.add_argument("--warm", type=int, default=100, help="warm-up calls per case (default 100)")
    ap.add_argument("--only", default="", help="run only cases whose label contains this text")
    ap.add_argument("--no-aggregate", action="store_true", help="skip the tracemalloc/RSS phase")
    args = ap.parse_args(argv)

    from zq.csdk import c_sdk as m
    from zq.csdk.standin import StandIn

    core = StandIn()
    core.reset()
    core.logging(False)  # the call log grows by design; counts are kept without it
    warnings.simplefilter("error", DeprecationWarning)

    entries = catalog.check_namespace(m)
    cases = wrapper_cases(m, core, entries) + helper_cases(m, core) + record_cases(m) + event_cases(m, core)
    if args.only:
        cases = [c for c in cases if args.only in c.label]
    interp = "debug" if hasattr(sys, "gettotalrefcount") else "release"
    print(f"leak check: Python {sys.version.split()[0]} ({interp}), PYTHONMALLOC={os.environ.get('PYTHONMALLOC', '')},"
          f" {len(cases)} cases, {args.warm} + {args.n} + {args.n} calls each")
    if not catalog.record_classes(m):
        print("  (no record classes in the module yet: record cases skipped)")

    gc.collect()
    gc.freeze()  # the harness's own objects: later collections only walk what the cases made
    # What the measuring itself leaves (the readings are ints kept alive):
    # subtracted from every case.
    noop = Case("calibration", "no-op", lambda: None)
    run_case(noop, args.warm, args.n)
    t0 = time.monotonic()
    for c in cases:
        run_case(c, args.warm, args.n)
        if c.refs:
            c.refs = [c.refs[k] - noop.refs[k] for k in (0, 1)]
            c.mem = [c.mem[k] - noop.mem[k] for k in (0, 1)]
    t1 = time.monotonic()

    groups = {}
    for c in cases:
        groups.setdefault(c.group, []).append(c)
    print(f"calibration (an empty call, subtracted below): refs +{noop.refs[0]} / +{noop.refs[1]}, "
          f"malloc +{noop.mem[0]} / +{noop.mem[1]} B after N / 2N")
    print(f"{'group':24} {'cases':>6} {'refs N':>7} {'refs 2N':>8} {'malloc N':>9} {'malloc 2N':>10}   (max growth over"
          f" one case)")
    for g, cs in groups.items():
        measured = [c for c in cs if c.refs]
        print(f"{g:24} {len(cs):6d} {max((c.refs[0] for c in measured), default=0):7d} "
              f"{max((c.refs[1] for c in measured), default=0):8d} {max((c.mem[0] for c in measured), default=0):9d} "
              f"{max((c.mem[1] for c in measured), default=0):10d}")
    calls = len(cases) * (args.warm + 2 * args.n)
    print(f"phase 1: {calls} calls in {t1 - t0:.1f} s")

    failed = [c for c in cases if c.error or leaked(c)]
    for c in failed:
        if c.error:
            print(f"FAIL {c.label}: {c.error}")
        else:
            print(f"FAIL {c.label}: grows with the number of calls: refs +{c.refs[0]} after {args.n} calls, "
                  f"+{c.refs[1]} after {2 * args.n}; malloc +{c.mem[0]} B, +{c.mem[1]} B")

    if not args.no_aggregate:
        failed_aggregate = aggregate([c for c in cases if not c.error], args.warm, args.n)
    else:
        failed_aggregate = False
    if failed or failed_aggregate:
        print(f"leak check FAILED: {len(failed)} case(s)" + (", aggregate memory growth" if failed_aggregate else ""))
        return 1
    print("leak check passed")
    return 0


def aggregate(cases: List[Case], warm: int, n: int) -> bool:
    """All cases N times, then N times more, under tracemalloc; RSS and traced memory compared."""
    def one_pass(k):
        for c in cases:
            if c.setup:
                c.setup()
            try:
                for _ in range(k):
                    c.call()
            finally:
                if c.teardown:
                    c.teardown()
        gc.collect()
        sys._clear_type_cache()

    t0 = time.monotonic()
    tracemalloc.start()
    one_pass(warm)
    base_rss, base_tm, base_malloc = rss(), tracemalloc.get_traced_memory()[0], malloc_in_use()
    one_pass(n)
    rss1, tm1, m1 = rss(), tracemalloc.get_traced_memory()[0], malloc_in_use()
    one_pass(n)
    rss2, tm2, m2 = rss(), tracemalloc.get_traced_memory()[0], malloc_in_use()
    tracemalloc.stop()
    kib = lambda v: f"{v / 1024:+.1f} KiB"  # noqa: E731
    print(f"phase 2 (all cases together, {len(cases) * (warm + 2 * n)} calls, {time.monotonic() - t0:.1f} s): "
          f"after N / 2N calls: RSS {kib(rss1 - base_rss)} / {kib(rss2 - base_rss)} (of {base_rss >> 20} MiB), "
          f"tracemalloc {kib(tm1 - base_tm)} / {kib(tm2 - base_tm)}, malloc {kib(m1 - base_malloc)} / "
          f"{kib(m2 - base_malloc)}")
    bad_growth = rss2 - rss1 > RSS_TOL or tm2 - tm1 > TRACED_TOL
    if bad_growth:
        print("FAIL aggregate: memory grows with the number of calls")
    return bad_growth


if __name__ == "__main__":
    sys.exit(main())
