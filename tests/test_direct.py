"""The fourteen core functions exposed directly as module attributes."""
import ctypes
import warnings

import pytest

from zq.csdk.standin import NULL_TEXT

# name: (parameters, docstring)
DIRECT = {
    "zqi_add_bus_topic": (["topic"], "wrap(topic: 'const char *') -> 'void'"),
    "zqi_get_c_version": ([], "wrap() -> 'const char *'"),
    "zqi_get_encrypted_token": ([], "wrap() -> 'const char *'"),
    "zqi_get_ext_errormsg": ([], "wrap() -> 'const char *'"),
    "zqi_get_orgcode": ([], "wrap() -> 'const char *'"),
    "zqi_init": ([], "wrap() -> 'int'"),
    "zqi_now": ([], "wrap() -> 'long long'"),
    "zqi_now_plus": ([], "wrap() -> float"),
    "zqi_poll": ([], "wrap() -> 'int'"),
    "zqi_send_msg_to_bus": (["topic", "msg"], "wrap(topic: 'const char *', msg: 'const char *') -> 'int'"),
    "zqi_set_bus_info": (["server_addr", "user_name", "password"],
                         "wrap(server_addr: 'const char *', user_name: 'const char *', password: 'const char *')"
                         " -> 'void'"),
    "zqi_set_bus_secure": (["in_mode", "tlsca", "tlscert", "tlskey", "skip_verify"],
                           "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', "
                           "tlskey: 'const char *', skip_verify: 'bool') -> 'void'"),
    "zqi_set_mode": (["mode"], "wrap(mode: 'int') -> 'void'"),
    "zqi_strerror": (["errorno"], "wrap(errorno: 'int') -> 'const char *'"),
}
TEXT_RESULTS = ["zqi_get_c_version", "zqi_get_encrypted_token", "zqi_get_ext_errormsg", "zqi_get_orgcode"]
NO_ARGS = [n for n, (params, _) in DIRECT.items() if not params]
WITH_ARGS = [n for n, (params, _) in DIRECT.items() if params]
# Valid arguments for each callable with parameters.
VALID = {
    "zqi_add_bus_topic": (b"t",),
    "zqi_send_msg_to_bus": (b"t", b"m"),
    "zqi_set_bus_info": (b"s", b"u", b"p"),
    "zqi_set_bus_secure": (1, b"a", b"b", b"c", True),
    "zqi_set_mode": (2,),
    "zqi_strerror": (3,),
}


def one_call(core, fn):
    calls = core.calls()
    assert [c.fn for c in calls] == [fn]
    return calls[0].args


@pytest.mark.parametrize("name", DIRECT)
def test_name_and_docstring(m, name):
    fn = getattr(m, name)
    assert fn.__name__ == "wrap" and fn.__doc__ == DIRECT[name][1] and fn.__module__ == "c_sdk"


@pytest.mark.parametrize("name", WITH_ARGS)
def test_parameters_bind_by_keyword_in_any_order(m, core, name):
    params = DIRECT[name][0]
    getattr(m, name)(**dict(reversed(list(zip(params, VALID[name])))))
    by_keyword = one_call(core, name)
    core.clear_log()
    getattr(m, name)(*VALID[name][:1], **dict(zip(params[1:], VALID[name][1:])))
    assert one_call(core, name) == by_keyword == [v if not isinstance(v, bool) else 1 for v in VALID[name]]


def test_results(m, core):
    core.set_reply("zqi_get_c_version", b"9.1")
    core.set_reply("zqi_strerror", b"\xe9\x94\x99")
    core.set_status("zqi_init", -7)
    core.set_status("zqi_poll", 5)
    core.set_status("zqi_send_msg_to_bus", -2)
    assert m.zqi_get_c_version() == b"9.1"
    assert m.zqi_strerror(1) == b"\xe9\x94\x99"  # never decoded
    assert m.zqi_init() == -7 and m.zqi_poll() == 5 and m.zqi_send_msg_to_bus(b"t", b"m") == -2
    assert type(m.zqi_now()) is int and type(m.zqi_now_plus()) is float
    assert m.zqi_set_mode(1) is None and m.zqi_add_bus_topic(b"t") is None
    assert m.zqi_set_bus_info(b"", b"", b"") is None and m.zqi_set_bus_secure(0, b"", b"", b"", 0) is None
    for name in TEXT_RESULTS:
        assert type(getattr(m, name)()) is bytes


