"""Proxy latency benchmark: what `ornix-sim proxy` adds to one end-effector force exchange.

Two virtual arms, one reached directly and one through a recording proxy (a port has one
reader), are driven from one process with the module, in interleaved rounds so that drift hits
both alike. Each round times a batch of exchanges on each path; the report gives, per path, the
median exchange time over all rounds with the spread of the round medians, and the proxy's
added time per exchange.
Run: python3 bench/proxy_latency.py [--rounds R] [--exchanges N]
"""

import argparse
import os
import statistics
import tempfile
import time

import OrnixHardwareAPI as ornix

from ornix.testing import VirtualDevices


def time_exchanges(arm, count):
    times = []
    for step in range(count):
        began = time.perf_counter_ns()
        arm.end_effector_force([0.01 * (step % 7), 0.0, -0.01])
        times.append((time.perf_counter_ns() - began) / 1000.0)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--exchanges", type=int, default=200)
    options = parser.parse_args()

    with (
        tempfile.TemporaryDirectory() as folder,
        VirtualDevices("arm") as direct,
        VirtualDevices("arm") as proxied,
    ):
        recording = os.path.join(folder, "bench.jsonl")
        with VirtualDevices("proxy", proxied.port, "--record", recording) as proxy:
            paths = {
                "direct": ornix.Ostrel3(ornix.SerialStream(direct.port)),
                "proxy": ornix.Ostrel3(ornix.SerialStream(proxy.ports["proxy"])),
            }
            for arm in paths.values():
                time_exchanges(arm, options.exchanges // 4)
            samples = {name: [] for name in paths}
            round_medians = {name: [] for name in paths}
            for number in range(options.rounds):
                # Alternate which path goes first, so that neither always follows the other.
                order = list(paths) if number % 2 == 0 else list(reversed(list(paths)))
                for name in order:
                    times = time_exchanges(paths[name], options.exchanges)
                    samples[name] += times
                    round_medians[name].append(statistics.median(times))
            del paths

    print(f"{options.rounds} rounds of {options.exchanges} end_effector_force exchanges per path")
    for name in samples:
        medians = sorted(round_medians[name])
        print(
            f"  {name:7s} median {statistics.median(samples[name]):8.1f} us"
            f"  (round medians {medians[0]:.1f} to {medians[-1]:.1f} us,"
            f" p90 {sorted(samples[name])[int(0.9 * len(samples[name]))]:.1f} us)"
        )
    added = [p - d for p, d in zip(round_medians["proxy"], round_medians["direct"])]
    print(
        f"  added by the proxy: median {statistics.median(added):.1f} us per exchange"
        f" (rounds {min(added):.1f} to {max(added):.1f} us)"
    )


if __name__ == "__main__":
    main()
