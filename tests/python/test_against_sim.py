"""The module end to end against ornix-sim, an independent implementation of the devices."""

import math
import os
import re
import time
import uuid
import warnings

import pytest

import OrnixHardwareAPI as ornix

LINKS = (0.15, 0.15)


def forward_kinematics(yaw, shoulder, elbow):
    reach = LINKS[0] * math.cos(shoulder) + LINKS[1] * math.cos(shoulder + elbow)
    height = LINKS[0] * math.sin(shoulder) + LINKS[1] * math.sin(shoulder + elbow)
    return [reach * math.cos(yaw), reach * math.sin(yaw), height]


@pytest.fixture
def arm_from(ornix_sim):
    """`arm_from(options...)`: an Ostrel3 on a fresh virtual arm started with those options."""

    def start(*options):
        stream = ornix.SerialStream(ornix_sim("arm", *options).ports["arm"])
        return ornix.Ostrel3(stream)

    return start


class Recorder(ornix.Handle):
    def __init__(self, stream):
        ornix.Handle.__init__(self, stream)
        self.messages = []

    def OnReceiveHandleInfo(self, *fields):
        self.messages.append(("info", fields))

    def OnReceiveHandleStatusMessage(self, *fields):
        self.messages.append(("status", fields))

    def OnReceiveHandleErrorResponse(self, *fields):
        self.messages.append(("error", fields))


def test_arm_identity_and_status(arm_from):
    arm = arm_from()
    device_id, model, hardware, firmware, identifier = arm.device_wakeup()
    assert model == 4
    info = arm.device_wakeup_dict()
    assert info["device_id_ext"] == uuid.UUID(bytes=bytes(identifier)) == arm.get_device_id()
    assert info["device_id_ext"] != uuid.UUID(int=0)
    assert isinstance(arm.get_firmware_version(), uuid.UUID)
    assert len(arm.get_motor_currents()) == 3
    assert math.isclose(sum(c * c for c in arm.get_device_orientation()), 1.0, rel_tol=1e-6)
    assert arm.get_power_status() is True
    assert 0.0 < arm.get_temperature() < 100.0


def test_joint_and_end_effector_states_describe_one_arm(arm_from):
    arm = arm_from()
    (x, y, z), _ = arm.end_effector_force()
    angles, _ = arm.joint_torques()
    assert forward_kinematics(*angles) == pytest.approx([x, y, z], abs=1e-4)

    # The servo settles in about 0.1 s of the arm's own time, however fast the host asks.
    target = [0.3, 0.9, -1.4]
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        angles, velocities = arm.joint_angles(target)
    assert angles == pytest.approx(target, abs=1e-2)
    position, _ = arm.end_effector_position(forward_kinematics(*target))
    assert position == pytest.approx(forward_kinematics(*angles), abs=1e-3)


def test_a_force_pushes_and_a_held_position_stays_put(arm_from):
    arm = arm_from()
    (x0, _, _), _ = arm.end_effector_force()
    deadline = time.monotonic() + 0.2
    while time.monotonic() < deadline:
        (x, _, _), (vx, _, _) = arm.end_effector_force([1.0, 0.0, 0.0])
    assert x > x0 + 0.005 and vx > 0

    target = [0.2, 0.05, 0.03]
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        position, velocity = arm.end_effector_position(target)
    assert position == pytest.approx(target, abs=2e-3)
    assert max(abs(v) for v in velocity) < 0.01


def test_legacy_split_exchange(arm_from):
    arm = arm_from()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        arm.SendForce(0.0, 0.0, 0.0)
        position, velocity = arm.ReceiveState()
    assert position == pytest.approx([0.2121, 0.0, 0.0], abs=1e-3)
    arm.RequestCurrent()
    assert len(arm.ReceiveCurrent()) == 3


def test_handle_messages_reach_the_callbacks(ornix_sim):
    handle = Recorder(
        ornix.SerialStream(ornix_sim("handle", "--user-data", "0a0b").ports["handle"])
    )
    handle.SendDeviceWakeup()
    assert handle.Receive() == 6
    handle.RequestStatus()
    assert handle.Receive() == 23
    handle.SendHandleState(1, 1, 7)
    handle.RequestStatus()
    assert handle.Receive() == 23
    (kind, info), (_, status), _ = handle.messages
    assert kind == "info" and len(info) == 5
    device_id, quaternion, error_flag, level, length, data = status
    assert device_id == info[1]
    assert math.isclose(sum(q * q for q in quaternion), 1.0, rel_tol=1e-4)
    assert (length, data) == (2, [0x0A, 0x0B])


def test_compact_status_stream_decodes(ornix_sim):
    handle = ornix.Handle(
        ornix.SerialStream(ornix_sim("handle", "--compact", "200").ports["handle"])
    )
    for _ in range(40):
        status = handle.GetQuilletStatus()
        assert status["error_flag"] not in (1, 2)
        assert math.isclose(sum(q * q for q in status["quaternion"]), 1.0, abs_tol=1e-3)
        assert 3.0 <= status["battery_level"] <= 4.2751
        assert 0 <= status["buttons"] <= 7


@pytest.mark.parametrize("fault", ["--wrong-code-every", "--garbage-every"])
def test_spoiled_replies_fail_quietly_and_the_next_exchange_succeeds(
    arm_from, native_output, fault
):
    arm = arm_from(fault, "2")
    results = [arm.end_effector_force()[0] for _ in range(6)]
    failed = [position == [0.0, 0.0, 0.0] for position in results]
    assert failed == [False, True] * 3
    assert native_output.read().err == ""


def test_slow_arm_is_waited_for(arm_from):
    arm = arm_from("--delay", "100")
    start = time.monotonic()
    assert arm.get_power_status() is True
    assert time.monotonic() - start >= 0.09


@pytest.mark.slow
def test_unplugged_arm_gives_zeros_and_keeps_failing_cleanly(arm_from, native_output):
    arm = arm_from("--disconnect-after", "2")
    assert arm.get_power_status() and arm.get_power_status()
    start = time.monotonic()
    assert arm.end_effector_force([1.0, 0.0, 0.0]) == ([0.0] * 3, [0.0] * 3)
    assert arm.get_temperature() == 0.0
    assert time.monotonic() - start < 14.0
    errors = native_output.read().err
    assert re.search(r"Device\.cpp:57> timeout waiting for header code", errors)


@pytest.mark.skipif(not os.access("/dev", os.W_OK), reason="/dev is not writable here")
def test_detection_finds_virtual_devices_linked_into_dev(ornix_sim):
    arm_link = f"/dev/cu.usbmodemSIM{os.getpid()}"
    handle_link = f"/dev/cu.usbserialSIM{os.getpid()}"
    ornix_sim("arm", "--link", arm_link, "handle", "--link", handle_link)
    assert arm_link in ornix.detect_ostrel3s()
    assert handle_link in ornix.detect_wired_handles()
    handles = ornix.detect_handles()
    assert handle_link in handles and arm_link not in handles
