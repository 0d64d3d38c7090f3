"""The command line of ``python -m zq.csdk.cassette``: its parsers and their help.

``record`` and ``replay`` take a command after the cassette and their
options, with or without ``--`` before it; everything from there on is the
command's, its own options included.  A usage error raises UsageError with
one line and the usage of the command it concerns.
"""
from __future__ import annotations

import argparse
import difflib
from typing import Any, Dict, NoReturn, Optional, Sequence, Tuple

from .check_core import CORE_FUNCTIONS

PROG = "python -m zq.csdk.cassette"

DESCRIPTION = """\
Record a session with the core library once, read it back, replay it in tests.

commands:
  record   run a command with the recording tap in front of the core library,
           writing every call, its return and each event into a cassette
  replay   run a command on the stand-in core answering from a cassette, and
           report where the calls diverge from the recording
  show     print a cassette as a transcript: one line per call and event
  stats    print durations per function and events per message type
  export   print a cassette as JSON Lines, one object per record
  import   turn JSON Lines, as export prints them, back into a cassette

Run "python -m zq.csdk.cassette COMMAND --help" for what a command takes."""

RULES = """\
match rules (replay --match RULE, once per rule):
  FN=function          compare the function alone, not its arguments
  FN=ignore:N[,N...]   leave the arguments at these positions (from 0) out
                       of the comparison
  FN=mask:PATTERN      cut what PATTERN matches out of every text and request
                       argument, on both sides, before comparing
  FN=optional          a recorded call of FN need not be made
  '{"FN": RULE, ...}'  a JSON object; RULE is "function", {"ignore": [N, ...]},
                       {"mask": [PATTERN, ...]}, {"optional": true} or a list
                       of these
  FN is a core function's name (zqi_place_order_pb), or * for every function.
  PATTERN runs in time linear in the text: literals and escapes (\\xHH), .,
  classes [...] [^...] \\d \\w \\s, ^ $, groups (...) (?:...), |, and
  * + ? {m,n} (lazy with a trailing ?); devkit/README.md has the whole syntax.

redaction rules (record --redact RULE, once per rule):
  FN=mask:PATTERN      replace what PATTERN matches in FN's text and request
                       arguments with <redacted> before the record is written
  FN=ignore:N[,N...]   write the arguments at these positions as secrets
  '{"FN": RULE, ...}'  a JSON object; RULE is {"mask": [PATTERN, ...]},
                       {"ignore": [N, ...]} or a list of these
  The rules go into the cassette's header; a replay scrubs what it receives
  by them, so a redacted argument matches any value."""

_COMMAND_STATUS = """\
  127      CMD was not found, 126: CMD could not be executed
  128+N    CMD was ended by signal N"""

EPILOGS = {
    "record": f"""\
The tap forwards every call to the core the extension would load (a vendor
build beside the extension, else the stand-in) and writes each call, its
return and each event into CASSETTE as they happen.  The token and the
password-like settings are written as a placeholder unless --keep-secrets
is given (the cassette is then readable by its owner alone).

exit status:
  CMD's own status
  2        a usage error, a bad rule, a cassette that cannot be written, or
           no recording tap installed
{_COMMAND_STATUS}

{RULES}""",
    "replay": f"""\
The stand-in is the core even where a vendor build is installed.  Each core
call is matched against the next recorded call and answered with its
recorded status and reply; the events recorded during it are delivered at
the same point.  The divergences are reported on stderr, expected against
received.

exit status:
  CMD's own status
  3        CMD succeeded but its calls diverged from the recording
  1        CASSETTE cannot be replayed (unreadable, not a cassette, a newer
           format); a damaged one replays as far as it reads
  2        a usage error or a bad match rule
{_COMMAND_STATUS}

{RULES}""",
    "show": f"""\
Each call is one line with its return (when nothing came between), its
thread (T1...), its start in ms and its duration; events and the calls made
while handling them are indented inside the call they arrived during.

exit status:
  0        the whole cassette was read
  1        CASSETTE is not a cassette, or is damaged: what was readable is
           printed, and one line on stderr says where reading stopped
  2        a usage error

{RULES}""",
    "stats": f"""\
Per function: calls and p50/p99/max duration; per message type: events and
their rate, given where the type has more than one event.

exit status:
  0        the whole cassette was read
  1        CASSETTE is not a cassette, or is damaged: what was readable is
           counted, and one line on stderr says where reading stopped
  2        a usage error

{RULES}""",
    "export": f"""\
Each line is a JSON object whose "record" is header, call, return, event or
end.  Payloads are JSON strings when valid UTF-8, {{"b64": "..."}} otherwise,
null for NULL.  Tagged values: {{"req": P}} a request (with "length" where it
differs), {{"i64": N}}, {{"f64": "nan"}}, {{"secret": true}}, {{"callback": true}},
{{"void": true}}.  Import gives back the same records.

exit status:
  0        the whole cassette was exported
  1        CASSETTE is not a cassette, or is damaged: what was readable is
           exported, and one line on stderr says where reading stopped
  2        a usage error

{RULES}""",
    "import": f"""\
FILE holds JSON Lines as export writes them ("-": standard input), one record
per line.  A file without a header gets one; one without an end record gets
one counting its calls and events.  CASSETTE is replaced only once all of it
has been written.

exit status:
  0        CASSETTE was written
  1        FILE cannot be read, a line is not a record (its line number is
           given), or CASSETTE cannot be written; CASSETTE is left as it was
  2        a usage error

{RULES}""",
}


class UsageError(Exception):
    """A command line that cannot be run; str() is the one-line reason, `usage` the command's usage."""

    def __init__(self, message: str, usage: str):
        super().__init__(message)
        self.usage = usage


