"""Timers, back-test and mode settings, subscriptions, identity/server settings
and the message bus: what the core library receives for each argument."""
import pytest

from zq.csdk.standin import NULL_TEXT

INT_REQUIRED = "an integer is required"
TOO_LARGE = "value too large to convert to int"

CFG = (b"20240101", b"20241231", 1e6, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 1, 2, 3)
CFG_NAMES = ("start_time", "end_time", "initial_cash", "transaction_ratio", "commission_ratio", "commission_unit",
             "slippage_ratio", "option_float_margin_ratio1", "option_float_margin_ratio2", "adjust", "match_mode",
             "check_cache")


class Boom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class Subclass(bytes):
    pass


def only_call(core, fn):
    calls = core.calls()
    assert [c.fn for c in calls] == [fn]
    return calls[0]


# (wrapper, args, kwargs, core function, what the core received, result)
ONE_CALL = [
    ("py_zqi_schedule", (b"1d", b"09:30"), {}, "zqi_schedule", [b"1d", b"09:30"], 0),
    ("py_zqi_schedule", ("1d", "09:30"), {}, "zqi_schedule", [b"1d", b"09:30"], 0),
    ("py_zqi_schedule", (b"", bytearray()), {}, "zqi_schedule", [b"", b""], 0),
    ("py_zqi_schedule", (), {"time_rule": "t", "date_rule": "d"}, "zqi_schedule", [b"d", b"t"], 0),
    ("py_zqi_set_timer", (0,), {}, "zqi_set_timer", [0], None),
    ("py_zqi_set_timer", (-1,), {}, "zqi_set_timer", [-1], None),
    ("py_zqi_set_timer", (), {"interval": 2**31 - 1}, "zqi_set_timer", [2**31 - 1], None),
    ("py_zqi_user_timer", (1.9, -2.7), {}, "zqi_user_timer", [1, -2], 0),
    ("py_zqi_user_timer", (), {"start_delay": 5, "period": 7}, "zqi_user_timer", [7, 5], 0),
    ("py_zqi_user_timer", (True, IntLike(-2**31)), {}, "zqi_user_timer", [1, -2**31], 0),
    ("py_zqi_user_timer_stop", (3,), {}, "zqi_user_timer_stop", [3], None),
    ("py_zqi_set_backtest_intraday", (), {"req": 1}, "zqi_set_backtest_intraday", [1], None),
    ("py_zqi_set_backtest_intraday", (2.5,), {}, "zqi_set_backtest_intraday", [2], None),
    ("py_zqi_set_backtest_threadnum", (-1,), {}, "zqi_set_backtest_threadnum", [-1], None),
    ("py_zqi_set_max_wait_time", (), {"max_wait_time": 30}, "zqi_set_max_wait_time", [30], None),
    ("py_zqi_set_mode_consistency", (0.5,), {}, "zqi_set_mode_consistency", [False], None),
    ("py_zqi_set_mode_consistency", (2,), {}, "zqi_set_mode_consistency", [True], None),
    ("py_zqi_set_mode_consistency", (-1,), {}, "zqi_set_mode_consistency", [True], None),
    ("py_zqi_set_mode_consistency", (), {"mode": 0}, "zqi_set_mode_consistency", [False], None),
    ("py_zqi_set_mode_consistency", (2**32,), {}, "zqi_set_mode_consistency", None, OverflowError),
    ("py_zqi_subscribe", (b"", b"", False), {}, "zqi_subscribe", [b"", b"", False], 0),
    ("py_zqi_subscribe", ("SHSE.600000,SZSE.000001", "tick", True), {}, "zqi_subscribe",
     [b"SHSE.600000,SZSE.000001", b"tick", True], 0),
    ("py_zqi_subscribe", (bytearray(b"s"), Subclass(b"60s"), 0), {}, "zqi_subscribe", [b"s", b"60s", False], 0),
    ("py_zqi_subscribe", (b"a\0b", b"1d\0x", 1), {}, "zqi_subscribe", [b"a", b"1d", True], 0),
    ("py_zqi_subscribe", (), {"unsubscribe_previous": None, "frequency": "f", "symbols": "s"}, "zqi_subscribe",
     [b"s", b"f", False], 0),
    ("py_zqi_unsubscribe", (b"s", "1d"), {}, "zqi_unsubscribe", [b"s", b"1d"], 0),
    ("py_zqi_unsubscribe", (), {"frequency": b"f", "symbols": bytearray()}, "zqi_unsubscribe", [b"", b"f"], 0),
    # identity and servers
    ("py_zqi_set_token", (b"",), {}, "zqi_set_token", [b""], 0),
    ("py_zqi_set_token", ("tok",), {}, "zqi_set_token", [b"tok"], 0),
    ("py_zqi_set_apitoken", (), {"token": bytearray()}, "zqi_set_apitoken", [b""], None),
    ("py_zqi_set_serv_addr", ("127.0.0.1:7001",), {}, "zqi_set_serv_addr", [b"127.0.0.1:7001"], None),
    ("py_zqi_set_serv_addr", (b"host\0:1",), {}, "zqi_set_serv_addr", [b"host"], None),
    ("py_zqi_set_serv_addr_v5", (b"a", bytearray(b"o"), Subclass(b"s")), {}, "zqi_set_serv_addr_v5",
     [b"a", b"o", b"s"], None),
    ("py_zqi_set_serv_addr_v5", (), {"site_id": b"s", "addr": b"a", "orgcode": b"o"}, "zqi_set_serv_addr_v5",
     [b"a", b"o", b"s"], None),
    ("py_zqi_set_strategy_id", ("sid",), {}, "zqi_set_strategy_id", [b"sid"], None),
    ("py_zqi_set_account_id", (b"acc1,acc2",), {}, "zqi_set_account_id", [b"acc1,acc2"], None),
    ("py_zqi_set_account_id", (), {"account_ids": bytearray()}, "zqi_set_account_id", [b""], None),
    ("py_zqi_set_mfp", ("mfp",), {}, "zqi_set_mfp", [b"mfp"], None),
    ("py_zqi_set_version", ("3.0", b"python"), {}, "zqi_set_version", [b"3.0", b"python", None, None], None),
    ("py_zqi_set_version", (), {"sdk_lang": "py", "sdk_version": bytearray()}, "zqi_set_version",
     [b"", b"py", None, None], None),
    ("py_zqi_set_ctp_md_info", (), {"password": "p", "front_addresses": "tcp://f", "user_name": b"u"},
     "zqi_set_ctp_md_info", [b"tcp://f", b"u", b"p"], None),
    ("py_zqi_set_ctp_md_info", (b"f", bytearray(), b"p\0q"), {}, "zqi_set_ctp_md_info", [b"f", b"", b"p"], None),
    ("py_zqi_set_simtrade_only", (), {}, "zqi_set_simtrade_only", [], None),
    ("py_zqi_use_dsproxy", (), {}, "zqi_use_dsproxy", [], 0),
    ("py_zqi_get_encrypted_token", (), {}, "zqi_get_encrypted_token", [], b"standin-encrypted-token"),
    ("py_zqi_get_orgcode", (), {}, "zqi_get_orgcode", [], b"standin-org"),
    # the bus
    ("py_zqi_set_bus_info", (b"addr", "user", bytearray()), {}, "zqi_set_bus_info", [b"addr", b"user", b""], None),
    ("py_zqi_set_bus_info", (), {"password": "p", "user_name": "u", "server_addr": "s"}, "zqi_set_bus_info",
     [b"s", b"u", b"p"], None),
    ("py_zqi_set_bus_secure", (1.0, "ca", b"cert", bytearray(b"key"), None), {}, "zqi_set_bus_secure",
     [1, b"ca", b"cert", b"key", False], None),
    ("py_zqi_set_bus_secure", (-3, b"", b"", b"", [0]), {}, "zqi_set_bus_secure", [-3, b"", b"", b"", True], None),
    ("py_zqi_set_bus_secure", (), {"skip_verify": "", "tlskey": "k", "tlscert": "c", "tlsca": "a", "in_mode": True},
     "zqi_set_bus_secure", [1, b"a", b"c", b"k", False], None),
    ("py_zqi_add_bus_topic", ("topic",), {}, "zqi_add_bus_topic", [b"topic"], None),
    ("py_zqi_send_msg_to_bus", ("t", "hello"), {}, "zqi_send_msg_to_bus", [b"t", b"hello"], 0),
    ("py_zqi_send_msg_to_bus", (), {"msg": b"he\0llo", "topic": bytearray(b"t")}, "zqi_send_msg_to_bus",
     [b"t", b"he"], 0),
]


