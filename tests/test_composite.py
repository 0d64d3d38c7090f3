"""The reply calls whose arguments are not one request buffer (snapshot,
child orders, algo batch, accounts) and the smart reorder, against the
stand-in core library."""
import ctypes
import decimal
import fractions
import gc
import re
import sys

import pytest

from zq.csdk.standin import NEGATIVE_LENGTH, NULL_REPLY, Buffer

STAND_IN_REPLY = b"stand-in reply"


class Boom(Exception):
    pass


class BadTruth:
    def __bool__(self):
        raise Boom


class Falsy:
    def __len__(self):
        return 0


def bytes_addr(b):
    return ctypes.cast(ctypes.c_char_p(b), ctypes.c_void_p).value


def bytearray_addr(ba):
    view = (ctypes.c_char * bytearray.__len__(ba)).from_buffer(ba)
    addr = ctypes.addressof(view)
    del view
    return addr


def only_call(core, fn):
    calls = core.calls()
    assert [c.fn for c in calls] == [fn]
    return calls[0]


def exact(text):
    return "^" + re.escape(text) + "$"


# Each reply call with valid arguments, and the core function it reaches.
REPLY_CALLS = {
    "zqi_current_pb": lambda m: m.py_zqi_current(b"SHSE.600000", b"price", True),
    "zqi_get_child_orders_pb": lambda m: m.py_zqi_get_child_orders(b"acc", b"algo"),
    "zqi_algo_order_batch_pb": lambda m: m.py_zqi_algo_order_batch(b"req", b"TWAP", b"p=1"),
    "zqi_get_account_info_pb": lambda m: m.py_zqi_get_accounts(),
}
reply_ids = list(REPLY_CALLS)


# ---- the reply pair, shared by the four ------------------------------------------------

@pytest.mark.parametrize("core_fn", reply_ids)
def test_reply_pair(m, core, core_fn):
    call = REPLY_CALLS[core_fn]
    core.set_reply(core_fn, b"r\0p")
    result = call(m)
    assert type(result) is tuple and type(result[1]) is bytes and result == (0, b"r\0p")
    assert only_call(core, core_fn).out_null is True
    core.set_reply(core_fn, b"")
    assert call(m) == (0, b"")
    core.set_mode(core_fn, NULL_REPLY, 16)
    assert call(m) == (0, b"")
    core.set_mode(core_fn, NEGATIVE_LENGTH, -1)
    with pytest.raises(SystemError):
        call(m)
    for status in (-1, 1, -2**31, 2**31 - 1):
        core.set_status(core_fn, status)
        assert call(m) == (status, None)
    m.CSDK_OPERATE_SUCCESS = -1
    core.set_status(core_fn, -1)
    core.set_mode(core_fn, 0)
    assert call(m) == (-1, b"")
    assert core.call_count(core_fn) == 9


def test_no_reference_kept_or_lost(m, core):
    n = 3  # built at run time: no shared constants
    objs = [b"t" * n, bytearray(b"t" * n), "t" * n, 1.25 * n, [1] * n, memoryview(b"t" * n), "té" * n]
    calls = [lambda o: m.py_zqi_current(o, o, o), lambda o: m.py_zqi_get_child_orders(o, o),
             lambda o: m.py_zqi_algo_order_batch(o, o, o),
             lambda o: m.py_zqi_smart_reorder(o, o, 1, 1, 1, 1, 1, 1, 1, 1, o),
             lambda o: m.py_zqi_smart_reorder(b"s", 1.0, o, 1, 1, 1, 1, 1, 1, 1, b"a")]

    def one_round():
        for o in objs:
            for call in calls:
                try:
                    call(o)
                except (TypeError, UnicodeEncodeError):
                    pass

    core.logging(False)
    one_round()
    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(50):
        one_round()
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == before


@pytest.mark.parametrize("core_fn", reply_ids)
def test_failing_comparison_propagates(m, core, core_fn):
    class EqualRaises:
        def __eq__(self, other):
            raise Boom

    m.CSDK_OPERATE_SUCCESS = EqualRaises()
    with pytest.raises(Boom):
        REPLY_CALLS[core_fn](m)
    assert core.call_count(core_fn) == 1


