"""The serial ports of this machine, with what the operating system knows of each and the roles
in which the module's detection would probe it."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Optional

from serial.tools.list_ports import comports

from . import _native

DEV = "/dev"

# The role of a port in words, by the detection functions that probe it.
ROLES: dict[tuple[str, ...], str] = {
    ("detect_ostrel3s", "detect_handles"): "arm or handle",
    ("detect_handles", "detect_wired_handles"): "wired handle",
    ("detect_handles", "detect_wireless_handles"): "wireless handle",
}


def detection_kind(name: str) -> tuple[str, ...]:
    """The detection functions that would probe a device node of this name, none for others: the
    library's own rules, by how the name begins (Linux) or what it holds (macOS call-out nodes)."""
    return _native.probed_by(os.fsencode(name))


@dataclass(frozen=True)
class Port:
    """One serial port: its path, the detection functions that would probe it, and the
    operating system's description of it (None where it knows nothing, as for a
    pseudo-terminal)."""

    device: str
    probed_by: tuple[str, ...] = ()
    description: Optional[str] = None
    hwid: Optional[str] = None
    vid: Optional[int] = None
    pid: Optional[int] = None
    serial_number: Optional[str] = None
    manufacturer: Optional[str] = None
    product: Optional[str] = None
    location: Optional[str] = None
    # Stable names of the port under serial/by-id (Linux), which survive replugging.
    by_id: tuple[str, ...] = field(default_factory=tuple)

    @property
    def role(self) -> Optional[str]:
        """What detection would look for on this port, in words."""
        return ROLES.get(self.probed_by)

    @property
    def usb_id(self) -> Optional[str]:
        if self.vid is None or self.pid is None:
            return None
        return f"{self.vid:04x}:{self.pid:04x}"

    def to_json(self) -> dict[str, Any]:
        return {
            "device": self.device,
            "probed_by": list(self.probed_by),
            "role": self.role,
            "description": self.description,
            "hwid": self.hwid,
            "vid": self.vid,
            "pid": self.pid,
            "serial_number": self.serial_number,
            "manufacturer": self.manufacturer,
            "product": self.product,
            "location": self.location,
            "by_id": list(self.by_id),
        }


def _known(value: Optional[str]) -> Optional[str]:
    # pyserial says "n/a" where the system has nothing to say.
    return None if value in (None, "", "n/a") else value


def _from_system(info: Any, by_id: tuple[str, ...]) -> Port:
    return Port(
        device=info.device,
        probed_by=detection_kind(os.path.basename(info.device)),
        description=_known(info.description),
        hwid=_known(info.hwid),
        vid=info.vid,
        pid=info.pid,
        serial_number=info.serial_number,
        manufacturer=info.manufacturer,
        product=info.product,
        location=info.location,
        by_id=by_id,
    )


def _stable_names(directory: str) -> dict[str, tuple[str, ...]]:
    """The serial/by-id links under `directory`, by the real path of the port they name."""
    by_id = os.path.join(directory, "serial", "by-id")
    try:
        names = sorted(os.listdir(by_id))
    except OSError:
        return {}
    found: dict[str, tuple[str, ...]] = {}
    for name in names:
        path = os.path.join(by_id, name)
        target = os.path.realpath(path)
        found[target] = found.get(target, ()) + (path,)
    return found


def _natural_key(path: str) -> tuple[Any, ...]:
    # ttyACM2 before ttyACM10.
    stem = path.rstrip("0123456789")
    number = path[len(stem) :]
    return (stem, int(number) if number else -1)


def list_ports(
    directory: str = DEV,
    *,
    system_ports: Callable[[], Iterable[Any]] = comports,
) -> list[Port]:
    """Every serial port in `directory` that the system describes, and every device node there
    that the module's detection would probe, sorted by path.

    `system_ports` gives the operating system's view (pyserial's `comports`: sysfs on Linux,
    IOKit on macOS); only the ports it places in `directory` are listed.
    """
    by_id = _stable_names(directory)
    ports: dict[str, Port] = {}
    here = os.path.normpath(directory)
    for info in system_ports():
        if os.path.dirname(os.path.normpath(info.device)) == here:
            ports[info.device] = _from_system(info, by_id.get(os.path.realpath(info.device), ()))
    try:
        names = os.listdir(directory)
    except OSError:
        names = []
    for name in names:
        path = os.path.join(directory, name)
        kind = detection_kind(name)
        if kind and path not in ports:
            ports[path] = Port(path, kind, by_id=by_id.get(os.path.realpath(path), ()))
    return sorted(ports.values(), key=lambda port: _natural_key(port.device))
