"""The readable views of a cassette: ``show`` (a transcript) and ``stats`` (durations and rates)."""
from __future__ import annotations

from array import array
from collections import Counter
from typing import Dict, List, Optional

from ._cassette_file import (FNPTR, SECRET, VOID, Buf, CallRecord, EndRecord, EventRecord, Header, Out, Reader,
                             ReturnRecord)
from ._secrets import RESULT, secret_positions

__all__ = ["show", "stats", "preview"]

PREVIEW = 40  # characters of a text, or bytes shown in hex, before "..."


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


def _value(v: object) -> str:
    if v is VOID:
        return "void"
    if v is SECRET:
        return "<secret>"
    if v is FNPTR:
        return "<callback>"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, Buf):
        return f"req[{v.length}] {preview(v.data)}"
    if v is None or isinstance(v, bytes):
        return preview(v)
    return repr(v)


def _shown(fn: str, position: int, v: object) -> str:
    """`v`, unless it is a secret (kept in a recording made with --keep-secrets)."""
    return "<secret>" if position in secret_positions().get(fn, ()) else _value(v)


def _out(out: Optional[Out]) -> str:
    if out is None:
        return ""
    if out.length == -1:  # a text handed back through a char**
        return f", out {preview(out.data)}"
    return f", reply[{out.length}] {preview(out.data)}"


def duration(ns: float) -> str:
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.1f} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e9:.2f} s"


def _header(h: Header) -> str:
    i = h.info
    return (f"cassette format {i.get('format')}, recorded {i.get('created')} by pid {i.get('pid')}, "
            f"core {i.get('core')}, secrets {i.get('secrets')}, tap {i.get('tap')}")


def _end(reader: Reader, end: Optional[EndRecord]) -> str:
    if end is not None:
        return f"end: {end.calls} calls, {end.events} events, {end.dropped} dropped"
    if reader.damage:
        return "end of the readable part"
    return "no END record: the recording was cut short"


def show(reader: Reader) -> None:
    """One line per call (with its return when nothing came between) and per event, indented by nesting."""
    depth: Dict[int, int] = {}
    open_calls: Dict[int, CallRecord] = {}  # calls whose return is still to come
    pending: Optional[CallRecord] = None    # the last call, printed when the next record shows its shape
    end: Optional[EndRecord] = None

    def line(thread: int, t_ns: int, text: str, seq: str = "") -> None:
        print(f"{seq:>7} T{thread:<3}{t_ns / 1e6:11.3f} ms  {'  ' * depth.get(thread, 0)}{text}")

    def call_text(c: CallRecord) -> str:
        return f"{c.fn}({', '.join(_shown(c.fn, i, a) for i, a in enumerate(c.args))})"

    def flush_pending() -> None:
        nonlocal pending
        if pending is not None:
            line(pending.thread, pending.t_ns, call_text(pending), f"#{pending.seq}")
            depth[pending.thread] = depth.get(pending.thread, 0) + 1
            open_calls[pending.seq] = pending
            pending = None

    for rec in reader:
        if isinstance(rec, ReturnRecord) and pending is not None and rec.seq == pending.seq:
            result = _shown(pending.fn, RESULT, rec.result)
            text = f"{call_text(pending)} -> {result}{_out(rec.out)}  [{duration(rec.duration_ns)}]"
            line(pending.thread, pending.t_ns, text, f"#{pending.seq}")
            pending = None
            continue
        flush_pending()
        if isinstance(rec, Header):
            print(_header(rec))
        elif isinstance(rec, CallRecord):
            pending = rec
        elif isinstance(rec, ReturnRecord):
            call = open_calls.pop(rec.seq, None)
            thread = call.thread if call else 0
            depth[thread] = max(0, depth.get(thread, 0) - 1)
            name = call.fn if call else "?"
            line(thread, (call.t_ns + rec.duration_ns) if call else 0,
                 f"-> {_shown(name, RESULT, rec.result)}{_out(rec.out)}  [{name} #{rec.seq}, {duration(rec.duration_ns)}]")
        elif isinstance(rec, EventRecord):
            data = preview(rec.data) if rec.data is None or rec.data_len == len(rec.data) else \
                f"{preview(rec.data)} (data_len {rec.data_len})"
            line(rec.thread, rec.t_ns, f"event {preview(rec.msg_type)} [{rec.data_len}] {data}")
        elif isinstance(rec, EndRecord):
            end = rec
    flush_pending()
    print(_end(reader, end))


def _percentile(values: array[int], q: float) -> int:
    return int(values[min(len(values) - 1, int(q * len(values)))])


def stats(reader: Reader) -> None:
    """Per function: calls and p50/p99/max duration; per message type: events and rate."""
    names: Dict[int, str] = {}  # seq -> function, for calls still open
    durations: Dict[str, array[int]] = {}
    events: Counter[str] = Counter()
    first: Optional[int] = None
    last = 0
    header: Optional[Header] = None
    end: Optional[EndRecord] = None
    for rec in reader:
        if isinstance(rec, Header):
            header = rec
        elif isinstance(rec, CallRecord):
            names[rec.seq] = rec.fn
            first = rec.t_ns if first is None else first
            last = max(last, rec.t_ns)
        elif isinstance(rec, ReturnRecord):
            fn = names.pop(rec.seq, "?")
            durations.setdefault(fn, array("q")).append(rec.duration_ns)
        elif isinstance(rec, EventRecord):
            events["NULL" if rec.msg_type is None else rec.msg_type.decode("utf-8", "replace")] += 1
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
        d = array("q", sorted(durations[fn]))
        rows.append([fn, str(len(d)), duration(_percentile(d, 0.5)), duration(_percentile(d, 0.99)),
                     duration(d[-1])])
    _table(rows)
    if events:
        rows = [["message type", "events", "rate"]]
        for mt, n in events.most_common():
            rows.append([mt, str(n), f"{n / span:.1f}/s" if span > 0 else "-"])
        print()
        _table(rows)
    print(_end(reader, end))


def _table(rows: List[List[str]]) -> None:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))).rstrip())