@pytest.mark.parametrize("name, args, kwargs, core_fn, received, result", ONE_CALL)
def test_one_core_call(m, core, name, args, kwargs, core_fn, received, result):
    if isinstance(result, type):
        with pytest.raises(result):
            getattr(m, name)(*args, **kwargs)
        assert core.calls() == []
        return
    assert getattr(m, name)(*args, **kwargs) == result
    call = only_call(core, core_fn)
    assert call.args == received
    assert all(type(a) is type(b) for a, b in zip(call.args, received))


@pytest.mark.parametrize("name, core_fn, args", [
    ("py_zqi_schedule", "zqi_schedule", (b"d", b"t")),
    ("py_zqi_user_timer", "zqi_user_timer", (1, 2)),
    ("py_zqi_set_backtest_config", "zqi_set_backtest_config", CFG),
    ("py_zqi_subscribe", "zqi_subscribe", (b"s", b"f", True)),
    ("py_zqi_unsubscribe", "zqi_unsubscribe", (b"s", b"f")),
    ("py_zqi_set_token", "zqi_set_token", (b"t",)),
    ("py_zqi_use_dsproxy", "zqi_use_dsproxy", ()),
    ("py_zqi_send_msg_to_bus", "zqi_send_msg_to_bus", (b"t", b"m")),
])
@pytest.mark.parametrize("status", [-1, 7, -2**31])
def test_status_returned_unchanged(m, core, name, core_fn, args, status):
    core.set_status(core_fn, status)
    m.CSDK_OPERATE_SUCCESS = status  # never compared
    assert getattr(m, name)(*args) == status


