"""python -m zq.csdk.standin exec -- CMD: a command run on the stand-in core, whichever core the extension
would load otherwise, with the command's exit status; a command that cannot run says why in one line."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from zq.csdk import _launch
from zq.csdk.standin import library_path

ROOT = Path(__file__).resolve().parent.parent
STANDIN = library_path()
USAGE = "usage: python -m zq.csdk.standin exec -- CMD [ARGS...]"


def kit_without_library(folder):
    """The installed launcher, copied where no stand-in library is beside it."""
    kit = folder / "zq" / "csdk"
    kit.mkdir(parents=True)
    for module in ("standin.py", "_launch.py"):
        shutil.copy(Path(_launch.__file__).with_name(module), kit)
    return {"PYTHONPATH": str(folder)}


@pytest.mark.parametrize("args, setup, line, status", [
    (["exec"], None, f"no command given; {USAGE}", 2),
    (["exec", "--"], None, f"no command given; {USAGE}", 2),
    (["run", "--", "true"], None, f"unknown command 'run'; {USAGE}", 2),
    (["exec", "--", "zq-no-such-command"], None, "command not found: zq-no-such-command", 127),
    (["exec", str(ROOT / "README.md")], None, f"command not executable: {ROOT / 'README.md'}", 126),
    (["exec", "--", "true"], kit_without_library, "no stand-in core library is installed (looked for {tmp}/zq/csdk/"
     "_standin/libzq3-c.so); install the development kit, zq-csdk-devkit", 2),
])
def test_a_command_that_cannot_run_is_one_line(tmp_path, args, setup, line, status):
    env = {**os.environ, **(setup(tmp_path) if setup else {})}
    proc = subprocess.run([sys.executable, "-m", "zq.csdk.standin", *args], capture_output=True, text=True,
                          env=env, timeout=60)
    assert (proc.returncode, proc.stdout, proc.stderr) == (status, "", f"zq.csdk.standin: {line.format(tmp=tmp_path)}\n")


REPORT = """
import os, signal, sys
from zq.csdk.standin import library_path
print(library_path())
print(os.environ["LD_PRELOAD"])
sys.stdout.flush()
{end}
"""


@pytest.mark.parametrize("end, status", [("sys.exit(3)", 3), ("os.kill(os.getpid(), signal.SIGTERM)", 128 + 15)])
def test_exec_runs_the_command_on_the_stand_in(other_core, end, status):
    # Another core preloaded (after a sanitizer runtime, if any): exec puts the stand-in in its place.
    before = os.environ.get("LD_PRELOAD", "").split()
    env = {**os.environ, "LD_PRELOAD": " ".join([*before, str(other_core)])}
    proc = subprocess.run([sys.executable, "-m", "zq.csdk.standin", "exec", "--", sys.executable, "-c",
                           REPORT.format(end=end)], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == status, proc.stderr
    loaded, preload = proc.stdout.splitlines()
    assert os.path.samefile(loaded, STANDIN)
    assert preload.split()[:-1] == before and os.path.samefile(preload.split()[-1], STANDIN)
