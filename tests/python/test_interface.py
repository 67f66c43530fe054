"""The module's classes as Python sees them: names, order, signatures and doc strings."""

import pytest

import OrnixHardwareAPI as ornix
from interpreter import assert_refuses_new_attributes

# Names, signatures and doc strings: no library code runs.
pytestmark = pytest.mark.unsanitized

ZEROS = "list[float] = [0.0, 0.0, 0.0]"
SELF = "self: OrnixHardwareAPI.Ostrel3"
RECEIVE_DEVICE_INFO_DOC = (
    "\n            Receive device info and return a tuple with the following fields: \n\n"
    "            device_id (uint16_t)\n            \n"
    "            device_model_num (uint8_t)\n            \n"
    "            hardware_version (uint8_t)\n            \n"
    "            firmware_version (uint8_t)\n            \n"
    "            device_id_ext (UUID)\n            "
)

OSTREL3_METHODS = [
    (
        "__init__",
        "(self: OrnixHardwareAPI.Ostrel3, arg0: OrnixHardwareAPI.SerialStream) -> None",
        None,
    ),
    (
        "device_wakeup",
        f"({SELF}) -> tuple",
        "Wakeup the device and return the device info as a tuple.",
    ),
    (
        "device_wakeup_dict",
        f"({SELF}) -> dict",
        "Wakeup the device and return the device info as a dict.",
    ),
    ("get_firmware_version", f"({SELF}) -> object", "Receive the firmware version of the device."),
    ("get_device_id", f"({SELF}) -> object", "Receive the UUID of the device."),
    (
        "get_motor_currents",
        f"({SELF}) -> Annotated[list[float], FixedSize(3)]",
        "Receive the motor currents of the device.",
    ),
    (
        "get_device_orientation",
        f"({SELF}) -> Annotated[list[float], FixedSize(4)]",
        "Receive the orientation of the base of the device.",
    ),
    ("get_power_status", f"({SELF}) -> bool", "Receive the power status of the device."),
    ("get_temperature", f"({SELF}) -> float", "Receive the temperature of the device."),
    (
        "end_effector_force",
        f"({SELF}, force request vector: {ZEROS}) -> tuple",
        "Send forces to the device and receive device states",
    ),
    (
        "joint_torques",
        f"({SELF}, joint torque request vector: {ZEROS}) -> tuple",
        "Send joint torques to the device and receive the joint states",
    ),
    (
        "end_effector_position",
        f"({SELF}, position request vector: {ZEROS}) -> tuple",
        "Send end-effector position and receive device states",
    ),
    (
        "joint_angles",
        f"({SELF}, joint angle request vector: {ZEROS}) -> tuple",
        "Send joint angles to the device and receive the joint states",
    ),
    ("SendDeviceWakeup", f"({SELF}) -> None", "[DEPRECATED] Send a device wakeup command"),
    ("ReceiveDeviceInfo", f"({SELF}) -> tuple", RECEIVE_DEVICE_INFO_DOC),
    ("SendForce", None, None),
    (
        "ReceiveState",
        f"({SELF}, position: {ZEROS}, velocity: {ZEROS}) -> tuple",
        "[Deprecated] receive state and return position and velocity",
    ),
    (
        "ReceiveJointState",
        f"({SELF}, joint_position: {ZEROS}, joint_velocity: {ZEROS}) -> tuple",
        "[Deprecated] receive joint state and return position and velocity in the joint reference frame",
    ),
    (
        "SendJointTorques",
        f"({SELF}, joint_torque: {ZEROS}) -> None",
        "[Deprecated] send joint torque",
    ),
    ("SendAngle", f"({SELF}, angle: {ZEROS}) -> None", "Send angles to the device"),
    ("RequestCurrent", f"({SELF}) -> None", "request current"),
    (
        "ReceiveCurrent",
        f"({SELF}, current: {ZEROS}) -> list[float]",
        "receive current and return current",
    ),
    (
        "SendPosition",
        f"({SELF}, position: {ZEROS}) -> None",
        "[Deprecated] Send Position to the device",
    ),
]


def registered(cls):
    return [name for name in vars(cls) if not name.startswith("_") or name == "__init__"]


def test_module_registers_in_order_with_the_version_last():
    ours = [name for name in vars(ornix) if not name.startswith("__") or name == "__version__"]
    assert ours == [
        "SerialStream",
        "UUID",
        "Device",
        "get_cpp_version",
        "print_cpp_version",
        "detect_ostrel3s",
        "detect_handles",
        "detect_wired_handles",
        "detect_wireless_handles",
        "Ostrel3",
        "Handle",
        "__version__",
    ]


