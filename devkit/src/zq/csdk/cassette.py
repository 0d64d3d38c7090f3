"""Cassettes: a session with the core library recorded once, read back, replayed in tests.

    python -m zq.csdk.cassette record CASSETTE [--keep-secrets] [--force] -- CMD [ARGS...]
    python -m zq.csdk.cassette replay CASSETTE [--match RULE ...] -- CMD [ARGS...]
    python -m zq.csdk.cassette show CASSETTE
    python -m zq.csdk.cassette stats CASSETTE

``record`` runs CMD with the development kit's recording tap in front of the
core library the extension would load (a vendor build beside the extension,
else the stand-in) and exits with CMD's status.  The tap forwards every call
and writes each call, its return and each event into CASSETTE; the token and
password-like settings are written as a placeholder unless --keep-secrets is
given.  The recording replaces CASSETTE only once it holds a call, and an
existing CASSETTE only with --force.  ``show`` prints a transcript, ``stats``
durations per function and counts per message type; both read the file as a
stream and, on a damaged file, print what was readable and say where it ends
(exit status 1).
"""
from __future__ import annotations

import importlib.util
import os
import secrets
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import _launch
from ._cassette_file import CallRecord, CassetteError, Reader

__all__ = ["main", "tap_library", "recorded_core"]

USAGE = """usage: python -m zq.csdk.cassette record CASSETTE [--keep-secrets] [--force] -- CMD [ARGS...]
       python -m zq.csdk.cassette replay CASSETTE [--match RULE ...] -- CMD [ARGS...]
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


def record_action(exists: bool, force: bool) -> str:
    """What ``record`` does with the cassette it is given: "record" a new one
    (into a file beside it that replaces it once the recording holds a call),
    or "refuse", leaving an existing cassette alone unless asked to replace it."""
    return "refuse" if exists and not force else "record"


def _recorded(path: str) -> Optional[str]:
    """None if `path` holds the header and at least one call; else what it lacks."""
    try:
        with Reader(path) as reader:
            if any(isinstance(rec, CallRecord) for rec in reader):
                return None
    except CassetteError:
        pass
    return "the command made no core call; nothing was recorded"


def record(cassette: str, command: Sequence[str], keep_secrets: bool, force: bool = False) -> int:
    tap, core = tap_library(), recorded_core()
    path = os.path.abspath(cassette)
    exists = os.path.lexists(path)
    if record_action(exists, force) == "refuse":
        raise _launch.LaunchError(f"{cassette} already exists; give --force to record over it")
    if exists and not os.path.isfile(path):
        raise _launch.LaunchError(f"cannot write the cassette {cassette}: not a regular file")
    # The recording goes to a new file beside the cassette, made here so that
    # an unwritable folder is reported before the command starts.
    folder, name = os.path.split(path)
    scratch = os.path.join(folder, f".{name}.{os.getpid()}-{secrets.token_hex(4)}.recording")
    try:
        os.close(os.open(scratch, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600 if keep_secrets else 0o666))
    except OSError as e:
        raise _launch.LaunchError(f"cannot write the cassette {cassette}: {e.strerror or e}") from None
    try:
        env = {"ZQ_CASSETTE_RECORD": scratch, "ZQ_TAP_CORE": core,
               "ZQ_CASSETTE_KEEP_SECRETS": "1" if keep_secrets else "0"}
        status = _launch.run(tap, command, env)
        missing = _recorded(scratch)
        if missing is None:
            os.replace(scratch, path)
        else:
            print(f"cassette: {missing}; {cassette} {'is left as it was' if exists else 'was not written'}",
                  file=sys.stderr)
    finally:
        if os.path.lexists(scratch):
            os.unlink(scratch)
    return status


def replay(cassette: str, command: List[str], match: List[str]) -> int:
    from ._replay import run_replay  # the player, loaded only when asked for

    return run_replay(cassette, command, match)


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
            cassette, opts, command = _options(rest, ("--keep-secrets", "--force"), ())
            return record(cassette, command, bool(opts.get("--keep-secrets")), bool(opts.get("--force")))
        if sub == "replay":
            cassette, opts, command = _options(rest, (), ("--match",))
            return replay(cassette, command, opts.get("--match", []))
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