WITH_SERV_ADDR = pytest.mark.parametrize("core_fn, call", list(REPLY_CALLS.items()) + [
    ("zqi_get_serv_addr", lambda m: m.py_zqi_get_serv_addr(b"trade"))], ids=reply_ids + ["zqi_get_serv_addr"])


class CallsCoreWhenCompared:
    """Equal to 0; its first comparison runs `call` (a call of the core)."""
    def __init__(self, call):
        self.call = call

    def __eq__(self, other):
        call, self.call = self.call, None
        if call:
            call()
        return other == 0

    def __ne__(self, other):
        return not self.__eq__(other)


@WITH_SERV_ADDR
def test_reply_copied_before_a_comparison_that_calls_the_core(m, core, core_fn, call):
    def again():  # the same function answers anew, in a larger buffer
        core.set_reply(core_fn, b"second" * 1000)
        call(m)

    core.set_reply(core_fn, b"first")
    m.CSDK_OPERATE_SUCCESS = CallsCoreWhenCompared(again)
    result = call(m)
    assert (result[1] if isinstance(result, tuple) else result) == b"first"
    assert core.call_count(core_fn) == 2


@WITH_SERV_ADDR
def test_missing_success_raises_before_the_core_call(m, core, core_fn, call):
    del m.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match=exact("name 'CSDK_OPERATE_SUCCESS' is not defined")):
        call(m)
    assert core.calls() == []


# ---- py_zqi_current --------------------------------------------------------------------

def test_current_passes_the_flag_second(m, core):
    symbols, fields = b"SHSE.600000,SZSE.000001", b""
    assert m.py_zqi_current(symbols, fields, False) == (0, STAND_IN_REPLY)
    call = only_call(core, "zqi_current_pb")
    assert call.args == [symbols, False, b""]
    assert call.text_ptrs == {0: bytes_addr(symbols), 2: bytes_addr(fields)}

    core.clear_log()
    sym, fl = bytearray(b"SHSE.1"), bytearray()
    sym_addr = bytearray_addr(sym)
    m.py_zqi_current(include_call_auction=1, fields=fl, symbols=sym)
    call = only_call(core, "zqi_current_pb")
    assert call.args == [b"SHSE.1", True, b""]
    assert call.text_ptrs[0] == sym_addr and call.text_ptrs[2] != 0

    core.clear_log()
    m.py_zqi_current("SHSE.2", "open,close", include_call_auction="yes")
    assert only_call(core, "zqi_current_pb").args == [b"SHSE.2", True, b"open,close"]


def test_current_texts_pinned_while_the_flag_is_converted(m, core):
    symbols, fields = bytearray(b"SHSE.600000"), bytearray()
    addr = bytearray_addr(symbols)
    refused = []

    class Flag:
        def __bool__(self):
            for ba in (symbols, fields):
                try:
                    ba.extend(b"," * 4096)
                except BufferError:
                    refused.append(ba)
            return True

    m.py_zqi_current(symbols, fields, Flag())
    call = only_call(core, "zqi_current_pb")
    assert call.args[:2] == [b"SHSE.600000", True] and call.text_ptrs[0] == addr
    assert refused[0] is symbols  # fields is converted after the flag: it may still change
    symbols.extend(b"!")  # released after the call


@pytest.mark.parametrize("flag, passed", [
    (True, True), (False, False), (1, True), (0, False), (None, False), ([], False), ([1], True),
    ("x", True), ("", False), (0.0, False), (-2, True), (b"", False), (Falsy(), False), (object(), True),
])
def test_current_flag_by_truth_value(m, core, flag, passed):
    m.py_zqi_current(b"s", b"f", flag)
    assert only_call(core, "zqi_current_pb").args[1] is passed


@pytest.mark.parametrize("symbols, fields, flag, error, text", [
    (1, 2, BadTruth(), TypeError, "expected bytes, int found"),          # symbols first
    (b"s", 2, BadTruth(), Boom, None),                                   # then the flag
    (b"s", 2.5, True, TypeError, "expected bytes, float found"),         # then fields
    (memoryview(b"s"), b"f", BadTruth(), TypeError, "expected bytes, memoryview found"),
    (1, "é", True, UnicodeEncodeError, None),                            # text is encoded before all
    ("é", 2, BadTruth(), UnicodeEncodeError, None),
])
def test_current_conversion_order(m, core, symbols, fields, flag, error, text):
    with pytest.raises(error, match=exact(text) if text else None):
        m.py_zqi_current(symbols, fields, flag)
    assert core.calls() == []


