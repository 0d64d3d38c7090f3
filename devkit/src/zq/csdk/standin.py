"""Control of the stand-in core library, for tests of code built on c_sdk.

The stand-in ``libzq3-c.so`` of the development kit answers every core
function with success, records each call with its arguments, and lets a test
script statuses, replies, faults and events::

    from zq.csdk import c_sdk
    from zq.csdk.standin import StandIn

    core = StandIn()
    core.reset()
    core.set_status("zqi_place_order_pb", -3)
    assert c_sdk.py_zqi_place_order(b"req") == (-3, None)
    assert core.calls("zqi_place_order_pb")[-1].args[0].data == b"req"

Events are queued with ``queue_event``.  ``zqi_run`` delivers them in order
until the queue is empty (events queued meanwhile included) and then returns;
``zqi_stop`` called from a handler ends it after the current event, leaving
the rest queued.  ``zqi_poll`` delivers one, and ``deliver_during`` makes a
named function deliver them during its own call.

Two options make it behave like a core connected to a server, for testing
threads and the live run of :mod:`zq.csdk.live`:

* ``set_live(True)``: ``zqi_run`` waits for events queued from any thread
  (``queue_event`` may be called from any thread at any time) and delivers
  them until ``zqi_stop`` is called, from a handler or another thread.
  ``c_sdk.py_zqi_run`` holds the interpreter lock while it waits, so there
  only a handler can stop it; use ``zq.csdk.live.run``.
* ``set_delivery_thread(True)``: the events of a run are delivered from a
  thread of the stand-in's own, while ``zqi_run`` waits on the caller's
  (``zqi_poll`` and ``deliver_during`` still deliver on the caller's thread).
  Under ``c_sdk.py_zqi_run`` these events wait for the interpreter lock,
  which the run holds: such a run does not end by itself.

``reset()`` switches both off (call it with no run in progress).

Every argument is checked before the stand-in is touched, so a misuse raises
one exception and changes nothing: a ``TypeError`` naming the parameter for a
value of the wrong type, ``ValueError`` or ``OverflowError`` for one out of
range, and :class:`UnknownFunctionError` (a ``KeyError``) for a name that is
not a core function.  Payloads, replies and message types take ``bytes``,
``bytearray`` or ``memoryview``, or a ``str``, which is encoded as UTF-8.

A test can also have the stand-in replay a cassette, a recording of a run
against the vendor's core (``python -m zq.csdk.cassette record``)::

    core.replay_open("tests/cassettes/orders.zqc", match={"zqi_log_pb": "function"})
    ...  # the code under test, making the recorded calls
    assert core.replay_close() == ""  # else the report: expected against received

Each call is then answered with its recorded status and reply, the events
recorded during it delivered through the registered handler first; the
match rules are those of ``zq.csdk._replay``.  Opening drops what was
scripted.  While a cassette replays, the scripting calls (``set_status``,
``set_reply``, ``set_mode``, ``deliver_during``, ``queue_event(s)``) are
accepted and change nothing: events and answers come from the cassette
alone.  ``reset`` leaves the replay running; the call log and ``call_count``
work as ever.  A call that diverges from the recording gets the unscripted
default answer.

The call log keeps the newest calls only: :data:`DEFAULT_LOG_CAPACITY` unless
``set_log_capacity`` says otherwise; ``log_dropped`` counts the calls it had
to drop.  With ``logging(False)`` nothing is logged and only call counts are
kept.
"""
from __future__ import annotations

import ctypes
import difflib
import json
import operator
import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, FrozenSet, Iterable, List, Optional, Tuple, Union

if TYPE_CHECKING:
    from ._replay import MatchRules

__all__ = ["StandIn", "Call", "Buffer", "UnknownFunctionError", "NORMAL", "NULL_REPLY", "NEGATIVE_LENGTH",
           "NULL_TEXT", "DEFAULT_LOG_CAPACITY", "Data", "ticks"]

