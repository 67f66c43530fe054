"""ornix-sim's proxy and replay: a session recorded between a program and a device, the
recording's decoding of every frame, and the same session played back from the recording.

The program under record runs in a child process with the module, as a user's program would;
the faults and the replay's matching are driven at the byte level.
"""

import errno
import fcntl
import json
import os
import resource
import signal
import struct
import subprocess
import sys
import time

import pytest

from hostport import HostPort
from late_reader import read_late
from ornix.recording import RecordingError, open_recording
from ornix.recording import read_recording as read_log
from ornix.recording import table
from ornix.testing import VirtualDevices, simulator_path

# A session of a program using the module against an arm and a handle that streams compact
# packets. Everything it prints must come out the same when the devices are replayed: the arm
# answers only when asked, and the handle's messages are read one after the other with Receive,
# which reads the byte stream in order (compact packets, which Receive takes for status
# messages, included). Which compact packet GetQuilletStatus returns depends on timing, so only
# the packets themselves are printed apart, for the recording to be checked against.
SESSION = r"""
import json
import sys

import OrnixHardwareAPI as ornix

HANDLE_ID = 0x0117
# Bounds the reading of a handle's message, which lasts as long as the stream it reads.
RECEIVES = 3000


class Listener(ornix.Handle):
    def __init__(self, stream):
        ornix.Handle.__init__(self, stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *fields):
        self.calls.append(["info", list(fields)])

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, level, length, data):
        self.calls.append(["status", [device_id, list(quaternion), error_flag, level, list(data)]])

    def OnReceiveHandleErrorResponse(self, *fields):
        self.calls.append(["error", list(fields)])


def receive(handle, kind, id_field):
    for _ in range(RECEIVES):
        handle.Receive()
        if handle.calls and handle.calls[-1][0] == kind:
            if handle.calls[-1][1][id_field] == HANDLE_ID:
                return


def arm_session(port):
    arm = ornix.Ostrel3(ornix.SerialStream(port))
    wakeup = arm.device_wakeup_dict()
    results = {
        "wakeup": {key: value if isinstance(value, int) else str(value)
                   for key, value in wakeup.items()},
        "device_id": str(arm.get_device_id()),
        "firmware": str(arm.get_firmware_version()),
        "power": arm.get_power_status(),
        "temperature": arm.get_temperature(),
        "orientation": arm.get_device_orientation(),
        "currents": arm.get_motor_currents(),
        "motion": [],
    }
    for step in range(4):
        results["motion"].append(["force", arm.end_effector_force([0.5 * step, -0.25, 1.0])])
        results["motion"].append(["angles", arm.joint_angles([0.1, 0.2 * step, -0.3])])
    results["motion"].append(["position", arm.end_effector_position([0.1, 0.0, 0.2])])
    results["motion"].append(["torques", arm.joint_torques([0.0, 0.01, -0.02])])
    return results


def handle_session(port, user_data):
    handle = Listener(ornix.SerialStream(port))
    handle.SendDeviceWakeup()
    receive(handle, "info", 1)
    for _ in range(2):
        handle.RequestStatus()
        receive(handle, "status", 0)
    handle.SendHandleState(HANDLE_ID, 1, user_data)
    return handle


arm_port, handle_port, compact_port = sys.argv[1:4]
printed = {"arm": arm_session(arm_port)}
handle = handle_session(handle_port, 0x5A)
printed["handle"] = handle.calls
if compact_port != "-":
    streaming = handle_session(compact_port, 0xC0)
    printed["streaming"] = streaming.calls
    printed["quillet"] = [streaming.GetQuilletStatus() for _ in range(10)]
print(json.dumps(printed))
"""

HANDLE_USER_DATA = "0102c0"
# Longer than any exchange of a session takes on a loaded machine.
PATIENCE = 60.0


