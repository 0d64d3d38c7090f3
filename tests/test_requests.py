"""The two request families: one serialized request in, the reply pair (or a
bare status) out, against the stand-in core library."""
import builtins
import ctypes
import gc
import re
import sys

import pytest

from zq.csdk.standin import NEGATIVE_LENGTH, NULL_REPLY, Buffer

ADAPTED, PLAIN = True, False

# Python name, the core function it calls, bound through adapt_to_python3?
# In definition order; py_zqi_stk_active_stock_top10_shszhk_info is defined
# twice but is one name.
REPLY_MEMBERS = [
    ("py_zqi_current_price", "zqi_current_price_pb", ADAPTED),
    ("py_zqi_place_order", "zqi_place_order_pb", ADAPTED),
    ("py_zqi_last_tick", "zqi_last_tick_pb", ADAPTED),
    ("py_zqi_get_unfinished_orders", "zqi_get_unfinished_orders_pb", ADAPTED),
    ("py_zqi_get_orders", "zqi_get_orders_pb", ADAPTED),
    ("py_zqi_close_all_positions", "zqi_close_all_positions_pb", ADAPTED),
    ("py_zqi_get_execution_reports", "zqi_get_execution_reports_pb", ADAPTED),
    ("py_zqi_get_cash", "zqi_get_cash_pb", ADAPTED),
    ("py_zqi_get_positions", "zqi_get_positions_pb", ADAPTED),
    ("py_zqi_get_account_status", "zqi_get_account_status_pb", ADAPTED),
    ("py_zqi_raw_func", "zqi_raw_func_pb", ADAPTED),
    ("py_zqi_repay_cash_directly_pb", "zqi_repay_cash_directly_pb", ADAPTED),
    ("py_zqi_get_collateral_instruments_pb", "zqi_get_collateral_instruments_pb", ADAPTED),
    ("py_zqi_get_borrowable_instruments_pb", "zqi_get_borrowable_instruments_pb", ADAPTED),
    ("py_zqi_get_borrowable_instruments_positions_pb", "zqi_get_borrowable_instruments_positions_pb", ADAPTED),
    ("py_zqi_get_credit_contracts_pb", "zqi_get_credit_contracts_pb", ADAPTED),
    ("py_zqi_get_credit_cash_pb", "zqi_get_credit_cash_pb", ADAPTED),
    ("py_zqi_get_ipo_quota_pb", "zqi_get_ipo_quota_pb", ADAPTED),
    ("py_zqi_get_ipo_instruments_pb", "zqi_get_ipo_instruments_pb", ADAPTED),
    ("py_zqi_get_ipo_match_number_pb", "zqi_get_ipo_match_number_pb", ADAPTED),
    ("py_zqi_get_ipo_lot_info_pb", "zqi_get_ipo_lot_info_pb", ADAPTED),
    ("py_zqi_get_parameters", "zqi_get_parameters_pb", PLAIN),
    ("py_zqi_history_ticks_l2", "zqi_history_ticks_l2_pb", ADAPTED),
    ("py_zqi_history_bars_l2", "zqi_history_bars_l2_pb", ADAPTED),
    ("py_zqi_history_transaction_l2", "zqi_history_transaction_l2_pb", ADAPTED),
    ("py_zqi_place_algo_orders", "zqi_place_algo_orders_pb", ADAPTED),
    ("py_zqi_get_algo_orders", "zqi_get_algo_orders_pb", ADAPTED),
    ("py_zqi_history_order_l2", "zqi_history_order_l2_pb", ADAPTED),
    ("py_zqi_history_order_queue_l2", "zqi_history_order_queue_l2_pb", ADAPTED),
    ("py_zqi_get_entrustable_volume_by_symbol_pb", "zqi_get_entrustable_volume_by_symbol_pb", ADAPTED),
    ("py_zqi_get_symbol_infos", "zqi_get_symbol_infos", PLAIN),
    ("py_zqi_get_symbols_v2", "zqi_get_symbols_v2", PLAIN),
    ("py_zqi_get_history_symbol", "zqi_get_history_symbol", PLAIN),
    ("py_zqi_get_trading_session", "zqi_get_trading_session", PLAIN),
    ("py_zqi_get_contract_expire_rest_days", "zqi_get_contract_expire_rest_days", PLAIN),
    ("py_zqi_stk_get_industry_category", "zqi_stk_get_industry_category", PLAIN),
    ("py_zqi_stk_get_industry_constituents", "zqi_stk_get_industry_constituents", PLAIN),
    ("py_zqi_stk_get_symbol_industry", "zqi_stk_get_symbol_industry", PLAIN),
    ("py_zqi_stk_get_sector_category", "zqi_stk_get_sector_category", PLAIN),
    ("py_zqi_stk_get_sector_constituents", "zqi_stk_get_sector_constituents", PLAIN),
    ("py_zqi_stk_get_symbol_sector", "zqi_stk_get_symbol_sector", PLAIN),
    ("py_zqi_stk_get_index_constituents", "zqi_stk_get_index_constituents", PLAIN),
    ("py_zqi_stk_get_index_history_constituents", "zqi_stk_get_index_history_constituents", PLAIN),
    ("py_zqi_stk_get_dividend", "zqi_stk_get_dividend", PLAIN),
    ("py_stk_get_ration", "stk_get_ration", PLAIN),
    ("py_zqi_stk_get_adj_factor", "zqi_stk_get_adj_factor", PLAIN),
    ("py_zqi_stk_get_shareholder_num", "zqi_stk_get_shareholder_num", PLAIN),
    ("py_zqi_stk_get_top_shareholder", "zqi_stk_get_top_shareholder", PLAIN),
    ("py_zqi_stk_get_share_change", "zqi_stk_get_share_change", PLAIN),
    ("py_zqi_stk_get_fundamentals_balance", "zqi_stk_get_fundamentals_balance", PLAIN),
    ("py_zqi_stk_get_fundamentals_balance_pt", "zqi_stk_get_fundamentals_balance_pt", PLAIN),
    ("py_zqi_stk_get_fundamentals_cashflow", "zqi_stk_get_fundamentals_cashflow", PLAIN),
    ("py_zqi_stk_get_fundamentals_cashflow_pt", "zqi_stk_get_fundamentals_cashflow_pt", PLAIN),
    ("py_zqi_stk_get_fundamentals_income", "zqi_stk_get_fundamentals_income", PLAIN),
    ("py_zqi_stk_get_fundamentals_income_pt", "zqi_stk_get_fundamentals_income_pt", PLAIN),
    ("py_zqi_stk_get_finance_prime", "zqi_stk_get_finance_prime", PLAIN),
    ("py_zqi_stk_get_finance_prime_pt", "zqi_stk_get_finance_prime_pt", PLAIN),
    ("py_zqi_stk_get_finance_deriv", "zqi_stk_get_finance_deriv", PLAIN),
    ("py_zqi_stk_get_finance_deriv_pt", "zqi_stk_get_finance_deriv_pt", PLAIN),
    ("py_zqi_stk_get_daily_valuation", "zqi_stk_get_daily_valuation", PLAIN),
    ("py_zqi_stk_get_daily_valuation_pt", "zqi_stk_get_daily_valuation_pt", PLAIN),
    ("py_zqi_stk_get_daily_mktvalue", "zqi_stk_get_daily_mktvalue", PLAIN),
    ("py_zqi_stk_get_daily_mktvalue_pt", "zqi_stk_get_daily_mktvalue_pt", PLAIN),
    ("py_zqi_stk_get_daily_basic", "zqi_stk_get_daily_basic", PLAIN),
    ("py_zqi_stk_get_daily_basic_pt", "zqi_stk_get_daily_basic_pt", PLAIN),
    ("py_zqi_fut_get_continuous_contracts", "zqi_fut_get_continuous_contracts", PLAIN),
    ("py_zqi_fut_get_contract_info", "zqi_fut_get_contract_info", PLAIN),
    ("py_zqi_fut_get_transaction_ranking", "zqi_fut_get_transaction_ranking", PLAIN),
    ("py_zqi_fut_get_transaction_rankings", "zqi_fut_get_transaction_rankings", PLAIN),
    ("py_zqi_fut_get_warehouse_receipt", "zqi_fut_get_warehouse_receipt", PLAIN),
    ("py_zqi_fnd_get_etf_constituents", "zqi_fnd_get_etf_components", PLAIN),
    ("py_zqi_fnd_get_portfolio", "zqi_fnd_get_portfolio", PLAIN),
    ("py_zqi_fnd_get_net_value", "zqi_fnd_get_net_value", PLAIN),
    ("py_zqi_fnd_get_adj_factor", "zqi_fnd_get_adj_factor", PLAIN),
    ("py_zqi_fnd_get_dividend", "zqi_fnd_get_dividend", PLAIN),
    ("py_zqi_fnd_get_split", "zqi_fnd_get_split", PLAIN),
    ("py_zqi_bnd_get_conversion_price", "zqi_bnd_get_conversion_price", PLAIN),
    ("py_zqi_bnd_get_call_info", "zqi_bnd_get_call_info", PLAIN),
    ("py_zqi_bnd_get_put_info", "zqi_bnd_get_put_info", PLAIN),
    ("py_zqi_bnd_get_amount_change", "zqi_bnd_get_amount_change", PLAIN),
    ("py_get_trading_dates_by_year", "zqi_get_trading_dates_by_year", PLAIN),
    ("py_zqi_option_comb_entrust_pb", "zqi_option_comb_entrust_pb", PLAIN),
    ("py_zqi_option_sep_entrust_pb", "zqi_option_sep_entrust_pb", PLAIN),
    ("py_zqi_get_option_combinable_pb", "zqi_get_option_combinable_pb", PLAIN),
    ("py_zqi_get_option_comb_position_pb", "zqi_get_option_comb_position_pb", PLAIN),
    ("py_zqi_get_fundamentals", "zqi_get_fundamentals", PLAIN),
    ("py_zqi_get_fundamentals_n", "zqi_get_fundamentals_n", PLAIN),
    ("py_zqi_get_instrumentInfos", "zqi_get_instrumentInfos", PLAIN),
    ("py_zqi_get_fuzzy_match_instrumentInfos", "zqi_get_fuzzy_match_instrumentInfos", PLAIN),
    ("py_zqi_get_history_instruments", "zqi_get_history_instruments", PLAIN),
    ("py_zqi_get_constituents", "zqi_get_constituents", PLAIN),
    ("py_zqi_get_sector", "zqi_get_sector", PLAIN),
    ("py_zqi_get_industry", "zqi_get_industry", PLAIN),
    ("py_zqi_get_concept", "zqi_get_concept", PLAIN),
    ("py_zqi_get_trading_dates", "zqi_get_trading_dates", PLAIN),
    ("py_zqi_get_previous_trading_date", "zqi_get_previous_trading_date", PLAIN),
    ("py_zqi_get_next_trading_date", "zqi_get_next_trading_date", PLAIN),
    ("py_zqi_get_dividends", "zqi_get_dividends", PLAIN),
    ("py_zqi_get_dividends_snapshot", "zqi_get_dividends_snapshot", PLAIN),
    ("py_zqi_get_continuous_contracts", "zqi_get_continuous_contracts", PLAIN),
    ("py_zqi_get_varietyinfos", "zqi_get_varietyinfos", PLAIN),
    ("py_zqi_get_trading_time", "zqi_get_trading_time", PLAIN),
    ("py_zqi_option_get_symbols_by_exchange", "zqi_option_get_symbols_by_exchange", PLAIN),
    ("py_zqi_option_get_symbols_by_in_at_out", "zqi_option_get_symbols_by_in_at_out", PLAIN),
    ("py_zqi_option_get_delisted_dates", "zqi_option_get_delisted_dates", PLAIN),
    ("py_zqi_option_get_exercise_prices", "zqi_option_get_exercise_prices", PLAIN),
    ("py_zqi_history_ticks_pb", "zqi_history_ticks_pb", PLAIN),
    ("py_zqi_history_bars_pb", "zqi_history_bars_pb", PLAIN),
    ("py_zqi_history_ticks_n_pb", "zqi_history_ticks_n_pb", PLAIN),
    ("py_zqi_history_bars_n_pb", "zqi_history_bars_n_pb", PLAIN),
    ("py_zqi_get_instruments", "zqi_get_instruments", PLAIN),
    ("py_zqi_get_trading_times_ext", "zqi_get_trading_times_ext", PLAIN),
    ("py_zqi_get_convertible_bond_call_info", "zqi_get_convertible_bond_call_info", PLAIN),
    ("py_zqi_get_previous_n_trading_dates", "zqi_get_previous_n_trading_dates", PLAIN),
    ("py_zqi_get_next_n_trading_dates", "zqi_get_next_n_trading_dates", PLAIN),
    ("py_zqi_stk_abnor_change_stocks", "zqi_stk_abnor_change_stocks", PLAIN),
    ("py_zqi_stk_abnor_change_detail", "zqi_stk_abnor_change_detail", PLAIN),
    ("py_zqi_stk_quota_shszhk_infos", "zqi_stk_quota_shszhk_infos", PLAIN),
    ("py_zqi_stk_hk_inst_holding_detail_info", "zqi_stk_hk_inst_holding_detail_info", PLAIN),
    ("py_zqi_stk_hk_inst_holding_info", "zqi_stk_hk_inst_holding_info", PLAIN),
    ("py_zqi_stk_active_stock_top10_shszhk_info", "zqi_stk_active_stock_top10_shszhk_info", PLAIN),
    ("py_zqi_stk_get_money_flow", "zqi_stk_get_money_flow", PLAIN),
    ("py_zqi_stk_get_finance_audit", "zqi_stk_get_finance_audit", PLAIN),
    ("py_zqi_stk_get_finance_forecast", "zqi_stk_get_finance_forecast", PLAIN),
    ("py_zqi_fnd_get_share", "zqi_fnd_get_share", PLAIN),
    ("py_zqi_bnd_get_analysis", "zqi_bnd_get_analysis", PLAIN),
    ("py_zqi_get_cash_pb_v2", "zqi_get_cash_pb_v2", PLAIN),
    ("py_zqi_get_positions_pb_v2", "zqi_get_positions_pb_v2", PLAIN),
    ("py_zqi_get_instrument_pool_by_name_pb", "zqi_get_instrument_pool_by_name_pb", PLAIN),
    ("py_zqi_get_instrument_pools_pb", "zqi_get_instrument_pools_pb", PLAIN),
    ("py_zqi_get_open_call_auction", "zqi_get_open_call_auction", PLAIN),
]

