"""ornix.HandleStream: every status a streaming handle sends is read, its newest is there at any
moment, and button presses and releases and battery crossings come as events, in order, each
once; a handle that does not stream is asked for its status."""

import time

import pytest

import OrnixHardwareAPI
import ornix
import wire
from fakedevice import Reply


def compact_packet(buttons=0, battery=200, sequence=0, device_id=0x2C):
    """A compact status packet; a sequence count of 0xC0 or 0xDB goes escaped."""
    data = wire.compact_data(
        hall_level=5,
        buttons=buttons,
        device_id=device_id,
        quaternion=(16384, 0, 0, 0),
        battery=battery,
        sequence=sequence,
    )
    return wire.compact_status(data)


def buttons_at(index):
    """The buttons of packet `index` in the burst: a pattern that changes every 1,000 packets."""
    return (index // 1000) % 8


def test_every_press_and_release_of_a_burst_is_an_event_once_in_order(fake_device):
    count = 20_000
    burst = b"".join(compact_packet(buttons=buttons_at(i), sequence=i % 256) for i in range(count))
    device = fake_device(strict=False)
    handle = OrnixHardwareAPI.Handle(OrnixHardwareAPI.SerialStream(device.path))
    with ornix.HandleStream(handle) as stream:
        device.add(Reply(burst))
        events = []
        deadline = time.monotonic() + 60
        while stream.latest().count < count and time.monotonic() < deadline:
            events += stream.events(timeout=0.05)
        events += stream.events(timeout=0.05)
        latest = stream.latest()
    assert (latest.count, latest.gaps, latest.buttons) == (count, 0, buttons_at(count - 1))
    expected = []
    for i in range(1, count):
        before, now = buttons_at(i - 1), buttons_at(i)
        for button in range(8):
            if (before ^ now) & (1 << button):
                expected.append(("pressed" if now & (1 << button) else "released", button, i + 1))
    assert [(e.kind, e.button, e.count) for e in events] == expected
    assert [e.time for e in events] == sorted(e.time for e in events)


def test_a_low_battery_is_told_once_per_crossing(fake_device):
    # 3.5 V, then 3.3 V for a while, 3.45 V, then 3.3 V again: below 3.4 V twice.
    levels = [100] * 5 + [60] * 50 + [90] * 5 + [60] * 5
    device = fake_device(strict=False)
    handle = OrnixHardwareAPI.Handle(OrnixHardwareAPI.SerialStream(device.path))
    with ornix.HandleStream(handle, low_battery=3.4) as stream:
        device.add(
            Reply(b"".join(compact_packet(battery=b, sequence=i) for i, b in enumerate(levels)))
        )
        kinds = [event.kind for event in stream.events(timeout=2.0)]
    assert kinds == ["battery_low", "battery_recovered", "battery_low"]
    assert stream.latest().battery == pytest.approx(3.3)


def test_a_virtual_handle_streaming_twenty_thousand_packets_a_second_is_read_whole(ornix_sim):
    # How many the reader keeps up with depends on the machine (the burst above shows it loses
    # none that reach it); what it reads is whole, every packet a status.
    port = ornix_sim("handle", "--compact", "20000").ports["handle"]
    with ornix.HandleStream(port) as stream:
        time.sleep(1.5)
        latest = stream.latest()
        stats = stream.link_stats()
    assert latest.count > 100
    assert stats["outcomes"]["ok"] >= latest.count
    assert stats["exchanges"] - stats["outcomes"]["ok"] <= 1


def test_a_handle_that_does_not_stream_is_asked_for_its_status(ornix_sim):
    port = ornix_sim("handle").ports["handle"]
    with ornix.open_handle(port) as handle:
        with ornix.HandleStream(handle, compact=False, status_period=0.01) as stream:
            while stream.latest().count < 5:
                time.sleep(0.01)
            with pytest.raises(RuntimeError, match="driven by a servo loop"):
                handle.RequestStatus()
            latest = stream.latest()
        assert latest.device_id == handle.identity.device_id
        assert len(latest.quaternion) == 4
        handle.RequestStatus()


def test_a_stream_on_a_port_opens_and_closes_it(ornix_sim):
    port = ornix_sim("handle", "--compact", "500").ports["handle"]
    stream = ornix.HandleStream(port).start()
    with pytest.raises(ornix.PortBusyError):
        ornix.check_port(port)
    stream.stop()
    ornix.check_port(port)


def test_events_go_on_once_a_handle_that_reconnects_is_back(ornix_sim, tmp_path):
    stable = tmp_path / "serial" / "by-id" / "usb-Ornix_Handle_SIM-if00"
    stable.parent.mkdir(parents=True)
    stable.symlink_to("../../ttyACM0")
    first = ornix_sim("handle", "--compact", "200", "--link", str(tmp_path / "ttyACM0"))
    handle = ornix.open_handle(
        str(tmp_path / "ttyACM0"), directory=str(tmp_path), reconnect=ornix.Reconnect(timeout=30)
    )
    events = []
    with handle, ornix.HandleStream(handle, on_event=events.append) as stream:
        stable.unlink()
        first.close()
        wait_for(lambda: handle.state == "reconnecting")
        stable.symlink_to("../../ttyACM1")
        ornix_sim("handle", "--compact", "200", "--link", str(tmp_path / "ttyACM1"))
        wait_for(lambda: handle.state == "connected")
        seen = len(events)
        # The virtual handle's buttons change every 3 s: events come from the handle that is back.
        wait_for(lambda: len(events) > seen)
        assert stream.running
    assert [event.time for event in events] == sorted(event.time for event in events)


def wait_for(condition, within=30.0):
    deadline = time.monotonic() + within
    while not condition():
        assert time.monotonic() - deadline < 0, "waited in vain"
        time.sleep(0.01)
