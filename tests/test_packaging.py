"""The installed package's own checks: the core-library check command, the
stand-in announcing itself, and StandIn reaching the very library the
extension loaded (never a second copy)."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from zq.csdk import check_core
from zq.csdk.standin import library_path

ROOT = Path(__file__).resolve().parent.parent
STANDIN = library_path()


def patched(tmp_path, name, *replacements, offset_patch=None):
    """A copy of the stand-in with header bytes set, or names replaced in place (same length) at their first
    occurrence, which is the dynamic string table: the symbol or SONAME by that name is gone."""
    data = bytearray(Path(STANDIN).read_bytes())
    for old, new in replacements:
        assert len(old) == len(new) and old in data, old
        data = data.replace(old, new, 1)
    for offset, value in offset_patch or ():
        data[offset:offset + len(value)] = value
    path = tmp_path / name
    path.write_bytes(bytes(data))
    return path


def run_python(code, **env):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env={**os.environ, **env}, cwd=ROOT)


@pytest.mark.parametrize("make, message", [
    (lambda t: STANDIN, None),
    (lambda t: patched(t, "libzq3-c.so", (b"\0zqi_now_plus\0", b"\0zqi_now_plux\0")),
     "missing 1 of 187 core functions: zqi_now_plus"),
    (lambda t: patched(t, "libzq3-c.so", (b"\0zqi_init\0", b"\0zqi_inix\0"), (b"\0zqi_run\0", b"\0zqi_ruX\0")),
     "missing 2 of 187 core functions: zqi_init, zqi_run"),
    (lambda t: patched(t, "libzq3-c.so", offset_patch=[(18, b"\xb7\x00")]),
     "wrong architecture: built for 64-bit aarch64, this interpreter runs on 64-bit x86-64"),
    (lambda t: patched(t, "libzq3-c.so", offset_patch=[(4, b"\x01")]), "wrong architecture: built for 32-bit"),
    (lambda t: patched(t, "libzq3-c.so", (b"\0libzq3-c.so\0", b"\0libzq3-x.so\0")),
     "its SONAME is 'libzq3-x.so'; the extension needs 'libzq3-c.so'"),
    (lambda t: Path(shutil.copy(ROOT / "README.md", t / "libzq3-c.so")), "not a shared library (not an ELF file)"),
    (lambda t: Path(sys.executable).resolve(), "not a shared library ("),
    (lambda t: t, "not a shared library (a directory)"),
    (lambda t: t / "absent.so", "cannot read (No such file or directory)"),
])
def test_check_command(tmp_path, make, message):
    path = make(tmp_path)
    proc = subprocess.run([sys.executable, "-m", "zq.csdk.check_core", str(path)], capture_output=True, text=True,
                          timeout=60)
    if message is None:
        assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
        assert "all 187 core functions" in proc.stdout
    else:
        assert proc.returncode == 1 and proc.stdout == ""
        assert proc.stderr.startswith(f"check_core: {path}: {message}") and proc.stderr.count("\n") == 1


def test_check_command_list_is_the_contract_header():
    header = check_core.functions_from_header(ROOT / "native" / "csdk" / "core_api.h")
    assert list(check_core.CORE_FUNCTIONS) == header and len(set(header)) == 187


RUN = "from zq.csdk import c_sdk; c_sdk.zqi_init(); c_sdk.py_zqi_run(); c_sdk.zqi_init(); c_sdk.py_zqi_run()"


@pytest.mark.parametrize("prelude, announced", [("", True), ("from zq.csdk.standin import StandIn; StandIn(); ", False)])
def test_stand_in_says_once_what_it_is_unless_a_test_took_control(prelude, announced):
    proc = run_python(prelude + RUN)
    assert proc.returncode == 0, proc.stderr
    line = "libzq3-c.so: this is the stand-in core library for tests, not the vendor's: " \
           "no server is reached and no order is placed\n"
    assert proc.stderr == (line if announced else "")


CONTROL = """
from zq.csdk import c_sdk
from zq.csdk.standin import StandIn, library_path
core = StandIn()
core.set_status("zqi_place_order_pb", 7)
print(c_sdk.py_zqi_place_order(b"x")[0], core.call_count("zqi_place_order_pb"), library_path())
"""


def test_standin_controls_the_instance_the_extension_loaded(tmp_path):
    # A copy without the control API earlier on LD_LIBRARY_PATH: the extension's
    # own search path wins, and StandIn reaches the stand-in it uses.
    decoy = patched(tmp_path, "libzq3-c.so", (b"\0zqstub_reset\0", b"\0zqstux_reset\0"))
    proc = run_python(CONTROL, LD_LIBRARY_PATH=str(decoy.parent))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["7", "1", str(Path(STANDIN).resolve())]
    # Preloaded, that copy is the one the extension uses, and it is not the stand-in.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(decoy)]))  # sanitizer runtimes first
    proc = run_python(CONTROL, LD_PRELOAD=preload)
    assert proc.returncode == 1
    assert proc.stderr.splitlines()[-1] == \
        f"RuntimeError: the libzq3-c.so the extension loaded ({decoy}) is not the stand-in"


def test_the_kit_requires_the_extension_of_its_release():
    from importlib import metadata

    release = metadata.version("zq-csdk")
    assert metadata.requires("zq-csdk-devkit") == [f"zq-csdk=={release}"]
    assert metadata.version("zq-csdk-devkit") == metadata.version("zq-csdk-sdk-standin") == release
