"""Long runs: memory and descriptors stay flat, and devices driven from several threads at once
each get their own answers."""

import gc
import os
import sys
import threading

import pytest

import OrnixHardwareAPI as ornix
from interpreter import PYPY

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")

# PyPy frees what a call into an extension module leaves behind (its C-level copies of the
# arguments and results, and the objects a stream owns) only when full collections run, and its
# collector does not count that memory towards starting one. Its users collect now and then; so
# do these tests, which then measure what the library itself keeps. PyPy's own heap grows for the
# first few hundred thousand exchanges before it settles, so there the warm-up is longer.
COLLECT_EVERY = 100_000
WARM_UP = 500_000 if PYPY else 20_000


def collect_under_pypy():
    if PYPY:
        # An object the extension interface still refers to is freed by the collection after
        # the one that found it unreachable.
        gc.collect()
        gc.collect()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.slow
def test_a_million_exchanges_leave_memory_flat(sim):
    arm = ornix.Ostrel3(ornix.SerialStream(sim("arm").ports["arm"]))
    force = [0.0, 0.0, 0.0]
    for exchange in range(1, WARM_UP + 1):
        arm.end_effector_force(force)
        if exchange % COLLECT_EVERY == 0:
            collect_under_pypy()
    before = resident_bytes()
    for exchange in range(1, 1_000_001):
        position, _ = arm.end_effector_force(force)
        if exchange % COLLECT_EVERY == 0:
            collect_under_pypy()
    assert resident_bytes() - before < (2 if PYPY else 1) << 20
    assert position != [0.0, 0.0, 0.0]


@pytest.mark.slow
def test_opening_and_closing_streams_leaks_nothing(sim):
    port = sim("arm").ports["arm"]
    for _ in range(200):
        ornix.Ostrel3(ornix.SerialStream(port)).get_power_status()
    collect_under_pypy()
    descriptors, before = open_descriptors(), resident_bytes()
    for _ in range(3000):
        assert ornix.Ostrel3(ornix.SerialStream(port)).get_power_status() is True
    collect_under_pypy()
    assert open_descriptors() == descriptors
    assert resident_bytes() - before < 1 << 20


def test_threads_each_driving_their_own_arm(sim):
    targets = [[0.20, 0.05, 0.02], [0.18, -0.04, -0.03], [0.22, 0.0, 0.05]]
    simulator = sim("arm")
    ports = [simulator.ports["arm"]] + [sim("arm").ports["arm"] for _ in targets[1:]]
    arms = [ornix.Ostrel3(ornix.SerialStream(port)) for port in ports]
    finals, failures = {}, []

    def drive(index):
        for _ in range(3000):
            position, _ = arms[index].end_effector_position(targets[index])
            if position == [0.0, 0.0, 0.0]:
                failures.append(index)
        finals[index] = position

    threads = [threading.Thread(target=drive, args=(i,)) for i in range(len(targets))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    for index, target in enumerate(targets):
        assert finals[index] == pytest.approx(target, abs=2e-3)
