"""Servo loop benchmark: ornix.ServoLoop at 1 kHz beside two loops paced from Python.

Variants, each a process of its own (bench/servo_client.py) against a virtual arm started for it:
- servo loop: ornix.ServoLoop(arm, rate=1000) sending a constant small force, its state read by
  the program about 100 times a second;
- Python, time.sleep: a loop that sleeps until each absolute deadline, then exchanges;
- Python, spin: a loop that spins on the clock until each deadline, then exchanges.
Conditions: idle; busy, every core kept busy by a spinning process at normal priority for the
length of the run; allocating, the program building and dropping large nested lists of small
objects so that the collector pauses it (the Python loops between ticks, the servo loop's
program in its main thread). And the servo loop against an arm behind `--latency
usb-full-speed`, asked for 1000 and for 500 ticks a second.

Every round measures each variant under each condition once, in an order rotated from round to
round; the tables give the median over rounds with the rounds' range. Lateness is the start of a
tick's work minus its deadline; missed, the deadlines skipped because they had passed by more
than a period; processor, the loop thread's processor seconds a second.

`--json FILE` writes the tables as one JSON object:
    {"rounds": R, "seconds": S, "rate": 1000, "machine": {"system", "python", "cores"},
     "sections": {SECTION: {"title": TEXT, "rows": {ROW: {FIGURE: {"median", "low", "high"}}}}},
     "goals": [{"goal": TEXT, "value": NUMBER or null, "met": BOOL}]}
SECTION is idle, busy, allocating (ROW: servo loop, Python time.sleep, Python spin) or
usb-full-speed (ROW: 1000 Hz, 500 Hz); FIGURE is a column of the printed table: rate, missed,
lateness_p50_us, lateness_p99_us, lateness_max_us, cpu_per_second; for the servo loop (and
usb-full-speed) also exchange_p50_us, exchange_p99_us, exchange_max_us; allocating, also pauses,
pause_max_ms, pause_share, rate_in_pauses and rate_between_pauses (the program's collector
pauses of 1 ms or more in a run, the longest, their share of the time, and the loop's rate in
them and between them).
Run: python3 bench/bench_servo.py [--rounds R] [--seconds S] [--json FILE]
"""

import argparse
import contextlib
import json
import os
import platform
import statistics
import subprocess
import sys

from busy_cores import BusyCores
from ornix.testing import VirtualDevices

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = os.path.join(HERE, "servo_client.py")
RATE = 1000.0

# Goals: the servo loop's 99th percentile of lateness, idle and with every core busy; and no
# tick of it delayed by the program's collector: while the collector pauses the program, the loop
# keeps the pace it keeps between the pauses (counted from its state's tick, whose grain of a
# period in each pause this allows for).
IDLE_P99_US = 50.0
BUSY_P99_US = 200.0
PAUSE_PACE = 0.95

VARIANTS = [("servo loop", "servo"), ("Python time.sleep", "sleep"), ("Python spin", "spin")]
CONDITIONS = [
    ("idle", "Idle: no load from the benchmark beside the loop", "none", False),
    ("busy", "Busy: every core kept busy by a spinning process", "none", True),
    ("allocating", "Allocating: the program builds and drops nested lists", "allocate", False),
]
LINK_RATES = [("1000 Hz", 1000.0), ("500 Hz", 500.0)]

# Each figure's label in the tables and its format.
FIGURES = {
    "rate": ("rate /s", "{:.0f}"),
    "lateness_p50_us": ("late p50 us", "{:.0f}"),
    "lateness_p99_us": ("late p99 us", "{:.0f}"),
    "lateness_max_us": ("late max us", "{:.0f}"),
    "missed": ("missed", "{:.0f}"),
    "cpu_per_second": ("processor s/s", "{:.3f}"),
    "exchange_p50_us": ("exch p50 us", "{:.0f}"),
    "exchange_p99_us": ("exch p99 us", "{:.0f}"),
    "exchange_max_us": ("exch max us", "{:.0f}"),
    "pauses": ("pauses", "{:.0f}"),
    "pause_max_ms": ("longest ms", "{:.1f}"),
    "pause_share": ("share of the time", "{:.2f}"),
    "rate_in_pauses": ("loop's rate in them /s", "{:.0f}"),
    "rate_between_pauses": ("between them /s", "{:.0f}"),
}
LOOP = [
    "rate",
    "lateness_p50_us",
    "lateness_p99_us",
    "lateness_max_us",
    "missed",
    "cpu_per_second",
]
EXCHANGE = ["exchange_p50_us", "exchange_p99_us", "exchange_max_us"]
PAUSES = ["pauses", "pause_max_ms", "pause_share", "rate_in_pauses", "rate_between_pauses"]
LINK = ["rate", "missed", *EXCHANGE, "lateness_p99_us", "cpu_per_second"]


def measure(variant, work, seconds, rate, busy=False, link=()):
    """One run of a variant against an arm of its own: the client's figures."""
    with VirtualDevices("arm", *link) as arm, BusyCores() if busy else contextlib.nullcontext():
        output = subprocess.run(
            [sys.executable, CLIENT, variant, work, arm.port, str(seconds), str(rate)],
            stdout=subprocess.PIPE,
            text=True,
            check=True,
            timeout=seconds + 60,
        ).stdout
    return json.loads(output.splitlines()[-1])


