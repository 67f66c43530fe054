"""Companion of the OrnixHardwareAPI module: find, check and open devices, and virtual devices
for programs and tests."""

from .access import NotASerialPortError, PortBusyError, check_port
from .devices import (
    Answer,
    DeviceClosedError,
    DeviceNotFoundError,
    Identity,
    OpenedDevice,
    SeveralDevicesError,
    WrongDeviceError,
    open_arm,
    open_handle,
    probe,
)
from .diagnostics import diagnostics_to_logging
from .ports import Port, list_ports

__all__ = [
    "Answer",
    "DeviceClosedError",
    "DeviceNotFoundError",
    "Identity",
    "NotASerialPortError",
    "OpenedDevice",
    "Port",
    "PortBusyError",
    "SeveralDevicesError",
    "WrongDeviceError",
    "check_port",
    "diagnostics_to_logging",
    "list_ports",
    "open_arm",
    "open_handle",
    "probe",
]
