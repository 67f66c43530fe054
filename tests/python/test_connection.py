"""Connections that look after themselves: each exchange's outcome counted as the line saw it,
reconnection to the same unit after an unplug (under another name, the same stable name), a
device that never comes back, and the live monitor."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

import ornix
import wire
from fakedevice import Expect, Reply

STABLE_NAME = "usb-Ornix_Ostrel3_SIM-if00"


def spoiled_replies(path):
    """How many runs of bytes the recording proxy saw the device send that formed no frame."""
    with open(path, encoding="utf-8") as lines:
        entries = [json.loads(line) for line in lines]
    return sum(1 for entry in entries if entry.get("from") == "device" and entry.get("error"))


@pytest.mark.parametrize("fault", ["--wrong-code-every", "--garbage-every"])
def test_outcomes_match_what_the_line_carried(recorded, fault):
    proxy, path = recorded("arm", fault, "3")
    with ornix.open_arm(proxy.ports["proxy"]) as arm:
        results = [arm.get_temperature() for _ in range(30)]
        stats = arm.link_stats()
    assert proxy.stop() == 0
    failed = results.count(0.0)
    assert failed > 5
    assert stats["exchanges"] == 30
    assert stats["outcomes"]["wrong_reply"] == failed
    assert stats["outcomes"]["ok"] == 30 - failed
    # The wake-up that opened the arm was exchanged before the device was handed over; the proxy
    # saw its reply too, which the fault spared.
    assert spoiled_replies(path) == failed
    assert stats["bytes_written"] == 30
    assert stats["last_failure"]["outcome"] == "wrong_reply"
    assert time.time() - 60 < stats["last_failure"]["time"] <= time.time()
    assert stats["exchanges_per_second"] > 0 and stats["bytes_per_second"] > 0


@pytest.mark.slow
def test_a_reply_cut_short_and_a_silent_device_are_told_apart(recorded):
    proxy, path = recorded("arm", "--truncate-every", "3")
    with ornix.open_arm(proxy.ports["proxy"]) as arm:
        for _ in range(3):
            arm.get_temperature()
        stats = arm.link_stats()
    assert proxy.stop() == 0
    assert stats["outcomes"]["cut_short"] == 1 == spoiled_replies(path)
    assert stats["outcomes"]["ok"] == 2


@pytest.mark.slow
def test_time_outs_in_a_row_make_the_connection_reconnect(fake_device):
    info = wire.device_info(0x0301, 4, 2, 7, bytes.fromhex("6f726e7853494d41812d7a103c550001"))
    device = fake_device(Expect(wire.device_wakeup()), Reply(info), strict=False)
    states = []
    arm = ornix.open_arm(
        device.path,
        reconnect=ornix.Reconnect(after_timeouts=1, timeout=1.0),
        on_state=lambda state, reason: states.append((state, reason)),
    )
    arm.get_temperature()
    deadline = time.monotonic() + 30
    while len(states) < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert [state for state, _ in states] == ["reconnecting", "closed"]
    assert states[0][1] == "1 exchanges in a row timed out"


class Plugged:
    """Virtual arms plugged into a folder of device nodes of the test's own: each appears under
    a node name of its own with the same stable name under serial/by-id, as a USB device does
    when it comes back under another name."""

    def __init__(self, ornix_sim, folder):
        self._sim = ornix_sim
        self.folder = folder
        self.stable = folder / "serial" / "by-id" / STABLE_NAME
        self.stable.parent.mkdir(parents=True)
        self.device = None

    def plug(self, node, *sim_arguments, record=None):
        """Serves an arm as `node` (behind a recording proxy when `record` names a file)."""
        # The stable name is there as soon as the node is: the arm is found by it, not first by
        # its identity under the node's name.
        self.stable.symlink_to(f"../../{node}")
        if record is None:
            self.device = self._sim("arm", "--link", str(self.folder / node), *sim_arguments)
        else:
            arm = self._sim("arm", *sim_arguments)
            self.device = self._sim(
                "proxy", arm.port, "--record", str(record), "--link", str(self.folder / node)
            )

    def unplug(self):
        self.stable.unlink()
        self.device.close()


def wait_for(condition, within=30.0):
    deadline = time.monotonic() + within
    while not condition():
        assert time.monotonic() < deadline, "waited in vain"
        time.sleep(0.01)


def forces_received(path):
    forces = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            entry = json.loads(line)
            if entry.get("from") == "host" and entry.get("frame") == "end_effector_force":
                forces.append(entry["fields"]["force"])
    return forces


def test_an_unplugged_arm_comes_back_under_another_name_and_its_loop_with_it(ornix_sim, tmp_path):
    plugged = Plugged(ornix_sim, tmp_path)
    plugged.plug("ttyACM0")
    states = []
    arm = ornix.open_arm(
        str(tmp_path / "ttyACM0"),
        directory=str(tmp_path),
        reconnect=ornix.Reconnect(timeout=30.0),
        on_state=lambda state, reason: states.append(state),
    )
    with arm, ornix.ServoLoop(arm, realtime=False, ramp=0.2) as loop:
        loop.set_force([0.0, 0.0, 0.5])
        wait_for(lambda: loop.state().force[2] == 0.5)
        plugged.unplug()
        wait_for(lambda: arm.state == "reconnecting")
        with pytest.raises(ornix.ReconnectingError, match="is reconnecting"):
            arm.get_temperature()
        assert not loop.running
        recording = tmp_path / "back.jsonl"
        plugged.plug("ttyACM1", record=recording)
        back = time.monotonic()
        wait_for(lambda: arm.state == "connected")
        returned = time.monotonic() - back
        wait_for(lambda: loop.state().force[2] == 0.5)
        assert loop.running
        assert arm.port == str(plugged.stable)
    wait_for(lambda: len(states) == 2)
    assert states == ["reconnecting", "connected"]
    # Back within a second of the arm's return on an idle machine; the bound is a busy one's.
    assert returned < 5.0
    plugged.device.close()
    # The arm that came back got forces ramping in from zero, and zero last.
    forces = [force[2] for force in forces_received(recording)]
    assert forces[0] == 0.0 and forces[-1] == 0.0
    ramp = forces[: forces.index(0.5)]
    assert ramp == sorted(ramp) and len(ramp) > 10


@pytest.mark.parametrize(
    "other",
    [("arm", "--device-id", "770"), ("handle",)],
    ids=["another arm", "a handle"],
)
def test_another_device_under_the_stable_name_is_not_taken(ornix_sim, tmp_path, other):
    plugged = Plugged(ornix_sim, tmp_path)
    plugged.plug("ttyACM0")
    arm = ornix.open_arm(
        str(tmp_path / "ttyACM0"),
        directory=str(tmp_path),
        reconnect=ornix.Reconnect(timeout=1.5),
    )
    plugged.unplug()
    wait_for(lambda: arm.state == "reconnecting")
    # Another unit comes back where the arm was: it answers, but is not the arm that went.
    stranger = ornix_sim(other[0], *other[1:], "--link", str(tmp_path / "ttyACM1"))
    plugged.stable.symlink_to("../../ttyACM1")
    wait_for(lambda: arm.state == "closed")
    assert "did not come back within 1.5 s" in arm.closed_reason
    with pytest.raises(ornix.DeviceClosedError, match="did not come back"):
        arm.get_temperature()
    stranger.close()


def test_an_arm_that_never_comes_back_is_closed_with_the_reason(ornix_sim, tmp_path):
    # The virtual arm hangs up by itself after 20 messages.
    node = tmp_path / "ttyACM0"
    ornix_sim("arm", "--disconnect-after", "20", "--link", str(node))
    states = []
    arm = ornix.open_arm(
        str(node),
        directory=str(tmp_path),
        reconnect=ornix.Reconnect(timeout=1.0),
        on_state=lambda state, reason: states.append((state, reason)),
    )
    start = time.monotonic()
    # A call that finds the port gone returns at once with the time-out line; the calls after
    # the supervisor has seen it raise. Neither waits for the device's time-out.
    with pytest.raises((ornix.ReconnectingError, ornix.DeviceClosedError)):
        while time.monotonic() - start < 4.0:
            arm.get_temperature()
    assert time.monotonic() - start < 4.0
    # The callback is told of a change just after the state has changed.
    wait_for(lambda: len(states) == 2)
    assert [state for state, _ in states] == ["reconnecting", "closed"]
    assert states[0][1].startswith("the port ") or "removed" in states[0][1]
    assert arm.link_stats()["state"] == "closed"
    arm.close()


def test_reconnect_settings_are_checked():
    with pytest.raises(ValueError, match="after_timeouts must be 1 or more"):
        ornix.Reconnect(after_timeouts=0)
    with pytest.raises(ValueError, match="timeout must be a finite number of seconds"):
        ornix.Reconnect(timeout=float("inf"))
    with pytest.raises(TypeError, match="reconnect must be True, False or an ornix.Reconnect"):
        ornix.open_arm("/nonexistent/ttyACM0", reconnect="yes")


def ornix_command(*arguments):
    return [sys.executable, "-m", "ornix", *arguments]


@pytest.mark.parametrize("kind, arguments", [("arm", []), ("handle", ["--compact", "200"])])
def test_monitor_shows_the_device_and_its_link(ornix_sim, tmp_path, kind, arguments):
    port = ornix_sim(kind, *arguments).ports[kind]
    done = subprocess.run(
        ornix_command("monitor", port, "--json", "--seconds", "2.5"),
        capture_output=True,
        text=True,
        timeout=60,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(lines) >= 2
    assert {line["kind"] for line in lines} == {kind}
    assert lines[-1]["link"]["state"] == "connected"
    assert lines[-1]["link"]["exchanges_per_second"] > 0
    if kind == "arm":
        assert lines[-1]["position"][0] == pytest.approx(0.212, abs=0.01)
        assert lines[-1]["temperature"] > 0
    else:
        assert lines[-1]["statuses"] > 0 and len(lines[-1]["quaternion"]) == 4


def test_monitor_ends_cleanly_on_ctrl_c(ornix_sim, tmp_path):
    port = ornix_sim("arm").ports["arm"]
    watching = subprocess.Popen(
        ornix_command("monitor", port),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
    )
    try:
        assert watching.stdout.readline().startswith("Ostrel3 769")
        assert "exchanges/s" in watching.stdout.readline()
        watching.send_signal(signal.SIGINT)
        output, errors = watching.communicate(timeout=60)
    finally:
        watching.kill()
    assert watching.returncode == 0, errors
    assert errors == ""
    # The port is free again.
    ornix.check_port(port)
