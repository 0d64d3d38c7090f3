"""The type stubs src/zq/csdk/c_sdk.pyi against the installed module.

mypy's stubtest compares names, kinds and the signatures it can read at run
time.  The adapters bound through adapt_to_python3 accept any arguments at
run time, so their declared parameters and result types are checked here by
calling every wrapper as its stub says (against the stand-in core), and
calling it with a str where the stub does not allow one.
"""
import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

from zq.csdk import c_sdk

ROOT = Path(__file__).resolve().parent.parent
STUB = Path(c_sdk.__file__).with_name("c_sdk.pyi")
DOCUMENTED = {"c_status_ok", "c_status_fail", "adapt_to_python3"}


def stub_functions():
    """name -> (params [(name, annotation)], result annotation, adapted) for every wrapper in the stub."""
    tree = ast.parse(STUB.read_text())
    defs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    out = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and isinstance(node.value, ast.Call) and ast.unparse(node.value.func) == "_adapted":
            name, inner = node.targets[0].id, defs[node.value.args[0].id]
            out[name] = (inner, True)
        elif isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            out[node.name] = (node, False)
    return {name: ([(a.arg, ast.unparse(a.annotation)) for a in fn.args.args], ast.unparse(fn.returns), adapted)
            for name, (fn, adapted) in out.items() if name.startswith(("py_", "zqi_"))}


STUBS = stub_functions()
SAMPLES = {"str | bytes | bytearray": "abc", "bytes | bytearray": b"abc", "SupportsInt": 3,
           "SupportsFloat | SupportsIndex": 1.5, "object": True, "_Handler": lambda msg_type, data: None}
RESULTS = {"tuple[int, bytes | None]": lambda r: isinstance(r, tuple) and len(r) == 2 and isinstance(r[0], int)
           and isinstance(r[1], (bytes, type(None))),
           "int": lambda r: type(r) is int, "float": lambda r: type(r) is float, "None": lambda r: r is None,
           "bytes": lambda r: type(r) is bytes, "bytes | None": lambda r: isinstance(r, (bytes, type(None)))}


def test_stubtest_finds_no_difference(tmp_path):
    pytest.importorskip("mypy.stubtest")
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zq.csdk.c_sdk"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stub_is_generated_from_the_current_table():
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_stubs.py"), "--check"], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert (ROOT / "src" / "zq" / "csdk" / "c_sdk.pyi").read_text() == STUB.read_text()


def test_stub_declares_every_callable_of_the_namespace():
    public = {n for n, v in vars(c_sdk).items() if callable(v) and not n.startswith("_")
              and not isinstance(v, type) and n not in ("f",)}
    helpers = {"is_windows", "is_linux", "adapt_to_python3", "c_status_ok", "c_status_fail"}
    assert public - helpers == set(STUBS)
    assert {n for n, (_, _, adapted) in STUBS.items() if adapted} == {
        n for n in public if type(getattr(c_sdk, n)).__name__ == "adapter"}
    assert sum(adapted for _, _, adapted in STUBS.values()) == 60


@pytest.mark.parametrize("name", sorted(n for n, (_, _, adapted) in STUBS.items() if not adapted)
                         + sorted(DOCUMENTED | {"is_windows", "is_linux"}))
def test_function_signature_and_doc(name):
    fn = getattr(c_sdk, name)
    if name.startswith("zqi_"):  # direct callables: named "wrap", their C signature as doc
        assert fn.__name__ == "wrap" and fn.__doc__.startswith("wrap(")
        return
    assert fn.__name__ == name
    sig = inspect.signature(fn)  # from __text_signature__
    if name in STUBS:
        assert list(sig.parameters) == [p for p, _ in STUBS[name][0]]
    assert (fn.__doc__ is None) == (name not in DOCUMENTED)


@pytest.mark.parametrize("name", sorted(STUBS))
def test_called_as_the_stub_says(m, core, name):
    params, result, adapted = STUBS[name]
    kwargs = {p: SAMPLES[ann] for p, ann in params}
    assert RESULTS[result](getattr(m, name)(**kwargs))
    text = [p for p, ann in params if ann == "bytes | bytearray"]
    if text:  # where the stub takes no str, the module refuses one
        before = len(core.calls())
        with pytest.raises(TypeError):
            getattr(m, name)(**{**kwargs, text[0]: "abc"})
        assert len(core.calls()) == before


def test_example_type_checks_against_the_stubs():
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, "examples"],
                          capture_output=True, text=True, cwd=ROOT, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
