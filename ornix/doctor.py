"""`ornix doctor`: looks for the usual reasons why a device cannot be reached or is slow, and
explains each with its fix. It only reads: it opens no port and changes nothing."""

from __future__ import annotations

import glob
import os
import shutil
import stat
import subprocess
import sys
from dataclasses import dataclass
from typing import Any, Callable, Optional

from .access import User, may_open, permission_advice
from .ports import list_ports
from .text import printable

# The FTDI driver's default: each answer may wait this long in the adapter.
FTDI_DEFAULT_LATENCY_MS = 16
FTDI_RULE = 'ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR{latency_timer}="1"'
# What an entry of /dev that is no character device is, by its file type.
_FILE_TYPES = {
    stat.S_IFDIR: "a directory",
    stat.S_IFIFO: "a FIFO",
    stat.S_IFREG: "a regular file",
    stat.S_IFSOCK: "a socket",
    stat.S_IFBLK: "a block device",
}


@dataclass(frozen=True)
class Finding:
    """One thing the doctor looked at: what it found and, for a problem, the fix."""

    subject: str
    text: str
    problem: bool = False
    fix: Optional[str] = None

    def to_json(self) -> dict[str, Any]:
        return {
            "subject": self.subject,
            "problem": self.problem,
            "text": self.text,
            "fix": self.fix,
        }


