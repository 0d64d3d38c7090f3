"""The leak check's catalogue: one case per call on the success path or on one
error path of every wrapper, direct callable, helper and record class (the
event bridge's cases are in leakcases_events.py), with the outcome each must
have.  Measured by leakcheck.py.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, List, Optional

from reliability import catalog
from reliability.values import Boom, BoolRaises, EncodeRaises, EqCallsCore, EqRaises, EqWrong, StrRaises, bad, good

@dataclass
class Case:
    group: str
    label: str
    call: Callable[[], None]
    setup: Optional[Callable[[], None]] = None
    teardown: Optional[Callable[[], None]] = None
    refs: List[int] = field(default_factory=list)   # growth after N, after 2N
    mem: List[int] = field(default_factory=list)
    blocks: List[int] = field(default_factory=list)
    error: str = ""
    makes_class: bool = False  # makes a new class on every call


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
    add = lambda label, call, **kw: cases.append(Case("records", f"{n} {label}", call, **kw))  # noqa: E731
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
        add("field reused on an int subclass", raises(lambda: type("P", (int,), {"f": desc})(7).f, AttributeError),
            makes_class=True)
    return cases


def _iterate(r):
    try:
        for _ in r:
            pass
    except Exception:  # noqa: BLE001 -- iteration is not part of a record's interface; it must only end
        pass