def test_ostrel3_methods_are_registered_in_order():
    assert ornix.Ostrel3.__doc__ == "Ostrel3 Device Class"
    assert registered(ornix.Ostrel3) == [name for name, _, _ in OSTREL3_METHODS]


@pytest.mark.parametrize("name, signature, doc", [m for m in OSTREL3_METHODS if m[1] is not None])
def test_ostrel3_signatures_and_doc_strings(name, signature, doc):
    expected = f"{name}{signature}\n" + ("" if doc is None else f"\n{doc}\n")
    assert getattr(ornix.Ostrel3, name).__doc__ == expected


def test_send_force_overloads_in_order():
    doc = "[Deprecated] Send force to the device"
    assert ornix.Ostrel3.SendForce.__doc__ == (
        "SendForce(*args, **kwargs)\nOverloaded function.\n\n"
        f"1. SendForce({SELF}, force: {ZEROS}) -> None\n\n{doc}\n\n"
        f"2. SendForce({SELF}, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None"
        f"\n\n{doc}\n"
    )


def test_uuid_and_device_classes():
    assert registered(ornix.UUID) == ["__init__", "bytes"]
    assert ornix.UUID.__doc__ is None
    assert ornix.UUID.__init__.__doc__ == "__init__(self: OrnixHardwareAPI.UUID) -> None\n"
    assert ornix.UUID.bytes.__doc__ == "bytes(self: OrnixHardwareAPI.UUID) -> list[int]\n"
    assert registered(ornix.Device) == ["__init__"]  # the one that refuses construction
    assert ornix.Device.__doc__ is None


def test_uuid_holds_sixteen_zero_bytes_and_compares_by_identity():
    first, second = ornix.UUID(), ornix.UUID()
    assert first.bytes() == [0] * 16
    assert first.bytes() is not first.bytes()
    listed = first.bytes()
    listed[0] = 7
    assert first.bytes() == [0] * 16
    assert first != second and first == first
    with pytest.raises(TypeError):
        ornix.UUID(1)
    assert_refuses_new_attributes(first)


def test_device_cannot_be_constructed():
    with pytest.raises(TypeError, match=r"^OrnixHardwareAPI\.Device: No constructor defined!$"):
        ornix.Device()


HANDLE = "self: OrnixHardwareAPI.Handle"
HANDLE_METHODS = [
    ("__init__", f"({HANDLE}, arg0: OrnixHardwareAPI.SerialStream) -> None", None),
    ("SendDeviceWakeup", f"({HANDLE}) -> None", None),
    (
        "SendHandleState",
        f"({HANDLE}, device_id: int = 0, data_length: int = 0, user_data: int = None) -> None",
        "send handle state",
    ),
    ("RequestStatus", f"({HANDLE}) -> None", "request handle status"),
    (
        "OnReceiveHandleInfo",
        f"({HANDLE}, tool_data_remaining: int, device_id: int, device_model_number: int, "
        "hardware_version: int, firmware_version: int) -> None",
        "OnReceiveHandleInfo",
    ),
    (
        "OnReceiveHandleStatusMessage",
        f"({HANDLE}, device_id: int, quaternion: float, error_flag: int, "
        "hall_effect_sensor_level: int, user_data_length: int, user_data: int) -> None",
        "OnReceiveHandleStatusMessage",
    ),
    (
        "OnReceiveHandleErrorResponse",
        f"({HANDLE}, device_id: int, error_code: int) -> None",
        "OnReceiveHandleErrorResponse",
    ),
    ("Receive", None, None),
    ("GetQuilletStatus", f"({HANDLE}) -> dict", "Get the most recent Quillet informations"),
]


def test_handle_methods_are_registered_in_order():
    assert ornix.Handle.__doc__ == "The quillet handle class"
    assert registered(ornix.Handle) == [name for name, _, _ in HANDLE_METHODS]


@pytest.mark.parametrize("name, signature, doc", [m for m in HANDLE_METHODS if m[1] is not None])
def test_handle_signatures_and_doc_strings(name, signature, doc):
    expected = f"{name}{signature}\n" + ("" if doc is None else f"\n{doc}\n")
    assert getattr(ornix.Handle, name).__doc__ == expected


def test_receive_overloads_in_order():
    assert ornix.Handle.Receive.__doc__ == (
        "Receive(*args, **kwargs)\nOverloaded function.\n\n"
        f"1. Receive({HANDLE}) -> int\n\nReceive data from the handle\n\n"
        f"2. Receive({HANDLE}, obsolete: int) -> int\n\n"
        "[DEPRECATED] Receive current and return current\n"
    )
