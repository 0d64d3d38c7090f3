"""A cassette as JSON Lines: one object per record, to read in a review and to edit by hand.

Each line is an object whose ``record`` names its kind, followed by the
record's fields under their names in ``_cassette_file``::

    {"record": "header", "info": {"format": 1, "secrets": "filtered", ...}}
    {"record": "call", "seq": 1, "thread": 1, "t_ns": 5200, "fn": "zqi_place_order_pb", "args": [{"req": "{...}"}]}
    {"record": "event", "during": 1, "thread": 1, "t_ns": 6100, "msg_type": "tick", "data": {"b64": "AAEC"}}
    {"record": "return", "seq": 1, "duration_ns": 830, "result": 0, "out": {"reply": "{...}"}}
    {"record": "end", "calls": 1, "events": 1, "dropped": 0}

A payload (a text, a request, a reply, an event's message type or data) is a
JSON string when its bytes are valid UTF-8, ``{"b64": "..."}`` (base64)
otherwise, and null for a NULL pointer.  A value is a number (an int of 32
bits, or a float written with its decimal point), true or false, a payload
(a text), or one of the tagged objects ``{"req": P}`` (a request buffer),
``{"i64": N}``, ``{"f64": "nan"}`` (also ``"inf"``, ``"-inf"``),
``{"secret": true}``, ``{"callback": true}`` and ``{"void": true}``.  A length
(``"length"`` of a request or reply, ``"data_len"`` of an event) is written
only where it differs from its payload's; a reply is ``{"reply": P}``, the
text ``zqi_get_serv_addr`` hands back ``{"text": P}``.
"""
from __future__ import annotations

import base64
import binascii
import json
import math
from dataclasses import fields
from typing import IO, Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple

from ._cassette_file import (FNPTR, I64, SECRET, VOID, Buf, CallRecord, EndRecord, EventRecord, Header, Out, Record,
                             ReturnRecord)
from ._cassette_writer import payload as check_record

__all__ = ["to_json", "from_json", "export_lines", "import_lines", "JsonError"]

_NAMES: Dict[type, str] = {Header: "header", CallRecord: "call", ReturnRecord: "return", EventRecord: "event",
                           EndRecord: "end"}
_TYPES = {name: t for t, name in _NAMES.items()}
_TAGS = {"secret": SECRET, "callback": FNPTR, "void": VOID}


class JsonError(ValueError):
    """A line that is not a record; str() says which field and why."""


# ---- to JSON ----------------------------------------------------------------------------------


def _data(data: Optional[bytes]) -> Any:
    if data is None:
        return None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return {"b64": base64.b64encode(data).decode("ascii")}


def _sized(key: str, length: int, data: Optional[bytes], length_key: str = "length") -> Dict[str, Any]:
    out = {key: _data(data)}
    if data is None or length != len(data):
        out[length_key] = length
    return out


def _value(v: object) -> Any:
    for tag, marker in _TAGS.items():
        if v is marker:
            return {tag: True}
    if isinstance(v, I64):
        return {"i64": int(v)}
    if isinstance(v, float) and not math.isfinite(v):
        return {"f64": repr(v)}
    if isinstance(v, Buf):
        return _sized("req", v.length, v.data)
    if v is None or isinstance(v, bytes):
        return _data(v)
    return v  # int, float, bool


def to_json(rec: Record) -> Dict[str, Any]:
    """The JSON object of one record."""
    obj: Dict[str, Any] = {"record": _NAMES[type(rec)]}
    if isinstance(rec, CallRecord):
        obj.update(seq=rec.seq, thread=rec.thread, t_ns=rec.t_ns, fn=rec.fn, args=[_value(a) for a in rec.args])
    elif isinstance(rec, ReturnRecord):
        out: Any = None
        if rec.out is not None:
            out = {"text": _data(rec.out.data)} if rec.out.length == -1 else \
                _sized("reply", rec.out.length, rec.out.data)
        obj.update(seq=rec.seq, duration_ns=rec.duration_ns, result=_value(rec.result), out=out)
    elif isinstance(rec, EventRecord):
        obj.update(during=rec.during, thread=rec.thread, t_ns=rec.t_ns, msg_type=_data(rec.msg_type),
                   **_sized("data", rec.data_len, rec.data, "data_len"))
    else:
        obj.update((f.name, getattr(rec, f.name)) for f in fields(rec))
    return obj


def export_lines(records: Iterable[Record]) -> Iterator[bytes]:
    """Each record as one line of UTF-8 JSON, newline included."""
    for rec in records:
        obj = to_json(rec)
        try:
            yield (json.dumps(obj, ensure_ascii=False) + "\n").encode("utf-8")
        except UnicodeEncodeError:  # a header holding a lone surrogate: escaped instead
            yield (json.dumps(obj) + "\n").encode("ascii")


# ---- from JSON --------------------------------------------------------------------------------


def _payload(x: Any, what: str) -> Optional[bytes]:
    if x is None:
        return None
    if isinstance(x, str):
        try:
            return x.encode("utf-8")
        except UnicodeEncodeError:
            raise JsonError(f"{what}: a lone surrogate in a text; give such bytes as {{\"b64\": ...}}") from None
    if isinstance(x, dict) and set(x) == {"b64"} and isinstance(x["b64"], str):
        try:
            return base64.b64decode(x["b64"], validate=True)
        except (binascii.Error, ValueError):
            raise JsonError(f"{what}: {x['b64']!r} is not base64") from None
    raise JsonError(f"{what}: a payload is a string, {{\"b64\": \"...\"}} or null, not {json.dumps(x)}")


