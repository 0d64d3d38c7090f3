#!/usr/bin/env python3
"""An example strategy: two moving averages per symbol over a recorded session.

It drives the bridge the way a Python layer does -- identity and servers, a
back-test period, two subscriptions, one event handler, py_zqi_run -- with
the stand-in core library playing back examples/data/session.txt (format and
event payloads: examples/session.py).  For every 60s bar it updates a short
and a long moving average of the closes; when the short one crosses above the
long one it buys, when it crosses below it sells what it holds.  After the last
bar it stops the run and prints a report.

    python3 examples/strategy.py [SESSION_FILE] [--short 5] [--long 20]
                                 [--progress 1000] [--order-status N]
                                 [--live [--heartbeat 1.0]]

--order-status N makes the stand-in answer every order with status N, to show
how failed orders are reported (c_status_fail logs them at debug level; -v
shows those lines).  Exit status: 0 after a complete run, 1 if the run ended
before the last bar (or the handler raised: the run is stopped and the
traceback printed), 2 for an unusable session file or core library.

--live runs the same strategy as a live session would: through
zq.csdk.live.run() on the live stand-in, which, like a core connected to a
server, delivers what is queued and then waits for more instead of
returning.  The strategy does not stop after the last bar; a second thread
prints a heartbeat to stderr every --heartbeat seconds while the core waits,
and Ctrl-C (or SIGTERM) ends the run with the report printed (exit status as
above; 143 after SIGTERM).
"""
from __future__ import annotations

import argparse
import json
import logging
import sys
import threading
import time
import traceback
from collections import Counter, deque
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import session  # noqa: E402  (the reader beside this file)
from zq.csdk import c_sdk, live  # noqa: E402
from zq.csdk.standin import StandIn  # noqa: E402

DEFAULT_SESSION = Path(__file__).resolve().parent / "data" / "session.txt"
FREQUENCY = "60s"
LOT = 100


class MovingAverage:
    """The mean of the last `n` values."""

    def __init__(self, n: int):
        self.values: deque[float] = deque(maxlen=n)
        self.total = 0.0

    def add(self, value: float) -> None:
        if len(self.values) == self.values.maxlen:
            self.total -= self.values[0]
        self.values.append(value)
        self.total += value

    @property
    def ready(self) -> bool:
        return len(self.values) == self.values.maxlen

    @property
    def value(self) -> float:
        return self.total / len(self.values)


class Strategy:
    """The event handler and its state: per symbol two averages, the last quote, the position."""

    def __init__(self, symbols: list[str], short: int, long: int, last_bar: int, progress: int, total: int):
        self.short = {s: MovingAverage(short) for s in symbols}
        self.long = {s: MovingAverage(long) for s in symbols}
        self.above: dict[str, bool | None] = {s: None for s in symbols}  # short above long at the last bar
        self.quote: dict[str, c_sdk.QuoteItemLikeDict2] = {}
        self.position = {s: 0 for s in symbols}
        self.delivered: Counter[str] = Counter()
        self.orders = self.rejected = 0
        self.last_bar, self.bars = last_bar, 0
        self.progress, self.total = progress, total
        self.stop_status: int | None = None
        self.stop_at_last_bar = True
        self.failure: str | None = None  # the traceback of a handler that raised
        # Per event, the ns from the handler's return for the previous event to
        # its entry for this one: the core hands on the next event, the bridge
        # converts it and calls the handler.  And the ns inside the handler.
        self.bridge: list[int] = []
        self.in_handler = 0
        self._left: int | None = None

    def __call__(self, msg_type: str, data: bytes) -> None:
        entered = time.perf_counter_ns()
        if self._left is not None:
            self.bridge.append(entered - self._left)
        self.delivered[msg_type] += 1
        n = sum(self.delivered.values())
        try:
            if msg_type == "tick":
                self.on_tick(c_sdk.TickLikeDict2(json.loads(data)))
            elif msg_type == "bar":
                self.on_bar(c_sdk.BarLikeDict2(json.loads(data)))
        except Exception:
            # A strategy that cannot handle its events stops the run rather
            # than trading on half its data.
            if self.failure is None:
                self.failure = f"event {n} ({msg_type}): {traceback.format_exc()}"
                self.stop_status = c_sdk.py_zqi_stop()
            return
        if self.progress and n % self.progress == 0:
            print(f"strategy: {n}/{self.total} events", file=sys.stderr, flush=True)
        self._left = time.perf_counter_ns()
        self.in_handler += self._left - entered

    def on_tick(self, tick: c_sdk.TickLikeDict2) -> None:
        if tick.quotes:
            self.quote[tick.symbol] = c_sdk.QuoteItemLikeDict2(tick.quotes[0])

    def on_bar(self, bar: c_sdk.BarLikeDict2) -> None:
        symbol = bar.symbol
        self.short[symbol].add(bar.close)
        self.long[symbol].add(bar.close)
        if self.long[symbol].ready:
            above = self.short[symbol].value > self.long[symbol].value
            was = self.above[symbol]
            if was is not None and above != was:
                if above and self.position[symbol] == 0:
                    self.order(symbol, "buy", LOT, bar)
                elif not above and self.position[symbol] > 0:
                    self.order(symbol, "sell", self.position[symbol], bar)
            self.above[symbol] = above
        self.bars += 1
        if self.bars == self.last_bar and self.stop_at_last_bar:
            self.stop_status = c_sdk.py_zqi_stop()
            c_sdk.c_status_fail(self.stop_status, "zqi_stop")

    def order(self, symbol: str, side: str, volume: int, bar: c_sdk.BarLikeDict2) -> None:
        quote = self.quote.get(symbol)
        if quote is not None:
            price = quote.ask_p if side == "buy" else quote.bid_p
        else:
            price = bar.close
        req = json.dumps({"symbol": symbol, "side": side, "volume": volume, "price": price,
                          "order_type": "limit", "created_at": bar.eob}).encode()
        status, _reply = c_sdk.py_zqi_place_order(req)
        self.orders += 1
        if c_sdk.c_status_fail(status, "zqi_place_order_pb"):
            self.rejected += 1
            return
        self.position[symbol] += volume if side == "buy" else -volume


