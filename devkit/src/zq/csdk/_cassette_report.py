"""The readable views of a cassette: ``show`` (a transcript) and ``stats`` (durations and rates).

A cassette may come from anyone: every text taken from it (names, message
types, header fields, previews) is printed with its non-printable characters
escaped, so that it cannot move the cursor or recolour a terminal.
"""
from __future__ import annotations

import sys
from array import array
from collections import Counter
from typing import Collection, Dict, List, Optional

from ._cassette_file import (FNPTR, SECRET, VOID, Buf, CallRecord, EndRecord, EventRecord, Header, Out, Reader,
                             ReturnRecord)
from ._secrets import RESULT, secret_positions

__all__ = ["show", "stats", "preview"]

PREVIEW = 40  # characters of a text, or bytes shown in hex, before "..."


def printable(text: str) -> str:
    """`text` with each character that is not printable written as its escape (``\\x1b``, ``\\u200b``)."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def preview(data: Optional[bytes], limit: int = PREVIEW) -> str:
    """A payload in a few characters: NULL, a quoted text when it is one, else its first bytes in hex."""
    if data is None:
        return "NULL"
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    if text is not None and text.isprintable():
        return repr(text[:limit]) + ("..." if len(text) > limit else "")
    return data[:limit // 2].hex() + ("..." if len(data) > limit // 2 else "")


def _value(v: object, limit: int = PREVIEW) -> str:
    if v is VOID:
        return "void"
    if v is SECRET:
        return "<secret>"
    if v is FNPTR:
        return "<callback>"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, Buf):
        return f"req[{v.length}] {preview(v.data, limit)}"
    if v is None or isinstance(v, bytes):
        return preview(v, limit)
    return repr(v)


def _shown(fn: str, position: int, v: object, limit: int = PREVIEW) -> str:
    """`v`, unless it is a secret (kept in a recording made with --keep-secrets)."""
    return "<secret>" if position in secret_positions().get(fn, ()) else _value(v, limit)


def _out(out: Optional[Out], limit: int = PREVIEW) -> str:
    if out is None:
        return ""
    if out.length == -1:  # a text handed back through a char**
        return f", out {preview(out.data, limit)}"
    return f", reply[{out.length}] {preview(out.data, limit)}"


def duration(ns: float) -> str:
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.1f} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e9:.2f} s"


def _header(h: Header) -> str:
    i = {k: printable(str(h.info.get(k))) for k in ("format", "created", "pid", "core", "secrets", "tap")}
    kept = "this cassette holds secrets in clear (recorded with --keep-secrets); " if h.info.get("secrets") == "kept" \
        else ""
    return (f"{kept}cassette format {i['format']}, recorded {i['created']} by pid {i['pid']}, "
            f"core {i['core']}, secrets {i['secrets']}, tap {i['tap']}")


def _end(reader: Reader, end: Optional[EndRecord]) -> str:
    if end is not None:
        return f"end: {end.calls} calls, {end.events} events, {end.dropped} dropped"
    if reader.damage:
        return "end of the readable part"
    return "no END record: the recording was cut short"


def show(reader: Reader, full: bool = False, functions: Optional[Collection[str]] = None,
         threads: Optional[Collection[int]] = None) -> None:
    """One line per call (with its return when nothing shown came between) and per event, indented by
    nesting.  `full`: payloads whole, not cut to PREVIEW.  `functions`, `threads`: only the calls of
    these functions and on these threads, with the events delivered during a shown call (any event on
    a shown thread when no function is named); the header and the end are always shown."""
    limit = sys.maxsize if full else PREVIEW
    depth: Dict[int, int] = {}
    open_calls: Dict[int, Optional[CallRecord]] = {}  # calls whose return is still to come (None: not shown)
    pending: Optional[CallRecord] = None    # the last shown call, printed when the next shown line comes
    end: Optional[EndRecord] = None

    def line(thread: int, t_ns: int, text: str, seq: str = "") -> None:
        print(f"{seq:>7} T{thread:<3}{t_ns / 1e6:11.3f} ms  {'  ' * depth.get(thread, 0)}{text}")

    def call_text(c: CallRecord) -> str:
        return f"{printable(c.fn)}({', '.join(_shown(c.fn, i, a, limit) for i, a in enumerate(c.args))})"

    def flush_pending() -> None:
        nonlocal pending
        if pending is not None:
            line(pending.thread, pending.t_ns, call_text(pending), f"#{pending.seq}")
            depth[pending.thread] = depth.get(pending.thread, 0) + 1
            pending = None

    def shown_thread(thread: int) -> bool:
        return threads is None or thread in threads

    for rec in reader:
        if isinstance(rec, CallRecord):
            chosen = shown_thread(rec.thread) and (functions is None or rec.fn in functions)
            open_calls[rec.seq] = rec if chosen else None
            if chosen:
                flush_pending()
                pending = rec
        elif isinstance(rec, ReturnRecord):
            known = rec.seq in open_calls
            call = open_calls.pop(rec.seq, None)
            if pending is not None and call is pending:
                text = f"{call_text(pending)} -> {_shown(pending.fn, RESULT, rec.result, limit)}{_out(rec.out, limit)}  " \
                    f"[{duration(rec.duration_ns)}]"
                line(pending.thread, pending.t_ns, text, f"#{pending.seq}")
                pending = None
            elif call is not None or (not known and functions is None and threads is None):
                flush_pending()
                thread = call.thread if call else 0
                depth[thread] = max(0, depth.get(thread, 0) - 1)
                name = printable(call.fn) if call else "?"
                result = _shown(call.fn, RESULT, rec.result, limit) if call else _value(rec.result, limit)
                line(thread, (call.t_ns + rec.duration_ns) if call else 0,
                     f"-> {result}{_out(rec.out, limit)}  "
                     f"[{name} #{rec.seq}, {duration(rec.duration_ns)}]")
        elif isinstance(rec, EventRecord):
            if shown_thread(rec.thread) and (functions is None or open_calls.get(rec.during) is not None):
                flush_pending()
                data = preview(rec.data, limit)
                if rec.data is not None and rec.data_len != len(rec.data):
                    data += f" (data_len {rec.data_len})"
                line(rec.thread, rec.t_ns, f"event {preview(rec.msg_type, limit)} [{rec.data_len}] {data}")
        else:
            flush_pending()
            if isinstance(rec, Header):
                print(_header(rec))
            elif isinstance(rec, EndRecord):
                end = rec
    flush_pending()
    print(_end(reader, end))


def _percentile(values: array[int], q: float) -> int:
    return int(values[min(len(values) - 1, int(q * len(values)))])


def stats(reader: Reader) -> None:
    """Per function: calls and p50/p99/max duration; per message type: events, and their rate over the
    time from its first event to its last, given only for more than one event over a time above zero."""
    names: Dict[int, str] = {}  # seq -> function, for calls still open
    durations: Dict[str, array[int]] = {}
    events: Counter[str] = Counter()
    spans: Dict[str, List[int]] = {}  # per message type: its first and last event's time
    first: Optional[int] = None
    last = 0
    header: Optional[Header] = None
    end: Optional[EndRecord] = None
    for rec in reader:
        if isinstance(rec, Header):
            header = rec
        elif isinstance(rec, CallRecord):
            names[rec.seq] = printable(rec.fn)
            first = rec.t_ns if first is None else first
            last = max(last, rec.t_ns)
        elif isinstance(rec, ReturnRecord):
            fn = names.pop(rec.seq, "?")
            durations.setdefault(fn, array("Q")).append(rec.duration_ns)  # u64 in the file
        elif isinstance(rec, EventRecord):
            mt = "NULL" if rec.msg_type is None else printable(rec.msg_type.decode("utf-8", "replace"))
            events[mt] += 1
            seen = spans.setdefault(mt, [rec.t_ns, rec.t_ns])
            seen[0], seen[1] = min(seen[0], rec.t_ns), max(seen[1], rec.t_ns)
            first = rec.t_ns if first is None else first
            last = max(last, rec.t_ns)
        elif isinstance(rec, EndRecord):
            end = rec
    if header:
        print(_header(header))
    span = (last - (first or 0)) / 1e9
    print(f"{sum(len(d) for d in durations.values())} calls returned, {sum(events.values())} events "
          f"over {span:.3f} s" + (f"; {len(names)} calls never returned" if names else ""))
    rows: List[List[str]] = [["function", "calls", "p50", "p99", "max"]]
    for fn in sorted(durations, key=lambda f: (-len(durations[f]), f)):
        d = array("Q", sorted(durations[fn]))
        rows.append([fn, str(len(d)), duration(_percentile(d, 0.5)), duration(_percentile(d, 0.99)),
                     duration(d[-1])])
    _table(rows)
    if events:
        rows = [["message type", "events", "rate"]]
        for mt, n in events.most_common():
            first_ns, last_ns = spans[mt]
            rate = (n - 1) / ((last_ns - first_ns) / 1e9) if n > 1 and last_ns > first_ns else None
            rows.append([mt, str(n), "-" if rate is None else f"{rate:.1f}/s"])
        print()
        _table(rows)
    print(_end(reader, end))


def _table(rows: List[List[str]]) -> None:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))).rstrip())
