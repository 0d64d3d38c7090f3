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
    one; recorded calls the test never made count too.  The marker brings
    ``zq_core`` along.

Importing the plugin loads nothing else: the extension and the stand-in are
opened when a test first asks for ``zq_core``.  Where the extension loaded
another core library (a vendor build's, beside it), each test asking for
``zq_core`` fails with one line naming the command that runs the tests on the
stand-in instead, ``python -m zq.csdk.standin exec -- python -m pytest ...``.
"""
from __future__ import annotations

import shlex
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterator, List, Optional

import pytest

if TYPE_CHECKING:
    from .standin import StandIn

_core: Optional[StandIn] = None
_MISSING = object()


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


def pytest_configure(config: pytest.Config) -> None:
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
    """A test replaying a cassette fails on its divergences, once it has run to its end."""
    result = yield
    if item.get_closest_marker("zq_cassette") and _core is not None and _core.replaying():
        report = _core.replay_close()
        if report:
            pytest.fail(report, pytrace=False)
    return result


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
