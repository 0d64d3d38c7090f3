"""The fast paths behave like the general ones they short-cut.

Each hot path has a quick route for the common case (the stand-in's echo and
event queue, positional and keyword binding, the cached global lookups, the
adapter's pass-through); these cases drive the quick route and the general
one alternately, so a stale cache or a half-done shortcut shows.
"""
import builtins
import sys

import pytest

SIZES = [100, 3, 0, 5000, 100, 1]


@pytest.mark.parametrize("logging", [False, True])
def test_echo_follows_every_request_length(m, core, logging):
    core.logging(logging)
    for n in SIZES:
        req = bytes(i % 251 for i in range(n))
        assert m.py_zqi_get_symbol_infos(req) == (0, req)
        assert m.py_zqi_place_order(req=bytearray(req)) == (0, req)
    assert core.call_count("zqi_get_symbol_infos") == len(SIZES)
    assert len(core.calls()) == (2 * len(SIZES) if logging else 0)


def test_scripted_reply_and_echo_alternate(m, core):
    core.logging(False)
    core.set_reply("zqi_get_symbol_infos", b"scripted")
    assert m.py_zqi_get_symbol_infos(b"abc") == (0, b"scripted")
    core.set_reply("zqi_get_symbol_infos", None)
    assert m.py_zqi_get_symbol_infos(b"abcdefgh" * 20) == (0, b"abcdefgh" * 20)
    assert m.py_zqi_get_symbol_infos(b"xy") == (0, b"xy")


@pytest.fixture
def got(m):
    seen = []
    m.py_zqi_set_data_callback(lambda t, d: seen.append((t, d)))
    return seen


def test_queue_spanning_many_blocks_and_one_huge_event(m, core, got):
    core.logging(False)
    events = [(b"t%d" % (i % 7), bytes([i % 256]) * (100 + i % 50)) for i in range(12000)]
    events.insert(5000, (b"huge", b"\x01\x02" * (1 << 20)))  # larger than a storage block
    for t, d in events:
        core.queue_event(t, d)
    assert core.queue_size() == len(events)
    assert m.py_zqi_run() == 0
    assert got == [(t.decode(), d) for t, d in events]
    assert core.queue_size() == 0


def test_events_queued_by_the_handler_follow_in_order(m, core):
    seen = []

    def handler(t, d):
        seen.append((t, d))
        if t == "a":  # queue enough to need fresh storage while this event is being delivered
            for i in range(3):
                core.queue_event(b"b", bytes([i]) * 400000)

    m.py_zqi_set_data_callback(handler)
    core.queue_event(b"a", b"first")
    core.queue_event(b"c", b"second")
    m.py_zqi_run()
    assert seen == [("a", b"first"), ("c", b"second")] + [("b", bytes([i]) * 400000) for i in range(3)]


def test_reset_during_delivery_drops_the_rest_and_the_queue_works_after(m, core):
    seen = []

    def handler(t, d):
        seen.append(d)
        if d == b"2":
            core.reset()
            core.queue_event(b"x", b"after-reset")

    m.py_zqi_set_data_callback(handler)
    for i in range(5):
        core.queue_event(b"x", str(i).encode())
    m.py_zqi_run()
    assert seen == [b"0", b"1", b"2", b"after-reset"]
    for round_ in range(3):  # storage reused once the queue ran dry
        for i in range(1000):
            core.queue_event(b"r", b"%d-%d" % (round_, i))
        m.py_zqi_run()
    assert seen[4:] == [b"%d-%d" % (r, i) for r in range(3) for i in range(1000)]


def test_nested_delivery_during_a_reply_call(m, core):
    seen, replies = [], []

    def handler(t, d):
        seen.append(d)
        replies.append((d, m.py_zqi_get_symbol_infos(d)))  # delivers the next event first

    m.py_zqi_set_data_callback(handler)
    core.deliver_during("zqi_get_symbol_infos", 1)
    for i in range(4):
        core.queue_event(b"n", b"%d" % i)
    assert m.py_zqi_get_symbol_infos(b"outer") == (0, b"outer")
    assert seen == [b"0", b"1", b"2", b"3"]
    assert sorted(replies) == [(b"%d" % i, (0, b"%d" % i)) for i in range(4)]


