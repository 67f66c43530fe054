import ctypes
import os
import subprocess
import sys
import sysconfig

import pytest

import privatedev
from fakedevice import FakeDevice

# The ornix_sim fixture: virtual devices served by ornix-sim.
pytest_plugins = ["ornix.pytest_plugin"]

_libc = ctypes.CDLL(None)


@pytest.fixture
def recorded(ornix_sim, tmp_path):
    """`recorded(*device_args)`: a virtual device behind a recording proxy; gives (proxy,
    recording path)."""

    def start(*device_args):
        device = ornix_sim(*device_args)
        path = tmp_path / f"{device_args[0]}-{len(list(tmp_path.iterdir()))}.jsonl"
        proxy = ornix_sim("proxy", device.port, "--record", str(path))
        return proxy, path

    return start


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


@pytest.fixture
def run_ornix(tmp_path_factory):
    """Runs the `ornix` command: the one installed beside this interpreter, from a directory
    without sources, or else the package on the path (a run against the build tree)."""
    installed = os.path.join(sysconfig.get_path("scripts"), "ornix")
    command = [installed] if os.access(installed, os.X_OK) else [sys.executable, "-m", "ornix"]
    elsewhere = tmp_path_factory.mktemp("elsewhere")

    def run(*arguments, timeout=120):
        return subprocess.run(
            [*command, *arguments], capture_output=True, text=True, timeout=timeout, cwd=elsewhere
        )

    return run


@pytest.fixture
def private_dev():
    """`private_dev(links, check, *arguments)`: a check of `privatedev` run where /dev holds only
    `links`; skips where a /dev of its own cannot be arranged."""
    reason = privatedev.unavailable()
    if reason is not None:
        pytest.skip(reason)
    return privatedev.run