def run_session(arm, handle, compact="-"):
    """Runs the session program against the three ports; its printed results."""
    done = subprocess.run(
        [sys.executable, "-c", SESSION, arm, handle, compact],
        capture_output=True,
        text=True,
        timeout=PATIENCE,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def read_recording(path):
    with open(path) as recording:
        lines = [json.loads(line) for line in recording]
    return lines[0], lines[1:]


def frames_of(lines):
    return [line for line in lines if "from" in line]


def as_float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def assert_floats(recorded, received):
    assert [as_float32(value) for value in recorded] == [as_float32(v) for v in received]


@pytest.fixture(scope="module", autouse=True)
def simulator_with_recording():
    usage = subprocess.run([simulator_path(), "--help"], capture_output=True, text=True).stdout
    assert "proxy PORT" in usage, f"{simulator_path()} predates the proxy and replay modes"


def stream_until_escapes(path):
    """Reads the compact stream until it has carried both escapes of the last data byte, which
    the packet count reaches after two seconds or so."""
    port = HostPort(path, raw=True, timeout=10.0)
    stream = b""
    try:
        deadline = time.monotonic() + PATIENCE
        while not (b"\xdb\xdc\xc0" in stream and b"\xdb\xdd\xc0" in stream):
            assert time.monotonic() < deadline, "the compact stream carried no escapes"
            stream += port.read(4096, timeout=0.1)
    finally:
        port.close()


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    """One session recorded through three proxies, then replayed from the recordings."""
    folder = tmp_path_factory.mktemp("session")
    started = []

    def serve(*args, **options):
        started.append(VirtualDevices(*args, **options))
        return started[-1]

    try:
        devices = {
            "arm": serve("arm"),
            "handle": serve("handle", "--user-data", HANDLE_USER_DATA),
            "compact": serve("handle", "--compact", "100"),
        }
        proxies = {
            name: serve("proxy", device.port, "--record", str(folder / f"{name}.jsonl"))
            for name, device in devices.items()
        }
        direct = run_session(*(proxies[name].ports["proxy"] for name in devices))
        stream_until_escapes(proxies["compact"].ports["proxy"])
        for proxy in proxies.values():
            assert proxy.stop() == 0
        replays = {
            name: serve("replay", str(folder / f"{name}.jsonl"), stderr=subprocess.PIPE)
            for name in devices
        }
        replayed = run_session(*(replays[name].ports["replay"] for name in devices))
        for replay in replays.values():
            assert replay.stop() == 0
        reports = {name: replay.process.stderr.read().decode() for name, replay in replays.items()}
        recordings = {name: read_recording(folder / f"{name}.jsonl") for name in devices}
        yield direct, replayed, reports, recordings
    finally:
        for devices in started:
            devices.close()


class TestSessionReplay:
    def test_replay_gives_the_program_identical_results(self, session):
        direct, replayed, reports, _ = session
        for part in ("arm", "handle", "streaming"):
            assert replayed[part] == direct[part], part
        assert reports == {"arm": "", "handle": "", "compact": ""}

    def test_the_handles_messages_reached_the_program(self, session):
        direct = session[0]
        assert ["info", [0, 0x0117, 2, 1, 3]] in direct["handle"]
        statuses = [call for call in direct["handle"] if call[0] == "status"]
        assert len(statuses) == 2
        assert all(status[1][4] == [1, 2, 0xC0] for status in statuses)

    def test_compact_status_comes_from_the_recorded_stream(self, session):
        direct, replayed, _, recordings = session
        packets = [
            frame["fields"]
            for frame in frames_of(recordings["compact"][1])
            if frame["frame"] == "compact_status"
        ]
        for results in (direct["quillet"], replayed["quillet"]):
            whole = [status for status in results if status["error_flag"] == 0]
            assert whole, results
            for status in whole:
                assert any(
                    packet["device_id"] == status["device_id"]
                    and packet["buttons"] == status["buttons"]
                    and packet["hall_effect_sensor_level"] == status["hall_effect_sensor_level"]
                    and as_float32(packet["battery_level"]) == as_float32(status["battery_level"])
                    and [as_float32(c) for c in packet["quaternion"]] == status["quaternion"]
                    for packet in packets
                ), status


class TestRecordingDecoding:
    def test_header_and_device_kind(self, session):
        recordings = session[3]
        for name, kind in (("arm", "arm"), ("handle", "handle"), ("compact", "handle")):
            header, lines = recordings[name]
            assert header["recording"] == 1
            assert header["port"].startswith("/dev/")
            assert header["started"].endswith("Z")
            assert [line["device"] for line in lines if "device" in line] == [kind]

    def test_times_rise_with_microsecond_precision(self, session):
        for _, lines in session[3].values():
            times = [line["t"] for line in frames_of(lines)]
            assert times == sorted(times)
            assert all(round(t, 6) == t for t in times)

    def test_every_arm_request_is_answered_by_its_reply(self, session):
        frames = frames_of(session[3]["arm"][1])
        assert all("error" not in frame for frame in frames)
        pairs = list(zip(frames[::2], frames[1::2]))
        assert all(
            request["from"] == "host" and reply["from"] == "device" for request, reply in pairs
        )
        names = [(request["frame"], reply["frame"]) for request, reply in pairs]
        assert names[:7] == [
            ("device_wakeup", "device_info"),
            ("get_device_id", "device_id"),
            ("get_firmware_version", "firmware_version"),
            ("get_power_status", "power_status"),
            ("get_temperature", "temperature"),
            ("get_device_orientation", "device_orientation"),
            ("get_motor_currents", "motor_currents"),
        ]
        assert names[7:] == [
            ("end_effector_force", "state"),
            ("joint_angles", "joint_state"),
        ] * 4 + [("end_effector_position", "state"), ("joint_torques", "joint_state")]

    def test_arm_fields_are_what_the_program_sent_and_received(self, session):
        results = session[0]["arm"]
        frames = frames_of(session[3]["arm"][1])
        replies = {frame["frame"]: frame["fields"] for frame in frames if frame["from"] == "device"}
        wakeup = results["wakeup"]
        info = replies["device_info"]
        for field in ("device_id", "device_model_number", "hardware_version", "firmware_version"):
            assert info[field] == wakeup[field]
        assert info["device_id_ext"] == wakeup["device_id_ext"].replace("-", "")
        assert replies["device_id"]["device_id"] == results["device_id"].replace("-", "")
        assert replies["firmware_version"]["version"] == results["firmware"].replace("-", "")
        assert replies["firmware_version"]["text"] == "ornix-sim arm 1"
        assert replies["power_status"]["status"] == int(results["power"])
        assert as_float32(replies["temperature"]["temperature"]) == results["temperature"]
        assert_floats(replies["device_orientation"]["quaternion"], results["orientation"])
        assert_floats(replies["motor_currents"]["currents"], results["currents"])

        motion = frames[14:]
        commands = {
            "force": ("end_effector_force", "force"),
            "angles": ("joint_angles", "angles"),
            "position": ("end_effector_position", "position"),
            "torques": ("joint_torques", "torques"),
        }
        sent = [
            [0.5 * step, -0.25, 1.0] if kind == "force" else [0.1, 0.2 * step, -0.3]
            for step in range(4)
            for kind in ("force", "angles")
        ] + [[0.1, 0.0, 0.2], [0.0, 0.01, -0.02]]
        for (kind, (position, velocity)), values, request, reply in zip(
            results["motion"], sent, motion[::2], motion[1::2]
        ):
            name, field = commands[kind]
            assert request["frame"] == name
            assert_floats(request["fields"][field], values)
            assert_floats(reply["fields"]["position"], position)
            assert_floats(reply["fields"]["velocity"], velocity)

    def test_handle_fields_are_what_the_program_sent_and_received(self, session):
        calls = session[0]["handle"]
        frames = frames_of(session[3]["handle"][1])
        assert all("error" not in frame for frame in frames)
        by_name = {}
        for frame in frames:
            by_name.setdefault(frame["frame"], []).append(frame["fields"])
        assert len(by_name["device_wakeup"]) == 1 and len(by_name["request_status"]) == 2
        info = by_name["handle_info"][0]
        assert [
            "info",
            [
                info[field]
                for field in (
                    "tool_data_remaining",
                    "device_id",
                    "device_model_number",
                    "hardware_version",
                    "firmware_version",
                )
            ],
        ] in calls
        received = [call[1] for call in calls if call[0] == "status"]
        for status, fields in zip(received, by_name["status_message"]):
            assert fields["device_id"] == status[0]
            assert_floats(fields["quaternion"], status[1])
            assert fields["error_flag"] == status[2]
            assert fields["hall_effect_sensor_level"] == status[3]
            assert fields["user_data"] == HANDLE_USER_DATA
        assert by_name["handle_state"] == [{"device_id": 0x0117, "user_data": "5a"}]

    def test_compact_packets_decode_with_their_escapes(self, session):
        frames = frames_of(session[3]["compact"][1])
        packets = [frame for frame in frames if frame["frame"] == "compact_status"]
        assert len(packets) > 0xDB
        assert all(packet["from"] == "device" for packet in packets)
        sequences = [packet["fields"]["sequence"] for packet in packets]
        # The packets count themselves from 0 as the handle sends them, none lost.
        assert sequences == [number % 256 for number in range(len(sequences))]
        escaped = [packet for packet in packets if packet["fields"]["sequence"] in (0xC0, 0xDB)]
        for packet in escaped:
            assert packet["hex"][-6:] in ("dbdcc0", "dbddc0")
        for packet in packets:
            fields = packet["fields"]
            assert fields["device_id"] == 0x17 and fields["error_flag"] == 0
            assert 0 <= fields["buttons"] < 8 and 0 <= fields["hall_effect_sensor_level"] < 32
            assert as_float32(3.0) <= fields["battery_level"] <= as_float32(3.0 + 0.005 * 255)
            assert abs(sum(c * c for c in fields["quaternion"]) - 1) < 0.01
        states = [frame for frame in frames if frame["frame"] == "handle_state"]
        assert [state["fields"] for state in states] == [{"device_id": 0x0117, "user_data": "c0"}]


def test_error_requests_and_responses_decode(recorded):
    proxy, path = recorded("handle")
    port = HostPort(proxy.ports["proxy"], raw=True, timeout=10.0)
    try:
        assert port.exchange(b"\xdf\x34\x12", 4) == b"\xdf\x34\x12\x00"
    finally:
        port.close()
    assert proxy.stop() == 0
    frames = frames_of(read_recording(path)[1])
    assert [(frame["frame"], frame["fields"]) for frame in frames] == [
        ("request_error", {"device_id": 0x1234}),
        ("error_response", {"device_id": 0x1234, "error_code": 0}),
    ]


def test_spoiled_replies_are_marked_as_errors(recorded):
    proxy, path = recorded(
        "arm", "--wrong-code-every", "3", "--truncate-every", "5", "--garbage-every", "4"
    )
    requests = [
        (b"\xac", 2, "power_status"),
        (b"\x0c", 17, "device_orientation"),
        (b"\x2a" + struct.pack("<3f", 0.5, 0.0, -0.5), 25, "state"),
        (b"\xaa", 5, "temperature"),
    ] * 3
    received = []
    port = HostPort(proxy.ports["proxy"], raw=True, timeout=10.0)
    try:
        for number, (request, size, _) in enumerate(requests, start=1):
            size = size // 2 if number % 5 == 0 else size
            size += 3 if number % 4 == 0 else 0
            received.append(port.exchange(request, size))
            assert len(received[-1]) == size
    finally:
        port.close()
    assert proxy.stop() == 0

    exchanges = []
    for frame in frames_of(read_recording(path)[1]):
        if frame["from"] == "host":
            exchanges.append([])
        else:
            exchanges[-1].append(frame)
    assert len(exchanges) == len(requests)
    for number, (replies, data, (_, _, name)) in enumerate(
        zip(exchanges, received, requests), start=1
    ):
        assert "".join(reply["hex"] for reply in replies) == data.hex(), number
        if number % 3 == 0 or number % 5 == 0:
            assert all(reply["frame"] is None and reply["error"] for reply in replies), number
            if number % 5 == 0 and number % 3 != 0:
                assert replies[-1]["error"] == "cut short", number
        elif number % 4 == 0:
            assert [reply["frame"] for reply in replies] == [None, name], number
            assert replies[0] == {**replies[0], "hex": "550066", "error": "unknown code"}
        else:
            assert [reply["frame"] for reply in replies] == [name], number

    # `ornix log` marks exactly the spoiled bytes, and nothing of the exchanges that went well.
    rows = table(read_log(path)).splitlines()
    spoiled = [reply["hex"] for replies in exchanges for reply in replies if not reply["frame"]]
    marked = [row for row in rows if "  ! " in row]
    assert len(marked) == len(spoiled) and all("(bytes)" in row for row in marked)


def test_the_proxy_forwards_and_records_every_byte_to_a_host_that_reads_late(recorded, tmp_path):
    proxy, path = recorded("arm")
    received = read_late(proxy.ports["proxy"], b"\xaa", 10_000, 50_000, tmp_path)
    assert proxy.stop() == 0
    assert len(received) == 50_000
    _, lines = read_recording(path)
    sent = {
        side: b"".join(
            bytes.fromhex(frame["hex"]) for frame in frames_of(lines) if frame["from"] == side
        )
        for side in ("host", "device")
    }
    assert sent == {"host": b"\xaa" * 10_000, "device": received}


def test_a_killed_proxy_leaves_every_frame_it_had_forwarded(recorded):
    proxy, path = recorded("arm")
    port = HostPort(proxy.ports["proxy"], raw=True, timeout=10.0)
    try:
        replies = [port.exchange(b"\xaa", 5) for _ in range(300)]
    finally:
        port.close()
    proxy.process.kill()
    proxy.process.wait()
    text = path.read_text()
    assert text.endswith("\n")
    header, lines = read_recording(path)
    assert header["recording"] == 1
    frames = frames_of(lines)
    # The loop writes each turn's lines after forwarding: only the last turn may be missing.
    exchanges = [(a["hex"], b["hex"]) for a, b in zip(frames[0::2], frames[1::2])]
    assert len(exchanges) >= 299
    assert exchanges[:299] == [("aa", reply.hex()) for reply in replies[:299]]


def test_a_proxy_whose_disk_fills_stops_with_whole_lines(ornix_sim, tmp_path):
    device = ornix_sim("arm")
    path = tmp_path / "full.jsonl"
    limit = 4000

    def small_disk():
        # Ignored, SIGXFSZ lets the write fail with EFBIG, as on a full disk.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    proxy = subprocess.Popen(
        [simulator_path(), "proxy", device.port, "--record", str(path)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=small_disk,
    )
    try:
        ready = proxy.stdout.readline().decode()
        assert ready.startswith("proxy ")
        port = HostPort(ready.split()[-1], raw=True, timeout=5.0)
        answered = 0
        try:
            # Each exchange adds some 150 bytes: the limit comes within 30 of them.
            while answered < 200 and port.exchange(b"\xaa", 5) != b"":
                answered += 1
        except OSError:
            pass
        finally:
            port.close()
        status = proxy.wait(timeout=PATIENCE)
        errors = proxy.stderr.read().decode()
    finally:
        if proxy.poll() is None:
            proxy.kill()
            proxy.wait()
        for stream in (proxy.stdin, proxy.stdout, proxy.stderr):
            stream.close()
    assert status == 1
    assert errors == (
        f"ornix-sim: proxy: cannot write recording {path}: {os.strerror(errno.EFBIG)}\n"
    )
    assert answered < 200, "forwarding went on"
    text = path.read_text()
    assert 0 < len(text) <= limit and text.endswith("\n")
    header, lines = read_recording(path)
    assert header["recording"] == 1 and frames_of(lines)


@pytest.fixture
def arm_recording(recorded):
    """A recording of three exchanges with the arm: power status, a force, orientation."""
    proxy, path = recorded("arm")
    port = HostPort(proxy.ports["proxy"], raw=True, timeout=10.0)
    replies = []
    try:
        for request, size in ((b"\xac", 2), (FORCE, 25), (b"\x0c", 17)):
            replies.append(port.exchange(request, size))
    finally:
        port.close()
    assert proxy.stop() == 0
    return path, replies


FORCE = b"\x2a" + struct.pack("<3f", 1.0, 2.0, 3.0)
OTHER_FORCE = b"\x2a" + struct.pack("<3f", 1.0, 2.0, 4.0)


def start_replay(ornix_sim, path, *options):
    replay = ornix_sim("replay", str(path), *options, stderr=subprocess.PIPE)
    return replay, HostPort(replay.ports["replay"], raw=True, timeout=10.0)


def reports_of(replay):
    assert replay.stop() == 0
    return replay.process.stderr.read().decode().splitlines()


def test_replay_reports_a_differing_request_and_answers_it_as_recorded(ornix_sim, arm_recording):
    path, replies = arm_recording
    replay, port = start_replay(ornix_sim, path)
    try:
        assert port.exchange(b"\xac", 2) == replies[0]
        assert port.exchange(OTHER_FORCE, 25) == replies[1]
        assert port.exchange(b"\x0c", 17) == replies[2]
        os.write(port.fd, b"\xab")
        assert port.quiet_for(0.3)
    finally:
        port.close()
    assert reports_of(replay) == [
        f"ornix-sim: replay: request 2, end_effector_force {OTHER_FORCE.hex()}, differs from the "
        f"recording's, end_effector_force {FORCE.hex()}",
        "ornix-sim: replay: request 4, get_motor_currents ab, comes after the last one recorded",
    ]


def test_strict_replay_leaves_a_differing_request_unanswered(ornix_sim, arm_recording):
    path, replies = arm_recording
    replay, port = start_replay(ornix_sim, path, "--strict")
    try:
        assert port.exchange(b"\xac", 2) == replies[0]
        os.write(port.fd, OTHER_FORCE)
        assert port.quiet_for(0.3)
        # The recording still waits for the request it has next.
        assert port.exchange(FORCE, 25) == replies[1]
        assert port.exchange(b"\x0c", 17) == replies[2]
    finally:
        port.close()
    assert reports_of(replay) == [
        f"ornix-sim: replay: request 2, end_effector_force {OTHER_FORCE.hex()}, differs from the "
        f"recording's, end_effector_force {FORCE.hex()}: not answered",
    ]


def test_replay_keeps_the_recorded_delay(ornix_sim, tmp_path):
    path = tmp_path / "slow.jsonl"
    lines = [
        {"recording": 1, "port": "/dev/ttyUSB0", "started": "2024-01-01T00:00:00.000000Z"},
        {"t": 1.0, "from": "host", "hex": "ac", "frame": "get_power_status", "fields": {}},
        {"t": 1.4, "from": "device", "hex": "ac01", "frame": "power_status", "fields": {}},
    ]
    path.write_text("".join(json.dumps(line) + "\n" for line in lines))
    replay, port = start_replay(ornix_sim, path)
    try:
        began = time.monotonic()
        assert port.exchange(b"\xac", 2) == b"\xac\x01"
        assert time.monotonic() - began >= 0.4
    finally:
        port.close()
    assert reports_of(replay) == []


HEADER = b'{"recording": 1, "port": "/dev/ttyUSB0"}\n'
POWER = b'{"t": 0.5, "from": "host", "hex": "ac"}\n{"t": 0.6, "from": "device", "hex": "ac01"}\n'
# A value 32 levels inside the line's object, the deepest a line may hold, and one 33 deep.
DEEPEST = b'{"a": ' + b"[" * 31 + b"1" + b"]" * 31 + b"}\n"
TOO_DEEP = b'{"a": ' + b"[" * 32 + b"1" + b"]" * 32 + b"}\n"


def frame_line(**members):
    line = {"t": 1.0, "from": "host", "hex": "ac", **members}
    return json.dumps({name: value for name, value in line.items() if value is not None}).encode()


def run_replay(path):
    return subprocess.run(
        [simulator_path(), "replay", str(path)], capture_output=True, text=True, timeout=30
    )


T_RULE = '"t" must be a number of seconds from 0 to 1000000000'
HEX_RULE = '"hex" must be bytes in hex digits'


# Recordings that break the reading rules, with what the replay says of each.
REFUSED = [
    (b"", "line 1: no recording header"),
    (b"\n \t\r\n", "line 2: no recording header"),
    (POWER, "line 1: no recording header"),
    (b'{"recording": true}\n', "line 1: no recording header"),
    (b'{"recording": "1"}\n', "line 1: no recording header"),
    (b'{"recording": 2}\n', "line 1: a recording of version 2, which this replay cannot read"),
    (
        b'{"recording": 1.5}\n',
        "line 1: a recording of version 1.5, which this replay cannot read",
    ),
    (b"[1]\n", "line 1: not a JSON object"),
    (
        b'{"recording": 1}\n\n{"t": 0, "from": "host"\n',
        "line 3: column 24: ',' or '}' is missing",
    ),
    (HEADER + frame_line(t=True) + b"\n", f"line 2: {T_RULE}"),
    (HEADER + frame_line(t="1") + b"\n", f"line 2: {T_RULE}"),
    (HEADER + frame_line(t=-0.5) + b"\n", f"line 2: {T_RULE}"),
    (HEADER + frame_line(t=1e9 + 1) + b"\n", f"line 2: {T_RULE}"),
    (HEADER + b'{"t": 1e400, "from": "host", "hex": "ac"}\n', f"line 2: {T_RULE}"),
    (HEADER + b'{"from": "host", "hex": "ac"}\n', f"line 2: {T_RULE}"),
    (
        HEADER + frame_line(**{"from": "HOST"}) + b"\n",
        'line 2: "from" must be "host" or "device"',
    ),
    (HEADER + frame_line(hex="") + b"\n", f"line 2: {HEX_RULE}"),
    (HEADER + frame_line(hex="a") + b"\n", f"line 2: {HEX_RULE}"),
    (HEADER + frame_line(hex="zz") + b"\n", f"line 2: {HEX_RULE}"),
    (HEADER + frame_line(hex="ac ") + b"\n", f"line 2: {HEX_RULE}"),
    (HEADER + frame_line(hex=172) + b"\n", f"line 2: {HEX_RULE}"),
    (HEADER + frame_line(frame=1) + b"\n", 'line 2: "frame" must be a string or null'),
    (HEADER + frame_line(fields=[]) + b"\n", 'line 2: "fields" must be an object'),
    (
        HEADER + b'{"t": 1, "from": "host", "hex": "ac", "fields": null}\n',
        'line 2: "fields" must be an object',
    ),
    (HEADER + frame_line(error={}) + b"\n", 'line 2: "error" must be a string or null'),
    (HEADER + b'{"t": NaN, "from": "host", "hex": "ac"}\n', "line 2: column 7: not a value"),
    (
        HEADER + b'{"t": -Infinity, "from": "host", "hex": "ac"}\n',
        "line 2: column 7: not a value",
    ),
    (
        HEADER + b'{"t": 01, "from": "host", "hex": "ac"}\n',
        "line 2: column 8: ',' or '}' is missing",
    ),
    (
        HEADER + b'{"t": 1., "from": "host", "hex": "ac"}\n',
        "line 2: column 9: a digit must follow the decimal point",
    ),
    (HEADER + b'{"t": .5, "from": "host", "hex": "ac"}\n', "line 2: column 7: not a value"),
    (
        HEADER + b'{"t": 1e, "from": "host", "hex": "ac"}\n',
        "line 2: column 9: a digit must follow the exponent",
    ),
    (HEADER + b'{"note": "\xff"}\n', "line 2: not UTF-8 text, from byte 11"),
    (HEADER + b'{"note": "\xc0\xaf"}\n', "line 2: not UTF-8 text, from byte 11"),
    (HEADER + b'{"note": "\xed\xa0\x80"}\n', "line 2: not UTF-8 text, from byte 11"),
    (HEADER + b'{"note": "\xf4\x90\x80\x80"}\n', "line 2: not UTF-8 text, from byte 11"),
    (HEADER + b'{"note": "\xe2\x82"}\n', "line 2: not UTF-8 text, from byte 11"),
    (HEADER + TOO_DEEP, "line 2: column 39: nested too deeply"),
    # Only a last line without its newline may be cut short.
    (HEADER + b'{"t": 1, "from": "ho\n' + POWER, "line 2: column 21: a string is not closed"),
    (HEADER + b'{"t": 1, "from": "ho\n', "line 2: column 21: a string is not closed"),
    (b'{"recor', "line 1: no recording header"),
]

# Recordings that keep them.
KEPT = [
    HEADER.replace(b"\n", b"\r\n") + POWER.replace(b"\n", b"\r\n"),
    b"\n \t\r\n" + HEADER + b"\t \n" + POWER + b"\r\n",
    b'{"recording": 1.0}\n' + POWER,
    HEADER + POWER.replace(b'"ac01"', b'"AC01"'),
    HEADER + b'{"t": 0, "device": "arm"}\n{"note": "no from: passed over"}\n' + POWER,
    HEADER + DEEPEST + POWER,
    HEADER + b'{"t": 0, "from": "host", "hex": "ac", "frame": null, "error": null}\n',
    HEADER + frame_line(t=1e9, frame="get_power_status", fields={"a": {}}, error="x") + b"\n",
    HEADER + b'{"t": 1E+2, "from": "host", "hex": "ac", "n": [-0, 0.5e-3, 10]}\n',
    HEADER + '{"note": "é € 😀 \\u00e9 \\ud83d\\ude00 \\ud800"}\n'.encode() + POWER,
    # The last line may lack its newline when it can be read.
    HEADER + POWER.rstrip(b"\n"),
]


@pytest.mark.parametrize("content, reason", REFUSED)
def test_recordings_that_break_the_reading_rules_are_refused(tmp_path, content, reason):
    path = tmp_path / "bad.jsonl"
    path.write_bytes(content)
    done = run_replay(path)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"ornix-sim: cannot replay {path}: {reason}\n"


@pytest.mark.parametrize("content", KEPT)
def test_recordings_that_keep_the_reading_rules_are_replayed(ornix_sim, tmp_path, content):
    path = tmp_path / "good.jsonl"
    path.write_bytes(content)
    replay = ornix_sim("replay", str(path), stderr=subprocess.PIPE)
    assert reports_of(replay) == []


@pytest.mark.parametrize(
    "content, kept",
    [(content, False) for content, _ in REFUSED] + [(content, True) for content in KEPT],
)
def test_ornix_log_refuses_and_keeps_what_the_replay_does(tmp_path, content, kept):
    path = tmp_path / "recording.jsonl"
    path.write_bytes(content)
    try:
        with open_recording(str(path)) as reader:
            for _ in reader.records():
                pass
    except RecordingError:
        assert not kept
    else:
        assert kept


def test_the_replay_answers_every_request_of_a_host_that_reads_late(ornix_sim, tmp_path):
    path = tmp_path / "temperatures.jsonl"
    reply = bytes.fromhex("aa0000c841")
    with open(path, "wb") as recording:
        recording.write(HEADER)
        for number in range(10_000):
            recording.write(
                f'{{"t": {number / 1000:.6f}, "from": "host", "hex": "aa"}}\n'
                f'{{"t": {number / 1000:.6f}, "from": "device", "hex": "{reply.hex()}"}}\n'.encode()
            )
    replay = ornix_sim("replay", str(path), stderr=subprocess.PIPE)
    received = read_late(replay.port, b"\xaa", 10_000, 50_000, tmp_path)
    assert len(received) == 50_000 and received == reply * 10_000
    assert reports_of(replay) == []


def test_a_last_line_left_half_written_is_reported_and_the_rest_replayed(ornix_sim, tmp_path):
    path = tmp_path / "killed.jsonl"
    path.write_bytes(HEADER + POWER + b'{"t": 0.7, "from": "ho')
    replay, port = start_replay(ornix_sim, path)
    try:
        assert port.exchange(b"\xac", 2) == b"\xac\x01"
    finally:
        port.close()
    assert reports_of(replay) == [
        f"ornix-sim: replay: {path}: line 4 has no newline and cannot be read (column 23: a "
        "string is not closed); the lines before it are replayed"
    ]


def nested_frame(depth, inner):
    """A frame whose "fields" hold `inner` `depth` levels inside the line's object."""
    levels = range(depth - 1)
    opening = "".join("[" if level % 2 else '{"x": ' for level in levels)
    closing = "".join("]" if level % 2 else "}" for level in reversed(levels))
    return f'{{"t": 0.5, "from": "host", "hex": "ac", "fields": {opening}{inner}{closing}}}\n'


def replay_reads(path):
    try:
        VirtualDevices("replay", str(path), stderr=subprocess.PIPE).close()
    except RuntimeError:
        return False
    return True


@pytest.mark.parametrize(
    "depth, inner, readable",
    [(32, "1", True), (33, "1", False), (32, "[]", True), (32, "[[]]", False), (32, "{}", True)],
)
def test_ornix_log_and_the_replay_read_the_same_nesting(
    tmp_path, run_ornix, depth, inner, readable
):
    path = tmp_path / "nested.jsonl"
    path.write_text('{"recording": 1}\n' + nested_frame(depth, inner))
    assert (run_ornix("log", str(path)).returncode == 0) is readable
    assert replay_reads(path) is readable


def test_proxy_refuses_to_replace_a_recording(ornix_sim, tmp_path):
    device = ornix_sim("arm")
    path = tmp_path / "kept.jsonl"
    path.write_text("field data\n")
    done = subprocess.run(
        [simulator_path(), "proxy", device.port, "--record", str(path)],
        capture_output=True,
        text=True,
        timeout=10,
    )
    assert done.returncode == 1
    assert "cannot create recording" in done.stderr
    assert path.read_text() == "field data\n"


def test_proxy_opens_the_port_for_exclusive_use_as_the_library_does(ornix_sim, tmp_path):
    device = ornix_sim("arm")
    path = tmp_path / "session.jsonl"
    # Held as pyserial's exclusive ports and the library's own are.
    holder = os.open(device.port, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        done = subprocess.run(
            [simulator_path(), "proxy", device.port, "--record", str(path)],
            capture_output=True,
            text=True,
            timeout=10,
        )
    finally:
        os.close(holder)
    assert done.returncode == 1
    assert done.stderr == f"ornix-sim: cannot open {device.port}: {os.strerror(errno.EBUSY)}\n"
    assert not path.exists()


@pytest.mark.parametrize(
    "args, message",
    [
        (["proxy"], "proxy needs the port to forward to"),
        (["proxy", "/dev/null"], "proxy needs --record FILE"),
        (["replay"], "replay needs the recording to play"),
        (["arm", "proxy", "/dev/null"], "proxy is served alone"),
        (["replay", "x", "arm"], "replay is served alone"),
        (["replay", "x", "--record", "y"], "--record is an option of the proxy, not of the replay"),
        (["proxy", "x", "--strict"], "--strict is an option of the replay, not of the proxy"),
        (["proxy", "x", "--delay", "1"], "--delay is not an option of the proxy"),
        (["arm", "--record", "y"], "--record is an option of the proxy, not of the arm"),
    ],
)
def test_bad_proxy_and_replay_command_lines(args, message):
    done = subprocess.run([simulator_path(), *args], capture_output=True, text=True, timeout=10)
    assert done.returncode == 2
    assert done.stderr.startswith(f"ornix-sim: {message}")
