"""Recording from pytest: record modes, cassettes named after their tests, one-line problems, and the tap
recording what the core hands back, however long."""
import os
import re
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from zq.csdk import _launch, cassette
from zq.csdk._cassette_file import CallRecord, Reader
from zq.csdk._recording import FAIL, RECORD, REPLAY, cassette_name, decide

STANDIN = _launch.standin_library()


@pytest.mark.parametrize("mode, exists, action", [
    ("none", True, REPLAY),
    ("none", False, FAIL),
    ("once", True, REPLAY),
    ("once", False, RECORD),
    ("all", True, RECORD),
    ("all", False, RECORD),
    ("new_episodes", True, ValueError),
    ("", False, ValueError),
])
def test_record_mode_and_cassette_decide_the_action(mode, exists, action):
    if action is ValueError:
        with pytest.raises(ValueError, match="record mode must be one of none, once, all"):
            decide(mode, exists)
    else:
        assert decide(mode, exists) == action


@pytest.mark.parametrize("test, name", [
    ("test_orders", "test_orders.zqc"),
    ("test_sub[A.B-1]", "test_sub[A.B-1].zqc"),
    ("TestBook.test_buy", "TestBook.test_buy.zqc"),
    ("test_sub[C/D]", "test_sub[C_D]-"),         # a path separator never reaches the file name
    ("test_sub[C_D]", "test_sub[C_D].zqc"),       # ... nor makes two tests share a file
    ("test_x[a b\n]", "test_x[a_b_]-"),
    ("..", "_-"),
    ("test_" + "p" * 300, "test_" + "p" * 115 + "-"),
])
def test_cassette_names_are_safe_and_distinct(test, name):
    got = cassette_name(test)
    assert got.startswith(name) and got.endswith(".zqc") and "/" not in got and not got.startswith(".")
    assert len(got) <= 135


def pytest_run(project, *args, env=None):
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", *map(str, args)],
                         cwd=project, capture_output=True, text=True, timeout=300, env=env)
    return run.returncode, run.stdout + run.stderr


def failures(output):
    """{test name: the lines of its failure section}."""
    sections = re.split(r"^_{3,} (\S+) _{3,}$", output.split("short test summary")[0], flags=re.M)
    return {name.split("[")[0]: [ln for ln in body.strip().splitlines() if ln and not ln.startswith("=")]
            for name, body in zip(sections[1::2], sections[2::2])}


TESTS = """
    import pytest
    from zq.csdk import c_sdk

    @pytest.mark.zq_cassette
    def test_settings():
        c_sdk.py_zqi_set_serv_addr("host:1")
        c_sdk.py_zqi_set_strategy_id("s-1")

    @pytest.mark.zq_cassette
    def test_order():
        assert c_sdk.py_zqi_place_order(b'{"side": "buy"}') == (0, b'{"side": "buy"}')

    @pytest.mark.zq_cassette(redact={"zqi_place_order_pb": {"mask": ['"account_id": *"[^"]*"']}})
    def test_account():
        rc, reply = c_sdk.py_zqi_place_order(b'{"account_id": "ACCT-31337", "qty": 1}')
        assert rc == 0 and reply.endswith(b'"qty": 1}')  # replayed, the echoed id is scrubbed too

    @pytest.mark.zq_cassette
    @pytest.mark.parametrize("symbol", ["A.B", "C/D"])
    def test_subscribe(symbol):
        c_sdk.py_zqi_subscribe(symbol, "60s", False)
"""


