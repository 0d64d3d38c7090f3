"""Memory of a long run on the stand-in with its call log on.

Places N orders through c_sdk with logging on and prints the process's
resident set size before and after, and how many calls the log kept and
dropped.  --capacity sets the log's capacity (default: the stand-in's);
--capacity max shows what an unbounded log would cost.

    python3 bench/log_memory.py [--calls 1000000] [--capacity N|max]
"""
import argparse
import os
import resource

from zq.csdk import c_sdk
from zq.csdk.standin import StandIn

REQUEST = b'{"symbol": "DEMO.AAA", "side": "buy", "price": 10.25, "volume": 100, "order_type": "limit"}'


def rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--calls", type=int, default=1_000_000)
    ap.add_argument("--capacity", default=None, help="log capacity, or 'max'")
    args = ap.parse_args()
    core = StandIn()
    core.reset()
    if args.capacity is not None:
        core.set_log_capacity(2**31 - 1 if args.capacity == "max" else int(args.capacity))
    place = c_sdk.py_zqi_place_order
    place(REQUEST)  # the first call's one-time allocations
    before = rss_mib()
    for _ in range(args.calls):
        place(REQUEST)
    after = rss_mib()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{args.calls} calls, log capacity {core.log_capacity()}: kept {len(core.calls())}, "
          f"dropped {core.log_dropped()}; RSS {before:.1f} MiB before, {after:.1f} MiB after "
          f"(+{after - before:.1f}), peak {peak:.1f} MiB")


if __name__ == "__main__":
    main()
