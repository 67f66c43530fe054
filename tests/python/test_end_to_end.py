"""Smoke test of the module against ornix-sim, an independent implementation of the devices: each
of the arm's and the handle's calls once, as a program uses them. The simulator's own behaviour,
its physics and its faults are tested in test_ornix_sim.py; the module's handling of what a link
spoils, in the C++ tests."""

import math
import time
import uuid
import warnings

import pytest

import OrnixHardwareAPI as ornix

pytestmark = pytest.mark.smoke

LINKS = (0.15, 0.15)
# The rest pose of the virtual arm, where it starts.
REST = [0.2121, 0.0, 0.0]


def forward_kinematics(yaw, shoulder, elbow):
    reach = LINKS[0] * math.cos(shoulder) + LINKS[1] * math.cos(shoulder + elbow)
    height = LINKS[0] * math.sin(shoulder) + LINKS[1] * math.sin(shoulder + elbow)
    return [reach * math.cos(yaw), reach * math.sin(yaw), height]


def driven_to(target, tolerance, call, within=20.0):
    """Repeats `call`, a motion command, until the state it returns is within `tolerance` of
    `target` or the generous time is up; that state. The servo settles in a fraction of a second
    of the arm's own time, however busy the host."""
    deadline = time.monotonic() + within
    while True:
        state = call()
        if state[0] == pytest.approx(target, abs=tolerance) or time.monotonic() > deadline:
            return state


@pytest.fixture
def arm_from(ornix_sim):
    """`arm_from(options...)`: an Ostrel3 on a fresh virtual arm started with those options."""

    def start(*options):
        stream = ornix.SerialStream(ornix_sim("arm", *options).ports["arm"])
        return ornix.Ostrel3(stream)

    return start


class Recorder(ornix.Handle):
    """A handle that keeps every message its callbacks are given."""

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


def test_motion_commands_drive_one_arm(arm_from):
    arm = arm_from()
    (x, y, z), _ = arm.end_effector_force()
    angles, _ = arm.joint_torques()
    assert forward_kinematics(*angles) == pytest.approx([x, y, z], abs=1e-4)

    # Targets reached show that the values went out in the order and units the arm reads them.
    target = [0.3, 0.9, -1.4]
    angles, _ = driven_to(target, 1e-2, lambda: arm.joint_angles(target))
    assert angles == pytest.approx(target, abs=1e-2)
    position, _ = arm.end_effector_position(forward_kinematics(*target))
    assert position == pytest.approx(forward_kinematics(*angles), abs=1e-3)

    target = [0.2, 0.05, 0.03]
    position, _ = driven_to(target, 2e-3, lambda: arm.end_effector_position(target))
    assert position == pytest.approx(target, abs=2e-3)


def test_legacy_split_exchange(arm_from):
    arm = arm_from()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        arm.SendForce(0.0, 0.0, 0.0)
        position, velocity = arm.ReceiveState()
    assert position == pytest.approx(REST, abs=1e-3)
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
