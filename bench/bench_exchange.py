"""Exchange benchmark: one end-effector force exchange with virtual arms, client against client.

Sections, all measured in one run, in interleaved rounds so that drift hits every client alike:
- at once:   an arm that answers at once: the library, pyserial and struct, and a bare C++
             client that writes the request, polls the byte count and reads the reply (the floor);
- 1 ms, 5 ms: arms that answer after 1 ms and 5 ms: time and processor time per exchange;
- busy:      the 1 ms arm with every core kept busy by other processes;
- 3 arms:    three arms driven by three threads, against one thread taking them in turn.

Every client is a process of its own (bench/exchange_client.py); `--baseline PYTHON` also times
the library as installed for another interpreter, such as an earlier build in its own venv, and
`--pypy PYTHON` the library under PyPy. `--latency MODEL` puts every arm behind one of
ornix-sim's link models (`ornix-sim arm --help`), such as usb-full-speed.
Run: python3 bench/bench_exchange.py [--rounds R] [--baseline PYTHON] [--pypy PYTHON]
                                     [--latency MODEL]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

from busy_cores import BusyCores
from ornix.testing import VirtualDevices

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = os.path.join(HERE, "exchange_client.py")
FLOOR_SOURCE = os.path.join(HERE, "floor_client.cpp")
FLOOR_BINARY = os.path.join(HERE, "..", "build", "bench", "floor_client")

# Goals: the library's time over the floor's stays within this factor of the baseline's; its
# processor time per exchange stays under this share of the exchange's wall time.
BASELINE_FACTOR = 1.05
PROCESSOR_SHARE = 0.1
# Under PyPy the library's time, at the median and at the 99th percentile, stays within this
# factor of CPython's.
PYPY_FACTOR = 1.2


def build_floor_client():
    os.makedirs(os.path.dirname(FLOOR_BINARY), exist_ok=True)
    compiler = os.environ.get("CXX", "c++")
    subprocess.run(
        [compiler, "-O2", "-std=c++17", "-Wall", "-Wextra", FLOOR_SOURCE, "-o", FLOOR_BINARY],
        check=True,
    )


def run_client(python, client, mode, ports, amount):
    output = subprocess.run(
        [python, CLIENT, client, mode, ",".join(ports), str(amount)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return json.loads(output.splitlines()[-1])


def run_floor(ports, amount):
    output = subprocess.run(
        [FLOOR_BINARY, ports[0], str(amount)], capture_output=True, text=True, check=True
    ).stdout
    return {"times": [int(line) for line in output.split()]}


class Section:
    """One device set-up and the clients timed against it; gathers every round's results."""

    def __init__(self, title, devices, clients, amount, busy=False):
        self.title, self.devices, self.clients = title, devices, clients
        self.amount, self.busy = amount, busy
        self.results = {name: [] for name, _ in clients}

    def measure(self, ports):
        for name, run in self.clients:
            if self.busy:
                with BusyCores():
                    self.results[name].append(run(ports[self.devices], self.amount))
            else:
                self.results[name].append(run(ports[self.devices], self.amount))


def spread(values, scale=1.0, form="{:.1f}"):
    """The median of the values with their range: `median (low-high)`."""
    low, mid, high = min(values) * scale, statistics.median(values) * scale, max(values) * scale
    return f"{form.format(mid)} ({form.format(low)}-{form.format(high)})"


def per_exchange(section):
    """Per client, in microseconds: each round's median exchange time and the median of those,
    the 99th percentile of all rounds together, and each round's processor time per exchange."""
    table = {}
    for name, rounds in section.results.items():
        pooled = sorted(t for result in rounds for t in result["times"])
        medians = [statistics.median(result["times"]) / 1000 for result in rounds]
        table[name] = {
            "median": statistics.median(medians),
            "p99": pooled[int(0.99 * (len(pooled) - 1))] / 1000,
            "rounds": medians,
            "processor": [
                result["processor"] / len(result["times"]) * 1e6
                for result in rounds
                if "processor" in result
            ],
        }
    return table


def report_each(section):
    table = per_exchange(section)
    print(f"\n{section.title}")
    print(f"  {'client':22} {'median us (rounds)':>26} {'p99 us':>9} {'processor us':>26}")
    for name, row in table.items():
        processor = spread(row["processor"]) if row["processor"] else "-"
        print(
            f"  {name:22} {spread(row['rounds']):>26} {row['p99']:9.1f} {processor:>26}"
            + (
                f"  {statistics.median(row['processor']) / row['median']:.3f} of wall"
                if row["processor"]
                else ""
            )
        )
    return table


