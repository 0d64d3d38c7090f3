"""Reading cassettes: the file the recording tap writes (format: the development kit's README).

    with Reader(path) as cassette:
        for record in cassette:
            ...
        if cassette.damage:
            print(cassette.damage)   # "readable up to byte N (record #K): ..."

The reader streams: it holds one record at a time.  Opening a file that is
not a cassette, or one of a newer format version, raises CassetteError with
a one-line message; a damaged record ends the iteration and leaves the reason
in ``damage``, everything before it having been yielded.  What is valid is
defined once, in the format section of the development kit's README; the
stand-in's reader (native/core_standin/cassette_reader.cpp) applies the same
definition with the same reasons.
"""
from __future__ import annotations

import json
import os
import stat
import struct
import zlib
from dataclasses import dataclass
from typing import Any, BinaryIO, Callable, Dict, Iterator, List, Optional, TypeVar, Union

__all__ = ["MAGIC", "FORMAT_VERSION", "CassetteError", "Reader", "Buf", "Out", "Header", "CallRecord",
           "ReturnRecord", "EventRecord", "EndRecord", "Record", "SECRET", "FNPTR", "VOID", "I64"]

MAGIC = b"ZQCASSETTE\n"
FORMAT_VERSION = 1
MAX_PAYLOAD = 2 ** 31 - 1 + 65536  # a reply of INT_MAX bytes and the fields around it
MAX_ARGS = 12                      # the values of a CALL: as many as the widest core function takes
MAX_HEADER_DEPTH = 64              # the header's JSON nests at most this deep (the object is level 1)
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

    @staticmethod
    def agrees(what: str, recorded: int, data: Optional[bytes], also: bool = False) -> None:
        """A length recorded beside bytes is theirs (`also`: or one of the other forms the writer uses)."""
        if data is not None and recorded != len(data) and not also:
            raise _Damaged(f"{what} length {recorded} disagrees with its {len(data)} bytes")

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
            data = self.blob()
            self.agrees("a request's", length, data)
            return Buf(length, data)
        if tag == 7:
            return SECRET
        if tag == 8:
            return FNPTR
        raise _Damaged(f"unknown value tag {tag}")

    def done(self) -> None:
        if self.pos != len(self.data):
            raise _Damaged(f"{len(self.data) - self.pos} bytes left over at the end of a record")


def _json_int(text: str) -> Union[int, float]:
    # Beyond the interpreter's limit on digits for int() (4300 by default, and
    # settable), a number is taken as a float: the same header reads the same
    # wherever it is read.
    return int(text) if len(text) <= 4000 else float(text)


def _depth(value: object) -> int:
    """How deep containers nest in a parsed JSON value (a scalar: 0), without recursion."""
    deepest, stack = 0, [(value, 1)]
    while stack:
        v, level = stack.pop()
        if isinstance(v, dict):
            v = list(v.values())
        if isinstance(v, list):
            deepest = max(deepest, level)
            stack.extend((x, level + 1) for x in v)
    return deepest


def _header(data: bytes) -> Dict[str, Any]:
    try:
        info = json.loads(data.decode("utf-8"), parse_int=_json_int)
    except (ValueError, RecursionError):
        raise _Damaged("the header is not JSON") from None
    if _depth(info) > MAX_HEADER_DEPTH:
        raise _Damaged("the header is not JSON")
    if not isinstance(info, dict):
        raise _Damaged("the header is not a JSON object")
    return info


def _decode(kind: int, p: _Payload) -> Record:
    rec: Record
    if kind == 1:
        rec = Header(_header(p.take(len(p.data))))
    elif kind == 2:
        seq, thread, t_ns = p.unpack("QIQ")
        fn = p.str16()
        count = p.unpack("B")
        if count > MAX_ARGS:
            raise _Damaged(f"a call records {count} arguments, more than a core function takes")
        rec = CallRecord(seq, thread, t_ns, fn, [p.value() for _ in range(count)])
    elif kind == 3:
        seq, duration = p.unpack("QQ")
        result = p.value()
        out = None
        if p.unpack("B"):
            length = p.unpack("i")
            data = p.blob()
            p.agrees("a reply's", length, data, also=length == -1)  # -1: a text handed back
            out = Out(length, data)
        rec = ReturnRecord(seq, duration, result, out)
    elif kind == 4:
        during, thread, t_ns = p.unpack("QIQ")
        msg_type = p.blob()
        data_len = p.unpack("i")
        data = p.blob()
        p.agrees("an event's data", data_len, data, also=data_len < 0 and data == b"")
        rec = EventRecord(during, thread, t_ns, msg_type, data_len, data)
    else:  # _END: the reader has refused any other kind
        rec = EndRecord(*p.unpack("QQQ"))
    p.done()
    return rec