def check(status: int, what: str) -> None:
    """A setup call must succeed; otherwise stop here with its error text."""
    if c_sdk.c_status_fail(status, what):
        raise SystemExit(f"strategy: {what} failed: {c_sdk.py_zqi_strerror(status).decode()}")


def percentile(values: list[int], q: float) -> float:
    ordered = sorted(values)
    return float(ordered[min(len(ordered) - 1, int(q * len(ordered)))]) if ordered else 0.0


def int_between(low: int, high: int | None = None) -> Callable[[str], int]:
    """An option type: an int from `low` to `high` (no bound when None); anything else is a usage error."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
        if high is None and value < low:
            raise argparse.ArgumentTypeError(f"{value} is less than {low}")
        if high is not None and not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is not between {low} and {high}")
        return value
    return parse


def run_live(core: StandIn, strategy: Strategy, heartbeat: float) -> tuple[int | None, BaseException | None]:
    """zq.csdk.live.run() on the live stand-in until Ctrl-C or SIGTERM, a heartbeat on stderr meanwhile.

    Returns zqi_run's status (None when a signal ended the run) and the exception that ended it.
    """
    core.set_live(True)  # zqi_run waits for more events instead of returning
    strategy.stop_at_last_bar = False
    done = threading.Event()

    def beat() -> None:
        n = 0
        while not done.wait(heartbeat):
            n += 1
            print(f"strategy: heartbeat {n}: {sum(strategy.delivered.values())} events so far, "
                  f"{core.queue_size()} queued, the core waits", file=sys.stderr, flush=True)

    heart = threading.Thread(target=beat, name="heartbeat", daemon=True)
    heart.start()
    try:
        return live.run(), None
    except (KeyboardInterrupt, SystemExit) as e:
        print(f"strategy: {type(e).__name__}: the live run stopped", file=sys.stderr, flush=True)
        return None, e
    finally:
        done.set()
        heart.join()


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description="Moving-average example strategy over a recorded session.")
    ap.add_argument("session", nargs="?", type=Path, default=DEFAULT_SESSION, help="session file to replay")
    ap.add_argument("--short", type=int, default=5, help="bars in the short average (default 5)")
    ap.add_argument("--long", type=int, default=20, help="bars in the long average (default 20)")
    ap.add_argument("--progress", type=int_between(0), default=1000, metavar="N",
                    help="a progress line to stderr every N events (0: none; default 1000)")
    ap.add_argument("--order-status", type=int_between(-2**31, 2**31 - 1), default=None, metavar="N",
                    help="make the stand-in answer every order with status N (a 32-bit int)")
    ap.add_argument("-v", "--verbose", action="store_true", help="show the debug lines of failed statuses")
    ap.add_argument("--live", action="store_true",
                    help="run through zq.csdk.live.run() on the live stand-in until Ctrl-C, with a heartbeat")
    ap.add_argument("--heartbeat", type=float, default=1.0, metavar="S",
                    help="with --live, seconds between heartbeat lines on stderr (default 1.0)")
    args = ap.parse_args(argv)
    if not 0 < args.short < args.long:
        ap.error("--short and --long need 0 < short < long")
    if not args.heartbeat > 0:  # NaN included
        ap.error("--heartbeat needs a positive number of seconds")
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING, format="%(name)s: %(message)s")

    try:
        events = session.load(args.session)
    except session.SessionError as e:
        print(f"strategy: {e}", file=sys.stderr)
        return 2
    try:
        core = StandIn()
    except RuntimeError as e:
        print(f"strategy: {e}; this example replays its session through the stand-in core", file=sys.stderr)
        return 2
    core.reset()
    core.logging(False)  # keep the call log out of the timings; call counts stay
    if args.order_status is not None:
        core.set_status("zqi_place_order_pb", args.order_status)

    symbols = sorted({e.fields["symbol"] for e in events})
    bars = [e for e in events if e.kind == "bar"]
    strategy = Strategy(symbols, args.short, args.long, len(bars), args.progress, len(events))

    # Identity and servers, then the back-test period, then the subscriptions.
    check(c_sdk.py_zqi_set_token("demo-token"), "zqi_set_token")
    c_sdk.py_zqi_set_serv_addr("127.0.0.1:7001")
    c_sdk.py_zqi_set_strategy_id("example-ma-cross")
    first = events[0].fields.get("created_at") or events[0].fields["bob"]
    start, end = first.replace("T", " "), bars[-1].fields["eob"].replace("T", " ")
    check(c_sdk.py_zqi_set_backtest_config(start, end, 1_000_000.0, 1.0, 0.0003, 0.0, 0.0001, 0.0, 0.0,
                                           0, 0, 1), "zqi_set_backtest_config")
    check(c_sdk.zqi_init(), "zqi_init")
    c_sdk.py_zqi_set_data_callback(strategy)
    check(c_sdk.py_zqi_subscribe(",".join(symbols), "tick", False), "zqi_subscribe")
    check(c_sdk.py_zqi_subscribe(",".join(symbols), FREQUENCY, False), "zqi_subscribe")

    queued = session.replay(events, core.queue_event)
    began = time.perf_counter_ns()
    ended_by: BaseException | None = None
    if args.live:
        run_status, ended_by = run_live(core, strategy, args.heartbeat)
    else:
        run_status = c_sdk.py_zqi_run()
    elapsed = time.perf_counter_ns() - began
    stop_code = c_sdk.py_zqi_get_stop_error_code()

    delivered = sum(strategy.delivered.values())
    bridge = strategy.bridge
    mean_us = sum(bridge) / len(bridge) / 1000 if bridge else 0.0
    kinds = ", ".join(f"{k} {strategy.delivered[k]}" for k in sorted(strategy.delivered))
    print(f"session: {args.session.name}, {len(symbols)} symbols ({', '.join(symbols)}), {queued} events queued")
    print(f"events delivered: {delivered} ({kinds})")
    print(f"orders placed: {strategy.orders} ({strategy.rejected} rejected); "
          f"the core received {core.call_count('zqi_place_order_pb')}")
    print(f"time per event through the bridge: mean {mean_us:.2f} us, p99 {percentile(bridge, 0.99) / 1000:.2f} us"
          f" (handler itself: mean {strategy.in_handler / max(delivered, 1) / 1000:.2f} us)")
    result = run_status if ended_by is None else type(ended_by).__name__
    print(f"run: {elapsed / 1e6:.1f} ms, {'live.run' if args.live else 'py_zqi_run'} -> {result}, "
          f"py_zqi_stop -> {strategy.stop_status}, "
          f"stop code {stop_code}")
    if isinstance(ended_by, SystemExit) and strategy.failure is None:
        return int(ended_by.code or 0)
    if strategy.failure is not None:
        print(f"strategy: the handler failed at {strategy.failure}", file=sys.stderr, end="")
        return 1
    if strategy.bars != len(bars):
        print(f"strategy: the run ended after {strategy.bars} of {len(bars)} bars", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