@pytest.mark.parametrize("name, args, kwargs, text", [
    ("py_zqi_current", (b"s", b"f"), {}, "takes exactly 3 positional arguments (2 given)"),
    ("py_zqi_current", (b"s", b"f", 1, 2), {}, "takes exactly 3 positional arguments (4 given)"),
    ("py_zqi_current", (b"s",), {"include_call_auction": 1}, "takes exactly 3 positional arguments (1 given)"),
    ("py_zqi_current", (b"s", b"f"), {"symbols": b"s"}, "takes exactly 3 positional arguments (2 given)"),
    ("py_zqi_current", (b"s", b"f", 1), {"flag": 1}, "got an unexpected keyword argument 'flag'"),
    ("py_zqi_current", (b"s", b"f", 1), {"symbols": b"s"}, "got multiple values for keyword argument 'symbols'"),
    ("py_zqi_get_child_orders", ("a",), {}, "takes exactly 2 positional arguments (1 given)"),
    ("py_zqi_get_child_orders", ("a", "b"), {"account": "c"}, "got an unexpected keyword argument 'account'"),
    ("py_zqi_algo_order_batch", (), {}, "takes exactly 3 positional arguments (0 given)"),
    ("py_zqi_algo_order_batch", (b"r", b"n", b"p"), {"req": b"r"}, "got multiple values for keyword argument 'req'"),
    ("py_zqi_get_accounts", (1,), {}, "takes no arguments (1 given)"),
    ("py_zqi_get_accounts", (), {"req": b""}, "takes no keyword arguments"),
    ("py_zqi_smart_reorder", ("s", 1.0, 1, 1, 1, 1, 1, 1, 1, 1), {},
     "takes exactly 11 positional arguments (10 given)"),
    ("py_zqi_smart_reorder_cancel", (), {}, "takes exactly 1 positional argument (0 given)"),
    ("py_zqi_smart_reorder_cancel", (1, 2), {}, "takes exactly 1 positional argument (2 given)"),
    ("py_zqi_smart_reorder_cancel", (), {"id": 1}, "takes exactly 1 positional argument (0 given)"),
    ("py_zqi_smart_reorder_cancel", (1,), {"id": 1}, "got an unexpected keyword argument 'id'"),
])
def test_binding_errors_name_the_function(m, core, name, args, kwargs, text):
    with pytest.raises(TypeError, match=exact(f"{name}() {text}")):
        getattr(m, name)(*args, **kwargs)
    assert core.calls() == []


# ---- py_zqi_get_child_orders -------------------------------------------------------------

def test_child_orders_text_and_bytes_alike(m, core):
    results = [m.py_zqi_get_child_orders("acc-1", "algo-9"),
               m.py_zqi_get_child_orders(b"acc-1", bytearray(b"algo-9")),
               m.py_zqi_get_child_orders(algo_id="algo-9", account_id=b"acc-1")]
    assert results == [(0, STAND_IN_REPLY)] * 3
    calls = core.calls()
    assert [c.args for c in calls] == [[b"acc-1", b"algo-9"]] * 3
    account = b"acc\0tail"
    core.clear_log()
    m.py_zqi_get_child_orders(account, bytearray())
    call = only_call(core, "zqi_get_child_orders_pb")
    assert call.args == [b"acc", b""]  # a text ends at its first NUL
    assert call.text_ptrs[0] == bytes_addr(account) and call.text_ptrs[1] != 0


@pytest.mark.parametrize("account_id, algo_id, error, text", [
    (1, memoryview(b"x"), TypeError, "expected bytes, int found"),
    (b"a", memoryview(b"x"), TypeError, "expected bytes, memoryview found"),
    (None, "é", UnicodeEncodeError, None),
])
def test_child_orders_conversion_order(m, core, account_id, algo_id, error, text):
    with pytest.raises(error, match=exact(text) if text else None):
        m.py_zqi_get_child_orders(account_id, algo_id)
    assert core.calls() == []


