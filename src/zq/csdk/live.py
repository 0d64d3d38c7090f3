"""A live run of the core library's loop: other threads run while the core waits, and Ctrl-C stops it.

``c_sdk.py_zqi_run()`` holds the interpreter lock for the whole of the core's
``zqi_run``.  With a core that waits hours for market data, no other Python
thread runs meanwhile, and SIGINT or SIGTERM do nothing until an event comes.
:func:`run` calls the same ``zqi_run`` with the lock released::

    from zq.csdk import c_sdk, live

    c_sdk.py_zqi_set_data_callback(on_event)
    status = live.run()      # KeyboardInterrupt on Ctrl-C, SystemExit(143) on SIGTERM

* The registered handler is called for each event with the lock held, on the
  thread the core delivers on (c_sdk's event bridge takes the lock for an
  event that arrives on a thread without it).  With no handler registered, the
  run is what ``py_zqi_run`` would do.
* It returns what ``zqi_run`` returns.
* SIGINT or SIGTERM during the run asks the core to stop (``zqi_stop``), also
  when no event is coming; once ``zqi_run`` has returned, SIGINT raises
  ``KeyboardInterrupt`` and SIGTERM ``SystemExit(143)`` (128 + the signal
  number, as a shell reports a process ended by it).  A signal the
  application ignores (``SIG_IGN``) stays ignored.
* A ``KeyboardInterrupt`` or ``SystemExit`` raised inside the handler does the
  same: the run is stopped and :func:`run` raises that exception, instead of
  the bridge reporting and swallowing it.  Any other exception is reported
  as ``py_zqi_run`` reports it, and the run goes on.
* The application's handlers of the two signals and its wakeup descriptor
  (``signal.set_wakeup_fd``, which asyncio uses) are restored afterwards.
  Other signals that arrive during the run are passed on to that descriptor
  at once; their Python handlers run on the main thread as usual, that is
  during a handler the core calls on the main thread, or after the run.
* It must be called from the main thread, which alone receives signals:
  elsewhere it raises ``RuntimeError``, as it does while a live run is in
  progress (a handler calling it, say).

What a live run asks of the core library
----------------------------------------
* ``zqi_stop`` may be called from another thread while ``zqi_run`` runs,
  also while the core is inside the event callback, and makes ``zqi_run``
  return.  A signal's stop is sent from a thread of this module, without the
  interpreter lock, and again every 50 ms until ``zqi_run`` has returned.
* Its functions may be called while ``zqi_run`` runs: from the handler, as
  with ``py_zqi_run``, and now also from other Python threads.  c_sdk calls
  the core with the interpreter lock held, so calls from Python never
  overlap one another, but they may overlap the core's own loop.
* It may call the event callback on the thread inside ``zqi_run`` or on a
  thread of its own, one event at a time.

``zqi_run`` is reached through ctypes on the ``libzq3-c.so`` instance the
extension loaded (ctypes releases the lock around a foreign call).
"""
from __future__ import annotations

import ctypes
import os
import select
import signal
import threading
from types import FrameType
from typing import Any, Callable, Optional

from . import c_sdk

__all__ = ["run"]

_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)  # see _exit_for
_RETRY = 0.05  # s between stop requests until zqi_run returns


class _Core:
    """zqi_run and zqi_stop of the loaded core library, called with the interpreter lock released."""

    def __init__(self) -> None:
        lib = ctypes.CDLL("libzq3-c.so", mode=os.RTLD_NOLOAD)  # the instance c_sdk is linked to
        self.zqi_run, self.zqi_stop = lib.zqi_run, lib.zqi_stop
        for fn in (self.zqi_run, self.zqi_stop):
            fn.restype, fn.argtypes = ctypes.c_int, []


class _Run:
    """The live run in progress: how it is to end, and whether zqi_run has returned."""

    def __init__(self) -> None:
        self.exit: Optional[BaseException] = None  # what run() raises once zqi_run has returned
        self.stopping = False
        self.returned = False
        self.over = False  # torn down: a signal that still reaches on_signal is the application's
        self.taken: dict[int, Any] = {}  # signal -> the application's handler
        self.lock = threading.Lock()  # held while `returned` is set and while the watcher calls zqi_stop
        # Held while the ending is chosen and while `returned` is set; never while the core is called, so a
        # handler waits for no stop in progress.  Re-entrant: on_signal may run on the thread that holds it.
        self.ending = threading.RLock()

    def end_with(self, exc: BaseException) -> None:
        """The run is to end raising `exc`, unless another ending came first.

        Threads may end a run at once (a signal's watcher, handlers on several threads): the first ending wins.
        """
        with self.ending:
            if self.exit is None:
                self.exit = exc
            self.stopping = True

    def on_signal(self, signum: int, frame: Optional[FrameType]) -> None:
        """The Python-level handler during the run: notes the signal; the watcher has stopped the core."""
        if not self.over:
            self.end_with(_exit_for(signum))
            return
        # The teardown was cut short before it gave this signal back: it goes
        # to the application's handler from now on, this one included.
        handler = self.taken.get(signum, signal.SIG_DFL)
        signal.signal(signum, handler)
        if callable(handler):
            handler(signum, frame)
        elif handler != signal.SIG_IGN:
            os.kill(os.getpid(), signum)