REQUEST_MEMBERS = [
    ("py_zqi_cancel_all_orders", "zqi_cancel_all_orders_pb", ADAPTED),
    ("py_zqi_cancel_order", "zqi_cancel_orders_pb", ADAPTED),
    ("py_zqi_add_parameters", "zqi_add_parameters_pb", PLAIN),
    ("py_zqi_set_parameters", "zqi_set_parameters_pb", PLAIN),
    ("py_zqi_log", "zqi_log_pb", PLAIN),
    ("py_zqi_cancel_algo_orders", "zqi_cancel_algo_orders_pb", ADAPTED),
    ("py_zqi_pause_algo_orders", "zqi_pause_algo_orders_pb", ADAPTED),
    ("py_zqi_set_instrument_pool_symbols_pb", "zqi_set_instrument_pool_symbols_pb", PLAIN),
    ("py_zqi_del_instrument_pool_by_name_pb", "zqi_del_instrument_pool_by_name_pb", PLAIN),
]

# The members whose core function is not simply the Python name without "py_".
PB_DROPPED = [
    "py_zqi_current_price", "py_zqi_place_order", "py_zqi_last_tick", "py_zqi_get_unfinished_orders",
    "py_zqi_get_orders", "py_zqi_close_all_positions", "py_zqi_get_execution_reports", "py_zqi_get_cash",
    "py_zqi_get_positions", "py_zqi_get_account_status", "py_zqi_raw_func", "py_zqi_get_parameters",
    "py_zqi_history_ticks_l2", "py_zqi_history_bars_l2", "py_zqi_history_transaction_l2",
    "py_zqi_place_algo_orders", "py_zqi_get_algo_orders", "py_zqi_history_order_l2",
    "py_zqi_history_order_queue_l2",
]
RENAMED = {
    "py_zqi_fnd_get_etf_constituents": "zqi_fnd_get_etf_components",
    "py_get_trading_dates_by_year": "zqi_get_trading_dates_by_year",
}