def _int(x: Any, what: str) -> int:
    if isinstance(x, bool) or not isinstance(x, int):
        raise JsonError(f"{what}: an integer, not {json.dumps(x)}")
    return int(x)


def _unsized(obj: Dict[str, Any], key: str, what: str, length_key: str = "length") -> Tuple[int, Optional[bytes]]:
    data = _payload(obj[key], f"{what}.{key}")
    if length_key in obj:
        return _int(obj[length_key], f"{what}.{length_key}"), data
    if data is None:
        raise JsonError(f"{what}: a NULL {key} needs its {length_key}")
    return len(data), data


def _object(x: Any, what: str, required: Tuple[str, ...], optional: Tuple[str, ...] = ()) -> Dict[str, Any]:
    if not isinstance(x, dict):
        raise JsonError(f"{what}: an object, not {json.dumps(x)}")
    missing = [k for k in required if k not in x]
    unknown = [k for k in x if k not in required and k not in optional]
    if missing or unknown:
        raise JsonError(f"{what}: " + "; ".join(
            ([f"missing {', '.join(map(repr, missing))}"] if missing else []) +
            ([f"unknown field {', '.join(map(repr, unknown))}"] if unknown else [])))
    return x


def _from_value(x: Any, what: str) -> object:
    if isinstance(x, (bool, int, float)):
        return x
    if x is None or isinstance(x, str):
        return _payload(x, what)
    if isinstance(x, dict) and len(x) == 1:
        (tag, v), = x.items()
        if tag in _TAGS and v is True:
            return _TAGS[tag]
        if tag == "i64":
            return I64(_int(v, f"{what}.i64"))
        if tag == "f64" and v in ("nan", "inf", "-inf"):
            return float(v)
        if tag == "b64":
            return _payload(x, what)
    if isinstance(x, dict) and "req" in x:
        length, data = _unsized(_object(x, what, ("req",), ("length",)), "req", what)
        return Buf(length, data)
    raise JsonError(f"{what}: not a value: {json.dumps(x)}")


def _out(x: Any, what: str) -> Optional[Out]:
    if x is None:
        return None
    if isinstance(x, dict) and "text" in x:
        return Out(-1, _payload(_object(x, what, ("text",))["text"], f"{what}.text"))
    return Out(*_unsized(_object(x, what, ("reply",), ("length",)), "reply", what))


_FIELDS: Dict[str, Tuple[Tuple[str, ...], Tuple[str, ...]]] = {
    "header": (("info",), ()),
    "call": (("seq", "thread", "t_ns", "fn", "args"), ()),
    "return": (("seq", "duration_ns", "result", "out"), ()),
    "event": (("during", "thread", "t_ns", "msg_type", "data"), ("data_len",)),
    "end": (("calls", "events", "dropped"), ()),
}


def from_json(obj: Any) -> Record:
    """The record of one JSON object (as :func:`to_json` makes them); JsonError if it is not one."""
    if not isinstance(obj, dict) or obj.get("record") not in _TYPES:
        raise JsonError(f"not a record: an object whose \"record\" is one of {', '.join(_TYPES)}")
    kind = obj["record"]
    required, optional = _FIELDS[kind]
    o = _object(obj, kind, ("record",) + required, optional)
    n: Callable[[str], int] = lambda key: _int(o[key], f"{kind}.{key}")  # noqa: E731
    if kind == "header":
        if not isinstance(o["info"], dict):
            raise JsonError(f"header.info: an object, not {json.dumps(o['info'])}")
        return Header(o["info"])
    if kind == "call":
        if not isinstance(o["fn"], str):
            raise JsonError(f"call.fn: a string, not {json.dumps(o['fn'])}")
        if not isinstance(o["args"], list):
            raise JsonError(f"call.args: a list, not {json.dumps(o['args'])}")
        args: List[object] = [_from_value(a, f"call.args[{i}]") for i, a in enumerate(o["args"])]
        return CallRecord(n("seq"), n("thread"), n("t_ns"), o["fn"], args)
    if kind == "return":
        return ReturnRecord(n("seq"), n("duration_ns"), _from_value(o["result"], "return.result"),
                            _out(o["out"], "return.out"))
    if kind == "event":
        data_len, data = _unsized(o, "data", "event", "data_len")
        return EventRecord(n("during"), n("thread"), n("t_ns"), _payload(o["msg_type"], "event.msg_type"),
                           data_len, data)
    return EndRecord(n("calls"), n("events"), n("dropped"))


def import_lines(f: IO[bytes], name: str) -> Iterator[Record]:
    """The records of the JSON lines in `f`, each checked as the writer will encode it; a line that is
    not a record raises JsonError naming `name` and the line.  Blank lines are skipped."""
    records = 0
    ended = False
    for lineno, line in enumerate(f, 1):
        if not line.strip():
            continue
        where = f"{name}:{lineno}"
        try:
            rec = from_json(json.loads(line.decode("utf-8")))
            check_record(rec, _NAMES[type(rec)])
            if ended:
                raise JsonError("a record after the end record")
            if records and isinstance(rec, Header):
                raise JsonError("a second header")
        except UnicodeDecodeError:
            raise JsonError(f"{where}: not UTF-8") from None
        except json.JSONDecodeError as e:
            raise JsonError(f"{where}: not JSON: {e}") from None
        except (JsonError, ValueError, TypeError) as e:
            raise JsonError(f"{where}: {e}") from None
        records += 1
        ended = isinstance(rec, EndRecord)
        yield rec
    if not records:
        raise JsonError(f"{name}: holds no records (an exported cassette begins with its header)")