# Reply modes (set_mode).
NORMAL = 0
NULL_REPLY = 1  # *res = NULL with the given length
NEGATIVE_LENGTH = 2  # a valid *res with the given negative length
NULL_TEXT = 3  # a text function returns NULL; zqi_get_serv_addr leaves *addr NULL
_MODES = {NORMAL: "NORMAL", NULL_REPLY: "NULL_REPLY", NEGATIVE_LENGTH: "NEGATIVE_LENGTH", NULL_TEXT: "NULL_TEXT"}

DEFAULT_LOG_CAPACITY = 10000  # calls the log keeps after reset()

_EVENT_NULL_TYPE = 1
_EVENT_NULL_DATA = 2
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1

Data = Union[bytes, bytearray, memoryview, str]
"""A payload, reply or message type: bytes-like, or str (sent as UTF-8)."""


class UnknownFunctionError(KeyError):
    """A name that is not one of the core library's functions."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


@dataclass(frozen=True)
class Buffer:
    """A request buffer as the core library received it."""

    ptr: int
    length: int
    data: bytes


@dataclass
class Call:
    """One call the core library received.

    ``args`` holds the arguments in order: ``int``, ``float`` and ``bool``
    values as received, texts as ``bytes`` up to their NUL (``None`` for a
    NULL pointer), request buffers as :class:`Buffer`, callbacks as the
    function pointer's address.  ``text_ptrs`` holds the address of each text
    argument (0 for NULL), by argument position.  ``out_null`` tells whether
    the output pointer (``*res`` or ``*addr``) was NULL on entry, where the
    function has one.
    """

    fn: str
    args: List[Any] = field(default_factory=list)
    text_ptrs: Dict[int, int] = field(default_factory=dict)
    out_null: Optional[bool] = None


def _parse(entry: str) -> Call:
    raw = json.loads(entry)
    call = Call(raw["fn"], out_null=raw.get("res_null", raw.get("addr_null")))
    for pos, arg in enumerate(raw["args"]):
        if "int" in arg:
            call.args.append(arg["int"])
        elif "double" in arg:
            call.args.append(float(arg["double"]))
        elif "bool" in arg:
            call.args.append(arg["bool"])
        elif "text" in arg:
            call.args.append(None if arg["text"] is None else bytes.fromhex(arg["text"]))
            call.text_ptrs[pos] = arg["ptr"]
        elif "buf" in arg:
            call.args.append(Buffer(arg["ptr"], arg["len"], bytes.fromhex(arg["buf"])))
        elif "fnptr" in arg:
            call.args.append(arg["fnptr"])
    return call


# ---- argument checks: each raises before anything reaches the library ----------

def _int(name: str, value: object, low: int = _INT_MIN, high: int = _INT_MAX) -> int:
    """`value` as an int in [low, high]; bool is refused (it is almost always a slip)."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be int, not bool")
    try:
        n = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be int, not {type(value).__name__}") from None
    if not _INT_MIN <= n <= _INT_MAX:
        raise OverflowError(f"{name} must fit in a 32-bit int, got {n}")
    if not low <= n <= high:
        raise ValueError(f"{name} must be {_range_text(low, high)}, got {n}")
    return n


def _range_text(low: int, high: int) -> str:
    if high == _INT_MAX:
        return f"at least {low}"
    return f"at most {high}" if low == _INT_MIN else f"from {low} to {high}"


def _data(name: str, value: object, none_ok: bool) -> Optional[bytes]:
    if value is None and none_ok:
        return None
    if isinstance(value, bytes):
        return value
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, str):
        return value.encode("utf-8")
    allowed = "bytes, bytearray, memoryview or str" + (" or None" if none_ok else "")
    raise TypeError(f"{name} must be {allowed}, not {type(value).__name__}")


def _length(name: str, data: bytes) -> int:
    if len(data) > _INT_MAX:
        raise OverflowError(f"{name} is longer than a 32-bit int can say ({len(data)} bytes)")
    return len(data)


