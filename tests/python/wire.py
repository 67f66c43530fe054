"""The frames of the arm and the handle, as the tests send and expect them: their codes, and a
builder for each frame, named as recordings name the frames (tools/ornix-sim/RECORDING.md).
Multi-byte values are little-endian and floats 32-bit IEEE 754, as on the wire."""

import struct

# Requests of the arm.
DEVICE_WAKEUP = 0x0A  # the handle's too
GET_DEVICE_ID = b"\x0d\xd1"
GET_FIRMWARE_VERSION = b"\x0d\xd2"
GET_MOTOR_CURRENTS = 0xAB
GET_DEVICE_ORIENTATION = 0x0C
GET_POWER_STATUS = 0xAC
GET_TEMPERATURE = 0xAA
JOINT_TORQUES = 0x1A
JOINT_ANGLES = 0x1C
END_EFFECTOR_FORCE = 0x2A
END_EFFECTOR_POSITION = 0x2C

# Replies of the arm.
DEVICE_INFO = 0x0B
DEVICE_ID = GET_DEVICE_ID + b"\x10"  # the code, the sub-code and the length, 16
FIRMWARE_VERSION = GET_FIRMWARE_VERSION + b"\x10"
MOTOR_CURRENTS = 0xAB
DEVICE_ORIENTATION = 0x0C
POWER_STATUS = 0xAC
TEMPERATURE = 0xAA
JOINT_STATE = 0x1B
STATE = 0x2B

# Requests of the handle.
REQUEST_STATUS = 0xDA
HANDLE_STATE = 0xDB
REQUEST_ERROR = 0xDF

# Messages of the handle. The status message and the compact packet share their code.
HANDLE_INFO = 0xD0
STATUS_MESSAGE = 0xDA
ERROR_RESPONSE = 0xDF
COMPACT_STATUS = 0xDA

# The byte stuffing of the compact packet.
COMPACT_END = 0xC0
COMPACT_ESCAPE = 0xDB
_STUFFED = {
    COMPACT_END: bytes([COMPACT_ESCAPE, 0xDC]),
    COMPACT_ESCAPE: bytes([COMPACT_ESCAPE, 0xDD]),
}


def floats(*values):
    """The values as little-endian 32-bit floats."""
    return struct.pack(f"<{len(values)}f", *values)


def read_floats(data):
    """The little-endian 32-bit floats of `data`."""
    return list(struct.unpack(f"<{len(data) // 4}f", data))


def as_float32(values):
    """The values as the wire carries them: rounded to 32-bit floats."""
    return list(struct.unpack(f"<{len(values)}f", floats(*values)))


def _u16(value):
    return struct.pack("<H", value)


# Requests of the arm.


def device_wakeup():
    return bytes([DEVICE_WAKEUP])


def get_device_id():
    return GET_DEVICE_ID


def get_firmware_version():
    return GET_FIRMWARE_VERSION


def get_motor_currents():
    return bytes([GET_MOTOR_CURRENTS])


def get_device_orientation():
    return bytes([GET_DEVICE_ORIENTATION])


def get_power_status():
    return bytes([GET_POWER_STATUS])


def get_temperature():
    return bytes([GET_TEMPERATURE])


def motion_request(code, x=0.0, y=0.0, z=0.0):
    """A motion command of the arm: its code and three floats."""
    return bytes([code]) + floats(x, y, z)


def joint_torques(x=0.0, y=0.0, z=0.0):
    return motion_request(JOINT_TORQUES, x, y, z)


def joint_angles(x=0.0, y=0.0, z=0.0):
    return motion_request(JOINT_ANGLES, x, y, z)


def end_effector_force(x=0.0, y=0.0, z=0.0):
    return motion_request(END_EFFECTOR_FORCE, x, y, z)


def end_effector_position(x=0.0, y=0.0, z=0.0):
    return motion_request(END_EFFECTOR_POSITION, x, y, z)


# Replies of the arm.


def device_info(device_id, model, hardware, firmware, device_id_ext):
    """The wake-up's answer: `device_id_ext` is the 16-byte identifier."""
    return (
        bytes([DEVICE_INFO]) + _u16(device_id) + bytes([model, hardware, firmware]) + device_id_ext
    )


def device_id(identifier):
    return DEVICE_ID + identifier


def firmware_version(version):
    return FIRMWARE_VERSION + version


def motor_currents(*currents):
    return bytes([MOTOR_CURRENTS]) + floats(*currents)


def device_orientation(w, x, y, z):
    return bytes([DEVICE_ORIENTATION]) + floats(w, x, y, z)


def power_status(status):
    return bytes([POWER_STATUS, status])


def temperature(celsius):
    return bytes([TEMPERATURE]) + floats(celsius)


def joint_state(*position_and_velocity):
    return bytes([JOINT_STATE]) + floats(*position_and_velocity)


def state(*position_and_velocity):
    """The end-effector state: position, then velocity."""
    return bytes([STATE]) + floats(*position_and_velocity)


# Requests of the handle.


def request_status():
    return bytes([REQUEST_STATUS])


def handle_state(device_id=0, user_data=b""):
    return bytes([HANDLE_STATE]) + _u16(device_id) + bytes([len(user_data)]) + user_data


def request_error(device_id):
    return bytes([REQUEST_ERROR]) + _u16(device_id)


# Messages of the handle.


def handle_info(tool_data_remaining, device_id, model, hardware, firmware):
    return (
        bytes([HANDLE_INFO, tool_data_remaining])
        + _u16(device_id)
        + bytes([model, hardware, firmware])
    )


def status_message(device_id, error_flag, hall_level, quaternion, user_data=b""):
    return (
        bytes([STATUS_MESSAGE])
        + _u16(device_id)
        + bytes([error_flag, hall_level])
        + floats(*quaternion)
        + bytes([len(user_data)])
        + user_data
    )


def error_response(device_id, error_code):
    return bytes([ERROR_RESPONSE]) + _u16(device_id) + bytes([error_code])


def compact_data(
    error_flag=0,
    hall_level=0,
    buttons=0,
    device_id=0,
    quaternion=(0, 0, 0, 0),
    battery=0,
    sequence=0,
):
    """The 18 data bytes of a compact packet: the quaternion's components in units of 1/32768,
    the battery in units of 5 mV above 3.0 V. The bytes that carry nothing hold 01 02 and
    05 06 07, so that a reader that takes them for fields is caught."""
    return (
        bytes([0x01, 0x02, error_flag, buttons << 5 | hall_level, device_id, 0x05, 0x06, 0x07])
        + struct.pack("<4h", *quaternion)
        + bytes([battery, sequence])
    )


def stuffed(data):
    """The data bytes as a compact packet carries them: 0xC0 and 0xDB escaped."""
    return b"".join(_STUFFED.get(byte, bytes([byte])) for byte in data)


def compact_status(data):
    """A compact packet of these 18 data bytes: the code, the bytes stuffed, the end byte."""
    return bytes([COMPACT_STATUS]) + stuffed(data) + bytes([COMPACT_END])
