"""Check that a core library file can serve the c_sdk extension.

    python -m zq.csdk.check_core /path/to/libzq3-c.so

Exit status 0 when the file is a shared library for this machine's
architecture exporting every core function the extension calls; otherwise 1,
with one line on stderr naming the file and what is wrong (each missing
function by name).  The build runs the same check on the library given with
``-C cmake.define.CSDK_CORE_LIBRARY=PATH``, with ``--header`` reading the list
from the extension's contract header instead of the one below, and with
``--link`` requiring the section headers the link needs as well.

The file is read as the dynamic linker reads it (program headers, dynamic
section, symbols through the hash table), a bounded amount at a time; anything
that is not a regular file is refused without being opened for reading.
"""
from __future__ import annotations

import argparse
import functools
import os
import re
import stat
import struct
import sys
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import NamedTuple

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
_PT_LOAD, _PT_DYNAMIC = 1, 2
_DT_NULL, _DT_HASH, _DT_STRTAB, _DT_SYMTAB, _DT_STRSZ, _DT_SYMENT, _DT_SONAME = 0, 4, 5, 6, 10, 11, 14
_DT_GNU_HASH, _DT_FLAGS_1 = 0x6FFFFEF5, 0x6FFFFFFB
_DF_1_PIE = 0x08000000
_STT_FUNC, _STT_GNU_IFUNC = 2, 10
_STB_GLOBAL, _STB_WEAK = 1, 2
_MACHINES = {3: "x86", 40: "arm", 62: "x86-64", 183: "aarch64", 243: "riscv", 21: "ppc64", 22: "s390x"}
_TABLES = {_DT_HASH: "DT_HASH", _DT_GNU_HASH: "DT_GNU_HASH", _DT_SYMTAB: "DT_SYMTAB", _DT_STRTAB: "DT_STRTAB"}
_CHUNK = 4096  # table entries read at a time
_SONAME_MAX = 4096


class CoreLibraryError(Exception):
    """What is wrong with a core library file; str() is the one-line report."""


class _Elf(NamedTuple):
    bits: int
    endian: str
    machine: int
    etype: int
    phoff: int
    phentsize: int
    phnum: int
    shoff: int
    shentsize: int
    shnum: int


def _header(head: bytes, path: str) -> _Elf:
    if len(head) < 6 or head[:4] != b"\x7fELF":
        raise CoreLibraryError(f"{path}: not a shared library (not an ELF file)")
    if head[4] not in (1, 2) or head[5] not in (1, 2):
        raise CoreLibraryError(f"{path}: not a shared library (malformed ELF header)")
    bits, endian = (32 if head[4] == 1 else 64), ("<" if head[5] == 1 else ">")
    if len(head) < (52 if bits == 32 else 64):
        raise CoreLibraryError(f"{path}: not a shared library (truncated ELF header)")
    etype, machine = struct.unpack_from(endian + "HH", head, 16)
    if bits == 64:
        phoff, shoff = struct.unpack_from(endian + "QQ", head, 0x20)
        phentsize, phnum, shentsize, shnum = struct.unpack_from(endian + "HHHH", head, 0x36)
    else:
        phoff, shoff = struct.unpack_from(endian + "II", head, 0x1C)
        phentsize, phnum, shentsize, shnum = struct.unpack_from(endian + "HHHH", head, 0x2A)
    return _Elf(bits, endian, machine, etype, phoff, phentsize, phnum, shoff, shentsize, shnum)


def _machine_name(elf: _Elf) -> str:
    return f"{elf.bits}-bit {_MACHINES.get(elf.machine, f'machine {elf.machine}')}"


def _host() -> _Elf:
    for exe in ("/proc/self/exe", sys.executable):
        try:
            with open(exe, "rb") as f:
                return _header(f.read(64), exe)
        except (OSError, CoreLibraryError):
            continue
    raise CoreLibraryError("cannot tell this interpreter's architecture")