def process_running(name: str) -> Optional[bool]:
    """Whether a process of this name runs, or None where that cannot be told."""
    if not sys.platform.startswith("linux") or shutil.which("pgrep") is None:
        return None
    try:
        result = subprocess.run(["pgrep", "-x", name], capture_output=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return None
    # pgrep: 0 when a process matched, 1 when none did, more when it could not tell.
    return {0: True, 1: False}.get(result.returncode)


def _unknown(name: str) -> Optional[bool]:
    return None


class Doctor:
    """The checks, over a file system tree rooted at `root` (the machine's by default; a fake
    tree in tests), for `user` on `platform`."""

    def __init__(
        self,
        root: str = "/",
        *,
        user: Optional[User] = None,
        platform: str = sys.platform,
        running: Optional[Callable[[str], Optional[bool]]] = None,
    ) -> None:
        self.root = root
        self.user = user or User.current()
        self.platform = platform
        # The processes that run are this machine's: another tree's are not known.
        self.running = running or (process_running if root == "/" else _unknown)
        self.linux = platform.startswith("linux")

    def _path(self, *parts: str) -> str:
        return os.path.join(self.root, *parts)

    def _shown(self, path: str) -> str:
        """A path in the tree as it would be on the machine."""
        return "/" + os.path.relpath(path, self.root)

    def examine(self) -> list[Finding]:
        return self.ports() + self.modem_manager() + self.latency_timers() + self.bluetooth()

    def ports(self) -> list[Finding]:
        """Whether the user may open each port that detection would probe."""
        dev = self._path("dev")
        # What the operating system knows describes this machine, not a tree of another.
        found = list_ports(dev) if self.root == "/" else list_ports(dev, system_ports=list)
        candidates = [port for port in found if port.probed_by]
        if not candidates:
            return [
                Finding(
                    "ports",
                    "no port of the kinds detection probes (USB modem, USB serial, Bluetooth) "
                    "is present",
                    fix="plug the device in and run `ornix list`; without hardware, "
                    "`ornix-sim arm handle` serves virtual devices",
                )
            ]
        findings = []
        for port in candidates:
            shown = self._shown(port.device)
            try:
                status = os.stat(port.device)
            except OSError as error:
                findings.append(Finding(shown, f"cannot be examined: {error.strerror}", True))
                continue
            other = self._not_a_port(port.device, status)
            if other is not None:
                fix = (
                    f"detection probes every entry named like a port: remove or rename {shown}, "
                    "or make it a link to the device's port"
                )
                findings.append(Finding(shown, f"is not a serial port: {other}", True, fix))
            elif may_open(status, self.user):
                text = f"{self.user.name} may open it ({port.role})"
                findings.append(Finding(shown, text))
            else:
                advice = permission_advice(shown, status, self.user, self.platform)
                findings.append(Finding(shown, f"{self.user.name} may not open it", True, advice))
        return findings

    def _not_a_port(self, path: str, status: os.stat_result) -> Optional[str]:
        """What the entry at `path` is when it is no serial port, None when it is one.

        Told from the file alone: opening a serial port raises its DTR line, which resets some
        boards. Ports are character devices; on Linux sysfs names the class of each, and only
        terminals are ports (pseudo-terminals, which the links of `ornix-sim --link` point at,
        have no entry there).
        """
        if stat.S_ISCHR(status.st_mode):
            kind = self._device_class(status.st_rdev) if self.linux else None
            if kind is None or kind == "tty":
                return None
            what = f"a character device of class {kind}, not a terminal"
        else:
            what = _FILE_TYPES.get(stat.S_IFMT(status.st_mode), "no device")
        if os.path.islink(path):
            what += f", through a link to {os.path.realpath(path)}"
        return what

    def _device_class(self, device: int) -> Optional[str]:
        """The class sysfs gives the character device, None where it has no entry for it."""
        number = f"{os.major(device)}:{os.minor(device)}"
        try:
            return os.path.basename(
                os.readlink(self._path("sys", "dev", "char", number, "subsystem"))
            )
        except OSError:
            return None

    def modem_manager(self) -> list[Finding]:
        if not self.linux or self.running("ModemManager") is not True:
            return []
        return [
            Finding(
                "ModemManager",
                "ModemManager is running: it opens every freshly plugged USB modem port (where "
                "an arm appears, ttyACM) for several seconds to look for a modem, so the port "
                "is busy meanwhile and the device receives commands it does not know",
                True,
                "let it ignore the device with a udev rule, such as "
                'ATTRS{idVendor}=="VVVV", ATTRS{idProduct}=="PPPP", ENV{ID_MM_DEVICE_IGNORE}="1" '
                "in /etc/udev/rules.d/50-ornix.rules (the ids are in `ornix list`), or, when no "
                "modem is used, stop it: `sudo systemctl disable --now ModemManager`",
            )
        ]

    def latency_timers(self) -> list[Finding]:
        """The latency timer of each FTDI USB-serial adapter, which sets how long an answer may
        wait in the adapter before it is passed on."""
        findings = []
        pattern = self._path("sys", "bus", "usb-serial", "devices", "*", "latency_timer")
        for path in sorted(glob.glob(pattern)):
            port = os.path.basename(os.path.dirname(path))
            try:
                with open(path) as timer:
                    milliseconds = int(timer.read().strip())
            except (OSError, ValueError) as error:
                findings.append(Finding(f"/dev/{port}", f"latency timer unreadable: {error}", True))
                continue
            if milliseconds <= 1:
                findings.append(Finding(f"/dev/{port}", "latency timer 1 ms"))
                continue
            findings.append(
                Finding(
                    f"/dev/{port}",
                    f"the USB-serial adapter's latency timer is {milliseconds} ms: each answer "
                    f"may wait that long in the adapter, which allows about "
                    f"{1000 // milliseconds} exchanges a second",
                    True,
                    f"set 1 ms now with `echo 1 | sudo tee {self._shown(path)}`, and for good "
                    f"with the udev rule {FTDI_RULE} in /etc/udev/rules.d/50-ornix-ftdi.rules",
                )
            )
        return findings

    def bluetooth(self) -> list[Finding]:
        """How a wireless handle's serial port comes to be."""
        dev = self._path("dev")
        if not self.linux:
            if os.path.exists(os.path.join(dev, "cu.Bluetooth-Incoming-Port")):
                return []
            return [
                Finding(
                    "Bluetooth",
                    "no Bluetooth serial port (cu.Bluetooth-Incoming-Port) is present",
                    fix="pair the handle in the Bluetooth settings; its port then appears",
                )
            ]
        try:
            controllers = sorted(os.listdir(self._path("sys", "class", "bluetooth")))
        except OSError:
            controllers = []
        if not controllers or glob.glob(os.path.join(dev, "rfcomm*")):
            return []
        return [
            Finding(
                "Bluetooth",
                f"a Bluetooth controller ({controllers[0]}) is present, but no rfcomm port is "
                "bound, so no wireless handle can be found",
                fix="pair and trust the handle (`bluetoothctl`, then `pair ADDRESS` and `trust "
                "ADDRESS`), then bind its serial port with `sudo rfcomm bind 0 ADDRESS 1`: the "
                "handle appears as /dev/rfcomm0",
            )
        ]


def report(findings: list[Finding]) -> str:
    """The findings as text for a terminal, problems marked."""
    lines = []
    for finding in findings:
        mark = "problem" if finding.problem else "ok" if finding.fix is None else "note"
        # Names from the file system may hold newlines and escape codes: one finding, one line.
        lines.append(f"{mark:8} {printable(finding.subject)}: {printable(finding.text)}")
        if finding.fix:
            lines.append(f"{'':8}   fix: {printable(finding.fix)}")
    problems = sum(finding.problem for finding in findings)
    lines.append(f"{problems} problem{'s' if problems != 1 else ''} found")
    return "\n".join(lines)