@pytest.mark.parametrize("name", TEXT_RESULTS + ["zqi_strerror"])
def test_null_text_from_the_core_does_not_crash(m, core, name):
    core.set_mode(name, NULL_TEXT)
    try:
        result = getattr(m, name)(*VALID.get(name, ()))
    except Exception:  # refusing the result is as good as an empty one
        return
    assert result == b""


class Bytes(bytes):
    pass


class Bytearray(bytearray):
    pass


@pytest.mark.parametrize("value, received", [
    (b"topic", b"topic"),
    (bytearray(b"topic"), b"topic"),
    (Bytes(b"topic"), b"topic"),
    (Bytearray(b"topic"), b"topic"),
    (b"", b""),
    (bytearray(), b""),  # an empty text, not NULL
    (b"to\0pic", b"to"),
    (bytearray(b"\0x"), b""),
])
def test_text_accepted(m, core, value, received):
    m.zqi_add_bus_topic(value)
    call = core.calls()[0]
    assert call.args == [received] and call.text_ptrs[0] != 0


def test_text_passed_without_copying(m, core):
    value = bytearray(b"abc")
    m.zqi_send_msg_to_bus(b"x", value)
    address = ctypes.addressof(ctypes.c_char.from_buffer(value))
    assert core.calls()[0].text_ptrs[1] == address
    core.clear_log()
    text = b"def"
    m.zqi_add_bus_topic(text)
    assert core.calls()[0].text_ptrs[0] == ctypes.cast(ctypes.c_char_p(text), ctypes.c_void_p).value


@pytest.mark.parametrize("value, found", [
    ("topic", "str"), (memoryview(b"t"), "memoryview"), (None, "NoneType"), (1, "int"), ([b"t"], "list"),
])
def test_text_refused(m, core, value, found):
    with pytest.raises(TypeError, match=rf"^expected bytes, {found} found$"):
        m.zqi_add_bus_topic(value)
    with pytest.raises(TypeError, match=rf"^expected bytes, {found} found$"):
        m.zqi_set_bus_info(b"s", b"u", value)
    assert core.calls() == []


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class IntSub(int):
    pass


class IndexOnly:
    def __index__(self):
        return 1


class Failing:
    def __int__(self):
        raise ZeroDivisionError("no int")

    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("value, received", [
    (2, 2), (-5, -5), (2**31 - 1, 2**31 - 1), (-2**31, -2**31), (True, 1), (False, 0), (IntSub(7), 7),
    (2.9, 2), (-2.9, -2), (IntLike(9), 9), (IntLike(IntSub(4)), 4),
])
def test_int_accepted(m, core, value, received):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        m.zqi_set_mode(value)
    assert one_call(core, "zqi_set_mode") == [received]


def test_int_subclass_from_int_conversion_warns_and_an_error_filter_stops_the_call(m, core):
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSub\)"):
        m.zqi_set_mode(IntLike(IntSub(4)))
    core.clear_log()
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            m.zqi_set_mode(IntLike(IntSub(4)))
    assert core.calls() == []


@pytest.mark.parametrize("value, error, text", [
    (2**31, OverflowError, "^value too large to convert to int$"),
    (-2**31 - 1, OverflowError, "^value too large to convert to int$"),
    (2**63, OverflowError, None),  # past 64 bits: the interpreter's own text
    (-2**70, OverflowError, None),
    (float(2**40), OverflowError, "^value too large to convert to int$"),
    ("3", TypeError, "^an integer is required$"),
    (None, TypeError, "^an integer is required$"),
    (b"3", TypeError, "^an integer is required$"),
    (IndexOnly(), TypeError, "^an integer is required$"),
    (IntLike("7"), TypeError, r"^__int__ returned non-int \(type str\)$"),
    (IntLike(7.0), TypeError, r"^__int__ returned non-int \(type float\)$"),
    (Failing(), ZeroDivisionError, "^no int$"),
    (float("nan"), ValueError, None),
    (float("inf"), OverflowError, None),
])
def test_int_refused(m, core, value, error, text):
    with pytest.raises(error, match=text):
        m.zqi_set_mode(value)
    with pytest.raises(error, match=text):
        m.zqi_strerror(errorno=value)
    assert core.calls() == []


