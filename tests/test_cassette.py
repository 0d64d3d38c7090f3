"""Cassettes: the recording tap in front of the stand-in, the launcher, and the readers on good and bad files."""
import ctypes.util
import os
import re
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from test_example import STRATEGY, report
from zq.csdk import _cassette_writer as writer
from zq.csdk import _launch, cassette, check_core
from zq.csdk._cassette_file import (FNPTR, I64, MAGIC, SECRET, VOID, Buf, CallRecord, CassetteError, EndRecord, EventRecord,
                                    Header, Out, Reader, ReturnRecord)

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
    dynamic = subprocess.run(["readelf", "-d", tap], capture_output=True, text=True, check=True).stdout
    assert "Library soname: [libzq3-c.so]" in dynamic
    symbols = subprocess.run(["nm", "-D", "--defined-only", tap], capture_output=True, text=True, check=True).stdout
    exported = {line.split()[-1].partition("@")[0] for line in symbols.splitlines() if line.split()[1:2] == ["T"]}
    control = {"zqtap_core_path", "zqtap_standin_path", "zqtap_version", "zqtap_route", "zqtap_record_start",
               "zqtap_record_stop", "zqtap_redact", "zqtap_error"}
    assert exported == set(check_core.CORE_FUNCTIONS) | control


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
    return data[:offset] + writer.frame(9, payload), offset, k


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
    assert not keep or path.stat().st_mode & 0o077 == 0  # a file holding secrets is its owner's alone
    shown = launch("show", path).stdout
    assert not any(s.decode() in shown for s in secrets) and shown.count("<secret>") == len(secrets)
    recs, _ = records(path)
    assert recs[0].info["secrets"] == ("kept" if keep else "filtered")
    assert (path.stat().st_mode & 0o777 == 0o600) == keep  # a file holding secrets is its owner's alone
    args = {r.fn: r.args for r in recs if isinstance(r, CallRecord)}
    assert (args["zqi_set_bus_secure"][3] is SECRET) != keep and (args["zqi_set_token"] == [SECRET]) != keep


def test_unwritable_path_stops_before_the_command(tmp_path):
    marker = tmp_path / "started"
    run = launch("record", tmp_path / "no" / "such" / "x.zqc", "--", "touch", marker)
    assert run.returncode == 2 and not marker.exists()
    assert run.stderr.startswith("cassette: cannot write the cassette ") and run.stderr.count("\n") == 1


ONE_CALL = f"{sys.executable} -c 'from zq.csdk import c_sdk, standin; standin.StandIn(); c_sdk.zqi_init()'"


# (a cassette there before, options, command, exit status, the cassette after: "old", "new" or None, on stderr)
RECORD_OVER = [
    (True, [], ["true"], 2, "old", "keep.zqc already exists; give --force to record over it"),
    (True, ["--force"], [sys.executable, "no-such-script.py"], 2, "old", "nothing was recorded; "),
    (True, ["--force"], ["true"], 0, "old", "keep.zqc is left as it was"),
    (True, ["--force"], ["sh", "-c", ONE_CALL], 0, "new", ""),
    (False, [], ["true"], 0, None, "keep.zqc was not written"),
    (False, [], ["sh", "-c", ONE_CALL], 0, "new", ""),
]


@pytest.mark.parametrize("exists, options, command, status, after, message", RECORD_OVER)
def test_record_replaces_a_cassette_only_when_asked_and_with_a_recording(tmp_path, exists, options, command, status,
                                                                          after, message):
    path = tmp_path / "keep.zqc"
    if exists:
        path.write_bytes(b"a cassette recorded earlier")
    run = launch("record", path, *options, "--", *command)
    assert run.returncode == status and message in run.stderr
    if after == "old":
        assert path.read_bytes() == b"a cassette recorded earlier"
    elif after == "new":
        assert [r.fn for r in records(path)[0] if isinstance(r, CallRecord)] == ["zqi_init"]
    assert os.listdir(tmp_path) == ([path.name] if after else [])  # the scratch file is gone


def test_command_not_found_is_one_line(tmp_path):
    run = launch("record", tmp_path / "x.zqc", "--", "no-such-command-zq")
    assert (run.returncode, run.stderr) == (127, "cassette: command not found: no-such-command-zq\n")


