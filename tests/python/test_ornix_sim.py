"""ornix-sim, the virtual arm and handle, seen from a host at the byte level.

These tests speak the wire protocol themselves, without the module, so that they check the
simulator against its own reading of the protocol.
"""

import errno
import math
import os
import re
import signal
import stat
import struct
import subprocess
import termios
import time

import pytest

from hostport import HostPort
from late_reader import read_late
from ornix.testing import simulator_path

# The virtual devices on their own: no library code runs.
pytestmark = pytest.mark.unsanitized

SIM = simulator_path()

LINK_LENGTHS = (0.15, 0.15)
DEVICE_OPTIONS = [
    "--link",
    "--device-id",
    "--delay",
    "--silent",
    "--wrong-code-every",
    "--truncate-every",
    "--garbage-every",
    "--disconnect-after",
    "--latency",
    "--seed",
    "--compact",
    "--user-data",
]


@pytest.fixture
def open_port():
    ports = []

    def open_(path):
        # As it comes: the simulator's port needs no settings of the host's.
        ports.append(HostPort(path))
        return ports[-1]

    yield open_
    for port in ports:
        port.close()


def motion(code, *values):
    return bytes([code]) + struct.pack("<3f", *values)


def end_effector(port, code=0x2A, values=(0.0, 0.0, 0.0)):
    reply = port.exchange(motion(code, *values), 25)
    assert reply[0] == 0x2B
    state = struct.unpack("<6f", reply[1:])
    return state[:3], state[3:]


def until(condition, within=20.0):
    """Whether `condition` came true within `within` seconds, asked every 10 ms."""
    deadline = time.monotonic() + within
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def forward_kinematics(yaw, shoulder, elbow):
    upper, forearm = LINK_LENGTHS
    reach = upper * math.cos(shoulder) + forearm * math.cos(shoulder + elbow)
    height = upper * math.sin(shoulder) + forearm * math.sin(shoulder + elbow)
    return reach * math.cos(yaw), reach * math.sin(yaw), height


# Command line


def test_help_lists_every_option():
    result = subprocess.run([SIM, "--help"], capture_output=True, text=True, timeout=5)
    assert result.returncode == 0
    for option in ["-h", "--help", *DEVICE_OPTIONS]:
        assert option in result.stdout


# The options each command's help lists: its own and no other command's.
ARM_OPTIONS = {"--help", *DEVICE_OPTIONS} - {"--compact", "--user-data"}
COMMAND_OPTIONS = {
    "arm": ARM_OPTIONS,
    "handle": ARM_OPTIONS | {"--compact", "--user-data"},
    "proxy": {"--help", "--record", "--link"},
    "replay": {"--help", "--strict", "--link"},
}


@pytest.mark.parametrize(
    "args",
    [
        ["arm", "--help"],
        ["arm", "--delay", "5", "--help"],
        ["arm", "--delay", "-h"],
        ["handle", "--compact", "10", "-h"],
        ["arm", "handle", "--help"],
        ["proxy", "--help"],
        ["proxy", "/dev/null", "--record", "x.jsonl", "--help"],
        ["replay", "--help"],
        ["replay", "x.jsonl", "--strict", "-h"],
    ],
)
def test_help_after_a_command_is_that_commands_help(args, tmp_path):
    command = [word for word in args if word in COMMAND_OPTIONS][-1]
    result = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=5, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.startswith(f"Usage: ornix-sim [-h] {command} ")
    listed = set(re.findall(r"^  (?:-h, )?(--[a-z-]+)", result.stdout, re.MULTILINE))
    assert listed == COMMAND_OPTIONS[command]
    # Nothing was served or created on the way.
    assert list(tmp_path.iterdir()) == []


