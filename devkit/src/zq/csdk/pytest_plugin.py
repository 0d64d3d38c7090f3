"""pytest fixtures for unit-testing code built on c_sdk against the stand-in core.

Installed with the development pieces, the plugin is loaded by pytest itself.
It gives one fixture,

``zq_core``
    The :class:`~zq.csdk.standin.StandIn` controlling the stand-in core,
    reset before the test and again after it (statuses, replies, faults,
    queued events, the call log and its capacity back to their defaults).
    The event handler registered with ``c_sdk.py_zqi_set_data_callback``
    during the test is unregistered afterwards, so a later test never runs
    an earlier test's handler.

and one marker:

``@pytest.mark.zq_cassette(path, match=None)``
    The test runs with ``zq_core`` replaying the cassette at ``path``
    (relative to the test file's folder), matched by the rules in ``match``
    (see ``zq.csdk._replay``).  A test that diverges from the recording
    fails, with one report listing each expected call beside the received
    one; recorded calls the test never made count too.  A test that fails
    for any reason carries its replay's divergences, the first one first, in
    a section of its report of their own.  The marker brings ``zq_core``
    along.

and one option:

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

import shlex
from pathlib import Path
from typing import TYPE_CHECKING, Any, Generator, Iterator, List, Optional, Tuple

import pytest

if TYPE_CHECKING:
    from .standin import StandIn

_core: Optional[StandIn] = None
_MISSING = object()
_DIVERGED = pytest.StashKey[Tuple[str, str]]()  # a test's replay report and full report
_SECTION = "zq cassette replay: divergences"


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
    parser.getgroup("zq").addoption(
        "--zq-report", metavar="FILE", default=None,
        help="write the full report of every diverging cassette replay into FILE (every argument in full, "
             "secret arguments withheld)")


def pytest_configure(config: pytest.Config) -> None:
    full = config.getoption("zq_report", None)
    if full:
        Path(full).write_text("", encoding="utf-8")
    config.addinivalue_line("markers", "zq_cassette(path, match=None): run the test with zq_core replaying "
                                       "the cassette at path; any divergence fails the test")


def pytest_collection_modifyitems(items: List[pytest.Item]) -> None:
    for item in items:
        fixtures = getattr(item, "fixturenames", None)
        if item.get_closest_marker("zq_cassette") and fixtures is not None and "zq_core" not in fixtures:
            fixtures.append("zq_core")


def _cassette(request: pytest.FixtureRequest) -> Optional[tuple[Path, Any]]:
    marker = request.node.get_closest_marker("zq_cassette")
    if marker is None:
        return None
    if len(marker.args) != 1 or set(marker.kwargs) - {"match"}:
        raise pytest.UsageError("use the marker as @pytest.mark.zq_cassette(path, match=None)")
    return Path(request.node.path).parent / marker.args[0], marker.kwargs.get("match")


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item: pytest.Item) -> Iterator[None]:
    """A test replaying a cassette fails on its divergences, once it has run to its end.

    However the test ends, the divergences are kept for its report."""
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
def zq_core(request: pytest.FixtureRequest) -> Iterator[StandIn]:
    """The stand-in core, reset before and after the test; the event handler restored afterwards."""
    from . import c_sdk

    core = _stand_in(request.config)
    handler = vars(c_sdk).get("f", _MISSING)
    core.reset()
    cassette = _cassette(request)
    if cassette is not None:
        core.replay_open(*cassette)
    try:
        yield core
    finally:
        if core.replaying():  # the test failed before its end, or it ran without the marker's check
            core.replay_close()
        core.reset()
        if handler is _MISSING:
            vars(c_sdk).pop("f", None)
        else:
            vars(c_sdk)["f"] = handler
