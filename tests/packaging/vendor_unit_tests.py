"""The README's unit tests where a vendor build and the development kit are installed.

    python tests/packaging/vendor_unit_tests.py PYTHON WORKDIR

PYTHON is the interpreter of a virtual environment holding a vendor build of
zq-csdk (its own libzq3-c.so beside the extension), zq-csdk-devkit, the stand-in
SDK modules and pytest.  The README's test file, saved in WORKDIR, must fail
when run directly, every test with the one line naming
`python -m zq.csdk.standin exec`, and pass when run through that command.
Exit status 0 when both hold, 1 with what went wrong otherwise.
"""
from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def main(python: str, workdir: str) -> int:
    work = Path(workdir)
    work.mkdir(parents=True, exist_ok=True)
    blocks = re.findall(r"^```python\n(.*?)^```$", README.read_text(), re.M | re.S)
    code = next(b for b in blocks if "def test_" in b and "zq_core" in b)
    tests = len(re.findall(r"^def test_", code, re.M))
    (work / "test_layer.py").write_text(code)
    # The environment's own commands first on PATH, as in an activated venv.
    env = {**os.environ, "PATH": f"{Path(python).parent}{os.pathsep}{os.environ.get('PATH', '')}"}
    pytest = ["python", "-m", "pytest", "-p", "no:cacheprovider", "test_layer.py"]
    failures = []

    direct = subprocess.run(pytest, cwd=work, env=env, capture_output=True, text=True, timeout=300)
    hint = re.compile(r"^zq_core: the extension loaded (\S+), not the stand-in; run the tests with: "
                      r"python -m zq\.csdk\.standin exec -- python -m pytest -p no:cacheprovider test_layer\.py$", re.M)
    hints = hint.findall(direct.stdout)
    if direct.returncode != 1 or len(hints) != tests or not all(p.endswith("/zq/csdk/libzq3-c.so") for p in hints):
        failures.append(f"run directly: status {direct.returncode}, {len(hints)} of {tests} tests failed with the "
                        f"hint naming the vendor core:\n{direct.stdout}{direct.stderr}")
    through = subprocess.run([python, "-m", "zq.csdk.standin", "exec", "--", *pytest], cwd=work, env=env,
                             capture_output=True, text=True, timeout=300)
    if through.returncode != 0 or f"{tests} passed" not in through.stdout:
        failures.append(f"run through exec: status {through.returncode}:\n{through.stdout}{through.stderr}")
    for failure in failures:
        print(f"vendor_unit_tests: {failure}", file=sys.stderr)
    if not failures:
        print(f"vendor_unit_tests: beside the vendor core the README's {tests} tests fail with the hint, "
              "and pass through exec")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
