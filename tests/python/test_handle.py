import gc
import threading
import warnings

import pytest

import OrnixHardwareAPI as ornix
import wire
from fakedevice import Expect, Reply
from probes import Ticker

PURE = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'
INFO = wire.handle_info(5, 0x1234, 4, 2, 7)
ERROR = wire.error_response(0x0102, 42)
# A code the handle never sends.
UNKNOWN = b"\x55"


def status_message(user_data=b""):
    return wire.status_message(0x0102, 3, 9, (1.0, 0.0, -0.5, 0.25), user_data)


def compact_data(buttons=7, hall_level=5, battery=200, device_id=0x2C):
    return wire.compact_data(
        error_flag=4,
        hall_level=hall_level,
        buttons=buttons,
        device_id=device_id,
        quaternion=(-32768, 32767, 16384, 0),
        battery=battery,
        sequence=0x11,
    )


def compact_packet(**fields):
    return wire.compact_status(compact_data(**fields))


def unstuffed_packet(data):
    """A compact packet whose data bytes were not stuffed: malformed where they hold 0xC0 or
    0xDB."""
    return bytes([wire.COMPACT_STATUS]) + data + bytes([wire.COMPACT_END])


class InfoOnly(ornix.Handle):
    def __init__(self, stream):
        ornix.Handle.__init__(self, stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *fields):
        self.calls.append(("info", fields))


class Everything(InfoOnly):
    def OnReceiveHandleStatusMessage(self, *fields):
        self.calls.append(("status", fields, threading.get_ident()))

    def OnReceiveHandleErrorResponse(self, *fields):
        self.calls.append(("error", fields))


class CallsItsBase(ornix.Handle):
    def OnReceiveHandleInfo(self, *fields):
        return super().OnReceiveHandleInfo(*fields)

    def OnReceiveHandleErrorResponse(self, *fields):
        return super().OnReceiveHandleErrorResponse(*fields)

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, level, length, data):
        # The Python form takes one component and one byte of user data.
        return super().OnReceiveHandleStatusMessage(
            device_id, quaternion[0], error_flag, level, 0, 0
        )


class Raising(ornix.Handle):
    def OnReceiveHandleInfo(self, *fields):
        raise KeyError("from the override")


@pytest.fixture
def handle_on(fake_device):
    """`handle, device = handle_on(cls, steps...)`: a handle of that class on a fake device."""

    def start(cls, *steps, strict=True):
        device = fake_device(*steps, strict=strict)
        return cls(ornix.SerialStream(device.path)), device

    return start


def test_plain_handle_counts_messages_and_calls_no_python(handle_on):
    handle, _ = handle_on(
        ornix.Handle,
        Reply(status_message(b"\x0a\x0b\x0c")),
        Reply(INFO),
        Reply(ERROR),
        Reply(UNKNOWN),
    )
    assert [handle.Receive() for _ in range(4)] == [24, 6, 3, -1]
    assert handle.OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 3, 7) is None


def test_subclass_overriding_only_the_info_callback(handle_on):
    handle, _ = handle_on(InfoOnly, Reply(INFO), Reply(ERROR), Reply(status_message()))
    assert handle.Receive() == 6
    assert handle.calls == [("info", (5, 0x1234, 4, 2, 7))]
    assert all(type(field) is int for field in handle.calls[0][1])
    assert handle.Receive() == 3
    assert len(handle.calls) == 1
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert str(raised.value) == PURE


def test_overrides_get_lists_on_the_thread_that_receives(handle_on):
    handle, _ = handle_on(
        Everything, Reply(status_message(b"\x0a\x0b\x0c")), Reply(status_message()), Reply(ERROR)
    )
    counts = []
    receiver = threading.Thread(target=lambda: counts.extend(handle.Receive() for _ in range(3)))
    receiver.start()
    receiver_ident = receiver.ident
    receiver.join()
    assert counts == [24, 21, 3]
    assert handle.calls == [
        ("status", (0x0102, [1.0, 0.0, -0.5, 0.25], 3, 9, 3, [10, 11, 12]), receiver_ident),
        ("status", (0x0102, [1.0, 0.0, -0.5, 0.25], 3, 9, 0, []), receiver_ident),
        ("error", (0x0102, 42)),
    ]


def test_base_calls_inside_overrides(handle_on):
    handle, _ = handle_on(CallsItsBase, Reply(INFO), Reply(ERROR), Reply(status_message()))
    assert handle.Receive() == 6
    assert handle.Receive() == 3
    with pytest.raises(RuntimeError, match="pure virtual"):
        handle.Receive()


