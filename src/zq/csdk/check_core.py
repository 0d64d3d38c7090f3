"""Check that a core library file can serve the c_sdk extension.

    python -m zq.csdk.check_core /path/to/libzq3-c.so

Exit status 0 when the file is a shared library for this machine's
architecture exporting every core function the extension calls; otherwise 1,
with one line on stderr naming the file and what is wrong (each missing
function by name).  The build runs the same check on the library given with
``-C cmake.define.CSDK_CORE_LIBRARY=PATH``, with ``--header`` reading the list
from the extension's contract header instead of the one below.
"""
from __future__ import annotations

import argparse
import re
import struct
import sys
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import BinaryIO, NamedTuple

__all__ = ["CORE_FUNCTIONS", "CoreLibraryError", "Declaration", "check", "declarations_from_header",
           "functions_from_header", "main"]

SONAME = "libzq3-c.so"

# Every core function the extension calls, as native/csdk/core_api.h declares
# them (the suite checks that the two lists agree).
CORE_FUNCTIONS: tuple[str, ...] = (
    "zqi_current_price_pb", "zqi_place_order_pb", "zqi_last_tick_pb", "zqi_get_unfinished_orders_pb",
    "zqi_get_orders_pb", "zqi_close_all_positions_pb", "zqi_get_execution_reports_pb", "zqi_get_cash_pb",
    "zqi_get_positions_pb", "zqi_get_account_status_pb", "zqi_raw_func_pb", "zqi_repay_cash_directly_pb",
    "zqi_get_collateral_instruments_pb", "zqi_get_borrowable_instruments_pb",
    "zqi_get_borrowable_instruments_positions_pb", "zqi_get_credit_contracts_pb", "zqi_get_credit_cash_pb",
    "zqi_get_ipo_quota_pb", "zqi_get_ipo_instruments_pb", "zqi_get_ipo_match_number_pb",
    "zqi_get_ipo_lot_info_pb", "zqi_get_parameters_pb", "zqi_history_ticks_l2_pb", "zqi_history_bars_l2_pb",
    "zqi_history_transaction_l2_pb", "zqi_place_algo_orders_pb", "zqi_get_algo_orders_pb",
    "zqi_history_order_l2_pb", "zqi_history_order_queue_l2_pb", "zqi_get_entrustable_volume_by_symbol_pb",
    "zqi_get_symbol_infos", "zqi_get_symbols_v2", "zqi_get_history_symbol", "zqi_get_trading_session",
    "zqi_get_contract_expire_rest_days", "zqi_stk_get_industry_category", "zqi_stk_get_industry_constituents",
    "zqi_stk_get_symbol_industry", "zqi_stk_get_sector_category", "zqi_stk_get_sector_constituents",
    "zqi_stk_get_symbol_sector", "zqi_stk_get_index_constituents", "zqi_stk_get_index_history_constituents",
    "zqi_stk_get_dividend", "stk_get_ration", "zqi_stk_get_adj_factor", "zqi_stk_get_shareholder_num",
    "zqi_stk_get_top_shareholder", "zqi_stk_get_share_change", "zqi_stk_get_fundamentals_balance",
    "zqi_stk_get_fundamentals_balance_pt", "zqi_stk_get_fundamentals_cashflow",
    "zqi_stk_get_fundamentals_cashflow_pt", "zqi_stk_get_fundamentals_income",
    "zqi_stk_get_fundamentals_income_pt", "zqi_stk_get_finance_prime", "zqi_stk_get_finance_prime_pt",
    "zqi_stk_get_finance_deriv", "zqi_stk_get_finance_deriv_pt", "zqi_stk_get_daily_valuation",
    "zqi_stk_get_daily_valuation_pt", "zqi_stk_get_daily_mktvalue", "zqi_stk_get_daily_mktvalue_pt",
    "zqi_stk_get_daily_basic", "zqi_stk_get_daily_basic_pt", "zqi_fut_get_continuous_contracts",
    "zqi_fut_get_contract_info", "zqi_fut_get_transaction_ranking", "zqi_fut_get_transaction_rankings",
    "zqi_fut_get_warehouse_receipt", "zqi_fnd_get_etf_components", "zqi_fnd_get_portfolio",
    "zqi_fnd_get_net_value", "zqi_fnd_get_adj_factor", "zqi_fnd_get_dividend", "zqi_fnd_get_split",
    "zqi_bnd_get_conversion_price", "zqi_bnd_get_call_info", "zqi_bnd_get_put_info",
    "zqi_bnd_get_amount_change", "zqi_get_trading_dates_by_year", "zqi_option_comb_entrust_pb",
    "zqi_option_sep_entrust_pb", "zqi_get_option_combinable_pb", "zqi_get_option_comb_position_pb",
    "zqi_get_fundamentals", "zqi_get_fundamentals_n", "zqi_get_instrumentInfos",
    "zqi_get_fuzzy_match_instrumentInfos", "zqi_get_history_instruments", "zqi_get_constituents",
    "zqi_get_sector", "zqi_get_industry", "zqi_get_concept", "zqi_get_trading_dates",
    "zqi_get_previous_trading_date", "zqi_get_next_trading_date", "zqi_get_dividends",
    "zqi_get_dividends_snapshot", "zqi_get_continuous_contracts", "zqi_get_varietyinfos",
    "zqi_get_trading_time", "zqi_option_get_symbols_by_exchange", "zqi_option_get_symbols_by_in_at_out",
    "zqi_option_get_delisted_dates", "zqi_option_get_exercise_prices", "zqi_history_ticks_pb",
    "zqi_history_bars_pb", "zqi_history_ticks_n_pb", "zqi_history_bars_n_pb", "zqi_get_instruments",
    "zqi_get_trading_times_ext", "zqi_get_convertible_bond_call_info", "zqi_get_previous_n_trading_dates",
    "zqi_get_next_n_trading_dates", "zqi_stk_abnor_change_stocks", "zqi_stk_abnor_change_detail",
    "zqi_stk_quota_shszhk_infos", "zqi_stk_hk_inst_holding_detail_info", "zqi_stk_hk_inst_holding_info",
    "zqi_stk_active_stock_top10_shszhk_info", "zqi_stk_get_money_flow", "zqi_stk_get_finance_audit",
    "zqi_stk_get_finance_forecast", "zqi_fnd_get_share", "zqi_bnd_get_analysis", "zqi_get_cash_pb_v2",
    "zqi_get_positions_pb_v2", "zqi_get_instrument_pool_by_name_pb", "zqi_get_instrument_pools_pb",
    "zqi_get_open_call_auction", "zqi_cancel_all_orders_pb", "zqi_cancel_orders_pb", "zqi_add_parameters_pb",
    "zqi_set_parameters_pb", "zqi_log_pb", "zqi_cancel_algo_orders_pb", "zqi_pause_algo_orders_pb",
    "zqi_set_instrument_pool_symbols_pb", "zqi_del_instrument_pool_by_name_pb", "zqi_get_account_info_pb",
    "zqi_current_pb", "zqi_get_child_orders_pb", "zqi_algo_order_batch_pb", "zqi_add_bus_topic",
    "zqi_set_bus_info", "zqi_set_bus_secure", "zqi_set_mode", "zqi_set_timer", "zqi_user_timer_stop",
    "zqi_set_backtest_intraday", "zqi_set_backtest_threadnum", "zqi_set_mode_consistency",
    "zqi_set_max_wait_time", "zqi_set_apitoken", "zqi_set_serv_addr", "zqi_set_serv_addr_v5",
    "zqi_set_strategy_id", "zqi_set_account_id", "zqi_set_mfp", "zqi_set_version", "zqi_set_ctp_md_info",
    "zqi_set_simtrade_only", "zqi_send_msg_to_bus", "zqi_schedule", "zqi_user_timer", "zqi_set_backtest_config",
    "zqi_subscribe", "zqi_unsubscribe", "zqi_set_token", "zqi_smart_reorder", "zqi_smart_reorder_cancel",
    "zqi_get_c_version", "zqi_get_encrypted_token", "zqi_get_ext_errormsg", "zqi_get_orgcode", "zqi_strerror",
    "zqi_get_serv_addr", "zqi_init", "zqi_poll", "zqi_run", "zqi_stop", "zqi_get_stop_error_code",
    "zqi_use_dsproxy", "zqi_now", "zqi_now_plus", "zqi_set_event_callback_pb",
)