def test_the_whole_help_holds_every_commands_help():
    whole = subprocess.run([SIM, "--help"], capture_output=True, text=True, timeout=5).stdout
    for command in COMMAND_OPTIONS:
        own = subprocess.run([SIM, command, "--help"], capture_output=True, text=True, timeout=5)
        for line in own.stdout.splitlines()[1:]:
            if line.startswith("  -"):
                assert line in whole.splitlines(), f"{command}: {line}"


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["robot"],
        ["arm", "--bogus"],
        ["arm", "arm"],
        ["--silent", "arm"],
        ["arm", "--delay"],
        ["arm", "--delay", "soon"],
        ["arm", "--delay", "-5"],
        ["arm", "--truncate-every", "0"],
        ["arm", "--garbage-every", "-2"],
        ["arm", "--disconnect-after", "2x"],
        ["arm", "--compact", "10"],
        ["handle", "--compact", "0"],
        ["handle", "--user-data", "abc"],
        ["handle", "--user-data", "zz"],
        ["handle", "--silent=yes"],
        ["arm", "--latency", "usb"],
        ["arm", "--latency", "ftdi"],
        ["arm", "--latency", "ftdi:0"],
        ["handle", "--latency", "ftdi:256"],
        ["handle", "--seed", "3", "--latency", "ftdi:1"],
        ["arm", "--latency", "bluetooth", "--seed", "4294967296"],
    ],
)
def test_bad_command_line_is_refused(args):
    result = subprocess.run([SIM, *args], capture_output=True, text=True, timeout=5)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("ornix-sim: ")
    assert result.stderr.count("\n") == 1


def test_ready_lines_name_kind_and_port(ornix_sim):
    simulator = ornix_sim("arm", "handle", "--compact", "5")
    assert [line.split()[0] for line in simulator.lines] == ["arm", "handle"]
    for line in simulator.lines:
        assert re.fullmatch(r"(arm|handle) /\S+\n", line)
        assert stat.S_ISCHR(os.stat(line.split()[-1]).st_mode)
    assert simulator.ports["arm"] != simulator.ports["handle"]


@pytest.mark.parametrize("how", ["eof", signal.SIGTERM, signal.SIGINT])
def test_links_live_as_long_as_the_simulator(ornix_sim, tmp_path, how):
    arm_link, handle_link = tmp_path / "cu.usbmodemSIM1", tmp_path / "cu.usbserialSIM2"
    simulator = ornix_sim("arm", "--link", str(arm_link), "handle", "--link", str(handle_link))
    assert os.readlink(arm_link) == simulator.ports["arm"]
    assert os.readlink(handle_link) == simulator.ports["handle"]
    assert simulator.stop(how) == 0
    assert not os.path.lexists(arm_link)
    assert not os.path.lexists(handle_link)


def test_existing_link_path_is_left_alone(tmp_path):
    taken = tmp_path / "taken"
    taken.write_text("mine")
    result = subprocess.run(
        [SIM, "arm", "--link", str(taken)], capture_output=True, text=True, timeout=5
    )
    assert result.returncode == 1
    assert result.stderr.startswith("ornix-sim: ")
    assert taken.read_text() == "mine"


# The virtual arm


def test_arm_identity_replies_agree(ornix_sim, open_port):
    port = open_port(ornix_sim("arm").ports["arm"])
    wakeup = port.exchange(b"\x0a", 22)
    assert len(wakeup) == 22 and wakeup[0] == 0x0B
    assert wakeup[3] == 4  # model number of an Ostrel3
    device_id = port.exchange(b"\x0d\xd1", 19)
    assert device_id[:3] == b"\x0d\xd1\x10"
    assert device_id[3:] == wakeup[6:22]
    firmware = port.exchange(b"\x0d\xd2", 19)
    assert firmware[:3] == b"\x0d\xd2\x10" and len(firmware) == 19


def test_arm_status_replies(ornix_sim, open_port):
    port = open_port(ornix_sim("arm").ports["arm"])
    assert port.exchange(b"\xac", 2) == b"\xac\x01"
    port.exchange(motion(0x1A, 0.5, 0.0, 0.0), 25)
    currents = port.exchange(b"\xab", 13)
    assert currents[0] == 0xAB
    yaw, shoulder, elbow = struct.unpack("<3f", currents[1:])
    assert yaw > 0 and shoulder == elbow == 0.0, "currents follow the joint torques"
    orientation = port.exchange(b"\x0c", 17)
    assert orientation[0] == 0x0C
    assert sum(c * c for c in struct.unpack("<4f", orientation[1:])) == pytest.approx(1.0)
    temperature = port.exchange(b"\xaa", 5)
    assert temperature[0] == 0xAA and 0.0 < struct.unpack("<f", temperature[1:])[0] < 100.0