@pytest.mark.parametrize("success, status, paid", [
    (0, 0, True), (100000, 100000, True), (100000, 100001, False), (-100000, -100000, True), (2**31 - 1, -1, False),
])
def test_success_equal_but_not_the_same_object(m, core, success, status, paid):
    # large ints are fresh objects on each side: equality, not identity, decides
    m.CSDK_OPERATE_SUCCESS = int(str(success))
    core.set_status("zqi_get_symbol_infos", status)
    for _ in range(3):
        assert m.py_zqi_get_symbol_infos(b"r") == (status, b"r" if paid else None)


def test_keyword_named_by_an_equal_but_distinct_str(m, core):
    name = "".join(["r", "e", "q"])  # not the interned "req"
    assert name == "req" and sys.intern(name) is not name
    for _ in range(3):
        assert m.py_zqi_get_symbol_infos(**{name: b"a"}) == (0, b"a")
        assert m.py_zqi_get_symbol_infos(req=b"b") == (0, b"b")
        assert m.c_status_ok(**{"".join(["sta", "tus"]): 0}) is True
        assert m.c_status_fail(status=0, cfunname="x") is False
    with pytest.raises(TypeError, match=r"^c_status_fail\(\) got an unexpected keyword argument 'cfun'$"):
        m.c_status_fail(status=0, cfun="x")
    with pytest.raises(TypeError, match=r"^c_status_fail\(\) takes at least 1 positional argument \(0 given\)$"):
        m.c_status_fail(cfunname="x")


@pytest.mark.parametrize("success", [0, 5])
def test_rebinding_between_fast_calls_is_seen_at_once(m, core, success):
    core.set_status("zqi_get_symbol_infos", 5)
    for value in [success, 5, success, 5]:
        m.CSDK_OPERATE_SUCCESS = value
        assert m.py_zqi_get_symbol_infos(b"z") == (5, b"z" if value == 5 else None)
        assert m.c_status_ok(5) is (value == 5)
    del m.CSDK_OPERATE_SUCCESS
    builtins.CSDK_OPERATE_SUCCESS = 5
    try:
        assert m.py_zqi_get_symbol_infos(b"z") == (5, b"z")
        builtins.CSDK_OPERATE_SUCCESS = 6  # only the builtins dict changed
        assert m.py_zqi_get_symbol_infos(b"z") == (5, None)
        assert m.c_status_ok(6) is True
    finally:
        del builtins.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError):
        m.py_zqi_get_symbol_infos(b"z")


class Probe:
    """Stands in for any module global and notes each use of itself."""

    def __init__(self, tag, seen):
        self.tag, self.seen = tag, seen

    def use(self, result):
        self.seen.append(self.tag)
        return result

    def __eq__(self, other):
        return self.use(False)

    def __ne__(self, other):
        return self.use(True)

    __hash__ = object.__hash__

    def __bool__(self):
        return self.use(False)

    def __call__(self, *args):
        return self.use(b"e")

    def debug(self, message):
        self.use(None)


# A call that uses the global of that name once.
USES = {
    "f": lambda m, core: (core.queue_event(b"a", b""), m.py_zqi_run()),
    "CSDK_OPERATE_SUCCESS": lambda m, core: m.py_zqi_get_symbol_infos(b"z"),
    "IS_PY2": lambda m, core: m.adapt_to_python3(lambda *a: a)("s"),
    "zqsdklogger": lambda m, core: m.c_status_fail(1, "x"),
    "py_zqi_strerror": lambda m, core: m.c_status_fail(1, "x"),
}


