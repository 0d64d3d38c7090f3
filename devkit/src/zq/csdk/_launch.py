"""Choosing the core library a command runs on.

The extension links ``libzq3-c.so`` by name and finds it through its own
folder; the one deliberate override is ``LD_PRELOAD``: a preloaded library
with that SONAME is the one the dynamic linker hands the extension, even when
a vendor build sits beside it.  Everything in the development kit that runs a
command on another core (``python -m zq.csdk.standin exec``, the cassette
recorder and player) goes through :func:`run` here, so that there is one way
of doing it.
"""
from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import List, Mapping, Optional, Sequence

__all__ = ["LaunchError", "standin_library", "environment", "run", "main"]


class LaunchError(Exception):
    """A command that could not be started; the message is one line for the user.

    ``status`` is the exit status that reports it, as a shell would: 127 for a
    command not found, 126 for one that cannot be executed, 2 for a usage error.
    """

    def __init__(self, message: str, status: int = 2):
        super().__init__(message)
        self.status = status


def standin_library() -> str:
    """The stand-in core installed with the development kit."""
    path = Path(__file__).resolve().parent / "_standin" / "libzq3-c.so"
    if not path.is_file():
        raise LaunchError(f"no stand-in core library is installed (looked for {path}); "
                          "install the development kit, zq-csdk-devkit")
    return str(path)


def environment(core: str, base: Optional[Mapping[str, str]] = None,
                extra: Optional[Mapping[str, str]] = None) -> dict[str, str]:
    """`base` (default: this process's environment) with `core` preloaded, plus `extra`.

    The core goes after whatever is preloaded already: a sanitizer runtime
    must stay first in the list.
    """
    if any(c in core for c in " :\t\n"):
        # The dynamic linker splits LD_PRELOAD at blanks and colons.
        raise LaunchError(f"cannot preload {core}: its path contains a blank or a colon")
    env = dict(os.environ if base is None else base)
    kept = [p for p in env.get("LD_PRELOAD", "").replace(":", " ").split() if Path(p).name != "libzq3-c.so"]
    env["LD_PRELOAD"] = " ".join(kept + [core])
    env.update(extra or {})
    return env


def run(core: str, argv: Sequence[str], extra: Optional[Mapping[str, str]] = None) -> int:
    """Run `argv` with `core` as the library the extension loads; its exit status.

    A command killed by a signal gives 128 + the signal's number, as a shell
    reports it.  While it runs, this process ignores SIGINT (the terminal
    sends Ctrl-C to the command as well) and passes SIGTERM on to it.
    """
    if not argv:
        raise LaunchError("no command given")
    env = environment(core, extra=extra)
    try:
        child = subprocess.Popen(list(argv), env=env)
    except FileNotFoundError:
        raise LaunchError(f"command not found: {argv[0]}", 127) from None
    except PermissionError:
        raise LaunchError(f"command not executable: {argv[0]}", 126) from None
    except OSError as e:
        raise LaunchError(f"cannot run {argv[0]}: {e.strerror or e}", 126) from None
    on_main = threading.current_thread() is threading.main_thread()
    saved = {}
    if on_main:
        saved[signal.SIGINT] = signal.signal(signal.SIGINT, signal.SIG_IGN)
        saved[signal.SIGTERM] = signal.signal(signal.SIGTERM, lambda signum, frame: child.send_signal(signum))
    try:
        status = child.wait()
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)
    return 128 - status if status < 0 else status


def _split(argv: List[str], usage: str) -> List[str]:
    """The command after ``--`` (the ``--`` may be left out)."""
    if argv and argv[0] == "--":
        argv = argv[1:]
    if not argv:
        raise LaunchError(f"no command given; usage: {usage}")
    return argv


def main(argv: Optional[Sequence[str]] = None, prog: str = "python -m zq.csdk.standin") -> int:
    """``exec [--] CMD [ARGS...]``: run a command on the stand-in core."""
    args = list(sys.argv[1:] if argv is None else argv)
    usage = f"{prog} exec -- CMD [ARGS...]"
    try:
        if not args or args[0] in ("-h", "--help") or (args[0] == "exec" and args[1:2] in (["-h"], ["--help"])):
            print(f"usage: {usage}\n\nRuns CMD with the development kit's stand-in as the core library the "
                  "extension loads,\neven where a vendor build sits beside the extension; exits with CMD's status."
                  "\nEverything after -- (or from CMD on) is the command's: exec -- CMD --help asks CMD.\n\n"
                  "exit status:\n  CMD's own status\n  2        a usage error, or no stand-in core installed\n"
                  "  127      CMD was not found, 126: CMD could not be executed\n"
                  "  128+N    CMD was ended by signal N",
                  file=sys.stdout if args else sys.stderr)
            return 0 if args else 2
        if args[0] != "exec":
            raise LaunchError(f"unknown command {args[0]!r}; usage: {usage}")
        command = _split(args[1:], usage)
        return run(standin_library(), command)
    except LaunchError as e:
        print(f"{prog.split()[-1]}: {e}", file=sys.stderr)
        return e.status
