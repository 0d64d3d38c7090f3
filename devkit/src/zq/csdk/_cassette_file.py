"""Reading cassettes: the file the recording tap writes (format: the development kit's README).

    with Reader(path) as cassette:
        for record in cassette:
            ...
        if cassette.damage:
            print(cassette.damage)   # "readable up to byte N (record #K): ..."

The reader streams: it holds one record at a time.  Opening a file that is
not a cassette, or one of a newer format version, raises CassetteError with
a one-line message; a damaged record ends the iteration and leaves the reason
in ``damage``, everything before it having been yielded.
"""
from __future__ import annotations

import json
import struct
import zlib
from dataclasses import dataclass
from typing import Any, BinaryIO, Callable, Dict, Iterator, List, Optional, TypeVar, Union

__all__ = ["MAGIC", "FORMAT_VERSION", "CassetteError", "Reader", "Buf", "Out", "Header", "CallRecord",
           "ReturnRecord", "EventRecord", "EndRecord", "Record", "SECRET", "FNPTR", "VOID", "I64"]

MAGIC = b"ZQCASSETTE\n"
FORMAT_VERSION = 1
MAX_PAYLOAD = 64 << 20
_HEAD = struct.Struct("<IBI")  # payload length, kind, crc32
_HEADER, _END = 1, 5  # the first and the last kind of record
_T = TypeVar("_T")


class CassetteError(Exception):
    """A file that cannot be read as a cassette; str() is the one-line report."""


class _Marker:
    def __init__(self, name: str):
        self.name = name

    def __repr__(self) -> str:
        return self.name


SECRET = _Marker("SECRET")  # an argument or result recorded as a placeholder
FNPTR = _Marker("FNPTR")    # a callback pointer (its value is never recorded)
VOID = _Marker("VOID")      # the result of a void function


class I64(int):
    """An int recorded as 64 bits (``zqi_now``'s result); a plain int is recorded as 32."""

    def __repr__(self) -> str:
        return f"I64({int(self)})"


@dataclass(frozen=True)
class Buf:
    """A request buffer: the length the caller passed and the bytes recorded (None: a NULL pointer)."""

    length: int
    data: Optional[bytes]


@dataclass(frozen=True)
class Out:
    """What a call handed back: a reply (its length and bytes) or a text (length -1); data None: NULL."""

    length: int
    data: Optional[bytes]


# A value: int (I64 when recorded as 64 bits), float, bool, bytes or None (a text; None for NULL), Buf, or a marker.
Value = Any


@dataclass(frozen=True)
class Header:
    info: Dict[str, Any]


@dataclass(frozen=True)
class CallRecord:
    seq: int
    thread: int
    t_ns: int
    fn: str
    args: List[Value]


@dataclass(frozen=True)
class ReturnRecord:
    seq: int
    duration_ns: int
    result: Value
    out: Optional[Out]


@dataclass(frozen=True)
class EventRecord:
    during: int  # the innermost call in progress on its thread (0: none)
    thread: int
    t_ns: int
    msg_type: Optional[bytes]
    data_len: int
    data: Optional[bytes]


@dataclass(frozen=True)
class EndRecord:
    calls: int
    events: int
    dropped: int


Record = Union[Header, CallRecord, ReturnRecord, EventRecord, EndRecord]


class _Damaged(Exception):
    pass


class _Payload:
    """Decoding of one record's payload; running past its end is damage."""

    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.data):
            raise _Damaged("a field runs past the end of its record")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def unpack(self, fmt: str) -> Any:
        s = struct.Struct("<" + fmt)
        values = s.unpack(self.take(s.size))
        return values[0] if len(values) == 1 else values

    def str16(self) -> str:
        return self.take(self.unpack("H")).decode("utf-8", "replace")

    def blob(self) -> Optional[bytes]:
        n = self.unpack("i")
        if n < -1:
            raise _Damaged(f"a field has the impossible length {n}")
        return None if n == -1 else self.take(n)

    def value(self) -> Value:
        tag = self.unpack("B")
        if tag == 0:
            return VOID
        if tag == 1:
            return self.unpack("i")
        if tag == 2:
            return I64(self.unpack("q"))
        if tag == 3:
            return self.unpack("d")
        if tag == 4:
            return bool(self.unpack("B"))
        if tag == 5:
            return self.blob()
        if tag == 6:
            length = self.unpack("i")
            return Buf(length, self.blob())
        if tag == 7:
            return SECRET
        if tag == 8:
            return FNPTR
        raise _Damaged(f"unknown value tag {tag}")

    def done(self) -> None:
        if self.pos != len(self.data):
            raise _Damaged(f"{len(self.data) - self.pos} bytes left over at the end of a record")