MEMBERS = [(n, c, a, True) for n, c, a in REPLY_MEMBERS] + [(n, c, a, False) for n, c, a in REQUEST_MEMBERS]
BY_NAME = {n: (c, a, reply) for n, c, a, reply in MEMBERS}
member_ids = [n for n, *_ in MEMBERS]

# One member of each kind, for the cases every member shares.
SAMPLES = ["py_zqi_place_order", "py_zqi_get_symbol_infos", "py_stk_get_ration", "py_zqi_cancel_order", "py_zqi_log"]
REPLY_SAMPLES = ["py_zqi_place_order", "py_zqi_get_symbol_infos", "py_stk_get_ration"]


def bytes_addr(b):
    return ctypes.cast(ctypes.c_char_p(b), ctypes.c_void_p).value


def bytearray_addr(ba):
    # Its own buffer, whatever a subclass's __buffer__ (3.12+) lends.
    own = bytearray.__buffer__(ba, 0) if hasattr(bytearray, "__buffer__") else ba
    view = (ctypes.c_char * bytearray.__len__(ba)).from_buffer(own)
    addr = ctypes.addressof(view)
    del view, own  # ends the export again
    return addr


class LendsOtherMemory(bytearray):
    """A bytearray whose buffer protocol (3.12+) lends memory of another object."""
    def __buffer__(self, flags):
        return memoryview(bytearray(b"other memory"))


