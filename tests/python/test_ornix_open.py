"""ornix.open_arm and ornix.open_handle: ports checked before use with errors a program can catch,
devices of the kind asked for, and a port released by close()."""

import fcntl
import os
import stat
import subprocess
import termios
import time
import sys

import OrnixHardwareAPI
import pytest

import ornix


def descriptors_on(port):
    """How many of the process's descriptors are open onto the device `port` names."""
    device = os.stat(port).st_rdev
    count = 0
    for name in os.listdir("/dev/fd"):
        try:
            status = os.fstat(int(name))
        except OSError:
            continue
        count += stat.S_ISCHR(status.st_mode) and status.st_rdev == device
    return count


def test_an_opened_arm_owns_its_port_until_closed(ornix_sim):
    port = ornix_sim("arm").ports["arm"]
    arm = ornix.open_arm(port)
    assert (arm.port, arm.identity.kind, arm.identity.model) == (port, "arm", 4)
    assert isinstance(arm.device, OrnixHardwareAPI.Ostrel3)
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    assert len(position) == 3 and position != [0.0, 0.0, 0.0]
    assert arm.get_device_id().hex != "0" * 32
    assert descriptors_on(port) == 1

    arm.close()
    arm.close()
    assert arm.closed and descriptors_on(port) == 0
    for use in (lambda: arm.end_effector_force([0, 0, 0]), lambda: arm.device):
        with pytest.raises(ornix.DeviceClosedError, match="was closed: open it again with"):
            use()
    assert "closed" in repr(arm)


def test_a_with_block_closes_the_handle(ornix_sim):
    port = ornix_sim("handle", "--user-data", "0a0b").ports["handle"]

    class Statuses(OrnixHardwareAPI.Handle):
        def OnReceiveHandleStatusMessage(self, device_id, quaternion, *rest):
            self.seen = (device_id, rest[-1])

    with ornix.open_handle(port, Statuses) as handle:
        assert handle.identity.kind == "handle"
        # The wake-up's answer was read while opening: the first message is the status asked for.
        handle.RequestStatus()
        assert handle.Receive() == 21 + 2
        assert handle.device.seen == (handle.identity.device_id, [0x0A, 0x0B])
        assert descriptors_on(port) == 1
    assert descriptors_on(port) == 0
    with pytest.raises(ornix.DeviceClosedError, match=r"ornix.open_handle\("):
        handle.Receive()


def test_ports_that_cannot_be_used_raise_what_a_program_can_catch(tmp_path):
    with pytest.raises(FileNotFoundError, match="is the device plugged in") as missing:
        ornix.open_arm(str(tmp_path / "ttyACM9"))
    assert missing.value.filename == str(tmp_path / "ttyACM9")
    plain = tmp_path / "notes.txt"
    plain.write_text("not a port")
    with pytest.raises(ornix.NotASerialPortError, match="is not a serial port"):
        ornix.open_handle(str(plain))
    with pytest.raises(IsADirectoryError):
        ornix.open_arm(str(tmp_path))
    with pytest.raises(TypeError, match="handle_class must be"):
        ornix.open_handle(str(plain), handle_class=OrnixHardwareAPI.Ostrel3)


def test_a_device_of_the_other_kind_is_named(ornix_sim):
    ports = ornix_sim("arm", "handle").ports
    with pytest.raises(ornix.WrongDeviceError, match=r"handle 279 .* not an Ostrel3: open it with"):
        ornix.open_arm(ports["handle"])
    with pytest.raises(ornix.WrongDeviceError, match=r"Ostrel3 769 .* ornix.open_arm\("):
        ornix.open_handle(ports["arm"])