def test_texts_passed_in_place(m, core):
    token = b"in-place-token"
    buf = bytearray(b"in-place-array")
    m.py_zqi_set_token(token)
    m.py_zqi_set_mfp(buf)
    t, b = core.calls()
    assert t.args == [token] and b.args == [bytes(buf)]
    assert t.text_ptrs[0] == id(token) + bytes.__basicsize__ - 1
    assert b.text_ptrs[0] != 0


# ---- conversion failures: raised before the core library is called ----------------

# (wrapper, args, exception, exact text or None)
REFUSED = [
    ("py_zqi_user_timer", (2**31, 0), OverflowError, TOO_LARGE),
    ("py_zqi_user_timer", (0, -2**31 - 1), OverflowError, TOO_LARGE),
    ("py_zqi_user_timer", (2**70, 0), OverflowError, None),  # past 64 bits: the interpreter's own text
    ("py_zqi_user_timer", (-2**70, 0), OverflowError, None),
    ("py_zqi_user_timer", (IntLike(2**40), 0), OverflowError, TOO_LARGE),
    ("py_zqi_user_timer", (float("inf"), 0), OverflowError, None),
    ("py_zqi_user_timer", (float("nan"), 0), ValueError, None),
    ("py_zqi_user_timer", (IntLike("1"), 0), TypeError, None),
    ("py_zqi_user_timer", ("1", 2**31), TypeError, INT_REQUIRED),  # first bad one decides
    ("py_zqi_user_timer", (0, None), TypeError, INT_REQUIRED),
    ("py_zqi_user_timer_stop", ("1",), TypeError, INT_REQUIRED),
    ("py_zqi_set_timer", ("1",), TypeError, INT_REQUIRED),
    ("py_zqi_set_timer", (b"1",), TypeError, INT_REQUIRED),
    ("py_zqi_set_timer", (2**31,), OverflowError, TOO_LARGE),
    ("py_zqi_set_backtest_intraday", ("1",), TypeError, INT_REQUIRED),
    ("py_zqi_set_backtest_threadnum", ([],), TypeError, INT_REQUIRED),
    ("py_zqi_set_max_wait_time", (-2**31 - 1,), OverflowError, TOO_LARGE),
    ("py_zqi_set_mode_consistency", (2**40,), OverflowError, TOO_LARGE),
    ("py_zqi_set_mode_consistency", ("1",), TypeError, INT_REQUIRED),
    ("py_zqi_set_mode_consistency", (None,), TypeError, INT_REQUIRED),
    ("py_zqi_schedule", (b"d", 1), TypeError, None),
    ("py_zqi_schedule", (None, b"t"), TypeError, None),
    ("py_zqi_schedule", ("é", 1), UnicodeEncodeError, None),
    ("py_zqi_subscribe", (1, b"f", True), TypeError, None),
    ("py_zqi_subscribe", (b"s", b"f", BadBool()), Boom, None),
    ("py_zqi_subscribe", (b"s", 1, BadBool()), TypeError, None),
    ("py_zqi_subscribe", (memoryview(b"s"), b"f", True), TypeError, None),
    ("py_zqi_unsubscribe", ("s", "1日"), UnicodeEncodeError, None),
    ("py_zqi_set_token", (None,), TypeError, None),
    ("py_zqi_set_token", ("tök",), UnicodeEncodeError, None),
    ("py_zqi_set_apitoken", (1,), TypeError, None),
    ("py_zqi_set_serv_addr", ("主机",), UnicodeEncodeError, None),
    ("py_zqi_set_account_id", ("acc",), TypeError, None),
    ("py_zqi_set_account_id", (None,), TypeError, None),
    ("py_zqi_set_serv_addr_v5", ("a", b"o", b"s"), TypeError, None),
    ("py_zqi_set_serv_addr_v5", (b"a", b"o", "s"), TypeError, None),
    ("py_zqi_set_strategy_id", (None,), TypeError, None),
    ("py_zqi_set_mfp", ("ü",), UnicodeEncodeError, None),
    ("py_zqi_set_version", (b"v", None), TypeError, None),
    ("py_zqi_set_version", ("v", "ł"), UnicodeEncodeError, None),
    ("py_zqi_set_ctp_md_info", (b"f", b"u", None), TypeError, None),
    ("py_zqi_get_serv_addr", (None,), TypeError, None),
    ("py_zqi_get_serv_addr", ("sérv",), UnicodeEncodeError, None),
    ("py_zqi_set_bus_info", (b"s", None, b"p"), TypeError, None),
    ("py_zqi_set_bus_secure", ("1", b"a", b"c", b"k", True), TypeError, INT_REQUIRED),
    ("py_zqi_set_bus_secure", (2**31, None, b"c", b"k", BadBool()), OverflowError, TOO_LARGE),
    ("py_zqi_set_bus_secure", (1, b"a", None, b"k", BadBool()), TypeError, None),
    ("py_zqi_set_bus_secure", (1, b"a", b"c", b"k", BadBool()), Boom, None),
    ("py_zqi_add_bus_topic", (None,), TypeError, None),
    ("py_zqi_send_msg_to_bus", (b"t", "メッセージ"), UnicodeEncodeError, None),
    ("py_zqi_send_msg_to_bus", (b"t", 5), TypeError, None),
]