def test_full_disk_stops_recording_and_the_strategy_goes_on(recorded):
    # The tap itself writing to /dev/full: `record` writes to a new file of its own, never to a device.
    env = _launch.environment(cassette.tap_library(), extra={"ZQ_TAP_CORE": _launch.standin_library(),
                                                              "ZQ_CASSETTE_RECORD": "/dev/full"})
    run = subprocess.run([sys.executable, STRATEGY], capture_output=True, text=True, timeout=120, cwd=ROOT, env=env)
    plain = subprocess.run([sys.executable, STRATEGY], capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert run.returncode == 0 and report(run.stdout) == report(plain.stdout)
    tap_lines = [ln for ln in run.stderr.splitlines() if ln.startswith(TAP_LINE)]
    calls = records(recorded[0])[0][-1].calls  # every call of the strategy is lost, and said so at exit
    assert tap_lines[0] == TAP_LINE + "recording to /dev/full stopped: No space left on device"
    lost = re.fullmatch(re.escape(TAP_LINE) + r"recording to /dev/full lost (\d+) calls: No space left on device",
                        tap_lines[1])
    assert len(tap_lines) == 2 and lost and int(lost[1]) >= calls


@pytest.mark.parametrize("core, message", [
    ("", "ZQ_TAP_CORE does not name the core library to forward to"),
    ("/no/such/libzq3-c.so", "cannot load the core library /no/such/libzq3-c.so: "),
    (ctypes.util.find_library("c"), "lacks"),  # a shared library on every build, unlike zlib's module
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


VALUES = """
import threading
from zq.csdk import c_sdk
from zq.csdk.standin import NEGATIVE_LENGTH, NORMAL, NULL_REPLY, NULL_TEXT, StandIn
core = StandIn()
c_sdk.py_zqi_current("A,B", "price", True)
core.set_mode("zqi_place_order_pb", NULL_REPLY, 5)
c_sdk.py_zqi_place_order(b"null-reply")
core.set_mode("zqi_place_order_pb", NEGATIVE_LENGTH, -4)
try:
    c_sdk.py_zqi_place_order(b"negative")
except SystemError:  # the module's answer to a negative reply length
    pass
core.set_mode("zqi_place_order_pb", NORMAL)
core.set_status("zqi_place_order_pb", -3)
c_sdk.py_zqi_place_order(b"status")
core.set_status("zqi_place_order_pb", 0)
c_sdk.zqi_now()
c_sdk.zqi_now_plus()
c_sdk.py_zqi_get_serv_addr("srv")
core.set_mode("zqi_get_serv_addr", NULL_TEXT)
c_sdk.py_zqi_get_serv_addr("none")
c_sdk.zqi_strerror(5)
c_sdk.py_zqi_set_backtest_config("s", "e", 1.5, 0.25, 0, 0, 0, 0, 0, 1, 2, 3)
c_sdk.py_zqi_set_data_callback(lambda t, d: c_sdk.py_zqi_log(b"in-handler"))
core.queue_event(b"tick", b"payload-1")
core.deliver_during("zqi_current_price_pb", 1)
c_sdk.py_zqi_current_price(b"cp")
threads = [threading.Thread(target=lambda i=i: [c_sdk.py_zqi_place_order(b"t%d" % i) for _ in range(50)])
           for i in range(3)]
[t.start() for t in threads]
[t.join() for t in threads]
"""


@pytest.fixture(scope="module")
def values(tmp_path_factory):
    """A script calling functions of every argument and output shape, recorded: its records."""
    folder = tmp_path_factory.mktemp("values")
    (folder / "values.py").write_text(VALUES)
    run = launch("record", folder / "values.zqc", "--", sys.executable, folder / "values.py")
    assert run.returncode == 0, run.stderr
    return records(folder / "values.zqc")[0]


def _call(recs, fn, first_arg=None):
    """The CALL of `fn` (whose first argument's data is `first_arg`, if given) and its RETURN."""
    call = next(r for r in recs if isinstance(r, CallRecord) and r.fn == fn and
                (first_arg is None or getattr(r.args[0], "data", r.args[0]) == first_arg))
    return call, next(r for r in recs if isinstance(r, ReturnRecord) and r.seq == call.seq)


@pytest.mark.parametrize("fn, first, args, result, out", [
    ("zqi_current_pb", None, [b"A,B", True, b"price"], 0, "reply"),
    ("zqi_place_order_pb", b"null-reply", [Buf(10, b"null-reply")], 0, Out(5, None)),
    ("zqi_place_order_pb", b"negative", [Buf(8, b"negative")], 0, Out(-4, None)),
    ("zqi_place_order_pb", b"status", [Buf(6, b"status")], -3, "reply"),
    ("zqi_now", None, [], I64, None),  # its 64 bits kept
    ("zqi_now_plus", None, [], float, None),
    ("zqi_get_serv_addr", b"srv", [b"srv"], 0, Out(-1, b"127.0.0.1:7001")),
    ("zqi_get_serv_addr", b"none", [b"none"], 0, Out(-1, None)),
    ("zqi_strerror", None, [5], bytes, None),
    ("zqi_set_backtest_config", None, [b"s", b"e", 1.5, 0.25, 0.0, 0.0, 0.0, 0.0, 0.0, 1, 2, 3], 0, None),
    ("zqi_set_event_callback_pb", None, [FNPTR], VOID, None),
])
def test_values_of_every_shape_are_recorded_as_passed(values, fn, first, args, result, out):
    call, ret = _call(values, fn, first)
    assert call.args == args and [type(a) for a in call.args] == [type(a) for a in args]
    assert type(ret.result) is result if isinstance(result, type) else ret.result is result or ret.result == result
    if out == "reply":
        assert ret.out is not None and ret.out.length == len(ret.out.data)
    else:
        assert ret.out == out


def test_events_and_the_handlers_calls_nest_inside_the_call_they_arrived_during(values):
    call, ret = _call(values, "zqi_current_price_pb", b"cp")
    inner = values[values.index(call) + 1:values.index(ret)]
    assert [type(r) for r in inner] == [EventRecord, CallRecord, ReturnRecord]
    event, log, log_ret = inner
    assert (event.during, event.thread, event.msg_type, event.data_len, event.data) == \
        (call.seq, call.thread, b"tick", 9, b"payload-1")
    assert (log.fn, log.args, log.thread, log_ret.seq) == ("zqi_log_pb", [Buf(10, b"in-handler")], call.thread, log.seq)


def test_calls_from_threads_each_keep_their_thread_and_pairing(values):
    threads = {}
    for r in values:
        if isinstance(r, CallRecord) and r.fn == "zqi_place_order_pb" and r.args[0].data[:1] == b"t":
            threads.setdefault(r.args[0].data, set()).add(r.thread)
    assert len(threads) == 3 and all(len(t) == 1 for t in threads.values())
    assert len(set().union(*threads.values())) == 3 and 1 not in set().union(*threads.values())
    open_calls = {}  # per thread: the calls in progress, innermost last
    for r in values:
        if isinstance(r, CallRecord):
            open_calls.setdefault(r.thread, []).append(r.seq)
        elif isinstance(r, ReturnRecord):
            innermost = [t for t, stack in open_calls.items() if stack and stack[-1] == r.seq]
            assert len(innermost) == 1, r
            open_calls[innermost[0]].pop()
    assert all(not stack for stack in open_calls.values())


def test_a_second_process_does_not_write_into_the_first_ones_cassette(tmp_path):
    one = f"{sys.executable} -c 'from zq.csdk import c_sdk, standin; standin.StandIn(); c_sdk.zqi_init()'"
    run = launch("record", tmp_path / "two.zqc", "--", "sh", "-c", f"{one} && {one}")
    assert run.returncode == 0 and run.stderr.count("\n") == 1
    assert "already holds another process's recording" in run.stderr
    recs, reader = records(tmp_path / "two.zqc")
    assert reader.ended and [r.fn for r in recs if isinstance(r, CallRecord)] == ["zqi_init"]


@pytest.mark.parametrize("change, message", [
    (("void zqi_set_mode(int mode);", "void zqi_set_mode(float mode);"), "no way to record a parameter of type 'float'"),
    (("int zqi_set_token(const char* token);", "int zqi_set_token(const char* tok);"),
     "secrets named in core_secrets.def are not in"),
    (("void zqi_set_apitoken(const char* token);", "void zqi_set_apitoken(int n, const char* token);"),
     "secret zqi_set_apitoken(token) is recorded at position 1, not 0"),
])
def test_forwarding_generator_refuses_what_it_cannot_record(tmp_path, change, message):
    header = (ROOT / "native" / "csdk" / "core_api.h").read_text()
    assert change[0] in header
    (tmp_path / "core_api.h").write_text(header.replace(*change))
    for name in ("core_functions.def", "core_secrets.def"):
        (tmp_path / name).write_text((ROOT / "native" / "csdk" / name).read_text())
    gen = subprocess.run([sys.executable, ROOT / "native" / "tap" / "gen_forward.py", tmp_path / "core_api.h",
                          tmp_path / "f.cpp", tmp_path / "f.map"], capture_output=True, text=True)
    assert gen.returncode == 1 and message in gen.stderr and not (tmp_path / "f.cpp").exists()