def test_arm_configuration_writes_are_kept(ornix_sim, open_port):
    path = ornix_sim("arm").ports["arm"]
    port = open_port(path)
    assert port.exchange(b"\x0e\xe0", 3)[:2] == b"\x0e\xe0"
    e1 = b"\x07" + struct.pack("<f", 2.5)
    assert port.exchange(b"\x0e\xe1\x01" + e1, 7) == b"\x0e\xe1" + e1
    assert port.exchange(b"\x0e\xe2\x01\x00", 3) == b"\x0e\xe2\x00"
    assert port.exchange(b"\x0e\xe3\x01\x2a", 3) == b"\x0e\xe3\x2a"
    port.close()
    # Another host session sees the same values.
    again = open_port(path)
    assert again.exchange(b"\x0e\xe1\x00", 7) == b"\x0e\xe1" + e1
    assert again.exchange(b"\x0e\xe2\x00", 3) == b"\x0e\xe2\x00"
    assert again.exchange(b"\x0e\xe3\x00", 3) == b"\x0e\xe3\x2a"


def test_arm_skips_unknown_bytes_and_joins_split_frames(ornix_sim, open_port):
    port = open_port(ornix_sim("arm").ports["arm"])
    os.write(port.fd, b"\x00\x55\xff\x0d\x99\x0e\xe7")
    assert port.exchange(b"\x0a", 22)[0] == 0x0B
    request = motion(0x2A, 0.0, 0.0, 0.0)
    os.write(port.fd, request[:5])
    time.sleep(0.05)
    assert len(port.exchange(request[5:], 26, timeout=0.5)) == 25


def test_joint_and_end_effector_replies_describe_one_arm(ornix_sim, open_port):
    port = open_port(ornix_sim("arm").ports["arm"])
    for code in (0x1A, 0x1C, 0x2A, 0x2C):
        reply = port.exchange(motion(code, 0.0, 0.0, 0.0), 25)
        assert len(reply) == 25
        assert reply[0] == (0x1B if code in (0x1A, 0x1C) else 0x2B)
    port.exchange(motion(0x1A, 0.2, -0.1, 0.1), 25)
    time.sleep(0.1)
    asked = time.monotonic()
    joints = struct.unpack("<6f", port.exchange(motion(0x1A, 0.0, 0.0, 0.0), 25)[1:])
    position, _ = end_effector(port)
    between = time.monotonic() - asked
    assert any(abs(v) > 0.05 for v in joints[3:]), "the torques set the joints moving"
    # Without torque the damped arm only slows down, so between the two replies the end effector
    # moves at most as fast as the joints' speeds at the first carry it (no point of the arm is
    # farther than both links from the shoulder), however long a busy machine makes that time.
    drift = sum(LINK_LENGTHS) * sum(abs(v) for v in joints[3:]) * between
    assert position == pytest.approx(forward_kinematics(*joints[:3]), abs=1e-4 + drift)


def test_force_pushes_and_the_arm_comes_to_rest(ornix_sim, open_port):
    port = open_port(ornix_sim("arm").ports["arm"])
    start, velocity = end_effector(port)
    assert start[0] > 0.1 and velocity == (0.0, 0.0, 0.0)
    end_effector(port, values=(0.0, 0.0, 0.3))
    time.sleep(0.05)
    pushed, velocity = end_effector(port)
    assert pushed[2] > start[2] + 1e-3 and velocity[2] > 0
    # Damping brings it to rest within a second of the simulation's time; a busy machine may
    # take longer to run that second.
    assert until(lambda: max(abs(v) for v in end_effector(port)[1]) < 1e-3)


def test_position_servo_reaches_and_holds_the_target(ornix_sim, open_port):
    port = open_port(ornix_sim("arm").ports["arm"])
    target = (0.20, 0.03, -0.02)
    assert until(lambda: end_effector(port, 0x2C, target)[0] == pytest.approx(target, abs=1e-3))
    assert until(lambda: max(abs(v) for v in end_effector(port, 0x2C, target)[1]) < 1e-3)
    reached, _ = end_effector(port, 0x2C, target)
    time.sleep(0.5)
    held, velocity = end_effector(port, 0x2C, target)
    assert reached == pytest.approx(target, abs=1e-3)
    assert held == pytest.approx(reached, abs=1e-4)
    assert max(abs(v) for v in velocity) < 1e-3


@pytest.mark.parametrize(
    "kind, wakeup, length, at",
    [("arm", b"\x0a", 22, 1), ("handle", b"\x0a", 7, 2)],
)
def test_another_unit_reports_the_device_id_it_is_given(
    ornix_sim, open_port, kind, wakeup, length, at
):
    plain = open_port(ornix_sim(kind).ports[kind]).exchange(wakeup, length)
    other = open_port(ornix_sim(kind, "--device-id", "770").ports[kind]).exchange(wakeup, length)
    assert struct.unpack("<H", plain[at : at + 2])[0] in (769, 279)
    assert struct.unpack("<H", other[at : at + 2])[0] == 770
    assert other[:at] + other[at + 2 :] == plain[:at] + plain[at + 2 :]


