"""c_sdk hot paths side by side with the call floor and peer builds.

    python3 bench/hotpaths.py run --anchors DIR [--out FILE.json]
    python3 bench/hotpaths.py one CASE N --anchors DIR     (driven under callgrind)
    python3 bench/hotpaths.py profile CASE... --anchors DIR (instructions per op, by function)

DIR holds the measuring kit's builds (anchor_floor, anchor_cy, anchor_pb,
anchor_ctypes, anchor_pure).  Every case runs in each timing process, rounds
interleaved, so a slow spell of the machine hits all columns alike.  Wall
clock: the median of REPEATS rounds of NUMBER operations each (after a
warm-up) in each of PROCESSES fresh interpreters, net of an empty loop; ratios
are medians of the per-round ratios.  Instructions: callgrind, (I(N2) - I(N1)) / (N2 - N1),
which cancels start-up and set-up, net of the empty loop; event cases count
only inside the core's delivery loop.  See bench/README.md.
"""

import argparse
import gc
import importlib
import json
import operator
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
ANCHORS = None  # the kit's build folder (--anchors)

REQ = b"q" * 100
REQ_STR = "q" * 100
PAYLOAD = bytes(range(100))
EVENT_BATCH = 100_000
TICK = {"quotes": [], "symbol": "SHSE.600000", "created_at": 1700000000.0, "price": 10.5, "open": 10.0,
        "high": 11.0, "low": 9.5, "cum_volume": 120000.0, "cum_amount": 1260000.0, "cum_position": 0.0,
        "last_amount": 10500.0, "last_volume": 1000.0, "trade_type": 0, "receive_local_time": 1700000000.1}

COLUMNS = ["c_sdk", "floor", "cython", "pybind11", "ctypes", "pure"]
HEAD = {"c_sdk": "c_sdk", "floor": "floor (C API)", "cython": "Cython", "pybind11": "pybind11",
        "ctypes": "ctypes", "pure": "plain Python"}
KIT = {"floor": "anchor_floor", "cython": "anchor_cy", "pybind11": "anchor_pb", "ctypes": "anchor_ctypes",
       "pure": "anchor_pure"}

# (row, label): c_sdk is compared with the floor of the same row
ROWS = [
    ("rr_pos", "reply pair `fn(req)`, 100-byte bytes"),
    ("rr_kw", "reply pair `fn(req=req)`"),
    ("rr_ba", "reply pair `fn(req)`, 100-byte bytearray (pinned)"),
    ("ad_bytes", "adapted reply pair, bytes"),
    ("ad_str", "adapted reply pair, 100-char ASCII str"),
    ("rq_only", "request only `py_zqi_log(req)`"),
    ("sub_str", "adapted scalar `py_zqi_subscribe('A.B,C.D', '60s', False)`"),
    ("sub_bytes", "adapted scalar `py_zqi_subscribe(b'A.B,C.D', b'60s', False)`"),
    ("cur_str", "adapted composite `py_zqi_current('A.B,C.D', 'price,volume', False)`"),
    ("now", "direct `zqi_now()` -> int"),
    ("now_plus", "direct `zqi_now_plus()` -> float"),
    ("status_ok", "`c_status_ok(0)`"),
    ("status_fail", "`c_status_fail(0, 'name')`"),
    ("event", "event delivery, per event"),
    ("rec_get", "record read `t.price`"),
    ("rec_set", "record write `t.price = 1.0`"),
    ("rec_fallback", "record fallback read `t.somekey`"),
    ("rec_item", "record item read `t['price']`"),
    ("rec_new", "record construction `TickLikeDict2(d)`"),
    ("dict_get", "baseline `d.get('price')`"),
    ("py_call", "baseline no-op Python function call"),
    ("c_eq", "baseline `operator.eq(status, 0)` (C function call)"),
]


# Rows shown for what they tell (the price of pinning a bytearray), not held to a bar.
INFO_ROWS = {"rr_ba"}


def handler(m, d):
    pass


def noop():
    pass


def kit(col):
    return importlib.import_module(KIT[col])


def c_sdk():
    from zq.csdk import c_sdk as m
    return m


