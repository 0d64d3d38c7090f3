"""pytest fixtures for unit-testing code built on c_sdk against the stand-in core.

Installed with the development pieces, the plugin is loaded by pytest itself.
It gives two fixtures,

``zq_core``
    The :class:`~zq.csdk.standin.StandIn` controlling the stand-in core,
    reset before the test and again after it (statuses, replies, faults,
    queued events, the call log and its capacity back to their defaults).
    The event handler registered with ``c_sdk.py_zqi_set_data_callback``
    during the test is unregistered afterwards, so a later test never runs
    an earlier test's handler.

``zq_cassette_config``
    A dict of defaults for the marked tests below it (override it in a
    ``conftest.py``): ``record_mode``, ``match`` and ``redact`` (used where
    the marker gives none) and ``keep_secrets``.  Empty by default.

one marker:

``@pytest.mark.zq_cassette(path=None, match=None, redact=None)``
    The test runs with ``zq_core`` replaying the cassette at ``path``
    (relative to the test file's folder; by default
    ``cassettes/<test module>/<test name>.zqc``), matched by the rules in
    ``match`` (see ``zq.csdk._replay``).  A recording is scrubbed by the
    redaction rules in ``redact``, a dict of the same shape whose ``mask``
    matches are replaced by ``<redacted>`` (see ``zq.csdk._redaction``); its
    replay scrubs what the test passes alike.  A test that diverges from the
    recording fails, with one report listing each expected call beside the
    received one; recorded calls the test never made count too.  A test that
    fails for any reason carries its replay's divergences, the first one
    first, in a section of its report of their own.  The marker brings
    ``zq_core`` along.

and three options:

``--zq-record-mode=none|once|all``
    ``none`` (the default) replays only; ``once`` records the marked tests
    whose cassette is missing, against the real core; ``all`` records every
    marked test again.  The ``zq_record_mode`` ini setting, or
    ``zq_cassette_config``'s ``record_mode``, gives the default.
``--zq-core=PATH`` (or ``ZQ_CORE``)
    The real core to record against, checked before the first test runs.
    Recording needs pytest to run with the kit's tap as its core library:
    the plugin runs pytest again under the tap, once, before collecting
    (devkit/README.md, "Recording from pytest").
``--zq-report FILE``
    Writes the full report of every test whose replay diverged into FILE:
    every argument of each divergence in full, secret arguments withheld.

Importing the plugin loads nothing else: the extension and the stand-in are
opened when a test first asks for ``zq_core``.  Where the extension loaded
another core library (a vendor build's, beside it), each test asking for
``zq_core`` fails with one line naming the command that runs the tests on the
stand-in instead, ``python -m zq.csdk.standin exec -- python -m pytest ...``.
"""
from __future__ import annotations

import os
import shlex
import sys
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Generator, Iterator, List, Optional, Tuple, Union

import pytest

if TYPE_CHECKING:
    from ._recording import Recording
    from .standin import StandIn

_core: Optional[StandIn] = None
_MISSING = object()
_DIVERGED = pytest.StashKey[Tuple[str, str]]()  # a test's replay report and full report
_SECTION = "zq cassette replay: divergences"
_ROUTED = "ZQ_PYTEST_ROUTED"  # set in the run of pytest under the tap
_problem = pytest.StashKey[str]()


def _stand_in(config: pytest.Config) -> StandIn:
    global _core
    if _core is None:
        from .standin import StandIn, _is_standin, _loaded_core, library_path

        if not _is_standin(_loaded_core()):  # a vendor build's core, beside the extension
            rerun = shlex.join(["python", "-m", "zq.csdk.standin", "exec", "--", "python", "-m", "pytest",
                                *config.invocation_params.args])
            pytest.fail(f"zq_core: the extension loaded {library_path()}, not the stand-in; "
                        f"run the tests with: {rerun}", pytrace=False)
        _core = StandIn()
    return _core


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("zq", "recording and replaying core cassettes")
    group.addoption("--zq-record-mode", choices=("none", "once", "all"), default=None,
                    help="none (default): replay only; once: record the marked tests whose cassette is missing; "
                         "all: record every marked test again")
    group.addoption("--zq-core", metavar="PATH", default=None,
                    help="the real core library to record against (default: $ZQ_CORE)")
    parser.addini("zq_record_mode", "the record mode when --zq-record-mode is not given", default="")
    group.addoption(
        "--zq-report", metavar="FILE", default=None,
        help="write the full report of every diverging cassette replay into FILE (every argument in full, "
             "secret arguments withheld)")