# The virtual handle


def test_handle_replies(ornix_sim, open_port):
    port = open_port(ornix_sim("handle", "--user-data", "0102ff").ports["handle"])
    info = port.exchange(b"\x0a", 7)
    assert len(info) == 7 and info[0] == 0xD0
    device_id = struct.unpack("<H", info[2:4])[0]
    # A handle-state frame gets no answer: the next reply is the error response's.
    os.write(port.fd, b"\xdb\x34\x12\x02\xaa\xbb")
    assert port.exchange(b"\xdf\x34\x12", 4) == b"\xdf\x34\x12\x00"
    status = port.exchange(b"\xda", 25)
    assert status[0] == 0xDA and struct.unpack("<H", status[1:3])[0] == device_id
    assert status[3] == 0 and status[4] <= 31
    quaternion = struct.unpack("<4f", status[5:21])
    assert sum(c * c for c in quaternion) == pytest.approx(1.0, abs=1e-3)
    assert status[21:] == b"\x03\x01\x02\xff"
    assert port.read(1, timeout=0.2) == b""


def test_a_host_that_reads_late_gets_every_reply(ornix_sim, tmp_path):
    port = ornix_sim("arm").ports["arm"]
    received = read_late(port, b"\xaa", 10_000, 50_000, tmp_path)
    assert len(received) == 50_000
    replies = [received[at : at + 5] for at in range(0, len(received), 5)]
    assert all(reply[0] == 0xAA for reply in replies)


def decode_compact(stream):
    """Reads compact packets as a host does: find 0xDA, take 19 bytes, undo the stuffing; a
    packet counts only when it decodes to exactly 18 bytes. Yields (raw 19 bytes, data)."""
    at = 0
    while True:
        at = stream.find(b"\xda", at)
        if at < 0 or at + 20 > len(stream):
            return
        raw = stream[at + 1 : at + 20]
        at += 20
        data = bytearray()
        i = 0
        while i <= 17:
            if raw[i] == 0xDB and raw[i + 1] in (0xDC, 0xDD):
                data.append(0xC0 if raw[i + 1] == 0xDC else 0xDB)
                i += 2
            elif raw[i] in (0xDB, 0xC0):
                i += 1
            else:
                data.append(raw[i])
                i += 1
        yield raw, (bytes(data) if len(data) == 18 else None)


def test_compact_packets_decode_with_escapes(ornix_sim, open_port):
    # The id the handle gives in its wake-up answer, asked of a handle that does not stream, so
    # that no packet can come before the answer.
    device_id = open_port(ornix_sim("handle").ports["handle"]).exchange(b"\x0a", 7)[2]
    port = open_port(ornix_sim("handle", "--compact", "1000").ports["handle"])
    # Join the running stream as a late host would: drop what waited, then skip to the end of
    # the packet in flight.
    termios.tcflush(port.fd, termios.TCIFLUSH)
    stream = port.read(20 * 600, timeout=3.0)
    stream = stream[stream.index(b"\xc0") + 1 :]
    packets = list(decode_compact(stream))
    assert len(packets) > 300
    assert all(data is not None for _, data in packets)
    assert any(raw[17] == 0xDB for raw, _ in packets), "a packet with an escape"
    quaternions = []
    for _, data in packets:
        assert data[2] == 0 and data[4] == device_id
        assert 3.0 <= 3.0 + 0.005 * data[16] <= 4.275
        quaternion = [c / 32768 for c in struct.unpack("<4h", data[8:16])]
        assert sum(c * c for c in quaternion) == pytest.approx(1.0, abs=1e-3)
        quaternions.append(quaternion)
    assert quaternions[0] != quaternions[-1], "the handle turns"


