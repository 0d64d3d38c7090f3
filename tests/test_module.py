"""Module initialisation and the namespace it leaves behind.

Import-time behaviour (second interpreter, re-execution, failed imports) is
checked in fresh interpreters, since the module initialises once per process.
"""
import inspect
import json
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import zq.constant
import zq.utils

# The wrapper definitions in the order the module binds them; "+" marks the
# ones bound through adapt_to_python3.  py_zqi_stk_active_stock_top10_shszhk_info
# is defined twice (the second definition wins), so 182 definitions bind 181 names.
WRAPPER_DEFINITIONS = """
    py_zqi_set_mode_consistency+ py_zqi_current+ py_zqi_current_price+ py_zqi_get_serv_addr+
    py_zqi_set_bus_info+ py_zqi_set_bus_secure+ py_zqi_add_bus_topic+ py_zqi_send_msg_to_bus+
    py_zqi_set_data_callback py_zqi_schedule+ py_zqi_set_backtest_config+ py_zqi_place_order+
    py_zqi_set_backtest_intraday+ py_zqi_last_tick+ py_zqi_get_unfinished_orders+ py_zqi_get_orders+
    py_zqi_cancel_all_orders+ py_zqi_close_all_positions+ py_zqi_get_execution_reports+ py_zqi_get_cash+
    py_zqi_get_positions+ py_zqi_cancel_order+ py_zqi_set_strategy_id+ py_zqi_subscribe+ py_zqi_set_token+
    py_zqi_get_encrypted_token+ py_zqi_get_orgcode+ py_zqi_set_mfp+ py_zqi_set_apitoken+ py_zqi_unsubscribe+
    py_zqi_set_serv_addr+ py_zqi_set_ctp_md_info+ py_zqi_get_accounts py_zqi_get_account_status+
    py_zqi_raw_func+ py_zqi_repay_cash_directly_pb+ py_zqi_get_collateral_instruments_pb+
    py_zqi_get_borrowable_instruments_pb+ py_zqi_get_borrowable_instruments_positions_pb+
    py_zqi_get_credit_contracts_pb+ py_zqi_get_credit_cash_pb+ py_zqi_get_ipo_quota_pb+
    py_zqi_get_ipo_instruments_pb+ py_zqi_get_ipo_match_number_pb+ py_zqi_get_ipo_lot_info_pb+
    py_zqi_get_parameters py_zqi_add_parameters py_zqi_set_parameters py_zqi_log py_zqi_strerror
    py_zqi_get_ext_errormsg py_zqi_run py_zqi_stop py_zqi_set_timer py_zqi_set_version+
    py_zqi_history_ticks_l2+ py_zqi_history_bars_l2+ py_zqi_history_transaction_l2+ py_zqi_place_algo_orders+
    py_zqi_algo_order_batch+ py_zqi_cancel_algo_orders+ py_zqi_pause_algo_orders+ py_zqi_get_algo_orders+
    py_zqi_get_child_orders+ py_zqi_history_order_l2+ py_zqi_history_order_queue_l2+
    py_zqi_get_entrustable_volume_by_symbol_pb+ py_zqi_smart_reorder+ py_zqi_smart_reorder_cancel+
    py_zqi_user_timer+ py_zqi_user_timer_stop+ py_zqi_set_serv_addr_v5 py_zqi_set_account_id
    py_zqi_set_simtrade_only py_zqi_get_symbol_infos py_zqi_get_symbols_v2 py_zqi_get_history_symbol
    py_zqi_get_trading_session py_zqi_get_contract_expire_rest_days py_zqi_stk_get_industry_category
    py_zqi_stk_get_industry_constituents py_zqi_stk_get_symbol_industry py_zqi_stk_get_sector_category
    py_zqi_stk_get_sector_constituents py_zqi_stk_get_symbol_sector py_zqi_stk_get_index_constituents
    py_zqi_stk_get_index_history_constituents py_zqi_stk_get_dividend py_stk_get_ration
    py_zqi_stk_get_adj_factor py_zqi_stk_get_shareholder_num py_zqi_stk_get_top_shareholder
    py_zqi_stk_get_share_change py_zqi_stk_get_fundamentals_balance py_zqi_stk_get_fundamentals_balance_pt
    py_zqi_stk_get_fundamentals_cashflow py_zqi_stk_get_fundamentals_cashflow_pt
    py_zqi_stk_get_fundamentals_income py_zqi_stk_get_fundamentals_income_pt py_zqi_stk_get_finance_prime
    py_zqi_stk_get_finance_prime_pt py_zqi_stk_get_finance_deriv py_zqi_stk_get_finance_deriv_pt
    py_zqi_stk_get_daily_valuation py_zqi_stk_get_daily_valuation_pt py_zqi_stk_get_daily_mktvalue
    py_zqi_stk_get_daily_mktvalue_pt py_zqi_stk_get_daily_basic py_zqi_stk_get_daily_basic_pt
    py_zqi_fut_get_continuous_contracts py_zqi_fut_get_contract_info py_zqi_fut_get_transaction_ranking
    py_zqi_fut_get_transaction_rankings py_zqi_fut_get_warehouse_receipt py_zqi_fnd_get_etf_constituents
    py_zqi_fnd_get_portfolio py_zqi_fnd_get_net_value py_zqi_fnd_get_adj_factor py_zqi_fnd_get_dividend
    py_zqi_fnd_get_split py_zqi_bnd_get_conversion_price py_zqi_bnd_get_call_info py_zqi_bnd_get_put_info
    py_zqi_bnd_get_amount_change py_get_trading_dates_by_year py_zqi_option_comb_entrust_pb
    py_zqi_option_sep_entrust_pb py_zqi_get_option_combinable_pb py_zqi_get_option_comb_position_pb
    py_zqi_get_fundamentals py_zqi_get_fundamentals_n py_zqi_get_instrumentInfos
    py_zqi_get_fuzzy_match_instrumentInfos py_zqi_get_history_instruments py_zqi_get_constituents
    py_zqi_get_sector py_zqi_get_industry py_zqi_get_concept py_zqi_get_trading_dates
    py_zqi_get_previous_trading_date py_zqi_get_next_trading_date py_zqi_get_dividends
    py_zqi_get_dividends_snapshot py_zqi_get_continuous_contracts py_zqi_get_varietyinfos
    py_zqi_get_trading_time py_zqi_option_get_symbols_by_exchange py_zqi_option_get_symbols_by_in_at_out
    py_zqi_option_get_delisted_dates py_zqi_option_get_exercise_prices py_zqi_history_ticks_pb
    py_zqi_history_bars_pb py_zqi_history_ticks_n_pb py_zqi_history_bars_n_pb py_zqi_get_instruments
    py_zqi_get_trading_times_ext py_zqi_get_convertible_bond_call_info py_zqi_set_max_wait_time
    py_zqi_set_backtest_threadnum py_zqi_get_stop_error_code py_zqi_use_dsproxy
    py_zqi_get_previous_n_trading_dates py_zqi_get_next_n_trading_dates py_zqi_stk_abnor_change_stocks
    py_zqi_stk_abnor_change_detail py_zqi_stk_quota_shszhk_infos py_zqi_stk_hk_inst_holding_detail_info
    py_zqi_stk_hk_inst_holding_info py_zqi_stk_active_stock_top10_shszhk_info
    py_zqi_stk_active_stock_top10_shszhk_info py_zqi_stk_get_money_flow py_zqi_stk_get_finance_audit
    py_zqi_stk_get_finance_forecast py_zqi_fnd_get_share py_zqi_bnd_get_analysis py_zqi_get_cash_pb_v2
    py_zqi_get_positions_pb_v2 py_zqi_get_instrument_pool_by_name_pb py_zqi_get_instrument_pools_pb
    py_zqi_set_instrument_pool_symbols_pb py_zqi_del_instrument_pool_by_name_pb py_zqi_get_open_call_auction
""".split()
WRAPPERS = [w.rstrip("+") for w in WRAPPER_DEFINITIONS]
ADAPTED = {w.rstrip("+") for w in WRAPPER_DEFINITIONS if w.endswith("+")}
DIRECT = ["zqi_add_bus_topic", "zqi_get_c_version", "zqi_get_encrypted_token", "zqi_get_ext_errormsg",
          "zqi_get_orgcode", "zqi_init", "zqi_now", "zqi_now_plus", "zqi_poll", "zqi_send_msg_to_bus",
          "zqi_set_bus_info", "zqi_set_bus_secure", "zqi_set_mode", "zqi_strerror"]
