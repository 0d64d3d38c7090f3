"""Awkward argument values shared by the fuzz test and the leak check.

Each hostile object misbehaves in one protocol only: a dunder that raises
`Boom`, or one that returns the wrong type.  `good(kind, adapted)` and
`bad(kind, adapted)` give, per parameter kind of catalog.py, values a wrapper
must accept and values it must refuse with the exception named beside them.
"""
from __future__ import annotations

import math
from typing import Any, List, Tuple


class Boom(Exception):
    """Raised by the hostile objects' dunders."""


def _boom(*_):
    raise Boom


class IntRaises:
    __int__ = _boom


class IntWrong:
    def __int__(self):
        return "7"


class _IntSub(int):
    pass


class IntSubclass:
    """__int__ returns an int subclass: accepted with a DeprecationWarning."""

    def __int__(self):
        return _IntSub(3)


class IntLike:
    def __int__(self):
        return 5


class IndexOnly:
    def __index__(self):
        return 5


class IndexRaises:
    __index__ = _boom


class FloatRaises:
    __float__ = _boom


class FloatWrong:
    def __float__(self):
        return "1.5"


class FloatLike:
    def __float__(self):
        return 2.5


class LenRaises:
    __len__ = _boom


class LenNegative:
    def __len__(self):
        return -1


class LenHuge:
    def __len__(self):
        return 2 ** 70


class LenWrong:
    def __len__(self):
        return "3"


class BoolRaises:
    __bool__ = _boom


class BoolWrong:
    def __bool__(self):
        return 1


class EqRaises:
    __eq__ = _boom
    __ne__ = _boom
    __hash__ = object.__hash__


class _NotBool:
    __bool__ = _boom


class EqWrong:
    """Compares as an object whose truth value raises."""

    def __eq__(self, other):
        return _NotBool()

    __ne__ = __eq__
    __hash__ = object.__hash__


class StrRaises:
    __str__ = _boom
    __repr__ = _boom
    __format__ = _boom


class LyingBytes(bytes):
    """A bytes subclass whose __len__ claims far more than its buffer."""

    def __len__(self):
        return 1 << 20


class LenRaisingBytes(bytes):
    __len__ = _boom


class SubBytearray(bytearray):
    pass


class LendsOtherMemory(bytearray):
    """A bytearray whose buffer protocol (3.12+) lends another object's memory."""

    def __buffer__(self, flags):
        return memoryview(bytearray(b"other memory"))


class EqCallsCore:
    """Equal to 0; each comparison first runs `call`, a call of the core that
    reuses the buffer of the reply being compared (not from within itself)."""

    def __init__(self, call):
        self.call, self.busy = call, False

    def __eq__(self, other):
        if not self.busy:
            self.busy = True
            try:
                self.call()
            finally:
                self.busy = False
        return other == 0

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = object.__hash__


class EncodeRaises(str):
    encode = _boom


class EncodeWrong(str):
    def encode(self, *a, **k):
        return "still str"


class EncodesItself(str):
    def encode(self, *a, **k):
        return self


EXC = (TypeError, OverflowError, ValueError, UnicodeEncodeError, Boom, DeprecationWarning)
"""The exceptions a wrapper may raise for a bad argument."""


def good(kind: str, adapted: bool) -> List[Any]:
    """Values a parameter of `kind` accepts."""
    if kind == "request":
        v = [b"req", b"\x00nul\x00", b"", bytearray(b"ba"), bytearray(), SubBytearray(b"sub"), LyingBytes(b"lie"),
             LendsOtherMemory(b"own")]
        return v + (["ascii", ""] if adapted else [])
    if kind == "text":
        v = [b"text", b"a\x00b", bytearray(b"ba"), bytearray()]
        return v + (["ascii"] if adapted else [])
    if kind == "int":
        return [7, -2 ** 31, 2 ** 31 - 1, 7.9, -7.9, True, IntLike()]
    if kind == "double":
        return [1.5, 3, math.nan, math.inf, -math.inf, -0.0, True, FloatLike()]
    if kind == "bool":
        return [True, False, None, 0, 1, [], [0], "", "x", object()]
    return [lambda *a: None]


def bad(kind: str, adapted: bool) -> List[Tuple[Any, type]]:
    """(value, exception) pairs a parameter of `kind` refuses before the core call."""
    plain_str = UnicodeEncodeError if adapted else TypeError
    if kind == "request":
        return [(5, TypeError), (None, TypeError), ([1, 2], TypeError), (memoryview(b"mv"), TypeError),
                ("é", plain_str), (LenRaises(), Boom), (LenNegative(), ValueError), (LenHuge(), OverflowError),
                (LenWrong(), TypeError), (LenRaisingBytes(b"x"), Boom), (EncodesItself("x"), TypeError)]
    if kind == "text":
        return [(None, TypeError), (5, TypeError), (memoryview(b"mv"), TypeError), ("é", plain_str),
                ("abc" if not adapted else EncodeRaises("abc"), TypeError if not adapted else Boom),
                (EncodeWrong("x"), TypeError), (EncodesItself("x"), TypeError)]
    if kind == "int":
        return [(2 ** 31, OverflowError), (-2 ** 31 - 1, OverflowError), (2 ** 70, OverflowError),
                (object(), TypeError), ("7", TypeError), (IntRaises(), Boom), (IntWrong(), TypeError),
                (math.nan, ValueError), (math.inf, OverflowError)]
    if kind == "double":
        return [("1.5", TypeError), (object(), TypeError), (FloatRaises(), Boom), (FloatWrong(), TypeError),
                (2 ** 2000, OverflowError), (None, TypeError)]
    if kind == "bool":
        return [(BoolRaises(), Boom), (BoolWrong(), TypeError), (LenRaises(), Boom)]
    return []