def test_without_a_port_the_one_device_that_answers_is_opened(ornix_sim, tmp_path):
    with pytest.raises(
        ornix.DeviceNotFoundError, match="no candidate port .*`ornix-sim arm handle`"
    ):
        ornix.open_arm(directory=str(tmp_path))
    ornix_sim(
        "arm", "--link", str(tmp_path / "ttyACM0"), "handle", "--link", str(tmp_path / "ttyUSB0")
    )
    with ornix.open_arm(directory=str(tmp_path)) as arm:
        assert arm.port == str(tmp_path / "ttyACM0")
    with ornix.open_handle(directory=str(tmp_path)) as handle:
        assert handle.port == str(tmp_path / "ttyUSB0")
    ornix_sim("arm", "--link", str(tmp_path / "ttyACM1"))
    with pytest.raises(ornix.SeveralDevicesError, match="ttyACM0, .*ttyACM1: pass the port"):
        ornix.open_arm(directory=str(tmp_path))


def as_unprivileged_user(action):
    """What `action` returns, run in a child process without root's privileges, which open
    every port: as root, the child becomes nobody; otherwise it is the caller's user."""
    reading, writing = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.close(reading)
            if os.geteuid() == 0:
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
            os.write(writing, action().encode())
        finally:
            os._exit(0)
    os.close(writing)
    with os.fdopen(reading) as result:
        text = result.read()
    os.waitpid(child, 0)
    return text


def opening_fails(port, expected):
    """The message of the `expected` error open_arm raises on `port`."""
    try:
        ornix.open_arm(port)
    except expected as error:
        return error.strerror
    return "opened"


def test_a_port_the_user_may_not_open_says_how_to_fix_it(ornix_sim):
    port = ornix_sim("arm").ports["arm"]
    if os.geteuid() != 0:
        os.chmod(port, 0)
    elif os.stat(port).st_mode & stat.S_IROTH:
        pytest.skip("the pseudo-terminal is open to every user here")
    advice = as_unprivileged_user(lambda: opening_fails(port, PermissionError))
    assert "may not open " + port in advice
    if sys.platform.startswith("linux"):
        assert "group" in advice or "udev rule" in advice


def test_a_port_another_program_holds_exclusively_is_busy(ornix_sim):
    port = ornix_sim("arm").ports["arm"]
    # Open to every user, so that only the exclusive hold (which root overrides) stops the child.
    os.chmod(port, 0o666)
    holder = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.ioctl(holder, termios.TIOCEXCL)
        message = as_unprivileged_user(lambda: opening_fails(port, ornix.PortBusyError))
    finally:
        os.close(holder)
    assert message.startswith(f"{port} is busy: another program holds it")


def test_a_port_this_program_or_another_has_open_is_busy(ornix_sim):
    port = ornix_sim("arm").ports["arm"]
    with ornix.open_arm(port):
        with pytest.raises(ornix.PortBusyError, match="is busy: another program holds it, or"):
            ornix.check_port(port)
        with pytest.raises(ornix.PortBusyError):
            ornix.open_arm(port)
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import ornix, sys; arm = ornix.open_arm(sys.argv[1]); print(); input()",
            port,
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout.readline() == "\n"
        with pytest.raises(ornix.PortBusyError):
            ornix.open_arm(port)
    finally:
        holder.communicate("\n", timeout=60)
    assert holder.returncode == 0
    ornix.open_arm(port).close()


def test_a_port_that_goes_away_after_its_check_is_not_found_at_once(
    ornix_sim, tmp_path, monkeypatch
):
    port = tmp_path / "ttyACM0"
    port.symlink_to(ornix_sim("arm").ports["arm"])
    checked = ornix.devices.check_port

    def checked_then_unplugged(path):
        checked(path)
        if port.is_symlink():
            port.unlink()

    monkeypatch.setattr(ornix.devices, "check_port", checked_then_unplugged)
    start = time.monotonic()
    with pytest.raises(FileNotFoundError, match="there is no port"):
        ornix.open_arm(str(port))
    # Waking a port that never opened would take two device time-outs.
    assert time.monotonic() - start < 4.0
