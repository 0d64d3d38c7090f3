import pytest

from zq.csdk import c_sdk

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
