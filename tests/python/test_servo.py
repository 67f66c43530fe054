"""The servo loop from Python: every way out leaves zero force on the line, no frame exceeds the
limit or is not a number, forces ramp in and a silent program's force ramps out; the loop owns
its arm while it runs; effects, callbacks and statistics. What the arm received is read from a
recording proxy in front of a virtual arm, byte by byte; each way out runs in a child process."""

import json
import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import OrnixHardwareAPI
import ornix
import wire

FORCE_FRAME_LENGTH = len(wire.end_effector_force())
MAX_FORCE = 3.0


def frames_received(path):
    """When each end-effector force frame reached the arm and its force, in order, from the
    bytes."""
    frames = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            entry = json.loads(line)
            if entry.get("from") != "host":
                continue
            data = bytes.fromhex(entry["hex"])
            if data[0] == wire.END_EFFECTOR_FORCE and len(data) == FORCE_FRAME_LENGTH:
                frames.append((entry["t"], tuple(wire.read_floats(data[1:]))))
    return frames


def forces_received(path):
    return [force for _, force in frames_received(path)]


def magnitude(force):
    return math.sqrt(sum(component * component for component in force))


# Opens the arm through the proxy, runs a loop pushing 2 N up, says "ready" once the force is in,
# then leaves as the test says.
CHILD = """
import signal, sys, time
import ornix

port, way = sys.argv[1], sys.argv[2]
arm = ornix.open_arm(port)

def ready():
    while loop.state().force[2] < 1.9:
        loop.set_force([0.0, 0.0, 2.0])
        time.sleep(0.005)
    print("ready", flush=True)

def failing(state):
    if state.tick > 150:
        raise ValueError("from on_tick")

loop = ornix.ServoLoop(
    arm, max_force={max_force}, ramp=0.1, on_tick=failing if way == "on_tick" else None
)
loop.set_force([0.0, 0.0, 2.0])
if way == "stop":
    loop.start()
    ready()
    loop.stop()
elif way == "with-exception":
    try:
        with loop:
            ready()
            raise RuntimeError("the program failed")
    except RuntimeError:
        pass
elif way == "on_tick":
    loop.start()
    while loop.running:
        time.sleep(0.01)
    try:
        loop.stop()
    except ValueError as raised:
        print("raised", raised, flush=True)
elif way == "close-arm":
    # No loop: the arm itself is left pushing, then closed by an exception.
    try:
        with arm:
            for _ in range(50):
                arm.end_effector_force([0.0, 0.0, 2.0])
            print("ready", flush=True)
            raise RuntimeError("the program failed")
    except RuntimeError:
        pass
else:
    # KeyboardInterrupt, interpreter exit and the termination signals: the loop runs, and no
    # code of the program's stops it.
    loop.start()
    ready()
    if way == "exit":
        sys.exit(0)
    while True:
        time.sleep(0.01)
""".format(
    max_force=MAX_FORCE
)


