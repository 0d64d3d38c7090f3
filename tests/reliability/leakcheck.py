"""Reference-count and memory check of every public callable of c_sdk.

Each case is one call on the success path or on one error path (binding and
conversion errors, a deleted global, a raising handler, failing statuses and
faulty replies from the stand-in core).  A case is called WARM times, then N
times, then N times more; the check fails when the interpreter's total
reference count (a debug interpreter's ``sys.gettotalrefcount()``), the bytes
malloc holds in use or the blocks the interpreter's own allocator holds grow
over the second N calls, i.e. when they grow with the number of calls.  A
second phase runs all cases together N and 2N times under tracemalloc and
compares the traced memory and the process's RSS.

    python tests/reliability/leakcheck.py [-n N] [--warm W] [--only SUBSTR]

Run it with PYTHONMALLOC=malloc so that every object is its own malloc block
(tests/reliability/leakcheck.sh does, on the debug and the normal interpreter).
The free-threaded build refuses that and allocates objects from its own heaps:
there the blocks are counted, both phases run after a second thread has, and
objects are kept as in any threaded program of that build.
Exit status 1 on any growth or any case whose outcome is not the expected one.
"""
from __future__ import annotations

import argparse
import ctypes
import gc
import os
import sys
import sysconfig
import threading
import time
import tracemalloc
import warnings
from pathlib import Path
from typing import List

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from reliability import catalog  # noqa: E402
from reliability.leakcases import Case, helper_cases, record_cases, wrapper_cases  # noqa: E402
from reliability.leakcases_events import event_cases  # noqa: E402

REF_TOL = 2          # references the second batch may add, whatever N is
MEM_TOL = 2048       # bytes the second batch may add to malloc's in-use total
BLOCK_TOL = 16       # blocks the second batch may add to the interpreter's own allocator
RSS_TOL = 2 << 20    # aggregate phase: RSS growth allowed between N and 2N
TRACED_TOL = 64 << 10  # aggregate phase: tracemalloc growth allowed between N and 2N


# ---- measuring ---------------------------------------------------------------------

class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def malloc_in_use() -> int:
    mi = _libc.mallinfo2()
    return mi.uordblks + mi.hblkhd


def total_refs() -> int:
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


# The free-threaded 3.13 makes every object of deferred reference counting
# (classes, code objects, module-level functions) immortal once a second
# thread has run, so a case that makes a class per call keeps memory for
# good there, whatever the module does (3.14 stops doing so).  Such a case
# is measured on the other builds only.
KEEPS_NEW_CLASSES = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info < (3, 14)


def allocated_blocks() -> int:
    """Blocks the interpreter's own allocator holds: what malloc does not see
    on the free-threaded build, which allocates objects from mimalloc's heaps
    only (it refuses PYTHONMALLOC=malloc).  0 under PYTHONMALLOC=malloc."""
    return sys.getallocatedblocks()


def reading():
    """(total references, malloc bytes in use, interpreter allocator blocks).

    The interpreter's type attribute cache keeps a reference to each attribute
    name it was last asked for, and a name built afresh for a lookup (as
    PyObject_GetAttrString does) lands in a new slot each time, up to the
    cache's 4096 entries: bounded, but it looks like growth.  It is emptied
    before each reading.
    """
    sys._clear_type_cache()
    return total_refs(), malloc_in_use(), allocated_blocks()


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_case(case: Case, warm: int, n: int) -> None:
    if case.makes_class and KEEPS_NEW_CLASSES:
        return
    if case.setup:
        case.setup()
    try:
        call = case.call
        gc.collect()  # a full collection empties the free lists; the warm-up refills them
        for _ in range(warm):
            call()
        gc.disable()
        try:
            r0, a0, b0 = reading()
            for _ in range(n):
                call()
            r1, a1, b1 = reading()
            for _ in range(n):
                call()
            r2, a2, b2 = reading()
            if r2 - r1 > REF_TOL or a2 - a1 > MEM_TOL or b2 - b1 > BLOCK_TOL:
                # Cycles freed by the collector are not a leak: measure again
                # with a collection before each reading.
                gc.collect()
                r0, a0, b0 = reading()
                for _ in range(n):
                    call()
                gc.collect()
                r1, a1, b1 = reading()
                for _ in range(n):
                    call()
                gc.collect()
                r2, a2, b2 = reading()
        finally:
            gc.enable()
        case.refs = [r1 - r0, r2 - r0]
        case.mem = [a1 - a0, a2 - a0]
        case.blocks = [b1 - b0, b2 - b0]
    except BaseException as e:  # noqa: BLE001 -- any outcome other than the expected one fails the case
        case.error = f"{type(e).__name__}: {e}"
    finally:
        if case.teardown:
            case.teardown()


def leaked(case: Case) -> bool:
    return bool(case.refs) and (case.refs[1] - case.refs[0] > REF_TOL or case.mem[1] - case.mem[0] > MEM_TOL
                                or case.blocks[1] - case.blocks[0] > BLOCK_TOL)


# ---- main ------------------------------------------------------------------------------------

