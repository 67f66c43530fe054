"""The detect_* functions, each run where /dev holds only the links the test puts there (see
privatedev.py): nothing is written to the machine's /dev, and its serial ports stay out of sight."""

import pytest

import OrnixHardwareAPI as ornix
import wire
from fakedevice import Expect, Reply

FUNCTIONS = [
    (ornix.detect_ostrel3s, "detect available ostrel3 devices"),
    (ornix.detect_handles, "detect available handles"),
    (ornix.detect_wired_handles, "detect available wired handles"),
    (ornix.detect_wireless_handles, "detect available wireless handles"),
]
NAMES = [function.__name__ for function, _ in FUNCTIONS]
ARM_INFO = wire.device_info(1, 4, 1, 1, bytes(16))
WAKEUP = Expect(wire.device_wakeup())


@pytest.mark.parametrize("function, doc", FUNCTIONS)
def test_signatures_and_doc_strings(function, doc):
    assert function.__doc__ == f"{function.__name__}() -> list[str]\n\n{doc}\n"
    with pytest.raises(TypeError):
        function("/dev")


def test_no_device_attached_gives_empty_lists(private_dev):
    assert private_dev({}, "listed", *NAMES) == {name: [] for name in NAMES}


def test_an_arm_is_found_as_an_arm_only(private_dev, fake_device):
    device = fake_device(WAKEUP, Reply(ARM_INFO), WAKEUP, Reply(ARM_INFO))
    found = private_dev(
        {"cu.usbmodemORNIXTEST0": device.path}, "listed", "detect_ostrel3s", "detect_handles"
    )
    assert found == {"detect_ostrel3s": ["/dev/cu.usbmodemORNIXTEST0"], "detect_handles": []}


def test_virtual_devices_are_found_by_kind(private_dev, ornix_sim):
    ports = ornix_sim("arm", "handle").ports
    found = private_dev(
        {"cu.usbmodemSIM": ports["arm"], "cu.usbserialSIM": ports["handle"]},
        "listed",
        "detect_ostrel3s",
        "detect_wired_handles",
        "detect_handles",
    )
    assert found == {
        "detect_ostrel3s": ["/dev/cu.usbmodemSIM"],
        "detect_wired_handles": ["/dev/cu.usbserialSIM"],
        "detect_handles": ["/dev/cu.usbserialSIM"],
    }


@pytest.mark.slow
def test_other_threads_stand_still_while_a_silent_port_is_probed(private_dev, fake_device):
    device = fake_device(WAKEUP)
    probe = private_dev({"cu.usbmodemORNIXTEST0": device.path}, "stamped", NAMES[0])
    assert probe["found"] == []
    asked_at = device.played_at()[0]
    # The probe waits the five-second time-out from the moment the port was asked.
    assert probe["end"] - asked_at > 4.0
    assert sum(asked_at < stamp < asked_at + 4.0 for stamp in probe["stamps"]) == 0