def _exit_for(signum: int) -> BaseException:
    if signum == signal.SIGINT:
        return KeyboardInterrupt()
    return SystemExit(128 + signum)


_core: Optional[_Core] = None
_current: Optional[_Run] = None


def _take_exit(exc: BaseException) -> bool:
    """Called by c_sdk's event bridge with a KeyboardInterrupt or SystemExit the handler raised.

    During a live run the exception ends the run (run() raises it) and true is
    returned; otherwise false, and the bridge reports it as usual.
    """
    current = _current
    if current is None:
        return False
    with current.ending:  # zqi_run has not returned, and run() raises `exc`; or it has, and it is reported
        if current.returned:
            return False
        current.end_with(exc)
    c_sdk.py_zqi_stop()  # a call from the handler, as py_zqi_run's handlers make it
    return True


def _watch(current: _Run, core: _Core, fd: int, forward: int) -> None:
    """The watcher thread: a stop signal's byte on the wakeup pipe becomes zqi_stop; others go on to `forward`."""
    timeout: Optional[float] = None
    while True:
        ready, _, _ = select.select([fd], [], [], timeout)
        if ready:
            data = os.read(fd, 512)
            if not data:
                return  # the write end is closed: the run is over
            for signum in data:
                if signum in _STOP_SIGNALS and signal.getsignal(signum) == current.on_signal:
                    current.end_with(_exit_for(signum))
                elif forward >= 0:
                    try:
                        os.write(forward, bytes([signum]))
                    except OSError:
                        pass  # as the interpreter treats a full or closed wakeup descriptor
        if current.stopping:
            with current.lock:
                if not current.returned:
                    core.zqi_stop()
            timeout = _RETRY


def run() -> int:
    """Run the core library's loop (``zqi_run``) with the interpreter lock released; return its result.

    SIGINT or SIGTERM during the run stop it and then raise ``KeyboardInterrupt`` or ``SystemExit(143)``;
    so does a ``KeyboardInterrupt`` or ``SystemExit`` raised by the event handler.  Main thread only.
    """
    global _core, _current
    if threading.current_thread() is not threading.main_thread():
        raise RuntimeError("zq.csdk.live.run() must be called from the main thread, which alone receives signals")
    if _current is not None:
        raise RuntimeError("zq.csdk.live.run() called while a live run is in progress")
    if _core is None:
        _core = _Core()
    core, current = _core, _Run()
    rfd, wfd = os.pipe()
    fds = [rfd, wfd]
    os.set_blocking(wfd, False)
    taken = current.taken
    forward: Optional[int] = None  # the application's wakeup descriptor, once replaced
    watcher: Optional[threading.Thread] = None
    _current = current
    try:
        forward = signal.set_wakeup_fd(wfd)
        for signum in _STOP_SIGNALS:
            if signal.getsignal(signum) != signal.SIG_IGN:
                taken[signum] = signal.signal(signum, current.on_signal)
        watcher = threading.Thread(target=_watch, args=(current, core, rfd, forward), name="zq.csdk.live signals",
                                   daemon=True)
        watcher.start()
        status = int(core.zqi_run())
    finally:
        late = _tear_down(current, taken, forward, watcher, fds)
    if current.exit is not None:
        raise current.exit
    if late is not None:
        raise late
    return status


def _close(fds: list[int], i: int) -> None:
    fd, fds[i] = fds[i], -1  # marked first: a step done again never closes another file's descriptor
    if fd >= 0:
        os.close(fd)


def _tear_down(current: _Run, taken: dict[int, Any], forward: Optional[int], watcher: Optional[threading.Thread],
               fds: list[int]) -> Optional[BaseException]:
    """Ends the run whatever arrives meanwhile; the first exception a signal's handler raised, if any.

    Until the last steps the stop signals still reach on_signal, which only
    notes them, so a second Ctrl-C cannot cut the teardown short; another
    signal's handler that raises has its step done again.  The application's
    handlers come back last, each through a step done again if interrupted.
    """
    late: Optional[BaseException] = None

    def returned() -> None:
        with current.lock, current.ending:
            current.returned = True

    def wakeup() -> None:
        if forward is not None:
            signal.set_wakeup_fd(forward)

    def cleared() -> None:
        global _current
        _current = None
        current.over = True

    def restore(signum: int) -> Callable[[], None]:
        def step() -> None:
            # signal.signal() first runs the Python handlers of signals already
            # received, so a late SIGINT still lands in on_signal.
            signal.signal(signum, taken[signum])
        return step

    steps: list[Callable[[], None]] = [returned, wakeup, lambda: _close(fds, 1)]
    if watcher is not None:
        steps.append(watcher.join)
    steps += [lambda: _close(fds, 0), cleared]
    steps += [restore(signum) for signum in taken]
    for step in steps:
        while True:
            try:
                step()
                break
            except BaseException as e:  # noqa: B036 - a signal's handler raised: the step is done again
                late = late or e
    return late