# The core library under c_sdk: the no-op core bench/run.sh bundles (CORE=noop,
# the default: it does what the kit's core does), or the stand-in with its
# call log off (CORE=standin).
CORE = os.environ.get("CORE", "noop")


class NoopCore:
    def __init__(self):
        import ctypes
        # The instance the extension loaded: the same file, so the same handle.
        self.lib = ctypes.CDLL(os.path.join(os.path.dirname(c_sdk().__file__), "libzq3-c.so"))
        self.lib.noop_queue.argtypes = [ctypes.c_int]

    def queue(self, n):
        self.lib.noop_queue(n)


class QuietStandIn:
    def __init__(self):
        from zq.csdk.standin import StandIn
        self.core = StandIn()
        self.core.logging(False)

    def queue(self, n):
        for _ in range(n):
            self.core.queue_event(b"tick", PAYLOAD)


def core():
    return NoopCore() if CORE == "noop" else QuietStandIn()


# ---- cases: (id, setup() -> names bound as fast locals, statement) --------------

CASES = {}


def case(cid, stmt, kind="loop"):
    def deco(setup):
        CASES[cid] = (setup, stmt, kind)
        return setup
    return deco


def _reply(fn_of):
    def setup():
        core()
        return {"fn": fn_of(), "req": REQ}
    return setup


for _col in ("floor", "cython", "pybind11", "ctypes"):
    case("rr_pos/" + _col, "fn(req)")(_reply(lambda c=_col: kit(c).py_zqi_get_symbol_infos))
    case("rr_kw/" + _col, "fn(req=req)")(_reply(lambda c=_col: kit(c).py_zqi_get_symbol_infos))
case("rr_pos/c_sdk", "fn(req)")(_reply(lambda: c_sdk().py_zqi_get_symbol_infos))


def _reply_ba(fn_of):
    def setup():
        core()
        return {"fn": fn_of(), "req": bytearray(REQ)}
    return setup


case("rr_ba/c_sdk", "fn(req)")(_reply_ba(lambda: c_sdk().py_zqi_get_symbol_infos))
for _col in ("floor", "cython"):
    case("rr_ba/" + _col, "fn(req)")(_reply_ba(lambda c=_col: kit(c).py_zqi_get_symbol_infos))
case("rr_kw/c_sdk", "fn(req=req)")(_reply(lambda: c_sdk().py_zqi_get_symbol_infos))


def _adapted(col, payload):
    def setup():
        core()
        if col == "c_sdk":
            fn = c_sdk().py_zqi_place_order
        elif col in ("floor", "cython"):
            m = kit(col)
            fn = m.adapt_to_python3(m.py_zqi_get_symbol_infos)
        elif col == "ctypes":  # the interpreted adapter over the ctypes wrapper
            fn = kit("pure").adapt_to_python3(kit("ctypes").py_zqi_get_symbol_infos)
        else:  # the interpreted adapter over the floor's wrapper
            fn = kit("pure").adapt_to_python3(kit("floor").py_zqi_get_symbol_infos)
        return {"fn": fn, "req": payload}
    return setup


for _col in ("c_sdk", "floor", "cython", "ctypes", "pure"):
    case("ad_bytes/" + _col, "fn(req)")(_adapted(_col, REQ))
    case("ad_str/" + _col, "fn(req)")(_adapted(_col, REQ_STR))


def _module(col):
    return c_sdk() if col == "c_sdk" else kit(col)


def _plain(col, name, **values):
    """A module function called as it stands (c_sdk's adapted wrappers come adapted)."""
    def setup():
        core()
        return dict(values, fn=getattr(_module(col), name))
    return setup


def _adapted_fn(col, name, **values):
    """The wrapper through adapt_to_python3: c_sdk's own, the floor's and Cython's
    over their own wrapper, the plain-Python adapter over the floor's wrapper."""
    def setup():
        core()
        if col == "c_sdk":
            fn = getattr(c_sdk(), name)
        elif col in ("floor", "cython"):
            m = kit(col)
            fn = m.adapt_to_python3(getattr(m, name))
        else:
            fn = kit("pure").adapt_to_python3(getattr(kit("floor"), name))
        return dict(values, fn=fn)
    return setup


