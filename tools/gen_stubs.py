#!/usr/bin/env python3
"""Writes the type stubs of the extension, src/zq/csdk/c_sdk.pyi.

The wrappers come from native/csdk/wrappers.def (one row each, in namespace
order); the C types of their scalar parameters and results from the
prototypes in native/csdk/core_api.h; the direct callables from the signature
texts in native/csdk/direct.cpp.  The hand-written wrappers (CUSTOM rows), the
helpers and the record classes are described in this file.

    python3 tools/gen_stubs.py          # rewrite the stub
    python3 tools/gen_stubs.py --check  # exit 1 if the committed stub is stale

Parameter types say what each argument accepts: a text or request parameter
takes ``bytes | bytearray``, and ``str`` too where the wrapper is bound through
adapt_to_python3; an ``int`` parameter takes anything with ``__int__`` (a float
is truncated), a ``double`` anything float() takes, a ``bool`` any object (its
truth value).
"""
from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NATIVE = ROOT / "native" / "csdk"
STUB = ROOT / "src" / "zq" / "csdk" / "c_sdk.pyi"

REPLY = "tuple[int, bytes | None]"
BYTES = "bytes | bytearray"
TEXT = "str | bytes | bytearray"

# Hand-written wrappers: (parameter, C type) pairs and the Python result.
# "request" is a request buffer, "callback" the event handler.
CUSTOM = {
    "py_zqi_set_mode_consistency": ([("mode", "int")], "None"),
    "py_zqi_current": ([("symbols", "const char*"), ("fields", "const char*"), ("include_call_auction", "bool")], REPLY),
    "py_zqi_get_serv_addr": ([("serv_id", "const char*")], "bytes | None"),
    "py_zqi_set_data_callback": ([("pythonf", "callback")], "None"),
    "py_zqi_get_accounts": ([], REPLY),
    "py_zqi_set_version": ([("sdk_version", "const char*"), ("sdk_lang", "const char*")], "None"),
    "py_zqi_algo_order_batch": (
        [("req", "request"), ("algo_name", "const char*"), ("algo_params", "const char*")], REPLY),
    "py_zqi_get_child_orders": ([("account_id", "const char*"), ("algo_id", "const char*")], REPLY),
}

RESULTS = {"int": "int", "long long": "int", "double": "float", "void": "None", "const char*": "bytes"}

# Record classes: fields in class order, whether they have setters, and the
# extra membership test of the bar record.
RECORDS = [
    ("QuoteItemLikeDict2", ["bid_p", "bid_v", "ask_p", "ask_v"], False, False),
    ("TickLikeDict2", ["quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume",
                       "cum_amount", "cum_position", "last_amount", "last_volume", "trade_type",
                       "receive_local_time"], True, False),
    ("BarLikeDict2", ["symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close",
                      "position", "frequency", "receive_local_time"], True, True),
    ("ObjectLikeDict2", [], False, False),
]

HEADER = '''\
# Type stubs of zq.csdk.c_sdk, written by tools/gen_stubs.py from
# native/csdk/wrappers.def -- edit the generator, not this file.
#
# The sixty wrappers bound through adapt_to_python3 are adapter objects, not
# functions: they accept ASCII str wherever the wrapper takes text, and pass
# everything else on.  Each is declared as the adapter made around a private
# function with the wrapper's own parameters, so a type checker sees an
# _Adapter called with those parameters (by position or keyword).
import functools as functools
import logging
import platform as platform
from collections.abc import Callable
from typing import Any, ParamSpec, Protocol, SupportsFloat, SupportsIndex, SupportsInt, TypeVar

_P = ParamSpec("_P")
_R = TypeVar("_R", covariant=True)

class _Adapter(Protocol[_P, _R]):
    """What adapt_to_python3 returns: named "wrapper", called like the wrapped function."""

    __name__: str
    __qualname__: str
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R: ...

def _adapted(func: Callable[_P, _R], /) -> _Adapter[_P, _R]: ...

class _RecordData(Protocol):
    """What a record asks of the mapping it wraps (a dict will do)."""

    def get(self, key: Any, /) -> Any: ...
    def __setitem__(self, key: Any, value: Any, /) -> None: ...

# The event handler: called as handler(msg_type, data) for every event
# (msg_type is bytes instead of str while IS_PY2 is true).  Its result is ignored.
_Handler = Callable[[str, bytes], object]

CSDK_OPERATE_SUCCESS: int
zqsdklogger: logging.Logger
IS_PY2: bool
IS_PY3: bool
'''