def only_call(core, fn):
    calls = core.calls()
    assert [c.fn for c in calls] == [fn]
    return calls[0]


def sample(m, name):
    core_fn, adapted, reply = BY_NAME[name]
    return getattr(m, name), core_fn, reply


def ok(reply, payload, status=0):
    return (status, payload) if reply else status


# ---- the member table ------------------------------------------------------------

def test_table_naming():
    names = [n for n, *_ in MEMBERS]
    assert len(REPLY_MEMBERS) == len({n for n, _, _ in REPLY_MEMBERS}) == 131
    assert len(REQUEST_MEMBERS) == 9 and len(set(names)) == 140
    assert sum(a for _, _, a in REPLY_MEMBERS) == 29
    assert [n for n, _, a in REQUEST_MEMBERS if a] == [
        "py_zqi_cancel_all_orders", "py_zqi_cancel_order", "py_zqi_cancel_algo_orders", "py_zqi_pause_algo_orders"]
    assert [n for n, c, _ in REPLY_MEMBERS if c == n[3:] + "_pb"] == PB_DROPPED
    assert sum(c == n[3:] for n, c, _ in REPLY_MEMBERS) == 110
    assert {n: c for n, c, _ in REPLY_MEMBERS if c not in (n[3:], n[3:] + "_pb")} == RENAMED
    assert [c for n, c, _ in REPLY_MEMBERS if not c.startswith("zqi_")] == ["stk_get_ration"]
    assert BY_NAME["py_zqi_get_cash"][0] == "zqi_get_cash_pb"
    assert BY_NAME["py_zqi_get_cash_pb_v2"][0] == "zqi_get_cash_pb_v2"
    assert BY_NAME["py_zqi_get_positions"][0] == "zqi_get_positions_pb"
    assert BY_NAME["py_zqi_get_positions_pb_v2"][0] == "zqi_get_positions_pb_v2"