SYMBOLS, FREQ, FIELDS_TEXT = "A.B,C.D", "60s", "price,volume"
for _col in ("c_sdk", "floor", "cython"):
    case("rq_only/" + _col, "fn(req)")(_plain(_col, "py_zqi_log", req=REQ))
    case("now/" + _col, "fn()")(_plain(_col, "zqi_now"))
    case("now_plus/" + _col, "fn()")(_plain(_col, "zqi_now_plus"))
for _col in ("c_sdk", "floor", "cython", "pure"):
    case("sub_str/" + _col, "fn(sym, freq, False)")(_adapted_fn(_col, "py_zqi_subscribe", sym=SYMBOLS, freq=FREQ))
    case("sub_bytes/" + _col, "fn(sym, freq, False)")(
        _adapted_fn(_col, "py_zqi_subscribe", sym=SYMBOLS.encode(), freq=FREQ.encode()))
    case("cur_str/" + _col, "fn(sym, fields, False)")(
        _adapted_fn(_col, "py_zqi_current", sym=SYMBOLS, fields=FIELDS_TEXT))
    case("status_ok/" + _col, "fn(0)")(_plain(_col, "c_status_ok"))
    case("status_fail/" + _col, "fn(0, 'name')")(_plain(_col, "c_status_fail"))


# Events: c_sdk's py_zqi_run delivers the events queued in its core; the
# kit's builds fire them from their no-op core.  Both deliver into handler().
def _event_csdk():
    m = c_sdk()
    c = core()

    def prepare(n):
        m.py_zqi_set_data_callback(handler)
        c.queue(n)
    return {"prepare": prepare, "fire": lambda n: m.py_zqi_run()}


def _event_standin():
    """The stand-in's own share of an event: its queue drained with no callback."""
    import ctypes
    from zq.csdk.standin import library_path
    c = core()
    lib = ctypes.CDLL(library_path())
    lib.zqi_set_event_callback_pb.argtypes = [ctypes.c_void_p]

    m = c_sdk()

    def prepare(n):
        lib.zqi_set_event_callback_pb(None)
        c.queue(n)
    return {"prepare": prepare, "fire": lambda n: m.py_zqi_run()}


def _event_kit(col):
    def setup():
        m = kit(col)

        def prepare(n):
            m.f = handler
            m.IS_PY2 = False
            m.set_callback()  # the kit's modules share one core callback slot
        return {"prepare": prepare, "fire": m.fire}
    return setup


CASES["event/c_sdk"] = (_event_csdk, None, "event")
CASES["event_standin/c_sdk"] = (_event_standin, None, "event")
for _col in ("floor", "cython", "ctypes"):
    CASES["event/" + _col] = (_event_kit(_col), None, "event")


def _record(col):
    def setup():
        T = c_sdk().TickLikeDict2 if col == "c_sdk" else kit(col).TickLikeDict2
        d = dict(TICK)
        return {"T": T, "t": T(d), "d": d}
    return setup


for _col in ("c_sdk", "floor", "cython", "pure"):
    case("rec_get/" + _col, "t.price")(_record(_col))
    case("rec_set/" + _col, "t.price = 1.0")(_record(_col))
    case("rec_fallback/" + _col, "t.somekey")(_record(_col))
    case("rec_item/" + _col, "t['price']")(_record(_col))
    case("rec_new/" + _col, "T(d)")(_record(_col))
case("dict_get/base", "d.get('price')")(lambda: {"d": dict(TICK)})
case("py_call/base", "noop()")(lambda: {"noop": noop})
case("c_eq/base", "eq(st, 0)")(lambda: {"eq": operator.eq, "st": 0})
case("empty/base", "pass")(lambda: {})


def available(cid):
    """False when the build lacks what the case measures (records not landed yet)."""
    row, col = cid.split("/")
    if row == "event_standin":
        return CORE == "standin"
    if row.startswith("rec_") and col == "c_sdk":
        return hasattr(c_sdk(), "TickLikeDict2")
    return True


# ---- running one case -------------------------------------------------------------

