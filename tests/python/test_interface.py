"""The module's classes as Python sees them: names, order, signatures and doc strings, from one
table of every class's methods, and what the objects without a device do."""

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

SEND_FORCE_DOC = "[Deprecated] Send force to the device"

# Each method as registered, in order: its name, its signature (or, for an overloaded method,
# the signature and doc string of each overload, in order) and its doc string.
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
    (
        "SendForce",
        [
            (f"({SELF}, force: {ZEROS}) -> None", SEND_FORCE_DOC),
            (
                f"({SELF}, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None",
                SEND_FORCE_DOC,
            ),
        ],
        None,
    ),
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
    (
        "Receive",
        [
            (f"({HANDLE}) -> int", "Receive data from the handle"),
            (
                f"({HANDLE}, obsolete: int) -> int",
                "[DEPRECATED] Receive current and return current",
            ),
        ],
        None,
    ),
    ("GetQuilletStatus", f"({HANDLE}) -> dict", "Get the most recent Quillet informations"),
]


UUID_METHODS = [
    ("__init__", "(self: OrnixHardwareAPI.UUID) -> None", None),
    ("bytes", "(self: OrnixHardwareAPI.UUID) -> list[int]", None),
]
# The one that refuses construction, pybind11's, whose text is not the module's.
DEVICE_METHODS = [("__init__", None, None)]

CLASSES = {
    ornix.Ostrel3: ("Ostrel3 Device Class", OSTREL3_METHODS),
    ornix.Handle: ("The quillet handle class", HANDLE_METHODS),
    ornix.UUID: (None, UUID_METHODS),
    ornix.Device: (None, DEVICE_METHODS),
}


def registered(cls):
    return [name for name in vars(cls) if not name.startswith("_") or name == "__init__"]


def expected_doc(name, signature, doc):
    """The doc string pybind11 writes for a method of this signature or these overloads."""
    if isinstance(signature, str):
        return f"{name}{signature}\n" + ("" if doc is None else f"\n{doc}\n")
    overloads = [
        f"{number}. {name}{overload}\n\n{text}\n"
        for number, (overload, text) in enumerate(signature, start=1)
    ]
    return f"{name}(*args, **kwargs)\nOverloaded function.\n\n" + "\n".join(overloads)


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


@pytest.mark.parametrize("cls", CLASSES, ids=lambda cls: cls.__name__)
def test_classes_register_their_methods_in_order(cls):
    doc, methods = CLASSES[cls]
    assert cls.__doc__ == doc
    assert registered(cls) == [name for name, _, _ in methods]


@pytest.mark.parametrize(
    "cls, name, signature, doc",
    [
        pytest.param(cls, *method, id=f"{cls.__name__}.{method[0]}")
        for cls, (_, methods) in CLASSES.items()
        for method in methods
        if method[1] is not None
    ],
)
def test_signatures_and_doc_strings(cls, name, signature, doc):
    assert getattr(cls, name).__doc__ == expected_doc(name, signature, doc)


def test_uuid_holds_sixteen_zero_bytes_and_compares_by_identity():
    first, second = ornix.UUID(), ornix.UUID()
    assert first.bytes() == [0] * 16
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
