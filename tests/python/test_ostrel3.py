import gc
import re
import time
import uuid
import warnings

import pytest

import OrnixHardwareAPI as ornix
import wire
from interpreter import assert_refuses_new_attributes
from fakedevice import Expect, Reply, load_script
from probes import Ticker
from wire import as_float32

# The identifier of the arm of arm-wakeup.jsonl.
IDENTIFIER = bytes.fromhex("102132435465768798a9bacbdcedfe0f")
STATE = (0.5, -1.25, 2.0, 10.0, -0.001, 3.5)
STATE_POSITION = as_float32(STATE[:3])
STATE_VELOCITY = as_float32(STATE[3:])
# An exchange after a refused call: were anything sent before it, the device would see that first.
POWER_REQUEST = wire.get_power_status()
POWER_EXCHANGE = (Expect(POWER_REQUEST), Reply(wire.power_status(1)))


@pytest.fixture
def arm_on(fake_device):
    """`arm, device = arm_on(steps...)`: an Ostrel3 on a fake device playing those steps."""

    def start(*steps, strict=True):
        device = fake_device(*steps, strict=strict)
        stream = ornix.SerialStream(device.path)
        return ornix.Ostrel3(stream), device

    return start


def test_device_wakeup_as_tuple_and_as_dict(arm_on):
    wakeup = load_script("arm-wakeup.jsonl")
    arm, _ = arm_on(*wakeup, *wakeup)
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
        Expect(wire.get_device_id()),
        Reply(wire.device_id(IDENTIFIER)),
        Expect(wire.get_firmware_version()),
        Reply(wire.firmware_version(bytes(range(16)))),
    )
    device_id = arm.get_device_id()
    assert isinstance(device_id, uuid.UUID)
    assert device_id.bytes == IDENTIFIER
    assert str(arm.get_firmware_version()) == "00010203-0405-0607-0809-0a0b0c0d0e0f"


def test_status_readings(arm_on):
    arm, _ = arm_on(
        Expect(wire.get_motor_currents()),
        Reply(wire.motor_currents(0.25, -3.0, 1e6)),
        Expect(wire.get_device_orientation()),
        Reply(wire.device_orientation(1.0, 0.0, -0.5, 0.1)),
        Expect(POWER_REQUEST),
        Reply(wire.power_status(3)),
        Expect(POWER_REQUEST),
        Reply(wire.power_status(2)),
        Expect(wire.get_temperature()),
        Reply(wire.temperature(36.6)),
    )
    assert arm.get_motor_currents() == [0.25, -3.0, 1e6]
    assert arm.get_device_orientation() == as_float32([1.0, 0.0, -0.5, 0.1])
    assert arm.get_power_status() is True
    assert arm.get_power_status() is False
    assert arm.get_temperature() == as_float32([36.6])[0]