def make_runner(cid):
    """run(n) -> nanoseconds taken by n operations of the case."""
    setup, stmt, kind = CASES[cid]
    names = setup()
    if kind == "event":
        prepare, fire = names["prepare"], names["fire"]

        def run(n):
            total = 0
            while n > 0:
                k = min(n, EVENT_BATCH)
                prepare(k)
                t0 = time.perf_counter_ns()
                fire(k)
                total += time.perf_counter_ns() - t0
                n -= k
            return total
        return run
    bind = "; ".join("%s = _ns[%r]" % (k, k) for k in names) or "pass"
    timer = timeit.Timer(stmt, bind, timer=time.perf_counter_ns, globals={"_ns": names})
    return timer.timeit  # gc is off while it runs


def time_samples(cids, repeats, number):
    """ns per operation of every round of every case, in this process."""
    runners = {cid: make_runner(cid) for cid in cids}
    for cid, run in runners.items():  # warm-up: the adaptive interpreter, allocator pools
        run(min(number, 20_000))
    samples = {cid: [] for cid in cids}
    for r in range(repeats):
        for cid, run in runners.items():
            gc.collect()
            gc.disable()
            try:
                samples[cid].append(run(number) / number)
            finally:
                gc.enable()
        print("  round %d/%d" % (r + 1, repeats), file=sys.stderr)
    return samples


def time_all(cids, repeats, number, processes):
    """Rounds from `processes` fresh interpreters, one after the other.

    One process draws one memory layout (addresses of code, objects and
    stack), which moves a 15 ns row by 10-20 % from process to process here,
    whichever side it favours; the rounds of several processes average it."""
    samples = {cid: [] for cid in cids}
    for p in range(processes):
        with tempfile.NamedTemporaryFile("r", suffix=".json") as tmp:
            cmd = [sys.executable, os.path.abspath(__file__), "samples", tmp.name, str(repeats), str(number),
                   *cids, "--anchors", ANCHORS]
            print(" process %d/%d" % (p + 1, processes), file=sys.stderr)
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
            for cid, xs in json.load(tmp).items():
                samples[cid] += xs
    # The rounds of all processes pooled.  A case's time is its median round,
    # net of the empty loop's median; a ratio is the median over rounds of the
    # two cases' times in the same round, each net of that round's empty loop:
    # the cases of one row run back to back, so the machine's slow and fast
    # spells (several-fold here) cancel in the ratio, and the processes'
    # different layouts are all in the pool.
    empty = statistics.median(samples["empty/base"])
    out = {}
    for cid in cids:
        med = statistics.median(samples[cid])
        loop = CASES[cid][2] == "loop" and cid != "empty/base"
        net = [x - e for x, e in zip(samples[cid], samples["empty/base"])] if loop else samples[cid]
        out[cid] = {"median_ns": med, "net_ns": med - empty if loop else med, "samples": samples[cid],
                    "net_samples": net}
    return empty, out


def order(cids):
    """Cases of one row run next to each other in a round, so the ratios within a row see the same machine."""
    rows = [r for r, _ in ROWS]

    def key(cid):
        row, col = cid.split("/")
        row = {"event_standin": "event", "empty": "rr_pos"}.get(row, row)
        return (rows.index(row) if row in rows else len(rows), COLUMNS.index(col) if col in COLUMNS else -1)
    return sorted(cids, key=key)


def time_ratio(tm, a, b):
    """Median over the pooled rounds of a / b, the two measured in the same round."""
    if a not in tm or b not in tm:
        return None
    pairs = [x / y for x, y in zip(tm[a]["net_samples"], tm[b]["net_samples"]) if y > 0]
    return statistics.median(pairs) if pairs else None


# ---- callgrind ----------------------------------------------------------------------