@pytest.mark.parametrize("name, core_fn, adapted, reply", MEMBERS, ids=member_ids)
def test_member_passes_its_own_buffer(m, core, name, core_fn, adapted, reply):
    fn = getattr(m, name)
    assert fn.__name__ == ("wrapper" if adapted else name)

    req = b"\0head\0tail\0"
    result = fn(req)
    call = only_call(core, core_fn)
    assert call.args[0] == Buffer(bytes_addr(req), len(req), req)
    if reply:
        assert type(result) is tuple and type(result[1]) is bytes and result == (0, req)
        assert call.out_null is True
    else:
        assert type(result) is int and result == 0

    core.clear_log()
    ba = bytearray(b"ba\0rq")
    addr = bytearray_addr(ba)
    assert fn(req=ba) == ok(reply, b"ba\0rq")
    assert only_call(core, core_fn).args[0] == Buffer(addr, 5, b"ba\0rq")

    core.clear_log()  # a keyword name equal to "req" but not the same object
    assert fn(**{"".join(["r", "eq"]): b"kw"}) == ok(reply, b"kw")
    assert only_call(core, core_fn).args[0].data == b"kw"

    core.clear_log()
    core.set_status(core_fn, -7)
    assert fn(b"x") == ok(reply, None, -7)
    assert len(core.calls()) == 1


@pytest.mark.parametrize("name, core_fn, adapted, reply", MEMBERS, ids=member_ids)
def test_member_text_request(m, core, name, core_fn, adapted, reply):
    fn = getattr(m, name)
    if not adapted:
        for text in ("ord=1", "", "ordre=é"):
            with pytest.raises(TypeError, match=r"^expected bytes, str found$"):
                fn(text)
        assert core.calls() == []
        return
    assert fn("ord=1") == ok(reply, b"ord=1")
    assert fn(req="k=2") == ok(reply, b"k=2")
    assert [c.args[0].data for c in core.calls()] == [b"ord=1", b"k=2"]
    core.clear_log()
    with pytest.raises(UnicodeEncodeError):
        fn("ordre=é")
    # With IS_PY2 true the text reaches the member unchanged, which refuses it.
    m.IS_PY2 = True
    with pytest.raises(TypeError, match=r"^expected bytes, str found$"):
        fn("ord=1")
    assert core.calls() == []


@pytest.mark.parametrize("name, core_fn, adapted, reply", MEMBERS, ids=member_ids)
def test_member_binding_errors_name_the_member(m, core, name, core_fn, adapted, reply):
    fn = getattr(m, name)
    for args, kwargs, text in [
        ((), {}, "takes exactly 1 positional argument (0 given)"),
        ((b"a", b"b"), {}, "takes exactly 1 positional argument (2 given)"),
        (("a", "b", "c"), {}, "takes exactly 1 positional argument (3 given)"),
        ((b"a",), {"request": b"b"}, "got an unexpected keyword argument 'request'"),
        ((), {"req": b"a", "Req": b"b"}, "got an unexpected keyword argument 'Req'"),
        ((b"a",), {"req": b"b"}, "got multiple values for keyword argument 'req'"),
    ]:
        with pytest.raises(TypeError, match="^" + re.escape(f"{name}() {text}") + "$"):
            fn(*args, **kwargs)
    assert core.calls() == []


def test_twice_defined_member_is_one_plain_name(m, core):
    name = "py_zqi_stk_active_stock_top10_shszhk_info"
    assert [n for n, *_ in MEMBERS].count(name) == 1
    assert list(vars(m)).count(name) == 1
    fn = getattr(m, name)
    assert fn.__name__ == name and not BY_NAME[name][1]
    assert fn(b"top") == (0, b"top")
    assert only_call(core, "zqi_stk_active_stock_top10_shszhk_info").args[0].data == b"top"


# ---- request buffers ----------------------------------------------------------------

@pytest.mark.parametrize("name", SAMPLES)
def test_empty_requests_pass_length_zero_and_a_valid_pointer(m, core, name):
    fn, core_fn, reply = sample(m, name)
    empty = b""
    for req in (empty, bytearray(), type("B", (bytes,), {})(), type("BA", (bytearray,), {})()):
        core.clear_log()
        result = fn(req)
        assert result == ok(reply, b"")
        if reply:
            assert type(result[1]) is bytes
        buf = only_call(core, core_fn).args[0]
        assert buf.length == 0 and buf.ptr != 0
    core.clear_log()
    fn(empty)
    assert only_call(core, core_fn).args[0].ptr == bytes_addr(empty)


@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize("obj, kind", [
    (5, "int"), (None, "NoneType"), (1.5, "float"), (object(), "object"), (True, "bool")])
def test_request_without_length(m, core, name, obj, kind):
    fn, _, _ = sample(m, name)
    with pytest.raises(TypeError, match=rf"^object of type '{kind}' has no len\(\)$"):
        fn(obj)
    assert core.calls() == []


@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize("obj, kind", [
    (memoryview(b"ab"), "memoryview"), ([1, 2], "list"), ((b"a",), "tuple"), ({b"a": 1}, "dict"),
    (range(3), "range"), (frozenset(), "frozenset")])