# ---- py_zqi_algo_order_batch --------------------------------------------------------------

def test_algo_order_batch_passes_request_and_texts(m, core):
    req = b"\0batch\0"
    assert m.py_zqi_algo_order_batch(req, b"TWAP", "p=1") == (0, req)
    call = only_call(core, "zqi_algo_order_batch_pb")
    assert call.args == [Buffer(bytes_addr(req), 7, req), b"TWAP", b"p=1"]

    core.clear_log()
    empty = bytearray()
    assert m.py_zqi_algo_order_batch(algo_params=bytearray(), algo_name="", req=empty) == (0, b"")
    buf, name, params = only_call(core, "zqi_algo_order_batch_pb").args
    assert buf.length == 0 and buf.ptr != 0 and name == params == b""

    core.clear_log()
    liar = type("Liar", (bytearray,), {"__len__": lambda self: 1000})(b"abc")
    m.py_zqi_algo_order_batch(liar, b"n", b"p")
    assert only_call(core, "zqi_algo_order_batch_pb").args[0] == Buffer(bytearray_addr(liar), 3, b"abc")


@pytest.mark.parametrize("req, algo_name, algo_params, error, text", [
    (5, 5, 5, TypeError, "object of type 'int' has no len()"),           # the length first
    (None, b"n", b"p", TypeError, "object of type 'NoneType' has no len()"),
    ([1], 5, 5, TypeError, "expected bytes, list found"),                 # then req
    (b"r", 2.5, 5, TypeError, "expected bytes, float found"),             # then algo_name
    (b"r", b"n", 5, TypeError, "expected bytes, int found"),              # then algo_params
    (5, 5, "é", UnicodeEncodeError, None),
])
def test_algo_order_batch_conversion_order(m, core, req, algo_name, algo_params, error, text):
    with pytest.raises(error, match=exact(text) if text else None):
        m.py_zqi_algo_order_batch(req, algo_name, algo_params)
    assert core.calls() == []


# ---- py_zqi_get_accounts -------------------------------------------------------------------

def test_get_accounts_is_a_pair_on_every_call(m, core):
    assert m.py_zqi_get_accounts.__name__ == "py_zqi_get_accounts"
    results = []
    for status in (0, -1, 0, 5):
        core.set_status("zqi_get_account_info_pb", status)
        results.append(m.py_zqi_get_accounts())
    assert results == [(0, STAND_IN_REPLY), (-1, None), (0, STAND_IN_REPLY), (5, None)]
    assert [c.args for c in core.calls()] == [[]] * 4


# ---- smart reorder ------------------------------------------------------------------------

ORDER = dict(symbol=b"SHSE.600000", price=10.5, volume=100, side=1, order_type=2, position_effect=3,
             repeat_n=4, max_price_offset=5, time_out=6, time_wait=7, account=b"acc")
PARAMS = list(ORDER)


def reorder(m, **changes):
    return m.py_zqi_smart_reorder(*{**ORDER, **changes}.values())


def test_smart_reorder_passes_arguments_in_order(m, core):
    assert m.py_zqi_smart_reorder(**dict(reversed(ORDER.items()))) == 0
    assert only_call(core, "zqi_smart_reorder").args == list(ORDER.values())
    core.clear_log()
    assert reorder(m, symbol="SZSE.1", account="a") == 0
    assert only_call(core, "zqi_smart_reorder").args[0::10] == [b"SZSE.1", b"a"]
    with pytest.raises(UnicodeEncodeError):
        reorder(m, symbol="股票")


