"""Whether a port can be opened the way the module opens it, and what to do when it cannot: the
checks behind `open_arm`, `open_handle`, `ornix list --probe` and `ornix doctor`."""

from __future__ import annotations

import errno
import getpass
import grp
import os
import stat
import sys
from dataclasses import dataclass
from typing import Optional

from . import _native


class PortBusyError(OSError):
    """Another program holds the port exclusively."""


class NotASerialPortError(OSError):
    """The path exists but is no terminal device, so no serial device can be behind it."""


@dataclass(frozen=True)
class User:
    """Who opens the port: the identity that file permissions are checked against."""

    name: str
    uid: int
    gids: frozenset[int]

    @staticmethod
    def current() -> User:
        return User(getpass.getuser(), os.geteuid(), frozenset([os.getegid(), *os.getgroups()]))


def may_open(status: os.stat_result, user: User) -> bool:
    """Whether `user` may open a file of this status for reading and writing."""
    if user.uid == 0:
        return True
    both = stat.S_IRUSR | stat.S_IWUSR
    if status.st_uid == user.uid:
        return status.st_mode & both == both
    if status.st_gid in user.gids:
        return status.st_mode & (both >> 3) == both >> 3
    return status.st_mode & (both >> 6) == both >> 6


def _group_name(gid: int) -> Optional[str]:
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return None


def _listed_in(group: str, user: User) -> bool:
    try:
        return user.name in grp.getgrnam(group).gr_mem
    except KeyError:
        return False


def permission_advice(
    path: str, status: os.stat_result, user: User, platform: str = sys.platform
) -> str:
    """Why `user` may not open the port at `path`, and how to fix it on `platform`."""
    if not platform.startswith("linux"):
        return (
            f"{user.name} may not open {path}. Serial ports are normally open to every user on "
            f"macOS: see who may open it with `ls -l {path}`, and check that nothing (a security "
            "tool, a sandboxed terminal) restricts access to devices."
        )
    group = _group_name(status.st_gid)
    if group is None or status.st_mode & stat.S_IRWXG == 0:
        return (
            f"{user.name} may not open {path}, and no group grants access to it. Grant access "
            'with a udev rule, such as SUBSYSTEM=="tty", MODE="0660", GROUP="dialout" in '
            "/etc/udev/rules.d/50-ornix.rules, then `sudo udevadm control --reload` and plug "
            "the device in again."
        )
    if _listed_in(group, user):
        return (
            f"{user.name} may not open {path}: the port belongs to group '{group}', which "
            f"{user.name} was added to after this session began. Log out and in again (or run "
            f"`newgrp {group}` in this shell)."
        )
    return (
        f"{user.name} may not open {path}: the port belongs to group '{group}', and {user.name} "
        f"is not in it. Add yourself with `sudo usermod -aG {group} {user.name}`, then log out "
        "and in again (the group is dialout on Debian and Ubuntu, uucp on Arch and Fedora), or "
        'grant access with a udev rule, such as SUBSYSTEM=="tty", MODE="0666" in '
        "/etc/udev/rules.d/50-ornix.rules."
    )


def check_port(path: str, platform: str = sys.platform) -> None:
    """Opens the port as the module opens it (read and write, no controlling terminal, without
    waiting for the modem lines, a terminal only, for exclusive use) and closes it again.

    Raises `FileNotFoundError`, `PermissionError` (with the fix for this platform),
    `PortBusyError`, `NotASerialPortError` or another `OSError`, each saying what to do.
    """
    refused = _native.check_port(os.fsencode(path))
    if refused == 0:
        return
    if refused == errno.ENOENT:
        raise FileNotFoundError(
            errno.ENOENT,
            f"there is no port {path}: is the device plugged in? `ornix list` shows the ports "
            "of this machine",
            path,
        )
    if refused in (errno.EACCES, errno.EPERM):
        advice = permission_advice(path, os.stat(path), User.current(), platform)
        raise PermissionError(refused, advice, path)
    if refused == errno.EBUSY:
        raise _busy(path)
    if refused == errno.ENOTTY:
        raise NotASerialPortError(
            errno.ENOTTY,
            f"{path} is not a serial port (not a terminal device): pass the path of the "
            "device's port, as `ornix list` shows it",
            path,
        )
    raise OSError(refused, os.strerror(refused), path)


def _busy(path: str) -> PortBusyError:
    return PortBusyError(
        errno.EBUSY,
        f"{path} is busy: another program holds it, or this one does elsewhere. Close it there; "
        "on Linux, ModemManager holds a freshly plugged USB modem port for a few seconds (see "
        "`ornix doctor`)",
        path,
    )