def rotated(items, by):
    by %= len(items)
    return items[by:] + items[:by]


def summary(rounds, keys):
    """Each figure's median over the rounds with their range."""
    return {
        key: {
            "median": statistics.median(result[key] for result in rounds),
            "low": min(result[key] for result in rounds),
            "high": max(result[key] for result in rounds),
        }
        for key in keys
    }


def spread(figures, key):
    form = FIGURES[key][1]
    figure = figures[key]
    return (
        f"{form.format(figure['median'])} "
        f"({form.format(figure['low'])}-{form.format(figure['high'])})"
    )


def listed(figures, keys):
    return ", ".join(f"{FIGURES[key][0]} {spread(figures, key)}" for key in keys)


def report(title, rows, keys):
    print(f"\n{title}")
    print(f"  {'':18}" + "".join(f" {FIGURES[key][0]:>20}" for key in keys))
    for name, row in rows.items():
        print(f"  {name:18}" + "".join(f" {spread(row, key):>20}" for key in keys))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds")
    parser.add_argument("--seconds", type=float, default=3.0, help="seconds measured per run")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE")
    options = parser.parse_args()

    results = {(condition, name): [] for condition, *_ in CONDITIONS for name, _ in VARIANTS}
    results.update({("usb-full-speed", name): [] for name, _ in LINK_RATES})
    for index in range(options.rounds):
        for condition, _, work, busy in rotated(CONDITIONS, index):
            for name, variant in rotated(VARIANTS, index):
                results[condition, name].append(
                    measure(variant, work, options.seconds, RATE, busy=busy)
                )
        for name, rate in rotated(LINK_RATES, index):
            results["usb-full-speed", name].append(
                measure(
                    "servo", "none", options.seconds, rate, link=("--latency", "usb-full-speed")
                )
            )

    policies = sorted(
        {run["policy"] for runs in results.values() for run in runs if "policy" in run}
    )
    print(
        f"{options.rounds} interleaved rounds of {options.seconds:g} s at {RATE:.0f} ticks/s "
        f"against ornix-sim arms; the servo loop ran at {', '.join(policies)}; "
        "medians, rounds' range in brackets"
    )
    sections = {}
    for condition, title, _, _ in CONDITIONS:
        rows = {name: summary(results[condition, name], LOOP) for name, _ in VARIANTS}
        sections[condition] = {"title": title, "rows": rows}
        report(title, rows, LOOP)
        exchanges = summary(results[condition, "servo loop"], EXCHANGE)
        rows["servo loop"].update(exchanges)
        print(f"  the servo loop's exchanges: {listed(exchanges, EXCHANGE)}")
    allocating = results["allocating", "servo loop"]
    pauses = summary(allocating, PAUSES)
    sections["allocating"]["rows"]["servo loop"].update(pauses)
    print("  the servo loop's program, its collector's pauses of 1 ms or more:")
    print(f"    {listed(pauses, PAUSES)}")
    # A round too short for a pause of 1 ms tells nothing of them.
    kept_pace = min(
        (run["rate_in_pauses"] / run["rate_between_pauses"] for run in allocating if run["pauses"]),
        default=None,
    )
    title = "usb-full-speed: the servo loop, its arm behind --latency usb-full-speed"
    rows = {name: summary(results["usb-full-speed", name], LINK) for name, _ in LINK_RATES}
    sections["usb-full-speed"] = {"title": title, "rows": rows}
    report(title, rows, LINK)

    servo = {condition: sections[condition]["rows"]["servo loop"] for condition, *_ in CONDITIONS}
    goals = [
        (
            f"p99 lateness idle <= {IDLE_P99_US:.0f} us",
            servo["idle"]["lateness_p99_us"]["median"],
            servo["idle"]["lateness_p99_us"]["median"] <= IDLE_P99_US,
        ),
        (
            f"p99 lateness with every core busy <= {BUSY_P99_US:.0f} us",
            servo["busy"]["lateness_p99_us"]["median"],
            servo["busy"]["lateness_p99_us"]["median"] <= BUSY_P99_US,
        ),
        (
            "no tick delayed by the program's pauses: the loop's rate in them over its rate "
            f"between them, lowest round, >= {PAUSE_PACE}",
            kept_pace,
            kept_pace is not None and kept_pace >= PAUSE_PACE,
        ),
    ]
    print("\nGoals (the servo loop)")
    for text, value, met in goals:
        shown = "no pause of 1 ms measured" if value is None else f"{value:g}"
        print(f"  {text}: {shown}, {'met' if met else 'missed'}")

    if options.json:
        with open(options.json, "w") as file:
            json.dump(
                {
                    "rounds": options.rounds,
                    "seconds": options.seconds,
                    "rate": RATE,
                    "machine": {
                        "system": platform.platform(),
                        "python": platform.python_version(),
                        "cores": os.cpu_count(),
                    },
                    "sections": sections,
                    "goals": [
                        {"goal": text, "value": value, "met": met} for text, value, met in goals
                    ],
                },
                file,
                indent=2,
            )


if __name__ == "__main__":
    main()
