"""c_status_ok, c_status_fail and the two error-text lookups."""
import builtins
import logging

import pytest


class Logger:
    def __init__(self):
        self.lines = []

    def debug(self, *args, **kwargs):
        self.lines.append((args, kwargs))


@pytest.fixture
def log(m):
    logger = Logger()
    m.zqsdklogger = logger
    return logger


class Answer:
    """A success value whose comparisons answer with fixed objects."""

    def __init__(self, eq, ne):
        self.eq, self.ne = eq, ne

    def __eq__(self, other):
        return self.eq

    def __ne__(self, other):
        return self.ne


def test_docstrings(m):
    assert m.c_status_ok.__doc__ == "\n    c api 调用返回值status是否ok\n    "
    assert m.c_status_fail.__doc__ == "\n    c api 调用返回值status是否fail\n    "
    assert m.py_zqi_strerror.__doc__ is None and m.py_zqi_get_ext_errormsg.__doc__ is None


def test_success_logs_nothing_and_calls_nothing(m, core, log):
    assert m.c_status_ok(m.CSDK_OPERATE_SUCCESS) is True
    assert m.c_status_ok(status=-1) is False
    assert m.c_status_fail(m.CSDK_OPERATE_SUCCESS) is False
    assert m.c_status_fail(0, "zqi_run") is False
    assert m.c_status_fail(0.0) is False and m.c_status_ok(False) is True
    assert log.lines == [] and core.calls() == []


@pytest.mark.parametrize("args, kwargs, line", [
    ((3,), {}, "invoke c fun error code=3, error info=bad thing"),
    ((3, ""), {}, "invoke c fun error code=3, error info=bad thing"),
    ((3, None), {}, "invoke c fun error code=3, error info=bad thing"),
    ((3, 0), {}, "invoke c fun error code=3, error info=bad thing"),
    ((-3,), {"cfunname": "zqi_run"}, "invoke c fun=zqi_run error code=-3, error info=bad thing"),
    ((), {"status": 3, "cfunname": "zqi_run"}, "invoke c fun=zqi_run error code=3, error info=bad thing"),
    ((3, ["zqi_x"]), {}, "invoke c fun=['zqi_x'] error code=3, error info=bad thing"),
    ((True,), {}, "invoke c fun error code=True, error info=bad thing"),
    ((7.9,), {}, "invoke c fun error code=7.9, error info=bad thing"),
])
def test_failure_logs_one_debug_line(m, core, log, args, kwargs, line):
    core.set_reply("zqi_strerror", b"bad thing")
    assert m.c_status_fail(*args, **kwargs) is True
    assert log.lines == [((line,), {})]
    status = kwargs.get("status", args[0] if args else None)
    assert [(c.fn, c.args) for c in core.calls()] == [("zqi_strerror", [int(status)])]


def test_failure_goes_to_the_sdk_logger_at_debug_level(m, core, caplog):
    core.set_reply("zqi_strerror", "连接断开".encode())
    with caplog.at_level(logging.DEBUG, logger="zq"):
        assert m.c_status_fail(12, "zqi_init") is True
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("zq", logging.DEBUG, "invoke c fun=zqi_init error code=12, error info=连接断开")]


def test_comparison_results_are_returned_unchanged(m, core, log):
    marker = object()
    m.CSDK_OPERATE_SUCCESS = Answer(marker, "")
    assert m.c_status_ok(1) is marker
    assert m.c_status_fail(1) == "" and log.lines == []  # a false result: no logging
    m.CSDK_OPERATE_SUCCESS = Answer(False, [1])
    core.set_reply("zqi_strerror", b"e")
    assert m.c_status_fail(1) == [1] and log.lines == [(("invoke c fun error code=1, error info=e",), {})]


def test_success_value_is_looked_up_at_every_call(m, log):
    m.CSDK_OPERATE_SUCCESS = 5
    assert m.c_status_ok(5) is True and m.c_status_ok(0) is False and m.c_status_fail(5) is False
    m.CSDK_OPERATE_SUCCESS = 2**80
    assert m.c_status_ok(2**80) is True and m.c_status_fail(2**80) is False
    del m.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="CSDK_OPERATE_SUCCESS"):
        m.c_status_ok(0)
    with pytest.raises(NameError, match="CSDK_OPERATE_SUCCESS"):
        m.c_status_fail(0)
    builtins.CSDK_OPERATE_SUCCESS = 9  # the builtins are the fallback
    try:
        assert m.c_status_ok(9) is True and m.c_status_fail(9) is False
    finally:
        del builtins.CSDK_OPERATE_SUCCESS


def test_a_raising_comparison_propagates(m, log):
    class Bad:
        def __eq__(self, other):
            raise ArithmeticError("eq")

        __ne__ = __eq__

    m.CSDK_OPERATE_SUCCESS = Bad()
    with pytest.raises(ArithmeticError):
        m.c_status_ok(0)
    with pytest.raises(ArithmeticError):
        m.c_status_fail(0)
    m.CSDK_OPERATE_SUCCESS = Answer(False, Bad())  # the truth value of the result raises
    Bad.__bool__ = lambda self: 1 / 0
    with pytest.raises(ZeroDivisionError):
        m.c_status_fail(0)
    assert log.lines == []


