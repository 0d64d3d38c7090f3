"""Cassettes: a session with the core library recorded once, read back, replayed in tests.

    python -m zq.csdk.cassette record CASSETTE [--keep-secrets] -- CMD [ARGS...]
    python -m zq.csdk.cassette replay CASSETTE [--match RULE ...] [--report FILE] -- CMD [ARGS...]
    python -m zq.csdk.cassette show CASSETTE
    python -m zq.csdk.cassette stats CASSETTE

``record`` runs CMD with the development kit's recording tap in front of the
core library the extension would load (a vendor build beside the extension,
else the stand-in) and exits with CMD's status.  The tap forwards every call
and writes each call, its return and each event into CASSETTE; the token and
password-like settings are written as a placeholder unless --keep-secrets is
given.  ``replay`` runs CMD on the stand-in answering from CASSETTE and
exits with CMD's status, or 3 when CMD succeeded but diverged from the
recording (the report on stderr); --report FILE also writes every argument
of each divergence in full there, secret arguments withheld.  ``show``
prints a transcript, ``stats`` durations per function and counts per
message type; both read the file as a stream and, on a damaged file, print
what was readable and say where it ends (exit status 1).
"""
from __future__ import annotations

import importlib.util
import os
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import _launch
from ._cassette_file import CassetteError, Reader

__all__ = ["main", "tap_library", "recorded_core"]

USAGE = """usage: python -m zq.csdk.cassette record CASSETTE [--keep-secrets] -- CMD [ARGS...]
       python -m zq.csdk.cassette replay CASSETTE [--match RULE ...] [--report FILE] -- CMD [ARGS...]
       python -m zq.csdk.cassette show CASSETTE
       python -m zq.csdk.cassette stats CASSETTE"""


class UsageError(Exception):
    pass


def tap_library() -> str:
    """The recording tap installed with the development kit."""
    path = Path(__file__).resolve().parent / "_tap" / "libzq3-c.so"
    if not path.is_file():
        raise _launch.LaunchError(f"no recording tap is installed (looked for {path}); "
                                  "install the development kit, zq-csdk-devkit")
    return str(path)


def recorded_core() -> str:
    """The core the extension would load: the file beside it (a vendor build), else the stand-in.

    The extension is found without importing it, so this process loads no core.
    """
    try:
        found = importlib.util.find_spec("zq.csdk.c_sdk")
    except (ImportError, ValueError):
        found = None
    if found is not None and found.origin:
        beside = Path(found.origin).resolve().parent / "libzq3-c.so"
        if beside.is_file():
            return str(beside)
    return _launch.standin_library()


def _options(args: List[str], flags: Tuple[str, ...], valued: Tuple[str, ...]) -> Tuple[str, Dict[str, Any], List[str]]:
    """(CASSETTE, options, command) of ``CASSETTE [options] -- CMD...``."""
    cassette: Optional[str] = None
    opts: Dict[str, Any] = {}
    i = 0
    while i < len(args):
        a = args[i]
        if a == "--":
            i += 1
            break
        if a in flags:
            opts[a] = True
        elif a in valued:
            if i + 1 >= len(args):
                raise UsageError(f"{a} needs a value")
            opts.setdefault(a, []).append(args[i + 1])
            i += 1
        elif a.startswith("-"):
            raise UsageError(f"unknown option {a}")
        elif cassette is None:
            cassette = a
        else:
            break  # the command, given without "--"
        i += 1
    if cassette is None:
        raise UsageError("no cassette given")
    command = args[i:]
    if not command:
        raise UsageError("no command given")
    return cassette, opts, command


def record(cassette: str, command: Sequence[str], keep_secrets: bool) -> int:
    tap, core = tap_library(), recorded_core()
    path = os.path.abspath(cassette)
    try:  # created (or emptied) here, so an unwritable path is reported before the command starts
        with open(path, "wb"):
            pass
    except OSError as e:
        raise _launch.LaunchError(f"cannot write the cassette {cassette}: {e.strerror or e}") from None
    env = {"ZQ_CASSETTE_RECORD": path, "ZQ_TAP_CORE": core, "ZQ_CASSETTE_KEEP_SECRETS": "1" if keep_secrets else "0"}
    status = _launch.run(tap, command, env)
    if os.path.isfile(path) and os.path.getsize(path) == 0:
        print(f"cassette: the command made no core call; nothing was recorded in {cassette}", file=sys.stderr)
    return status


def replay(cassette: str, command: List[str], match: List[str], report: Optional[str]) -> int:
    from ._replay import run_replay  # the player, loaded only when asked for

    return run_replay(cassette, command, match, report)


def _read(path: str, report: Callable[[Reader], None]) -> int:
    """`report` on the records of `path`; 1 (with one line on stderr) if it is damaged."""
    with Reader(path) as reader:
        report(reader)
        sys.stdout.flush()
        if reader.damage:
            print(f"cassette: {path}: {reader.damage}", file=sys.stderr)
            return 1
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        if not args or args[0] in ("-h", "--help"):
            print(USAGE + "\n\n" + __doc__.split("\n\n", 2)[2].strip(), file=sys.stdout if args else sys.stderr)
            return 0 if args else 2
        sub, rest = args[0], args[1:]
        if sub == "record":
            cassette, opts, command = _options(rest, ("--keep-secrets",), ())
            return record(cassette, command, bool(opts.get("--keep-secrets")))
        if sub == "replay":
            cassette, opts, command = _options(rest, (), ("--match", "--report"))
            if len(opts.get("--report", [])) > 1:
                raise UsageError("--report is given once")
            return replay(cassette, command, opts.get("--match", []), (opts.get("--report") or [None])[0])
        if sub in ("show", "stats"):
            if len(rest) != 1:
                raise UsageError(f"{sub} takes one cassette")
            from ._cassette_report import show, stats
            return _read(rest[0], show if sub == "show" else stats)
        raise UsageError(f"unknown command {sub!r}")
    except UsageError as e:
        print(f"cassette: {e}\n{USAGE}", file=sys.stderr)
        return 2
    except CassetteError as e:
        print(f"cassette: {e}", file=sys.stderr)
        return 1
    except _launch.LaunchError as e:
        print(f"cassette: {e}", file=sys.stderr)
        return 127 if str(e).startswith(("command not found", "command not executable")) else 2
    except BrokenPipeError:  # `show ... | head`
        sys.stderr.close()
        return 0


if __name__ == "__main__":
    sys.exit(main())
