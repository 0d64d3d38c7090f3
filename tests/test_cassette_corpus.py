"""One definition of a valid cassette: the hostile files of hostile_cassettes.py
through both readers (the Python one, and the stand-in's through its control
API), which must agree on each, and through replay, show and stats."""
import ctypes
import os
import re
from pathlib import Path

import hostile_cassettes
import pytest

from test_cassette import launch
from zq.csdk import _cassette_file, c_sdk, cassette
from zq.csdk._cassette_file import CassetteError, Reader
from zq.csdk._replay import check_cassette

ROOT = Path(__file__).resolve().parent.parent


HOSTILE = hostile_cassettes.entries()
NAMED = [e for e in HOSTILE if not e[0].startswith(("cut ", "flip "))]
GROUPS = {"every truncation": [e for e in HOSTILE if e[0].startswith("cut ")],
          "every flipped byte": [e for e in HOSTILE if e[0].startswith("flip ")],
          # what the fuzz target found, kept: both readers agree on it, whatever it is
          "fuzz findings": [(p.name, p.read_bytes(), None, None, None)
                            for p in sorted((ROOT / "fuzz" / "findings").glob("*.zqc"))]}


def python_reads(path):
    """(verdict, text, records, bytes read) as the Python reader (and so show, stats) sees `path`."""
    try:
        reader = Reader(path)
    except CassetteError as e:
        return "refused", str(e).split(": ", 1)[1], 0, 0
    with reader:
        for _ in reader:
            pass
    if reader.records == 0:
        return "refused", reader.damage, 0, 0
    return ("damaged" if reader.damage else "clean"), reader.damage, reader.records, reader.offset


def standin_reads(path):
    """The same, as the stand-in's reader (and so replay) sees it."""
    lib = ctypes.CDLL("libzq3-c.so", mode=os.RTLD_NOLOAD)
    lib.zqstub_cassette_check.argtypes = [ctypes.c_char_p, ctypes.c_ulonglong * 3, ctypes.c_char_p, ctypes.c_int]
    counts, text = (ctypes.c_ulonglong * 3)(), ctypes.create_string_buffer(4096)
    verdict = lib.zqstub_cassette_check(os.fsencode(path), counts, text, len(text))
    return ({0: "clean", 1: "damaged", -1: "refused"}[verdict], text.value.decode() or None, counts[0], counts[1])


# A core's faults replayed as recorded (a NULL message type, a negative data length) reach the unraisable hook.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("entries", [[e] for e in NAMED] + list(GROUPS.values()),
                         ids=[e[0] for e in NAMED] + list(GROUPS))
def test_both_readers_agree_on_every_hostile_file(core, tmp_path, entries):
    path = tmp_path / "hostile.zqc"
    for name, content, verdict, text, count in entries:
        path.write_bytes(content)
        seen = python_reads(path)
        assert standin_reads(path) == seen, name
        if verdict is not None:
            assert seen[:3] == (verdict, text, count), name
            assert seen[3] == (len(content) if verdict == "clean" else 0 if verdict == "refused" else
                               int(text.split()[4])), name
    if len(entries) != 1:
        return
    # Replay refuses what neither reader can read, before anything runs, and stops where they stop.
    if seen[0] == "refused":
        for attempt in (lambda: check_cassette(path), lambda: core.replay_open(path)):
            with pytest.raises(CassetteError, match=re.escape(seen[1])):
                attempt()
        return
    got = []
    c_sdk.py_zqi_set_data_callback(lambda msg_type, data: got.append(data))
    core.replay_open(path)
    for _ in range(3):
        try:
            reply = c_sdk.py_zqi_place_order(b"A")[1]
        except SystemError:  # a negative reply length, recorded as the core gave it
            continue
        assert reply in (None, b"", b"a", b"A")  # as recorded, or the stand-in's echo: never more
    report = core.replay_close()
    assert all(d in (b"abc", b"", b"abcd") for d in got)
    assert (seen[1] in report) if seen[0] == "damaged" else "readable up to" not in report


@pytest.mark.parametrize("name, content, verdict, text, count", NAMED, ids=[e[0] for e in NAMED])
@pytest.mark.parametrize("command", ["show", "stats"])
def test_show_and_stats_give_one_line_for_every_hostile_file(tmp_path, capsys, command, name, content, verdict, text,
                                                             count):
    path = tmp_path / "hostile.zqc"
    path.write_bytes(content)
    status = cassette.main([command, str(path)])
    out, err = capsys.readouterr()
    assert status == (0 if verdict == "clean" else 1)
    assert err == ("" if verdict == "clean" else f"cassette: {path}: {text}\n")
    assert not any(c != "\n" and not c.isprintable() for c in out), out  # escaped, every one
    if "escapes" in name:
        assert "\\x1b" in out
    assert out.startswith("this cassette holds secrets") == (b'"secrets": "kept"' in content and verdict != "refused")


@pytest.mark.parametrize("make, kind", [
    (lambda p: p.mkdir(), "a directory"),
    (lambda p: os.mkfifo(p), "a FIFO"),
    (lambda p: p.symlink_to("/dev/zero"), "a character device"),
])
def test_what_is_not_a_regular_file_is_refused_before_it_is_opened(core, tmp_path, make, kind):
    path = tmp_path / "special.zqc"
    make(path)
    message = f"{path}: not a regular file ({kind})"
    assert standin_reads(path) == ("refused", f"not a regular file ({kind})", 0, 0)
    for attempt in (lambda: Reader(path), lambda: core.replay_open(path), lambda: check_cassette(path)):
        with pytest.raises(CassetteError, match=re.escape(message)):
            attempt()
    out = launch("show", path, timeout=60)  # a FIFO held it forever
    assert (out.returncode, out.stderr) == (1, f"cassette: {message}\n")


def test_the_python_reader_holds_the_formats_numbers():
    header = (ROOT / "native" / "cassette" / "format.h").read_text()
    consts = {m[0]: eval(m[1].replace("ull", "")) for m in re.findall(r"constexpr \w+ (k\w+) = ([^;/]+);", header)
              if re.fullmatch(r"[\d\s+ul]+", m[1])}
    assert (consts["kVersion"], consts["kMaxPayload"], consts["kMaxArgs"], consts["kMaxHeaderDepth"]) == \
        (_cassette_file.FORMAT_VERSION, _cassette_file.MAX_PAYLOAD, _cassette_file.MAX_ARGS,
         _cassette_file.MAX_HEADER_DEPTH)
