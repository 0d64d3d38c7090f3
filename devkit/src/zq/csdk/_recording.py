"""Recording a test's cassette: the record modes, where a cassette goes, and writing it whole or not at all.

A record mode says, for a test marked ``zq_cassette``, what to do with its
cassette; :func:`decide` is that rule in one place:

========  =================  =================
mode      cassette exists    cassette missing
========  =================  =================
``none``  replay             fail
``once``  replay             record
``all``   record             record
========  =================  =================
"""
from __future__ import annotations

import fcntl
import glob
import hashlib
import os
import re
import tempfile
import time
from pathlib import Path
from typing import Optional

from ._cores import Tap

__all__ = ["MODES", "REPLAY", "RECORD", "FAIL", "decide", "cassette_name", "Recording"]

MODES = ("none", "once", "all")
REPLAY, RECORD, FAIL = "replay", "record", "fail"

_UNSAFE = re.compile(r"[^A-Za-z0-9_.\[\]-]")
_MAX_NAME = 120


def decide(mode: str, exists: bool) -> str:
    """What a test does with its cassette: REPLAY, RECORD or FAIL."""
    if mode not in MODES:
        raise ValueError(f"record mode must be one of {', '.join(MODES)}, not {mode!r}")
    if mode == "all":
        return RECORD
    if exists:
        return REPLAY
    return RECORD if mode == "once" else FAIL


def cassette_name(test: str) -> str:
    """A file name (``.zqc``) for the test `test` (its name in its module, parameters included).

    Characters other than letters, digits, ``_.-[]`` become ``_``, with a
    short hash of the name added so that two names never share a file; so
    does a name cut to a sane length.
    """
    safe = _UNSAFE.sub("_", test).lstrip(".") or "_"
    if safe != test or len(safe) > _MAX_NAME:
        safe = f"{safe[:_MAX_NAME]}-{hashlib.sha1(test.encode()).hexdigest()[:8]}"
    return safe + ".zqc"


def _umask() -> int:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    return 0o022


_STALE_AFTER = 60.0  # seconds: a part file this old, and locked by nobody, was left by a recording that died


def _sweep_stale_parts(target: Path) -> None:
    """Removes the part files a killed recording of `target` left behind.

    The tap holds a lock on the part file it records into until the recording
    ends; the kernel lets the lock go when the process dies.  A part file
    nobody holds, older than the moments before the tap locks it and after it
    lets go, is one nothing will finish.
    """
    for part in glob.glob(os.path.join(glob.escape(str(target.parent)), f".{glob.escape(target.name)}.*.part")):
        try:
            fd = os.open(part, os.O_RDONLY | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            if time.time() - os.fstat(fd).st_mtime < _STALE_AFTER:
                continue
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            os.unlink(part)
        except OSError:
            pass  # held by a recording in progress, or gone already
        finally:
            os.close(fd)


class Recording:
    """One test's recording: into a new file beside `target`, which replaces it only when complete.

    Complete is: the header and at least one call, none lost.  A recording
    that keeps secrets stays private to its owner (0600).  `redact`: the
    redaction rules, one per line as the tap reads them (zq.csdk._redaction).
    """

    def __init__(self, tap: Tap, target: Path, keep_secrets: bool = False, redact: str = ""):
        self.tap, self.target, self.keep_secrets, self.redact = tap, target, keep_secrets, redact
        self._part: Optional[str] = None

    def start(self) -> None:
        self.target.parent.mkdir(parents=True, exist_ok=True)
        _sweep_stale_parts(self.target)
        fd, self._part = tempfile.mkstemp(dir=self.target.parent, prefix=f".{self.target.name}.", suffix=".part")
        os.close(fd)  # mkstemp makes it 0600; without secrets it gets the usual mode
        if not self.keep_secrets:
            os.chmod(self._part, 0o666 & ~_umask())
        try:
            self.tap.redact(self.redact)
            self.tap.record_start(self._part, self.keep_secrets)  # the tap locks it while it records
        except Exception:
            os.unlink(self._part)
            raise

    def finish(self) -> Optional[str]:
        """Ends the recording; None when the cassette was written, else the one line saying why not
        (it names the calls lost, if any were)."""
        assert self._part is not None
        part, self._part = self._part, None
        calls, lost = self.tap.record_stop()
        if calls and not lost:
            os.replace(part, self.target)
            return None
        os.unlink(part)
        if lost:
            return f"{self.target}: not written: the recording lost {lost} of its calls"
        return f"{self.target}: not written: the test made no call to the core"
