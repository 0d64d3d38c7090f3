"""The hostile cassettes: files that both cassette readers (the Python one and
the stand-in's) must read alike, each with what they must make of it.

    python3 tests/hostile_cassettes.py DIR     writes each file into DIR (the fuzz target's seeds)

An entry is (name, content, verdict, text, records): the verdict is
"refused" (nothing can be replayed; `text` is the one line), "damaged" (the
first `records` records read, then `text` says where and why it stops) or
"clean" (`records` records, to the end).  Every truncation and every flipped
byte of a good file is generated too, their verdicts worked out from where its
records start.  Standard library only: the fuzz script runs this without the
package installed.
"""
from __future__ import annotations

import json
import struct
import sys
import zlib
from pathlib import Path
from typing import Iterator, List, Optional, Tuple

MAGIC = b"ZQCASSETTE\n"
Entry = Tuple[str, bytes, str, Optional[str], int]


def frame(kind: int, payload: bytes, length: Optional[int] = None) -> bytes:
    crc = zlib.crc32(payload, zlib.crc32(bytes([kind])))
    return struct.pack("<IBI", len(payload) if length is None else length, kind, crc) + payload


def blob(b: Optional[bytes]) -> bytes:
    return struct.pack("<i", -1) if b is None else struct.pack("<i", len(b)) + b


def request(data: bytes, length: Optional[int] = None) -> bytes:  # a request buffer value
    return struct.pack("<Bi", 6, len(data) if length is None else length) + blob(data)


def call(seq: int, fn: bytes, *values: bytes, count: Optional[int] = None) -> bytes:
    n = len(values) if count is None else count
    return frame(2, struct.pack("<QIQH", seq, 1, 0, len(fn)) + fn + bytes([n]) + b"".join(values))


def ret(seq: int, result: bytes = b"\x01\0\0\0\0", out: Optional[Tuple[int, Optional[bytes]]] = None,
        extra: bytes = b"", duration: int = 5) -> bytes:
    tail = b"\0" if out is None else b"\1" + struct.pack("<i", out[0]) + blob(out[1])
    return frame(3, struct.pack("<QQ", seq, duration) + result + tail + extra)


def event(during: int, msg_type: Optional[bytes], data_len: int, data: Optional[bytes]) -> bytes:
    return frame(4, struct.pack("<QIQ", during, 1, 0) + blob(msg_type) + struct.pack("<i", data_len) + blob(data))


def end(calls: int = 2, events: int = 1, extra: bytes = b"") -> bytes:
    return frame(5, struct.pack("<QQQ", calls, events, 0) + extra)


HEADER = frame(1, json.dumps({"format": 1, "core": "test", "pid": 1, "secrets": "filtered"}).encode())
START = MAGIC + b"\x01\0"
PLACE = b"zqi_place_order_pb"

# A good file: a call whose handler, during its event, makes a nested call; then END.
RECORDS = [HEADER, call(1, PLACE, request(b"A")), event(1, b"tick", 3, b"abc"), call(2, b"zqi_log_pb", request(b"L")),
           ret(2), ret(1, out=(1, b"a")), end()]
GOOD = START + b"".join(RECORDS)


def at(k: int) -> int:
    """Where record #k (from 1) starts in GOOD."""
    return len(START) + sum(len(r) for r in RECORDS[:k - 1])


def head(*records: bytes) -> bytes:
    """A file of the good header, then `records`."""
    return START + HEADER + b"".join(records)


def with_header(payload: bytes) -> bytes:
    return START + frame(1, payload) + end()


def damaged(k: int, why: str, where: Optional[int] = None) -> Tuple[str, str, int]:
    return "damaged", f"readable up to byte {at(k) if where is None else where} (record #{k}): {why}", k - 1


def refused_at_header(why: str) -> Tuple[str, str, int]:
    return "refused", f"readable up to byte 13 (record #1): {why}", 0


A_CALL = call(1, PLACE, request(b"A"))
AFTER_CALL = len(START) + len(HEADER) + len(A_CALL)  # where the record after a file's first call starts