@pytest.mark.parametrize(
    "method, reply",
    [
        ("end_effector_force", wire.state),
        ("joint_torques", wire.joint_state),
        ("end_effector_position", wire.state),
        ("joint_angles", wire.joint_state),
    ],
)
def test_motion_commands_send_the_first_three_values(arm_on, method, reply):
    request = getattr(wire, method)
    arm, _ = arm_on(
        Expect(request(1.0, 2.0, 3.0)),
        Reply(reply(*STATE)),
        Expect(request()),
        Reply(reply(*STATE)),
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
        Expect(wire.device_wakeup()),
        Reply(wire.device_info(1, 4, 1, 2, IDENTIFIER)),
        Expect(wire.end_effector_force(1.0, 2.0, 3.0)),
        Reply(wire.state(*STATE)),
        Expect(wire.joint_torques(4.0, 5.0, 6.0)),
        Reply(wire.joint_state(*STATE)),
        Expect(wire.joint_angles(0.5, 0.5, 0.5)),
        Expect(wire.get_motor_currents()),
        Reply(wire.motor_currents(7.0, 8.0, 9.0)),
        Expect(wire.end_effector_position()),
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
    arm, _ = arm_on(Reply(wire.state(*STATE)), Reply(wire.motor_currents(1, 2, 3), delay=0.2))
    assert arm.ReceiveCurrent([9.0] * 4) == [9.0] * 4
    with pytest.warns(DeprecationWarning):
        assert arm.ReceiveState([5.0] * 3, [6.0] * 5) == ([5.0] * 3, [6.0] * 5)


@pytest.mark.parametrize(
    "call, frame",
    [
        (lambda arm: arm.SendForce(1.0), wire.end_effector_force(1, 0, 0)),
        (lambda arm: arm.SendForce(), wire.end_effector_force(0, 0, 0)),
        (lambda arm: arm.SendForce(1, 2, 3), wire.end_effector_force(1, 2, 3)),
        (lambda arm: arm.SendForce(ForceZ=2.5), wire.end_effector_force(0, 0, 2.5)),
        (lambda arm: arm.SendForce(force=(4, 5, 6)), wire.end_effector_force(4, 5, 6)),
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
    arm, _ = arm_on(Reply(wire.state(*STATE)), Reply(wire.joint_state(*STATE)), strict=False)
    with pytest.warns(DeprecationWarning) as caught:
        call(arm)
    assert [str(w.message) for w in caught] == [text]
    assert caught[0].filename == __file__


def test_ignored_warning_still_sends(arm_on):
    arm, device = arm_on(Expect(wire.device_wakeup()))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        arm.SendDeviceWakeup()
    assert device.wait_until_played()


def test_warning_turned_into_an_error_is_raised_after_the_frame_went_out(arm_on):
    arm, device = arm_on(Expect(wire.end_effector_position(1, 2, 3)))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="SendPosition is deprecated"):
            arm.SendPosition([1, 2, 3])
    assert device.wait_until_played()


def test_wrong_response_code_fails_quietly_and_the_next_exchange_succeeds(arm_on, native_output):
    arm, _ = arm_on(
        Expect(wire.joint_torques(1, 1, 1)),
        Reply(wire.state(*STATE)),
        Expect(wire.get_temperature()),
        Reply(wire.temperature(20.5)),
    )
    assert arm.joint_torques([1, 1, 1]) == ([0.0] * 3, [0.0] * 3)
    assert arm.get_temperature() == 20.5
    assert native_output.read().err == ""


def test_arm_keeps_its_stream_alive(fake_device):
    device = fake_device(Expect(wire.get_temperature()), Reply(wire.temperature(1.5)))
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


WAKEUP = (wire.device_wakeup(), wire.device_info(1, 4, 1, 2, IDENTIFIER))
WAKEUP_FIELDS = (1, 4, 1, 2, list(IDENTIFIER))
STATE_REPLY = wire.state(*STATE)
JOINT_STATE_REPLY = wire.joint_state(*STATE)
DECODED_STATE = (STATE_POSITION, STATE_VELOCITY)
IDENTIFIER_UUID = uuid.UUID(bytes=IDENTIFIER)


@pytest.mark.parametrize(
    "call, request_frame, reply, result, released",
    [
        (lambda arm: arm.device_wakeup(), *WAKEUP, WAKEUP_FIELDS, True),
        (
            lambda arm: list(arm.device_wakeup_dict().values()),
            *WAKEUP,
            [*WAKEUP_FIELDS[:4], IDENTIFIER_UUID],
            True,
        ),
        (
            lambda arm: arm.end_effector_force(),
            wire.end_effector_force(),
            STATE_REPLY,
            DECODED_STATE,
            True,
        ),
        (
            lambda arm: arm.joint_torques(),
            wire.joint_torques(),
            JOINT_STATE_REPLY,
            DECODED_STATE,
            True,
        ),
        (
            lambda arm: arm.end_effector_position(),
            wire.end_effector_position(),
            STATE_REPLY,
            DECODED_STATE,
            True,
        ),
        (
            lambda arm: arm.joint_angles(),
            wire.joint_angles(),
            JOINT_STATE_REPLY,
            DECODED_STATE,
            True,
        ),
        (lambda arm: arm.ReceiveDeviceInfo()[:4], b"", WAKEUP[1], WAKEUP_FIELDS[:4], True),
        (lambda arm: arm.ReceiveState(), b"", STATE_REPLY, DECODED_STATE, True),
        (lambda arm: arm.ReceiveJointState(), b"", JOINT_STATE_REPLY, DECODED_STATE, True),
        (lambda arm: arm.ReceiveCurrent(), b"", wire.motor_currents(1, 2, 3), [1, 2, 3], True),
        (
            lambda arm: arm.get_firmware_version(),
            wire.get_firmware_version(),
            wire.firmware_version(IDENTIFIER),
            IDENTIFIER_UUID,
            False,
        ),
        (
            lambda arm: arm.get_device_id(),
            wire.get_device_id(),
            wire.device_id(IDENTIFIER),
            IDENTIFIER_UUID,
            False,
        ),
        (
            lambda arm: arm.get_motor_currents(),
            wire.get_motor_currents(),
            wire.motor_currents(1, 2, 3),
            [1, 2, 3],
            False,
        ),
        (
            lambda arm: arm.get_device_orientation(),
            wire.get_device_orientation(),
            wire.device_orientation(1, 2, 3, 4),
            [1, 2, 3, 4],
            False,
        ),
        (lambda arm: arm.get_power_status(), POWER_REQUEST, wire.power_status(1), True, False),
        (
            lambda arm: arm.get_temperature(),
            wire.get_temperature(),
            wire.temperature(2.0),
            2.0,
            False,
        ),
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
    arm, device = arm_on(Expect(wire.device_wakeup()))
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
        Expect(wire.device_wakeup()),
        Reply(wire.motor_currents(1, 2, 3)),
        Expect(wire.device_wakeup()),
        # A code neither device sends.
        Reply(b"\x55"),
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
    arm, _ = arm_on(Expect(wire.get_device_id()))
    start = time.monotonic()
    assert arm.get_device_id() == uuid.UUID(int=0)
    # Five seconds are the library's time-out; the one error line shows that one was waited out.
    assert 4.0 < time.monotonic() - start < 30.0
    assert re.fullmatch(
        r"\[err\] Library/src/Device\.cpp:57> timeout waiting for header code: \[\d+\] .+\n",
        native_output.read().err,
    )