@pytest.mark.parametrize("name, args, exc, text", REFUSED)
def test_refused_without_core_call(m, core, name, args, exc, text):
    with pytest.raises(exc) as e:
        getattr(m, name)(*args)
    if text is not None:
        assert str(e.value) == text
    assert core.calls() == []


@pytest.mark.parametrize("name, args, kwargs", [
    ("py_zqi_set_simtrade_only", (1,), {}),
    ("py_zqi_use_dsproxy", (1,), {}),
    ("py_zqi_use_dsproxy", (), {"x": 1}),
    ("py_zqi_get_encrypted_token", (b"",), {}),
    ("py_zqi_get_orgcode", (), {"a": "b"}),
    ("py_zqi_set_timer", (), {}),
    ("py_zqi_set_timer", (1, 2), {}),
    ("py_zqi_user_timer", (1,), {}),
    ("py_zqi_user_timer", (1, 2), {"period": 1}),
    ("py_zqi_set_backtest_intraday", (), {"intraday": 1}),
    ("py_zqi_set_mode_consistency", (), {"mode_": 1}),
    ("py_zqi_subscribe", (b"s", b"f"), {}),
    ("py_zqi_unsubscribe", (b"s", b"f", True), {}),
    ("py_zqi_set_version", (b"v",), {}),
    ("py_zqi_set_version", (b"v", b"l", None, None), {}),
    ("py_zqi_set_serv_addr_v5", (b"a", b"o"), {"orgcode": b"o", "site_id": b"s"}),
    ("py_zqi_get_serv_addr", (), {"servid": b"x"}),
    ("py_zqi_set_bus_secure", (1, b"a", b"c", b"k"), {}),
    ("py_zqi_send_msg_to_bus", (b"t",), {"message": b"m"}),
    ("py_zqi_set_backtest_config", CFG[:11], {}),
    ("py_zqi_set_backtest_config", CFG + (0,), {}),
])
def test_binding_errors(m, core, name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(m, name)(*args, **kwargs)
    assert core.calls() == []


@pytest.mark.parametrize("name", ["py_zqi_set_simtrade_only", "py_zqi_use_dsproxy"])
def test_parameterless_texts(m, core, name):
    with pytest.raises(TypeError) as e:
        getattr(m, name)(1)
    assert str(e.value) == f"{name}() takes no arguments (1 given)"
    with pytest.raises(TypeError) as e:
        getattr(m, name)(x=1)
    assert str(e.value) == f"{name}() takes no keyword arguments"


# ---- back-test configuration ---------------------------------------------------------

def test_backtest_config_order(m, core):
    assert m.py_zqi_set_backtest_config(*CFG) == 0
    call = only_call(core, "zqi_set_backtest_config")
    assert call.args == list(CFG)
    assert [type(a) for a in call.args] == [bytes] * 2 + [float] * 7 + [int] * 3


def test_backtest_config_keywords_reversed(m, core):
    kwargs = dict(reversed(list(zip(CFG_NAMES, CFG))))
    m.py_zqi_set_backtest_config(**kwargs)
    assert only_call(core, "zqi_set_backtest_config").args == list(CFG)


@pytest.mark.parametrize("pos, value, received", [
    (0, "2024-01-01", b"2024-01-01"),
    (1, bytearray(), b""),
    (1, b"2024\x0012", b"2024"),
    (2, 100, 100.0),
    (2, True, 1.0),
    (3, IntLike(3), None),  # __int__ only: no float conversion
    (8, -0.0, -0.0),
    (9, 2.9, 2),
    (10, -1, -1),
    (11, True, 1),
    (11, 2, 2),
    (11, 2**31 - 1, 2**31 - 1),
])
def test_backtest_config_conversions(m, core, pos, value, received):
    args = list(CFG)
    args[pos] = value
    if received is None:
        with pytest.raises(TypeError):
            m.py_zqi_set_backtest_config(*args)
        assert core.calls() == []
        return
    m.py_zqi_set_backtest_config(*args)
    got = only_call(core, "zqi_set_backtest_config").args
    assert got[pos] == received and type(got[pos]) is type(received)
    assert got[:pos] + got[pos + 1:] == list(CFG[:pos] + CFG[pos + 1:])


@pytest.mark.parametrize("bad, exc", [
    ({0: 1, 2: "x"}, TypeError),  # start_time first
    ({2: "100", 9: 2**31}, TypeError),  # str in a floating position, after adaptation
    ({3: None, 11: "x"}, TypeError),
    ({9: 2**31, 10: "x"}, OverflowError),
    ({10: "1", 11: 2**31}, TypeError),
    ({11: 2**40}, OverflowError),
    ({1: "é", 0: 5}, UnicodeEncodeError),  # the adapter runs before the body
])
def test_backtest_config_first_bad_argument_decides(m, core, bad, exc):
    args = list(CFG)
    for pos, value in bad.items():
        args[pos] = value
    with pytest.raises(exc):
        m.py_zqi_set_backtest_config(*args)
    assert core.calls() == []


def test_backtest_config_float_conversion_error_propagates(m, core):
    class BadFloat:
        def __float__(self):
            raise Boom

    args = list(CFG)
    args[4] = BadFloat()
    with pytest.raises(Boom):
        m.py_zqi_set_backtest_config(*args)
    assert core.calls() == []


# ---- server address --------------------------------------------------------------------

@pytest.mark.parametrize("status, success, mode, result", [
    (0, 0, None, b"127.0.0.1:7001"),
    (-5, 0, None, None),
    (0, 1, None, None),
    (3, 3, None, b"127.0.0.1:7001"),
    (0, 0, NULL_TEXT, b""),
    (-1, 0, NULL_TEXT, None),
])
def test_get_serv_addr(m, core, status, success, mode, result):
    core.set_status("zqi_get_serv_addr", status)
    if mode is not None:
        core.set_mode("zqi_get_serv_addr", mode)
    m.CSDK_OPERATE_SUCCESS = success
    assert m.py_zqi_get_serv_addr("md") == result
    call = only_call(core, "zqi_get_serv_addr")
    assert call.args == [b"md"] and call.out_null is True


def test_get_serv_addr_scripted_text(m, core):
    core.set_reply("zqi_get_serv_addr", b"")
    assert m.py_zqi_get_serv_addr(serv_id=bytearray(b"x")) == b""
    core.set_reply("zqi_get_serv_addr", b"10.0.0.1:9\0tail")
    assert m.py_zqi_get_serv_addr(b"x") == b"10.0.0.1:9"


def test_get_serv_addr_compares_with_ne(m, core):
    class NeOnly:
        def __ne__(self, other):
            return other != 42

        def __eq__(self, other):
            raise AssertionError("== used")

    core.set_status("zqi_get_serv_addr", 42)
    m.CSDK_OPERATE_SUCCESS = NeOnly()
    assert m.py_zqi_get_serv_addr(b"x") == b"127.0.0.1:7001"
    core.set_status("zqi_get_serv_addr", 0)
    assert m.py_zqi_get_serv_addr(b"x") is None


def test_get_serv_addr_missing_success_name(m, core):
    del m.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError):
        m.py_zqi_get_serv_addr(b"x")