def _after_call(why: str) -> Tuple[str, str, int]:
    return "damaged", f"readable up to byte {AFTER_CALL} (record #3): {why}", 2


def _named() -> List[Entry]:
    nested = b"[" * 63 + b"]" * 63
    table: List[Tuple[str, bytes, Tuple[str, Optional[str], int]]] = [
        ("good", GOOD, ("clean", None, len(RECORDS))),
        ("no end record", GOOD[:at(len(RECORDS))], ("clean", None, len(RECORDS) - 1)),
        ("records after the end", GOOD + A_CALL, ("clean", None, len(RECORDS) + 1)),
        ("header alone", START + HEADER, ("clean", None, 1)),
        # what is not a cassette at all
        ("empty", b"", ("refused", "not a cassette (empty file)", 0)),
        ("foreign", b"PK\3\4 not at all a cassette", ("refused", "not a cassette", 0)),
        ("cut in the magic", MAGIC[:7], ("refused", "not a cassette (cut short within its first bytes)", 0)),
        ("twelve bytes", START[:12], ("refused", "not a cassette (cut short within its first bytes)", 0)),
        ("format version 0", MAGIC + b"\0\0" + GOOD[13:], ("refused", "not a cassette (format version 0)", 0)),
        ("format version 2", MAGIC + b"\2\0" + GOOD[13:],
         ("refused", "cassette format version 2 is newer than this reader's (1)", 0)),
        ("format version 65535", MAGIC + b"\xff\xff",
         ("refused", "cassette format version 65535 is newer than this reader's (1)", 0)),
        ("magic alone", START, refused_at_header("the header record is missing")),
        ("no header", START + b"".join(RECORDS[1:]), refused_at_header("the header record is missing")),
        # headers
        ("header not JSON", with_header(b"{not json"), refused_at_header("the header is not JSON")),
        ("header a list", with_header(b"[1]"), refused_at_header("the header is not a JSON object")),
        ("header a string", with_header(b'"x"'), refused_at_header("the header is not a JSON object")),
        ("header empty", with_header(b""), refused_at_header("the header is not JSON")),
        ("header nested 64 deep", with_header(b'{"a":' + nested + b"}"), ("clean", None, 2)),
        ("header nested 65 deep", with_header(b'{"a":[' + nested + b"]}"), refused_at_header("the header is not JSON")),
        ("header nested 100000 deep", with_header(b"[" * 100000 + b"]" * 100000),
         refused_at_header("the header is not JSON")),
        ("header list nested 65 deep", with_header(b"[" + nested + b"]" + b"]"),
         refused_at_header("the header is not JSON")),
        ("header bad UTF-8", with_header(b'{"a": "\xff"}'), refused_at_header("the header is not JSON")),
        ("header surrogate in UTF-8", with_header(b'{"a": "\xed\xa0\x80"}'), refused_at_header("the header is not JSON")),
        ("header byte order mark", with_header(b'\xef\xbb\xbf{}'), refused_at_header("the header is not JSON")),
        ("header raw control character", with_header(b'{"a": "\x1b"}'), refused_at_header("the header is not JSON")),
        ("header trailing comma", with_header(b'{"a": 1,}'), refused_at_header("the header is not JSON")),
        ("header then more", with_header(b"{} x"), refused_at_header("the header is not JSON")),
        ("header bad escape", with_header(b'{"a": "\\x41"}'), refused_at_header("the header is not JSON")),
        ("header leading zero", with_header(b'{"a": 01}'), refused_at_header("the header is not JSON")),
        ("header odd but valid", with_header(b' {"a": [NaN, -Infinity, 1e999, -0.5E+3, "\\ud800\\u001b\\/", {}], '
                                             b'"b": ' + b"9" * 5000 + b', "\xc3\xa9": null}\r\n'), ("clean", None, 2)),
        ("header with escapes",
         with_header(json.dumps({"format": 1, "core": "\x1b[2J\x07", "secrets": "kept"}).encode()), ("clean", None, 2)),
        ("header cut short", START + HEADER[:20], refused_at_header("the file ends within a record")),
        ("header impossible length", START + frame(1, b"{}", 0xFFFFFFFF),
         refused_at_header("a record claims the impossible length 4294967295")),
        ("header longer than the file", START + frame(1, b"{}", 2 ** 31),
         refused_at_header("the file ends within a record")),
        ("header bad checksum", START + HEADER[:9] + b"[" + HEADER[10:],
         refused_at_header("a record's checksum does not match")),
        # lengths that disagree with their bytes
        ("reply length past its bytes", head(A_CALL, ret(1, out=(64, b"abcd"))),
         _after_call("a reply's length 64 disagrees with its 4 bytes")),
        ("reply length far past its bytes", head(A_CALL, ret(1, out=(100000000, b"abcd"))),
         _after_call("a reply's length 100000000 disagrees with its 4 bytes")),
        ("reply length short of its bytes", head(A_CALL, ret(1, out=(2, b"abcd"))),
         _after_call("a reply's length 2 disagrees with its 4 bytes")),
        ("reply length -2 beside bytes", head(A_CALL, ret(1, out=(-2, b"abcd"))),
         _after_call("a reply's length -2 disagrees with its 4 bytes")),
        ("event length past its bytes", head(A_CALL, event(1, b"tick", 64, b"abcd")),
         _after_call("an event's data length 64 disagrees with its 4 bytes")),
        ("event length far past its bytes", head(A_CALL, event(1, b"tick", 100000000, b"abcd")),
         _after_call("an event's data length 100000000 disagrees with its 4 bytes")),
        ("request length past its bytes", head(call(1, PLACE, request(b"A", 64))),
         damaged(2, "a request's length 64 disagrees with its 1 bytes")),
        # what the tap writes for a core's faults, replayed as they were
        ("reply NULL with a length", head(A_CALL, ret(1, out=(5, None)), end(1, 0)), ("clean", None, 4)),
        ("reply negative length", head(A_CALL, ret(1, out=(-4, None)), end(1, 0)), ("clean", None, 4)),
        ("text handed back", head(call(1, b"zqi_get_serv_addr", b"\x05" + blob(b"md")), ret(1, out=(-1, b"10.0.0.9:1"))),
         ("clean", None, 3)),
        ("event negative length", head(A_CALL, event(1, b"tick", -3, b""), ret(1, out=(1, b"a"))), ("clean", None, 4)),
        ("event NULL data with a length", head(A_CALL, event(1, None, 7, None), ret(1, out=(1, b"a"))), ("clean", None, 4)),
        ("durations past 2**63", head(A_CALL, ret(1, out=(1, b"a"), duration=2 ** 64 - 1), call(2, PLACE, request(b"B")),
                                      ret(2, duration=2 ** 63)), ("clean", None, 5)),
        ("escapes in names", head(call(1, b"\x1b]0;title\x07\x1b[31m", b"\x05" + blob(b"\x1b[2J")),
                                  event(0, b"\x1b[1m\x9b", 2, b"\x1b["), ret(1)), ("clean", None, 4)),
        # fields and records of the wrong shape
        ("bytes left over in a call", head(frame(2, A_CALL[9:] + b"\0")),
         damaged(2, "1 bytes left over at the end of a record")),
        ("bytes left over in a return", head(A_CALL, ret(1, extra=b"xyz")),
         _after_call("3 bytes left over at the end of a record")),
        ("bytes left over in the end", head(end(0, 0, extra=b"\0" * 8)),
         damaged(2, "8 bytes left over at the end of a record")),
        ("end record short", head(frame(5, b"\0" * 23)), damaged(2, "a field runs past the end of its record")),
        ("thirteen arguments", head(call(1, PLACE, *[b"\x01\0\0\0\0"] * 13)),
         damaged(2, "a call records 13 arguments, more than a core function takes")),
        ("255 arguments claimed", head(call(1, PLACE, count=255)),
         damaged(2, "a call records 255 arguments, more than a core function takes")),
        ("arguments missing", head(call(1, PLACE, count=2)), damaged(2, "a field runs past the end of its record")),
        ("unknown value tag", head(call(1, PLACE, b"\x09")), damaged(2, "unknown value tag 9")),
        ("impossible field length", head(call(1, PLACE, b"\x05" + struct.pack("<i", -2))),
         damaged(2, "a field has the impossible length -2")),
        ("text past its record", head(call(1, PLACE, b"\x05" + struct.pack("<i", 1000) + b"xy")),
         damaged(2, "a field runs past the end of its record")),
        ("name past its record", head(frame(2, struct.pack("<QIQH", 1, 1, 0, 500) + b"zqi")),
         damaged(2, "a field runs past the end of its record")),
        ("event type past its record", head(frame(4, struct.pack("<QIQ", 0, 1, 0) + struct.pack("<i", 2 ** 31 - 1))),
         damaged(2, "a field runs past the end of its record")),
        ("record past the file's end", head(A_CALL[:4 - 4] + struct.pack("<I", 1000000) + A_CALL[4:]),
         damaged(2, "the file ends within a record")),
        ("record of an impossible length", head(struct.pack("<IBI", 2 ** 31 - 1 + 65537, 2, 0)),
         damaged(2, "a record claims the impossible length 2147549184")),
        ("unknown record kind", head(frame(9, b"\0" * 4)), damaged(2, "unknown record kind 9")),
        ("record kind 0", head(frame(0, b"")), damaged(2, "unknown record kind 0")),
        ("a second header", head(HEADER), damaged(2, "a second header")),
        ("a bad checksum", GOOD[:at(4) + 12] + bytes([GOOD[at(4) + 12] ^ 1]) + GOOD[at(4) + 13:],
         damaged(4, "a record's checksum does not match")),
        ("cut in a frame head", GOOD[:at(3) + 5], damaged(3, "the file ends within a record")),
    ]
    return [(name, content, *expected) for name, content, expected in table]


