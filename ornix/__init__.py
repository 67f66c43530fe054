"""Companion of the OrnixHardwareAPI module: find, check and open devices, drive an arm with a
native servo loop, its effects and its safety envelope, and virtual devices for programs and
tests."""

from .access import NotASerialPortError, PortBusyError, check_port
from .connection import Reconnect
from .devices import (
    Answer,
    DeviceClosedError,
    DeviceNotFoundError,
    Identity,
    OpenedDevice,
    ReconnectingError,
    SeveralDevicesError,
    WrongDeviceError,
    open_arm,
    open_handle,
    probe,
)
from ._native import (
    BoxBoundary,
    ConstantForce,
    Damper,
    Effect,
    SphereBoundary,
    Spring,
    Wall,
)
from .diagnostics import diagnostics_to_logging
from .handle_stream import HandleEvent, HandleStatus, HandleStream
from .ports import Port, list_ports
from .servo import ServoLoop, ServoState

__all__ = [
    "Answer",
    "BoxBoundary",
    "ConstantForce",
    "Damper",
    "DeviceClosedError",
    "DeviceNotFoundError",
    "Effect",
    "HandleEvent",
    "HandleStatus",
    "HandleStream",
    "Identity",
    "NotASerialPortError",
    "OpenedDevice",
    "Port",
    "PortBusyError",
    "Reconnect",
    "ReconnectingError",
    "ServoLoop",
    "ServoState",
    "SeveralDevicesError",
    "SphereBoundary",
    "Spring",
    "Wall",
    "WrongDeviceError",
    "check_port",
    "diagnostics_to_logging",
    "list_ports",
    "open_arm",
    "open_handle",
    "probe",
]