@pytest.mark.parametrize("name, core_fn", [("py_zqi_get_encrypted_token", "zqi_get_encrypted_token"),
                                           ("py_zqi_get_orgcode", "zqi_get_orgcode")])
def test_text_results(m, core, name, core_fn):
    core.set_reply(core_fn, "机构".encode())
    assert getattr(m, name)() == "机构".encode()
    core.set_reply(core_fn, b"")
    assert getattr(m, name)() == b""
    core.set_mode(core_fn, NULL_TEXT)
    assert getattr(m, name)() == b""


ADAPTED = ["py_zqi_schedule", "py_zqi_user_timer", "py_zqi_user_timer_stop", "py_zqi_set_backtest_config",
           "py_zqi_set_backtest_intraday", "py_zqi_set_mode_consistency", "py_zqi_subscribe", "py_zqi_unsubscribe",
           "py_zqi_set_token", "py_zqi_set_apitoken", "py_zqi_set_serv_addr", "py_zqi_get_serv_addr",
           "py_zqi_set_strategy_id", "py_zqi_set_mfp", "py_zqi_set_version", "py_zqi_set_ctp_md_info",
           "py_zqi_get_encrypted_token", "py_zqi_get_orgcode", "py_zqi_set_bus_info", "py_zqi_set_bus_secure",
           "py_zqi_add_bus_topic", "py_zqi_send_msg_to_bus"]
