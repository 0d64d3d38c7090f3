"""Argument fuzzing: every wrapper and direct callable, arbitrary arguments.

Whatever the arguments (count, keyword names, values of many types, objects
whose dunders raise or return the wrong type) and whatever fault the stand-in
core answers with, a call either returns a value of its documented type or
raises one of the documented exceptions; when it raises, the core library was
not called, except for the failures that come after the core call (a negative
reply length, a success value whose comparison raises).
"""
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reliability import catalog
from reliability.values import (EXC, Boom, BoolRaises, BoolWrong, EncodeRaises, EncodeWrong, EqRaises, EqWrong,
                                FloatLike, FloatRaises, FloatWrong, IndexOnly, IndexRaises, IntLike, IntRaises,
                                IntSubclass, IntWrong, LenHuge, LenNegative, LenRaises, LenRaisingBytes, LenWrong,
                                LyingBytes, StrRaises, SubBytearray)
from zq.csdk import c_sdk
from zq.csdk.standin import NEGATIVE_LENGTH, NULL_REPLY, NULL_TEXT

ENTRIES = catalog.check_namespace(c_sdk)

pytestmark = pytest.mark.filterwarnings("ignore:__int__ returned non-int:DeprecationWarning")

# Fixed and modest: the same examples on every run, a few seconds in all.
FUZZ = settings(max_examples=15, deadline=None, derandomize=True, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
FUZZ_MORE = settings(FUZZ, max_examples=300)

HOSTILE = [IntRaises, IntWrong, IntSubclass, IntLike, IndexOnly, IndexRaises, FloatRaises, FloatWrong, FloatLike,
           LenRaises, LenNegative, LenHuge, LenWrong, BoolRaises, BoolWrong, EqRaises, EqWrong, StrRaises, object]

values = st.one_of(
    st.text(max_size=8),
    st.text(st.characters(max_codepoint=127), max_size=8),
    st.binary(max_size=12),
    st.binary(max_size=8).map(lambda b: b"\0" + b + b"\0"),
    st.binary(max_size=8).map(bytearray),
    st.binary(max_size=8).map(memoryview),
    st.integers(-2 ** 31, 2 ** 31 - 1),
    st.integers(),
    st.integers(2 ** 63, 2 ** 80) | st.integers(-2 ** 80, -2 ** 63),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([math.nan, math.inf, -math.inf, 1e300, -0.0]),
    st.none(),
    st.booleans(),
    st.lists(st.integers(0, 3), max_size=3),
    st.sampled_from(HOSTILE).map(lambda cls: cls()),
    st.binary(max_size=6).map(LyingBytes),
    st.binary(max_size=6).map(LenRaisingBytes),
    st.binary(max_size=6).map(SubBytearray),
    st.text(max_size=4).map(EncodeRaises),
    st.text(max_size=4).map(EncodeWrong),
)


def keyword_names(entry):
    real = [p.name for p in entry.params]
    return (st.sampled_from(real) if real else st.nothing()) | st.text(min_size=1, max_size=6)


FAULTS = {
    "none": lambda core, fn: None,
    "failing status": lambda core, fn: core.set_status(fn, -7),
    "negative reply length": lambda core, fn: core.set_mode(fn, NEGATIVE_LENGTH, -3),
    "null reply": lambda core, fn: core.set_mode(fn, NULL_REPLY, 9),
    "null text": lambda core, fn: core.set_mode(fn, NULL_TEXT),
}


def after_call_failures(entry, fault, success):
    """Exceptions that may be raised once the core call has been made."""
    if entry.result != "pair":
        return ()
    late = []
    if fault == "negative reply length":
        late.append(SystemError)
    if isinstance(success, (EqRaises, EqWrong)):
        late.append(Boom)
    return tuple(late)


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e.name)
@FUZZ
@given(data=st.data())
def test_any_arguments(m, core, entry, data):
    fn = getattr(m, entry.name)
    n = len(entry.params)
    args = data.draw(st.lists(values, max_size=n + 2), label="args")
    kwargs = data.draw(st.dictionaries(keyword_names(entry), values, max_size=n + 1), label="kwargs")
    fault = data.draw(st.sampled_from(sorted(FAULTS)), label="fault")
    success = data.draw(st.sampled_from([0, 0, 0.0, EqRaises(), EqWrong()]), label="CSDK_OPERATE_SUCCESS")

    core.reset()
    FAULTS[fault](core, entry.core)
    m.CSDK_OPERATE_SUCCESS = success
    try:
        result = fn(*args, **kwargs)
    except EXC + (SystemError, NameError) as e:
        raised = e
    else:
        raised = None
    finally:
        m.CSDK_OPERATE_SUCCESS = 0
    calls = core.calls()

    if raised is None:
        assert catalog.RESULT_CHECKS[entry.result](result), result
        assert [c.fn for c in calls] == [entry.core]
        if entry.result == "pair":
            assert (result[1] is None) == (fault == "failing status")
    elif calls and isinstance(raised, after_call_failures(entry, fault, success)):
        assert [c.fn for c in calls] == [entry.core]
    else:
        assert isinstance(raised, EXC), repr(raised)
        assert calls == [], f"{raised!r} raised after the core call"


statuses = st.one_of(values, st.integers(-5, 5))


@FUZZ_MORE
@given(status=statuses, cfunname=st.one_of(values, st.just("zqi_run"), st.just("")), named=st.booleans())
def test_status_helpers_any_value(m, core, status, cfunname, named):
    """c_status_ok returns the comparison unchanged; c_status_fail a truth or a documented error."""
    core.reset()
    m.zqsdklogger = _Sink()
    try:
        ok = m.c_status_ok(status)
    except (Boom, TypeError):
        ok = None
    args = (status, cfunname) if named else (status,)
    try:
        failed = m.c_status_fail(*args)
    except (TypeError, OverflowError, ValueError, Boom, UnicodeDecodeError):
        return
    if ok is not None and type(ok) is bool:
        assert failed is (not ok)


class _Sink:
    def __init__(self):
        self.lines = []

    def debug(self, msg):
        self.lines.append(msg)


def _target(*a, **k):
    return a, k


def _encoded(v):
    return v.encode("ascii") if isinstance(v, str) else v


@FUZZ_MORE
@given(args=st.lists(values, max_size=20),
       kwargs=st.dictionaries(st.text(min_size=1, max_size=4), values, max_size=4))
def test_adapter_any_arguments(m, args, kwargs):
    """The adapter encodes exactly the str arguments (by their own encode), or raises the encoder's error."""
    adapter = m.adapt_to_python3(_target)
    before = dict(kwargs)
    texts = [v for v in list(args) + list(kwargs.values()) if isinstance(v, str)]
    try:
        got_args, got_kwargs = adapter(*args, **kwargs)
    except (UnicodeEncodeError, Boom):
        assert texts
        return
    finally:
        assert kwargs == before  # the caller's dict is never changed
    assert len(got_args) == len(args) and list(got_kwargs) == list(kwargs)
    for a, g in list(zip(args, got_args)) + [(kwargs[k], got_kwargs[k]) for k in kwargs]:
        if isinstance(a, str):
            assert g == _encoded(a)
        else:
            assert g is a