class ReceivesInside(ornix.Handle):
    """Reads the next two messages from inside its first info callback."""

    def __init__(self, stream):
        ornix.Handle.__init__(self, stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *fields):
        self.calls.append(("info", fields[1]))
        if len(self.calls) == 1:
            self.calls.append(("nested", self.Receive(), self.Receive()))

    def OnReceiveHandleStatusMessage(self, *fields):
        self.calls.append(("status", fields[0]))


def test_a_receive_inside_an_override_reaches_the_overrides(handle_on):
    second_info = wire.handle_info(5, 0x5678, 4, 2, 7)
    handle, _ = handle_on(ReceivesInside, Reply(INFO + second_info + status_message()))
    assert handle.Receive() == 6
    assert handle.calls == [
        ("info", 0x1234),
        ("info", 0x5678),
        ("status", 0x0102),
        ("nested", 6, 21),
    ]


def test_overrides_given_to_a_class_later_are_called(handle_on):
    class Late(ornix.Handle):
        pass

    calls = []
    handle, device = handle_on(Late, Reply(INFO), Reply(status_message()))
    assert handle.Receive() == 6
    with pytest.raises(RuntimeError, match="pure virtual"):
        handle.Receive()
    Late.OnReceiveHandleInfo = lambda self, *fields: calls.append(("info", fields[1]))
    Late.OnReceiveHandleStatusMessage = lambda self, *fields: calls.append(("status", fields[0]))
    device.add(Reply(INFO), Reply(status_message()))
    assert handle.Receive() == 6
    assert handle.Receive() == 21
    assert calls == [("info", 0x1234), ("status", 0x0102)]
    # And on the class they were taken from, they go again.
    del Late.OnReceiveHandleInfo
    device.add(Reply(INFO))
    assert handle.Receive() == 6
    assert calls == [("info", 0x1234), ("status", 0x0102)]


def test_exception_in_an_override_comes_out_of_receive(handle_on):
    handle, _ = handle_on(Raising, Reply(INFO), Reply(ERROR))
    with pytest.raises(KeyError, match="from the override"):
        handle.Receive()
    assert handle.Receive() == 3


def test_status_callback_called_from_python_is_padded(handle_on):
    handle, _ = handle_on(Everything)
    ornix.Handle.OnReceiveHandleStatusMessage(handle, 7, 0.5, 1, 2, 3, 200)
    assert handle.calls[0][:2] == ("status", (7, [0.5, 0.0, 0.0, 0.0], 1, 2, 3, [200, 0, 0]))


def test_requests(handle_on):
    handle, _ = handle_on(
        ornix.Handle,
        Expect(wire.device_wakeup()),
        Expect(wire.request_status()),
        Expect(wire.handle_state()),
        Expect(wire.handle_state(7, b"\x41")),
        Expect(wire.handle_state(0xFFFF)),
    )
    handle.SendDeviceWakeup()
    handle.RequestStatus()
    handle.SendHandleState()
    handle.SendHandleState(7, 1, 0x41)
    handle.SendHandleState(device_id=0xFFFF, user_data=9)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"device_id": 70000}, TypeError),
        ({"data_length": 256}, TypeError),
        ({"user_data": 1.5}, TypeError),
        ({"device_id": 1.0}, TypeError),
        ({"data_length": 2, "user_data": 1}, ValueError),
        ({"data_length": 1}, ValueError),
    ],
)
def test_send_handle_state_refuses_what_it_cannot_send(handle_on, kwargs, error):
    # Were anything sent before the request that follows, the device would see that first.
    handle, device = handle_on(ornix.Handle, Expect(wire.request_status()))
    with pytest.raises(error):
        handle.SendHandleState(**kwargs)
    handle.RequestStatus()
    assert device.received(at_least=1) == wire.request_status()


def test_deprecated_receive_warns_then_receives(handle_on):
    handle, _ = handle_on(ornix.Handle, Reply(ERROR))
    with pytest.raises(TypeError):
        handle.Receive(300)
    with pytest.warns(DeprecationWarning) as caught:
        assert handle.Receive(5) == 3
    assert [str(w.message) for w in caught] == ["Receive with one argument is deprecated"]


def test_deprecated_receive_warns_before_it_reads(handle_on):
    handle, device = handle_on(ornix.Handle, Reply(UNKNOWN), Reply(ERROR))
    assert device.wait_until_played()
    left_in_the_port = []

    def record(*args, **kwargs):
        left_in_the_port.append(handle.Receive())

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = record
        assert handle.Receive(1) == 3
    assert left_in_the_port == [-1]