def test_request_with_length_but_not_bytes(m, core, name, obj, kind):
    fn, _, _ = sample(m, name)
    with pytest.raises(TypeError, match=rf"^expected bytes, {kind} found$"):
        fn(obj)
    assert core.calls() == []


class Boom(Exception):
    pass


def _raise():
    raise Boom


@pytest.mark.parametrize("base", [bytes, bytearray])
@pytest.mark.parametrize("length", [1000, 1, 0, 2**31 - 1])
@pytest.mark.parametrize("name", SAMPLES)
def test_lying_len_never_passes_more_than_the_buffer(m, core, name, base, length):
    fn, core_fn, reply = sample(m, name)
    req = type("Liar", (base,), {"__len__": lambda self: length})(b"a\0c")
    addr = bytes_addr(req) if base is bytes else bytearray_addr(req)
    assert fn(req) == ok(reply, b"a\0c")
    assert only_call(core, core_fn).args[0] == Buffer(addr, 3, b"a\0c")


@pytest.mark.parametrize("name", SAMPLES)
def test_len_that_resizes_the_bytearray(m, core, name):
    fn, core_fn, reply = sample(m, name)

    class Growing(bytearray):
        def __len__(self):
            self.extend(b"+" * 4096)  # moves the buffer
            return 1

    req = Growing(b"g")
    assert fn(req) == ok(reply, b"g" + b"+" * 4096)
    assert only_call(core, core_fn).args[0] == Buffer(bytearray_addr(req), 4097, bytes(req))


@pytest.mark.parametrize("base", [bytes, bytearray])
@pytest.mark.parametrize("length, error", [
    (_raise, Boom), (-1, ValueError), (2**70, OverflowError), ("3", TypeError)])
@pytest.mark.parametrize("name", SAMPLES)
def test_failing_len_refuses_the_request(m, core, name, base, length, error):
    fn, _, _ = sample(m, name)
    get = length if callable(length) else (lambda: length)
    req = type("Liar", (base,), {"__len__": lambda self: get()})(b"abc")
    with pytest.raises(error):
        fn(req)
    assert core.calls() == []


@pytest.mark.parametrize("cls", [bytearray, LendsOtherMemory])
@pytest.mark.parametrize("name", SAMPLES)
def test_bytearray_is_pinned_during_the_call(m, core, name, cls):
    fn, core_fn, reply = sample(m, name)
    ba = cls(b"pin\0ned")
    addr = bytearray_addr(ba)
    seen = []

    def handler(msg_type, data):
        for resize in (lambda: ba.extend(b"more" * 100), ba.clear, lambda: ba.__delitem__(slice(0, 2)),
                       lambda: ba.__setitem__(slice(0, 1), b"xyz")):
            try:
                resize()
                seen.append("resized")
            except BufferError:
                seen.append("refused")
        ba[0] = ord("P")  # writing in place is allowed
        seen.append(m.py_zqi_log(ba))  # a nested call may lend it again

    m.py_zqi_set_data_callback(handler)
    core.queue_event(b"ev", b"")
    core.deliver_during(core_fn, 1)
    assert fn(ba) == ok(reply, b"Pin\0ned")
    assert seen == ["refused"] * 4 + [0]
    calls = core.calls()
    assert [c.fn for c in calls][1:] == [core_fn, "zqi_log_pb"]
    assert calls[1].args[0] == Buffer(addr, 7, b"pin\0ned")
    assert calls[2].args[0] == Buffer(addr, 7, b"Pin\0ned")
    ba.extend(b"!")  # released after the call
    assert ba[:] == b"Pin\0ned!"  # its own bytes, not what __buffer__ lends


def test_bytearray_released_when_the_call_fails_after_pinning(m, core):
    ba = bytearray(b"abc")
    del m.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError):
        m.py_zqi_place_order(ba)
    ba.extend(b"d")
    assert ba == b"abcd"


def _mem_available():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


@pytest.mark.skipif(_mem_available() < 6 * 2**30, reason="needs a 2 GiB request buffer")
def test_request_of_2_gib_is_refused_before_the_core_call(m, core):
    try:
        big = bytes(2**31)
    except MemoryError:
        pytest.skip("no 2 GiB buffer")
    try:
        for call in (lambda: m.py_zqi_place_order(big), lambda: m.py_zqi_get_symbol_infos(req=big),
                     lambda: m.py_zqi_log(big), lambda: m.py_zqi_algo_order_batch(big, b"a", b"p")):
            with pytest.raises(OverflowError):
                call()
        assert core.calls() == []
    finally:
        del big
    # The largest size that fits passes (with the log off: it would copy it).
    try:
        big = bytes(2**31 - 1)
    except MemoryError:
        pytest.skip("no 2 GiB buffer")
    try:
        core.logging(False)
        core.set_reply("zqi_place_order_pb", b"done")
        assert m.py_zqi_place_order(big) == (0, b"done")
        assert core.call_count("zqi_place_order_pb") == 1
    finally:
        del big


# ---- the reply pair ---------------------------------------------------------------------

