"""A haptic loop in a program that holds a large heap, as a real application does (a scene, a
physics model): resident memory and the slowest exchange over a long run, with no gc.collect()
anywhere. Made for PyPy, whose collector a call into an extension can burden; runs anywhere.

Run: pypy3 bench/pypy_endurance.py [--calls N] [--live MB] [motion|compact|receive ...]
- motion:  end_effector_force on ornix-sim's arm;
- compact: GetQuilletStatus on ornix-sim's handle streaming 20,000 compact packets a second;
- receive: RequestStatus and Receive on ornix-sim's handle, the status reaching an override.
"""

import argparse
import os
import resource
import sys
import time

import OrnixHardwareAPI as ornix

from ornix.testing import VirtualDevices

MARK_EVERY = 100_000


def resident_mib():
    """The resident set now: /proc on Linux, else the peak, the best the platform tells."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
    except OSError:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return peak / (2**20 if sys.platform == "darwin" else 2**10)


class Listener(ornix.Handle):
    def OnReceiveHandleStatusMessage(self, device_id, quaternion, *fields):
        self.last = quaternion


def motion_call():
    device = VirtualDevices("arm")
    arm = ornix.Ostrel3(ornix.SerialStream(device.port))
    return device, lambda: arm.end_effector_force([0.0, 0.0, 0.1])


def compact_call():
    device = VirtualDevices("handle", "--compact", "20000")
    handle = ornix.Handle(ornix.SerialStream(device.port))
    return device, handle.GetQuilletStatus


def receive_call():
    device = VirtualDevices("handle")
    handle = Listener(ornix.SerialStream(device.port))

    def call():
        handle.RequestStatus()
        handle.Receive()

    return device, call


def run(kind, calls):
    device, call = {"motion": motion_call, "compact": compact_call, "receive": receive_call}[kind]()
    try:
        marks, slowest = [], 0.0
        clock = time.perf_counter
        for index in range(1, calls + 1):
            start = clock()
            call()
            slowest = max(slowest, clock() - start)
            if index % MARK_EVERY == 0:
                marks.append(resident_mib())
    finally:
        device.close()
    grown = marks[-1] - marks[0] if len(marks) > 1 else float("nan")
    print(
        f"{kind:8} {calls} calls: resident {marks[0]:.0f} MiB after {MARK_EVERY}, "
        f"{grown:+.1f} MiB after that; slowest call {slowest * 1000:.1f} ms"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--live", type=int, default=200, help="MB of live objects held")
    parser.add_argument("kinds", nargs="*", default=["motion", "compact", "receive"])
    options = parser.parse_args()
    # Small objects, as an application's model is made of.
    live = [[float(i)] * 10 for i in range(options.live * 2**20 // 200)]
    print(f"{sys.implementation.name} {sys.version.split()[0]}, {len(live)} live lists held")
    for kind in options.kinds:
        run(kind, options.calls)


if __name__ == "__main__":
    main()
