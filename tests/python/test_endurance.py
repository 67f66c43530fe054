"""Long runs: memory stays flat with no gc.collect(), descriptors stay flat, and devices driven
from several threads at once each get their own answers."""

import json
import subprocess
import sys
import threading

import pytest

import OrnixHardwareAPI as ornix
from interpreter import PYPY

# PyPy's own heap grows for the first few hundred thousand exchanges before it settles.
WARM_UP = 300_000 if PYPY else 20_000

# A loop of module calls at rate with no gc.collect(), in a process of its own, so that what
# earlier tests left in this one neither hides nor adds to what it measures. It prints by how much
# its peak resident memory rose above where it stood after the warm-up, and how many descriptors
# it had open before and after the loop. Beside a heap of as many small objects as an
# application's model holds, its collector runs full collections seldom, and whatever a call
# leaves for them piles up meanwhile.
LOOP_PROGRAM = """
import gc, json, os, resource, sys
import OrnixHardwareAPI as ornix

def peak_resident_bytes():
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024  # Linux counts kilobytes

def open_descriptors():
    return len(os.listdir("/dev/fd"))

class Listener(ornix.Handle):
    def OnReceiveHandleStatusMessage(self, device_id, quaternion, *fields):
        self.quaternion = quaternion

kind, port, warm_up, count, heap_size = sys.argv[1:3] + [int(a) for a in sys.argv[3:]]
heap = [[float(i)] * 10 for i in range(heap_size)]
if kind == "arm":
    arm = ornix.Ostrel3(ornix.SerialStream(port))
    def call():
        assert arm.end_effector_force([0.0, 0.0, 0.1])[0] != [0.0, 0.0, 0.0]
elif kind == "streams":
    def call():
        assert ornix.Ostrel3(ornix.SerialStream(port)).get_power_status() is True
elif kind == "compact":
    call = ornix.Handle(ornix.SerialStream(port)).GetQuilletStatus
else:
    handle = Listener(ornix.SerialStream(port))
    def call():
        handle.RequestStatus()
        assert handle.Receive() == 21
for _ in range(warm_up):
    call()
before, descriptors = peak_resident_bytes(), open_descriptors()
for _ in range(count):
    call()
if kind == "streams" and sys.implementation.name == "pypy":
    # PyPy closes a stream when its collector frees the object, not when the last reference
    # goes (see docs/pypy.md); an object the extension interface still refers to is freed by the
    # collection after the one that found it unreachable.
    gc.collect()
    gc.collect()
print(json.dumps({"rise": peak_resident_bytes() - before,
                  "descriptors": [descriptors, open_descriptors()]}))
"""

# On Linux a process starts with the peak of the process that forked it, and keeps it across
# exec: the loop is started by a small go-between, so that this process's peak stays out of it.
GO_BETWEEN = "import subprocess, sys; sys.exit(subprocess.run(sys.argv[1:]).returncode)"


def run_loop(port, kind, warm_up, count, heap_size=0):
    result = subprocess.run(
        [sys.executable, "-c", GO_BETWEEN, sys.executable, "-c", LOOP_PROGRAM, kind, port]
        + [str(warm_up), str(count), str(heap_size)],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.slow
def test_a_million_exchanges_leave_memory_flat(ornix_sim):
    loop = run_loop(ornix_sim("arm").ports["arm"], "arm", WARM_UP, 1_000_000)
    assert loop["rise"] < (2 if PYPY else 1) << 20


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
    loop = run_loop(ornix_sim(*device).ports[device[0]], kind, 20_000, 40_000, 1_000_000)
    assert loop["rise"] < 10 << 20


@pytest.mark.slow
def test_opening_and_closing_streams_leaks_nothing(ornix_sim):
    loop = run_loop(ornix_sim("arm").ports["arm"], "streams", 200, 3000)
    before, after = loop["descriptors"]
    assert after == before
    assert loop["rise"] < 1 << 20


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
