"""Every public callable of c_sdk, with what it takes and what it returns.

The wrappers come from native/csdk/wrappers.def (one row each) and the C types
of their parameters and results from the prototypes in native/csdk/core_api.h;
the hand-written rows (CUSTOM) are described here.  The direct callables are
found in the module namespace (``__name__ == "wrap"``) and typed by their own
prototype.  `check_namespace` fails when the namespace holds a wrapper this
catalogue does not know, so a new row is covered by the fuzz test and the leak
check as soon as it lands.

Parameter kinds: "request" (a request buffer), "text" (const char*), "int",
"double", "bool", "any" (stored unconverted).  Result kinds: "pair"
((status, bytes | None)), "int", "none", "bytes", "float", "bytes_or_none".
"""
from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parents[2]
NATIVE = ROOT / "native" / "csdk"


@dataclass(frozen=True)
class Param:
    name: str
    kind: str


@dataclass(frozen=True)
class Entry:
    name: str                 # the namespace name
    core: Optional[str]       # the core function it calls
    params: Tuple[Param, ...]
    result: str
    adapted: bool = False
    direct: bool = False
    row: str = ""             # the wrappers.def row kind; "" for direct callables

    @property
    def post_call_failures(self) -> bool:
        """Whether the wrapper can fail after its core call (reply copy)."""
        return self.result == "pair"


# Hand-written rows: parameters, result kind, core function.
CUSTOM: Dict[str, Tuple[Tuple[Tuple[str, str], ...], str, str]] = {
    "py_zqi_set_mode_consistency": ((("mode", "int"),), "none", "zqi_set_mode_consistency"),
    "py_zqi_current": ((("symbols", "text"), ("fields", "text"), ("include_call_auction", "bool")), "pair",
                       "zqi_current_pb"),
    "py_zqi_get_serv_addr": ((("serv_id", "text"),), "bytes_or_none", "zqi_get_serv_addr"),
    "py_zqi_set_data_callback": ((("pythonf", "any"),), "none", "zqi_set_event_callback_pb"),
    "py_zqi_get_accounts": ((), "pair", "zqi_get_account_info_pb"),
    "py_zqi_set_version": ((("sdk_version", "text"), ("sdk_lang", "text")), "none", "zqi_set_version"),
    "py_zqi_algo_order_batch": ((("req", "request"), ("algo_name", "text"), ("algo_params", "text")), "pair",
                                "zqi_algo_order_batch_pb"),
    "py_zqi_get_child_orders": ((("account_id", "text"), ("algo_id", "text")), "pair", "zqi_get_child_orders_pb"),
}

_RESULTS = {"int": "int", "long long": "int", "double": "float", "void": "none", "const char*": "bytes"}
_PARAMS = {"const char*": "text", "int": "int", "double": "double", "bool": "bool"}


def _prototypes() -> Dict[str, Tuple[str, List[str]]]:
    """core name -> (result C type, parameter kinds) from core_api.h."""
    text = (NATIVE / "core_api.h").read_text()
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r"#[^\n]*", "", text)
    text = " ".join(text.split())
    protos = {}
    for ret, name, params in re.findall(r"(const char\s*\*|long long|int|void|double)\s+(\w+)\(([^()]*)\);", text):
        ret = ret.replace(" *", "*").replace("char *", "char*")
        kinds: List[str] = []
        parts = [p.strip() for p in params.split(",") if p.strip() and p.strip() != "void"]
        i = 0
        while i < len(parts):
            p = parts[i]
            if p.startswith("void* "):          # a request: void* req, int req_len
                kinds.append("request")
                i += 2
                continue
            if "**" in p or "* res_len" in p or "*res_len" in p or p.startswith("int* "):
                i += 1                          # output parameters
                continue
            ctype = p.rsplit(" ", 1)[0].replace(" *", "*").replace("char *", "char*")
            kinds.append(_PARAMS.get(ctype, "any"))
            i += 1
        protos[name] = (ret, kinds)
    for name in re.findall(r"CORE_REPLY\((\w+)\)", (NATIVE / "core_functions.def").read_text()):
        protos[name] = ("int", ["request"])
    for name in re.findall(r"CORE_REQUEST\((\w+)\)", (NATIVE / "core_functions.def").read_text()):
        protos[name] = ("int", ["request"])
    return protos


