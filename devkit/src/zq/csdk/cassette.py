"""Cassettes: a session with the core library recorded once, read back, replayed in tests.

    python -m zq.csdk.cassette record CASSETTE [--keep-secrets] [--force] [--redact RULE ...] -- CMD [ARGS...]
    python -m zq.csdk.cassette replay CASSETTE [--match RULE ...] [--report FILE] -- CMD [ARGS...]
    python -m zq.csdk.cassette show CASSETTE [--full] [--function NAME ...] [--thread T ...]
    python -m zq.csdk.cassette stats CASSETTE
    python -m zq.csdk.cassette export CASSETTE [--format jsonl]
    python -m zq.csdk.cassette import FILE CASSETTE

``record`` runs CMD with the development kit's recording tap in front of the
core library the extension would load (a vendor build beside the extension,
else the stand-in) and exits with CMD's status.  The recording replaces
CASSETTE only once it holds a call and lost none, and an existing CASSETTE
only with --force.  ``show`` prints a transcript, ``stats`` durations per
function and counts per message type, ``export`` one JSON object per record,
which ``import`` turns back into a cassette; each command's ``--help`` says
more.

From Python, :func:`read` streams the records of a cassette and :func:`write`
writes records as one::

    from zq.csdk import cassette

    with cassette.read("orders.zqc") as records:
        orders = [r for r in records if isinstance(r, cassette.CallRecord) and r.fn == "zqi_place_order_pb"]
    cassette.write("copy.zqc", cassette.read("orders.zqc"))
"""
from __future__ import annotations

import importlib.util
import os
import secrets
import sys
from pathlib import Path
from typing import IO, Callable, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from . import _launch
from ._cores import tap_library
from ._cassette_cli import HelpShown, UsageError, parse, parser
from ._cassette_file import (FNPTR, I64, SECRET, VOID, Buf, CallRecord, CassetteError, EndRecord, EventRecord, Header,
                             Out, Reader, Record, ReturnRecord)

__all__ = ["main", "tap_library", "recorded_core", "read", "write", "RecordStream", "Record", "Header", "CallRecord",
           "ReturnRecord", "EventRecord", "EndRecord", "Buf", "Out", "I64", "SECRET", "FNPTR", "VOID",
           "CassetteError"]


class RecordStream(Iterator[Record]):
    """The records of one cassette, read one at a time (see :func:`read`); closes its file at the end,
    on a damaged record, or on leaving a ``with`` block."""

    def __init__(self, reader: Reader):
        self._reader = reader
        self._records = iter(reader)
        self._damage_raised = False

    def __iter__(self) -> "RecordStream":
        return self

    def __next__(self) -> Record:
        try:
            return next(self._records)
        except StopIteration:
            self.close()
            if self._reader.damage and not self._damage_raised:
                self._damage_raised = True
                raise CassetteError(f"{self._reader.path}: {self._reader.damage}") from None
            raise

    @property
    def ended(self) -> bool:
        """Whether an END record has been read (a cassette without one was cut short)."""
        return self._reader.ended

    def close(self) -> None:
        self._reader.close()

    def __enter__(self) -> "RecordStream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def read(path: Union[str, "os.PathLike[str]"]) -> RecordStream:
    """The records of the cassette `path`, streamed: a :class:`Header` first, then :class:`CallRecord`,
    :class:`ReturnRecord` and :class:`EventRecord` in the order they happened, and an :class:`EndRecord`
    last unless the recording was cut short.

    A file that cannot be read, is not a cassette or is of a newer format raises :class:`CassetteError`
    here; a damaged record raises it once every record before it has been yielded, its message saying
    where (``readable up to byte N (record #K): ...``).  Only one record is held at a time.
    """
    return RecordStream(Reader(os.fspath(path)))


def write(path: Union[str, "os.PathLike[str]"], records: Iterable[Record]) -> None:
    """Write `records` (as :func:`read` gives them) as the cassette `path`, framed and checksummed.

    A header is written first when the records do not begin with one, and an END counting their calls
    and events last when they do not end with one; a second header, or a record after the END, raises
    ValueError.  Each value is checked against the width the format gives it (an int argument or result
    is 32 bits; :class:`I64` is 64; a text holds no NUL byte) and raises ValueError or TypeError naming
    the record and the field.  The records are streamed, and `path` is replaced only once all of them
    are written, so a failure leaves it as it was.  A cassette whose header says ``"secrets": "kept"``
    is made readable by its owner alone.
    """
    from ._cassette_writer import write as write_file

    write_file(path, records)


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


