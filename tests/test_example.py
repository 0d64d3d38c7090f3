"""The example strategy, run as a user runs it: its report and its bad-input exits."""
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STRATEGY = ROOT / "examples" / "strategy.py"
SESSION = ROOT / "examples" / "data" / "session.txt"

TICK = "tick DEMO.AAA 2024-03-01T09:30:06 10.00 300 300 9.99 700 10.01 2400"
BAR = "bar DEMO.AAA 60s 2024-03-01T09:30:00 2024-03-01T09:31:00 10.00 10.05 9.99 10.04 8100"


def run(*args, timeout=120):
    return subprocess.run([sys.executable, str(STRATEGY), *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, cwd=ROOT)


def report(stdout):
    m = re.search(r"events delivered: (\d+) \(bar (\d+), tick (\d+)\)", stdout)
    o = re.search(r"orders placed: (\d+) \((\d+) rejected\); the core received (\d+)", stdout)
    t = re.search(r"time per event through the bridge: mean ([\d.]+) us, p99 ([\d.]+) us", stdout)
    s = re.search(r"py_zqi_stop -> (-?\d+), stop code (-?\d+)", stdout)
    assert m and o and t and s, stdout
    return {"delivered": int(m[1]), "bars": int(m[2]), "ticks": int(m[3]), "orders": int(o[1]),
            "rejected": int(o[2]), "core_orders": int(o[3]), "stop": int(s[1]), "stop_code": int(s[2])}


def test_shipped_session_is_small_and_well_formed():
    lines = [ln.split()[0] for ln in SESSION.read_text().splitlines() if ln and not ln.startswith("#")]
    assert SESSION.stat().st_size < 1_000_000
    assert set(lines) == {"tick", "bar"} and lines[-1] == "bar"
    assert len(lines) >= 2000


@pytest.mark.parametrize("extra, rejected", [([], False), (["--order-status", "7"], True)])
def test_replay_reports_every_event_and_the_orders(extra, rejected):
    kinds = [ln.split()[0] for ln in SESSION.read_text().splitlines() if ln and not ln.startswith("#")]
    proc = run(*extra)
    assert proc.returncode == 0, proc.stderr
    r = report(proc.stdout)
    assert (r["delivered"], r["bars"], r["ticks"]) == (len(kinds), kinds.count("bar"), kinds.count("tick"))
    assert r["orders"] > 0 and r["core_orders"] == r["orders"]
    assert r["rejected"] == (r["orders"] if rejected else 0)
    assert (r["stop"], r["stop_code"]) == (0, 0)
    # progress on stderr, every 1000 events by default; nothing reported by the bridge
    assert re.findall(r"strategy: (\d+)/\d+ events", proc.stderr) == [str(n) for n in range(1000, len(kinds), 1000)]
    assert "Traceback" not in proc.stderr


def test_the_last_bar_stops_the_run(tmp_path):
    # Ticks after the last bar stay queued: the stop ends the run before them.
    path = tmp_path / "s.txt"
    path.write_text("\n".join([TICK, BAR, BAR.replace("AAA", "BBB"), TICK, TICK]) + "\n")
    proc = run(path, "--short", 1, "--long", 2)
    assert proc.returncode == 0, proc.stderr
    assert "5 events queued" in proc.stdout
    assert report(proc.stdout)["delivered"] == 3


@pytest.mark.parametrize("content, where, reason", [
    (None, "", "cannot read"),
    (b"", "", "no bar events"),
    (b"# only a comment\n" + TICK.encode() + b"\n", "", "no bar events"),
    (BAR.encode() + b"\nquote DEMO.AAA 1\n", ":2:", "unknown event type 'quote'"),
    (TICK.encode()[:-5] + b"\n", ":1:", "fields after the type"),
    (TICK.replace("10.00", "ten").encode(), ":1:", "price 'ten' is not a number"),
    (TICK.replace("10.00", "-1").encode(), ":1:", "not a positive price"),
    (TICK.replace(" 300 ", " 3.5 ", 1).encode(), ":1:", "not a non-negative integer"),
    (BAR.replace("2024-03-01T09:30:00", "09:30").encode(), ":1:", "not a YYYY-MM-DDTHH:MM:SS time"),
    (BAR.replace("10.05", "10.01").encode(), ":1:", "low <= open, close <= high"),
    (b"\n\n" + BAR.encode() + b"\n\xff\xfe\n", ":4:", "not UTF-8 text"),
])
def test_bad_session_file_is_one_line_error(tmp_path, content, where, reason):
    path = tmp_path / "session.txt"
    if content is not None:
        path.write_bytes(content)
    proc = run(path, timeout=60)
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith(f"strategy: {path}{where}") and reason in lines[0]


@pytest.mark.parametrize("args, error", [
    (["--short", "5", "--long", "5"], "--short and --long need 0 < short < long"),
    (["--order-status", "99999999999"], "argument --order-status: 99999999999 is not between -2147483648 and 2147483647"),
    (["--order-status", "-2147483649"], "argument --order-status: -2147483649 is not between -2147483648 and 2147483647"),
    (["--order-status", "seven"], "argument --order-status: invalid int value: 'seven'"),
    (["--progress", "-1"], "argument --progress: -1 is less than 0"),
])
def test_bad_option_is_a_usage_error(args, error):
    proc = run(*args, timeout=60)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr.splitlines()[-1].endswith(f"error: {error}"), proc.stderr


@pytest.mark.parametrize("signum, status, ended", [(signal.SIGINT, 0, "KeyboardInterrupt"),
                                                   (signal.SIGTERM, 143, "SystemExit")])
def test_live_run_beats_while_the_core_waits_and_a_signal_ends_it_with_the_report(signum, status, ended):
    kinds = [ln.split()[0] for ln in SESSION.read_text().splitlines() if ln and not ln.startswith("#")]
    proc = subprocess.Popen([sys.executable, str(STRATEGY), "--live", "--progress", "0", "--heartbeat", "0.05"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=ROOT)
    try:
        waiting = 0  # heartbeats once every event is in: the core waits, this thread runs
        for line in proc.stderr:
            waiting += f"{len(kinds)} events so far, 0 queued, the core waits" in line
            if waiting == 2:
                break
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert waiting == 2 and proc.returncode == status, err
    assert f"events delivered: {len(kinds)} (bar {kinds.count('bar')}, tick {kinds.count('tick')})" in out
    assert f"live.run -> {ended}" in out and f"strategy: {ended}: the live run stopped" in err