_ET_DYN = 3
_SHT_DYNAMIC, _SHT_DYNSYM = 6, 11
_DT_SONAME, _DT_FLAGS_1 = 14, 0x6FFFFFFB
_DF_1_PIE = 0x08000000
_STT_FUNC, _STT_GNU_IFUNC = 2, 10
_STB_GLOBAL, _STB_WEAK = 1, 2
_MACHINES = {3: "x86", 40: "arm", 62: "x86-64", 183: "aarch64", 243: "riscv", 21: "ppc64", 22: "s390x"}


class CoreLibraryError(Exception):
    """What is wrong with a core library file; str() is the one-line report."""


class _Elf(NamedTuple):
    bits: int
    endian: str
    machine: int
    etype: int


def _header(f: BinaryIO, path: str) -> _Elf:
    ident = f.read(64)
    if len(ident) < 52 or ident[:4] != b"\x7fELF":
        raise CoreLibraryError(f"{path}: not a shared library (not an ELF file)")
    if ident[4] not in (1, 2) or ident[5] not in (1, 2):
        raise CoreLibraryError(f"{path}: not a shared library (malformed ELF header)")
    endian = "<" if ident[5] == 1 else ">"
    etype, machine = struct.unpack_from(endian + "HH", ident, 16)
    return _Elf(32 if ident[4] == 1 else 64, endian, machine, etype)