def strip_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def read_rows() -> list[tuple[str, list[str]]]:
    """wrappers.def as (kind, arguments) rows, in order."""
    rows = []
    for line in strip_comments((NATIVE / "wrappers.def").read_text()).splitlines():
        line = line.strip()
        if not line:
            continue
        m = re.fullmatch(r"(\w+)\((.*)\)", line)
        if not m:
            raise SystemExit(f"wrappers.def: cannot read row {line!r}")
        args = [a.strip().strip('"') for a in m.group(2).split(",")]
        rows.append((m.group(1), args))
    return rows


def read_prototypes() -> dict[str, tuple[str, list[str]]]:
    """core function -> (result C type, parameter C types) from core_api.h."""
    text = strip_comments((NATIVE / "core_api.h").read_text())
    text = re.sub(r"^\s*#[^\n]*", "", text, flags=re.M)
    protos = {}
    for m in re.finditer(r"([A-Za-z_][\w\s\*]*?)\b(\w+)\s*\(([^()]*)\)\s*;", text):
        result = " ".join(m.group(1).split()).replace(" *", "*")
        params = []
        for p in m.group(3).split(","):
            p = " ".join(p.split())
            if not p or p == "void":
                continue
            ctype = re.sub(r"\s*\b\w+$", "", p) if not p.endswith("*") else p
            params.append(ctype.replace(" *", "*").replace("* ", "*").strip())
        protos[m.group(2)] = (result, params)
    return protos


def read_direct() -> list[tuple[str, str]]:
    """Direct callables in order: (name, signature text such as "wrap(mode: 'int') -> 'void'")."""
    text = (NATIVE / "direct.cpp").read_text()
    table = text[text.index("#define DIRECT_TABLE"):text.index("DIRECT_TABLE\n#undef")]
    table = re.sub(r"\\\n", " ", table)  # the macro's line continuations
    out = []
    for m in re.finditer(r"DIRECT0?\((\w+),\s*((?:\"(?:[^\"\\]|\\.)*\"\s*\\?\s*)+)", table):
        doc = "".join(re.findall(r"\"((?:[^\"\\]|\\.)*)\"", m.group(2)))
        out.append((m.group(1), doc))
    return out


def param_type(ctype: str, adapted: bool) -> str:
    if ctype in ("const char*", "request"):
        return TEXT if adapted else BYTES
    if ctype == "int":
        return "SupportsInt"
    if ctype == "double":
        return "SupportsFloat | SupportsIndex"
    if ctype == "bool":
        return "object"
    if ctype == "callback":
        return "_Handler"
    raise SystemExit(f"no Python type for the C type {ctype!r}")


def result_type(ctype: str) -> str:
    try:
        return RESULTS[ctype]
    except KeyError:
        raise SystemExit(f"no Python type for the C result {ctype!r}") from None


def define(name: str, params: list[tuple[str, str]], result: str, adapted: bool) -> str:
    args = [f"{p}: {param_type(c, adapted)}" for p, c in params]
    fname = f"_{name}" if adapted else name
    line = f"def {fname}({', '.join(args)}) -> {result}: ..."
    if len(line) > 110:  # one parameter a line
        body = "".join(f"    {a},\n" for a in args)
        line = f"def {fname}(\n{body}) -> {result}: ..."
    if adapted:  # the module binds the adapter made around the function
        line += f"\n{name} = _adapted({fname})"
    return line + "\n"


