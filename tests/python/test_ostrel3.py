import gc
import re
import struct
import time
import uuid
import warnings

import pytest

import OrnixHardwareAPI as ornix
from interpreter import assert_refuses_new_attributes
from fakedevice import Expect, Reply
from probes import Ticker

IDENTIFIER = bytes(range(0x10, 0x20))
STATE = (0.5, -1.25, 2.0, 10.0, -0.001, 3.5)


def floats(*values):
    return struct.pack(f"<{len(values)}f", *values)


def as_float32(values):
    return list(struct.unpack(f"<{len(values)}f", floats(*values)))


STATE_POSITION = as_float32(STATE[:3])
STATE_VELOCITY = as_float32(STATE[3:])
# An exchange after a refused call: were anything sent before it, the device would see that first.
POWER_REQUEST = b"\xac"
POWER_EXCHANGE = (Expect(POWER_REQUEST), Reply(b"\xac\x01"))


@pytest.fixture
def arm_on(fake_device):
    """`arm, device = arm_on(steps...)`: an Ostrel3 on a fake device playing those steps."""

    def start(*steps, strict=True):
        device = fake_device(*steps, strict=strict)
        stream = ornix.SerialStream(device.path)
        return ornix.Ostrel3(stream), device

    return start


def test_device_wakeup_as_tuple_and_as_dict(arm_on):
    info = b"\x0b\x34\x12\x04\x02\x07" + IDENTIFIER
    arm, _ = arm_on(Expect(b"\x0a"), Reply(info), Expect(b"\x0a"), Reply(info))
    assert arm.device_wakeup() == (0x1234, 4, 2, 7, list(IDENTIFIER))
    result = arm.device_wakeup_dict()
    assert list(result) == [
        "device_id",
        "device_model_number",
        "hardware_version",
        "firmware_version",
        "device_id_ext",
    ]
    assert result["device_id_ext"] == uuid.UUID(bytes=IDENTIFIER)
    assert [result[k] for k in list(result)[:4]] == [0x1234, 4, 2, 7]


def test_identifiers_become_standard_uuids(arm_on):
    arm, _ = arm_on(
        Expect(b"\x0d\xd1"),
        Reply(b"\x0d\xd1\x10" + IDENTIFIER),
        Expect(b"\x0d\xd2"),
        Reply(b"\x0d\xd2\x10" + bytes(range(16))),
    )
    device_id = arm.get_device_id()
    assert isinstance(device_id, uuid.UUID)
    assert device_id.bytes == IDENTIFIER
    assert str(arm.get_firmware_version()) == "00010203-0405-0607-0809-0a0b0c0d0e0f"


def test_status_readings(arm_on):
    arm, _ = arm_on(
        Expect(b"\xab"),
        Reply(b"\xab" + floats(0.25, -3.0, 1e6)),
        Expect(b"\x0c"),
        Reply(b"\x0c" + floats(1.0, 0.0, -0.5, 0.1)),
        Expect(b"\xac"),
        Reply(b"\xac\x03"),
        Expect(b"\xac"),
        Reply(b"\xac\x02"),
        Expect(b"\xaa"),
        Reply(b"\xaa" + floats(36.6)),
    )
    assert arm.get_motor_currents() == [0.25, -3.0, 1e6]
    assert arm.get_device_orientation() == as_float32([1.0, 0.0, -0.5, 0.1])
    assert arm.get_power_status() is True
    assert arm.get_power_status() is False
    assert arm.get_temperature() == as_float32([36.6])[0]


@pytest.mark.parametrize(
    "method, request_code, response_code",
    [
        ("end_effector_force", 0x2A, 0x2B),
        ("joint_torques", 0x1A, 0x1B),
        ("end_effector_position", 0x2C, 0x2B),
        ("joint_angles", 0x1C, 0x1B),
    ],
)
def test_motion_commands_send_the_first_three_values(arm_on, method, request_code, response_code):
    arm, _ = arm_on(
        Expect(bytes([request_code]) + floats(1.0, 2.0, 3.0)),
        Reply(bytes([response_code]) + floats(*STATE)),
        Expect(bytes([request_code]) + floats(0, 0, 0)),
        Reply(bytes([response_code]) + floats(*STATE)),
    )
    assert getattr(arm, method)([1.0, 2.0, 3.0, 4.0]) == (STATE_POSITION, STATE_VELOCITY)
    assert getattr(arm, method)() == (STATE_POSITION, STATE_VELOCITY)