def test_a_stalled_host_loses_whole_compact_packets_and_no_reply(ornix_sim, open_port):
    port = open_port(ornix_sim("handle", "--compact", "5000").ports["handle"])
    # The stream overruns the port while the host reads nothing, and the wake-up request
    # comes in the middle of it.
    time.sleep(1.0)
    os.write(port.fd, b"\x0a")
    time.sleep(1.0)
    stream = b""
    infos = []
    at = 0
    deadline = time.monotonic() + 30.0
    while not infos or at < 4000:
        assert time.monotonic() < deadline, f"{len(stream)} bytes read, no handle_info whole"
        stream += port.read(4096, timeout=1.0)
        # The stream from its first byte is packets and the one reply, each whole.
        while at < len(stream):
            if stream[at] == 0xDA:
                end = stream.find(b"\xc0", at)
                if end < 0:
                    break
                raw = stream[at + 1 : end]
                assert len(raw.replace(b"\xdb\xdc", b"c").replace(b"\xdb\xdd", b"d")) == 18
                at = end + 1
            elif stream[at] == 0xD0:
                if at + 7 > len(stream):
                    break
                infos.append(stream[at : at + 7])
                at += 7
            else:
                pytest.fail(f"byte {at} of the stream, {stream[at]:02x}, starts no message")
    assert len(infos) == 1


# Faults


@pytest.mark.parametrize(
    "option, spoil",
    [
        ("--wrong-code-every", lambda reply: b"\xee" + reply[1:]),
        ("--truncate-every", lambda reply: reply[: len(reply) // 2]),
        ("--garbage-every", lambda reply: b"\x55\x00\x66" + reply),
    ],
)
def test_every_second_reply_is_spoiled(ornix_sim, open_port, option, spoil):
    clean = open_port(ornix_sim("arm").ports["arm"]).exchange(b"\x0a", 22)
    port = open_port(ornix_sim("arm", option, "2").ports["arm"])
    # Whatever arrives within the wait, so that a reply too long or too short shows.
    replies = [port.exchange(b"\x0a", 64, timeout=0.2) for _ in range(3)]
    assert replies == [clean, spoil(clean), clean]


def test_disconnect_after_hangs_up_that_device_only(ornix_sim, open_port):
    simulator = ornix_sim("arm", "--disconnect-after", "2", "handle")
    arm = open_port(simulator.ports["arm"])
    assert arm.exchange(b"\x0a", 22)[0] == 0x0B
    assert arm.exchange(b"\x0a", 22)[0] == 0x0B
    time.sleep(0.1)
    try:
        hung_up = os.read(arm.fd, 1) == b""
    except OSError as error:
        hung_up = error.errno == errno.EIO
    assert hung_up
    assert open_port(simulator.ports["handle"]).exchange(b"\x0a", 7)[0] == 0xD0
    assert simulator.stop() == 0


def test_silent_and_slow_devices(ornix_sim, open_port):
    simulator = ornix_sim("arm", "--silent", "handle", "--delay", "300")
    assert open_port(simulator.ports["arm"]).exchange(b"\x0a", 22, timeout=0.5) == b""
    handle = open_port(simulator.ports["handle"])
    began = time.monotonic()
    assert handle.exchange(b"\x0a", 7)[0] == 0xD0
    assert time.monotonic() - began >= 0.29


def test_a_delayed_reply_holds_up_no_other_device(ornix_sim, open_port):
    simulator = ornix_sim("arm", "--delay", "600000", "handle")
    arm = open_port(simulator.ports["arm"])
    os.write(arm.fd, b"\x0a")
    # The devices share one thread, on which the arm's delay is a time waited for, not a pause:
    # the handle answers meanwhile, and the program still stops at once.
    assert open_port(simulator.ports["handle"]).exchange(b"\x0a", 7, timeout=30.0)[0] == 0xD0
    assert arm.read(22, timeout=0.1) == b""
    assert simulator.stop() == 0


# Links


def test_usb_full_speed_replies_leave_on_their_frames(ornix_sim, open_port):
    # The seed given before the latency it belongs to is taken as well.
    simulator = ornix_sim(
        "arm", "--latency", "usb-full-speed", "handle", "--seed", "7", "--latency", "bluetooth"
    )
    port = open_port(simulator.ports["arm"])
    began = time.perf_counter()
    arrivals = []
    for _ in range(300):
        assert port.exchange(b"\xaa", 5, timeout=10.0)[0] == 0xAA
        arrivals.append(time.perf_counter() - began)
    # Each request follows the reply before it, so each reply leaves on a later 1 ms frame than
    # the one before and then takes the driver's 50 us: the nth reply can come no sooner than
    # n - 1 frames and 50 us after the first request, however late the host reads any.
    for n, arrival in enumerate(arrivals, 1):
        assert arrival >= (n - 1) * 0.001 + 50e-6, f"reply {n}"
    assert open_port(simulator.ports["handle"]).exchange(b"\x0a", 7)[0] == 0xD0
