"""adapt_to_python3 and the platform tests."""
import builtins
import sys

import pytest


def recorder():
    """A callee that records what it received and answers with a marker."""
    seen = []

    def func(*args, **kwargs):
        seen.append((args, kwargs))
        return "result"

    return func, seen


class Upper(str):
    def encode(self, *args, **kwargs):
        return ("encoded", self.upper(), args, kwargs)


class Boom:
    def __bool__(self):
        raise ZeroDivisionError("truth")


def test_str_arguments_become_ascii_bytes(m):
    func, seen = recorder()
    items = ["a", "b"]
    result = m.adapt_to_python3(func)("abc", b"raw", 5, None, items, ("t",), key="val", num=2, data=b"x")
    assert result == "result"  # returned unchanged, never converted
    args, kwargs = seen[0]
    assert args == (b"abc", b"raw", 5, None, ["a", "b"], ("t",))
    assert args[4] is items  # containers are passed as they are
    assert kwargs == {"key": b"val", "num": 2, "data": b"x"} and list(kwargs) == ["key", "num", "data"]
    assert type(args[0]) is bytes and type(kwargs["key"]) is bytes


def test_str_subclass_is_encoded_by_its_own_encode(m):
    func, seen = recorder()
    m.adapt_to_python3(func)(Upper("ab"), k=Upper("c"))
    assert seen == [((("encoded", "AB", ("ascii",), {}),), {"k": ("encoded", "C", ("ascii",), {})})]


class Itself(str):
    def encode(self, *args):
        return self


def test_encode_returning_the_str_itself_keeps_its_count(m):
    s = Itself("abc")
    before = sys.getrefcount(s)
    for _ in range(10):
        with pytest.raises(TypeError, match="^expected bytes, Itself found$"):
            m.py_zqi_place_order(s)
        with pytest.raises(TypeError, match="^expected bytes, Itself found$"):
            m.py_zqi_place_order(req=s)
    assert sys.getrefcount(s) == before


def test_callers_keyword_dict_is_not_changed(m):
    func, seen = recorder()
    kwargs = {"a": "x", "b": b"y"}
    m.adapt_to_python3(func)(**kwargs)
    assert kwargs == {"a": "x", "b": b"y"} and seen[0][1] == {"a": b"x", "b": b"y"}
    m.IS_PY2 = True
    m.adapt_to_python3(func)(**kwargs)
    assert seen[1][1] == kwargs and seen[1][1] is not kwargs


@pytest.mark.parametrize("args, kwargs", [
    (("é",), {}), (("ok", "\u4e2d"), {}), ((b"ok",), {"k": "\x80"}), (("ok",), {"a": "ok", "b": "ü"}),
])
def test_non_ascii_text_raises_and_nothing_is_called(m, args, kwargs):
    func, seen = recorder()
    with pytest.raises(UnicodeEncodeError):
        m.adapt_to_python3(func)(*args, **kwargs)
    assert seen == []


def test_non_ascii_bytes_pass_unchanged(m):
    func, seen = recorder()
    m.adapt_to_python3(func)("é".encode(), k="中".encode())
    assert seen == [(("é".encode(),), {"k": "中".encode()})]


@pytest.mark.parametrize("flag", [True, 1, 2**70, "yes", [0]])
def test_true_is_py2_passes_everything_unchanged(m, flag):
    func, seen = recorder()
    adapter = m.adapt_to_python3(func)
    m.IS_PY2 = flag
    adapter("é", k="t")
    assert seen == [(("é",), {"k": "t"})]


@pytest.mark.parametrize("flag", [False, 0, None, "", []])
def test_false_is_py2_converts(m, flag):
    func, seen = recorder()
    m.IS_PY2 = flag
    m.adapt_to_python3(func)("t")
    assert seen == [((b"t",), {})]


def test_is_py2_errors(m):
    func, seen = recorder()
    adapter = m.adapt_to_python3(func)
    m.IS_PY2 = Boom()
    with pytest.raises(ZeroDivisionError, match="truth"):
        adapter(b"no str")
    del m.IS_PY2
    with pytest.raises(NameError, match="IS_PY2"):
        adapter()
    builtins.IS_PY2 = True  # the builtins are the fallback
    try:
        adapter("t")
    finally:
        del builtins.IS_PY2
    assert seen == [(("t",), {})]