class Truthy:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length


@pytest.mark.parametrize("value, received", [
    (True, 1), (False, 0), (None, 0), ([], 0), ([0], 1), (0, 0), (-3, 1), (0.0, 0), ("", 0), ("x", 1),
    (Truthy(0), 0), (Truthy(2), 1), (object(), 1),
])
def test_bool_is_the_truth_value(m, core, value, received):
    m.zqi_set_bus_secure(1, b"a", b"b", b"c", value)
    assert one_call(core, "zqi_set_bus_secure") == [1, b"a", b"b", b"c", received]


def test_conversion_runs_left_to_right_and_stops_at_the_first_failure(m, core):
    with pytest.raises(TypeError, match="^an integer is required$"):
        m.zqi_set_bus_secure("1", "a", b"b", b"c", Failing())
    with pytest.raises(TypeError, match="^expected bytes, str found$"):
        m.zqi_set_bus_secure(1, b"a", "b", b"c", Failing())
    with pytest.raises(ZeroDivisionError, match="^no truth$"):
        m.zqi_set_bus_secure(1, b"a", b"b", b"c", Failing())
    with pytest.raises(ValueError):
        m.zqi_set_bus_secure(1, b"a", b"b", b"c", Truthy(-1))
    assert core.calls() == []


@pytest.mark.parametrize("name", NO_ARGS)
def test_no_arguments_accepted(m, core, name):
    fn = getattr(m, name)
    with pytest.raises(TypeError, match=r"^wrap\(\) takes no arguments \(1 given\)$"):
        fn(1)
    with pytest.raises(TypeError, match=r"^wrap\(\) takes no arguments \(2 given\)$"):
        fn(None, None)
    with pytest.raises(TypeError, match=r"^wrap\(\) takes no keyword arguments$"):
        fn(x=1)
    with pytest.raises(TypeError, match=r"^wrap\(\) takes no keyword arguments$"):
        fn(1, x=1)
    assert core.calls() == []


@pytest.mark.parametrize("call, text", [
    (lambda m: m.zqi_set_mode(), r"wrap\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda m: m.zqi_set_mode(1, 2), r"wrap\(\) takes exactly 1 positional argument \(2 given\)"),
    (lambda m: m.zqi_set_mode(mod=1), r"wrap\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda m: m.zqi_send_msg_to_bus(b"t"), r"wrap\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda m: m.zqi_send_msg_to_bus(msg=b"m"), r"wrap\(\) takes exactly 2 positional arguments \(0 given\)"),
    (lambda m: m.zqi_send_msg_to_bus(b"t", b"m", b"x"),
     r"wrap\(\) takes exactly 2 positional arguments \(3 given\)"),
    (lambda m: m.zqi_set_bus_info(b"s", password=b"p"),
     r"wrap\(\) takes exactly 3 positional arguments \(1 given\)"),
    (lambda m: m.zqi_set_mode(1, x=2), r"wrap\(\) got an unexpected keyword argument 'x'"),
    (lambda m: m.zqi_set_mode(mode=1, x=2), r"wrap\(\) got an unexpected keyword argument 'x'"),
    (lambda m: m.zqi_set_mode(1, mode=2), r"wrap\(\) got multiple values for keyword argument 'mode'"),
    (lambda m: m.zqi_send_msg_to_bus(b"t", msg=b"m", topic=b"t"),
     r"wrap\(\) got multiple values for keyword argument 'topic'"),
    (lambda m: m.zqi_strerror(**{"errorno": 1, "Errorno": 2}),
     r"wrap\(\) got an unexpected keyword argument 'Errorno'"),
])
def test_argument_errors(m, core, call, text):
    with pytest.raises(TypeError, match=f"^{text}$"):
        call(m)
    assert core.calls() == []


def test_keyword_names_compare_by_value(m, core):
    name = "".join(["er", "rorno"])  # not the interned object
    m.zqi_strerror(**{name: 4})
    assert one_call(core, "zqi_strerror") == [4]
