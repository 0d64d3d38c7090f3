"""The installed package's own checks: the core-library check command, the
stand-in announcing itself, and StandIn reaching the very library the
extension loaded (never a second copy)."""
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from zq.csdk import check_core
from zq.csdk.standin import library_path

ROOT = Path(__file__).resolve().parent.parent
STANDIN = library_path()


def patched(tmp_path, name, *replacements, offset_patch=None, edit=None):
    """A copy of the stand-in with header bytes set, or names replaced in place (same length) at their first
    occurrence, which is the dynamic string table: the symbol or SONAME by that name is gone; `edit` changes
    the bytes in place."""
    data = bytearray(Path(STANDIN).read_bytes())
    for old, new in replacements:
        assert len(old) == len(new) and old in data, old
        data = data.replace(old, new, 1)
    for offset, value in offset_patch or ():
        data[offset:offset + len(value)] = value
    if edit:
        edit(data)
    path = tmp_path / name
    path.write_bytes(bytes(data))
    return path


# Where the fields of the stand-in (64-bit little-endian ELF) are: the program header of a type, the
# section header of a type, the dynamic entry of a tag.
def phdr(d, ptype):
    phoff, phnum = struct.unpack_from("<Q", d, 0x20)[0], struct.unpack_from("<H", d, 0x38)[0]
    return next(o for o in range(phoff, phoff + 56 * phnum, 56) if struct.unpack_from("<I", d, o)[0] == ptype)


def shdr(d, stype):
    shoff, shnum = struct.unpack_from("<Q", d, 0x28)[0], struct.unpack_from("<H", d, 0x3C)[0]
    return next(o for o in range(shoff, shoff + 64 * shnum, 64) if struct.unpack_from("<I", d, o + 4)[0] == stype)


def dyn(d, tag):
    o = struct.unpack_from("<Q", d, phdr(d, 2) + 8)[0]
    while struct.unpack_from("<q", d, o)[0] != tag:
        o += 16
    return o


def sysv_hash(d, nchain=None):
    """The GNU hash table's entry turned into a DT_HASH whose table sits over the build-id note."""
    note = phdr(d, 4)
    address, count = struct.unpack_from("<Q", d, note + 16)[0], struct.unpack_from("<Q", d, shdr(d, 11) + 32)[0] // 24
    struct.pack_into("<II", d, struct.unpack_from("<Q", d, note + 8)[0], 1, count if nchain is None else nchain)
    struct.pack_into("<qQ", d, dyn(d, 0x6FFFFEF5), 4, address)


def strip_sections(d):
    struct.pack_into("<Q", d, 0x28, 0)  # e_shoff
    struct.pack_into("<HH", d, 0x3C, 0, 0)  # e_shnum, e_shstrndx


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
    (lambda t: (os.mkfifo(t / "fifo"), t / "fifo")[1], "not a shared library (not a regular file)"),
    (lambda t: Path(os.devnull), "not a shared library (not a regular file)"),
    # What the dynamic linker reads decides, section headers play no part: stripped or malformed, they pass.
    (lambda t: patched(t, "libzq3-c.so", edit=strip_sections), None),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<Q", d, 0x28, 1 << 63)), None),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<I", d, shdr(d, 11) + 40, 999)), None),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<QQ", d, shdr(d, 11) + 24, 1 << 40, 1 << 40)),
     None),
    (lambda t: patched(t, "libzq3-c.so", edit=sysv_hash), None),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: d.__delitem__(slice(52, None))),
     "not a shared library (truncated ELF header)"),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: d.__delitem__(slice(4096, None))),
     "not a shared library (dynamic section past the end of the file)"),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<Q", d, 0x20, 1 << 63)),
     "not a shared library (program headers past the end of the file)"),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<H", d, 0x36, 0)),
     "not a shared library (malformed program headers)"),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<I", d, phdr(d, 2), 0)),
     "not a shared library (no dynamic section)"),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<Q", d, phdr(d, 2) + 8, 1 << 63)),
     "not a shared library (dynamic section past the end of the file)"),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<Q", d, dyn(d, 6) + 8, 1 << 40)),
     "not a shared library (DT_SYMTAB outside the loaded segments)"),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<q", d, dyn(d, 0x6FFFFEF5), 21)),
     "not a shared library (no symbol hash table)"),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: sysv_hash(d, 1 << 31)),
     "not a shared library (DT_SYMTAB outside the loaded segments)"),
    (lambda t: patched(t, "libzq3-c.so", edit=lambda d: struct.pack_into("<Q", d, dyn(d, 10) + 8, 4)),
     "not a shared library (a name outside the dynamic string table)"),
])
def test_check_command(tmp_path, make, message):
    path = make(tmp_path)
    verdict(["-m", "zq.csdk.check_core", str(path)], path, message)


def verdict(args, named, message):
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=60)
    if message is None:
        assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
        assert "all 187 core functions" in proc.stdout
    else:
        assert proc.returncode == 1 and proc.stdout == ""
        assert proc.stderr.startswith(f"check_core: {named}: {message}") and proc.stderr.count("\n") == 1


# The build's options: the list of functions from a header, and --link, which also wants the section
# headers the link editor reads (without them it links as if the library exported nothing).
@pytest.mark.parametrize("header, edit, named, message", [
    ("core_api.h", None, "lib", None),
    ("absent.h", None, "header", "cannot read (No such file or directory)"),
    ("empty.h", None, "header", "declares no core function"),
    ("core_api.h", strip_sections, "lib", "no section headers, which the build needs to link against it"),
    ("core_api.h", lambda d: struct.pack_into("<Q", d, 0x28, 1 << 40), "lib", "section headers past the end"),
])
def test_check_command_as_the_build_runs_it(tmp_path, header, edit, named, message):
    lib = patched(tmp_path, "libzq3-c.so", edit=edit)
    (tmp_path / "empty.h").write_text("/* int zqi_init(void); */\n#define X 1\n")
    path = ROOT / "native" / "csdk" / header if header == "core_api.h" else tmp_path / header
    verdict([str(ROOT / "src" / "zq" / "csdk" / "check_core.py"), "--link", "--header", str(path), str(lib)],
            lib if named == "lib" else path, message)


def test_check_reads_only_what_it_needs(tmp_path):
    # The stand-in padded to 2 GiB with a hole passes, and is not read whole.  (The peak is VmHWM: ru_maxrss
    # would count the parent's size at the fork.)
    path = patched(tmp_path, "libzq3-c.so")
    os.truncate(path, 1 << 31)
    proc = run_python(f"from zq.csdk import check_core; print(check_core.check({str(path)!r}), "
                      "*[ln.split()[1] for ln in open('/proc/self/status') if ln.startswith('VmHWM:')])")
    assert proc.returncode == 0, proc.stderr
    checked, peak_kib = map(int, proc.stdout.split())
    assert checked == 187 and peak_kib < 512 * 1024


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