def _frame_kind(kind: int, payload: bytes) -> int:
    if kind == _HEADER:
        _decode(kind, _Payload(payload))
    return kind


class Reader:
    """Streams the records of a cassette file."""

    def __init__(self, path: str):
        self.path = str(path)
        self.damage: Optional[str] = None  # where reading stopped early, and why (#K: the first bad record)
        self.records = 0                    # records read so far
        self.offset = 0                     # bytes read so far (the end of the last good record)
        self.ended = False                  # an END record was read
        self._f: BinaryIO = self._open()
        try:
            start = self._f.read(len(MAGIC) + 2)
            self._size = os.fstat(self._f.fileno()).st_size
        except OSError as e:
            self._f.close()
            raise CassetteError(f"{self.path}: cannot read: {e.strerror or e}") from None
        problem = None
        if not start:
            problem = "not a cassette (empty file)"
        elif start[:len(MAGIC)] != MAGIC[:len(start)]:
            problem = "not a cassette"
        elif len(start) < len(MAGIC) + 2:
            problem = "not a cassette (cut short within its first bytes)"
        else:
            version, = struct.unpack("<H", start[len(MAGIC):])
            if version > FORMAT_VERSION:
                problem = f"cassette format version {version} is newer than this reader's ({FORMAT_VERSION})"
            elif version == 0:
                problem = "not a cassette (format version 0)"
        if problem:
            self._f.close()
            raise CassetteError(f"{self.path}: {problem}")
        self.version = FORMAT_VERSION
        self.offset = len(start)

    def _open(self) -> BinaryIO:
        """The file, refused before it is opened when it is not a regular file (a FIFO would block,
        a device never end), and again on what was opened, without waiting for a writer."""
        def refuse(mode: int) -> CassetteError:
            kinds = [(stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                     (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")]
            kind = next((name for test, name in kinds if test(mode)), "not a file")
            return CassetteError(f"{self.path}: not a regular file ({kind})")

        try:
            mode = os.stat(self.path).st_mode
            if not stat.S_ISREG(mode):
                raise refuse(mode)
            fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
        except OSError as e:
            raise CassetteError(f"{self.path}: cannot read: {e.strerror or e}") from None
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            os.close(fd)
            raise refuse(mode)
        return os.fdopen(fd, "rb")

    def _fits(self, n: int) -> bool:
        """Whether the file holds `n` more bytes (it may still be growing): checked before they are read."""
        at = self.offset + _HEAD.size
        if at + n > self._size:
            self._size = os.fstat(self._f.fileno()).st_size
        return at + n <= self._size

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self._f.close()

    def __iter__(self) -> Iterator[Record]:
        return self._read(lambda kind, payload: _decode(kind, _Payload(payload)))

    def frames(self) -> Iterator[int]:
        """The kind of each record, its frame, checksum and place checked; of the payloads only the
        header's is decoded (the others are checked when they are read)."""
        return self._read(_frame_kind)

    def _read(self, decode: Callable[[int, bytes], _T]) -> Iterator[_T]:
        while True:
            head = self._f.read(_HEAD.size)
            if not head:
                if self.records == 0:
                    self.damage = f"readable up to byte {self.offset} (record #1): the header record is missing"
                return
            try:
                if len(head) < _HEAD.size:
                    raise _Damaged("the file ends within a record")
                length, kind, crc = _HEAD.unpack(head)
                if length > MAX_PAYLOAD:
                    raise _Damaged(f"a record claims the impossible length {length}")
                if not self._fits(length):
                    raise _Damaged("the file ends within a record")
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