def _real_core(config: pytest.Config) -> Optional[str]:
    return config.getoption("zq_core") or os.environ.get("ZQ_CORE") or None


def _ini_mode(config: pytest.Config) -> str:
    mode = str(config.getini("zq_record_mode")).strip()
    if mode not in ("", "none", "once", "all"):
        raise pytest.UsageError(f"zq_record_mode = {mode!r} in the ini file: write none, once or all")
    return mode


@pytest.hookimpl(tryfirst=True)
def pytest_cmdline_main(config: pytest.Config) -> Optional[Union[int, pytest.ExitCode]]:
    """Runs pytest again under the tap, once, when the session may record; its status is this run's."""
    option, ini, core = config.getoption("zq_record_mode"), _ini_mode(config), _real_core(config)
    if config.option.help or config.option.version or os.environ.get(_ROUTED):
        return None
    records = option in ("once", "all") or (option is None and (ini in ("once", "all") or core is not None))
    if not records:
        return None
    if core is None:
        raise pytest.UsageError(f"record mode {option or ini} records against the real core: "
                                "name it with --zq-core=PATH or ZQ_CORE")
    from . import _cores, _launch

    try:
        extra = {**_cores.routed_environment(_cores.checked_core(core)), _ROUTED: "1"}
    except (_cores.CoreLibraryError, _launch.LaunchError) as e:
        raise pytest.UsageError(f"--zq-core: {e}") from None
    try:
        tap = _cores.tap_library()
    except _launch.LaunchError as e:
        raise pytest.UsageError(str(e)) from None
    capture = config.pluginmanager.getplugin("capturemanager")
    if capture is not None:  # the run below writes to the terminal itself
        capture.stop_global_capturing()
    argv = [sys.executable, "-m", "pytest", *config.invocation_params.args]
    return _launch.run(tap, argv, extra)


def pytest_configure(config: pytest.Config) -> None:
    full = config.getoption("zq_report", None)
    if full:
        Path(full).write_text("", encoding="utf-8")
    config.addinivalue_line("markers", "zq_cassette(path=None, match=None, redact=None): run the test with zq_core "
                                       "replaying the cassette at path, or recording it (--zq-record-mode); any "
                                       "divergence fails the test")


def pytest_collection_modifyitems(items: List[pytest.Item]) -> None:
    for item in items:
        fixtures = getattr(item, "fixturenames", None)
        if item.get_closest_marker("zq_cassette") and fixtures is not None:
            # First of the test's own fixtures, so that a recording holds the
            # calls made by every other function-scoped fixture.
            if "zq_core" in fixtures:
                fixtures.remove("zq_core")
            fixtures.insert(_first_function_scoped(item, fixtures), "zq_core")


def _first_function_scoped(item: pytest.Item, names: List[str]) -> int:
    defs = getattr(getattr(item, "_fixtureinfo", None), "name2fixturedefs", {})
    for i, name in enumerate(names):
        found = defs.get(name)
        if not found or str(getattr(found[-1], "scope", "function")) in ("function", "Scope.Function"):
            return i
    return len(names)


class _Cassette:
    """A marked test's cassette: where it is, how it matches, and what this run does with it."""

    def __init__(self, request: pytest.FixtureRequest, marker: pytest.Mark):
        from . import _recording

        kwargs = set(marker.kwargs)
        if len(marker.args) > 1 or kwargs - {"path", "match", "redact"} or (marker.args and "path" in kwargs):
            raise ValueError("use the marker as @pytest.mark.zq_cassette(path=None, match=None, redact=None)")
        config: Dict[str, Any] = dict(request.getfixturevalue("zq_cassette_config") or {})
        unknown = set(config) - {"record_mode", "match", "redact", "keep_secrets"}
        if unknown:
            raise ValueError(f"zq_cassette_config: unknown key {sorted(unknown)[0]!r} "
                             "(it takes record_mode, match, redact, keep_secrets)")
        node = request.node
        test_file = Path(node.path)
        given = marker.args[0] if marker.args else marker.kwargs.get("path")
        if given is None:
            name = node.nodeid.split("::", 1)[1].replace("::", ".") if "::" in node.nodeid else node.name
            self.path = test_file.parent / "cassettes" / test_file.stem / _recording.cassette_name(name)
        else:
            self.path = test_file.parent / given
        self.match = marker.kwargs.get("match", config.get("match"))
        self.redact = marker.kwargs.get("redact", config.get("redact"))
        self.keep_secrets = bool(config.get("keep_secrets", False))
        option = request.config.getoption("zq_record_mode")
        mode = option or config.get("record_mode") or _ini_mode(request.config) or "none"
        try:
            self.action = _recording.decide(mode, self.path.is_file())
        except ValueError as e:
            raise ValueError(f"zq_cassette_config: {e}") from None
        self.mode, self.nodeid = mode, node.nodeid

    def record_command(self, config: pytest.Config) -> str:
        core = _real_core(config) or "PATH/TO/libzq3-c.so"
        return shlex.join(["python", "-m", "pytest", self.nodeid, "--zq-record-mode=once", f"--zq-core={core}"])


