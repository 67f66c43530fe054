"""ornix.list_ports, the probes and `ornix list`, over a directory of our own standing in for /dev:
links to virtual devices under the names detection uses, and the system's view injected."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest
from serial.tools.list_ports_common import ListPortInfo

import ornix
from ornix.devices import probe_all


def described(path, **fields):
    """The system's description of a port, as pyserial gives it."""
    info = ListPortInfo(path, skip_link_detection=True)
    for name, value in fields.items():
        setattr(info, name, value)
    return info


def test_listing_joins_the_system_view_with_what_detection_probes(tmp_path):
    for name in ("ttyACM10", "ttyACM2", "ttyUSB0", "cu.usbmodem14101", "cu.debug-console", "ttyS0"):
        (tmp_path / name).touch()
    (tmp_path / "serial" / "by-id").mkdir(parents=True)
    stable = tmp_path / "serial" / "by-id" / "usb-FTDI_FT232R_A50285BI-if00-port0"
    stable.symlink_to("../../ttyUSB0")
    system = [
        described(
            str(tmp_path / "ttyUSB0"),
            vid=0x0403,
            pid=0x6001,
            serial_number="A50285BI",
            manufacturer="FTDI",
            product="FT232R USB UART",
            description="FT232R USB UART",
        ),
        # A port the system knows that detection never probes is listed all the same.
        described(str(tmp_path / "ttyS0"), description="n/a"),
        # Ports elsewhere belong to another directory's listing.
        described("/elsewhere/ttyACM0", vid=1, pid=2),
    ]
    ports = ornix.list_ports(str(tmp_path), system_ports=lambda: system)
    names = [os.path.basename(port.device) for port in ports]
    assert names == ["cu.usbmodem14101", "ttyACM2", "ttyACM10", "ttyS0", "ttyUSB0"]
    by_name = {os.path.basename(port.device): port for port in ports}

    usb = by_name["ttyUSB0"]
    assert (usb.usb_id, usb.serial_number, usb.manufacturer) == ("0403:6001", "A50285BI", "FTDI")
    assert usb.probed_by == ("detect_handles", "detect_wired_handles")
    assert usb.role == "wired handle"
    assert usb.by_id == (str(stable),)
    assert usb.to_json()["by_id"] == [str(stable)]

    bare = by_name["ttyACM2"]
    assert (bare.usb_id, bare.description, bare.by_id) == (None, None, ())
    assert bare.role == "arm or handle"
    assert by_name["cu.usbmodem14101"].probed_by == ("detect_ostrel3s", "detect_handles")
    assert (by_name["ttyS0"].role, by_name["ttyS0"].description) == (None, None)


def test_a_missing_directory_lists_nothing(tmp_path):
    assert ornix.list_ports(str(tmp_path / "missing"), system_ports=list) == []


@pytest.fixture
def linked_devices(ornix_sim, tmp_path):
    """A virtual arm and a virtual handle behind the names detection probes, beside a handle on
    an arm's kind of port and a dangling name."""
    ornix_sim(
        "arm", "--link", str(tmp_path / "ttyACM0"), "handle", "--link", str(tmp_path / "ttyUSB0")
    )
    ornix_sim("handle", "--link", str(tmp_path / "ttyACM1"))
    (tmp_path / "ttyUSB7").symlink_to(tmp_path / "unplugged")
    return tmp_path


def test_probes_say_who_answers_on_each_port(linked_devices):
    answers = probe_all(ornix.list_ports(str(linked_devices), system_ports=list))
    by_name = {os.path.basename(answer.port.device): answer for answer in answers}
    assert sorted(by_name) == ["ttyACM0", "ttyACM1", "ttyUSB0", "ttyUSB7"]

    arm = by_name["ttyACM0"].identity
    assert (arm.kind, arm.model) == ("arm", 4)
    assert len(arm.uuid) == 32 and arm.uuid != "0" * 32
    # A handle on a port where an arm could be: the arm's wake-up finds none, the handle's does.
    assert by_name["ttyACM1"].identity.kind == "handle"
    assert by_name["ttyUSB0"].identity == by_name["ttyACM1"].identity
    assert by_name["ttyUSB7"].identity is None
    assert by_name["ttyUSB7"].problem == "cannot open: No such file or directory"


