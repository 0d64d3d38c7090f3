"""The core libraries of a process: the development kit's own, and the tap's control of the ones behind it.

The kit installs two: the stand-in (``_standin/libzq3-c.so``, found by
:func:`zq.csdk._launch.standin_library`) and the recording tap
(``_tap/libzq3-c.so``).  A process that both replays and records (pytest with
a record mode) runs with the tap as its ``libzq3-c.so``, the real core and the
stand-in loaded behind it, and a route choosing which one a call reaches.
:class:`Tap` is that control, reached on the library already loaded.
"""
from __future__ import annotations

import ctypes
import os
from pathlib import Path
from typing import Dict, Optional, Tuple

from . import _launch
from .check_core import CoreLibraryError, check

__all__ = ["Tap", "TapError", "tap_library", "loaded_tap", "checked_core", "routed_environment"]


class TapError(Exception):
    """The tap refused a control call; the message is one line."""


def tap_library() -> str:
    """The recording tap installed with the development kit."""
    path = Path(__file__).resolve().parent / "_tap" / "libzq3-c.so"
    if not path.is_file():
        raise _launch.LaunchError(f"no recording tap is installed (looked for {path}); "
                                  "install the development kit, zq-csdk-devkit")
    return str(path)


def checked_core(path: str) -> str:
    """`path` as an absolute path, once the contract check passed; CoreLibraryError (one line) otherwise."""
    check(path)
    return os.path.abspath(path)


def routed_environment(core: str) -> Dict[str, str]:
    """What the tap needs to forward to `core` and route to the stand-in: the launcher's `extra`."""
    return {"ZQ_TAP_CORE": core, "ZQ_TAP_STANDIN": _launch.standin_library(), "ZQ_CASSETTE_RECORD": ""}


class Tap:
    """The loaded tap's control: the route, and one recording at a time."""

    def __init__(self, lib: ctypes.CDLL):
        self._lib = lib
        for name, res, args in (("zqtap_core_path", ctypes.c_char_p, []),
                                ("zqtap_standin_path", ctypes.c_char_p, []),
                                ("zqtap_route", ctypes.c_int, [ctypes.c_int]),
                                ("zqtap_record_start", ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
                                ("zqtap_redact", ctypes.c_int, [ctypes.c_char_p]),
                                ("zqtap_record_stop", ctypes.c_longlong, [ctypes.POINTER(ctypes.c_ulonglong)]),
                                ("zqtap_error", ctypes.c_char_p, [])):
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = res, args

    def core_path(self) -> str:
        return os.fsdecode(self._lib.zqtap_core_path())

    def standin_path(self) -> str:
        """The stand-in behind the tap ("" when it has none)."""
        return os.fsdecode(self._lib.zqtap_standin_path())

    def route(self, real_core: bool) -> None:
        """Send the calls from now on to the real core, or to the stand-in."""
        if self._lib.zqtap_route(int(real_core)) < 0:
            raise TapError("the tap has no stand-in to route to")

    def record_start(self, path: str, keep_secrets: bool = False) -> None:
        """Record every call from now on into `path`, an existing empty file."""
        if self._lib.zqtap_record_start(os.fsencode(path), int(keep_secrets)) != 0:
            raise TapError(os.fsdecode(self._lib.zqtap_error()))

    def redact(self, rules: str) -> None:
        """Scrub the recordings started from now on by `rules` (one per line, as
        zq.csdk._redaction.redaction_text gives them; "": none)."""
        if self._lib.zqtap_redact(rules.encode("utf-8", "surrogateescape")) != 0:
            raise TapError(os.fsdecode(self._lib.zqtap_error()))

    def record_stop(self) -> Tuple[int, int]:
        """End the recording, its file complete: (calls recorded, calls lost)."""
        calls = ctypes.c_ulonglong(0)
        lost = self._lib.zqtap_record_stop(ctypes.byref(calls))
        if lost < 0:
            raise TapError(os.fsdecode(self._lib.zqtap_error()))
        return calls.value, lost


def loaded_tap() -> Optional[Tap]:
    """The tap this process's extension loaded, when it is the tap and routes between two cores."""
    from . import c_sdk  # noqa: F401  -- loads the core library with the extension

    try:
        lib = ctypes.CDLL("libzq3-c.so", mode=os.RTLD_NOLOAD)
    except OSError:
        return None
    if not hasattr(lib, "zqtap_route"):
        return None
    tap = Tap(lib)
    return tap if tap.standin_path() else None


__all__ += ["CoreLibraryError"]
