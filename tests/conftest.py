from pathlib import Path

import pytest

from zq.csdk import c_sdk
from zq.csdk.standin import library_path

# pytest's plugin for running whole test files; zq_core comes from the
# development kit's plugin, which pytest loads by itself.
pytest_plugins = ["pytester"]


@pytest.fixture
def m():
    """The module, with the globals tests may rebind restored afterwards."""
    saved = {k: c_sdk.__dict__[k] for k in ("CSDK_OPERATE_SUCCESS", "IS_PY2", "zqsdklogger", "py_zqi_strerror",
                                              "platform", "adapt_to_python3")}
    had_f = "f" in c_sdk.__dict__
    f = c_sdk.__dict__.get("f")
    yield c_sdk
    c_sdk.__dict__.update(saved)
    if had_f:
        c_sdk.f = f
    else:
        c_sdk.__dict__.pop("f", None)


@pytest.fixture
def core(zq_core):
    """The stand-in core library, reset before and after the test (the plugin's zq_core)."""
    return zq_core


@pytest.fixture
def other_core(tmp_path):
    """A copy of the stand-in without its control API: to the extension, another core (a vendor build's)."""
    path = tmp_path / "other" / "libzq3-c.so"
    path.parent.mkdir()
    path.write_bytes(Path(library_path()).read_bytes().replace(b"\0zqstub_reset\0", b"\0zqstux_reset\0", 1))
    return path