@pytest.mark.parametrize(
    "call, reply",
    [
        (lambda handle: handle.GetQuilletStatus(), compact_packet()),
        (lambda handle: handle.Receive(1), ERROR),
    ],
)
def test_reads_let_other_threads_run(handle_on, call, reply):
    handle, device = handle_on(ornix.Handle)
    ticker = Ticker()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        ticker.during(lambda: call(handle), then=lambda: device.add(Reply(reply, delay=0.4)))
    assert device.wait_until_played()
    # Ten milliseconds apart, the stamps fill the 0.4 s wait; one may fall just before the call.
    assert ticker.between(ticker.start, device.played_at()[-1]) >= 2


def test_unknown_code_is_consumed_alone(handle_on):
    handle, _ = handle_on(Everything, Reply(UNKNOWN + ERROR))
    assert handle.Receive() == -1
    assert handle.Receive() == 3
    assert handle.calls == [("error", (0x0102, 42))]


def requested(*packets):
    """Script steps that send each packet once the handle asks for a status."""
    return [step for packet in packets for step in (Expect(wire.request_status()), Reply(packet))]


def test_compact_status_as_a_dict(handle_on):
    handle, _ = handle_on(
        ornix.Handle,
        # Stray bytes before the first packet.
        *requested(
            b"\x11\x22" + compact_packet(),
            compact_packet(buttons=0, hall_level=0, battery=255),
        ),
    )
    handle.RequestStatus()
    assert handle.GetQuilletStatus() == {
        "device_id": 0x2C,
        "quaternion": [-1.0, 32767 / 32768, 0.5, 0.0],
        "error_flag": 4,
        "hall_effect_sensor_level": 5,
        "buttons": 7,
        "battery_level": 4.0,
    }
    handle.RequestStatus()
    assert handle.GetQuilletStatus()["battery_level"] == 4.275000095367432


def test_escapes_and_malformed_compact_packets(handle_on):
    escaped_at_the_end = wire.compact_status(compact_data()[:-1] + bytes([wire.COMPACT_END]))
    handle, _ = handle_on(
        ornix.Handle,
        *requested(
            escaped_at_the_end,
            unstuffed_packet(compact_data(buttons=6, hall_level=0)),
            unstuffed_packet(compact_data(buttons=6, hall_level=0x1B, battery=0xDC)),
        ),
    )
    handle.RequestStatus()
    assert handle.GetQuilletStatus()["error_flag"] == 4
    handle.RequestStatus()
    assert handle.GetQuilletStatus()["error_flag"] == 1
    handle.RequestStatus()
    assert handle.GetQuilletStatus() == {
        "device_id": 0,
        "quaternion": [0.0, 0.0, 0.0, 0.0],
        "error_flag": 1,
        "hall_effect_sensor_level": 0,
        "buttons": 0,
        "battery_level": 0.0,
    }


def test_compact_status_is_the_most_recent_packet_waiting(handle_on):
    packets = [compact_packet(device_id=number) for number in range(1, 6)]
    handle, device = handle_on(
        ornix.Handle, Expect(wire.request_status()), Reply(b"".join(packets))
    )
    # Once all five are waiting, as when a program polls slower than the handle streams.
    handle.RequestStatus()
    assert device.wait_until_played()
    assert handle.GetQuilletStatus()["device_id"] == 5


@pytest.mark.slow
def test_compact_packet_cut_short_is_malformed(handle_on, native_output):
    handle, _ = handle_on(ornix.Handle, Reply(compact_packet()[:10]))
    assert handle.GetQuilletStatus()["error_flag"] == 1
    assert "timeout waiting for payload" in native_output.read().err


@pytest.mark.slow
def test_silent_handle_lets_other_threads_run_and_gives_nothing(handle_on):
    handle, _ = handle_on(ornix.Handle)
    ticker = Ticker()
    assert ticker.during(handle.Receive) == -1
    # Away from both ends of the five-second wait, where a held lock could let one stamp in.
    assert ticker.between(ticker.start + 1.0, ticker.end - 1.0) >= 2
    status = handle.GetQuilletStatus()
    assert list(status.items()) == [
        ("device_id", 0),
        ("quaternion", [0.0, 0.0, 0.0, 0.0]),
        ("error_flag", 2),
        ("hall_effect_sensor_level", 0),
        ("buttons", 0),
        ("battery_level", 0.0),
    ]


def test_handle_needs_and_keeps_its_stream(fake_device):
    with pytest.raises(TypeError, match="SerialStream"):
        ornix.Handle(None)
    with pytest.raises(TypeError, match="SerialStream"):
        InfoOnly(None)
    device = fake_device(Reply(ERROR))
    stream = ornix.SerialStream(device.path)
    handle = ornix.Handle(stream)
    del stream
    gc.collect()
    assert handle.Receive() == 3
    assert not isinstance(handle, ornix.Device)