@pytest.mark.parametrize("status, error, text", [
    ((1, b"reply"), TypeError, "^an integer is required$"),  # a whole reply pair
    ("x", TypeError, "^an integer is required$"),
    (None, TypeError, "^an integer is required$"),
    (2**31, OverflowError, "^value too large to convert to int$"),
])
def test_unconvertible_failing_status_raises(m, core, log, status, error, text):
    with pytest.raises(error, match=text):
        m.c_status_fail(status, "zqi_run")
    assert log.lines == [] and core.calls() == []


def test_error_text_must_be_utf8(m, core, log):
    core.set_reply("zqi_strerror", b"\xff")
    with pytest.raises(UnicodeDecodeError):
        m.c_status_fail(1)
    assert log.lines == []


def test_error_text_and_logger_are_looked_up_at_every_call(m, core, log):
    seen = []
    m.py_zqi_strerror = lambda *args, **kwargs: seen.append((args, kwargs)) or b"from python"
    assert m.c_status_fail(4) is True
    assert seen == [((4,), {})] and core.calls() == []
    assert log.lines == [(("invoke c fun error code=4, error info=from python",), {})]
    m.py_zqi_strerror = lambda status: "not bytes"
    with pytest.raises(AttributeError, match="decode"):
        m.c_status_fail(4)
    del m.py_zqi_strerror
    with pytest.raises(NameError, match="py_zqi_strerror"):
        m.c_status_fail(4)
    assert m.c_status_fail(0) is False  # success needs neither


def test_logger_errors_propagate(m, core):
    class Raising:
        def debug(self, msg):
            raise RuntimeError(msg)

    m.zqsdklogger = Raising()
    with pytest.raises(RuntimeError, match="^invoke c fun error code=2, error info="):
        m.c_status_fail(2)
    m.zqsdklogger = object()
    with pytest.raises(AttributeError, match="debug"):
        m.c_status_fail(2)
    del m.zqsdklogger
    with pytest.raises(NameError, match="zqsdklogger"):
        m.c_status_fail(2)
    assert m.c_status_fail(0) is False


@pytest.mark.parametrize("call, text", [
    (lambda m: m.c_status_ok(), r"c_status_ok\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda m: m.c_status_ok(0, 1), r"c_status_ok\(\) takes exactly 1 positional argument \(2 given\)"),
    (lambda m: m.c_status_ok(stat=0), r"c_status_ok\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda m: m.c_status_ok(0, x=1), r"c_status_ok\(\) got an unexpected keyword argument 'x'"),
    (lambda m: m.c_status_fail(), r"c_status_fail\(\) takes at least 1 positional argument \(0 given\)"),
    (lambda m: m.c_status_fail(cfunname="f"), r"c_status_fail\(\) takes at least 1 positional argument \(0 given\)"),
    (lambda m: m.c_status_fail(1, "f", 3), r"c_status_fail\(\) takes at most 2 positional arguments \(3 given\)"),
    (lambda m: m.c_status_fail(1, status=1), r"c_status_fail\(\) got multiple values for keyword argument 'status'"),
    (lambda m: m.c_status_fail(1, "f", cfunname="g"),
     r"c_status_fail\(\) got multiple values for keyword argument 'cfunname'"),
    (lambda m: m.c_status_fail(1, name="f"), r"c_status_fail\(\) got an unexpected keyword argument 'name'"),
    (lambda m: m.py_zqi_strerror(), r"py_zqi_strerror\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda m: m.py_zqi_strerror(1, errno=1), r"py_zqi_strerror\(\) got an unexpected keyword argument 'errno'"),
    (lambda m: m.py_zqi_get_ext_errormsg(1), r"py_zqi_get_ext_errormsg\(\) takes no arguments \(1 given\)"),
    (lambda m: m.py_zqi_get_ext_errormsg(x=1), r"py_zqi_get_ext_errormsg\(\) takes no keyword arguments"),
])
def test_argument_errors(m, core, log, call, text):
    with pytest.raises(TypeError, match=f"^{text}$"):
        call(m)
    assert log.lines == [] and core.calls() == []


@pytest.mark.parametrize("value, received", [(-1, -1), (7.9, 7), (-7.9, -7), (True, 1), (2**31 - 1, 2**31 - 1)])
def test_strerror_converts_its_code(m, core, value, received):
    core.set_reply("zqi_strerror", "错误".encode())
    assert m.py_zqi_strerror(value) == "错误".encode()
    assert m.py_zqi_strerror(errorno=value) == "错误".encode()
    assert [(c.fn, c.args) for c in core.calls()] == [("zqi_strerror", [received])] * 2


@pytest.mark.parametrize("value, error", [(2**31, OverflowError), (-2**31 - 1, OverflowError), ("1", TypeError),
                                          (b"1", TypeError)])
def test_strerror_refuses_bad_codes_without_calling(m, core, value, error):
    with pytest.raises(error):
        m.py_zqi_strerror(value)
    assert core.calls() == []


def test_ext_errormsg(m, core):
    core.set_reply("zqi_get_ext_errormsg", b"\xfflast")
    assert m.py_zqi_get_ext_errormsg() == b"\xfflast"  # bytes, never decoded
    assert [c.fn for c in core.calls()] == ["zqi_get_ext_errormsg"]