def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=200, help="calls per batch (default 200)")
    ap.add_argument("--warm", type=int, default=100, help="warm-up calls per case (default 100)")
    ap.add_argument("--only", default="", help="run only cases whose label contains this text")
    ap.add_argument("--no-aggregate", action="store_true", help="skip the tracemalloc/RSS phase")
    args = ap.parse_args(argv)

    from zq.csdk import c_sdk as m
    from zq.csdk.standin import StandIn

    core = StandIn()
    core.reset()
    core.logging(False)  # the call log grows by design; counts are kept without it
    warnings.simplefilter("error", DeprecationWarning)

    entries = catalog.check_namespace(m)
    cases = wrapper_cases(m, core, entries) + helper_cases(m, core) + record_cases(m) + event_cases(m, core)
    if args.only:
        cases = [c for c in cases if args.only in c.label]
    interp = "debug" if hasattr(sys, "gettotalrefcount") else "release"
    print(f"leak check: Python {sys.version.split()[0]} ({interp}), PYTHONMALLOC={os.environ.get('PYTHONMALLOC', '')},"
          f" {len(cases)} cases, {args.warm} + {args.n} + {args.n} calls each")
    if not catalog.record_classes(m):
        print("  (no record classes in the module yet: record cases skipped)")

    if KEEPS_NEW_CLASSES:
        # Measured as a threaded program runs: with the objects this
        # interpreter keeps from now on (above) kept from the first call, so
        # that a module making one per call grows in both phases, whatever
        # the order of the cases.
        one = threading.Thread(target=lambda: None)
        one.start()
        one.join()
        skipped = [c.label for c in cases if c.makes_class]
        if skipped:
            print(f"  not measured on this build, which keeps every class made once a second thread has run"
                  f" (measured on the others): {', '.join(skipped)}")
    gc.collect()
    gc.freeze()  # the harness's own objects: later collections only walk what the cases made
    # What the measuring itself leaves (the readings are ints kept alive):
    # subtracted from every case.
    noop = Case("calibration", "no-op", lambda: None)
    run_case(noop, args.warm, args.n)
    t0 = time.monotonic()
    for c in cases:
        run_case(c, args.warm, args.n)
        if c.refs:
            c.refs = [c.refs[k] - noop.refs[k] for k in (0, 1)]
            c.mem = [c.mem[k] - noop.mem[k] for k in (0, 1)]
            c.blocks = [c.blocks[k] - noop.blocks[k] for k in (0, 1)]
    t1 = time.monotonic()

    groups = {}
    for c in cases:
        groups.setdefault(c.group, []).append(c)
    print(f"calibration (an empty call, subtracted below): refs +{noop.refs[0]} / +{noop.refs[1]}, "
          f"malloc +{noop.mem[0]} / +{noop.mem[1]} B, blocks +{noop.blocks[0]} / +{noop.blocks[1]} after N / 2N")
    print(f"{'group':24} {'cases':>6} {'refs N':>7} {'refs 2N':>8} {'malloc N':>9} {'malloc 2N':>10} {'blocks N':>9}"
          f" {'blocks 2N':>10}   (max growth over one case)")
    for g, cs in groups.items():
        measured = [c for c in cs if c.refs]
        top = [max((getattr(c, a)[k] for c in measured), default=0) for a in ("refs", "mem", "blocks") for k in (0, 1)]
        print(f"{g:24} {len(cs):6d} {top[0]:7d} {top[1]:8d} {top[2]:9d} {top[3]:10d} {top[4]:9d} {top[5]:10d}")
    calls = len(cases) * (args.warm + 2 * args.n)
    print(f"phase 1: {calls} calls in {t1 - t0:.1f} s")

    failed = [c for c in cases if c.error or leaked(c)]
    for c in failed:
        if c.error:
            print(f"FAIL {c.label}: {c.error}")
        else:
            print(f"FAIL {c.label}: grows with the number of calls: refs +{c.refs[0]} after {args.n} calls, "
                  f"+{c.refs[1]} after {2 * args.n}; malloc +{c.mem[0]} B, +{c.mem[1]} B; "
                  f"blocks +{c.blocks[0]}, +{c.blocks[1]}")

    if not args.no_aggregate:
        kept = [c for c in cases if not c.error and not (c.makes_class and KEEPS_NEW_CLASSES)]
        failed_aggregate = aggregate(kept, args.warm, args.n)
    else:
        failed_aggregate = False
    if failed or failed_aggregate:
        print(f"leak check FAILED: {len(failed)} case(s)" + (", aggregate memory growth" if failed_aggregate else ""))
        return 1
    print("leak check passed")
    return 0


def aggregate(cases: List[Case], warm: int, n: int) -> bool:
    """All cases N times, then N times more, under tracemalloc; RSS and traced memory compared."""
    def one_pass(k):
        for c in cases:
            if c.setup:
                c.setup()
            try:
                for _ in range(k):
                    c.call()
            finally:
                if c.teardown:
                    c.teardown()
        gc.collect()
        sys._clear_type_cache()

    t0 = time.monotonic()
    tracemalloc.start()
    one_pass(warm)
    base_rss, base_tm, base_malloc = rss(), tracemalloc.get_traced_memory()[0], malloc_in_use()
    one_pass(n)
    rss1, tm1, m1 = rss(), tracemalloc.get_traced_memory()[0], malloc_in_use()
    one_pass(n)
    rss2, tm2, m2 = rss(), tracemalloc.get_traced_memory()[0], malloc_in_use()
    tracemalloc.stop()
    kib = lambda v: f"{v / 1024:+.1f} KiB"  # noqa: E731
    print(f"phase 2 (all cases together, {len(cases) * (warm + 2 * n)} calls, {time.monotonic() - t0:.1f} s): "
          f"after N / 2N calls: RSS {kib(rss1 - base_rss)} / {kib(rss2 - base_rss)} (of {base_rss >> 20} MiB), "
          f"tracemalloc {kib(tm1 - base_tm)} / {kib(tm2 - base_tm)}, malloc {kib(m1 - base_malloc)} / "
          f"{kib(m2 - base_malloc)}")
    bad_growth = rss2 - rss1 > RSS_TOL or tm2 - tm1 > TRACED_TOL
    if bad_growth:
        print("FAIL aggregate: memory grows with the number of calls")
    return bad_growth


if __name__ == "__main__":
    sys.exit(main())
