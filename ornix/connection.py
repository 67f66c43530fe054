"""Connections that look after themselves: a device opened with `reconnect` is watched, and
when its port is gone (the line hung up, the node removed, writes failing as an unplugged
device's do) or too many exchanges in a row time out, it is looked for again, reopened, woken
and checked to be the same unit before the program gets it back.

The same unit is found by the port's stable name under serial/by-id where the system gives one
(a USB device keeps it whatever node it comes back as), else by its USB serial number, else by
what the device says of itself when woken (an arm's device id and UUID, a handle's device id and
versions): a device of the kind that answers otherwise is another unit, and is left alone.
"""

from __future__ import annotations

import atexit
import os
import threading
import time
import weakref
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Optional

import OrnixHardwareAPI as api

from . import _native
from .access import check_port
from .ports import list_ports

if TYPE_CHECKING:
    from .devices import Identity, OpenedDevice

CONNECTED = "connected"
RECONNECTING = "reconnecting"
CLOSED = "closed"


@dataclass(frozen=True)
class Reconnect:
    """How a connection looks after itself: it counts as lost after `after_timeouts`
    exchanges in a row timed out (or at once when its port is gone), looks for the device every
    `interval` seconds for `timeout` seconds, then gives up and is closed. The link is looked at
    every `check` seconds."""

    after_timeouts: int = 3
    timeout: float = 30.0
    interval: float = 0.1
    check: float = 0.02

    def __post_init__(self) -> None:
        if isinstance(self.after_timeouts, bool) or not isinstance(self.after_timeouts, int):
            raise TypeError("after_timeouts must be a whole number")
        if self.after_timeouts < 1:
            raise ValueError(f"after_timeouts must be 1 or more, not {self.after_timeouts}")
        for name in ("timeout", "interval", "check"):
            value = getattr(self, name)
            if not (isinstance(value, (int, float)) and value > 0 and value < float("inf")):
                raise ValueError(
                    f"{name} must be a finite number of seconds above 0, not {value!r}"
                )


def _same_unit(first: Identity, second: Identity) -> bool:
    if first.kind != second.kind or first.device_id != second.device_id:
        return False
    # A handle that answers with its status first tells only its device id.
    known = first.model != 0 and second.model != 0
    return not known or (first.model, first.hardware, first.firmware, first.uuid) == (
        second.model,
        second.hardware,
        second.firmware,
        second.uuid,
    )


class Supervisor:
    """Watches one opened device on a thread of its own and reconnects it when it is lost."""

    def __init__(
        self,
        opened: OpenedDevice[Any],
        settings: Reconnect,
        make: Callable[[api.SerialStream], Any],
        wake: Callable[[api.SerialStream, _native.Stop], Optional[Identity]],
    ) -> None:
        self._opened = opened
        self._settings = settings
        self._make = make
        self._wake = wake
        self._stop = _native.Stop()
        self._ended = threading.Event()
        known = next(
            (port for port in list_ports(opened.directory) if port.device == opened.port), None
        )
        self._stable_names = known.by_id if known else ()
        self._serial_number = known.serial_number if known else None
        self._thread = threading.Thread(target=self._watch, name="ornix-connection", daemon=True)
        self._thread.start()
        _watching.add(self)

    def stop(self) -> None:
        """Ends the watching, and a reconnection in progress, at once."""
        self._stop.request()
        self._ended.set()
        if self._thread is not threading.current_thread():
            self._thread.join()

    def _watch(self) -> None:
        while not self._ended.wait(self._settings.check):
            reason = self._lost()
            if reason is not None:
                self._reconnect(reason)

    def _lost(self) -> Optional[str]:
        device = self._opened._current()
        if device is None:
            return None
        if not os.path.lexists(self._opened.port):
            return f"{self._opened.port} was removed"
        stats = _native.link_stats(device)
        if stats["last_outcome"] == "port_gone":
            return f"the port {self._opened.port} is gone"
        if stats["timeouts_in_a_row"] >= self._settings.after_timeouts:
            return f"{stats['timeouts_in_a_row']} exchanges in a row timed out"
        return None

    def _reconnect(self, reason: str) -> None:
        self._opened._lose(reason)
        deadline = time.monotonic() + self._settings.timeout
        while not self._stop.requested:
            found = self._search()
            if found is not None:
                self._opened._recover(*found)
                return
            if time.monotonic() >= deadline or self._ended.wait(self._settings.interval):
                break
        if not self._stop.requested:
            self._opened._give_up(
                f"{reason}, and the same unit did not come back within "
                f"{self._settings.timeout:g} s"
            )

    def _candidates(self) -> list[str]:
        # The unit's stable names first: where the system gives them, they name it whatever
        # node it comes back as.
        named = [name for name in self._stable_names if os.path.exists(name)]
        if named:
            return named
        ports = list_ports(self._opened.directory)
        if self._serial_number is not None:
            return [port.device for port in ports if port.serial_number == self._serial_number]
        searched_by = "detect_ostrel3s" if self._opened.identity.kind == "arm" else "detect_handles"
        return [port.device for port in ports if searched_by in port.probed_by]

    def _search(self) -> Optional[tuple[str, Any, api.SerialStream]]:
        for path in self._candidates():
            if self._stop.requested:
                return None
            try:
                check_port(path)
            except OSError:
                continue
            stream = api.SerialStream(path)
            if not _native.is_open(stream):
                continue
            identity = self._wake(stream, self._stop)
            if identity is not None and _same_unit(self._opened.identity, identity):
                return self._stable_name(path), self._make(stream), stream
        return None

    def _stable_name(self, path: str) -> str:
        # A node found just before its stable name appeared is still the unit's under that name.
        for name in self._stable_names:
            try:
                if os.path.samefile(name, path):
                    return name
            except OSError:
                continue
        return path


# The connections being watched, whose watching ends before the interpreter does.
_watching: weakref.WeakSet[Supervisor] = weakref.WeakSet()


@atexit.register
def _stop_watching() -> None:
    for supervisor in list(_watching):
        supervisor.stop()