def _machine_name(elf: _Elf) -> str:
    return f"{elf.bits}-bit {_MACHINES.get(elf.machine, f'machine {elf.machine}')}"


def _host() -> _Elf:
    for exe in ("/proc/self/exe", sys.executable):
        try:
            with open(exe, "rb") as f:
                return _header(f, exe)
        except (OSError, CoreLibraryError):
            continue
    raise CoreLibraryError("cannot tell this interpreter's architecture")


class _Sections:
    """The section table, enough to read the dynamic symbols and entries."""

    def __init__(self, data: bytes, elf: _Elf, path: str):
        self.data, self.elf, self.path = data, elf, path
        e = elf.endian
        if elf.bits == 64:
            shoff, = struct.unpack_from(e + "Q", data, 0x28)
            shentsize, shnum = struct.unpack_from(e + "HH", data, 0x3A)
            fmt = e + "IIQQQQIIQQ"
        else:
            shoff, = struct.unpack_from(e + "I", data, 0x20)
            shentsize, shnum = struct.unpack_from(e + "HH", data, 0x2E)
            fmt = e + "IIIIIIIIII"
        self.sections = []
        try:
            for i in range(shnum):
                _, stype, _, _, off, size, link, _, _, entsize = struct.unpack_from(fmt, data, shoff + i * shentsize)
                self.sections.append((stype, off, size, link, entsize))
        except struct.error:
            raise CoreLibraryError(f"{path}: not a shared library (truncated section table)") from None

    def of_type(self, stype: int) -> tuple[int, int, int, int, int] | None:
        return next((s for s in self.sections if s[0] == stype), None)

    def string(self, strtab: int, offset: int) -> str:
        _, off, size, _, _ = self.sections[strtab]
        start = off + offset
        end = self.data.index(b"\0", start, off + size)
        return self.data[start:end].decode("utf-8", "replace")

    def exported_functions(self) -> set[str]:
        dynsym = self.of_type(_SHT_DYNSYM)
        if dynsym is None:
            raise CoreLibraryError(f"{self.path}: not a shared library (no dynamic symbol table)")
        _, off, size, link, entsize = dynsym
        e = self.elf.endian
        names = set()
        for pos in range(off, off + size, entsize or 1):
            if self.elf.bits == 64:
                name, info, other, shndx = struct.unpack_from(e + "IBBH", self.data, pos)
            else:
                name, _, _, info, other, shndx = struct.unpack_from(e + "IIIBBH", self.data, pos)
            bind, stype, visibility = info >> 4, info & 0xF, other & 3
            if shndx and bind in (_STB_GLOBAL, _STB_WEAK) and stype in (_STT_FUNC, _STT_GNU_IFUNC) \
                    and visibility in (0, 3):
                names.add(self.string(link, name))
        return names

    def dynamic(self) -> tuple[str | None, int]:
        """(SONAME or None, DT_FLAGS_1)."""
        dyn = self.of_type(_SHT_DYNAMIC)
        if dyn is None:
            return None, 0
        _, off, size, link, _ = dyn
        fmt = self.elf.endian + ("qQ" if self.elf.bits == 64 else "iI")
        step = struct.calcsize(fmt)
        soname, flags1 = None, 0
        for pos in range(off, off + size - step + 1, step):
            tag, val = struct.unpack_from(fmt, self.data, pos)
            if tag == 0:
                break
            if tag == _DT_SONAME:
                soname = self.string(link, val)
            elif tag == _DT_FLAGS_1:
                flags1 = val
        return soname, flags1


