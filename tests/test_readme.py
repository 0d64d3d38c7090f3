"""The testing kit as a user's project sees it: the README's Python examples run
exactly as printed in a folder outside the repository (pytest finding the
zq_core fixture through the development kit's entry point alone), and the
fixture keeps one test's scripting away from the next."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text()
BLOCKS = [(m.start(), m.group(1)) for m in re.finditer(r"^```python\n(.*?)^```$", TEXT, re.M | re.S)]
assert any("zq_core" in code for _, code in BLOCKS), "the README shows no test using zq_core"


def heading(pos):
    """The section a block stands in, for the test id."""
    return re.findall(r"^## (.+)$", TEXT[:pos], re.M)[-1]


@pytest.mark.parametrize("code", [code for _, code in BLOCKS], ids=[heading(pos) for pos, _ in BLOCKS])
def test_readme_example_runs_as_printed(tmp_path, code):
    tests = len(re.findall(r"^def test_", code, re.M))
    if tests:
        (tmp_path / "test_layer.py").write_text(code)
        cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_layer.py"]
    else:
        (tmp_path / "example.py").write_text(code)
        cmd = [sys.executable, "example.py"]
    proc = subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    if tests:
        assert f"{tests} passed" in proc.stdout, proc.stdout


def test_zq_core_leaves_nothing_for_the_next_test(pytester):
    pytester.makepyfile("""
        from zq.csdk import c_sdk

        BEFORE = vars(c_sdk).get("f")

        def test_scripts_everything(zq_core):
            c_sdk.py_zqi_set_data_callback(lambda t, d: None)
            zq_core.set_status("zqi_place_order_pb", 7)
            zq_core.set_log_capacity(2)
            zq_core.deliver_during("zqi_place_order_pb", 1)
            zq_core.queue_event(b"left", b"over")
            zq_core.queue_event(b"left", b"over")
            assert c_sdk.py_zqi_place_order(b"x") == (7, None)
            assert zq_core.queue_size() == 1

        def test_finds_the_defaults(zq_core):
            assert vars(c_sdk).get("f") is BEFORE
            assert (zq_core.queue_size(), zq_core.calls(), zq_core.log_capacity()) == (0, [], 10000)
            assert c_sdk.py_zqi_place_order(b"y") == (0, b"y")
    """)
    pytester.runpytest_inprocess("-p", "no:cacheprovider").assert_outcomes(passed=2)
