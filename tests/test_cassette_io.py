"""Cassettes read and written from Python (read, write), as JSON Lines (export, import), show's filters, stats'
rates, and the command line's help and parsing."""
import json
import subprocess
import sys

import pytest

from test_cassette import VALUES, launch
from zq.csdk import _cassette_cli, cassette
from zq.csdk.cassette import (FNPTR, I64, SECRET, VOID, Buf, CallRecord, CassetteError, EndRecord, EventRecord, Header,
                              Out, ReturnRecord)

HEADER = Header({"format": 1, "created": "2026-01-01T00:00:00Z", "core": "/opt/ü/libzq3-c.so", "pid": 7,
                 "secrets": "filtered", "tap": "test"})
NOT_UTF8 = b"\xff\xfe\x00binary\x80"


def call(seq, fn, *args, thread=1):
    return CallRecord(seq, thread, seq * 1000, fn, list(args))


# Records of every shape the format holds: (id, records after the header).
SHAPES = [
    ("every value tag", [call(1, "zqi_set_backtest_config", b"text", None, -(1 << 31), (1 << 31) - 1, I64(-(1 << 63)),
                              0.1, -0.0, float("inf"), float("-inf"), float("nan"), True, False),
                         ReturnRecord(1, 5, VOID, None),
                         call(2, "zqi_set_token", SECRET), ReturnRecord(2, 1, SECRET, None),
                         call(3, "zqi_set_event_callback_pb", FNPTR), ReturnRecord(3, 1, I64(5), None)]),
    ("requests and replies", [call(1, "zqi_place_order_pb", Buf(7, b'{"a":1}')),
                              ReturnRecord(1, 9, 0, Out(7, b'{"a":1}')),
                              call(2, "zqi_place_order_pb", Buf(len(NOT_UTF8), NOT_UTF8)),
                              ReturnRecord(2, 9, -3, Out(len(NOT_UTF8), NOT_UTF8)),
                              call(3, "zqi_place_order_pb", Buf(4, None)), ReturnRecord(3, 9, 0, Out(5, None)),
                              call(4, "zqi_place_order_pb", Buf(5, b"short")), ReturnRecord(4, 9, 0, Out(-4, None))]),
    ("texts handed back", [call(1, "zqi_get_serv_addr", b"md"), ReturnRecord(1, 3, 0, Out(-1, b"10.0.0.1:1")),
                           call(2, "zqi_get_serv_addr", NOT_UTF8.replace(b"\0", b"")),
                           ReturnRecord(2, 3, 0, Out(-1, None))]),
    ("events", [call(1, "zqi_run"), EventRecord(1, 1, 1500, b"tick", 3, b"abc"),
                EventRecord(1, 1, 1600, "成交".encode(), len(NOT_UTF8), NOT_UTF8),
                EventRecord(1, 1, 1700, None, 0, None), EventRecord(1, 1, 1800, b"short", 3, b"abc"),
                call(2, "zqi_log_pb", Buf(2, b"hi")), ReturnRecord(2, 1, 0, None),
                EventRecord(0, 2, 1900, b"\n\t\"", 0, b""), ReturnRecord(1, 99, 0, None)]),
    ("cut short: no end given", [call(1, "zqi_init")]),
    ("an end of its own", [call(1, "zqi_init"), ReturnRecord(1, 1, 0, None), EndRecord(1, 0, 12)]),
]


@pytest.mark.parametrize("records", [s[1] for s in SHAPES], ids=[s[0] for s in SHAPES])
def test_written_records_read_back_and_survive_export_and_import(tmp_path, records):
    written = [HEADER, *records]
    if not isinstance(records[-1], EndRecord):
        calls = sum(isinstance(r, CallRecord) for r in records)
        written.append(EndRecord(calls, sum(isinstance(r, EventRecord) for r in records), 0))
    cassette.write(tmp_path / "a.zqc", [HEADER, *records])
    with cassette.read(tmp_path / "a.zqc") as got:
        assert repr(list(got)) == repr(written) and got.ended  # repr: I64 apart from int, nan alike
    out = launch("export", tmp_path / "a.zqc")
    assert out.returncode == 0 and out.stderr == ""
    lines = [json.loads(line) for line in out.stdout.splitlines()]
    assert [line["record"] for line in lines] == [type(r).__name__.removesuffix("Record").lower() for r in written]
    (tmp_path / "a.jsonl").write_text(out.stdout, encoding="utf-8")
    imported = launch("import", tmp_path / "a.jsonl", tmp_path / "b.zqc")
    assert (imported.returncode, imported.stdout, imported.stderr) == (0, "", "")
    assert (tmp_path / "b.zqc").read_bytes() == (tmp_path / "a.zqc").read_bytes()


