import glob
import os

import pytest

import OrnixHardwareAPI as ornix
from fakedevice import Expect, Reply
from test_ostrel3 import Ticker

FUNCTIONS = [
    (ornix.detect_ostrel3s, "detect available ostrel3 devices"),
    (ornix.detect_handles, "detect available handles"),
    (ornix.detect_wired_handles, "detect available wired handles"),
    (ornix.detect_wireless_handles, "detect available wireless handles"),
]
CANDIDATES = ["/dev/cu.*", "/dev/ttyACM*", "/dev/ttyUSB*", "/dev/rfcomm*"]
ARM_INFO = b"\x0b\x01\x00\x04\x01\x01" + bytes(16)


@pytest.mark.parametrize("function, doc", FUNCTIONS)
def test_signatures_and_doc_strings(function, doc):
    assert function.__doc__ == f"{function.__name__}() -> list[str]\n\n{doc}\n"
    with pytest.raises(TypeError):
        function("/dev")


@pytest.mark.skipif(
    any(glob.glob(pattern) for pattern in CANDIDATES), reason="this machine has serial ports"
)
@pytest.mark.parametrize("function", [f for f, _ in FUNCTIONS])
def test_no_device_attached_gives_an_empty_list(function):
    assert function() == []


@pytest.fixture
def dev_entry(fake_device):
    """Makes a fake device appear in /dev as an arm's port, for as long as the test runs."""
    if not os.access("/dev", os.W_OK):
        pytest.skip("/dev is not writable here")
    entries = []

    def attach(*steps):
        device = fake_device(*steps)
        entry = f"/dev/cu.usbmodemORNIXTEST{len(entries)}"
        os.symlink(device.path, entry)
        entries.append(entry)
        return entry

    yield attach
    for entry in entries:
        os.unlink(entry)


def test_an_arm_in_dev_is_found(dev_entry):
    entry = dev_entry(Expect(b"\x0a"), Reply(ARM_INFO), Expect(b"\x0a"), Reply(ARM_INFO))
    assert entry in ornix.detect_ostrel3s()
    assert entry not in ornix.detect_handles()


@pytest.mark.slow
def test_other_threads_stand_still_while_a_silent_port_is_probed(dev_entry):
    entry = dev_entry(Expect(b"\x0a"))
    found, ticks = Ticker().during(ornix.detect_ostrel3s)
    assert entry not in found
    assert ticks <= 1