def test_list_command_prints_a_table_and_json(linked_devices, run_ornix):
    table = run_ornix("list", "--dev", str(linked_devices), "--probe")
    assert table.returncode == 0, table.stderr
    lines = table.stdout.splitlines()
    assert lines[0].split() == ["PORT", "DETECTION", "USB", "ID", "SERIAL", "DESCRIPTION", "ANSWER"]
    arm_line = next(line for line in lines if line.startswith(str(linked_devices / "ttyACM0")))
    assert "arm or handle" in arm_line and "Ostrel3 769 (model 4" in arm_line
    # The module's time-out and open lines go to the log, not between the rows.
    assert "[err]" not in table.stderr

    listed = run_ornix("list", "--dev", str(linked_devices), "--probe", "--json")
    entries = {os.path.basename(entry["device"]): entry for entry in json.loads(listed.stdout)}
    assert entries["ttyUSB0"]["answer"]["identity"]["kind"] == "handle"
    assert entries["ttyUSB0"]["role"] == "wired handle"
    assert entries["ttyUSB7"]["answer"] == {
        "identity": None,
        "problem": "cannot open: No such file or directory",
    }


def test_list_command_without_ports_points_at_the_virtual_devices(tmp_path, run_ornix):
    listed = run_ornix("list", "--dev", str(tmp_path))
    assert listed.returncode == 0
    assert "ornix-sim arm handle" in listed.stdout


# Pseudo-terminals that never answer, in a process of their own.
SILENT_PORTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "silent_ports.py")


def test_ctrl_c_stops_every_probe_at_once(tmp_path):
    ports = tmp_path / "dev"
    ports.mkdir()
    silent = subprocess.Popen(
        [sys.executable, SILENT_PORTS, str(ports), "200"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert silent.stdout.readline() == "ready\n"
        listing = subprocess.Popen(
            [sys.executable, "-m", "ornix", "list", "--dev", str(ports), "--probe"],
            cwd=tmp_path,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        try:
            assert silent.stdout.readline() == "probed\n"
            interrupted = time.monotonic()
            listing.send_signal(signal.SIGINT)
            assert listing.wait(timeout=60) == 130
            # Each probe waits out a device time-out of 5 s or more when it is not stopped.
            assert time.monotonic() - interrupted < 3.0
        finally:
            listing.kill()
            listing.wait()
    finally:
        silent.communicate("", timeout=60)


def test_list_command_prints_odd_names_escaped_and_gives_them_whole_in_json(tmp_path, run_ornix):
    names = ["ttyACM0\nttyACM1  arm or handle", "ttyUSB\x1b[31m0", "ttyACM\\2"]
    for name in names:
        (tmp_path / name).touch()
    (tmp_path / "serial" / "by-id").mkdir(parents=True)
    (tmp_path / "serial" / "by-id" / "usb-Odd\nName").symlink_to("../../ttyUSB\x1b[31m0")
    listed = run_ornix("list", "--dev", str(tmp_path))
    assert listed.returncode == 0, listed.stderr
    lines = listed.stdout.splitlines()
    assert [line.split()[0] for line in lines[1:4]] == [
        f"{tmp_path}/ttyACM0\\nttyACM1",
        f"{tmp_path}/ttyACM\\\\2",
        f"{tmp_path}/ttyUSB\\x1b[31m0",
    ]
    assert lines[4:] == [
        f"{tmp_path}/ttyUSB\\x1b[31m0 is also {tmp_path}/serial/by-id/usb-Odd\\nName"
    ]
    assert "\x1b" not in listed.stdout

    entries = json.loads(run_ornix("list", "--dev", str(tmp_path), "--json").stdout)
    assert sorted(os.path.basename(entry["device"]) for entry in entries) == sorted(names)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="names must be UTF-8 elsewhere")
def test_list_command_prints_the_bytes_of_a_name_that_is_not_utf8(tmp_path, run_ornix):
    os.close(os.open(os.path.join(os.fsencode(tmp_path), b"ttyACM\xff"), os.O_CREAT | os.O_WRONLY))
    listed = run_ornix("list", "--dev", str(tmp_path))
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout.splitlines()[1].split()[0] == f"{tmp_path}/ttyACM\\xff"
    entries = json.loads(run_ornix("list", "--dev", str(tmp_path), "--json").stdout)
    assert os.fsencode(entries[0]["device"]) == os.path.join(os.fsencode(tmp_path), b"ttyACM\xff")