@pytest.mark.parametrize(
    "way, signal_sent",
    [
        ("stop", None),
        ("with-exception", None),
        ("on_tick", None),
        ("exit", None),
        ("keyboard-interrupt", signal.SIGINT),
        ("sigterm", signal.SIGTERM),
        ("sighup", signal.SIGHUP),
        ("close-arm", None),
    ],
)
def test_every_way_out_leaves_zero_force_on_the_line(recorded, tmp_path, way, signal_sent):
    proxy, path = recorded("arm")
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    child = subprocess.Popen(
        [sys.executable, str(script), proxy.ports["proxy"], way],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        if way != "on_tick":
            assert child.stdout.readline() == "ready\n", child.stderr.read()
        if signal_sent is not None:
            child.send_signal(signal_sent)
        output, errors = child.communicate(timeout=60)
    finally:
        child.kill()
    if way == "on_tick":
        assert output == "raised from on_tick\n", errors
    if signal_sent in (signal.SIGTERM, signal.SIGHUP):
        # The process still ends by the signal, as it would have without a loop.
        assert child.returncode == -signal_sent
    assert proxy.stop() == 0
    forces = forces_received(path)
    assert max(force[2] for force in forces) >= 1.9
    assert all(magnitude(force) <= MAX_FORCE * (1 + 1e-6) for force in forces)
    assert forces[-1] == (0.0, 0.0, 0.0)


# A program that sets 1 N, then 50 N (beyond the limit), then a force that is not a number, then
# -1 N, and then falls silent for longer than its heartbeat.
PHASES = """
import math, sys, time
import ornix

arm = ornix.open_arm(sys.argv[1])
with ornix.ServoLoop(arm, max_force={max_force}, ramp=0.1, heartbeat=0.2) as loop:
    for force in ([0, 0, 1.0], [0, 0, 50.0], [math.nan, 0, 0], [0, 0, -1.0]):
        until = time.monotonic() + 0.3
        while time.monotonic() < until:
            loop.set_force(force)
            time.sleep(0.005)
    time.sleep(0.6)
    print(loop.stats()["interventions"], flush=True)
""".format(
    max_force=MAX_FORCE
)


def test_forces_ramp_in_are_clamped_are_numbers_and_ramp_out_for_a_silent_program(
    recorded, tmp_path
):
    proxy, path = recorded("arm")
    script = tmp_path / "phases.py"
    script.write_text(PHASES)
    run = subprocess.run(
        [sys.executable, str(script), proxy.ports["proxy"]],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert proxy.stop() == 0
    frames = frames_received(path)
    z = [force[2] for _, force in frames]
    # The first frame of the loop is zero and the force ramps in, never jumping: 1 N over the
    # ramp's 0.1 s is 10 N a second, with room for frames the line bunched up.
    assert z[0] == 0.0
    ramp = frames[: z.index(1.0) + 1]
    assert [force for _, force in ramp] == sorted(force for _, force in ramp) and len(ramp) > 50
    for (earlier, before), (later, after) in zip(ramp, ramp[1:]):
        assert after[2] - before[2] <= 10.0 * (later - earlier + 0.005)
    # Then 50 N is sent as the limit, 3 N, and no frame goes beyond it.
    clamped = z.index(3.0)
    assert max(z) == pytest.approx(3.0)
    # The force that is not a number went out as zero, then -1 N came in (ramping anew is not
    # needed: the loop kept exchanging).
    zero = next(i for i in range(clamped, len(z)) if z[i] == 0.0)
    negative = next(i for i in range(zero, len(z)) if z[i] < 0)
    assert all(value == 0.0 for value in z[zero:negative])
    assert min(z) == pytest.approx(-1.0)
    # Silent for longer than its heartbeat, the program's force ramps out to zero.
    fading = z[z.index(min(z)) :]
    assert fading[-1] == 0.0
    assert fading == sorted(fading)
    assert sum(1 for value in fading if -1.0 < value < 0.0) > 10
    interventions = eval(run.stdout)
    assert interventions["clamped"] > 0 and interventions["non_finite"] > 0
    assert interventions["heartbeat"] > 0 and interventions["ramped"] > 0


def test_the_loop_owns_its_arm_while_it_runs(ornix_sim):
    port = ornix_sim("arm").ports["arm"]
    with ornix.open_arm(port) as arm:
        loop = ornix.ServoLoop(arm, realtime=False)
        loop.start()
        message = "the port of this Ostrel3 is driven by a servo loop"
        with pytest.raises(RuntimeError, match=message):
            arm.end_effector_force([0.0, 0.0, 1.0])
        with pytest.raises(RuntimeError, match=message):
            arm.get_temperature()
        with pytest.raises(RuntimeError, match="driven by a servo loop"):
            OrnixHardwareAPI.Ostrel3.device_wakeup(arm.device)
        with pytest.raises(RuntimeError, match="driven by a servo loop"):
            ornix.ServoLoop(arm)
        with pytest.raises(RuntimeError, match="runs already"):
            loop.start()
        loop.stop()
        assert arm.get_temperature() > 0
        loop.stop()


def test_state_stats_and_callbacks(ornix_sim):
    port = ornix_sim("arm").ports["arm"]
    states = []
    with ornix.open_arm(port) as arm:
        with ornix.ServoLoop(arm, realtime=False, on_tick=states.append, every=50) as loop:
            before = loop.state()
            while loop.state().tick < 300:
                time.sleep(0.01)
            state = loop.state()
            stats = loop.stats(reset=True)
            fresh = loop.stats()
        assert not loop.running
    assert before.tick < state.tick and state.time > before.time
    assert time.monotonic() - 60 < state.time <= time.monotonic()
    assert state.position[0] == pytest.approx(0.212, abs=0.01)
    assert stats["ticks"] >= 300 and stats["exchanges"] >= 300
    assert stats["exchanges_failed"] == 0
    assert stats["policy"] == "normal" and stats["policy_refused"] == "not asked for"
    assert 0 < stats["rate"] <= 1000 * 1.01
    assert stats["lateness_p50_us"] <= stats["lateness_p99_us"] <= stats["lateness_max_us"]
    # The loop thread's own processor time, which no thread can spend faster than the clock.
    assert 0 < stats["cpu_seconds"] <= stats["seconds"] * 1.01
    assert set(stats["interventions"]) == {
        "clamped",
        "ramped",
        "non_finite",
        "overspeed",
        "heartbeat",
    }
    assert fresh["ticks"] < stats["ticks"]
    ticks = [s.tick for s in states]
    assert ticks and all(tick % 50 == 0 for tick in ticks) and ticks == sorted(ticks)
    assert isinstance(states[0], ornix.ServoState)


def test_an_exception_in_the_callback_ends_the_with_block(ornix_sim):
    port = ornix_sim("arm").ports["arm"]

    def failing(state):
        raise KeyError("in the callback")

    with ornix.open_arm(port) as arm:
        with pytest.raises(KeyError, match="in the callback"):
            with ornix.ServoLoop(arm, realtime=False, on_tick=failing) as loop:
                while loop.running:
                    time.sleep(0.01)
        # The block's own exception wins over the callback's.
        with pytest.raises(ZeroDivisionError):
            with ornix.ServoLoop(arm, realtime=False, on_tick=failing) as loop:
                while loop.running:
                    time.sleep(0.01)
                1 / 0


def test_effects_change_while_the_loop_runs(ornix_sim):
    port = ornix_sim("arm").ports["arm"]
    with ornix.open_arm(port) as arm, ornix.ServoLoop(arm, realtime=False, ramp=0) as loop:
        while loop.state().tick < 5:
            time.sleep(0.005)
        start = loop.state().position
        push = ornix.ConstantForce(force=(0.0, 0.0, 1.0))
        loop.add(push)
        assert loop.effects == (push,)
        with pytest.raises(ValueError, match="in the loop already"):
            loop.add(push)
        # The force goes out as the effect gives it, and follows its change.
        while loop.state().force != (0.0, 0.0, 1.0):
            time.sleep(0.005)
        push.force = (0.0, 0.5, 0.0)
        while loop.state().force != (0.0, 0.5, 0.0):
            time.sleep(0.005)
        loop.remove(push)
        while loop.state().force != (0.0, 0.0, 0.0):
            time.sleep(0.005)
        with pytest.raises(ValueError, match="not in the loop"):
            loop.remove(push)
        # A spring to where the arm started, with a damper, holds it against a push, once the
        # arm has come to rest, however long a busy machine makes that.
        loop.add(ornix.Spring(stiffness=200.0, rest=start))
        loop.add(ornix.Damper(viscosity=5.0))
        loop.set_force([0.0, 0.0, 0.5])
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            time.sleep(0.1)
            state = loop.state()
            if max(map(abs, state.velocity)) < 1e-4 and state.position[2] > start[2]:
                break
        assert loop.state().position[2] == pytest.approx(start[2] + 0.5 / 200.0, abs=2e-4)


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: ornix.Spring(stiffness=-1.0, rest=(0, 0, 0)), "stiffness must be a finite"),
        (lambda: ornix.Spring(stiffness=1.0, rest=(0, math.nan, 0)), "rest must be a finite"),
        (lambda: ornix.Damper(viscosity=math.inf), "viscosity must be a finite"),
        (lambda: ornix.Wall((0, 0, 0), (0, 0, 0), 1.0), "normal must be a direction"),
        (lambda: ornix.BoxBoundary((0, 0, 0), (1, -1, 1), 1.0), "low must be below high"),
        (lambda: ornix.SphereBoundary((0, 0, 0), 0.0, 1.0), "radius must be a finite number"),
        (lambda: ornix.ConstantForce((math.nan, 0, 0)), "force must be a finite number"),
    ],
)
def test_effects_refuse_parameters_that_would_give_no_number(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_effect_parameters_are_attributes():
    wall = ornix.Wall(point=(0, 0, 0.1), normal=(0, 0, 2), stiffness=400.0)
    assert wall.normal == (0.0, 0.0, 1.0)
    assert wall.damping == 0.0
    wall.stiffness = 500.0
    assert repr(wall) == (
        "Wall(point=(0.0, 0.0, 0.1), normal=(0.0, 0.0, 1.0), stiffness=500.0, damping=0.0)"
    )
    with pytest.raises(ValueError, match="stiffness must be"):
        wall.stiffness = -1.0
    assert wall.stiffness == 500.0
    box = ornix.BoxBoundary(low=(0, 0, 0), high=(1, 1, 1), stiffness=1.0)
    with pytest.raises(ValueError, match="low must be below high"):
        box.low = (2, 0, 0)


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"rate": 0.0}, "rate must be a finite number above 0"),
        ({"max_force": math.nan}, "max_force must be a finite number above 0"),
        ({"ramp": -1.0}, "ramp must be a finite number of 0 or more"),
        ({"max_velocity": 0.0}, "max_velocity must be a number above 0"),
        ({"heartbeat": math.inf}, "heartbeat must be a finite number"),
        ({"every": 0}, "every must be a whole number of ticks"),
    ],
)
def test_a_loop_refuses_settings_it_cannot_keep(ornix_sim, arguments, message):
    with ornix.open_arm(ornix_sim("arm").ports["arm"]) as arm:
        with pytest.raises(ValueError, match=message):
            ornix.ServoLoop(arm, **arguments)
