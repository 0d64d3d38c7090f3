"""Redaction rules: what the recording tap scrubs from a call's arguments
before its record is written.

``redact`` maps a core function's name, or ``"*"`` for every function, to a
rule or a list of rules, in the shape of the match rules:

``{"mask": [PATTERN, ...]}``
    in every text and request argument, what a pattern matches is replaced
    by ``<redacted>``, e.g. ``r'"account_id": *"[^"]*"'``;
``{"ignore": [N, ...]}``
    the arguments at these positions (from 0) are written as secret values.

The tap writes the rules into the cassette's header (its ``redact`` field);
replay scrubs the arguments it receives by the same rules before comparing
them, so a redacted field matches whatever value the run passes.  Patterns
are those of the match rules, checked by the same engine before anything
runs.
"""
from __future__ import annotations

import json
import os
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

from ._cassette_file import CassetteError, Header, Reader
from ._replay import MatchRules, Rule, rules_from_options, rules_text

__all__ = ["REDACTED", "redaction_text", "redaction_from_options", "header_rules"]

REDACTED = "<redacted>"
"""What a mask's match is replaced with."""


def redaction_from_options(options: Sequence[str]) -> Dict[str, List[Rule]]:
    """The rules of the command line's ``--redact`` options: ``FN=mask:PATTERN``,
    ``FN=ignore:N[,N...]``, or a JSON object of the form `redact` takes."""
    usage = "write FN=mask:PATTERN, FN=ignore:N or a JSON object (FN: a core function's name, or * for every function)"
    for text in options:
        if not text.lstrip().startswith("{") and text.partition("=")[2].partition(":")[0] not in ("mask", "ignore"):
            raise ValueError(f"--redact {text!r}: {usage}")
    try:
        rules = rules_from_options(options)
    except ValueError as e:
        raise ValueError(str(e).replace("--match", "--redact").split(": write ")[0] +
                         (f": {usage}" if ": write " in str(e) else "")) from None
    for fn, listed in rules.items():
        for rule in listed:
            _check_kind(fn, rule)
    return rules


def _check_kind(fn: str, rule: object) -> None:
    if not isinstance(rule, Mapping) or not rule or set(rule) - {"mask", "ignore"}:
        raise ValueError(f"redact[{fn!r}]: a rule is {{'mask': [patterns]}} or {{'ignore': [positions]}}, "
                         f"not {rule!r}")


def redaction_text(redact: Optional[MatchRules]) -> str:
    """`redact` checked and put the way the tap reads it: one rule per line
    (``FN<TAB>mask<TAB>PATTERN``, ``FN<TAB>ignore<TAB>N``); "" for none."""
    if redact is None:
        return ""
    if not isinstance(redact, Mapping):
        raise TypeError(f"redact must be a mapping of function names to rules, not {type(redact).__name__}")
    for fn, rules in redact.items():
        for rule in [rules] if isinstance(rules, (str, Mapping)) else rules if isinstance(rules, (list, tuple)) else []:
            _check_kind(fn, rule)
    try:  # the match rules' checks and engine: the same names, positions and patterns
        return rules_text(redact)
    except ValueError as e:
        raise ValueError("redact" + str(e).removeprefix("match")) from None


def header_rules(cassette: Union[str, "os.PathLike[str]"]) -> str:
    """The redaction rules in `cassette`'s header, as replay's rules: one per
    line, ``FN<TAB>redact<TAB>PATTERN`` and ``FN<TAB>redact_arg<TAB>N``.

    "" when it has none, or its header cannot be read (the replay itself
    then says why); :class:`CassetteError` when its ``redact`` field is not
    rules of the shape above.
    """
    try:
        with Reader(os.fspath(cassette)) as reader:
            first = next(iter(reader), None)
    except (CassetteError, OSError):
        return ""
    if not isinstance(first, Header) or "redact" not in first.info:
        return ""
    given: Any = first.info["redact"]
    if not isinstance(given, dict):
        raise CassetteError(f"{os.fspath(cassette)}: the header's redaction rules are not valid: "
                            f"not a JSON object: {json.dumps(given)[:60]}")
    try:
        text = redaction_text(given)
    except (TypeError, ValueError) as e:
        raise CassetteError(f"{os.fspath(cassette)}: the header's redaction rules are not valid: {e}") from None
    lines = []
    for line in text.splitlines():
        fn, kind, value = line.split("\t", 2)
        lines.append(f"{fn}\t{'redact' if kind == 'mask' else 'redact_arg'}\t{value}\n")
    return "".join(lines)

