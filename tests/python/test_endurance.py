"""Long runs: memory stays flat with no gc.collect(), descriptors stay flat, and devices driven
from several threads at once each get their own answers."""

import gc
import os
import subprocess
import sys
import threading

import pytest

import OrnixHardwareAPI as ornix
from interpreter import PYPY

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")

# PyPy's own heap grows for the first few hundred thousand exchanges before it settles.
WARM_UP = 300_000 if PYPY else 20_000


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.slow
def test_a_million_exchanges_leave_memory_flat(ornix_sim):
    arm = ornix.Ostrel3(ornix.SerialStream(ornix_sim("arm").ports["arm"]))
    force = [0.0, 0.0, 0.0]
    for _ in range(WARM_UP):
        arm.end_effector_force(force)
    before = resident_bytes()
    for _ in range(1_000_000):
        position, _ = arm.end_effector_force(force)
    assert resident_bytes() - before < (2 if PYPY else 1) << 20
    assert position != [0.0, 0.0, 0.0]


# A program that holds as many small objects as an application's model does, so that its
# collector runs full collections seldom and whatever a call leaves for them piles up meanwhile,
# runs a loop at rate with no gc.collect(); it prints by how much its resident memory rose above
# where it stood after the warm-up, at the highest. It runs in a process of its own, so that what
# earlier tests left in this one neither hides nor adds to what it measures.
LOOP_PROGRAM = """
import os, sys
import OrnixHardwareAPI as ornix

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

class Listener(ornix.Handle):
    def OnReceiveHandleStatusMessage(self, device_id, quaternion, *fields):
        self.quaternion = quaternion

kind, port = sys.argv[1], sys.argv[2]
heap = [[float(i)] * 10 for i in range(1_000_000)]
if kind == "arm":
    arm = ornix.Ostrel3(ornix.SerialStream(port))
    call = lambda: arm.end_effector_force([0.0, 0.0, 0.1])
elif kind == "compact":
    call = ornix.Handle(ornix.SerialStream(port)).GetQuilletStatus
else:
    handle = Listener(ornix.SerialStream(port))
    def call():
        handle.RequestStatus()
        assert handle.Receive() == 21
for _ in range(20_000):
    call()
before = highest = resident()
for index in range(40_000):
    call()
    if index % 2000 == 0:
        highest = max(highest, resident())
print(highest - before)
"""


@pytest.mark.parametrize(
    "kind, device",
    [
        ("arm", ["arm"]),
        ("compact", ["handle", "--compact", "20000"]),
        ("receive", ["handle"]),
    ],
    ids=["motion commands", "compact status", "receive with overrides"],
)
def test_loops_at_rate_leave_memory_flat_beside_a_large_heap(ornix_sim, kind, device):
    port = ornix_sim(*device).ports[device[0]]
    result = subprocess.run(
        [sys.executable, "-c", LOOP_PROGRAM, kind, port],
        capture_output=True,
        text=True,
        timeout=600,
        check=True,
    )
    assert int(result.stdout) < 10 << 20


@pytest.mark.slow
def test_opening_and_closing_streams_leaks_nothing(ornix_sim):
    port = ornix_sim("arm").ports["arm"]
    for _ in range(200):
        ornix.Ostrel3(ornix.SerialStream(port)).get_power_status()
    descriptors, before = open_descriptors(), resident_bytes()
    for _ in range(3000):
        assert ornix.Ostrel3(ornix.SerialStream(port)).get_power_status() is True
    if PYPY:
        # PyPy closes a stream when its collector frees the object, not when the last
        # reference goes (see the README); an object the extension interface still refers to
        # is freed by the collection after the one that found it unreachable.
        gc.collect()
        gc.collect()
    assert open_descriptors() == descriptors
    assert resident_bytes() - before < 1 << 20


def test_threads_each_driving_their_own_arm(ornix_sim):
    targets = [[0.20, 0.05, 0.02], [0.18, -0.04, -0.03], [0.22, 0.0, 0.05]]
    simulator = ornix_sim("arm")
    ports = [simulator.ports["arm"]] + [ornix_sim("arm").ports["arm"] for _ in targets[1:]]
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