def record_action(exists: bool, force: bool) -> str:
    """What ``record`` does with the cassette it is given: "record" a new one
    (into a file beside it that replaces it once the recording holds a call),
    or "refuse", leaving an existing cassette alone unless asked to replace it."""
    return "refuse" if exists and not force else "record"


def _recorded(path: str) -> Tuple[Optional[str], bool]:
    """(None if `path` holds the header and at least one call and lost none, else what is wrong;
    whether calls were lost)."""
    calls = dropped = 0
    try:
        with Reader(path) as reader:
            for rec in reader:
                calls += isinstance(rec, CallRecord)
                if isinstance(rec, EndRecord):
                    dropped = rec.dropped
    except CassetteError:
        pass
    if not calls:
        return "the command made no core call; nothing was recorded", False
    if dropped:
        return f"{dropped} call{'s' if dropped != 1 else ''} could not be recorded", True
    return None, False


def record(cassette: str, command: Sequence[str], keep_secrets: bool, force: bool = False, redact: str = "") -> int:
    """Run `command` through the recording tap into `cassette`; `redact`: the
    redaction rules, one per line as the tap reads them (zq.csdk._redaction)."""
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
               "ZQ_CASSETTE_KEEP_SECRETS": "1" if keep_secrets else "0", "ZQ_CASSETTE_REDACT": redact}
        status = _launch.run(tap, command, env)
        missing, lost = _recorded(scratch)
        if missing is None:
            os.replace(scratch, path)
        else:
            print(f"cassette: {missing}; {cassette} {'is left as it was' if exists else 'was not written'}",
                  file=sys.stderr)
            if lost:  # a recording that lost calls fails, whatever the command did
                status = status or 1
    finally:
        if os.path.lexists(scratch):
            os.unlink(scratch)
    return status


def replay(cassette: str, command: List[str], match: List[str], report: Optional[str] = None) -> int:
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


def _export(reader: Reader, out: IO[bytes]) -> None:
    from ._cassette_json import export_lines

    for line in export_lines(reader):
        out.write(line)


def _import(source: str, cassette: str) -> int:
    from ._cassette_json import JsonError, import_lines

    try:
        with (open(source, "rb") if source != "-" else sys.stdin.buffer) as f:
            write(cassette, import_lines(f, "<stdin>" if source == "-" else source))
    except JsonError as e:
        print(f"cassette: {e}", file=sys.stderr)
        return 1
    except (ValueError, TypeError) as e:  # what only the whole file shows, e.g. a second header
        print(f"cassette: {source}: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        what = e.filename if e.filename else source
        print(f"cassette: {what}: {e.strerror or e}", file=sys.stderr)
        return 1
    return 0


def _redaction(rules: List[str]) -> str:
    """The --redact rules checked, as the tap reads them; a bad rule is one line (status 2)."""
    from ._redaction import redaction_from_options, redaction_text

    try:
        return redaction_text(redaction_from_options(rules))
    except (TypeError, ValueError) as e:
        raise _launch.LaunchError(str(e)) from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        if not args:
            parser()[0].print_help(sys.stderr)
            return 2
        ns = parse(args)
        if ns.command == "record":
            return record(ns.cassette, ns.command_args, ns.keep_secrets, ns.force, _redaction(ns.redact))
        if ns.command == "replay":
            return replay(ns.cassette, ns.command_args, ns.match, ns.report)
        if ns.command == "import":
            return _import(ns.file, ns.cassette)
        from ._cassette_report import show, stats

        if ns.command == "show":
            return _read(ns.cassette, lambda r: show(r, full=ns.full, functions=ns.function, threads=ns.thread))
        if ns.command == "stats":
            return _read(ns.cassette, stats)
        return _read(ns.cassette, lambda r: _export(r, sys.stdout.buffer))
    except HelpShown:
        return 0
    except UsageError as e:
        print(f"cassette: {e}\n{e.usage}", file=sys.stderr)
        return 2
    except CassetteError as e:
        print(f"cassette: {e}", file=sys.stderr)
        return 1
    except _launch.LaunchError as e:
        print(f"cassette: {e}", file=sys.stderr)
        return e.status
    except BrokenPipeError:  # `show ... | head`
        sys.stderr.close()
        return 0


if __name__ == "__main__":
    sys.exit(main())