N1, N2 = int(os.environ.get("CG_N1", "5000")), int(os.environ.get("CG_N2", "25000"))
# The function each case's own work runs in, inside the core library: event
# cases count only there; the reply and request cases report its inclusive
# count as the stand-in's share.
CORE_FN = {"rr_pos/c_sdk": "zqi_get_symbol_infos", "rr_kw/c_sdk": "zqi_get_symbol_infos",
           "rr_ba/c_sdk": "zqi_get_symbol_infos",
           "ad_bytes/c_sdk": "zqi_place_order_pb", "ad_str/c_sdk": "zqi_place_order_pb",
           "rq_only/c_sdk": "zqi_log_pb", "sub_str/c_sdk": "zqi_subscribe", "sub_bytes/c_sdk": "zqi_subscribe",
           "cur_str/c_sdk": "zqi_current_pb", "now/c_sdk": "zqi_now", "now_plus/c_sdk": "zqi_now_plus"}
# A core function entered through ctypes (libffi) never triggers the toggle, so
# the ctypes build's event row has no instruction count.
EVENT_LOOP = {"c_sdk": "zqi_run", "floor": "core_fire", "cython": "core_fire"}


def one(cid, n):
    run = make_runner(cid)
    if CASES[cid][2] == "loop":
        run(2000)  # the same warm-up in both counts, so it cancels
    run(n)