def test_once_records_what_is_missing_none_replays_and_a_changed_order_fails(tmp_path):
    (tmp_path / "test_flow.py").write_text(textwrap.dedent(TESTS))
    shelf = tmp_path / "cassettes" / "test_flow"
    status, out = pytest_run(tmp_path, "--zq-record-mode=once", f"--zq-core={STANDIN}")
    assert status == 0, out
    made = sorted(p.name for p in shelf.iterdir())
    assert len(made) == 5 and made[:4] == ["test_account.zqc", "test_order.zqc", "test_settings.zqc",
                                           "test_subscribe[A.B].zqc"]
    with Reader(shelf / "test_settings.zqc") as reader:
        recs = list(reader)
    assert [r.fn for r in recs if isinstance(r, CallRecord)] == ["zqi_set_serv_addr", "zqi_set_strategy_id"]
    assert recs[0].info["core"] == STANDIN and reader.ended and not reader.damage

    for args in (["--zq-record-mode=none"], []):  # none is the default
        status, out = pytest_run(tmp_path, *args)
        assert status == 0 and "5 passed" in out, out

    # A redacted account id is in no file: the cassettes, their export, what the runs left.
    export = subprocess.run([sys.executable, "-m", "zq.csdk.cassette", "export", str(shelf / "test_account.zqc")],
                            capture_output=True, timeout=60)
    assert export.returncode == 0 and b"<redacted>" in export.stdout
    holding = [p for p in tmp_path.rglob("*")  # the test's own source and its compiled form apart
               if p.is_file() and "__pycache__" not in p.parts and b"ACCT-31337" in p.read_bytes()]
    assert holding == [tmp_path / "test_flow.py"] and b"ACCT-31337" not in export.stdout

    # A changed order fails that test alone, with the divergence in its report.
    first, second = 'c_sdk.py_zqi_set_serv_addr("host:1")', 'c_sdk.py_zqi_set_strategy_id("s-1")'
    swapped = TESTS.replace(first, "FIRST").replace(second, first).replace("FIRST", second)
    (tmp_path / "test_flow.py").write_text(textwrap.dedent(swapped))
    status, out = pytest_run(tmp_path)
    assert status == 1 and "1 failed, 4 passed" in out, out
    assert list(failures(out)) == ["test_settings"] and "zqi_set_strategy_id" in out and "divergence" in out

    # all: every cassette recorded again, the new order with it; then it replays.  A part file a killed
    # recording left (old, locked by nobody) goes.
    stale = shelf / ".test_order.zqc.killed.part"
    stale.write_bytes(b"ZQC")
    os.utime(stale, (time.time() - 3600,) * 2)
    before = (shelf / "test_order.zqc").stat().st_mtime_ns
    status, out = pytest_run(tmp_path, "--zq-record-mode=all", f"--zq-core={STANDIN}")
    assert status == 0 and (shelf / "test_order.zqc").stat().st_mtime_ns != before, out
    assert pytest_run(tmp_path)[0] == 0
    assert not [p for p in shelf.iterdir() if p.name.endswith(".part")]


PROBLEMS = {
    "test_missing": ("@pytest.mark.zq_cassette", "no such cassette (record mode none); record it with: python -m "
                     "pytest test_problems.py::test_missing --zq-record-mode=once --zq-core=PATH/TO/libzq3-c.so"),
    "test_bad_rule": ("@pytest.mark.zq_cassette(match={'zqi_subscribe': {'ignore': [99]}})",
                      "argument position 99 is not an int from 0 to 11"),
    "test_unknown_function": ("@pytest.mark.zq_cassette(match={'py_zqi_place_order': 'function'})",
                              "no core function named 'py_zqi_place_order'; did you mean 'zqi_place_order_pb'"),
    "test_two_paths": ("@pytest.mark.zq_cassette('a.zqc', 'b.zqc')",
                       "use the marker as @pytest.mark.zq_cassette(path=None, match=None, redact=None)"),
    "test_bad_redaction": ("@pytest.mark.zq_cassette(redact={'zqi_subscribe': {'mask': ['a{2,1}']}})",
                           "redact['zqi_subscribe']: bad mask 'a{2,1}': bad repetition"),
    "test_redaction_kind": ("@pytest.mark.zq_cassette(redact={'zqi_subscribe': 'function'})",
                            "redact['zqi_subscribe']: a rule is {'mask': [patterns]} or {'ignore': [positions]}"),
    "test_not_a_cassette": ("@pytest.mark.zq_cassette('test_problems.py')", "not a cassette"),
    "test_needs_the_core": ("@pytest.mark.zq_cassette('new.zqc')\n@pytest.mark.parametrize('zq_cassette_config', "
                            "[{'record_mode': 'once'}])", "recording needs the real core: run pytest with "
                                                          "--zq-core=PATH (or ZQ_CORE)"),
}