def _rows() -> List[Tuple[str, List[str]]]:
    rows = []
    for line in (NATIVE / "wrappers.def").read_text().splitlines():
        m = re.match(r"^(REPLY|REPLY_AGAIN|REQUEST|CALL0|CALL|CUSTOM)\((.*)\)\s*$", line.strip())
        if m:
            rows.append((m.group(1), [a.strip().strip('"') for a in m.group(2).split(",")]))
    return rows


def wrappers() -> List[Entry]:
    """One entry per wrappers.def row, the second definition of a name replacing the first."""
    protos = _prototypes()
    out: Dict[str, Entry] = {}
    for kind, a in _rows():
        if kind == "CUSTOM":
            name, adapted, names = a[0], a[1] == "ADAPTED", a[2:]
            params, result, core = CUSTOM[name]
            if tuple(p for p, _ in params) != tuple(names):
                raise AssertionError(f"{name}: wrappers.def names {names}, catalogue {params}")
            entry = Entry(name, core, tuple(Param(*p) for p in params), result, adapted, row=kind)
        else:
            name, core, adapted, names = a[0], a[1], a[2] == "ADAPTED", a[3:]
            ret, kinds = protos[core]
            if kind in ("REPLY", "REPLY_AGAIN"):
                entry = Entry(name, core, (Param("req", "request"),), "pair", adapted, row=kind)
            elif kind == "REQUEST":
                entry = Entry(name, core, (Param("req", "request"),), "int", adapted, row=kind)
            else:
                if len(names) != len(kinds):
                    raise AssertionError(f"{name}: {len(names)} names for {core}'s {len(kinds)} parameters")
                entry = Entry(name, core, tuple(Param(n, k) for n, k in zip(names, kinds)), _RESULTS[ret],
                              adapted, row=kind)
        out[name] = entry
    return list(out.values())


def direct_callables(module) -> List[Entry]:
    """The core functions bound directly as module attributes."""
    protos = _prototypes()
    out = []
    for name, obj in vars(module).items():
        if getattr(obj, "__name__", None) == "wrap" and name in protos:
            ret, kinds = protos[name]
            names = re.findall(r"(\w+):", obj.__doc__.split("->")[0])  # "wrap(topic: 'const char *') -> ..."
            out.append(Entry(name, name, tuple(Param(n, k) for n, k in zip(names, kinds)), _RESULTS[ret],
                             direct=True))
    return out


def check_namespace(module) -> List[Entry]:
    """All wrappers and direct callables; raises if the namespace and the catalogue disagree."""
    entries = wrappers()
    known = {e.name for e in entries}
    found = {n for n in vars(module) if n.startswith(("py_zqi_", "py_stk_", "py_get_"))}
    if known != found:
        raise AssertionError(f"namespace and wrappers.def differ: only in namespace {sorted(found - known)}, "
                             f"only in wrappers.def {sorted(known - found)}")
    directs = direct_callables(module)
    if len(directs) != 14:
        raise AssertionError(f"expected 14 direct callables, found {[d.name for d in directs]}")
    return entries + directs


RECORD_CLASSES = ("QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2")


def record_classes(module):
    """The record classes the module defines (none until they land)."""
    return [getattr(module, n) for n in RECORD_CLASSES if hasattr(module, n)]


def record_fields(cls) -> List[str]:
    """Field names of a record class: its data descriptors other than the slot and dunders."""
    return [k for k, v in vars(cls).items()
            if not k.startswith("__") and k != "data" and hasattr(type(v), "__get__") and hasattr(type(v), "__set__")]


def _is_pair(r) -> bool:
    return (type(r) is tuple and len(r) == 2 and type(r[0]) is int
            and (r[1] is None or type(r[1]) is bytes))


RESULT_CHECKS = {
    "pair": _is_pair,
    "int": lambda r: type(r) is int,
    "none": lambda r: r is None,
    "bytes": lambda r: type(r) is bytes,
    "float": lambda r: type(r) is float,
    "bytes_or_none": lambda r: r is None or type(r) is bytes,
    "any": lambda r: True,
}
"""Whether a returned value has the documented type of each result kind."""