def check(path: str | Path, functions: Sequence[str] = CORE_FUNCTIONS) -> int:
    """Raise CoreLibraryError unless `path` can serve the extension; returns the number of functions checked."""
    name = str(path)
    try:
        with open(path, "rb") as f:
            elf = _header(f, name)
            f.seek(0)
            data = f.read()
    except IsADirectoryError:
        raise CoreLibraryError(f"{name}: not a shared library (a directory)") from None
    except OSError as e:
        raise CoreLibraryError(f"{name}: cannot read ({e.strerror})") from None
    host = _host()
    if (elf.bits, elf.machine) != (host.bits, host.machine) or elf.endian != host.endian:
        raise CoreLibraryError(f"{name}: wrong architecture: built for {_machine_name(elf)}, "
                               f"this interpreter runs on {_machine_name(host)}")
    if elf.etype != _ET_DYN:
        raise CoreLibraryError(f"{name}: not a shared library (ELF type {elf.etype})")
    sections = _Sections(data, elf, name)
    soname, flags1 = sections.dynamic()
    if flags1 & _DF_1_PIE:
        raise CoreLibraryError(f"{name}: not a shared library (an executable)")
    if soname not in (None, SONAME):
        raise CoreLibraryError(f"{name}: its SONAME is {soname!r}; the extension needs {SONAME!r}")
    exported = sections.exported_functions()
    missing = [fn for fn in functions if fn not in exported]
    if missing:
        raise CoreLibraryError(f"{name}: missing {len(missing)} of {len(functions)} core functions: "
                               + ", ".join(missing))
    return len(functions)


class Declaration(NamedTuple):
    """One core function as the contract header declares it."""

    result: str  # the C result type, e.g. "int", "const char*", "void"
    name: str
    params: tuple[tuple[str, str], ...]  # (C type, parameter name), in order
    shape: str | None  # the request-table macro it comes from (CORE_REPLY, ...), None if declared directly


def _normal(ctype: str) -> str:
    """A C type with one blank between words and none before a '*'."""
    return re.sub(r"\s*\*", "*", " ".join(ctype.split()))


def _declaration(text: str, shape: str | None = None) -> Declaration | None:
    match = re.match(r"^(.*?)\b(\w+)\s*\((.*)\)$", " ".join(text.split()))
    if not match or not match.group(1).strip():
        return None
    raw = match.group(3).strip()
    params = []
    for param in ([] if raw in ("", "void") else raw.split(",")):
        ctype, name = re.match(r"^(.*?)(\w+)$", param.strip()).groups()  # type: ignore[union-attr]
        params.append((_normal(ctype), name))
    return Declaration(_normal(match.group(1)), match.group(2), tuple(params), shape)


def declarations_from_header(header: str | Path) -> list[Declaration]:
    """Every function a contract header declares, in order, the request table it includes expanded.

    The table's shapes are the header's own ``#define CORE_X(name) <declaration>;`` lines.
    """
    path = Path(header)
    text = re.sub(r"//[^\n]*|/\*.*?\*/", "", path.read_text(), flags=re.DOTALL)
    shapes = {m.group(1): m.group(2) for m in re.finditer(r"^\s*#\s*define\s+(CORE_\w+)\(name\)\s+(.*?);?\s*$",
                                                            text, flags=re.MULTILINE)}
    out: list[Declaration] = []
    for chunk in re.split(r"^(\s*#.*)$", text, flags=re.MULTILINE):
        include = re.match(r'\s*#\s*include\s+"([^"]+\.def)"', chunk)
        if include:
            body = (path.parent / include.group(1)).read_text()
            for shape, name in re.findall(r"^\s*(CORE_\w+)\((\w+)\)", body, flags=re.MULTILINE):
                decl = _declaration(re.sub(r"\bname\b", name, shapes[shape]), shape)
                assert decl is not None, shape
                out.append(decl)
            continue
        if chunk.lstrip().startswith("#"):
            continue
        for statement in chunk.replace('extern "C" {', "").replace("}", "").split(";"):
            if statement.strip() and not statement.strip().startswith("typedef"):
                decl = _declaration(statement)
                if decl:
                    out.append(decl)
    return out


def functions_from_header(header: str | Path) -> list[str]:
    """The functions a contract header declares, with the shapes it includes from its .def file."""
    return [d.name for d in declarations_from_header(header)]


def _functions(header: str | None) -> Iterable[str]:
    return functions_from_header(header) if header else CORE_FUNCTIONS


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zq.csdk.check_core",
                                     description="Check that a libzq3-c.so exports every core function c_sdk calls.")
    parser.add_argument("library", help="the shared library file to check")
    parser.add_argument("--header", help="read the list of core functions from this contract header")
    args = parser.parse_args(argv)
    try:
        n = check(args.library, list(_functions(args.header)))
    except CoreLibraryError as e:
        print(f"check_core: {e}", file=sys.stderr)
        return 1
    print(f"{args.library}: a shared library for this machine exporting all {n} core functions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