def test_marker_problems_fail_their_test_in_one_line(tmp_path):
    source = "import pytest\n" + "".join(f"\n{marker}\ndef {name}(zq_cassette_config):\n    pass\n"
                                         for name, (marker, _) in PROBLEMS.items())
    (tmp_path / "test_problems.py").write_text(source)
    status, out = pytest_run(tmp_path)
    assert status == 1 and f"{len(PROBLEMS)} failed" in out, out
    got = failures(out)
    for name, (_, message) in PROBLEMS.items():
        assert len(got[name]) == 1 and got[name][0].startswith("zq_cassette: ") and message in got[name][0], got[name]


@pytest.mark.parametrize("args, env, message", [
    (["--zq-record-mode=once"], {}, "ERROR: record mode once records against the real core: name it with "
                                    "--zq-core=PATH or ZQ_CORE"),
    (["--zq-record-mode=all", "--zq-core=test_x.py"], {},
     "ERROR: --zq-core: test_x.py: not a shared library (not an ELF file)"),
    ([], {"ZQ_CORE": "missing.so"}, "ERROR: --zq-core: missing.so: cannot read (No such file or directory)"),
])
def test_a_real_core_is_named_and_checked_before_any_test(tmp_path, args, env, message):
    (tmp_path / "test_x.py").write_text("def test_x():\n    pass\n")
    status, out = pytest_run(tmp_path, *args, env={**os.environ, **env})
    assert status == 4 and out.strip() == message and "Traceback" not in out


def frames(path):
    """(kind, payload length) of each record, and the END record's payload, read by hand."""
    data, pos, out, end = path.read_bytes(), 13, [], b""
    while pos + 9 <= len(data):
        length, kind = struct.unpack_from("<IB", data, pos)
        out.append((kind, length))
        if kind == 5:
            end = data[pos + 9:pos + 9 + length]
        pos += 9 + length
    assert pos == len(data)
    return out, end


def test_a_reply_over_64_mib_is_recorded_whole(tmp_path):
    size = (64 << 20) + 1
    script = tmp_path / "big.py"
    script.write_text(textwrap.dedent(f"""
        from zq.csdk import c_sdk
        rc, reply = c_sdk.py_zqi_place_order(b"x" * {size})  # the stand-in echoes it as its reply
        assert rc == 0 and len(reply) == {size}
    """))
    path = tmp_path / "big.zqc"
    run = subprocess.run([sys.executable, "-m", "zq.csdk.cassette", "record", str(path), "--", sys.executable,
                          str(script)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and "cassette tap" not in run.stderr, run.stderr
    recs, end = frames(path)
    assert [k for k, _ in recs] == [1, 2, 3, 5] and recs[2][1] > size
    assert struct.unpack("<QQQ", end) == (1, 0, 0)  # one call, no event, nothing dropped


def test_tap_routes_between_the_real_core_and_the_standin(tmp_path):
    script = tmp_path / "route.py"
    script.write_text(textwrap.dedent(f"""
        import ctypes, os
        from zq.csdk import c_sdk, _cores
        from zq.csdk.standin import StandIn
        tap = _cores.loaded_tap()
        core = StandIn()  # the stand-in behind the tap, however the route goes
        core.set_status("zqi_subscribe", -7)
        assert c_sdk.py_zqi_subscribe("A.B", "60s", False) == -7 and core.call_count("zqi_subscribe") == 1
        c_sdk.py_zqi_set_data_callback(lambda msg_type, data: None)
        tap.route(real_core=True)  # another library: the scripted status is not there
        assert c_sdk.py_zqi_subscribe("A.B", "60s", False) == 0 and core.call_count("zqi_subscribe") == 1
        real = ctypes.CDLL(tap.core_path(), mode=os.RTLD_NOLOAD)
        real.zqstub_callback.restype = ctypes.c_void_p
        assert real.zqstub_callback()  # the handler registered before the switch went with it
        tap.record_start({str(tmp_path / "none.zqc")!r})
    """))
    other = tmp_path / "other" / "libzq3-c.so"  # a copy is another library to the dynamic linker
    other.parent.mkdir()
    other.write_bytes(Path(STANDIN).read_bytes())
    extra = {"ZQ_TAP_CORE": str(other), "ZQ_TAP_STANDIN": STANDIN}
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120,
                         env=_launch.environment(cassette.tap_library(), extra=extra))
    assert run.returncode == 1 and run.stderr.strip().endswith(f"cannot record to {tmp_path / 'none.zqc'}: "
                                                               "No such file or directory"), run.stderr
