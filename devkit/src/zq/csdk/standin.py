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
    assert core.calls()[-1].fn == "zqi_place_order_pb"

Events are queued with ``queue_event`` and delivered by ``zqi_run`` (all, in
order, until ``zqi_stop``), by ``zqi_poll`` (one), or during a named
function's own call (``deliver_during``).
"""
from __future__ import annotations

import ctypes
import json
import os
from dataclasses import dataclass, field
from typing import Any, List, Optional

__all__ = ["StandIn", "Call", "Buffer", "NORMAL", "NULL_REPLY", "NEGATIVE_LENGTH", "NULL_TEXT"]

# Reply modes (set_mode).
NORMAL = 0
NULL_REPLY = 1  # *res = NULL with a positive length
NEGATIVE_LENGTH = 2  # a valid *res with a negative length
NULL_TEXT = 3  # a text function returns NULL; zqi_get_serv_addr leaves *addr NULL

_EVENT_NULL_TYPE = 1
_EVENT_NULL_DATA = 2


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
    text_ptrs: dict = field(default_factory=dict)
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
    functions the extension calls, whichever file it came from.
    """
    try:
        from . import c_sdk  # noqa: F401  -- loads the core library with the extension
    except ImportError as e:
        if "undefined symbol" in str(e):
            e.add_note("The core library lacks a function the extension calls; "
                       "`python -m zq.csdk.check_core PATH` names every missing one.")
        raise
    try:
        return ctypes.CDLL("libzq3-c.so", mode=os.RTLD_NOLOAD)
    except OSError as e:
        raise RuntimeError(f"no libzq3-c.so is loaded in this process: {e}") from None


def _attach(path: Optional[str]) -> ctypes.CDLL:
    """The loaded core library when it is the stand-in (and, given `path`, that very file); else RuntimeError."""
    lib = _loaded_core()
    loaded = _file_of(lib)
    if not hasattr(lib, "zqstub_reset"):
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
        c_char_p, c_int, c_void_p = ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p
        for name, res, args in [
            ("zqstub_reset", None, []),
            ("zqstub_set_logging", None, [c_int]),
            ("zqstub_set_status", c_int, [c_char_p, c_int]),
            ("zqstub_set_reply", c_int, [c_char_p, c_char_p, c_int]),
            ("zqstub_set_mode", c_int, [c_char_p, c_int, c_int]),
            ("zqstub_deliver_during", c_int, [c_char_p, c_int]),
            ("zqstub_calls", ctypes.c_long, [c_char_p]),
            ("zqstub_queue_event", None, [c_char_p, c_int, c_char_p, c_int, c_int]),
            ("zqstub_queue_size", c_int, []),
            ("zqstub_callback", c_void_p, []),
            ("zqstub_log_count", c_int, []),
            ("zqstub_log_entry", c_char_p, [c_int]),
            ("zqstub_log_clear", None, []),
        ]:
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = res, args

    def _named(self, rc: int, fn: str) -> None:
        if rc != 0:
            raise KeyError(f"no core function named {fn!r}")

    def reset(self) -> None:
        """Every function back to its default, the queue and the log emptied, logging on."""
        self._lib.zqstub_reset()

    def logging(self, on: bool) -> None:
        """Switch the call log on or off (off: only call counts are kept)."""
        self._lib.zqstub_set_logging(int(bool(on)))

    def set_status(self, fn: str, status: int) -> None:
        """The status (or int result) `fn` returns from now on."""
        self._named(self._lib.zqstub_set_status(fn.encode(), status), fn)

    def set_reply(self, fn: str, data: Optional[bytes]) -> None:
        """The reply (or text) `fn` hands out from now on; None: the default again."""
        self._named(self._lib.zqstub_set_reply(fn.encode(), data, len(data) if data is not None else 0), fn)

    def set_mode(self, fn: str, mode: int, length: int = 0) -> None:
        """A fault to answer with: NULL_REPLY, NEGATIVE_LENGTH (with `length`), NULL_TEXT."""
        self._named(self._lib.zqstub_set_mode(fn.encode(), mode, length), fn)

    def deliver_during(self, fn: str, count: int = -1) -> None:
        """Deliver up to `count` queued events (-1: all) during every call of `fn`."""
        self._named(self._lib.zqstub_deliver_during(fn.encode(), count), fn)

    def call_count(self, fn: str) -> int:
        n = self._lib.zqstub_calls(fn.encode())
        self._named(0 if n >= 0 else -1, fn)
        return n

    def queue_event(self, msg_type: Optional[bytes], data: Optional[bytes], data_len: Optional[int] = None) -> None:
        """Queue an event: raw message-type bytes and payload (None: a NULL pointer).

        `data_len` defaults to len(data); a different value (negative, say) is
        passed to the callback as it is.
        """
        flags = (_EVENT_NULL_TYPE if msg_type is None else 0) | (_EVENT_NULL_DATA if data is None else 0)
        mt = msg_type or b""
        payload = data or b""
        n = len(payload) if data_len is None else data_len
        if n > len(payload):
            payload = payload + bytes(n - len(payload))
        self._lib.zqstub_queue_event(mt, len(mt), payload, n, flags)

    def queue_size(self) -> int:
        return self._lib.zqstub_queue_size()

    def callback(self) -> Optional[int]:
        """Address of the registered event callback, None if none."""
        return self._lib.zqstub_callback()

    def calls(self) -> List[Call]:
        """The log, oldest call first."""
        return [_parse(self._lib.zqstub_log_entry(i).decode()) for i in range(self._lib.zqstub_log_count())]

    def clear_log(self) -> None:
        self._lib.zqstub_log_clear()
