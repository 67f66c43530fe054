"""What a real link does to the exchanges: late and stray replies, replies in pieces, a device
unplugged mid-reply, one that stops reading for a while or floods the port, a path that is no
port at all. The scenarios the C++ tests share are the scripts of tests/scripts."""

import time

import pytest

import OrnixHardwareAPI as ornix
import wire
from fakedevice import Flood, load_script
from interpreter import PYPY
from probes import interrupted

FORCE = [0.0, 0.0, 1.0]
FORCE_REQUEST = wire.end_effector_force(*FORCE)
ANGLES = [0.1, 0.2, 0.3]
ANGLE_REQUEST = wire.joint_angles(*ANGLES)
HEADER_TIMEOUT = "timeout waiting for header code"


def x_of(arm):
    position, _ = arm.end_effector_force(FORCE)
    return position[0]


@pytest.fixture
def arm_on(fake_device):
    def start(*steps):
        device = fake_device(*steps)
        stream = ornix.SerialStream(device.path)
        return ornix.Ostrel3(stream), device

    return start


def test_a_stray_reply_waiting_before_the_first_request_is_discarded(arm_on):
    # A state numbered 99 first, then each request answered with its number.
    steps = load_script("stray-reply.jsonl")
    arm, device = arm_on(*steps[:1])
    assert device.wait_until_played()
    device.add(*steps[1:])
    assert [x_of(arm) for _ in range(5)] == [1, 2, 3, 4, 5]


@pytest.mark.slow
def test_a_late_reply_spoils_only_the_call_it_arrives_in(arm_on, native_output):
    # The device answers the first request after 6.5 s, past the time-out, and every later one
    # at once. The second call cannot tell the late reply from its own; every call after it
    # gets its own reply.
    arm, _ = arm_on(*load_script("late-reply.jsonl"))
    assert [x_of(arm) for _ in range(7)] == [0, 1, 3, 4, 5, 6, 7]
    assert native_output.read().err.count(HEADER_TIMEOUT) == 1


def test_a_wrong_reply_in_two_pieces_leaves_nothing_behind(arm_on, native_output):
    # The state reply of the other kind of motion command, cut in two 20 ms apart, to a whole
    # exchange and then to a request and a receive apart.
    arm, _ = arm_on(*load_script("wrong-reply-in-pieces.jsonl"))
    assert arm.joint_torques(FORCE) == ([0.0] * 3, [0.0] * 3)
    assert x_of(arm) == 2
    with pytest.warns(DeprecationWarning):
        arm.SendJointTorques(FORCE)
        assert arm.ReceiveJointState()[0] == [0.0] * 3
        assert arm.ReceiveJointState()[0][0] == 3
    assert native_output.read().err == ""


def test_a_device_unplugged_mid_payload_gives_zeros_and_later_calls_fail_cleanly(
    arm_on, native_output
):
    # A whole state, then 10 bytes of the next, and the device is unplugged 50 ms later. The
    # wait for the rest ends with the line, not at the time-out, and so does every later wait;
    # the bound on each call is generous, yet below the time-out of five seconds.
    arm, device = arm_on(*load_script("hangup-mid-payload.jsonl"))
    assert arm.end_effector_force(FORCE)[0] == wire.as_float32([0.5, -1.25, 2.0])
    start = time.monotonic()
    assert arm.end_effector_force(FORCE) == ([0.0] * 3, [0.0] * 3)
    assert time.monotonic() - start < 4.0
    assert device.wait_until_played()
    for _ in range(2):
        start = time.monotonic()
        assert arm.end_effector_force(FORCE) == ([0.0] * 3, [0.0] * 3)
        assert arm.get_temperature() == 0.0
        assert time.monotonic() - start < 4.0
    errors = native_output.read().err
    assert errors.count("timeout waiting for payload") == 1
    assert errors.count("SerialStream.cpp:52> unable to write '13' bytes to stream") == 2
    assert errors.count("SerialStream.cpp:52> unable to write '1' bytes to stream") == 2
    assert errors.count(HEADER_TIMEOUT) == 4


