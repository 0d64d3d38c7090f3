#!/usr/bin/env python3
"""Writes the recorded session examples/data/session.txt (format: examples/session.py).

Two made-up symbols trade from 09:30 to 11:30: one tick every six seconds
each, and a 60-second bar per symbol after each minute's ticks, so the file
ends with a bar.  Prices follow a seeded random walk with slow swings, so the
same file comes out on every run:

    python3 examples/make_session.py [--seed 7] [--minutes 120] [--out PATH]
"""
from __future__ import annotations

import argparse
import math
import random
from datetime import datetime, timedelta
from pathlib import Path

SYMBOLS = {"DEMO.AAA": 10.00, "DEMO.BBB": 25.00}
TICK_SECONDS = 6
START = datetime(2024, 3, 1, 9, 30)


def stamp(t: datetime) -> str:
    return t.strftime("%Y-%m-%dT%H:%M:%S")


def generate(seed: int, minutes: int) -> list[str]:
    rng = random.Random(seed)
    price = dict(SYMBOLS)
    cum = {s: 0 for s in SYMBOLS}
    phase = {s: rng.uniform(0, 2 * math.pi) for s in SYMBOLS}
    lines = [
        "# A recorded session for the example strategy; written by examples/make_session.py",
        f"# seed {seed}, {minutes} minutes, one tick per {TICK_SECONDS} s per symbol, 60s bars.",
        "# tick SYMBOL CREATED_AT PRICE LAST_VOLUME CUM_VOLUME BID_P BID_V ASK_P ASK_V",
        "# bar SYMBOL FREQUENCY BOB EOB OPEN HIGH LOW CLOSE VOLUME",
    ]
    for minute in range(minutes):
        bob = START + timedelta(minutes=minute)
        prices: dict[str, list[float]] = {s: [] for s in SYMBOLS}
        volume = {s: 0 for s in SYMBOLS}
        for step in range(60 // TICK_SECONDS):
            t = bob + timedelta(seconds=(step + 1) * TICK_SECONDS)
            for s in SYMBOLS:
                tick_size = 0.01
                swing = 0.004 * math.sin(2 * math.pi * minute / 37 + phase[s])  # slow trend changes
                p = price[s] * (1 + swing / 10 + rng.gauss(0, 0.0012))
                p = max(round(p / tick_size) * tick_size, tick_size)
                price[s] = p
                vol = rng.randint(1, 40) * 100
                cum[s] += vol
                bid, ask = p - tick_size, p + tick_size
                lines.append(f"tick {s} {stamp(t)} {p:.2f} {vol} {cum[s]} {bid:.2f} "
                             f"{rng.randint(1, 60) * 100} {ask:.2f} {rng.randint(1, 60) * 100}")
                prices[s].append(p)
                volume[s] += vol
        eob = bob + timedelta(minutes=1)
        for s in SYMBOLS:
            ps = prices[s]
            lines.append(f"bar {s} 60s {stamp(bob)} {stamp(eob)} {ps[0]:.2f} {max(ps):.2f} {min(ps):.2f} "
                         f"{ps[-1]:.2f} {volume[s]}")
    return lines


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--minutes", type=int, default=120)
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "data" / "session.txt")
    args = ap.parse_args()
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text("\n".join(generate(args.seed, args.minutes)) + "\n")


if __name__ == "__main__":
    main()
