"""Cassettes: the recording tap in front of the stand-in, the launcher, and the readers on good and bad files."""
import os
import struct
import subprocess
import sys
import textwrap
import time
import zlib
from pathlib import Path

import pytest

from test_example import STRATEGY, report
from zq.csdk import _launch, cassette, check_core
from zq.csdk._cassette_file import (MAGIC, SECRET, CallRecord, CassetteError, EndRecord, EventRecord, Header, Reader,
                                    ReturnRecord)

ROOT = Path(__file__).resolve().parent.parent
TOKEN = "demo-token"  # what examples/strategy.py gives py_zqi_set_token
TAP_LINE = "libzq3-c.so (cassette tap): "


def launch(*args, env=None, timeout=120):
    return subprocess.run([sys.executable, "-m", "zq.csdk.cassette", *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, cwd=ROOT, env=env)


def records(path):
    with Reader(path) as r:
        return list(r), r


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """The example strategy recorded through the tap, with the stand-in as the core: (cassette, run)."""
    path = tmp_path_factory.mktemp("cassette") / "example.zqc"
    run = launch("record", path, "--", sys.executable, STRATEGY)
    assert run.returncode == 0, run.stderr
    return path, run


def test_tap_exports_the_core_functions_and_its_own_calls_only():
    tap = cassette.tap_library()
    assert check_core.check(tap) == len(check_core.CORE_FUNCTIONS)
    with open(tap, "rb") as f:
        elf = check_core._header(f, tap)
        f.seek(0)
        data = f.read()
    sections = check_core._Sections(data, elf, tap)
    assert sections.dynamic()[0] == "libzq3-c.so"
    assert sections.exported_functions() == set(check_core.CORE_FUNCTIONS) | {"zqtap_core_path", "zqtap_version"}


def test_recorded_example_runs_as_without_the_tap_and_keeps_its_token_out(recorded):
    path, run = recorded
    plain = subprocess.run([sys.executable, STRATEGY], capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert report(run.stdout) == report(plain.stdout)
    assert TAP_LINE not in run.stderr
    assert TOKEN.encode() not in path.read_bytes()


def test_recorded_example_holds_every_call_in_nesting_order(recorded):
    recs, reader = records(recorded[0])
    assert reader.damage is None and reader.ended
    header, end = recs[0], recs[-1]
    assert isinstance(header, Header) and header.info["secrets"] == "filtered"
    assert Path(header.info["core"]).samefile(_launch.standin_library())  # StandIn() reached it behind the tap
    calls = [r for r in recs if isinstance(r, CallRecord)]
    events = [r for r in recs if isinstance(r, EventRecord)]
    assert [c.seq for c in calls] == list(range(1, len(calls) + 1))
    assert isinstance(end, EndRecord) and (end.calls, end.events, end.dropped) == (len(calls), len(events), 0)
    assert next(c for c in calls if c.fn == "zqi_set_token").args == [SECRET]
    run = next(c for c in calls if c.fn == "zqi_run")
    assert {e.during for e in events} == {run.seq} and len(events) == report(recorded[1].stdout)["delivered"]
    # Each order is placed by the handler during an event of zqi_run: between that event and zqi_run's return.
    pos = {id(r): i for i, r in enumerate(recs)}
    run_return = next(r for r in recs if isinstance(r, ReturnRecord) and r.seq == run.seq)
    orders = [c for c in calls if c.fn == "zqi_place_order_pb"]
    assert orders and all(pos[id(run)] < pos[id(o)] < pos[id(run_return)] for o in orders)
    for o in orders:
        ret = next(r for r in recs if isinstance(r, ReturnRecord) and r.seq == o.seq)
        assert ret.result == 0 and ret.out.data == o.args[0].data  # the stand-in echoes the request
        assert isinstance(recs[pos[id(o)] - 1], (EventRecord, ReturnRecord))


@pytest.mark.parametrize("command, expected", [
    ("show", ["zqi_set_token(<secret>) -> 0", "zqi_run()", "event 'tick'", "zqi_place_order_pb(req[", "end: "]),
    ("stats", ["function", "zqi_place_order_pb", "message type", "tick", "bar", "/s", "end: "]),
])
def test_show_and_stats_read_the_recording(recorded, command, expected):
    out = launch(command, recorded[0])
    assert out.returncode == 0 and out.stderr == ""
    assert all(e in out.stdout for e in expected), out.stdout


def _cut(data):  # in the middle of the 20th record
    offset = len(MAGIC) + 2
    for _ in range(19):
        offset += 9 + struct.unpack_from("<I", data, offset)[0]
    return data[:offset + 12], offset, 20


def _bad_crc(data):
    _, offset, k = _cut(data)
    out = bytearray(data)
    out[offset + 9] ^= 0xFF
    return bytes(out), offset, k


def _unknown_kind(data):
    _, offset, k = _cut(data)
    payload = b"\0" * 4
    rec = struct.pack("<IBI", len(payload), 9, zlib.crc32(payload, zlib.crc32(b"\x09"))) + payload
    return data[:offset] + rec, offset, k


def _huge_length(data):
    _, offset, k = _cut(data)
    return data[:offset] + struct.pack("<IBI", 0xFFFFFFF0, 2, 0) + b"x" * 20, offset, k


@pytest.mark.parametrize("damage, reason", [
    (_cut, "the file ends within a record"),
    (_bad_crc, "checksum does not match"),
    (_unknown_kind, "unknown record kind 9"),
    (_huge_length, "impossible length"),
])
@pytest.mark.parametrize("command", ["show", "stats"])
def test_damaged_cassette_keeps_what_came_before(recorded, tmp_path, damage, reason, command):
    data, offset, k = damage(recorded[0].read_bytes())
    path = tmp_path / "damaged.zqc"
    path.write_bytes(data)
    recs, reader = records(path)
    assert len(recs) == k - 1 and reader.offset == offset and not reader.ended
    out = launch(command, path)
    assert out.returncode == 1 and out.stdout.rstrip().endswith("end of the readable part")
    assert out.stderr == f"cassette: {path}: readable up to byte {offset} (record #{k}): {reason}\n" or \
        out.stderr.startswith(f"cassette: {path}: readable up to byte {offset} (record #{k}): ")
    assert reason in out.stderr and out.stderr.count("\n") == 1


@pytest.mark.parametrize("content, message", [
    (b"", "not a cassette (empty file)"),
    (b"GIF89a\x01\x00\x01\x00 and more", "not a cassette"),
    (b"ZQCASS", "not a cassette (cut short within its first bytes)"),
    (MAGIC + struct.pack("<H", 2) + b"\x00" * 40, "cassette format version 2 is newer than this reader's (1)"),
])
@pytest.mark.parametrize("command", ["show", "stats"])
def test_foreign_or_newer_file_is_one_line(tmp_path, content, message, command):
    path = tmp_path / "given.zqc"
    path.write_bytes(content)
    with pytest.raises(CassetteError, match=message.replace("(", r"\(").replace(")", r"\)")):
        Reader(path)
    out = launch(command, path)
    assert (out.returncode, out.stdout, out.stderr) == (1, "", f"cassette: {path}: {message}\n")


@pytest.mark.parametrize("keep", [False, True])
def test_secrets_are_placeholders_unless_kept(tmp_path, keep):
    script = tmp_path / "secrets.py"
    script.write_text(textwrap.dedent("""
        from zq.csdk import c_sdk
        from zq.csdk.standin import StandIn
        StandIn()
        c_sdk.py_zqi_set_token("tok-1")
        c_sdk.py_zqi_set_apitoken("tok-2")
        c_sdk.py_zqi_set_bus_info("bus-host", "bus-user", "pw-3")
        c_sdk.py_zqi_set_ctp_md_info("md-front", "md-user", "pw-4")
        c_sdk.py_zqi_set_bus_secure(1, "ca-5", "cert-6", "key-7", True)
        c_sdk.py_zqi_get_encrypted_token()
    """))
    path = tmp_path / "secrets.zqc"
    run = launch("record", path, *(["--keep-secrets"] if keep else []), "--", sys.executable, script)
    assert run.returncode == 0, run.stderr
    secrets = [b"tok-1", b"tok-2", b"pw-3", b"pw-4", b"key-7", b"standin-encrypted-token"]
    data = path.read_bytes()
    assert [s in data for s in secrets] == [keep] * len(secrets)
    assert all(s in data for s in [b"bus-user", b"md-front", b"ca-5", b"cert-6"])  # only the secrets are hidden
    recs, _ = records(path)
    assert recs[0].info["secrets"] == ("kept" if keep else "filtered")
    args = {r.fn: r.args for r in recs if isinstance(r, CallRecord)}
    assert (args["zqi_set_bus_secure"][3] is SECRET) != keep and (args["zqi_set_token"] == [SECRET]) != keep


def test_unwritable_path_stops_before_the_command(tmp_path):
    marker = tmp_path / "started"
    run = launch("record", tmp_path / "no" / "such" / "x.zqc", "--", "touch", marker)
    assert run.returncode == 2 and not marker.exists()
    assert run.stderr.startswith("cassette: cannot write the cassette ") and run.stderr.count("\n") == 1


def test_command_not_found_is_one_line(tmp_path):
    run = launch("record", tmp_path / "x.zqc", "--", "no-such-command-zq")
    assert (run.returncode, run.stderr) == (127, "cassette: command not found: no-such-command-zq\n")


def test_full_disk_stops_recording_and_the_strategy_goes_on():
    run = launch("record", "/dev/full", "--", sys.executable, STRATEGY)
    plain = subprocess.run([sys.executable, STRATEGY], capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert run.returncode == 0 and report(run.stdout) == report(plain.stdout)
    tap_lines = [ln for ln in run.stderr.splitlines() if ln.startswith(TAP_LINE)]
    assert tap_lines == [TAP_LINE + "recording to /dev/full stopped: No space left on device"]


@pytest.mark.parametrize("core, message", [
    ("", "ZQ_TAP_CORE does not name the core library to forward to"),
    ("/no/such/libzq3-c.so", "cannot load the core library /no/such/libzq3-c.so: "),
    (zlib.__file__ if zlib.__file__ else "", "lacks"),
    ("TAP", "is the tap itself, not a core library"),
])
def test_tap_without_a_core_says_so_and_exits(core, message):
    tap = cassette.tap_library()
    if core == "TAP":
        core = tap
    env = _launch.environment(tap, extra={"ZQ_TAP_CORE": core})
    run = subprocess.run([sys.executable, "-c", "from zq.csdk import c_sdk; c_sdk.zqi_init(); print('answered')"],
                         capture_output=True, text=True, timeout=60, env=env)
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.startswith(TAP_LINE) and message in run.stderr and run.stderr.count("\n") == 1


def test_records_reach_the_file_while_running_and_survive_a_kill(tmp_path):
    path = tmp_path / "killed.zqc"
    path.touch()
    script = ("from zq.csdk import c_sdk, standin; standin.StandIn(); c_sdk.zqi_init(); print('called', flush=True); "
              "import time; time.sleep(60)")

    def written():
        try:
            return any(isinstance(r, ReturnRecord) for r in records(path)[0])
        except CassetteError:  # not even the first bytes yet
            return False

    env = _launch.environment(cassette.tap_library(), extra={"ZQ_TAP_CORE": _launch.standin_library(),
                                                              "ZQ_CASSETTE_RECORD": str(path)})
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == "called\n"
        deadline = time.monotonic() + 5  # the writer's period is 50 ms; generous on a loaded machine
        while not written() and time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
    recs, reader = records(path)
    assert [type(r) for r in recs] == [Header, CallRecord, ReturnRecord] and recs[1].fn == "zqi_init"
    assert reader.damage is None and not reader.ended
    assert launch("show", path).stdout.rstrip().endswith("no END record: the recording was cut short")


def test_replay_subcommand_without_a_player_is_one_line(recorded):
    run = launch("replay", recorded[0], "--", sys.executable, "-c", "pass")
    assert run.returncode != 0 and run.stderr.count("\n") == 1 and run.stderr.startswith("cassette: ")


@pytest.mark.parametrize("args", [[], ["record"], ["record", "x.zqc"], ["show"], ["show", "a", "b"], ["bogus"],
                                  ["record", "x.zqc", "--bogus", "--", "true"]])
def test_usage_errors(args):
    run = launch(*args)
    assert run.returncode == 2 and "usage:" in run.stderr


def test_kept_secrets_env_is_not_inherited(tmp_path, recorded):
    # A ZQ_CASSETTE_KEEP_SECRETS=1 left in the environment does not unfilter a recording made without the flag.
    path = tmp_path / "env.zqc"
    env = dict(os.environ, ZQ_CASSETTE_KEEP_SECRETS="1")
    assert launch("record", path, "--", sys.executable, STRATEGY, env=env).returncode == 0
    assert TOKEN.encode() not in path.read_bytes()