def test_errors_of_the_callee_propagate(m):
    def func(x):
        raise KeyError(x)

    with pytest.raises(KeyError, match="b'k'"):
        m.adapt_to_python3(func)("k")
    with pytest.raises(TypeError, match="'int' object is not callable"):
        m.adapt_to_python3(5)("t")  # accepted until called


def test_adapter_attributes(m):
    def named(x):
        "doc"

    adapter = m.adapt_to_python3(named)
    assert adapter.__name__ == "wrapper"
    assert adapter.__qualname__ == "adapt_to_python3.<locals>.wrapper"
    assert adapter.__module__ == "c_sdk" and adapter.__doc__ is None
    assert repr(adapter) == f"<function adapt_to_python3.<locals>.wrapper at {id(adapter):#x}>"
    assert m.adapt_to_python3(func=named) is not adapter
    assert m.adapt_to_python3.__doc__ == "使模块同时支持Python 3和Python 2"


def test_adapter_binds_as_a_method(m):
    class Holder:
        @m.adapt_to_python3
        def meth(self, x, y=None):
            return self, x, y

    h = Holder()
    assert h.meth("a", y="b") == (h, b"a", b"b")
    assert Holder.meth(h, "c") == (h, b"c", None)


@pytest.mark.parametrize("call, text", [
    (lambda m: m.adapt_to_python3(), r"adapt_to_python3\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda m: m.adapt_to_python3(len, len),
     r"adapt_to_python3\(\) takes exactly 1 positional argument \(2 given\)"),
    (lambda m: m.adapt_to_python3(fn=len), r"adapt_to_python3\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda m: m.adapt_to_python3(len, func=len),
     r"adapt_to_python3\(\) got multiple values for keyword argument 'func'"),
    (lambda m: m.adapt_to_python3(func=len, other=1),
     r"adapt_to_python3\(\) got an unexpected keyword argument 'other'"),
])
def test_adapt_to_python3_argument_errors(m, call, text):
    with pytest.raises(TypeError, match=f"^{text}$"):
        call(m)


# Only a caller in C can pass a keyword name that is not a str: the
# interpreter's own calls check their names first.
@pytest.mark.parametrize("target, func", [
    (lambda m: m.py_zqi_place_order, "py_zqi_place_order"),
    (lambda m: m.adapt_to_python3(m.c_status_ok), "c_status_ok"),
    (lambda m: m.TickLikeDict2, "__init__"),
])
def test_non_string_keyword_name_is_refused(m, core, target, func):
    testcapi = pytest.importorskip("_testcapi")
    with pytest.raises(TypeError, match=rf"^{func}\(\) keywords must be strings$"):
        testcapi.pyobject_vectorcall(target(m), ({}, 2), (1,))
    assert core.calls() == []


# Nesting is bounded by the C stack, not by the recursion limit: whatever the
# limit, a nesting that fits answers and one that does not raises.
@pytest.mark.parametrize("depth, limit, answers", [
    (50000, None, False), (200000, None, False), (200000, 60000, False), (200000, 10**6, False),
    (3000, None, True), (3000, 100, True),
])
def test_nested_adapters_end_in_the_answer_or_recursion_error(m, depth, limit, answers):
    fn = m.c_status_ok
    for _ in range(depth):
        fn = m.adapt_to_python3(fn)
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(limit or saved)
    try:
        if answers:
            assert fn(0) is True
        else:
            with pytest.raises(RecursionError,
                               match="^maximum recursion depth exceeded while calling a Python object$"):
                fn(0)
    finally:
        sys.setrecursionlimit(saved)
    del fn  # dropped level by level without exhausting the C stack
    assert m.adapt_to_python3(m.adapt_to_python3(m.c_status_ok))(0) is True


def test_greenlets_suspended_inside_adapters_leave_others_their_depth(m, core):
    greenlet = pytest.importorskip("greenlet")
    hub = greenlet.getcurrent()
    adapted = m.adapt_to_python3(lambda req: hub.switch())
    suspended = [greenlet.greenlet(lambda: adapted("x")) for _ in range(2 * sys.getrecursionlimit())]
    for g in suspended:
        g.switch()
    assert m.py_zqi_place_order("x") == (0, b"x")
    for g in suspended:
        g.switch()
    assert all(g.dead for g in suspended)