def _annotate(path):
    """Inclusive instruction count per function name."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                          capture_output=True, text=True, check=True).stdout
    inc = {}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(?:\S*:)?([\w:()\s]*?\w)\s*(?:\[|$)", line)
        if m:
            name = m.group(2).split("::")[-1].strip()
            inc.setdefault(name, int(m.group(1).replace(",", "")))
    return inc


def _count(cid, n, anchors, tmp):
    outf = os.path.join(tmp, "%s.%d.cg" % (cid.replace("/", "_"), n))
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + outf]
    row, col = cid.split("/")
    if row.startswith("event"):
        cmd.append("--toggle-collect=" + EVENT_LOOP[col])
    cmd += [sys.executable, os.path.abspath(__file__), "one", cid, str(n), "--anchors", anchors]
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError("callgrind run of %s (%d ops) failed:\n%s" % (cid, n, done.stderr[-3000:]))
    with open(outf) as fh:
        total = next(int(m.group(1)) for m in (re.match(r"(?:summary|totals):\s+(\d+)", ln) for ln in fh) if m)
    parts = {}
    if cid in CORE_FN:
        parts["core"] = _annotate(outf).get(CORE_FN[cid], 0)
    return total, parts


def count_all(cids, anchors, jobs):
    cids = [c for c in cids if not c.startswith("event") or c.split("/")[1] in EVENT_LOOP]
    work = [(cid, n) for cid in cids for n in (N1, N2)]
    with tempfile.TemporaryDirectory() as tmp, ThreadPoolExecutor(jobs) as pool:
        res = dict(zip(work, pool.map(lambda w: _count(w[0], w[1], anchors, tmp), work)))
    per = {cid: (res[(cid, N2)][0] - res[(cid, N1)][0]) / (N2 - N1) for cid in cids}
    empty = per["empty/base"]
    out = {}
    for cid in cids:
        loop = CASES[cid][2] == "loop" and cid != "empty/base"
        out[cid] = {"gross_ins": per[cid], "net_ins": per[cid] - empty if loop else per[cid]}
        if "core" in res[(cid, N2)][1]:
            out[cid]["core_ins"] = (res[(cid, N2)][1]["core"] - res[(cid, N1)][1]["core"]) / (N2 - N1)
    return empty, out


def _exclusive(path):
    """Exclusive instruction count per function (file:function [object] as callgrind names it)."""
    text = subprocess.run(["callgrind_annotate", "--auto=no", "--threshold=100", path],
                          capture_output=True, text=True, check=True).stdout
    out = {}
    for line in text.split("file:function", 1)[-1].splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.*)$", line)
        if m:
            name = re.sub(r"^\S*/", "", m.group(2).split(" [")[0])
            out[name] = out.get(name, 0) + int(m.group(1).replace(",", ""))
    return out


def profile(cid, anchors, top=30):
    """Per-operation instructions by function: where one operation of a case goes."""
    with tempfile.TemporaryDirectory() as tmp:
        counts = []
        for n in (N1, N2):
            _count(cid, n, anchors, tmp)
            counts.append(_exclusive(os.path.join(tmp, "%s.%d.cg" % (cid.replace("/", "_"), n))))
    per = {k: (counts[1].get(k, 0) - counts[0].get(k, 0)) / (N2 - N1) for k in set(counts[0]) | set(counts[1])}
    rows = sorted(per.items(), key=lambda kv: -kv[1])
    print("%s: %.0f instructions per operation (gross, loop included)" % (cid, sum(per.values())))
    for name, v in rows[:top]:
        if v >= 0.5:
            print("%8.1f  %s" % (v, name))


# ---- report -------------------------------------------------------------------------

def machine():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as fh:
            cpu = next(ln.split(":", 1)[1].strip() for ln in fh if ln.startswith("model name"))
    except (OSError, StopIteration):
        pass
    cc = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()
    return {"nproc": os.cpu_count(), "cpu": cpu, "python": platform.python_version(),
            "compiler": cc[0] if cc else "?", "machine": platform.machine()}


def report(res):
    tm, cg = res["time"], res.get("callgrind", {})

    def ns(cid):
        return tm[cid]["net_ns"] if cid in tm else None

    def ins(cid):
        return cg[cid]["net_ins"] if cid in cg else None

    def cell(cid):
        if cid not in tm:
            return "–"
        s = "%.1f ns" % ns(cid)
        return s + (" / %.0f ins" % ins(cid) if ins(cid) is not None else "")

    def ratio(a, b, f):
        if f is ns:
            r = time_ratio(tm, a, b)
            return "%.2f" % r if r is not None else "–"
        x, y = f(a), f(b)
        return "%.2f" % (x / y) if x is not None and y else "–"

    mc = res["machine"]
    lines = ["machine: %s, nproc=%d, CPU %s; Python %s; %s" % (mc["machine"], mc["nproc"], mc["cpu"],
                                                               mc["python"], mc["compiler"]),
             "time: median of %d processes x %d rounds x %d ops after a warm-up, net of the empty loop "
             "(%.1f ns/iter); event rows per event; time ratios are medians of the per-round ratios" % (
                 res.get("processes", 1), res["repeats"], res["number"], res["empty_ns"])]
    lines.append("core under c_sdk: %s" % {"noop": "the no-op core (bench/noop_core.py), as the kit's",
                                          "standin": "the stand-in, call log off"}[res.get("core", "standin")])
    if cg:
        lines.append("instructions: callgrind, (I(%d) - I(%d)) / %d per op, net of the empty loop (%.0f ins/iter); "
                     "event rows count inside the core's delivery loop" % (N2, N1, N2 - N1, res["empty_ins"]))
    lines += ["", "| operation | " + " | ".join(HEAD[c] for c in COLUMNS) +
              " | c_sdk / floor (time, ins) | c_sdk / Cython (time, ins) | core's share of c_sdk |",
              "|---|" + "---|" * (len(COLUMNS) + 3)]
    for row, label in ROWS:
        cols = ["%s/%s" % (row, c) for c in COLUMNS]
        if row in ("dict_get", "py_call", "c_eq"):
            cols = ["–"] * (len(COLUMNS) - 1) + ["%s/base" % row]
        c_id, f_id, cy_id = "%s/c_sdk" % row, "%s/floor" % row, "%s/cython" % row
        share = ""
        if c_id in cg and "core_ins" in cg[c_id]:
            share = "%.0f ins" % cg[c_id]["core_ins"]
        elif row == "event" and "event_standin/c_sdk" in tm:
            share = cell("event_standin/c_sdk")
        rf = "%s, %s" % (ratio(c_id, f_id, ns), ratio(c_id, f_id, ins)) if c_id in tm else ""
        rc = "%s, %s" % (ratio(c_id, cy_id, ns), ratio(c_id, cy_id, ins)) if c_id in tm and cy_id in tm else ""
        lines.append("| %s | %s | %s | %s | %s |" % (label, " | ".join(cell(c) for c in cols), rf, rc, share))
    lines += ["", "bars:"] + ["- " + b for b in bars(res)]
    return "\n".join(lines)


def bars(res):
    tm, cg = res["time"], res.get("callgrind", {})
    out = []

    def get(d, cid, key):
        return d[cid][key] if cid in d else None

    def check(name, a, b, limit, limit_ins=None, key_t="net_ns", key_i="net_ins"):
        limit_ins = limit if limit_ins is None else limit_ins
        ta, tb, ia, ib = get(tm, a, key_t), get(tm, b, key_t), get(cg, a, key_i), get(cg, b, key_i)
        if ta is None or tb is None:
            return
        rt = time_ratio(tm, a, b)
        ri = ia / ib if ia is not None and ib else None
        ok = rt <= limit and (ri is None or ri <= limit_ins)
        lim = "%.2fx" % limit if limit_ins == limit else "%.2fx, %.2fx" % (limit, limit_ins)
        out.append("%s %s: time %.2fx%s (limit %s)" % ("PASS" if ok else "FAIL", name, rt,
                                                       ", ins %.2fx" % ri if ri is not None else "", lim))

    for row, label in ROWS:
        c_id = row + "/c_sdk"
        if c_id not in tm or row in INFO_ROWS:
            continue
        check("%s at the floor" % row, c_id, row + "/floor", 1.10, 1.15)
        if row + "/cython" in tm:
            check("%s ahead of Cython" % row, c_id, row + "/cython", 1.0)
    for row in ("rec_get", "rec_fallback"):
        check("%s within 1.5x of dict.get" % row, row + "/c_sdk", "dict_get/base", 1.5)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["run", "one", "report", "profile", "samples"])
    ap.add_argument("rest", nargs="*")
    ap.add_argument("--anchors", required=True)
    ap.add_argument("--out")
    args = ap.parse_args()
    sys.path.insert(0, os.path.abspath(args.anchors))
    global ANCHORS
    ANCHORS = os.path.abspath(args.anchors)
    if args.mode == "one":
        one(args.rest[0], int(args.rest[1]))
        return
    if args.mode == "samples":
        out, repeats, number = args.rest[0], int(args.rest[1]), int(args.rest[2])
        with open(out, "w") as fh:
            json.dump(time_samples(args.rest[3:], repeats, number), fh)
        return
    if args.mode == "profile":
        for cid in args.rest:
            profile(cid, args.anchors)
        return
    if args.mode == "report":
        with open(args.rest[0]) as fh:
            print(report(json.load(fh)))
        return
    repeats = int(os.environ.get("REPEATS", "10"))
    number = int(os.environ.get("NUMBER", "100000"))
    processes = int(os.environ.get("PROCESSES", "6"))
    if repeats * processes < 60 or number < 100_000:
        print("note: fewer than 60 rounds of 100,000 operations", file=sys.stderr)
    only = os.environ.get("ONLY")
    cids = order([c for c in CASES if available(c) and (not only or c == "empty/base" or re.search(only, c))])
    missing = [c for c in CASES if not available(c)]
    if missing:
        print("not in this build (rows skipped): " + ", ".join(missing), file=sys.stderr)
    res = {"machine": machine(), "repeats": repeats, "number": number, "processes": processes, "core": CORE}
    print("timing %d cases" % len(cids), file=sys.stderr)
    res["empty_ns"], res["time"] = time_all(cids, repeats, number, processes)
    if os.environ.get("CG", "1") != "0":
        print("counting instructions with callgrind", file=sys.stderr)
        reuse = os.environ.get("CG_REUSE")
        counted = cids
        if reuse:
            # The kit's columns do not change with the module: their counts
            # are taken from an earlier run of the same kit build, and only
            # the c_sdk cases (and the empty loop) are counted again.
            with open(reuse) as fh:
                old = json.load(fh).get("callgrind", {})
            counted = [c for c in cids if c.endswith("/c_sdk") or c == "empty/base" or c not in old]
        cg_only = os.environ.get("CG_ONLY")
        if cg_only:
            counted = [c for c in counted if c == "empty/base" or re.search(cg_only, c)]
        res["empty_ins"], res["callgrind"] = count_all(counted, args.anchors, max(1, os.cpu_count() or 1))
        if reuse:
            for c in cids:
                if c not in res["callgrind"] and c in old:
                    res["callgrind"][c] = old[c]
    if args.out:
        with open(args.out, "w") as fh:
            json.dump(res, fh, indent=1)
    print(report(res))


if __name__ == "__main__":
    main()
