"""Recorded market sessions: the file format, the event payloads, and the replay.

A session file is plain UTF-8 text, one event a line, in delivery order.
Blank lines and lines starting with ``#`` are ignored.  Fields are separated
by single spaces (any run of blanks is accepted)::

    tick SYMBOL CREATED_AT PRICE LAST_VOLUME CUM_VOLUME BID_P BID_V ASK_P ASK_V
    bar  SYMBOL FREQUENCY BOB EOB OPEN HIGH LOW CLOSE VOLUME

    tick DEMO.AAA 2024-03-01T09:30:03 10.02 300 300 10.01 1200 10.03 900
    bar DEMO.AAA 60s 2024-03-01T09:30:00 2024-03-01T09:31:00 10.00 10.05 9.99 10.04 8100

* SYMBOL, FREQUENCY: non-empty ASCII words.
* CREATED_AT, BOB, EOB: ``YYYY-MM-DDTHH:MM:SS`` (local exchange time).
* PRICE, BID_P, ASK_P, OPEN, HIGH, LOW, CLOSE: decimal numbers, > 0.
* LAST_VOLUME, CUM_VOLUME, BID_V, ASK_V, VOLUME: integers, >= 0.

Event payloads
--------------
Each line becomes one event of the stand-in core library, queued with
``zq.csdk.standin.StandIn().queue_event(msg_type, payload)``.  The message
type is ``b"tick"`` or ``b"bar"``; the payload is a UTF-8 JSON object whose
keys are the field names of the record class the handler wraps it in:

``tick`` (read with ``c_sdk.TickLikeDict2``)::

    {"symbol": "DEMO.AAA", "created_at": "2024-03-01T09:30:03", "price": 10.02,
     "last_volume": 300, "cum_volume": 300,
     "quotes": [{"bid_p": 10.01, "bid_v": 1200, "ask_p": 10.03, "ask_v": 900}]}

  ``quotes`` holds one quote level (``c_sdk.QuoteItemLikeDict2`` reads it).

``bar`` (read with ``c_sdk.BarLikeDict2``)::

    {"symbol": "DEMO.AAA", "frequency": "60s", "bob": "2024-03-01T09:30:00",
     "eob": "2024-03-01T09:31:00", "open": 10.0, "high": 10.05, "low": 9.99,
     "close": 10.04, "volume": 8100}

The core library never looks inside a payload; a real core defines its own
message types and payload encoding, and a Python layer built on it parses
them.  This format exists so that a strategy can be run and tested end to end
against the stand-in.
"""
from __future__ import annotations

import json
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable

__all__ = ["SessionError", "Event", "load", "payload", "replay", "TICK_FIELDS", "BAR_FIELDS"]

TICK_FIELDS = ("symbol", "created_at", "price", "last_volume", "cum_volume", "bid_p", "bid_v", "ask_p", "ask_v")
BAR_FIELDS = ("symbol", "frequency", "bob", "eob", "open", "high", "low", "close", "volume")

_WORD = re.compile(r"[!-~]+")  # printable ASCII, no blanks
_TIME = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}")
_PRICES = {"price", "bid_p", "ask_p", "open", "high", "low", "close"}
_VOLUMES = {"last_volume", "cum_volume", "bid_v", "ask_v", "volume"}
_TIMES = {"created_at", "bob", "eob"}


class SessionError(Exception):
    """A session file that cannot be read; str() is the one-line message."""

    def __init__(self, path: str | Path, line: int | None, reason: str):
        where = f"{path}:{line}" if line is not None else f"{path}"
        super().__init__(f"{where}: {reason}")
        self.path, self.line, self.reason = str(path), line, reason


@dataclass(frozen=True)
class Event:
    """One recorded event: its message type, its fields, and its line in the file."""

    kind: str  # "tick" or "bar"
    fields: dict[str, Any]
    line: int


def _field(name: str, text: str) -> Any:
    if name in _PRICES:
        try:
            value = float(text)
        except ValueError:
            raise ValueError(f"{name} {text!r} is not a number") from None
        if not value > 0 or value == float("inf"):
            raise ValueError(f"{name} {text!r} is not a positive price")
        return value
    if name in _VOLUMES:
        if not text.isdigit():
            raise ValueError(f"{name} {text!r} is not a non-negative integer")
        return int(text)
    if name in _TIMES:
        if not _TIME.fullmatch(text):
            raise ValueError(f"{name} {text!r} is not a YYYY-MM-DDTHH:MM:SS time")
        return text
    if not _WORD.fullmatch(text):
        raise ValueError(f"{name} {text!r} is not an ASCII word")
    return text


def parse_line(text: str) -> tuple[str, dict[str, Any]] | None:
    """One line -> (kind, fields), None for a blank or comment line; ValueError if malformed."""
    words = text.split()
    if not words or words[0].startswith("#"):
        return None
    kind, values = words[0], words[1:]
    names = {"tick": TICK_FIELDS, "bar": BAR_FIELDS}.get(kind)
    if names is None:
        raise ValueError(f"unknown event type {kind!r} (expected tick or bar)")
    if len(values) != len(names):
        raise ValueError(f"a {kind} line has {len(names)} fields after the type, this one {len(values)}")
    fields = {name: _field(name, value) for name, value in zip(names, values)}
    if kind == "bar" and not fields["low"] <= min(fields["open"], fields["close"]) <= max(
            fields["open"], fields["close"]) <= fields["high"]:
        raise ValueError("bar prices do not satisfy low <= open, close <= high")
    return kind, fields


def load(path: str | Path) -> list[Event]:
    """Reads a whole session file; SessionError names the file (and line) of the first fault."""
    try:
        raw = Path(path).read_bytes()
    except OSError as e:
        raise SessionError(path, None, f"cannot read: {e.strerror or e}") from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise SessionError(path, raw[: e.start].count(b"\n") + 1, "not UTF-8 text") from None
    events = []
    for number, line in enumerate(text.splitlines(), start=1):
        try:
            parsed = parse_line(line)
        except ValueError as e:
            raise SessionError(path, number, str(e)) from None
        if parsed:
            events.append(Event(parsed[0], parsed[1], number))
    if not any(e.kind == "bar" for e in events):
        raise SessionError(path, None, "no bar events: nothing to trade on")
    return events


def payload(event: Event) -> bytes:
    """The JSON payload of an event, in the format described above."""
    f = event.fields
    if event.kind == "tick":
        body: dict[str, Any] = {k: f[k] for k in ("symbol", "created_at", "price", "last_volume", "cum_volume")}
        body["quotes"] = [{k: f[k] for k in ("bid_p", "bid_v", "ask_p", "ask_v")}]
    else:
        body = dict(f)
    return json.dumps(body, separators=(",", ":")).encode()


def replay(events: Iterable[Event], queue_event: Callable[[bytes, bytes], None]) -> int:
    """Queues every event through `queue_event` (StandIn().queue_event); returns the count."""
    n = 0
    for event in events:
        queue_event(event.kind.encode(), payload(event))
        n += 1
    return n