def test_a_recording_through_the_tap_survives_export_and_import(tmp_path):
    (tmp_path / "values.py").write_text(VALUES)
    assert launch("record", tmp_path / "rec.zqc", "--", sys.executable, tmp_path / "values.py").returncode == 0
    export = subprocess.run([sys.executable, "-m", "zq.csdk.cassette", "export", tmp_path / "rec.zqc"],
                            capture_output=True, check=True)
    back = subprocess.run([sys.executable, "-m", "zq.csdk.cassette", "import", "-", tmp_path / "back.zqc"],
                          input=export.stdout, capture_output=True)
    assert back.returncode == 0, back.stderr
    with cassette.read(tmp_path / "back.zqc") as back_records, cassette.read(tmp_path / "rec.zqc") as recorded:
        assert repr(list(back_records)) == repr(list(recorded))
    assert b'{"b64": ' not in export.stdout and b'{"secret": true}' not in export.stdout  # all text, no secret
    assert b'{"callback": true}' in export.stdout and b'{"i64": ' in export.stdout


# (a JSON line, the reason given): import refuses the file, naming the line, and leaves the cassette alone.
BAD_LINES = [
    ("not json", "edited.jsonl:2: not JSON"),
    ('{"record": "call", "seq": 1}', "call: missing 'thread', 't_ns', 'fn', 'args'"),
    ('{"record": "return", "seq": 1, "duration_ns": 1, "result": 0, "out": null, "extra": 1}', "unknown field 'extra'"),
    ('{"record": "call", "seq": -1, "thread": 1, "t_ns": 0, "fn": "f", "args": []}', "call: seq is -1, outside 0.."),
    ('{"record": "call", "seq": 1, "thread": 1, "t_ns": 0, "fn": "f", "args": [4294967296]}', "I64 for 64 bits"),
    ('{"record": "call", "seq": 1, "thread": 1, "t_ns": 0, "fn": "f", "args": [{"b64": "%%%"}]}', "is not base64"),
    ('{"record": "call", "seq": 1, "thread": 1, "t_ns": 0, "fn": "f", "args": [{"secret": false}]}', "not a value"),
    ('{"record": "call", "seq": 1, "thread": 1, "t_ns": 0, "fn": "f", "args": ["a\\u0000b"]}', "cannot hold a NUL"),
    ('{"record": "call", "seq": 1, "thread": 1, "t_ns": 0, "fn": "f", "args": [{"req": null}]}', "needs its length"),
    ('{"record": "event", "during": 0, "thread": 1, "t_ns": 0, "msg_type": 5, "data": ""}', "event.msg_type: a payload"),
    ('{"record": "header", "info": {}}', "edited.jsonl:2: a second header"),
    ('{"record": "end", "calls": 0, "events": 0, "dropped": 0}\n{"record": "tape"}', "edited.jsonl:3: not a record"),
]


@pytest.mark.parametrize("line, reason", BAD_LINES)
def test_import_refuses_a_line_that_is_not_a_record_and_writes_nothing(tmp_path, line, reason):
    source = tmp_path / "edited.jsonl"
    source.write_text(json.dumps({"record": "header", "info": {"format": 1}}) + "\n" + line + "\n")
    target = tmp_path / "kept.zqc"
    target.write_bytes(b"before")
    run = launch("import", source, target)
    assert run.returncode == 1 and run.stderr.count("\n") == 1 and reason in run.stderr, run.stderr
    assert run.stderr.startswith(f"cassette: {source}") and target.read_bytes() == b"before"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["edited.jsonl", "kept.zqc"]  # no file left behind


