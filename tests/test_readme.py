"""The testing kit as a user's project sees it: the README's Python examples run
exactly as printed in a folder outside the repository (pytest finding the
zq_core fixture through the development kit's entry point alone), beside
another core only through `python -m zq.csdk.standin exec`, and the fixture
keeps one test's scripting away from the next."""
import os
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


@pytest.mark.parametrize("launch", [[], [sys.executable, "-m", "zq.csdk.standin", "exec", "--"]],
                         ids=["run directly", "through exec"])
def test_readme_tests_beside_another_core(tmp_path, other_core, launch):
    # Another core loaded instead of the stand-in, as a vendor build's would be.
    code = next(code for _, code in BLOCKS if "zq_core" in code)
    tests = len(re.findall(r"^def test_", code, re.M))
    (tmp_path / "test_layer.py").write_text(code)
    env = {**os.environ, "LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(other_core)]))}
    proc = subprocess.run([*launch, sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_layer.py"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    if launch:
        assert proc.returncode == 0 and f"{tests} passed" in proc.stdout, proc.stdout + proc.stderr
    else:
        hint = (f"zq_core: the extension loaded {other_core}, not the stand-in; run the tests with: "
                "python -m zq.csdk.standin exec -- python -m pytest -q -p no:cacheprovider test_layer.py")
        assert proc.returncode == 1 and proc.stdout.splitlines().count(hint) == tests, proc.stdout + proc.stderr


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
