"""Redaction rules: what the tap scrubs before a record is written, and replay scrubbing what it receives by
the rules in the cassette's header."""
import subprocess
import sys
import textwrap

import pytest

from zq.csdk import c_sdk, cassette
from zq.csdk._cassette_file import SECRET, Buf, CallRecord, Header, Out, ReturnRecord
from zq.csdk._replay import CassetteError

ACCOUNT = r'"account_id": *"[^"]*"'
ORDER = b'{"account_id": "ACCT-%s", "side": "buy"}'
SCRUBBED = b'{<redacted>, "side": "buy"}'


def tape(path, redact, fn, *args):
    info = {"format": 1, "core": "test", "pid": 1, "secrets": "filtered"}
    if redact is not None:
        info["redact"] = redact
    typed = [Buf(len(a), a) if isinstance(a, bytes) else a.encode() if isinstance(a, str) else a for a in args]
    cassette.write(path, [Header(info), CallRecord(1, 1, 0, fn, typed),
                          ReturnRecord(1, 1, 0, Out(2, b"ok") if fn == "zqi_place_order_pb" else None)])
    return path


# (the header's redaction rules, the recorded call, what the test passes, matches)
REPLAYED = [
    ({"zqi_place_order_pb": {"mask": [ACCOUNT]}}, ("zqi_place_order_pb", SCRUBBED),
     lambda: c_sdk.py_zqi_place_order(ORDER % b"7"), True),
    ({"zqi_place_order_pb": {"mask": [ACCOUNT]}}, ("zqi_place_order_pb", SCRUBBED),
     lambda: c_sdk.py_zqi_place_order((ORDER % b"7").replace(b"buy", b"sell")), False),
    (None, ("zqi_place_order_pb", SCRUBBED), lambda: c_sdk.py_zqi_place_order(ORDER % b"7"), False),
    ({"*": {"mask": [r"ACCT-\d+"]}}, ("zqi_subscribe", "<redacted>", "60s", False),
     lambda: c_sdk.py_zqi_subscribe("ACCT-7", "60s", False), True),
    ({"zqi_subscribe": [{"ignore": [2]}, {"mask": ["ACCT-"]}]}, ("zqi_subscribe", "<redacted>7", "60s", SECRET),
     lambda: c_sdk.py_zqi_subscribe("ACCT-7", "60s", True), True),
    ({"zqi_subscribe": {"ignore": [2]}}, ("zqi_subscribe", "A", "60s", SECRET),
     lambda: c_sdk.py_zqi_subscribe("A", "1m", True), False),
    ({"zqi_log_pb": {"mask": ["ACCT-8"]}}, ("zqi_subscribe", "<redacted>", "60s", False),  # another function's
     lambda: c_sdk.py_zqi_subscribe("ACCT-8", "60s", False), False),
]


@pytest.mark.parametrize("redact, recorded, received, matches", REPLAYED)
def test_replay_scrubs_what_it_receives_by_the_header_rules(core, tmp_path, redact, recorded, received, matches):
    core.replay_open(tape(tmp_path / "c.zqc", redact, *recorded))
    received()
    report = core.replay_close()
    assert (report == "") is matches, report
    if redact is not None:
        assert "ACCT-7" not in report  # what a rule scrubs stays out of the report too


@pytest.mark.parametrize("redact, message", [
    ([ACCOUNT], "not a JSON object"),
    ({"zqi_place_order_pb": ACCOUNT}, "redact['zqi_place_order_pb']: a rule is"),
    ({"zqi_place_order_pb": {"mask": ["("]}}, "bad mask '('"),
    ({"zqi_place_order": {"mask": ["a"]}}, "no core function named 'zqi_place_order'"),
    ({"zqi_place_order_pb": {"optional": True}}, "a rule is {'mask': [patterns]} or {'ignore': [positions]}"),
])
def test_a_cassette_with_bad_header_rules_is_refused_in_one_line(core, tmp_path, redact, message):
    path = tape(tmp_path / "c.zqc", redact, "zqi_stop")
    with pytest.raises(CassetteError) as e:
        core.replay_open(path)
    assert str(e.value).startswith(f"{path}: the header's redaction rules are not valid: ") and message in str(e.value)
    assert not core.replaying()


SCRIPT = """
    import sys
    from zq.csdk import c_sdk
    who = sys.argv[1]
    c_sdk.py_zqi_place_order(b'{"account_id": "ACCT-%s", "side": "buy"}' % who.encode())
    c_sdk.py_zqi_subscribe("ACCT-" + who, "60s", who == "1")
    c_sdk.py_zqi_set_serv_addr("host:" + who)
"""

# (--redact options, bytes the cassette must not hold, bytes it must, the replay's status with another account)
RECORDED = [
    ([f"zqi_place_order_pb=mask:{ACCOUNT}", "zqi_subscribe=mask:ACCT-[0-9]+", "zqi_subscribe=ignore:2"],
     [b"ACCT-1"], [SCRUBBED, b"<redacted>", b"host:1"], 3),  # serv_addr differs
    (['{"*": {"mask": ["ACCT-[0-9]+", "host:[0-9]"]}, "zqi_subscribe": {"ignore": [2]}}'],
     [b"ACCT-1", b"host:1"], [b"<redacted>"], 0),
    (["zqi_set_serv_addr=ignore:0", "zqi_subscribe=ignore:0,2", f"zqi_place_order_pb=mask:{ACCOUNT}"],
     [b"ACCT-1", b"host:1"], [SCRUBBED], 0),
    ([], [], [b"ACCT-1", b"host:1"], 3),
]


@pytest.mark.parametrize("options, absent, present, status", RECORDED)
def test_the_tap_scrubs_before_writing_and_the_cassette_replays(tmp_path, options, absent, present, status):
    (tmp_path / "s.py").write_text(textwrap.dedent(SCRIPT))
    path = tmp_path / "c.zqc"
    redact = [arg for option in options for arg in ("--redact", option)]
    run = [sys.executable, "-m", "zq.csdk.cassette"]
    made = subprocess.run([*run, "record", str(path), *redact, "--", sys.executable, "s.py", "1"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert made.returncode == 0 and made.stderr == "", made.stderr
    data = path.read_bytes()
    assert not [a for a in absent if a in data] and all(p in data for p in present)
    replay = subprocess.run([*run, "replay", str(path), "--", sys.executable, "s.py", "2"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert replay.returncode == status, replay.stderr
    assert not [a for a in absent if a.decode() in replay.stderr]