@pytest.mark.parametrize(
    "call",
    [
        lambda arm: arm.end_effector_force([1.0, 2.0]),
        lambda arm: arm.joint_torques([]),
        lambda arm: arm.end_effector_position((1.0,)),
        lambda arm: arm.joint_angles([0.0, 0.0]),
        lambda arm: arm.SendForce([1.0]),
        lambda arm: arm.SendJointTorques([1.0, 2.0]),
        lambda arm: arm.SendAngle([]),
        lambda arm: arm.SendPosition([5.0]),
        lambda arm: arm.ReceiveState([0.0] * 3, [0.0] * 2),
        lambda arm: arm.ReceiveJointState([0.0], [0.0] * 3),
        lambda arm: arm.ReceiveCurrent([1.0, 2.0]),
    ],
)
def test_short_vectors_are_refused_and_nothing_is_sent(arm_on, call):
    arm, device = arm_on(*POWER_EXCHANGE)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError, match=r"three values are needed, [0-2] given"):
            call(arm)
    assert arm.get_power_status() is True
    assert device.received() == POWER_REQUEST


@pytest.mark.parametrize(
    "call", [lambda arm: arm.end_effector_force("abc"), lambda arm: arm.SendAngle(1.0)]
)
def test_wrong_argument_types_raise_type_error(arm_on, call):
    arm, device = arm_on(*POWER_EXCHANGE)
    with pytest.raises(TypeError):
        call(arm)
    assert arm.get_power_status() is True
    assert device.received() == POWER_REQUEST


def test_legacy_split_exchanges(arm_on):
    arm, _ = arm_on(
        Expect(b"\x0a"),
        Reply(b"\x0b\x01\x00\x04\x01\x02" + IDENTIFIER),
        Expect(b"\x2a" + floats(1.0, 2.0, 3.0)),
        Reply(b"\x2b" + floats(*STATE)),
        Expect(b"\x1a" + floats(4.0, 5.0, 6.0)),
        Reply(b"\x1b" + floats(*STATE)),
        Expect(b"\x1c" + floats(0.5, 0.5, 0.5)),
        Expect(b"\xab"),
        Reply(b"\xab" + floats(7.0, 8.0, 9.0)),
        Expect(b"\x2c" + floats(0, 0, 0)),
    )
    with pytest.warns(DeprecationWarning):
        arm.SendDeviceWakeup()
    device_id, model, hardware, firmware, identifier = arm.ReceiveDeviceInfo()
    assert (device_id, model, hardware, firmware) == (1, 4, 1, 2)
    assert isinstance(identifier, ornix.UUID)
    assert identifier.bytes() == list(IDENTIFIER)

    with pytest.warns(DeprecationWarning):
        arm.SendForce([1.0, 2.0, 3.0])
    with pytest.warns(DeprecationWarning):
        assert arm.ReceiveState([0.0] * 4, [1.0] * 3) == (
            STATE_POSITION + [0.0],
            STATE_VELOCITY,
        )
    with pytest.warns(DeprecationWarning):
        arm.SendJointTorques([4.0, 5.0, 6.0])
    with pytest.warns(DeprecationWarning):
        assert arm.ReceiveJointState() == (STATE_POSITION, STATE_VELOCITY)
    arm.SendAngle([0.5, 0.5, 0.5])
    arm.RequestCurrent()
    assert arm.ReceiveCurrent() == [7.0, 8.0, 9.0]
    with pytest.warns(DeprecationWarning):
        arm.SendPosition()


def test_legacy_receive_returns_the_lists_passed_in_after_a_failure(arm_on):
    # Each reply is the wrong one; the second comes once the first has been discarded.
    arm, _ = arm_on(Reply(b"\x2b" + floats(*STATE)), Reply(b"\xab" + floats(1, 2, 3), delay=0.2))
    assert arm.ReceiveCurrent([9.0] * 4) == [9.0] * 4
    with pytest.warns(DeprecationWarning):
        assert arm.ReceiveState([5.0] * 3, [6.0] * 5) == ([5.0] * 3, [6.0] * 5)


@pytest.mark.parametrize(
    "call, frame",
    [
        (lambda arm: arm.SendForce(1.0), b"\x2a" + floats(1, 0, 0)),
        (lambda arm: arm.SendForce(), b"\x2a" + floats(0, 0, 0)),
        (lambda arm: arm.SendForce(1, 2, 3), b"\x2a" + floats(1, 2, 3)),
        (lambda arm: arm.SendForce(ForceZ=2.5), b"\x2a" + floats(0, 0, 2.5)),
        (lambda arm: arm.SendForce(force=(4, 5, 6)), b"\x2a" + floats(4, 5, 6)),
    ],
)
def test_send_force_overloads_warn_once(arm_on, call, frame):
    arm, _ = arm_on(Expect(frame))
    with pytest.warns(DeprecationWarning) as caught:
        call(arm)
    assert [str(w.message) for w in caught] == [
        "SendForce is deprecated, use end_effector_force instead"
    ]


