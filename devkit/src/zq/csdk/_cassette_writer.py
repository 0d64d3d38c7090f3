"""Writing cassettes: the typed records of ``_cassette_file`` encoded as the recording tap writes them.

    write(path, records)        # a whole cassette, header first and END last

``encode`` gives the bytes of each record, framed and checksummed, for
callers that assemble a file themselves.  Every field is checked against its
width before anything is written: a value that does not fit raises
ValueError or TypeError naming the record and the field.
"""
from __future__ import annotations

import json
import os
import struct
import tempfile
import zlib
from datetime import datetime, timezone
from typing import Iterable, Iterator, Optional, Union

from ._cassette_file import (FNPTR, FORMAT_VERSION, I64, MAGIC, MAX_PAYLOAD, SECRET, VOID, Buf, CallRecord, EndRecord,
                             EventRecord, Header, Out, Record, ReturnRecord, _Damaged, _decode, _Payload)

__all__ = ["write", "encode", "frame", "magic", "value", "blob", "payload"]

_KIND = {Header: 1, CallRecord: 2, ReturnRecord: 3, EventRecord: 4, EndRecord: 5}
_RANGES = {"B": (0, 0xFF), "H": (0, 0xFFFF), "I": (0, 0xFFFFFFFF), "i": (-(1 << 31), (1 << 31) - 1),
           "q": (-(1 << 63), (1 << 63) - 1), "Q": (0, (1 << 64) - 1)}


def magic(version: int = FORMAT_VERSION) -> bytes:
    """The first bytes of a cassette of format `version`."""
    return MAGIC + _pack("H", version, "the format version")


def frame(kind: int, body: bytes) -> bytes:
    """One record: its payload's length, its kind and CRC-32 (over the kind and the payload), then the payload."""
    return struct.pack("<IBI", len(body), kind, zlib.crc32(body, zlib.crc32(bytes([kind])))) + body


def _pack(fmt: str, v: object, what: str) -> bytes:
    if isinstance(v, bool) or not isinstance(v, int):
        raise TypeError(f"{what} must be an int, not {type(v).__name__}")
    low, high = _RANGES[fmt]
    if not low <= v <= high:
        raise ValueError(f"{what} is {v}, outside {low}..{high}")
    return struct.pack("<" + fmt, v)


def blob(data: Optional[bytes], what: str = "a payload") -> bytes:
    """A length (-1: NULL) and the bytes."""
    if data is None:
        return struct.pack("<i", -1)
    if not isinstance(data, bytes):
        raise TypeError(f"{what} must be bytes or None, not {type(data).__name__}")
    return _pack("i", len(data), f"the length of {what}") + data


def value(v: object, what: str = "a value") -> bytes:
    """The tagged encoding of an argument or a result (see ``_cassette_file.Value``)."""
    if v is VOID:
        return b"\0"
    if v is SECRET:
        return b"\7"
    if v is FNPTR:
        return b"\x08"
    if isinstance(v, bool):
        return struct.pack("<BB", 4, v)
    if isinstance(v, I64):
        return b"\2" + _pack("q", v, what)
    if isinstance(v, int):
        return b"\1" + _pack("i", v, f"{what} (an int; I64 for 64 bits)")
    if isinstance(v, float):
        return struct.pack("<Bd", 3, v)
    if v is None or isinstance(v, bytes):
        if v is not None and b"\0" in v:
            raise ValueError(f"{what} is a text, which cannot hold a NUL byte")
        return b"\5" + blob(v, what)
    if isinstance(v, Buf):
        return b"\6" + _pack("i", v.length, f"the length of {what}") + blob(v.data, what)
    raise TypeError(f"{what} cannot be recorded: {type(v).__name__}")


