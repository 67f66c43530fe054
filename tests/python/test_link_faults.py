"""What a real link does to the arm's exchanges: late and stray replies, replies in pieces, a
device that stops reading for a while, a path that is no port at all."""

import struct
import time

import pytest

import OrnixHardwareAPI as ornix
from fakedevice import Expect, Reply, Seek, Stall

FORCE = [0.0, 0.0, 1.0]
FORCE_REQUEST = struct.pack("<B3f", 0x2A, *FORCE)
ANGLES = [0.1, 0.2, 0.3]
ANGLE_REQUEST = struct.pack("<B3f", 0x1C, *ANGLES)


def numbered(number, code=0x2B):
    """A state reply whose x is `number`."""
    return struct.pack("<B6f", code, number, 0, 0, 0, 0, 0)


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
    steps = [Reply(numbered(99))]
    for number in range(1, 6):
        steps += [Expect(FORCE_REQUEST), Reply(numbered(number))]
    arm, device = arm_on(*steps[:1])
    assert device.wait_until_played()
    device.add(*steps[1:])
    assert [x_of(arm) for _ in range(5)] == [1, 2, 3, 4, 5]


@pytest.mark.slow
def test_a_late_reply_spoils_only_the_call_it_arrives_in(arm_on, native_output):
    # The device answers the first request after 6.5 s, past the time-out, and every later one
    # at once. The second call cannot tell the late reply from its own; every call after it
    # gets its own reply.
    steps = [Expect(FORCE_REQUEST), Reply(numbered(1), delay=6.5)]
    for number in range(2, 8):
        steps += [Expect(FORCE_REQUEST), Reply(numbered(number))]
    arm, _ = arm_on(*steps)
    assert [x_of(arm) for _ in range(7)] == [0, 1, 3, 4, 5, 6, 7]
    assert native_output.read().err.count("timeout waiting for header code") == 1


def wrong_reply_in_two_pieces(request):
    """The state reply of the other kind of motion command, cut in two 20 ms apart."""
    wrong = numbered(7)
    return [Expect(request), Reply(wrong[:9]), Reply(wrong[9:], delay=0.02)]


def test_a_wrong_reply_in_two_pieces_leaves_nothing_behind(arm_on, native_output):
    torque_request = struct.pack("<B3f", 0x1A, *FORCE)
    arm, _ = arm_on(
        *wrong_reply_in_two_pieces(torque_request),
        Expect(FORCE_REQUEST),
        Reply(numbered(2)),
        # The same, split into a request and a receive.
        *wrong_reply_in_two_pieces(torque_request),
        Reply(numbered(3, code=0x1B), delay=0.05),
    )
    assert arm.joint_torques(FORCE) == ([0.0] * 3, [0.0] * 3)
    assert x_of(arm) == 2
    with pytest.warns(DeprecationWarning):
        arm.SendJointTorques(FORCE)
        assert arm.ReceiveJointState()[0] == [0.0] * 3
        assert arm.ReceiveJointState()[0][0] == 3
    assert native_output.read().err == ""


def test_a_device_that_stops_reading_for_a_while_is_served_again(arm_on, native_output):
    # While it reads nothing the line fills up; a frame the port cannot take waits for at most a
    # second (one that has begun to go out is finished), so the sends end soon after the device
    # reads again, the line carries whole frames only, and the same objects go on exchanging.
    arm, device = arm_on(Stall(2.0), Seek(FORCE_REQUEST), Reply(numbered(5)))
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
