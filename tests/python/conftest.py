import ctypes

import pytest

from fakedevice import FakeDevice

# The ornix_sim fixture: virtual devices served by ornix-sim.
pytest_plugins = ["ornix.pytest_plugin"]

_libc = ctypes.CDLL(None)


@pytest.fixture
def fake_device():
    """Starts fake devices: `fake_device(Expect(...), Reply(...))` gives a running device."""
    devices = []

    def start(*steps, strict=True):
        device = FakeDevice(*steps, strict=strict)
        devices.append(device)
        return device

    yield start
    failures = []
    for device in devices:
        if device.strict:
            # Bytes written just before the test ended may still be on their way.
            device.wait_until_played(timeout=2.0)
        report = device.finish()
        if device.strict:
            failures += report.mismatches
            if report.unplayed:
                failures.append(f"{device.path}: {report.unplayed} script steps not played")
    assert not failures, "\n".join(failures)


class NativeOutput:
    """What the process wrote to its standard output and error descriptors, C buffers included."""

    def __init__(self, capfd):
        self._capfd = capfd

    def read(self):
        _libc.fflush(None)
        return self._capfd.readouterr()


@pytest.fixture
def native_output(capfd):
    return NativeOutput(capfd)