_PROTOTYPES: List[Tuple[str, Any, List[Any]]] = [
    ("zqstub_reset", None, []),
    ("zqstub_set_logging", None, [ctypes.c_int]),
    ("zqstub_set_status", ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
    ("zqstub_set_reply", ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
    ("zqstub_set_mode", ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]),
    ("zqstub_deliver_during", ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
    ("zqstub_calls", ctypes.c_long, [ctypes.c_char_p]),
    ("zqstub_queue_event", None, [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_int]),
    ("zqstub_queue_size", ctypes.c_int, []),
    ("zqstub_callback", ctypes.c_void_p, []),
    ("zqstub_set_live", None, [ctypes.c_int]),
    ("zqstub_set_delivery_thread", None, [ctypes.c_int]),
    ("zqstub_start_ticker", ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_longlong, ctypes.c_longlong]),
    ("zqstub_wait_ticker", ctypes.c_longlong, []),
    ("zqstub_stop_ticker", ctypes.c_longlong, []),
    ("zqstub_log_count", ctypes.c_int, []),
    ("zqstub_log_entry", ctypes.c_char_p, [ctypes.c_int]),
    ("zqstub_log_clear", None, []),
    ("zqstub_set_log_capacity", ctypes.c_int, [ctypes.c_long]),
    ("zqstub_log_capacity", ctypes.c_long, []),
    ("zqstub_log_dropped", ctypes.c_long, []),
    ("zqstub_function_count", ctypes.c_int, []),
    ("zqstub_function_name", ctypes.c_char_p, [ctypes.c_int]),
    ("zqstub_replay_open", ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
    ("zqstub_replay_error", ctypes.c_char_p, []),
    ("zqstub_replay_close", ctypes.c_int, []),
    ("zqstub_replay_report", ctypes.c_char_p, []),
    ("zqstub_replay_full_report", ctypes.c_char_p, []),
    ("zqstub_replay_active", ctypes.c_int, []),
]


def ticks(data: bytes) -> Tuple[int, int]:
    """The ticker's payload: ``(queued_at, number)``, queued_at in ``time.monotonic_ns()`` nanoseconds."""
    return int.from_bytes(data[:8], "little"), int.from_bytes(data[8:16], "little")


def _mapped_file(address: int) -> Optional[str]:
    """The file mapped at `address` in this process, from /proc/self/maps."""
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split(maxsplit=5)
                lo, _, hi = fields[0].partition("-")
                if len(fields) == 6 and int(lo, 16) <= address < int(hi, 16):
                    return fields[5].strip()
    except OSError:
        pass
    return None


def _file_of(lib: ctypes.CDLL) -> Optional[str]:
    return _mapped_file(ctypes.cast(lib.zqi_init, ctypes.c_void_p).value or 0)


def library_path() -> Optional[str]:
    """The file of the core library the extension loaded."""
    return _file_of(_loaded_core())


def _loaded_core() -> ctypes.CDLL:
    """The libzq3-c.so instance the extension is linked to, reached without loading another copy.

    The dynamic linker matches the name against the libraries already loaded
    (the extension's own dependency included), so this is the instance whose
    functions the extension calls, whichever file it came from.  Behind the
    cassette tap it is the core the tap forwards to, or the stand-in it routes
    to when it has one beside a real core.
    """
    try:
        from . import c_sdk  # noqa: F401  -- loads the core library with the extension
    except ImportError as e:
        if "undefined symbol" in str(e):
            e.add_note("The core library lacks a function the extension calls; "
                       "`python -m zq.csdk.check_core PATH` names every missing one.")
        raise
    try:
        lib = ctypes.CDLL("libzq3-c.so", mode=os.RTLD_NOLOAD)
        if hasattr(lib, "zqtap_core_path"):  # the recording tap: the core is the one behind it
            lib.zqtap_core_path.restype = ctypes.c_char_p
            behind = lib.zqtap_core_path()
            if hasattr(lib, "zqtap_standin_path"):  # routing between a real core and the stand-in
                lib.zqtap_standin_path.restype = ctypes.c_char_p
                behind = lib.zqtap_standin_path() or behind
            lib = ctypes.CDLL(os.fsdecode(behind), mode=os.RTLD_NOLOAD)
        return lib
    except OSError as e:
        raise RuntimeError(f"no libzq3-c.so is loaded in this process: {e}") from None


def _is_standin(lib: ctypes.CDLL) -> bool:
    """Whether a loaded core library is the stand-in: only the stand-in has the control API."""
    return hasattr(lib, "zqstub_reset")


def _attach(path: Optional[str]) -> ctypes.CDLL:
    """The loaded core library when it is the stand-in (and, given `path`, that very file); else RuntimeError."""
    lib = _loaded_core()
    loaded = _file_of(lib)
    if not _is_standin(lib):
        raise RuntimeError(f"the libzq3-c.so the extension loaded ({loaded}) is not the stand-in")
    if path is not None and (loaded is None or not os.path.samefile(path, loaded)):
        raise RuntimeError(f"{path} is not the libzq3-c.so the extension loaded ({loaded})")
    lib.zqstub_take_control()  # a test is in charge: the stand-in need not announce itself
    return lib


class StandIn:
    """The stand-in core library, reached on the handle already loaded."""

    def __init__(self, path: Optional[str] = None):
        lib = _attach(path)
        self._lib = lib
        for name, res, args in _PROTOTYPES:
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = res, args
        self._names = frozenset(lib.zqstub_function_name(i).decode() for i in range(lib.zqstub_function_count()))

    # ---- names -----------------------------------------------------------------

    def functions(self) -> FrozenSet[str]:
        """The names of the core functions, as the control calls take them."""
        return self._names

    def _fn(self, fn: object) -> bytes:
        """A core function's name checked and encoded; refused with the parameter or the name in the error."""
        if not isinstance(fn, str):
            raise TypeError(f"fn must be str, not {type(fn).__name__}")
        if fn not in self._names:
            close = difflib.get_close_matches(fn.removeprefix("py_"), self._names, n=3)
            hint = f"; did you mean {' or '.join(map(repr, close))}?" if close else ""
            raise UnknownFunctionError(f"no core function named {fn!r}{hint}")
        return fn.encode()

    @staticmethod
    def _done(rc: int, what: str) -> None:
        if rc != 0:  # every argument was checked: the library refusing one is a fault of this module
            raise RuntimeError(f"the stand-in refused a checked call ({what})")

    # ---- state -------------------------------------------------------------------

    def reset(self) -> None:
        """Every function back to its defaults; queue and log emptied; logging on at the default capacity;
        not live and no delivery thread."""
        self._lib.zqstub_reset()

    @staticmethod
    def _flag(on: object) -> int:
        if not isinstance(on, int):
            raise TypeError(f"on must be bool, not {type(on).__name__}")
        return int(bool(on))

    def logging(self, on: bool) -> None:
        """Switch the call log on or off (off: only call counts are kept)."""
        self._lib.zqstub_set_logging(self._flag(on))

    def set_live(self, on: bool) -> None:
        """Live: ``zqi_run`` waits for events queued from any thread until ``zqi_stop``."""
        self._lib.zqstub_set_live(self._flag(on))

    def set_delivery_thread(self, on: bool) -> None:
        """Deliver the events of a run from a thread of the stand-in's own (off: waits for the event in
        delivery)."""
        self._lib.zqstub_set_delivery_thread(self._flag(on))

    def set_status(self, fn: str, status: int) -> None:
        """The status (or int result) `fn` returns from now on."""
        name, value = self._fn(fn), _int("status", status)
        self._done(self._lib.zqstub_set_status(name, value), fn)

    def set_reply(self, fn: str, data: Optional[Data]) -> None:
        """The reply (or text) `fn` hands out from now on; None: its default again."""
        name, reply = self._fn(fn), _data("data", data, none_ok=True)
        n = 0 if reply is None else _length("data", reply)
        self._done(self._lib.zqstub_set_reply(name, reply, n), fn)

    def set_mode(self, fn: str, mode: int, length: int = 0) -> None:
        """A fault to answer with: NULL_REPLY (with `length`), NEGATIVE_LENGTH (a negative `length`),
        NULL_TEXT; NORMAL ends it."""
        name = self._fn(fn)
        if isinstance(mode, bool) or not isinstance(mode, int):
            raise TypeError(f"mode must be int, not {type(mode).__name__}")
        if mode not in _MODES:
            raise ValueError(f"mode must be one of NORMAL, NULL_REPLY, NEGATIVE_LENGTH, NULL_TEXT, got {mode}")
        n = _int("length", length, high=-1) if mode == NEGATIVE_LENGTH else _int("length", length)
        self._done(self._lib.zqstub_set_mode(name, mode, n), fn)

    def deliver_during(self, fn: str, count: int = -1) -> None:
        """Deliver up to `count` queued events (-1: all, 0: none) during every call of `fn`."""
        name, n = self._fn(fn), _int("count", count, low=-1)
        self._done(self._lib.zqstub_deliver_during(name, n), fn)

    def call_count(self, fn: str) -> int:
        """How many times `fn` was called since the last reset, counted with logging off too."""
        return int(self._lib.zqstub_calls(self._fn(fn)))

    # ---- events ------------------------------------------------------------------

    def queue_event(self, msg_type: Optional[Data], data: Optional[Data], data_len: Optional[int] = None) -> None:
        """Queue an event: its message type and payload (None: a NULL pointer).

        `data_len` defaults to len(data); a smaller value, negative ones
        included, is passed to the callback as it is.  With `data` None it is
        the length handed out with the NULL pointer (default 0).
        """
        mt, payload = _data("msg_type", msg_type, none_ok=True), _data("data", data, none_ok=True)
        type_len = 0 if mt is None else _length("msg_type", mt)
        if payload is None:
            n = 0 if data_len is None else _int("data_len", data_len)
        else:
            n = _length("data", payload) if data_len is None else _int("data_len", data_len, high=len(payload))
        flags = (_EVENT_NULL_TYPE if mt is None else 0) | (_EVENT_NULL_DATA if payload is None else 0)
        self._lib.zqstub_queue_event(mt or b"", type_len, payload or b"", n, flags)

    def queue_events(self, events: Iterable[Tuple[Data, Data]]) -> None:
        """Queue `(msg_type, data)` pairs in order; all are checked before the first is queued."""
        checked = []
        for i, pair in enumerate(events):
            if not isinstance(pair, tuple) or len(pair) != 2:
                raise TypeError(f"events[{i}] must be a (msg_type, data) tuple, not {type(pair).__name__}")
            mt, payload = _data(f"events[{i}] msg_type", pair[0], False), _data(f"events[{i}] data", pair[1], False)
            assert mt is not None and payload is not None
            checked.append((mt, _length(f"events[{i}] msg_type", mt), payload, _length(f"events[{i}] data", payload)))
        for mt, type_len, payload, n in checked:
            self._lib.zqstub_queue_event(mt, type_len, payload, n, 0)

    def start_ticker(self, msg_type: Data, period: float, count: int) -> None:
        """Queue `count` events from a thread of the stand-in's own, one every `period` seconds (0: one after
        the other); see :func:`ticks`.  Starting it again stops the one running; ``reset`` stops it."""
        mt = _data("msg_type", msg_type, none_ok=False)
        assert mt is not None
        if isinstance(period, bool) or not isinstance(period, (int, float)):
            raise TypeError(f"period must be float, not {type(period).__name__}")
        if not 0 <= period <= 1e9:  # NaN included
            raise ValueError(f"period must be between 0 and 1e9 seconds, got {period}")
        n = _int("count", count, low=0)
        self._done(self._lib.zqstub_start_ticker(mt, _length("msg_type", mt), round(period * 1e9), n), "ticker")

    def wait_ticker(self) -> int:
        """Wait for the ticker's last event to be queued; the number it queued."""
        return int(self._lib.zqstub_wait_ticker())

    def stop_ticker(self) -> int:
        """End the ticker early; the number it queued."""
        return int(self._lib.zqstub_stop_ticker())

    def queue_size(self) -> int:
        """Events queued and not yet delivered."""
        return int(self._lib.zqstub_queue_size())

    def callback(self) -> Optional[int]:
        """Address of the registered event callback, None if none."""
        address: Optional[int] = self._lib.zqstub_callback()
        return address

    # ---- the call log ------------------------------------------------------------

    def calls(self, fn: Optional[str] = None) -> List[Call]:
        """The logged calls, oldest first; only those of `fn` when it is given."""
        name = None if fn is None else self._fn(fn).decode()
        lib = self._lib
        logged = (_parse(lib.zqstub_log_entry(i).decode()) for i in range(lib.zqstub_log_count()))
        return [c for c in logged if name is None or c.fn == name]

    def requests(self, fn: str) -> List[bytes]:
        """The request buffers `fn` received, as logged, oldest first."""
        out = []
        for call in self.calls(fn):
            buf = next((a for a in call.args if isinstance(a, Buffer)), None)
            if buf is None:
                raise ValueError(f"{fn} takes no request buffer")
            out.append(buf.data)
        return out

    def clear_log(self) -> None:
        """Empty the log and zero its dropped count."""
        self._lib.zqstub_log_clear()

    def set_log_capacity(self, capacity: int) -> None:
        """Keep the newest `capacity` calls (at least 1); older ones are dropped and counted."""
        self._done(self._lib.zqstub_set_log_capacity(_int("capacity", capacity, low=1)), "capacity")

    def log_capacity(self) -> int:
        """How many calls the log keeps."""
        return int(self._lib.zqstub_log_capacity())

    def log_dropped(self) -> int:
        """Calls dropped from the full log since the last reset or clear_log."""
        return int(self._lib.zqstub_log_dropped())

    # ---- replaying a cassette ------------------------------------------------------

    def replay_open(self, cassette: Union[str, "os.PathLike[str]"], match: Optional["MatchRules"] = None) -> None:
        """Answer every core call from `cassette` from now on, matched by the rules in `match`
        (and scrubbed by the redaction rules the cassette was recorded with).

        Raises ``zq.csdk._replay.CassetteError`` for a file that cannot be
        replayed (not a cassette, a newer format, unreadable).
        """
        from ._redaction import header_rules
        from ._replay import CassetteError, rules_text

        path = os.fsencode(cassette)
        rules = (rules_text(match) + header_rules(cassette)).encode()
        if self._lib.zqstub_replay_open(path, rules) != 0:
            raise CassetteError(self._lib.zqstub_replay_error().decode(errors="replace"))

    def replay_close(self) -> str:
        """End the replay; the report of its divergences, recorded calls never made included ("": none)."""
        self._lib.zqstub_replay_close()
        return self.replay_report()

    def replay_report(self) -> str:
        """The divergences so far, each with the expected and the received call ("": none)."""
        return bytes(self._lib.zqstub_replay_report()).decode(errors="replace")

    def replay_full_report(self) -> str:
        """The report with every argument of each call in full, one a line, secret arguments withheld."""
        return bytes(self._lib.zqstub_replay_full_report()).decode(errors="replace")

    def replaying(self) -> bool:
        """Whether a cassette is being replayed."""
        return bool(self._lib.zqstub_replay_active())


if __name__ == "__main__":  # python -m zq.csdk.standin exec -- CMD [ARGS...]
    import sys

    from zq.csdk._launch import main

    sys.exit(main())