PLAIN = ["py_zqi_set_timer", "py_zqi_set_backtest_threadnum", "py_zqi_set_max_wait_time", "py_zqi_set_serv_addr_v5",
         "py_zqi_set_account_id", "py_zqi_set_simtrade_only", "py_zqi_use_dsproxy"]


@pytest.mark.parametrize("name", ADAPTED + PLAIN)
def test_bound_through_adapter_or_not(m, name):
    assert (getattr(m, name).__name__ == "wrapper") == (name in ADAPTED)


@pytest.mark.parametrize("name, args", [
    ("zqi_set_bus_info", ("s", b"u", b"p")),
    ("zqi_set_bus_secure", (1, b"a", "c", b"k", False)),
    ("zqi_add_bus_topic", ("t",)),
    ("zqi_send_msg_to_bus", (b"t", "m")),
])
def test_direct_bus_callables_take_no_str(m, core, name, args):
    with pytest.raises(TypeError):
        getattr(m, name)(*args)
    assert core.calls() == []


def test_bytearray_text_cannot_be_resized_by_a_handler_during_the_call(m, core):
    buf = bytearray(b"topic-one")
    errors = []

    def handler(t, d):
        try:
            buf.extend(b"x" * 4096)
        except BufferError as e:
            errors.append(e)

    m.py_zqi_set_data_callback(handler)
    core.deliver_during("zqi_add_bus_topic")
    core.queue_event(b"e", b"")
    m.py_zqi_add_bus_topic(buf)
    assert len(errors) == 1
    assert [c.args for c in core.calls() if c.fn == "zqi_add_bus_topic"] == [[b"topic-one"]]
    buf.extend(b"!")  # released after the call
    assert buf == b"topic-one!"


@pytest.mark.parametrize("name, args", [
    ("py_zqi_set_bus_info", (b"s", None, b"p")),
    ("py_zqi_set_bus_secure", ("1", b"a", b"c", b"k", True)),
    ("py_zqi_set_bus_secure", (1, b"a", b"c", b"k", BadBool())),
    ("py_zqi_add_bus_topic", (1,)),
    ("py_zqi_send_msg_to_bus", (b"t", None)),
    ("py_zqi_user_timer", (2**31, 0)),
])
def test_conversion_error_traceback_names_the_function(m, core, name, args):
    import traceback
    codes = []
    for _ in range(2):
        with pytest.raises(Exception) as e:
            getattr(m, name)(*args)
        assert [f.name for f in traceback.extract_tb(e.value.__traceback__)][1] == name
        codes.append(e.value.__traceback__.tb_next.tb_frame.f_code)
    # One entry per function, not one per failure: the free-threaded 3.13
    # never frees a code object made once a second thread has run.
    assert codes[0] is codes[1] and codes[0].co_filename == "c_sdk"
