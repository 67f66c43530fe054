"""Ctrl-C during a wait for a device ends the call with KeyboardInterrupt, whether the call
holds the interpreter lock or lets other threads run, and leaves its objects usable."""

import pytest

import OrnixHardwareAPI as ornix
import wire
from fakedevice import Expect, Reply
from probes import interrupted

# Well inside the device time-out of 5 seconds, so that a call that waits it out fails.
INTERRUPTED_WITHIN = 2.0
STATE = wire.state(1, 2, 3, 4, 5, 6)
TEMPERATURE = wire.temperature(21.5)
ERROR = wire.error_response(0x0102, 42)
COMPACT = wire.compact_status(wire.compact_data(device_id=0x2C))


def interrupted_within_bounds(call):
    seconds = interrupted(call)
    return seconds is not None and seconds < INTERRUPTED_WITHIN


@pytest.mark.parametrize(
    "call, request_frame, reply, again",
    [
        (
            lambda arm: arm.end_effector_force([0.0, 0.0, 1.0]),
            wire.end_effector_force(0, 0, 1),
            STATE,
            lambda result: result[0] == [1.0, 2.0, 3.0],
        ),
        (
            lambda arm: arm.get_temperature(),
            wire.get_temperature(),
            TEMPERATURE,
            lambda result: result == 21.5,
        ),
    ],
    ids=["motion command, lock released", "status getter, lock held"],
)
def test_arm_calls(fake_device, call, request_frame, reply, again):
    device = fake_device(Expect(request_frame), Expect(request_frame), Reply(reply))
    arm = ornix.Ostrel3(ornix.SerialStream(device.path))
    assert interrupted_within_bounds(lambda: call(arm))
    assert again(call(arm))


def test_handle_calls(fake_device):
    device = fake_device()
    handle = ornix.Handle(ornix.SerialStream(device.path))
    assert interrupted_within_bounds(handle.Receive)
    device.add(Reply(ERROR))
    assert handle.Receive() == 3
    assert interrupted_within_bounds(handle.GetQuilletStatus)
    device.add(Reply(COMPACT))
    assert handle.GetQuilletStatus()["device_id"] == 0x2C


def test_detection(private_dev, fake_device):
    device = fake_device(Expect(wire.device_wakeup()))
    seconds = private_dev(
        {"cu.usbmodemORNIXTEST0": device.path}, "interrupted_after", "detect_ostrel3s"
    )
    assert seconds is not None and seconds < INTERRUPTED_WITHIN