def _start(request: pytest.FixtureRequest, core: StandIn) -> Optional[Recording]:
    """Opens the marked test's replay, or starts its recording; a problem is kept for the test to fail on."""
    from . import _cores, _recording, _redaction, _replay

    marker = request.node.get_closest_marker("zq_cassette")
    if marker is None:
        return None
    try:
        cassette = _Cassette(request, marker)
        _replay.rules_text(cassette.match)  # a bad rule stops the test in record mode too
        redact = _redaction.redaction_text(cassette.redact)  # and in replay mode
        if cassette.action == _recording.FAIL:
            raise ValueError(f"{cassette.path}: no such cassette (record mode {cassette.mode}); record it with: "
                             f"{cassette.record_command(request.config)}")
        if cassette.action == _recording.REPLAY:
            core.replay_open(cassette.path, cassette.match)
            return None
        tap = _cores.loaded_tap()
        if tap is None:
            raise ValueError(f"{cassette.path}: recording needs the real core: run pytest with --zq-core=PATH "
                             "(or ZQ_CORE)")
        recording = _recording.Recording(tap, cassette.path, cassette.keep_secrets, redact)
        recording.start()
        tap.route(real_core=True)
        return recording
    except (ValueError, TypeError, OSError, _replay.CassetteError, _cores.TapError) as e:
        request.node.stash[_problem] = f"zq_cassette: {e}"
        return None


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Iterator[None]:
    """A marked test with a problem fails in one line; one replaying a cassette fails on its divergences,
    once it has run to its end.

    However the test ends, the divergences are kept for its report."""
    problem = item.stash.get(_problem, None)
    if problem is not None:
        pytest.fail(problem, pytrace=False)
    report = ""
    try:
        result = yield
    finally:
        if item.get_closest_marker("zq_cassette") and _core is not None and _core.replaying():
            report = _core.replay_close()
            if report:
                item.stash[_DIVERGED] = (report, _core.replay_full_report())
                _write_full_report(item, item.stash[_DIVERGED][1])
    if report:
        first = report.splitlines()
        pytest.fail(f"{first[0]}; the first: {first[1]}" if len(first) > 1 else first[0], pytrace=False)
    return result


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]
                              ) -> Generator[None, pytest.TestReport, pytest.TestReport]:
    """A failed test's report gets its replay's divergences, first one first, in a section of their own."""
    report = yield
    diverged = item.stash.get(_DIVERGED, None)
    if diverged is not None and report.when == "call" and report.failed:
        report.sections.append((_SECTION, diverged[0]))
    return report


def _write_full_report(item: pytest.Item, text: str) -> None:
    full = item.config.getoption("zq_report", None)
    if full:
        with open(full, "a", encoding="utf-8") as f:
            f.write(f"== {item.nodeid}\n{text}\n")


@pytest.fixture
def zq_cassette_config() -> Dict[str, Any]:
    """Defaults for the marked tests: record_mode, match, redact, keep_secrets (override in a conftest.py)."""
    return {}


@pytest.fixture
def zq_core(request: pytest.FixtureRequest) -> Iterator[StandIn]:
    """The stand-in core, reset before and after the test; the event handler restored afterwards."""
    from . import c_sdk

    core = _stand_in(request.config)
    handler = vars(c_sdk).get("f", _MISSING)
    core.reset()
    recording = _start(request, core)
    note = None
    try:
        yield core
    finally:
        if recording is not None:
            recording.tap.route(real_core=False)
            note = recording.finish()
        if core.replaying():  # the test failed before its end, or it ran without the marker's check
            core.replay_close()
        core.reset()
        if handler is _MISSING:
            vars(c_sdk).pop("f", None)
        else:
            vars(c_sdk)["f"] = handler
    if note is not None and "lost" in note:
        pytest.fail(f"zq_cassette: {note}", pytrace=False)
    if note is not None:
        warnings.warn(pytest.PytestWarning(f"zq_cassette: {note}"), stacklevel=1)
