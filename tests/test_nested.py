"""Nested-call stress: events whose handlers call wrappers that deliver events.

The stand-in delivers one queued event during each call of several core
functions, so a handler that calls one of their wrappers receives the next
event one level deeper, and so on down a chain of 60 levels; zqi_run delivers
whatever a chain leaves.  Each level lends a bytearray request to the core and
tries to resize the ones its callers lent (refused with BufferError while the
core holds them).  Variants raise on every other event or replace c_sdk.f in
the middle of a chain.  Invariant: every queued event reaches a handler
exactly once, in queue order, and every nested call returns its own reply.
"""
import sys

import pytest

from reliability.values import Boom

EVENTS = 240
DEPTH = 60

# Wrappers whose core function delivers one event per call, what each returns
# for the bytearray `req`, and whether it lends `req` to the core.
NESTING = [
    ("zqi_place_order_pb", lambda m, req: m.py_zqi_place_order(req), lambda req: (0, bytes(req)), True),
    ("zqi_get_orders_pb", lambda m, req: m.py_zqi_get_orders(req=req), lambda req: (0, bytes(req)), True),
    ("zqi_algo_order_batch_pb", lambda m, req: m.py_zqi_algo_order_batch(req, b"twap", bytearray(b"p")),
     lambda req: (0, bytes(req)), True),
    ("zqi_current_pb", lambda m, req: m.py_zqi_current(req, b"f", True), lambda req: (0, b"stand-in reply"), True),
    ("zqi_log_pb", lambda m, req: m.py_zqi_log(req), lambda req: 0, True),
    ("zqi_set_timer", lambda m, req: m.py_zqi_set_timer(len(req)), lambda req: None, False),
    ("zqi_poll", lambda m, req: m.zqi_poll(), lambda req: 0, False),
]


class Chain:
    """The handler side of the stress run: records, nests, checks, resizes."""

    def __init__(self, m, raise_every_other=False, replace_at=None):
        self.m = m
        self.raise_every_other = raise_every_other
        self.replace_at = replace_at
        self.seen = {"first": [], "second": []}
        self.depth = 0
        self.max_depth = 0
        self.held = []          # per call below us: its bytearray while lent to the core, else None
        self.refused = 0
        self.resized = []       # lent bytearrays that could be resized: must stay empty
        self.wrong_replies = []

    def handler(self, name):
        def handle(msg_type, data):
            i = int(data)
            assert msg_type == "ev"
            self.seen[name].append(i)
            if self.replace_at is not None and i == self.replace_at:
                self.m.f = self.handler("second")
            for ba in filter(None, self.held):
                for resize in (lambda: ba.extend(b"more"), lambda: ba.__delitem__(slice(0, 1))):
                    try:
                        resize()
                    except BufferError:
                        self.refused += 1
                    else:
                        self.resized.append(i)
            if self.depth < DEPTH:
                _, call, expected, lends = NESTING[i % len(NESTING)]
                req = bytearray(b"req-%d" % i)
                self.held.append(req if lends else None)
                self.depth += 1
                self.max_depth = max(self.max_depth, self.depth)
                try:
                    result = call(self.m, req)
                finally:
                    self.depth -= 1
                    self.held.pop()
                if result != expected(req):
                    self.wrong_replies.append((i, result))
                req.extend(b"!")  # no longer lent: resizable again
            if self.raise_every_other and i % 2:
                raise Boom(i)
        return handle


@pytest.fixture
def unraisable(monkeypatch):
    caught = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: caught.append(u.exc_value))
    monkeypatch.setattr(sys, "excepthook", lambda *a: None)
    return caught


@pytest.mark.parametrize("variant", ["plain", "raise every other", "replace f mid-chain"])
def test_deep_nesting_loses_nothing(m, core, unraisable, variant):
    chain = Chain(m, raise_every_other=variant == "raise every other",
                  replace_at=EVENTS // 3 + 7 if variant == "replace f mid-chain" else None)
    for fn, *_ in NESTING:
        core.deliver_during(fn, 1)
    for i in range(EVENTS):
        core.queue_event(b"ev", b"%d" % i)
    m.py_zqi_set_data_callback(chain.handler("first"))

    assert m.py_zqi_run() == 0

    order = chain.seen["first"] + chain.seen["second"]
    assert order == list(range(EVENTS))
    assert core.queue_size() == 0
    assert chain.max_depth >= 50
    assert chain.wrong_replies == []
    assert chain.resized == [] and chain.refused > EVENTS  # tried at every depth, always refused
    if variant == "replace f mid-chain":
        assert chain.seen["first"] == list(range(chain.replace_at + 1))
    if variant == "raise every other":
        # reported as each handler returns: the deepest of a chain first
        assert sorted(e.args[0] for e in unraisable) == list(range(1, EVENTS, 2))
    else:
        assert unraisable == []
    # Every request reached the core as it was lent, unresized.
    for c in core.calls():
        if c.fn in ("zqi_place_order_pb", "zqi_get_orders_pb", "zqi_log_pb", "zqi_algo_order_batch_pb"):
            assert c.args[0].data.startswith(b"req-") and not c.args[0].data.endswith(b"!")


@pytest.mark.parametrize("fn, call", [(fn, call) for fn, call, *_ in NESTING if fn != "zqi_poll"])
def test_nesting_during_each_call_alone(m, core, fn, call):
    """One delivering function at a time: its own call nests as deep as the chain."""
    seen = []

    def handle(t, d):
        seen.append(int(d))
        if len(seen) < DEPTH:
            call(m, bytearray(b"r%d" % len(seen)))

    core.deliver_during(fn, 1)
    for i in range(DEPTH + 5):
        core.queue_event(b"ev", b"%d" % i)
    m.py_zqi_set_data_callback(handle)
    call(m, bytearray(b"outer"))          # delivers event 0, which nests DEPTH - 1 levels deeper
    assert seen == list(range(DEPTH))
    assert m.py_zqi_run() == 0            # the rest, at top level
    assert seen == list(range(DEPTH + 5))


def test_held_bytearray_is_released_when_nested_call_raises(m, core, unraisable):
    """A handler that raises while an outer request is lent leaves it resizable afterwards."""
    held = bytearray(b"outer")

    def handle(t, d):
        with pytest.raises(BufferError):
            held.append(1)
        raise Boom

    core.deliver_during("zqi_place_order_pb", -1)
    for _ in range(3):
        core.queue_event(b"ev", b"")
    m.py_zqi_set_data_callback(handle)
    assert m.py_zqi_place_order(held) == (0, b"outer")
    assert len(unraisable) == 3
    held.append(1)
    assert held == b"outer\x01"