@pytest.mark.parametrize("name", REPLY_SAMPLES)
def test_reply_copies(m, core, name):
    fn, core_fn, _ = sample(m, name)
    core.set_reply(core_fn, b"")
    result = fn(b"non-empty")
    assert result == (0, b"") and type(result[1]) is bytes
    core.set_reply(core_fn, b"r\0e\0p" * 1000)
    assert fn(b"q") == (0, b"r\0e\0p" * 1000)
    core.set_mode(core_fn, NULL_REPLY, 0)
    assert fn(b"q") == (0, b"")


@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize("status", [-1, 1, -2**31, 2**31 - 1, 3])
def test_failure_status_ignores_what_res_holds(m, core, name, status):
    fn, core_fn, reply = sample(m, name)
    core.set_status(core_fn, status)
    core.set_reply(core_fn, b"stale reply")
    result = fn(b"x")
    assert result == ok(reply, None, status)
    assert type(result[0] if reply else result) is int
    for mode, length in ((NULL_REPLY, 16), (NEGATIVE_LENGTH, -1)):
        core.set_mode(core_fn, mode, length)
        assert fn(b"x") == ok(reply, None, status)


@pytest.mark.parametrize("name", REPLY_SAMPLES)
def test_null_reply_with_a_length_reads_as_empty(m, core, name):
    fn, core_fn, _ = sample(m, name)
    core.set_mode(core_fn, NULL_REPLY, 16)
    assert fn(b"x") == (0, b"")
    assert len(core.calls()) == 1


@pytest.mark.parametrize("name", REPLY_SAMPLES)
@pytest.mark.parametrize("length", [-1, -2**31])
def test_negative_reply_length_raises_after_the_call(m, core, name, length):
    fn, core_fn, _ = sample(m, name)
    core.set_mode(core_fn, NEGATIVE_LENGTH, length)
    with pytest.raises(SystemError):
        fn(b"x")
    assert len(core.calls()) == 1


class AlwaysEqual:
    def __eq__(self, other):
        return True


class NeverEqualInt(int):
    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


class EqualRaises:
    def __eq__(self, other):
        raise Boom


class BadTruth:
    def __bool__(self):
        raise Boom


class EqualGivesBadTruth:
    def __eq__(self, other):
        return BadTruth()


@pytest.mark.parametrize("name", REPLY_SAMPLES)
@pytest.mark.parametrize("success, status, paid", [
    (7, 7, True), (7, 0, False), (-3, -3, True), (0.0, 0, True), (True, 1, True), (True, 0, False),
    (2**70, 0, False), (None, 0, False), ("0", 0, False), (NeverEqualInt(0), 0, False),
    (AlwaysEqual(), -9, True), (AlwaysEqual(), 12345, True),
])
def test_success_is_whatever_the_module_global_equals(m, core, name, success, status, paid):
    fn, core_fn, _ = sample(m, name)
    m.CSDK_OPERATE_SUCCESS = success
    core.set_status(core_fn, status)
    assert fn(b"pay") == (status, b"pay" if paid else None)
    assert len(core.calls()) == 1


class CallsCoreWhenCompared(int):
    """Equal by value; its first comparison runs `call`, a call of the core
    that overwrites the reply being compared with another."""
    def __new__(cls, value, call):
        self = super().__new__(cls, value)
        self.call = call
        return self

    def __eq__(self, other):
        call, self.call = self.call, None
        if call:
            call()
        return int(self) == other

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = int.__hash__


@pytest.mark.parametrize("name", REPLY_SAMPLES)
@pytest.mark.parametrize("value, paid", [(0, True), (1, False)])
def test_reply_copied_before_a_comparison_that_calls_the_core(m, core, name, value, paid):
    fn, core_fn, _ = sample(m, name)
    m.CSDK_OPERATE_SUCCESS = CallsCoreWhenCompared(value, lambda: fn(b"B" * 5000))
    assert fn(b"AAAAA") == (0, b"AAAAA" if paid else None)
    assert [c.fn for c in core.calls()] == [core_fn, core_fn]


@pytest.mark.parametrize("name", REPLY_SAMPLES)
@pytest.mark.parametrize("success", [EqualRaises(), EqualGivesBadTruth()])
def test_failing_comparison_propagates_after_the_call(m, core, name, success):
    fn, core_fn, _ = sample(m, name)
    m.CSDK_OPERATE_SUCCESS = success
    with pytest.raises(Boom):
        fn(b"x")
    assert len(core.calls()) == 1


def test_rebinding_success_takes_effect_on_the_next_call(m, core):
    core.set_status("zqi_get_orders_pb", 5)
    assert m.py_zqi_get_orders(b"o") == (5, None)
    m.CSDK_OPERATE_SUCCESS = 5
    assert m.py_zqi_get_orders(b"o") == (5, b"o")
    m.CSDK_OPERATE_SUCCESS = 0
    assert m.py_zqi_get_orders(b"o") == (5, None)