HELPERS = ["is_windows", "is_linux", "adapt_to_python3", "c_status_ok", "c_status_fail"]
STANDARD = {"__name__", "__doc__", "__file__", "__loader__", "__package__", "__spec__", "__builtins__"}


def expected_names():
    names = ["functools", "platform", "CSDK_OPERATE_SUCCESS", "zqsdklogger", "IS_PY2", "IS_PY3",
             "QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2", *HELPERS]
    for w in WRAPPERS:
        if w not in names:
            names.append(w)
    return names + ["__test__", *DIRECT]


def run_fresh(code):
    """Runs `code` in a new interpreter; returns what it printed as JSON (or None)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.strip()
    return json.loads(out) if out else None


def test_definition_table_shape():
    assert len(WRAPPERS) == 182 and len(set(WRAPPERS)) == 181 and len(ADAPTED) == 60


def test_namespace_holds_exactly_the_listed_names_in_order():
    # As import leaves it: tests that delete and restore names reorder it.
    keys = run_fresh("import json, zq.csdk.c_sdk as m; print(json.dumps(list(m.__dict__)))")
    names = [k for k in keys if k not in STANDARD]
    assert names == expected_names()
    assert set(keys) - set(names) == STANDARD
    assert "f" not in keys and "callback_wrapper" not in keys


def test_module_globals(m):
    assert m.__doc__ is None
    assert m.__test__ == {} and type(m.__test__) is dict
    assert m.IS_PY2 is False and m.IS_PY3 is True
    assert m.CSDK_OPERATE_SUCCESS is zq.constant.CSDK_OPERATE_SUCCESS
    import functools
    import platform
    assert m.functools is functools and m.platform is platform and m.zqsdklogger is zq.utils.zqsdklogger


def test_function_names_modules_and_docs(m):
    for name in WRAPPERS + HELPERS + DIRECT:
        fn = getattr(m, name)
        assert fn.__module__ == "c_sdk", name
        if name in DIRECT:
            assert fn.__name__ == "wrap", name
        elif name in ADAPTED:
            assert fn.__name__ == "wrapper", name
        else:
            assert fn.__name__ == name, name
        if name not in DIRECT and name not in ("adapt_to_python3", "c_status_ok", "c_status_fail"):
            assert fn.__doc__ is None, name


@pytest.mark.parametrize("name, params", [
    ("py_zqi_get_symbol_infos", "(req)"),
    ("py_zqi_strerror", "(errorno)"),
    ("py_zqi_get_ext_errormsg", "()"),
    ("py_zqi_set_timer", None),
    ("c_status_ok", "(status)"),
    ("c_status_fail", "(status, cfunname='')"),
    ("adapt_to_python3", "(func)"),
    ("is_linux", "()"),
    ("is_windows", "()"),
])
def test_text_signatures(m, name, params):
    sig = inspect.signature(getattr(m, name))
    if params is not None:
        assert str(sig) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


def test_every_plain_wrapper_binds_by_keyword_without_defaults(m):
    for name in WRAPPERS:
        if name in ADAPTED:
            continue
        params = inspect.signature(getattr(m, name)).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params), name


def test_adapted_wrappers_have_the_adapters_signature(m):
    assert str(inspect.signature(m.py_zqi_place_order)) == "(*args, **kwargs)"


def test_adapted_wrapper_errors_name_the_inner_function(m, core):
    with pytest.raises(TypeError, match=r"^py_zqi_place_order\(\) takes exactly 1 positional argument \(0 given\)$"):
        m.py_zqi_place_order()
    assert core.calls() == []


OWN_REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."
# A sub-interpreter with its own lock checks the module's declared capability
# itself (3.12 on) before the module is asked.
ISOLATED_REFUSAL = "module zq.csdk.c_sdk does not support loading in subinterpreters"


# The free-threaded build runs even a legacy sub-interpreter with its own
# module checks, which refuse first.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.parametrize("config, expected", [
    ("legacy", ISOLATED_REFUSAL if FREE_THREADED else OWN_REFUSAL),
    pytest.param("isolated", ISOLATED_REFUSAL,
                 marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="no isolated sub-interpreters")),
])
def test_import_in_a_second_interpreter_fails_and_leaves_the_first_intact(tmp_path, config, expected):
    out = tmp_path / "sub.txt"
    sub_code = textwrap.dedent(f"""
        try:
            import zq.csdk.c_sdk
            text = "imported"
        except BaseException as e:
            text = type(e).__name__ + ": " + str(e)
        open({str(out)!r}, "w").write(text)
    """)
    got = run_fresh(f"""
        import json, sys
        import zq.csdk.c_sdk as m
        m.CSDK_OPERATE_SUCCESS = 7
        if {config!r} == "legacy":
            import _testcapi
            _testcapi.run_in_subinterp({sub_code!r})
        else:
            import importlib
            interpreters = importlib.import_module("_xxsubinterpreters" if sys.version_info < (3, 13)
                                                   else "_interpreters")
            sub = interpreters.create()
            interpreters.run_string(sub, {sub_code!r})
            interpreters.destroy(sub)
        print(json.dumps([m.c_status_ok(7), m.c_status_ok(0), m.py_zqi_get_symbol_infos(b"a")[0],
                          m.zqi_get_c_version().decode()]))
    """)
    assert out.read_text() == "ImportError: " + expected
    assert got[:3] == [True, False, 0] and got[3]


def test_second_module_object_for_one_import_is_refused():
    out = run_fresh("""
        import importlib.util, json
        found = importlib.util.find_spec("zq.csdk.c_sdk")
        first = importlib.util.module_from_spec(found)
        second = importlib.util.module_from_spec(found)
        found.loader.exec_module(first)
        try:
            found.loader.exec_module(second)
            err = None
        except RuntimeError as e:
            err = str(e)
        found.loader.exec_module(first)  # the same object again: nothing to do
        third = importlib.util.module_from_spec(found)
        print(json.dumps([first is second, err, third is first, first.c_status_ok(0)]))
    """)
    assert out == [False, "Module 'c_sdk' has already been imported. Re-initialisation is not supported.",
                   True, True]


def test_reimport_and_reload_return_the_same_module_without_rerunning_the_body():
    out = run_fresh("""
        import importlib, json, sys
        import zq.csdk.c_sdk as first
        first.IS_PY3 = "rebound"
        first.__dict__.pop("__test__")
        del sys.modules["zq.csdk.c_sdk"]
        import zq.csdk.c_sdk as second
        reloaded = importlib.reload(second)
        print(json.dumps([second is first, reloaded is first, sys.modules["zq.csdk.c_sdk"] is first,
                          first.IS_PY3, "__test__" in first.__dict__]))
    """)
    assert out == [True, True, True, "rebound", False]


# Each case breaks an import the module body makes, checks the failure, then
# repairs it and imports again in the same process.
@pytest.mark.parametrize("breakage, error", [
    ("sys.modules['zq.constant'] = None",
     "ModuleNotFoundError: import of zq.constant halted; None in sys.modules"),
    ("sys.modules['zq.constant'] = types.ModuleType('zq.constant')",
     "ImportError: cannot import name CSDK_OPERATE_SUCCESS"),
    ("sys.modules['zq.utils'] = types.ModuleType('zq.utils')",
     "ImportError: cannot import name zqsdklogger"),
    ("sys.modules['functools'] = None",
     "ModuleNotFoundError: import of functools halted; None in sys.modules"),
])
def test_failed_import_leaves_nothing_and_a_retry_succeeds(breakage, error):
    out = run_fresh(f"""
        import json, sys, types
        import zq.csdk, zq.constant, zq.utils, functools
        saved = dict(sys.modules)
        {breakage}
        try:
            import zq.csdk.c_sdk
            err = None
        except ImportError as e:
            err = type(e).__name__ + ": " + str(e)
        left = ["zq.csdk.c_sdk" in sys.modules, hasattr(zq.csdk, "c_sdk")]
        sys.modules.update(saved)
        import zq.csdk.c_sdk as m
        m.IS_PY2 = False
        from zq.csdk.standin import StandIn
        core = StandIn()
        core.reset()
        core.set_reply("zqi_strerror", b"bad")
        seen = []
        m.zqsdklogger = type("L", (), {{"debug": lambda self, msg: seen.append(msg)}})()
        print(json.dumps([err, left, [k for k in m.__dict__ if not k.startswith("__")],
                          m.py_zqi_place_order("r")[0], core.calls()[-1].args[0].data.hex(), m.c_status_fail(4), seen,
                          m.CSDK_OPERATE_SUCCESS is zq.constant.CSDK_OPERATE_SUCCESS]))
    """)
    err, left, names, status, sent, failed, seen, same = out
    assert err == error
    assert left == [False, False]
    assert names == [n for n in expected_names() if not n.startswith("__")]
    assert status == 0 and sent == b"r".hex()
    assert failed is True and seen == ["invoke c fun error code=4, error info=bad"] and same is True


@pytest.mark.skipif(sys.version_info >= (3, 12),
                    reason="from 3.12 the collector runs only between bytecodes, never inside the module body")
def test_function_kept_from_a_failed_import_raises_until_a_retry_succeeds():
    # A collector callback stands for code that runs while the body executes:
    # it keeps c_status_ok and makes the decorator refuse py_zqi_place_order,
    # which it keeps too, so the import fails with both functions alive.
    out = run_fresh("""
        import gc, json, sys
        import zq.csdk, zq.constant, zq.utils, functools
        kept = []

        def refuse(fn):
            if fn.__name__ != "py_zqi_place_order":
                return fn
            kept.append(fn)
            raise RuntimeError("refused")

        def spy(phase, info):
            d = getattr(sys.modules.get("zq.csdk.c_sdk"), "__dict__", {})
            if "c_status_ok" in d and d["adapt_to_python3"] is not refuse:
                kept.append(d["c_status_ok"])
                d["adapt_to_python3"] = refuse

        gc.callbacks.append(spy)
        gc.set_threshold(1)
        try:
            import zq.csdk.c_sdk
        except RuntimeError as e:
            out = [str(e)]
        gc.set_threshold(700)
        gc.callbacks.remove(spy)
        ok, place = kept
        register = place.__self__.py_zqi_set_data_callback  # bound before the refusal
        for call in (lambda: ok(0), lambda: place(b"r"), lambda: register(print)):
            try:
                out.append(repr(call()))
            except ImportError as e:
                out.append(str(e))
        import zq.csdk.c_sdk as m
        print(json.dumps(out + [ok(0), repr(place(b"r")), repr(m.py_zqi_place_order("r")), register(print)]))
    """)
    failed = "module 'c_sdk' is not initialised: its import failed"
    assert out == ["refused", failed, failed, failed, True, "(0, b'r')", "(0, b'r')", None]


def test_imported_name_may_come_from_an_already_imported_submodule():
    out = run_fresh("""
        import json, sys, types
        import zq
        sys.modules["zq.constant"] = types.ModuleType("zq.constant")
        sys.modules["zq.constant.CSDK_OPERATE_SUCCESS"] = marker = types.ModuleType("marker")
        import zq.csdk.c_sdk as m
        print(json.dumps(m.CSDK_OPERATE_SUCCESS is marker))
    """)
    assert out is True


def test_import_calls_no_core_function():
    out = run_fresh("""
        import json
        import zq.csdk.c_sdk
        from zq.csdk.standin import StandIn
        print(json.dumps([c.fn for c in StandIn().calls()]))
    """)
    assert out == []


def test_create_step_copies_name_loader_origin_parent_and_path():
    out = run_fresh("""
        import importlib.machinery, importlib.util, json
        found = importlib.util.find_spec("zq.csdk.c_sdk")
        plain = found.loader.create_module(found)
        package = found.loader.create_module(
            importlib.machinery.ModuleSpec("pkg.c_sdk", found.loader, origin=found.origin, is_package=True))

        class Raising:
            name, origin, loader = "other.c_sdk", found.origin, found.loader

            @property
            def parent(self):
                raise LookupError("parent")

        try:
            found.loader.create_module(Raising())
            err = None
        except LookupError as e:
            err = str(e)
        print(json.dumps([
            [plain.__name__, plain.__file__ == found.origin, plain.__loader__ is found.loader, plain.__package__,
             "__path__" in plain.__dict__],
            [package.__name__, package.__package__, package.__path__], err]))
    """)
    assert out == [["zq.csdk.c_sdk", True, True, "zq.csdk", False], ["pkg.c_sdk", "pkg.c_sdk", []], "parent"]