@pytest.mark.parametrize("name", USES)
def test_every_rebinding_of_a_global_is_seen_by_the_next_call(m, core, name):
    seen = []

    def used():
        seen.clear()
        USES[name](m, core)
        assert len(set(seen)) == 1, seen
        return seen[0]

    def fresh(key):  # an equal str that is not the interned name
        return "".join([key[:1], key[1:]])

    core.logging(False)
    m.py_zqi_set_data_callback(None)  # the bridge registered with the core
    if name != "CSDK_OPERATE_SUCCESS":
        m.CSDK_OPERATE_SUCCESS = 0
    ns, bns = m.__dict__, builtins.__dict__
    try:
        ns[name] = Probe("a", seen)
        assert used() == used() == "a"
        ns[fresh(name)] = Probe("b", seen)
        assert used() == "b"
        del ns[fresh(name)]
        bns[fresh(name)] = Probe("c", seen)  # the builtins are the fallback
        assert used() == used() == "c"
        bns[name] = Probe("d", seen)
        assert used() == "d"
        ns[name] = Probe("e", seen)  # the module namespace comes first
        assert used() == "e"
        ns.pop(name)
        assert used() == "d"
        bns.update({fresh(name): Probe("g", seen)})
        assert used() == "g"
        setattr(m, name, Probe("h", seen))
        assert used() == "h"
    finally:
        bns.pop(name, None)


class Text(str):
    def encode(self, codec):
        return b"<" + str.encode(self, codec) + b">"


@pytest.mark.parametrize("kind", ["module wrapper", "direct callable", "python function", "foreign builtin"])
def test_adapter_calls_each_kind_of_callee_alike(m, core, kind):
    seen = []
    callee = {"module wrapper": m.py_zqi_log, "direct callable": m.zqi_strerror,
              "python function": lambda *a, **k: seen.append((a, k)) or 0, "foreign builtin": len}[kind]
    ad = m.adapt_to_python3(callee)
    if kind == "module wrapper":
        assert ad("ab") == ad(b"ab") == ad(req=Text("ab")) == 0
        assert [c.args[0].data for c in core.calls()] == [b"ab", b"ab", b"<ab>"]
        with pytest.raises(TypeError, match=r"^py_zqi_log\(\) takes exactly 1 positional argument \(2 given\)$"):
            ad("a", "b")
    elif kind == "direct callable":
        assert ad(7) == ad(errorno=7.9) == m.zqi_strerror(7)
        with pytest.raises(TypeError):
            ad("7")  # encoded to bytes, then refused by the integer rule
    elif kind == "python function":
        args = ["s%d" % i for i in range(20)]
        assert ad(*args, 1, k="v", j=b"w") == 0
        assert seen == [(tuple(a.encode() for a in args) + (1,), {"k": b"v", "j": b"w"})]
    else:
        assert ad("abc") == 3
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            ad(obj="abc")


def test_adapter_encoding_failure_part_way_calls_nothing(m, core):
    ad = m.adapt_to_python3(m.py_zqi_place_order)
    for bad in range(3):
        args = ["ok"] * 3
        args[bad] = "\u00e9"
        with pytest.raises(UnicodeEncodeError):
            ad(*args)
    assert core.calls() == []
    assert ad("fine") == (0, b"fine")


class Bytes2(bytearray):
    pass


@pytest.mark.parametrize("kind", [bytearray, Bytes2])
def test_bytearray_pin_counts_with_other_exports(m, core, kind):
    ba = kind(b"abc")
    outcome = []

    def handler(t, d):
        try:
            ba.append(1)
            outcome.append("resized")
        except BufferError:
            outcome.append("refused")

    m.py_zqi_set_data_callback(handler)
    core.deliver_during("zqi_get_symbol_infos", 1)
    view = memoryview(ba)  # an export of the caller's own, held across the call
    core.queue_event(b"e", b"")
    assert m.py_zqi_get_symbol_infos(ba) == (0, b"abc")
    with pytest.raises(BufferError):
        ba.append(2)  # the caller's export is still there
    view.release()
    core.queue_event(b"e", b"")
    assert m.py_zqi_get_symbol_infos(req=ba) == (0, b"abc")
    ba.append(3)  # every pin released
    assert outcome == ["refused", "refused"] and ba == kind(b"abc\x03")