def test_success_found_among_builtins(m, core):
    core.set_status("zqi_get_orders_pb", 3)
    del m.CSDK_OPERATE_SUCCESS
    try:
        builtins.CSDK_OPERATE_SUCCESS = 3
        assert m.py_zqi_get_orders(b"o") == (3, b"o")
        builtins.CSDK_OPERATE_SUCCESS = 4
        assert m.py_zqi_get_orders(b"o") == (3, None)
        m.CSDK_OPERATE_SUCCESS = 3  # the module namespace comes first
        assert m.py_zqi_get_orders(b"o") == (3, b"o")
        del m.CSDK_OPERATE_SUCCESS
        del builtins.CSDK_OPERATE_SUCCESS
        with pytest.raises(NameError):
            m.py_zqi_get_orders(b"o")
    finally:
        builtins.__dict__.pop("CSDK_OPERATE_SUCCESS", None)


def test_binding_made_during_the_builtins_lookup_is_seen(m, core):
    class Collides(str):
        armed = False

        def __hash__(self):
            return hash("CSDK_OPERATE_SUCCESS")

        def __eq__(self, other):  # run by the builtins lookup, after the module's
            if Collides.armed:
                Collides.armed = False
                m.CSDK_OPERATE_SUCCESS = 3
            return False

    core.set_status("zqi_get_orders_pb", 3)
    del m.CSDK_OPERATE_SUCCESS
    key = Collides("collides")
    try:
        builtins.__dict__[key] = None
        builtins.CSDK_OPERATE_SUCCESS = 4
        Collides.armed = True
        assert m.py_zqi_get_orders(b"o") == (3, None)  # that lookup's answer: the builtins value
        assert m.py_zqi_get_orders(b"o") == (3, b"o")  # the module's binding from then on
        assert m.py_zqi_get_orders(b"o") == (3, b"o")
    finally:
        builtins.__dict__.pop(key, None)
        builtins.__dict__.pop("CSDK_OPERATE_SUCCESS", None)


@pytest.mark.parametrize("name", REPLY_SAMPLES)
def test_missing_success_raises_name_error_without_calling_the_core(m, core, name):
    fn, _, _ = sample(m, name)
    assert fn(b"warm") == (0, b"warm")  # a lookup made before must not linger
    core.clear_log()
    del m.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match=r"^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        fn(b"x")
    assert core.calls() == []


@pytest.mark.parametrize("name", ["py_zqi_cancel_order", "py_zqi_log"])
def test_request_only_members_never_consult_success(m, core, name):
    fn, core_fn, _ = sample(m, name)
    m.CSDK_OPERATE_SUCCESS = EqualRaises()
    assert fn(b"x") == 0
    del m.CSDK_OPERATE_SUCCESS
    core.set_status(core_fn, -4)
    assert fn(b"x") == -4
    assert len(core.calls()) == 2


def test_success_value_read_when_the_call_starts(m, core):
    # The handler replaces the only reference to the value being compared.
    m.CSDK_OPERATE_SUCCESS = AlwaysEqual()
    m.py_zqi_set_data_callback(lambda t, d: m.__dict__.update(CSDK_OPERATE_SUCCESS=99))
    core.queue_event(b"ev", b"")
    core.deliver_during("zqi_place_order_pb", 1)
    core.set_status("zqi_place_order_pb", 5)
    assert m.py_zqi_place_order(b"x") == (5, b"x")
    assert m.py_zqi_place_order(b"x") == (5, None)  # 99 from now on
    core.queue_event(b"ev", b"")
    m.py_zqi_set_data_callback(lambda t, d: m.__dict__.pop("CSDK_OPERATE_SUCCESS"))
    m.CSDK_OPERATE_SUCCESS = 5
    assert m.py_zqi_place_order(b"x") == (5, b"x")
    with pytest.raises(NameError):
        m.py_zqi_place_order(b"x")


def test_nested_call_during_a_member_keeps_both_replies(m, core):
    inner = []
    m.py_zqi_set_data_callback(lambda t, d: inner.append(m.py_zqi_place_order(b"inner")))
    core.queue_event(b"ev", b"")
    core.deliver_during("zqi_place_order_pb", 1)
    assert m.py_zqi_place_order(b"outer") == (0, b"outer")
    assert inner == [(0, b"inner")]


def rounds_keep_refcounts(objs, one_round, n=50):
    """True when n more rounds leave every object's reference count as one round did."""
    one_round()
    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(n):
        one_round()
    gc.collect()
    return [sys.getrefcount(o) for o in objs] == before


@pytest.mark.parametrize("name", SAMPLES)
def test_no_reference_kept_or_lost(m, core, name):
    fn, _, _ = sample(m, name)
    n = 3  # built at run time: no shared constants
    success = AlwaysEqual()
    m.CSDK_OPERATE_SUCCESS = success
    objs = [b"ref" * n, bytearray(b"ref" * n), "ref" * n, type("B", (bytes,), {})(b"r" * n),
            memoryview(b"r" * n), ["r"] * n, "ré" * n, success]

    def one_round():
        for o in objs[:-1]:
            try:
                fn(o)
            except (TypeError, UnicodeEncodeError):
                pass

    core.logging(False)
    assert rounds_keep_refcounts(objs, one_round)
