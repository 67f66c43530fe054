"""Exchange benchmark: one end-effector force exchange with a virtual arm, three ways.

- library:  OrnixHardwareAPI's Ostrel3.end_effector_force from Python;
- pyserial: the same frames written by hand with pyserial and struct;
- floor:    a bare C++ client that writes the request, polls the byte count and reads the reply.

All three talk to the same `ornix-sim arm`, in interleaved rounds so that drift hits them alike.
Run: python3 bench/bench_exchange.py [--exchanges N] [--rounds R]
"""

import argparse
import os
import statistics
import struct
import subprocess
import sys
import time

import OrnixHardwareAPI as ornix

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from virtual_device import VirtualDevice  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
FLOOR_SOURCE = os.path.join(HERE, "floor_client.cpp")
FLOOR_BINARY = os.path.join(HERE, "..", "build", "bench", "floor_client")
FORCE = [0.0, 0.0, 0.1]
REQUEST = struct.pack("<B3f", 0x2A, *FORCE)
REPLY_LENGTH = 25
LIBRARY_TARGET = 1.3  # at most this many times the floor
PYSERIAL_TARGET = 2.0  # at least this many times faster than pyserial


def build_floor_client():
    os.makedirs(os.path.dirname(FLOOR_BINARY), exist_ok=True)
    compiler = os.environ.get("CXX", "c++")
    subprocess.run(
        [compiler, "-O2", "-std=c++17", "-Wall", "-Wextra", FLOOR_SOURCE, "-o", FLOOR_BINARY],
        check=True,
    )


def time_library(port, exchanges):
    stream = ornix.SerialStream(port)
    arm = ornix.Ostrel3(stream)
    clock = time.perf_counter_ns
    times = []
    for _ in range(exchanges):
        start = clock()
        arm.end_effector_force(FORCE)
        times.append(clock() - start)
    return times


def time_pyserial(port, exchanges):
    import serial

    link = serial.Serial(port, 115200, timeout=1.0)
    clock = time.perf_counter_ns
    times = []
    try:
        for _ in range(exchanges):
            start = clock()
            link.write(REQUEST)
            reply = link.read(REPLY_LENGTH)
            struct.unpack("<B6f", reply)
            times.append(clock() - start)
    finally:
        link.close()
    return times


def time_floor(port, exchanges):
    result = subprocess.run(
        [FLOOR_BINARY, port, str(exchanges)], capture_output=True, text=True, check=True
    )
    return [int(line) for line in result.stdout.split()]


def summary(times):
    ordered = sorted(times)
    return statistics.median(ordered), ordered[int(0.99 * (len(ordered) - 1))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--exchanges", type=int, default=5000, help="exchanges per round")
    parser.add_argument("--rounds", type=int, default=4, help="interleaved rounds")
    options = parser.parse_args()
    try:
        import serial  # noqa: F401
    except ImportError:
        sys.exit("the pyserial comparison needs pyserial: python3 -m pip install pyserial")
    build_floor_client()

    clients = {"library": time_library, "pyserial": time_pyserial, "floor": time_floor}
    times = {name: [] for name in clients}
    with VirtualDevice("arm") as arm:
        for _ in range(options.rounds):
            for name, measure in clients.items():
                times[name] += measure(arm.port, options.exchanges)

    medians = {}
    print(f"{options.rounds} rounds of {options.exchanges} exchanges against ornix-sim arm")
    print(f"{'client':10} {'median':>10} {'p99':>10} {'rate':>12}")
    for name, samples in times.items():
        median, p99 = summary(samples)
        medians[name] = median
        print(f"{name:10} {median / 1000:8.1f}us {p99 / 1000:8.1f}us {1e9 / median:9.0f}/s")
    library_over_floor = medians["library"] / medians["floor"]
    pyserial_over_library = medians["pyserial"] / medians["library"]
    print(
        f"library/floor    {library_over_floor:.2f}x (target at most {LIBRARY_TARGET}x): "
        + ("met" if library_over_floor <= LIBRARY_TARGET else "missed")
    )
    print(
        f"pyserial/library {pyserial_over_library:.2f}x (target at least {PYSERIAL_TARGET}x): "
        + ("met" if pyserial_over_library >= PYSERIAL_TARGET else "missed")
    )


if __name__ == "__main__":
    main()
