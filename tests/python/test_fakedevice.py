"""The fake device itself, driven through a plain descriptor as a port would be, and the reader
of the script files it shares with the C++ fake devices."""

import os
import time

import pytest

from fakedevice import (
    SCRIPTS,
    Expect,
    FakeDevice,
    Flood,
    Hangup,
    Reply,
    ScriptError,
    Seek,
    Stall,
    load_script,
    parse_script,
)


def read_for(fd, seconds, until=None):
    """What arrives within `seconds`, or sooner once `until` bytes have."""
    data, deadline = b"", time.monotonic() + seconds
    while time.monotonic() < deadline and (until is None or len(data) < until):
        try:
            data += os.read(fd, 1024)
        except BlockingIOError:
            time.sleep(0.005)
    return data


def open_port(path):
    return os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)


def test_replies_after_each_expected_request_with_its_delay(fake_device):
    device = fake_device(Expect(b"\x0a"), Reply(b"\x0b\x01", delay=0.3), Expect(b"\xab"))
    port = open_port(device.path)
    try:
        os.write(port, b"\x0a")
        assert read_for(port, 0.2) == b""
        assert read_for(port, 5.0, until=2) == b"\x0b\x01"
        os.write(port, b"\xab\xcc")
        assert device.received(at_least=3) == b"\x0a\xab\xcc"
        assert device.wait_until_played()
        request_at, reply_at, _ = device.played_at()
        assert reply_at - request_at >= 0.3
    finally:
        os.close(port)


def test_reports_mismatches_and_unplayed_steps():
    device = FakeDevice(Expect(b"\x01\x02"), Reply(b"\x03"), Expect(b"\x04"))
    port = open_port(device.path)
    try:
        os.write(port, b"\x01\x09")
        assert read_for(port, 5.0, until=1) == b"\x03"
    finally:
        os.close(port)
    report = device.finish()
    assert report.received == b"\x01\x09"
    assert report.mismatches == ["step 0: expected 01 02, received 01 09"]
    assert report.unplayed == 1


def test_hangup_makes_the_port_read_as_unplugged(fake_device):
    device = fake_device(Hangup(delay=0.1))
    port = open_port(device.path)
    try:
        assert device.wait_until_played()
        assert os.read(port, 16) == b""
    finally:
        os.close(port)


def test_seeks_its_request_and_floods_the_port(fake_device):
    device = fake_device(Seek(b"\x2a\x2b"), Reply(b"\x0b"), Flood(b"\x99\x98"))
    port = open_port(device.path)
    try:
        os.write(port, b"\x01\x2a\x2a\x2b\x02")
        assert read_for(port, 5.0, until=4001)[:4001] == b"\x0b" + b"\x99\x98" * 2000
        assert device.wait_until_played()
    finally:
        os.close(port)


def test_each_line_of_a_script_gives_its_step():
    text = (
        "# Every kind of step.\n"
        '{"expect": "0a"}\n'
        '{"seek": "2A 00"}\n'
        "\n"
        '  {"after_ms": 5, "reply": "0b ff"}\r\n'
        '{"reply": "0c", "after_ms": 0}\n'
        '{"reply": "0\\u0064", "after_ms": 0.25}\n'
        '{"stall_ms": 2e3}\n'
        '{"hangup": true, "after_ms": 50}\n'
        "\t# A hang-up at once.\n"
        '{ "hangup" : true }\n'
        '{"flood": "99"}'
    )
    assert parse_script(text, "every-step.jsonl") == (
        Expect(b"\x0a"),
        Seek(b"\x2a\x00"),
        Reply(b"\x0b\xff", delay=0.005),
        Reply(b"\x0c"),
        Reply(b"\x0d", delay=0.00025),
        Stall(2.0),
        Hangup(delay=0.05),
        Hangup(),
        Flood(b"\x99"),
    )


def refusals():
    """tests/scripts/refusals.txt: each line refused, then "=> " and the reason."""
    lines = [line for line in (SCRIPTS / "refusals.txt").read_text().splitlines()]
    lines = [line for line in lines if not line.startswith("#")]
    return [(line, reason.removeprefix("=> ")) for line, reason in zip(lines[::2], lines[1::2])]


@pytest.mark.parametrize("line, reason", refusals())
def test_lines_that_break_the_format_are_refused_with_their_place(line, reason):
    with pytest.raises(ScriptError) as refused:
        parse_script(f'# a first line\n{line}\n{{"expect": "0a"}}\n', "bad.jsonl")
    assert str(refused.value) == f"bad.jsonl:2: {reason}"


def test_a_file_of_the_scripts_folder_is_loaded_by_name():
    assert len(load_script("arm-wakeup.jsonl")) == 2
    with pytest.raises(ScriptError, match="^no-such-script.jsonl: cannot be read$"):
        load_script("no-such-script.jsonl")
