"""pytest fixtures for unit-testing code built on c_sdk against the stand-in core.

Installed with the development pieces, the plugin is loaded by pytest itself.
It gives one fixture:

``zq_core``
    The :class:`~zq.csdk.standin.StandIn` controlling the stand-in core,
    reset before the test and again after it (statuses, replies, faults,
    queued events, the call log and its capacity back to their defaults).
    The event handler registered with ``c_sdk.py_zqi_set_data_callback``
    during the test is unregistered afterwards, so a later test never runs
    an earlier test's handler.

Importing the plugin loads nothing else: the extension and the stand-in are
opened when a test first asks for ``zq_core``.  Where the extension loaded
another core library (a vendor build's, beside it), each test asking for
``zq_core`` fails with one line naming the command that runs the tests on the
stand-in instead, ``python -m zq.csdk.standin exec -- python -m pytest ...``.
"""
from __future__ import annotations

import shlex
from typing import TYPE_CHECKING, Iterator, Optional

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


@pytest.fixture
def zq_core(request: pytest.FixtureRequest) -> Iterator[StandIn]:
    """The stand-in core, reset before and after the test; the event handler restored afterwards."""
    from . import c_sdk

    core = _stand_in(request.config)
    handler = vars(c_sdk).get("f", _MISSING)
    core.reset()
    try:
        yield core
    finally:
        core.reset()
        if handler is _MISSING:
            vars(c_sdk).pop("f", None)
        else:
            vars(c_sdk)["f"] = handler