def test_a_device_that_stops_reading_for_a_while_is_served_again(arm_on, native_output):
    # While it reads nothing the line fills up; a frame the port cannot take waits for at most a
    # second (one that has begun to go out is finished), so the sends end soon after the device
    # reads again, the line carries whole frames only, and the same objects go on exchanging.
    # The device reads nothing for 2 s, then skips to a force request, which it answers.
    arm, device = arm_on(*load_script("stalled-device.jsonl"))
    start = time.monotonic()
    for _ in range(2000):
        arm.SendAngle(ANGLES)
    assert time.monotonic() - start < 30.0
    assert x_of(arm) == 5
    # A frame waits a second, so about two are refused while the device reads nothing; a port
    # that refused every frame it cannot take at once would refuse hundreds. The bound leaves room
    # for a device process that a busy machine lets read again late.
    failed = native_output.read().err.count("unable to write '13' bytes to stream")
    assert failed <= 8
    received = device.received()
    assert received == ANGLE_REQUEST * (2000 - failed) + FORCE_REQUEST


# A device that sends faster than the host reads, over and over a code the arm never sends: the
# port has bytes waiting whenever the library looks, so no wait ever waits.
FLOOD = b"\x99"
COMPACT = wire.compact_status(wire.compact_data(device_id=0x2C))


@pytest.mark.slow
@pytest.mark.parametrize(
    "call, failed",
    [
        (lambda arm: arm.get_temperature(), 0.0),
        (lambda arm: arm.end_effector_force(FORCE), ([0.0] * 3, [0.0] * 3)),
    ],
    ids=["status getter, lock held", "motion command, lock released"],
)
def test_a_flooding_device_is_given_up_on_within_the_time_out(arm_on, call, failed):
    arm, _ = arm_on(Flood(FLOOD))
    start = time.monotonic()
    assert call(arm) == failed
    # The wrong code is drained until the port is quiet, which it never is, for at most the
    # time-out of 5 s, counted in whole seconds: 6 s; the rest is room for a busy machine.
    assert time.monotonic() - start < 15.0


def test_a_flooding_device_lets_ctrl_c_end_the_call(arm_on):
    arm, _ = arm_on(Flood(FLOOD))
    seconds = interrupted(arm.get_temperature)
    # PyPy runs no signal handler while a call holds the interpreter lock and no wait of its is
    # interrupted: under a flood its status getter ends at its bound, and then raises.
    assert seconds is not None and seconds < (7.0 if PYPY else 2.0)


def test_a_handle_flooding_the_port_gives_its_newest_status_and_one_message_a_call(fake_device):
    device = fake_device(Flood(COMPACT))
    handle = ornix.Handle(ornix.SerialStream(device.path))
    start = time.monotonic()
    assert handle.GetQuilletStatus()["device_id"] == 0x2C
    # Read as a status message, a packet and the first byte of the next (its user data length,
    # 0x01) are 21 bytes, and one byte of user data follows.
    assert handle.Receive() == 21 + 1
    assert time.monotonic() - start < 2.0


def test_a_regular_file_is_no_port(tmp_path, native_output):
    notes = tmp_path / "notes.txt"
    notes.write_bytes(b"keep me as I am")
    stream = ornix.SerialStream(str(notes))
    lines = native_output.read().err.splitlines()
    assert lines == [
        f"[err] Library/src/SerialStream.cpp:38> unable to open port '{notes}': "
        "[25] Inappropriate ioctl for device",
        f"[err] Library/src/SerialStream.cpp:17> unable to open stream '{notes}': "
        "[25] Inappropriate ioctl for device",
    ]
    arm = ornix.Ostrel3(stream)
    arm.SendAngle(ANGLES)
    assert "unable to write '13' bytes to stream" in native_output.read().err
    assert notes.read_bytes() == b"keep me as I am"
