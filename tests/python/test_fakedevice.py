"""The fake device itself, driven through a plain descriptor as a port would be."""

import os
import time

from fakedevice import Expect, FakeDevice, Hangup, Reply


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