def _truncations() -> Iterator[Entry]:
    starts = [at(k) for k in range(1, len(RECORDS) + 2)]
    for n in range(len(START) + 1, len(GOOD)):
        k = max(i for i, s in enumerate(starts, 1) if s <= n)  # the record the cut falls in (or after)
        if n == starts[k - 1]:
            yield f"cut after record {k - 1}", GOOD[:n], "clean", None, k - 1
        elif k == 1:
            yield (f"cut at byte {n}", GOOD[:n], "refused",
                   "readable up to byte 13 (record #1): the file ends within a record", 0)
        else:
            yield f"cut at byte {n}", GOOD[:n], *damaged(k, "the file ends within a record")


def _flips() -> Iterator[Entry]:
    """A flipped bit in each checksummed byte (the kind, the payload) of each record."""
    for k in range(1, len(RECORDS) + 1):
        for i in [4] + list(range(9, len(RECORDS[k - 1]))):
            pos = at(k) + i
            content = GOOD[:pos] + bytes([GOOD[pos] ^ 0x10]) + GOOD[pos + 1:]
            why = "readable up to byte 13 (record #1): a record's checksum does not match"
            yield (f"flip at byte {pos}", content, *(("refused", why, 0) if k == 1 else
                                                     damaged(k, "a record's checksum does not match")))


def entries() -> List[Entry]:
    return _named() + list(_truncations()) + list(_flips())


def write(folder: Path) -> int:
    folder.mkdir(parents=True, exist_ok=True)
    out = entries()
    for i, (name, content, *_) in enumerate(out):
        (folder / f"{i:04d}-{''.join(c if c.isalnum() else '-' for c in name)}.zqc").write_bytes(content)
    return len(out)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: python3 tests/hostile_cassettes.py DIR")
    print(f"{write(Path(sys.argv[1]))} files written into {sys.argv[1]}")
