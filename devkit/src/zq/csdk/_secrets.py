"""The secret arguments of the core functions, as the recording tap and the
stand-in know them: the one list, ``core_secrets.def``, installed beside the
stand-in core.  What prints a recorded or received call shows these as
``<secret>``."""
from __future__ import annotations

import functools
import re
from pathlib import Path
from typing import Dict, FrozenSet

__all__ = ["RESULT", "secret_positions"]

RESULT = -1
"""The position of a function's result in :func:`secret_positions`."""

_LINE = re.compile(r"\s*CORE_SECRET\((\w+), *(\w+), *(-?\d+)\)\s*")


@functools.lru_cache(maxsize=None)
def secret_positions() -> Dict[str, FrozenSet[int]]:
    """Function name -> the positions of its secret arguments (:data:`RESULT`: its result)."""
    path = Path(__file__).resolve().parent / "_standin" / "core_secrets.def"
    found: Dict[str, set[int]] = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        m = _LINE.fullmatch(line)
        if m:
            found.setdefault(m[1], set()).add(int(m[3]))
    return {fn: frozenset(positions) for fn, positions in found.items()}