def payload(rec: Record, where: str) -> bytes:
    """The payload of `rec`, each field checked against its width; `where` begins each error."""
    if isinstance(rec, Header):
        if not isinstance(rec.info, dict):
            raise TypeError(f"{where}: a header's info must be a dict, not {type(rec.info).__name__}")
        return json.dumps(rec.info, ensure_ascii=False, allow_nan=False).encode("utf-8")
    if isinstance(rec, CallRecord):
        if not isinstance(rec.fn, str):
            raise TypeError(f"{where}: fn must be a str, not {type(rec.fn).__name__}")
        fn = rec.fn.encode("utf-8")
        return b"".join([_pack("Q", rec.seq, f"{where}: seq"), _pack("I", rec.thread, f"{where}: thread"),
                         _pack("Q", rec.t_ns, f"{where}: t_ns"), _pack("H", len(fn), f"{where}: the length of fn"),
                         fn, _pack("B", len(rec.args), f"{where}: the number of arguments"),
                         *(value(a, f"{where}: argument {i}") for i, a in enumerate(rec.args))])
    if isinstance(rec, ReturnRecord):
        out = b"\0"
        if rec.out is not None:
            if not isinstance(rec.out, Out):
                raise TypeError(f"{where}: out must be an Out or None, not {type(rec.out).__name__}")
            out = b"\1" + _pack("i", rec.out.length, f"{where}: out.length") + blob(rec.out.data, f"{where}: out")
        return (_pack("Q", rec.seq, f"{where}: seq") + _pack("Q", rec.duration_ns, f"{where}: duration_ns") +
                value(rec.result, f"{where}: result") + out)
    if isinstance(rec, EventRecord):
        return b"".join([_pack("Q", rec.during, f"{where}: during"), _pack("I", rec.thread, f"{where}: thread"),
                         _pack("Q", rec.t_ns, f"{where}: t_ns"), blob(rec.msg_type, f"{where}: msg_type"),
                         _pack("i", rec.data_len, f"{where}: data_len"), blob(rec.data, f"{where}: data")])
    if isinstance(rec, EndRecord):
        return b"".join(_pack("Q", n, f"{where}: {name}") for name, n in
                        (("calls", rec.calls), ("events", rec.events), ("dropped", rec.dropped)))
    raise TypeError(f"{where}: not a cassette record: {type(rec).__name__}")


def _default_header() -> Header:
    created = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    return Header({"format": FORMAT_VERSION, "created": created, "core": "", "pid": os.getpid(),
                   "secrets": "filtered", "tap": "zq.csdk.cassette.write"})


def encode(records: Iterable[Record], end: bool = True) -> Iterator[bytes]:
    """The magic, then each record framed; a header first when `records` do not begin with one, and
    (with `end`) an END counting their calls and events when they do not end with one."""
    yield magic()
    calls = events = 0
    last: Optional[Record] = None
    for n, rec in enumerate(records, 1):
        where = f"record #{n} ({type(rec).__name__})"
        if isinstance(last, EndRecord):
            raise ValueError(f"{where}: a record after the END record")
        if n == 1 and not isinstance(rec, Header):
            yield frame(1, payload(_default_header(), "the header"))
        elif n > 1 and isinstance(rec, Header):
            raise ValueError(f"{where}: a second header")
        body = payload(rec, where)
        if len(body) > MAX_PAYLOAD:
            raise ValueError(f"{where}: {len(body)} bytes, more than a record holds ({MAX_PAYLOAD})")
        kind = next(k for t, k in _KIND.items() if isinstance(rec, t))
        try:  # what the readers would call damaged is never written
            _decode(kind, _Payload(body))
        except _Damaged as e:
            raise ValueError(f"{where}: {e}") from None
        calls += isinstance(rec, CallRecord)
        events += isinstance(rec, EventRecord)
        yield frame(kind, body)
        last = rec
    if last is None:
        yield frame(1, payload(_default_header(), "the header"))
    if end and not isinstance(last, EndRecord):
        yield frame(5, payload(EndRecord(calls, events, 0), "the END record"))


def write(path: Union[str, "os.PathLike[str]"], records: Iterable[Record]) -> None:
    """Write `records` as the cassette `path` (see ``zq.csdk.cassette.write``).

    The file is written beside `path` under another name and renamed over it once complete, so a
    failure leaves `path` as it was.  A cassette whose header says its secrets were kept stays private
    to its owner (0600); any other gets the permissions the umask gives a new file.
    """
    path = os.fspath(path)
    kept = False

    def noting(recs: Iterable[Record]) -> Iterator[Record]:
        nonlocal kept
        for rec in recs:
            if isinstance(rec, Header) and isinstance(rec.info, dict) and rec.info.get("secrets") == "kept":
                kept = True
            yield rec

    try:
        fd, tmp = tempfile.mkstemp(prefix=".zqc-", suffix=".tmp", dir=os.path.dirname(os.path.abspath(path)))
    except OSError as e:  # named after the cassette, not the file that was to become it
        raise OSError(e.errno, e.strerror, path) from None
    done = False
    try:
        with os.fdopen(fd, "wb") as f:
            for chunk in encode(noting(records)):
                f.write(chunk)
        if not kept:  # mkstemp made it 0600
            umask = os.umask(0o22)
            os.umask(umask)
            os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
        done = True
    finally:
        if not done:
            os.unlink(tmp)