def _decode(kind: int, p: _Payload) -> Record:
    rec: Record
    if kind == 1:
        try:
            info = json.loads(p.take(len(p.data)).decode("utf-8"))
        except ValueError:
            raise _Damaged("the header is not JSON") from None
        if not isinstance(info, dict):
            raise _Damaged("the header is not a JSON object")
        rec = Header(info)
    elif kind == 2:
        seq, thread, t_ns = p.unpack("QIQ")
        fn = p.str16()
        rec = CallRecord(seq, thread, t_ns, fn, [p.value() for _ in range(p.unpack("B"))])
    elif kind == 3:
        seq, duration = p.unpack("QQ")
        result = p.value()
        out = None
        if p.unpack("B"):
            length = p.unpack("i")
            out = Out(length, p.blob())
        rec = ReturnRecord(seq, duration, result, out)
    elif kind == 4:
        during, thread, t_ns = p.unpack("QIQ")
        msg_type = p.blob()
        data_len = p.unpack("i")
        rec = EventRecord(during, thread, t_ns, msg_type, data_len, p.blob())
    else:  # _END: the reader has refused any other kind
        rec = EndRecord(*p.unpack("QQQ"))
    p.done()
    return rec


class Reader:
    """Streams the records of a cassette file."""

    def __init__(self, path: str):
        self.path = str(path)
        self.damage: Optional[str] = None  # where reading stopped early, and why (#K: the first bad record)
        self.records = 0                    # records read so far
        self.offset = 0                     # bytes read so far (the end of the last good record)
        self.ended = False                  # an END record was read
        try:
            self._f: BinaryIO = open(self.path, "rb")
        except OSError as e:
            raise CassetteError(f"{self.path}: cannot read: {e.strerror or e}") from None
        try:
            start = self._f.read(len(MAGIC) + 2)
        except OSError as e:  # e.g. a directory
            self._f.close()
            raise CassetteError(f"{self.path}: cannot read: {e.strerror or e}") from None
        if len(start) < len(MAGIC) + 2 or not start.startswith(MAGIC):
            self._f.close()
            if MAGIC.startswith(start) and start:
                raise CassetteError(f"{self.path}: not a cassette (cut short within its first bytes)")
            raise CassetteError(f"{self.path}: not a cassette" + (" (empty file)" if not start else ""))
        version, = struct.unpack("<H", start[len(MAGIC):])
        if version > FORMAT_VERSION:
            self._f.close()
            raise CassetteError(f"{self.path}: cassette format version {version} is newer than this "
                                f"reader's ({FORMAT_VERSION})")
        self.version = version
        self.offset = len(start)

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self._f.close()

    def __iter__(self) -> Iterator[Record]:
        return self._read(lambda kind, payload: _decode(kind, _Payload(payload)))

    def frames(self) -> Iterator[int]:
        """The kind of each record, its frame, checksum and place checked but its payload not decoded."""
        return self._read(lambda kind, payload: kind)

    def _read(self, decode: Callable[[int, bytes], _T]) -> Iterator[_T]:
        while True:
            head = self._f.read(_HEAD.size)
            if not head:
                return
            try:
                if len(head) < _HEAD.size:
                    raise _Damaged("the file ends within a record")
                length, kind, crc = _HEAD.unpack(head)
                if length > MAX_PAYLOAD:
                    raise _Damaged(f"a record claims the impossible length {length}")
                payload = self._f.read(length)
                if len(payload) < length:
                    raise _Damaged("the file ends within a record")
                if zlib.crc32(payload, zlib.crc32(bytes([kind]))) != crc:
                    raise _Damaged("a record's checksum does not match")
                if not _HEADER <= kind <= _END:
                    raise _Damaged(f"unknown record kind {kind}")
                if (self.records == 0) != (kind == _HEADER):
                    raise _Damaged("the header record is missing" if self.records == 0 else "a second header")
                item = decode(kind, payload)
            except _Damaged as e:
                self.damage = f"readable up to byte {self.offset} (record #{self.records + 1}): {e}"
                return
            self.records += 1
            self.offset += _HEAD.size + length
            self.ended = kind == _END
            yield item