@pytest.mark.parametrize("status", [0, 42, -1, -2**31])
def test_smart_reorder_returns_the_core_result_unchanged(m, core, status):
    del m.CSDK_OPERATE_SUCCESS  # not consulted
    core.set_status("zqi_smart_reorder", status)
    core.set_status("zqi_smart_reorder_cancel", status)
    assert reorder(m) == status
    assert m.py_zqi_smart_reorder_cancel(reorder_id=3) == status
    assert [c.args for c in core.calls()][1] == [3]


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize("value, passed", [
    (100.9, 100), (-100.9, -100), (True, 1), (False, 0), (2**31 - 1, 2**31 - 1), (-2**31, -2**31),
    (decimal.Decimal("7.9"), 7), (fractions.Fraction(9, 2), 4), (IntLike(-5), -5),
])
def test_smart_reorder_int_conversion(m, core, value, passed):
    for param in PARAMS[2:10]:
        core.clear_log()
        reorder(m, **{param: value})
        args = only_call(core, "zqi_smart_reorder").args
        assert args[PARAMS.index(param)] == passed and type(args[PARAMS.index(param)]) is int
    core.clear_log()
    m.py_zqi_smart_reorder_cancel(value)
    assert only_call(core, "zqi_smart_reorder_cancel").args == [passed]


@pytest.mark.parametrize("value, error, text", [
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    (2**64, OverflowError, None),
    (IntLike(2**31), OverflowError, "value too large to convert to int"),
    (float("inf"), OverflowError, None),
    (float("nan"), ValueError, None),
    (None, TypeError, "an integer is required"),
    ("5", TypeError, "an integer is required"),  # encoded to bytes first
    (IntLike("5"), TypeError, "__int__ returned non-int (type str)"),
    (IntLike(Boom), TypeError, "__int__ returned non-int (type type)"),
])
def test_smart_reorder_int_conversion_errors(m, core, value, error, text):
    for param in ("volume", "time_wait"):
        with pytest.raises(error, match=exact(text) if text else None):
            reorder(m, **{param: value})
    with pytest.raises(error, match=exact(text) if text else None):
        m.py_zqi_smart_reorder_cancel(value)
    assert core.calls() == []


@pytest.mark.parametrize("value, passed", [
    (10, 10.0), (True, 1.0), (-0.0, -0.0), (decimal.Decimal("1.25"), 1.25), (fractions.Fraction(1, 4), 0.25),
    (2**53 + 1, float(2**53 + 1)), (float("inf"), float("inf")),
])
def test_smart_reorder_price(m, core, value, passed):
    reorder(m, price=value)
    price = only_call(core, "zqi_smart_reorder").args[1]
    assert type(price) is float and price == passed


@pytest.mark.parametrize("value, error, text", [
    ("10", TypeError, "must be real number, not bytes"),  # encoded to bytes, then refused
    (None, TypeError, "must be real number, not NoneType"),
    (2**1024, OverflowError, "int too large to convert to float"),
])
def test_smart_reorder_price_errors(m, core, value, error, text):
    with pytest.raises(error, match=exact(text)):
        reorder(m, price=value)
    assert core.calls() == []


@pytest.mark.parametrize("changes, error, text", [
    (dict(symbol=1, price="x"), TypeError, "expected bytes, int found"),            # symbol first
    (dict(price=None, volume=None), TypeError, "must be real number, not NoneType"),  # price before volume
    (dict(volume=2**31, side=None), OverflowError, "value too large to convert to int"),
    (dict(time_wait=None, account=1), TypeError, "an integer is required"),          # account last
    (dict(account=memoryview(b"a")), TypeError, "expected bytes, memoryview found"),
    (dict(symbol=1, account="é"), UnicodeEncodeError, None),                          # text before all
])
def test_smart_reorder_conversion_order(m, core, changes, error, text):
    with pytest.raises(error, match=exact(text) if text else None):
        reorder(m, **changes)
    assert core.calls() == []


def test_smart_reorder_symbol_pinned_while_numbers_convert(m, core):
    symbol = bytearray(b"SHSE.600000")
    addr = bytearray_addr(symbol)
    refused = []

    class Volume:
        def __int__(self):
            try:
                symbol.clear()
            except BufferError:
                refused.append("clear")
            return 9

    reorder(m, symbol=symbol, volume=Volume())
    call = only_call(core, "zqi_smart_reorder")
    assert refused == ["clear"]
    assert call.args[0] == b"SHSE.600000" and call.text_ptrs[0] == addr and call.args[2] == 9
    symbol.clear()


def test_smart_reorder_cancel_minus_one(m, core):
    assert m.py_zqi_smart_reorder_cancel(-1) == 0
    assert only_call(core, "zqi_smart_reorder_cancel").args == [-1]