class HelpShown(Exception):
    """--help was asked for and printed."""


class _Parser(argparse.ArgumentParser):
    def __init__(self, **kw: Any):
        super().__init__(allow_abbrev=False, formatter_class=argparse.RawDescriptionHelpFormatter, **kw)

    def error(self, message: str) -> NoReturn:
        raise UsageError(message, self.format_usage().rstrip())

    def exit(self, status: int = 0, message: Optional[str] = None) -> NoReturn:
        raise HelpShown()


def _thread(text: str) -> int:
    number = text[1:] if text[:1] in "Tt" else text
    if not number.isdigit():
        raise argparse.ArgumentTypeError(f"{text!r} is not a thread number (1, or T1 as show prints it)")
    return int(number)


def _function(name: str) -> str:
    if name not in CORE_FUNCTIONS:
        close = difflib.get_close_matches(name.removeprefix("py_"), CORE_FUNCTIONS, n=3)
        hint = f"; did you mean {' or '.join(close)}?" if close else ""
        raise argparse.ArgumentTypeError(f"no core function named {name!r}{hint}")
    return name


def parser() -> Tuple[_Parser, Dict[str, _Parser]]:
    """The top-level parser and each command's."""
    top = _Parser(prog=PROG, usage=f"{PROG} COMMAND [ARGS...]", description=DESCRIPTION)
    subs = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser, help=argparse.SUPPRESS)
    subs.required = True
    cmd: Dict[str, _Parser] = {}

    def add(name: str, usage: str, summary: str) -> _Parser:
        p: _Parser = subs.add_parser(name, usage=f"{PROG} {name} {usage}", description=summary,
                                     epilog=EPILOGS[name])
        cmd[name] = p
        return p

    p = add("record", "CASSETTE [--keep-secrets] [--force] [--redact RULE ...] [--] CMD [ARGS...]",
            "Run CMD with the recording tap in front of the core library, writing a cassette; exit with CMD's "
            "status.")
    p.add_argument("cassette", metavar="CASSETTE", help="the file to write (replaced if it exists)")
    p.add_argument("--keep-secrets", action="store_true", help="write tokens and passwords as they are")
    p.add_argument("--force", action="store_true", help="record over an existing CASSETTE")
    p.add_argument("--redact", metavar="RULE", action="append", default=[],
                   help="a redaction rule (below), applied before a record is written")
    p = add("replay", "CASSETTE [--match RULE ...] [--report FILE] [--] CMD [ARGS...]",
            "Run CMD on the stand-in core answering from CASSETTE; report where its calls diverge.")
    p.add_argument("cassette", metavar="CASSETTE", help="the recording to answer from")
    p.add_argument("--match", metavar="RULE", action="append", default=[],
                   help="a match rule (below) relaxing how calls are compared")
    p.add_argument("--report", metavar="FILE",
                   help="also write every argument of each divergence in full to FILE, secret arguments withheld")
    p = add("show", "CASSETTE [--full] [--function NAME ...] [--thread T ...]",
            "Print CASSETTE as a transcript, payloads cut to 40 characters unless --full.")
    p.add_argument("cassette", metavar="CASSETTE")
    p.add_argument("--full", action="store_true", help="print payloads whole")
    p.add_argument("--function", metavar="NAME", action="append", type=_function,
                   help="only the calls of this core function and what happened during them (repeatable)")
    p.add_argument("--thread", metavar="T", action="append", type=_thread,
                   help="only the calls and events of this thread, 1 or T1 (repeatable)")
    p = add("stats", "CASSETTE", "Print durations per function and events per message type.")
    p.add_argument("cassette", metavar="CASSETTE")
    p = add("export", "CASSETTE [--format jsonl]", "Print CASSETTE as JSON Lines, one object per record.")
    p.add_argument("cassette", metavar="CASSETTE")
    p.add_argument("--format", choices=["jsonl"], default="jsonl", help="the output format (jsonl, the default)")
    p = add("import", "FILE CASSETTE", "Write the records of FILE (JSON Lines, as export prints them) as CASSETTE.")
    p.add_argument("file", metavar="FILE", help='the JSON Lines ("-": standard input)')
    p.add_argument("cassette", metavar="CASSETTE", help="the cassette to write (replaced if it exists)")
    return top, cmd


def _command_start(p: argparse.ArgumentParser, args: Sequence[str]) -> Optional[int]:
    """Where ``[--] CMD...`` begins in ``CASSETTE [options] [--] CMD...`` (None: nowhere)."""
    valued = {s for a in p._actions if a.option_strings and a.nargs != 0 for s in a.option_strings}
    positionals = 0
    i = 0
    while i < len(args):
        a = args[i]
        if a == "--":
            return i
        if a in valued:
            i += 1
        elif not a.startswith("-") or a == "-":
            positionals += 1
            if positionals == 2:
                return i
        i += 1
    return None


def parse(argv: Sequence[str]) -> argparse.Namespace:
    """The parsed command line; ``command_args`` holds CMD of record and replay."""
    top, cmd = parser()
    args, command = list(argv), []
    if args and args[0] in ("record", "replay"):
        start = _command_start(cmd[args[0]], args[1:])
        if start is not None:
            command = args[1 + start:]
            args = args[:1 + start]
            if command[:1] == ["--"]:
                command = command[1:]
    if not args or args[0] not in cmd:
        top.parse_args(args)  # the top-level help, or the error naming the commands
    ns = cmd[args[0]].parse_args(args[1:])  # errors with the usage of the command given
    ns.command, ns.command_args = args[0], command
    if ns.command in ("record", "replay") and not command:
        cmd[ns.command].error("no command given")
    return ns