def test_module_wrappers_receive_bytes(m, core):
    assert m.py_zqi_place_order("order")[0] == 0
    m.py_zqi_set_token(token="tok")
    m.py_zqi_set_bus_info("s", b"u", password="p")
    calls = core.calls()
    assert [c.fn for c in calls] == ["zqi_place_order_pb", "zqi_set_token", "zqi_set_bus_info"]
    assert calls[0].args[0].data == b"order"
    assert calls[1].args == [b"tok"] and calls[2].args == [b"s", b"u", b"p"]


def test_module_wrappers_follow_is_py2(m, core):
    m.IS_PY2 = True
    with pytest.raises(TypeError, match="^expected bytes, str found$"):
        m.py_zqi_place_order("order")
    with pytest.raises(TypeError, match="^expected bytes, str found$"):
        m.py_zqi_set_token("tok")
    assert core.calls() == []
    m.IS_PY2 = False
    m.py_zqi_set_token("tok")
    assert [c.args for c in core.calls()] == [[b"tok"]]


@pytest.mark.parametrize("call, text", [
    (lambda m: m.py_zqi_place_order(), r"py_zqi_place_order\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda m: m.py_zqi_place_order("a", "b"),
     r"py_zqi_place_order\(\) takes exactly 1 positional argument \(2 given\)"),
    (lambda m: m.py_zqi_place_order(request="a"),
     r"py_zqi_place_order\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda m: m.py_zqi_place_order("a", req="a"),
     r"py_zqi_place_order\(\) got multiple values for keyword argument 'req'"),
    (lambda m: m.py_zqi_set_token("t", x="a"), r"py_zqi_set_token\(\) got an unexpected keyword argument 'x'"),
    (lambda m: m.py_zqi_get_orgcode("a"), r"py_zqi_get_orgcode\(\) takes no arguments \(1 given\)"),
])
def test_binding_errors_of_adapted_wrappers_name_the_inner_function(m, core, call, text):
    with pytest.raises(TypeError, match=f"^{text}$"):
        call(m)
    assert core.calls() == []


class FakePlatform:
    def __init__(self, system):
        self.system = system
        self.asked = 0

    def uname(self):
        self.asked += 1
        return (self.system, "node", "release")


def test_platform_on_this_machine(m):
    assert m.is_linux() is sys.platform.startswith("linux")
    assert m.is_windows() is False


@pytest.mark.parametrize("system, linux, windows", [
    ("Linux", True, False), ("LINUX", True, False), ("lInUx", True, False), ("Windows", False, True),
    ("WINDOWS", False, True), ("Darwin", False, False), ("linux2", False, False), ("", False, False),
])
def test_platform_by_lowered_system_name(m, system, linux, windows):
    fake = FakePlatform(system)
    m.platform = fake
    assert m.is_linux() is linux and m.is_windows() is windows
    assert m.is_linux() is linux and fake.asked == 3  # asked again on every call


def test_platform_errors(m):
    class Odd:
        def lower(self):
            return self

        def __eq__(self, other):
            return "compared"

    m.platform = FakePlatform(Odd())
    assert m.is_linux() == "compared"  # the comparison's result, as it is
    m.platform = type("P", (), {"uname": lambda self: (_ for _ in ()).throw(OSError("uname"))})()
    with pytest.raises(OSError, match="uname"):
        m.is_windows()
    del m.platform
    with pytest.raises(NameError, match="platform"):
        m.is_linux()


@pytest.mark.parametrize("name", ["is_linux", "is_windows"])
def test_platform_takes_no_arguments(m, name):
    fn = getattr(m, name)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no arguments \(1 given\)$"):
        fn(1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes no keyword arguments$"):
        fn(system="linux")


def test_many_arguments(m):
    func, seen = recorder()
    args = [b"b", 1] + ["s%d" % i for i in range(20)]
    kwargs = {"k%d" % i: ("v%d" % i if i % 2 else i) for i in range(20)}
    m.adapt_to_python3(func)(*args, **kwargs)
    assert seen == [((b"b", 1, *[b"s%d" % i for i in range(20)]),
                     {"k%d" % i: (b"v%d" % i if i % 2 else i) for i in range(20)})]
    m.adapt_to_python3(func)(*[b"x"] * 30, last="t")  # the only str comes last
    assert seen[1] == ((b"x",) * 30, {"last": b"t"})