@pytest.mark.parametrize("records, exc, message", [
    ([HEADER, EndRecord(0, 0, 0), call(1, "zqi_init")], ValueError, "a record after the END record"),
    ([call(1, "zqi_init", 1 << 40)], ValueError, "argument 0 (an int; I64 for 64 bits) is 1099511627776"),
    ([call(1, "zqi_init", thread=-1)], ValueError, "thread is -1"),
    ([call(1, "zqi_init", "text")], TypeError, "argument 0 cannot be recorded: str"),
    ([HEADER, "call"], TypeError, "not a cassette record: str"),
])
def test_write_refuses_what_the_format_cannot_hold(tmp_path, records, exc, message):
    with pytest.raises(exc, match=message.replace("(", r"\(").replace(")", r"\)")):
        cassette.write(tmp_path / "x.zqc", records)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kept, mode", [("filtered", 0o644), ("kept", 0o600)])
def test_a_written_cassette_holding_secrets_is_its_owners_alone(tmp_path, kept, mode):
    cassette.write(tmp_path / "x.zqc", [Header({"format": 1, "secrets": kept})])
    assert (tmp_path / "x.zqc").stat().st_mode & 0o777 == mode  # the suite runs under umask 022


def test_read_yields_what_is_readable_then_says_where_it_stops(tmp_path):
    cassette.write(tmp_path / "a.zqc", [HEADER, call(1, "zqi_init"), ReturnRecord(1, 1, 0, None)])
    data = (tmp_path / "a.zqc").read_bytes()
    (tmp_path / "a.zqc").write_bytes(data[:-5])
    got = []
    with pytest.raises(CassetteError, match=r"a.zqc: readable up to byte \d+ \(record #4\): the file ends within"):
        got.extend(cassette.read(tmp_path / "a.zqc"))
    assert len(got) == 3
    (tmp_path / "b.zqc").write_text("{}")
    with pytest.raises(CassetteError, match="b.zqc: not a cassette"):
        cassette.read(tmp_path / "b.zqc")  # at once, before any record is asked for


SHOWN = [HEADER, call(1, "zqi_run"), EventRecord(1, 1, 1500, b"tick", 60, b"x" * 60),
         call(2, "zqi_place_order_pb", Buf(50, b"o" * 50)), ReturnRecord(2, 9, 0, None),
         call(3, "zqi_log_pb", Buf(1, b"l"), thread=2), ReturnRecord(3, 9, 0, None), ReturnRecord(1, 9, 0, None)]


@pytest.mark.parametrize("options, shown, hidden", [
    ([], ["#1 T1", "event 'tick'", "'xxxxx", "...", "#2 T1", "#3 T2", "end: 3 calls"], ["x" * 41]),
    (["--full"], ["x" * 60 + "'", "o" * 50], []),
    (["--function", "zqi_place_order_pb"], ["zqi_place_order_pb(req[50]", "-> 0"], ["zqi_run", "tick", "zqi_log"]),
    (["--function", "zqi_run"], ["#1 T1", "zqi_run()", "event 'tick'", "-> 0  [zqi_run #1"], ["zqi_place", "zqi_log"]),
    (["--thread", "T2"], ["zqi_log_pb(req[1] 'l') -> 0", "end: "], ["zqi_run", "tick", "zqi_place"]),
    (["--thread", "1", "--thread", "2"], ["zqi_run", "tick", "zqi_place", "zqi_log"], []),
])
def test_show_filters_and_whole_payloads(tmp_path, options, shown, hidden):
    cassette.write(tmp_path / "s.zqc", SHOWN)
    out = launch("show", tmp_path / "s.zqc", *options)
    assert out.returncode == 0 and out.stdout.splitlines()[0].startswith("cassette format 1"), out.stderr
    assert all(s in out.stdout for s in shown) and not any(h in out.stdout for h in hidden), out.stdout


@pytest.mark.parametrize("times, rate", [([5], "-"), ([5, 5], "-"), ([0, 500_000_000], "2.0/s"),
                                         ([0, 250_000_000, 500_000_000], "4.0/s")])
def test_stats_gives_a_rate_only_over_more_than_one_event(tmp_path, times, rate):
    events = [EventRecord(0, 1, t, b"tick", 0, b"") for t in times]
    cassette.write(tmp_path / "e.zqc", [HEADER, call(1, "zqi_init"), *events, ReturnRecord(1, 1, 0, None)])
    row = next(line for line in launch("stats", tmp_path / "e.zqc").stdout.splitlines() if line.startswith("tick"))
    assert row.split() == ["tick", str(len(times)), rate]