def wrappers() -> list[str]:
    protos = read_prototypes()
    seen: dict[str, int] = {}
    out: list[str] = []
    for kind, args in read_rows():
        name = args[0]
        if kind == "CUSTOM":
            adapted = args[1] == "ADAPTED"
            params, result = CUSTOM[name]
            names = [p for p, _ in params]
            if names != args[2:]:
                raise SystemExit(f"{name}: wrappers.def names {args[2:]}, the generator {names}")
        else:
            core, adapted = args[1], args[2] == "ADAPTED"
            if kind in ("REPLY", "REPLY_AGAIN", "REQUEST"):
                params, result = [("req", "request")], (REPLY if kind != "REQUEST" else "int")
            elif kind in ("CALL", "CALL0"):
                if core not in protos:
                    raise SystemExit(f"{name}: no prototype of {core} in core_api.h")
                cresult, ctypes = protos[core]
                names = args[3:]
                if len(names) != len(ctypes):
                    raise SystemExit(f"{name}: {len(names)} names for {len(ctypes)} parameters of {core}")
                params, result = list(zip(names, ctypes)), result_type(cresult)
            else:
                raise SystemExit(f"wrappers.def: unknown row kind {kind}")
        text = define(name, params, result, adapted)
        if name in seen:  # a second definition replaces the first
            out[seen[name]] = text
        else:
            seen[name] = len(out)
            out.append(text)
    return out


def direct_callables() -> list[str]:
    out = []
    for name, doc in read_direct():
        m = re.fullmatch(r"wrap\((.*)\) -> (.*)", doc)
        if not m:
            raise SystemExit(f"direct.cpp: cannot read the signature {doc!r}")
        params = []
        for part in filter(None, (p.strip() for p in m.group(1).split(","))):
            pname, ctype = part.split(":")
            params.append((pname.strip(), ctype.strip().strip("'").replace(" *", "*")))
        cresult = m.group(2).strip("'").replace(" *", "*")
        result = "float" if cresult == "float" else result_type(cresult)
        out.append(f"# {doc}\n" + define(name, params, result, False))
    return out


def records() -> list[str]:
    out = []
    for cls, fields, settable, contains in RECORDS:
        lines = [f"class {cls}:", "    data: Any", "    def __init__(self, data: _RecordData) -> None: ...",
                 "    def __getitem__(self, item: Any) -> Any: ...",
                 "    def __setitem__(self, item: Any, value: Any) -> None: ..."]
        if contains:
            lines.append("    def __contains__(self, key: object) -> bool: ...")
        lines += ["    def __getattr__(self, item: str) -> Any: ...",
                  "    def __setattr__(self, item: str, value: Any) -> None: ..."]
        for field in fields:
            lines += ["    @property", f"    def {field}(self) -> Any: ..."]
            if settable:
                lines += [f"    @{field}.setter", f"    def {field}(self, value: Any) -> None: ..."]
        out.append("\n".join(lines) + "\n")
    return out


HELPERS = [
    "def is_windows() -> bool: ...\n",
    "def is_linux() -> bool: ...\n",
    "def adapt_to_python3(func: Callable[_P, _R]) -> _Adapter[_P, _R]:\n"
    '    """Wraps `func` so that str arguments reach it ASCII-encoded."""\n',
    "def c_status_ok(status: object) -> bool:\n"
    '    """True when `status` equals CSDK_OPERATE_SUCCESS."""\n',
    "def c_status_fail(status: object, cfunname: object = '') -> bool:\n"
    '    """True when `status` differs from CSDK_OPERATE_SUCCESS; then logs a debug line with its text."""\n',
]


def render() -> str:
    parts = [HEADER, "# Record classes: dict-backed, fields read and written by attribute or item.\n"]
    parts += records()
    parts.append("# Helpers.\n")
    parts += HELPERS
    parts.append("# Wrappers, in namespace order.\n")
    parts += wrappers()
    parts.append("__test__: dict[str, Any]\n\n# Core functions bound directly, each named \"wrap\".\n")
    parts += direct_callables()
    return "\n".join(parts)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true", help="only compare with the committed stub")
    text = render()
    if ap.parse_args().check:
        if not STUB.exists() or STUB.read_text() != text:
            print(f"{STUB.relative_to(ROOT)} is stale: run python3 tools/gen_stubs.py", file=sys.stderr)
            return 1
        return 0
    STUB.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