@pytest.mark.parametrize(
    "call, text",
    [
        (
            lambda arm: arm.SendDeviceWakeup(),
            "SendDeviceWakeup is deprecated, use device_wakeup instead",
        ),
        (lambda arm: arm.ReceiveState(), "ReceiveState is deprecated, use end_effector instead"),
        (
            lambda arm: arm.ReceiveJointState(),
            "ReceiveJointState is deprecated, use joint_torques instead",
        ),
        (
            lambda arm: arm.SendJointTorques(),
            "SendJointTorques is deprecated, use joint_torques instead",
        ),
        (
            lambda arm: arm.SendPosition(),
            "SendPosition is deprecated, use end_effector_position instead",
        ),
    ],
)
def test_deprecation_texts_point_at_the_caller(arm_on, call, text):
    arm, _ = arm_on(Reply(b"\x2b" + floats(*STATE)), Reply(b"\x1b" + floats(*STATE)), strict=False)
    with pytest.warns(DeprecationWarning) as caught:
        call(arm)
    assert [str(w.message) for w in caught] == [text]
    assert caught[0].filename == __file__


def test_ignored_warning_still_sends(arm_on):
    arm, device = arm_on(Expect(b"\x0a"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        arm.SendDeviceWakeup()
    assert device.wait_until_played()


def test_warning_turned_into_an_error_is_raised_after_the_frame_went_out(arm_on):
    arm, device = arm_on(Expect(b"\x2c" + floats(1, 2, 3)))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="SendPosition is deprecated"):
            arm.SendPosition([1, 2, 3])
    assert device.wait_until_played()


def test_wrong_response_code_fails_quietly_and_the_next_exchange_succeeds(arm_on, native_output):
    arm, _ = arm_on(
        Expect(b"\x1a" + floats(1, 1, 1)),
        Reply(b"\x2b" + floats(*STATE)),
        Expect(b"\xaa"),
        Reply(b"\xaa" + floats(20.5)),
    )
    assert arm.joint_torques([1, 1, 1]) == ([0.0] * 3, [0.0] * 3)
    assert arm.get_temperature() == 20.5
    assert native_output.read().err == ""


def test_arm_keeps_its_stream_alive(fake_device):
    device = fake_device(Expect(b"\xaa"), Reply(b"\xaa" + floats(1.5)))
    stream = ornix.SerialStream(device.path)
    arm = ornix.Ostrel3(stream)
    del stream
    gc.collect()
    assert arm.get_temperature() == 1.5


def test_arm_needs_a_stream():
    with pytest.raises(TypeError, match="SerialStream"):
        ornix.Ostrel3(None)
    with pytest.raises(TypeError):
        ornix.Ostrel3("/dev/null")
    with pytest.raises(TypeError):
        ornix.Ostrel3()


def test_arm_is_not_a_device(arm_on):
    arm, _ = arm_on()
    assert not isinstance(arm, ornix.Device)
    assert_refuses_new_attributes(arm)


WAKEUP = (b"\x0a", b"\x0b\x01\x00\x04\x01\x02" + IDENTIFIER)
WAKEUP_FIELDS = (1, 4, 1, 2, list(IDENTIFIER))
STATE_REPLY = floats(*STATE)
ZERO_REQUEST = floats(0, 0, 0)
DECODED_STATE = (STATE_POSITION, STATE_VELOCITY)


@pytest.mark.parametrize(
    "call, request_frame, reply, result, released",
    [
        (lambda arm: arm.device_wakeup(), *WAKEUP, WAKEUP_FIELDS, True),
        (
            lambda arm: list(arm.device_wakeup_dict().values()),
            *WAKEUP,
            [*WAKEUP_FIELDS[:4], uuid.UUID(bytes=IDENTIFIER)],
            True,
        ),
        (
            lambda arm: arm.end_effector_force(),
            b"\x2a" + ZERO_REQUEST,
            b"\x2b" + STATE_REPLY,
            DECODED_STATE,
            True,
        ),
        (
            lambda arm: arm.joint_torques(),
            b"\x1a" + ZERO_REQUEST,
            b"\x1b" + STATE_REPLY,
            DECODED_STATE,
            True,
        ),
        (
            lambda arm: arm.end_effector_position(),
            b"\x2c" + ZERO_REQUEST,
            b"\x2b" + STATE_REPLY,
            DECODED_STATE,
            True,
        ),
        (
            lambda arm: arm.joint_angles(),
            b"\x1c" + ZERO_REQUEST,
            b"\x1b" + STATE_REPLY,
            DECODED_STATE,
            True,
        ),
        (
            lambda arm: arm.ReceiveDeviceInfo()[:4],
            b"",
            WAKEUP[1],
            WAKEUP_FIELDS[:4],
            True,
        ),
        (lambda arm: arm.ReceiveState(), b"", b"\x2b" + STATE_REPLY, DECODED_STATE, True),
        (lambda arm: arm.ReceiveJointState(), b"", b"\x1b" + STATE_REPLY, DECODED_STATE, True),
        (lambda arm: arm.ReceiveCurrent(), b"", b"\xab" + floats(1, 2, 3), [1, 2, 3], True),
        (
            lambda arm: arm.get_firmware_version(),
            b"\x0d\xd2",
            b"\x0d\xd2\x10" + IDENTIFIER,
            uuid.UUID(bytes=IDENTIFIER),
            False,
        ),
        (
            lambda arm: arm.get_device_id(),
            b"\x0d\xd1",
            b"\x0d\xd1\x10" + IDENTIFIER,
            uuid.UUID(bytes=IDENTIFIER),
            False,
        ),
        (
            lambda arm: arm.get_motor_currents(),
            b"\xab",
            b"\xab" + floats(1, 2, 3),
            [1, 2, 3],
            False,
        ),
        (
            lambda arm: arm.get_device_orientation(),
            b"\x0c",
            b"\x0c" + floats(1, 2, 3, 4),
            [1, 2, 3, 4],
            False,
        ),
        (lambda arm: arm.get_power_status(), b"\xac", b"\xac\x01", True, False),
        (lambda arm: arm.get_temperature(), b"\xaa", b"\xaa" + floats(2.0), 2.0, False),
    ],
)
def test_interpreter_lock_while_waiting_for_the_arm(
    arm_on, call, request_frame, reply, result, released
):
    # The reply comes 0.4 s after the request, or after the call began where it sends none: the
    # call waits for it, and the span in which it waits is known from the device's side.
    arm, device = arm_on(*([Expect(request_frame)] if request_frame else []))
    ticker = Ticker()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        got = ticker.during(lambda: call(arm), then=lambda: device.add(Reply(reply, delay=0.4)))
    assert got == result
    assert device.wait_until_played()
    played = device.played_at()
    waiting = ticker.between(played[0] if request_frame else ticker.start, played[-1])
    if released:
        # One stamp may fall just before a call that sends nothing enters the module.
        assert waiting >= 2
    else:
        assert waiting == 0


def test_deprecation_warning_comes_before_the_frame(arm_on):
    arm, device = arm_on(Expect(b"\x0a"))
    seen_by_the_device = []

    def record(*args, **kwargs):
        seen_by_the_device.append(device.received(timeout=0))

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = record
        arm.SendDeviceWakeup()
    assert seen_by_the_device == [b""]
    assert device.wait_until_played()


def test_failed_wakeup_gives_zeros(arm_on):
    arm, _ = arm_on(
        Expect(b"\x0a"), Reply(b"\xab" + floats(1, 2, 3)), Expect(b"\x0a"), Reply(b"\x55")
    )
    assert arm.device_wakeup() == (0, 0, 0, 0, [0] * 16)
    assert arm.device_wakeup_dict() == {
        "device_id": 0,
        "device_model_number": 0,
        "hardware_version": 0,
        "firmware_version": 0,
        "device_id_ext": uuid.UUID(int=0),
    }


@pytest.mark.slow
def test_silent_device_gives_the_zero_identifier_after_one_time_out(arm_on, native_output):
    arm, _ = arm_on(Expect(b"\x0d\xd1"))
    start = time.monotonic()
    assert arm.get_device_id() == uuid.UUID(int=0)
    # Five seconds are the library's time-out; the one error line shows that one was waited out.
    assert 4.0 < time.monotonic() - start < 30.0
    assert re.fullmatch(
        r"\[err\] Library/src/Device\.cpp:57> timeout waiting for header code: \[\d+\] .+\n",
        native_output.read().err,
    )
