"""Ctrl-C during a wait for a device ends the call with KeyboardInterrupt, whether the call
holds the interpreter lock or lets other threads run, and leaves its objects usable."""

import os
import signal
import struct
import subprocess
import time

import pytest

import OrnixHardwareAPI as ornix
from fakedevice import Expect, Reply
from test_detection import dev_entry  # noqa: F401 (a fixture)

SIGNAL_AFTER = 0.5
# Well inside the device time-out of 5 seconds, so that a call that waits it out fails.
INTERRUPTED_WITHIN = 2.0
STATE = struct.pack("<B6f", 0x2B, 1, 2, 3, 4, 5, 6)
TEMPERATURE = struct.pack("<Bf", 0xAA, 21.5)
ERROR = b"\xdf\x02\x01\x2a"
COMPACT = b"\xda\x01\x02\x04\xe5\x2c\x05\x06\x07\x00\x80\xff\x7f\x00\x40\x00\x00\xc8\x11\x00"


def interrupted(call):
    """Runs `call` with a SIGINT sent to this process from another one after a moment; the
    seconds until KeyboardInterrupt came."""
    sender = subprocess.Popen(
        ["/bin/sh", "-c", f"sleep {SIGNAL_AFTER}; kill -INT {os.getpid()}"],
        start_new_session=True,
    )
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
        return time.monotonic() - start
    finally:
        sender.wait()


@pytest.fixture(autouse=True)
def default_sigint_handler():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize(
    "call, request_frame, reply, again",
    [
        (
            lambda arm: arm.end_effector_force([0.0, 0.0, 1.0]),
            struct.pack("<B3f", 0x2A, 0, 0, 1),
            STATE,
            lambda result: result[0] == [1.0, 2.0, 3.0],
        ),
        (lambda arm: arm.get_temperature(), b"\xaa", TEMPERATURE, lambda result: result == 21.5),
    ],
    ids=["motion command, lock released", "status getter, lock held"],
)
def test_arm_calls(fake_device, call, request_frame, reply, again):
    device = fake_device(Expect(request_frame), Expect(request_frame), Reply(reply))
    arm = ornix.Ostrel3(ornix.SerialStream(device.path))
    assert interrupted(lambda: call(arm)) < INTERRUPTED_WITHIN
    assert again(call(arm))


def test_handle_calls(fake_device):
    device = fake_device()
    handle = ornix.Handle(ornix.SerialStream(device.path))
    assert interrupted(handle.Receive) < INTERRUPTED_WITHIN
    device.add(Reply(ERROR))
    assert handle.Receive() == 3
    assert interrupted(handle.GetQuilletStatus) < INTERRUPTED_WITHIN
    device.add(Reply(COMPACT))
    assert handle.GetQuilletStatus()["device_id"] == 0x2C


def test_detection(dev_entry):  # noqa: F811
    dev_entry(Expect(b"\x0a"))
    assert interrupted(ornix.detect_ostrel3s) < INTERRUPTED_WITHIN
