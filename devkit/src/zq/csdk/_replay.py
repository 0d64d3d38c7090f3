"""Replaying a cassette: a command, or a test, run on the stand-in core
answering from a recording.

The stand-in matches each core call against the next recorded one and
answers with the recorded status and reply, delivering the events recorded
during it at the same point (see the development kit's README, "Replaying a
cassette").  A call the recording does not have, one out of order, and
recorded calls never made are divergences, reported expected against
received.

Match rules relax the comparison per core function, as HTTP recorders'
``match_on`` does.  ``match`` maps a core function's name, or ``"*"`` for
every function, to one rule or a list of them:

``"function"``
    the function alone: arguments are not compared;
``{"ignore": [N, ...]}``
    the arguments at these positions (from 0) are not compared;
``{"mask": [PATTERN, ...]}``
    in every text and request argument, what a pattern matches is cut out on
    both sides before comparing, e.g. ``r'"created_at": *"[^"]*"'``.
``{"optional": True}``
    the function's calls need not be made: a recorded call of it that the
    run never makes is not a divergence, nor is one made beyond the recording
    (it gets the stand-in's answer), as a live run's ``zqi_stop``, which its
    signal thread repeats until the core returns.

The positions and the patterns are lists, even of one.  Patterns are run by
the stand-in's own engine, in time linear in the text whatever the pattern,
and are checked by that engine before anything runs: literals and escapes,
``.``, classes, ``^ $``, groups ``(...)`` and ``(?:...)``, ``|``, and
``* + ? {m,n}`` (devkit/README.md, "Match rules", gives the whole syntax).
"""
from __future__ import annotations

import ctypes
import difflib
import functools
import json
import os
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

from ._cassette_file import CassetteError, Reader
from ._launch import LaunchError, run, standin_library
from .check_core import CORE_FUNCTIONS

__all__ = ["CassetteError", "MatchRules", "DIVERGED", "run_replay", "check_cassette", "rules_text",
           "rules_from_options"]

DIVERGED = 3
"""The status of a replayed command that succeeded but diverged from its recording."""

Rule = Union[str, Mapping[str, Union[Sequence[Any], bool]]]
MatchRules = Mapping[str, Union[Rule, Sequence[Rule]]]


def check_cassette(path: Union[str, "os.PathLike[str]"]) -> Optional[str]:
    """Reads `path` through once, checking each record's frame and checksum.

    Raises :class:`CassetteError` for a file that cannot be replayed at all
    (unreadable, not a cassette, a newer format, no header); returns a
    one-line note for one that replays only in part (damaged, or cut short),
    else None.  The records are not decoded: the check costs about a
    microsecond and a half a record, a tenth of reading them.
    """
    with Reader(os.fspath(path)) as reader:  # the magic and the version
        for _ in reader.frames():
            pass
    damage = reader.damage or (f"readable up to byte {reader.offset} (record #{reader.records + 1}): "
                               "the header record is missing")
    if reader.records == 0:
        raise CassetteError(f"{path}: {damage}")
    if reader.damage:
        return f"{path}: {damage}; replaying that part"
    if not reader.ended:
        return f"{path}: the recording was cut short (it has no end record); replaying what it holds"
    return None


def rules_from_options(options: Sequence[str]) -> Dict[str, List[Rule]]:
    """The rules of the command line's ``--match`` options: ``FN=function``,
    ``FN=ignore:N[,N...]``, ``FN=mask:PATTERN``, ``FN=optional``, or a JSON
    object of the form `match` takes."""
    rules: Dict[str, List[Rule]] = {}
    for text in options:
        if text.lstrip().startswith("{"):
            try:
                given = json.loads(text)
            except ValueError as e:
                raise ValueError(f"--match {text!r} is not JSON: {e}") from None
            if not isinstance(given, dict):
                raise ValueError(f"--match {text!r} is not a JSON object")
            for fn, rule in given.items():
                rules.setdefault(fn, []).extend(rule if isinstance(rule, list) else [rule])
            continue
        fn, eq, rule = text.partition("=")
        kind, colon, value = rule.partition(":")
        parsed: Optional[Rule] = None
        if kind == "function" and not colon:
            parsed = "function"
        elif kind == "optional" and not colon:
            parsed = {"optional": True}
        elif kind == "ignore" and value and all(v.strip().isdigit() for v in value.split(",")):
            parsed = {"ignore": [int(v) for v in value.split(",")]}
        elif kind == "mask" and value:
            parsed = {"mask": [value]}
        if not (fn and eq) or parsed is None:
            raise ValueError(f"--match {text!r}: write FN=function, FN=ignore:N, FN=mask:PATTERN, FN=optional "
                             "or a JSON object (FN: a core function's name, or * for every function)")
        rules.setdefault(fn, []).append(parsed)
    return rules


def rules_text(match: Optional[MatchRules]) -> str:
    """`match` checked and put the way the stand-in reads it: one rule per line."""
    if match is None:
        return ""
    if not isinstance(match, Mapping):
        raise TypeError(f"match must be a mapping of function names to rules, not {type(match).__name__}")
    lines: List[str] = []
    for fn, rules in match.items():
        if fn != "*" and fn not in CORE_FUNCTIONS:
            close = difflib.get_close_matches(str(fn).removeprefix("py_"), CORE_FUNCTIONS, n=3)
            hint = f"; did you mean {' or '.join(map(repr, close))}?" if close else ""
            raise ValueError(f"match: no core function named {fn!r}{hint}")
        if not isinstance(rules, (str, Mapping, list, tuple)):
            raise ValueError(f"match[{fn!r}]: a rule or a list of rules, not {rules!r}")
        for rule in [rules] if isinstance(rules, (str, Mapping)) else rules:
            lines += _rule_lines(fn, rule)
    text = "".join(lines)
    why = _engine_check(text)  # what the Python side let through, the engine has the last word on
    if why:
        raise ValueError(f"match: {why}")
    return text