class _Image:
    """A shared library file as the dynamic linker reads it: the program
    headers, the dynamic section, and the dynamic symbols through the hash
    table.  Section headers are never consulted.  Only the bytes needed are
    read, a bounded amount at a time; whatever lies outside the file or
    outside the segments it names makes a CoreLibraryError."""

    def __init__(self, fd: int, size: int, elf: _Elf, path: str):
        self.fd, self.size, self.elf, self.path = fd, size, elf, path
        self.e = e = elf.endian
        # (type, file offset, address, size in the file) of each program header
        if elf.bits == 64:
            phdr, pick = e + "IIQQQQQQ", (lambda p: (p[0], p[2], p[3], p[5]))
        else:
            phdr, pick = e + "IIIIIIII", (lambda p: (p[0], p[1], p[2], p[4]))
        if elf.phnum == 0 or elf.phentsize != struct.calcsize(phdr):
            raise self.malformed("no program headers" if elf.phnum == 0 else "malformed program headers")
        headers = [pick(p) for p in self.entries(elf.phoff, elf.phnum, phdr, "program headers")]
        self.loads = [(address, offset, filesz) for ptype, offset, address, filesz in headers if ptype == _PT_LOAD]
        dynamic = next(((offset, filesz) for ptype, offset, _, filesz in headers if ptype == _PT_DYNAMIC), None)
        if dynamic is None:
            raise self.malformed("no dynamic section")
        # Each tag's value, the last one seen winning, up to DT_NULL.
        entry = e + ("qQ" if elf.bits == 64 else "iI")
        self.dynamic: dict[int, int] = {}
        for tag, value in self.entries(dynamic[0], dynamic[1] // struct.calcsize(entry), entry, "dynamic section"):
            if tag == _DT_NULL:
                break
            self.dynamic[tag] = value

    def malformed(self, what: str) -> CoreLibraryError:
        return CoreLibraryError(f"{self.path}: not a shared library ({what})")

    def read(self, offset: int, size: int, what: str) -> bytes:
        data = os.pread(self.fd, size, offset) if 0 <= offset and offset + size <= self.size else b""
        if len(data) != size:
            raise self.malformed(f"{what} past the end of the file")
        return data

    def entries(self, offset: int, count: int, fmt: str, what: str) -> Iterator[tuple[int, ...]]:
        """The `count` entries of a table at file `offset`, read a chunk at a time."""
        step = struct.calcsize(fmt)
        if offset + count * step > self.size:
            raise self.malformed(f"{what} past the end of the file")
        for first in range(0, count, _CHUNK):
            yield from struct.iter_unpack(fmt, self.read(offset + first * step, min(_CHUNK, count - first) * step, what))

    def extent(self, address: int, what: str) -> tuple[int, int]:
        """The file offset of `address` and the bytes from there to the end of the loaded segment holding it."""
        for start, offset, filesz in self.loads:
            if start <= address < start + filesz:
                return offset + address - start, start + filesz - address
        raise self.malformed(f"{what} outside the loaded segments")

    def at(self, address: int, size: int, what: str) -> int:
        """The file offset of `size` bytes at `address`, which one loaded segment must hold."""
        offset, room = self.extent(address, what)
        if size > room:
            raise self.malformed(f"{what} outside the loaded segments")
        return offset

    def table(self, tag: int, size: int) -> int:
        """The file offset of the `size` bytes a dynamic entry points to."""
        if tag not in self.dynamic:
            raise self.malformed(f"no {_TABLES[tag]}")
        return self.at(self.dynamic[tag], size, _TABLES[tag])

    @functools.cached_property
    def strtab(self) -> tuple[int, int]:
        """File offset and size of the dynamic string table."""
        size = self.dynamic.get(_DT_STRSZ, 0)
        return self.table(_DT_STRTAB, size), size

    def name(self, index: int, limit: int) -> bytes | None:
        """The string at `index` of the dynamic string table, or None if it is longer than `limit` bytes."""
        offset, size = self.strtab
        if index >= size:
            raise self.malformed("a name outside the dynamic string table")
        raw = self.read(offset + index, min(limit + 1, size - index), "dynamic string table")
        end = raw.find(b"\0")
        return raw[:end] if end >= 0 else None

    def soname(self) -> str | None:
        if _DT_SONAME not in self.dynamic:
            return None
        name = self.name(self.dynamic[_DT_SONAME], _SONAME_MAX)
        return "?" if name is None else name.decode("utf-8", "replace")

    def flags1(self) -> int:
        return self.dynamic.get(_DT_FLAGS_1, 0)

    def symbol_count(self) -> int:
        """The number of dynamic symbols, from DT_HASH when present, else from DT_GNU_HASH."""
        u32 = self.e + "I"
        if _DT_HASH in self.dynamic:
            return struct.unpack(u32, self.read(self.table(_DT_HASH, 8) + 4, 4, "DT_HASH"))[0]
        if _DT_GNU_HASH not in self.dynamic:
            raise self.malformed("no symbol hash table")
        address = self.dynamic[_DT_GNU_HASH]
        nbuckets, symoffset, bloom_words, _ = struct.unpack(self.e + "4I", self.read(self.table(_DT_GNU_HASH, 16), 16,
                                                                                       "DT_GNU_HASH"))
        address += 16 + bloom_words * self.elf.bits // 8
        last = max((b for b, in self.entries(self.at(address, 4 * nbuckets, "DT_GNU_HASH buckets"), nbuckets, u32,
                                             "DT_GNU_HASH buckets")), default=0)
        if last < symoffset:
            return symoffset
        # The chain of the highest bucket ends at the last symbol: its lowest bit set.
        offset, room = self.extent(address + 4 * nbuckets + 4 * (last - symoffset), "DT_GNU_HASH chains")
        for i, (value,) in enumerate(self.entries(offset, room // 4, u32, "DT_GNU_HASH chains")):
            if value & 1:
                return last + i + 1
        raise self.malformed("DT_GNU_HASH chain without an end")

    def exported(self, wanted: Iterable[str]) -> set[str]:
        """Those of the `wanted` functions that the library defines and exports."""
        names = {name.encode(): name for name in wanted}
        limit = max(map(len, names), default=0)
        sym = self.e + ("IBBHQQ" if self.elf.bits == 64 else "IIIBBH")
        step = struct.calcsize(sym)
        if self.dynamic.get(_DT_SYMENT, step) != step:
            raise self.malformed(f"DT_SYMENT {self.dynamic[_DT_SYMENT]}, not {step}")
        count = self.symbol_count()
        found = set()
        for fields in self.entries(self.table(_DT_SYMTAB, count * step), count, sym, "dynamic symbols"):
            if self.elf.bits == 64:
                index, info, other, shndx = fields[:4]
            else:
                index, info, other, shndx = fields[0], *fields[3:]
            bind, stype, visibility = info >> 4, info & 0xF, other & 3
            if shndx and bind in (_STB_GLOBAL, _STB_WEAK) and stype in (_STT_FUNC, _STT_GNU_IFUNC) \
                    and visibility in (0, 3):
                name = self.name(index, limit)
                if name in names:
                    found.add(names[name])
        return found

    def check_sections(self) -> None:
        """What the link editor needs besides: it reads the dynamic symbols through the
        section headers, and a library without them links as if it exported nothing."""
        elf = self.elf
        if elf.shoff == 0 or elf.shnum == 0:
            raise CoreLibraryError(f"{self.path}: no section headers, which the build needs to link against it "
                                   "(the dynamic linker alone would load it)")
        if elf.shentsize != (64 if elf.bits == 64 else 40):
            raise CoreLibraryError(f"{self.path}: malformed section headers, which the build needs to link against it")
        if elf.shoff + elf.shnum * elf.shentsize > self.size:
            raise CoreLibraryError(f"{self.path}: section headers past the end of the file, which the build needs "
                                   "to link against it")


def _open(path: str | Path, kind: str = "shared library") -> int:
    """A descriptor for `path`, which must be a regular file (opening a FIFO or a device could block or act)."""
    try:
        mode = os.stat(path).st_mode
        if stat.S_ISDIR(mode):
            raise CoreLibraryError(f"{path}: not a {kind} (a directory)")
        if not stat.S_ISREG(mode):
            raise CoreLibraryError(f"{path}: not a {kind} (not a regular file)")
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as e:
        raise CoreLibraryError(f"{path}: cannot read ({e.strerror})") from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):  # replaced since the first look
        os.close(fd)
        raise CoreLibraryError(f"{path}: not a {kind} (not a regular file)")
    return fd


def _text(path: Path) -> str:
    try:
        with open(_open(path, "header"), encoding="utf-8", closefd=True) as f:
            return f.read()
    except UnicodeDecodeError:
        raise CoreLibraryError(f"{path}: not a header (not UTF-8 text)") from None
    except OSError as e:
        raise CoreLibraryError(f"{path}: cannot read ({e.strerror})") from None


def check(path: str | Path, functions: Sequence[str] = CORE_FUNCTIONS, *, link: bool = False) -> int:
    """Raise CoreLibraryError unless `path` can serve the extension; returns the number of functions checked.

    With `link`, also require what the build needs to link against the file: its section headers."""
    name = str(path)
    fd = _open(path)
    try:
        size = os.fstat(fd).st_size
        try:
            head = os.pread(fd, 64, 0)
        except OSError as e:
            raise CoreLibraryError(f"{name}: cannot read ({e.strerror})") from None
        elf = _header(head, name)
        host = _host()
        if (elf.bits, elf.machine) != (host.bits, host.machine) or elf.endian != host.endian:
            raise CoreLibraryError(f"{name}: wrong architecture: built for {_machine_name(elf)}, "
                                   f"this interpreter runs on {_machine_name(host)}")
        if elf.etype != _ET_DYN:
            raise CoreLibraryError(f"{name}: not a shared library (ELF type {elf.etype})")
        image = _Image(fd, size, elf, name)
        if image.flags1() & _DF_1_PIE:
            raise CoreLibraryError(f"{name}: not a shared library (an executable)")
        soname = image.soname()
        if soname not in (None, SONAME):
            raise CoreLibraryError(f"{name}: its SONAME is {soname!r}; the extension needs {SONAME!r}")
        exported = image.exported(functions)
        missing = [fn for fn in functions if fn not in exported]
        if missing:
            raise CoreLibraryError(f"{name}: missing {len(missing)} of {len(functions)} core functions: "
                                   + ", ".join(missing))
        if link:
            image.check_sections()
    finally:
        os.close(fd)
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
    Raises CoreLibraryError when a file cannot be read.
    """
    path = Path(header)
    text = re.sub(r"//[^\n]*|/\*.*?\*/", "", _text(path), flags=re.DOTALL)
    shapes = {m.group(1): m.group(2) for m in re.finditer(r"^\s*#\s*define\s+(CORE_\w+)\(name\)\s+(.*?);?\s*$",
                                                            text, flags=re.MULTILINE)}
    out: list[Declaration] = []
    for chunk in re.split(r"^(\s*#.*)$", text, flags=re.MULTILINE):
        include = re.match(r'\s*#\s*include\s+"([^"]+\.def)"', chunk)
        if include:
            body = _text(path.parent / include.group(1))
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


def _functions(header: str | None) -> Sequence[str]:
    if header is None:
        return CORE_FUNCTIONS
    names = functions_from_header(header)
    if not names:
        raise CoreLibraryError(f"{header}: declares no core function")
    return names


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zq.csdk.check_core",
                                     description="Check that a libzq3-c.so exports every core function c_sdk calls.")
    parser.add_argument("library", help="the shared library file to check")
    parser.add_argument("--header", help="read the list of core functions from this contract header")
    parser.add_argument("--link", action="store_true",
                        help="also require what the build needs to link against the file (its section headers)")
    args = parser.parse_args(argv)
    try:
        n = check(args.library, _functions(args.header), link=args.link)
    except CoreLibraryError as e:
        print(f"check_core: {e}", file=sys.stderr)
        return 1
    print(f"{args.library}: a shared library for this machine exporting all {n} core functions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