@pytest.mark.parametrize("command", ["record", "replay", "show", "stats", "export", "import"])
def test_every_command_has_help_with_the_rules_and_the_exit_statuses(command):
    out = launch(command, "--help")
    assert (out.returncode, out.stderr) == (0, "") and out.stdout.startswith(f"usage: python -m zq.csdk.cassette {command}")
    assert all(s in out.stdout for s in ["exit status:", "FN=mask:PATTERN", "FN=ignore:N", "--redact", "--match",
                                         "with <redacted> before the record is written"])


def test_the_top_level_help_lists_every_command_in_plain_text():
    out = launch("--help")
    listed = [line.split()[0] for line in out.stdout.split("commands:\n")[1].split("\n\n")[0].splitlines()
              if line.startswith("  ") and not line.startswith("    ")]
    assert out.returncode == 0 and listed == ["record", "replay", "show", "stats", "export", "import"]
    assert not any(markup in out.stdout for markup in ["``", ":func:", ":class:", ".. "])
    run = subprocess.run([sys.executable, "-m", "zq.csdk.standin", "exec", "--help"], capture_output=True, text=True)
    assert run.returncode == 0 and "exit status:" in run.stdout and "127" in run.stdout


@pytest.mark.parametrize("argv, cassette_, options, command", [
    (["record", "c.zqc", "--", "cmd", "--keep-secrets"], "c.zqc", {"keep_secrets": False}, ["cmd", "--keep-secrets"]),
    (["record", "c.zqc", "--keep-secrets", "cmd", "-x"], "c.zqc", {"keep_secrets": True}, ["cmd", "-x"]),
    (["record", "--keep-secrets", "c.zqc", "--", "--odd"], "c.zqc", {"keep_secrets": True}, ["--odd"]),
    (["replay", "c.zqc", "--match", "x=function", "cmd", "--match", "y"], "c.zqc", {"match": ["x=function"]},
     ["cmd", "--match", "y"]),
    (["replay", "c.zqc", "--match", "a=function", "--match", "b=function", "--", "--", "c"], "c.zqc",
     {"match": ["a=function", "b=function"]}, ["--", "c"]),
])
def test_the_command_begins_after_the_cassette_and_its_options(argv, cassette_, options, command):
    ns = _cassette_cli.parse(argv)
    assert (ns.cassette, ns.command_args) == (cassette_, command)
    assert {k: getattr(ns, k) for k in options} == options


@pytest.mark.parametrize("args, status, line", [
    (["record", "x.zqc", "--redact", "zqi_log_pb=bogus", "--", "true"], 2, "--redact 'zqi_log_pb=bogus': write"),
    (["record", "x.zqc", "--redact", "zqi_log_pb=optional", "--", "true"], 2, "--redact 'zqi_log_pb=optional': write"),
    (["record", "x.zqc", "--redact", '{"zqi_log_pb": "function"}', "--", "true"], 2, "redact['zqi_log_pb']: a rule is"),
    (["record", "x.zqc", "--redact", "zqi_log_pb=mask:(", "--", "true"], 2, "redact['zqi_log_pb']: bad mask '('"),
    (["record", "x.zqc", "--redact", '{"zqi_log": {"ignore": [0]}}', "--", "true"], 2,
     "redact: no core function named 'zqi_log'"),
    (["replay", "x.zqc", "--", "true"], 1, "cannot read"),
    (["show", "x.zqc", "--function", "zqi_place_order"], 2, "did you mean zqi_place_order_pb"),
    (["export", "x.zqc", "--format", "csv"], 2, "invalid choice: 'csv'"),
    (["import", "missing.jsonl", "x.zqc"], 1, "missing.jsonl: No such file or directory"),
    (["import", "-", "x.zqc"], 1, "cassette: <stdin>: holds no records"),
    (["import", "-", "no/x.zqc"], 1, "cassette: no/x.zqc: No such file or directory"),
])
def test_a_command_line_that_cannot_run_is_one_line_with_its_status(tmp_path, args, status, line):
    run = subprocess.run([sys.executable, "-m", "zq.csdk.cassette", *args], capture_output=True, text=True, input="",
                         cwd=tmp_path, timeout=60)
    assert run.returncode == status and line in run.stderr.splitlines()[0], run.stderr
    assert not (tmp_path / "x.zqc").exists()