def report_rates(section):
    print(f"\n{section.title}")
    rates = {}
    for name, rounds in section.results.items():
        rates[name] = [result["exchanges"] / result["wall"] for result in rounds]
        print(f"  {name:22} {spread(rates[name], form='{:.0f}'):>26} exchanges/s")
    return {name: statistics.median(values) for name, values in rates.items()}


def verdict(text, met):
    print(f"  {text}: {'met' if met else 'missed'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds")
    parser.add_argument("--baseline", help="another interpreter whose library is timed too")
    parser.add_argument("--pypy", help="a PyPy whose library is timed too")
    parser.add_argument(
        "--latency", metavar="MODEL", help="the link model of every arm (ornix-sim --latency)"
    )
    options = parser.parse_args()
    link = ["--latency", options.latency] if options.latency else []
    build_floor_client()

    python = sys.executable
    libraries = [("library", python)]
    for name, interpreter in (("baseline", options.baseline), ("pypy", options.pypy)):
        if interpreter:
            libraries.append((name, interpreter))

    def each(client, interpreter=python):
        return lambda ports, amount: run_client(interpreter, client, "each", ports, amount)

    def in_mode(mode, interpreter):
        return lambda ports, amount: run_client(interpreter, "library", mode, ports, amount)

    timed = [(name, each("library", interpreter)) for name, interpreter in libraries]
    sections = [
        Section(
            "At once: an arm that answers at once",
            "at once",
            timed + [("pyserial", each("pyserial")), ("floor", lambda p, n: run_floor(p, n))],
            5000,
        ),
        Section(
            "1 ms: an arm that answers after 1 ms",
            "1 ms",
            timed + [("pyserial", each("pyserial"))],
            300,
        ),
        Section(
            "5 ms: an arm that answers after 5 ms",
            "5 ms",
            timed + [("pyserial", each("pyserial"))],
            100,
        ),
        Section(
            "Busy: the 1 ms arm, every core kept busy by other processes",
            "1 ms",
            timed + [("pyserial", each("pyserial"))],
            300,
            busy=True,
        ),
        Section(
            "3 arms: three arms answering at once, for 1 s",
            "3 arms",
            [
                (f"{name} {mode}", in_mode(mode, interpreter))
                for name, interpreter in libraries
                for mode in ("threads", "turns")
            ],
            1.0,
        ),
    ]

    with (
        VirtualDevices("arm", *link) as fast,
        VirtualDevices("arm", "--delay", "1", *link) as one,
        VirtualDevices("arm", "--delay", "5", *link) as five,
        VirtualDevices("arm", *link) as second,
        VirtualDevices("arm", *link) as third,
    ):
        ports = {
            "at once": [fast.port],
            "1 ms": [one.port],
            "5 ms": [five.port],
            "3 arms": [fast.port, second.port, third.port],
        }
        for _ in range(options.rounds):
            for section in sections:
                section.measure(ports)

    print(
        f"{options.rounds} interleaved rounds against ornix-sim"
        + (f", every arm behind --latency {options.latency}" if options.latency else "")
        + "; medians, rounds' range in brackets"
    )
    at_once = report_each(sections[0])
    one_ms = report_each(sections[1])
    five_ms = report_each(sections[2])
    busy = report_each(sections[3])
    rates = report_rates(sections[4])

    print("\nGoals")
    over_floor = at_once["library"]["median"] / at_once["floor"]["median"]
    print(f"  library/floor at once: {over_floor:.2f}")
    if options.baseline:
        baseline_over_floor = at_once["baseline"]["median"] / at_once["floor"]["median"]
        verdict(
            f"library/floor within {BASELINE_FACTOR} of baseline/floor {baseline_over_floor:.2f}",
            over_floor <= BASELINE_FACTOR * baseline_over_floor,
        )
    if options.pypy:
        for measure in ("median", "p99"):
            factor = at_once["pypy"][measure] / at_once["library"][measure]
            verdict(
                f"PyPy's {measure} at once {factor:.2f} of CPython's, within {PYPY_FACTOR}",
                factor <= PYPY_FACTOR,
            )
    for label, table in (("1 ms", one_ms), ("5 ms", five_ms)):
        share = statistics.median(table["library"]["processor"]) / table["library"]["median"]
        verdict(
            f"processor time at {label} {share:.3f} of wall, under {PROCESSOR_SHARE}",
            share < PROCESSOR_SHARE,
        )
    verdict(
        f"busy cores: library {busy['library']['median']:.0f} us, pyserial "
        f"{busy['pyserial']['median']:.0f} us, no slower",
        busy["library"]["median"] <= busy["pyserial"]["median"],
    )
    verdict(
        f"3 arms: threads {rates['library threads']:.0f}/s, turns {rates['library turns']:.0f}/s, "
        "threads no slower",
        rates["library threads"] >= rates["library turns"],
    )


if __name__ == "__main__":
    main()