def _listed(fn: str, rule: Mapping[str, Any], key: str, what: str) -> Sequence[Any]:
    values = rule.get(key, ())
    if not isinstance(values, (list, tuple)):
        raise ValueError(f"match[{fn!r}]: {key!r} takes a list of {what}, not {values!r}")
    return values


def _rule_lines(fn: str, rule: object) -> List[str]:
    if rule == "function":
        return [f"{fn}\tfunction\n"]
    if not isinstance(rule, Mapping) or not rule or set(rule) - {"ignore", "mask", "optional"}:
        raise ValueError(f"match[{fn!r}]: a rule is 'function', {{'ignore': [positions]}}, "
                         f"{{'mask': [patterns]}} or {{'optional': True}}, not {rule!r}")
    lines = []
    if "optional" in rule:
        if not isinstance(rule["optional"], bool):
            raise TypeError(f"match[{fn!r}]: optional is True or False, not {type(rule['optional']).__name__}")
        if rule["optional"]:
            lines.append(f"{fn}\toptional\n")
    for position in _listed(fn, rule, "ignore", "argument positions"):
        if isinstance(position, bool) or not isinstance(position, int) or not 0 <= position < 12:
            raise ValueError(f"match[{fn!r}]: argument position {position!r} is not an int from 0 to 11")
        lines.append(f"{fn}\tignore\t{position}\n")
    for pattern in _listed(fn, rule, "mask", "patterns"):
        if not isinstance(pattern, str):
            raise TypeError(f"match[{fn!r}]: a mask is a str pattern, not {type(pattern).__name__}")
        for char, escape in (("\n", "\\n"), ("\t", "\\t"), ("\0", "\\x00")):
            if char in pattern:
                raise ValueError(f"match[{fn!r}]: bad mask {pattern!r}: write {char!r} in a mask as {escape}")
        line = f"{fn}\tmask\t{pattern}\n"
        why = _engine_check(line)
        if why:
            why = why.removeprefix(f"match rule for {fn}: bad mask {pattern}: ")
            raise ValueError(f"match[{fn!r}]: bad mask {pattern!r}: {why}")
        lines.append(line)
    return lines


@functools.lru_cache(maxsize=None)
def _engine() -> Any:
    """The stand-in's rule checker: the engine that runs the rules is the one that checks them."""
    lib = ctypes.CDLL(standin_library())
    check = lib.zqstub_replay_check
    check.restype, check.argtypes = ctypes.c_char_p, [ctypes.c_char_p]
    return check


def _engine_check(rules: str) -> str:
    """Empty if the stand-in takes `rules`, else why not, in one line."""
    try:
        check = _engine()
    except (LaunchError, OSError, AttributeError) as e:
        raise ValueError(f"match: the stand-in core cannot check the rules: {e}") from None
    return bytes(check(rules.encode("utf-8", "surrogateescape"))).decode("utf-8", "replace")


def run_replay(cassette: str, argv: List[str], match: Union[MatchRules, Sequence[str], None] = None,
               report: Optional[str] = None) -> int:
    """Run `argv` on the stand-in core replaying `cassette`; its exit status.

    `match` holds the match rules: a mapping as described above, or the
    command line's ``--match`` options (:func:`rules_from_options`).

    The stand-in is the core even where a vendor build is installed.  The
    command's own status is returned, unless it succeeded and the run
    diverged from the recording: then :data:`DIVERGED` (3), after the report
    (expected against received) on stderr.  With `report`, that file receives
    the full report: every argument of each divergence in full, secret
    arguments withheld (empty: no divergence).  A file that cannot be replayed
    raises :class:`CassetteError`, and bad rules ``LaunchError``, before the
    command starts (as a command that cannot start does); a damaged file is
    replayed as far as it reads, after one line on stderr saying so.
    """
    try:
        given = match if match is None or isinstance(match, Mapping) else rules_from_options(match)
        rules = rules_text(given)
    except (TypeError, ValueError) as e:
        raise LaunchError(str(e)) from None
    note = check_cassette(cassette)
    from ._redaction import header_rules  # it builds on this module

    rules += header_rules(cassette)
    if note:
        print(f"replay: {note}", file=sys.stderr)
    with tempfile.TemporaryDirectory(prefix="zq-replay-") as tmp:
        report_path = Path(tmp) / "report"
        extra = {"ZQ_CASSETTE_REPLAY": os.path.abspath(cassette), "ZQ_CASSETTE_REPORT": str(report_path),
                 "ZQ_CASSETTE_MATCH": rules}
        if report is not None:
            extra["ZQ_CASSETTE_FULL_REPORT"] = os.path.abspath(report)
        status = run(standin_library(), argv, extra)
        try:
            text = report_path.read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            text = (f"replay of {cassette}: the command made no call to the core library, "
                    "or did not end normally: nothing was checked\n")
            if report is not None:
                Path(report).write_text(text, encoding="utf-8")
    if text:
        print(text, file=sys.stderr, end="")
        if status == 0:
            return DIVERGED
    return status
