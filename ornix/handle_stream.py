"""A handle as a stream: a native thread reads everything the handle sends, so that the program
reads its newest status at any moment and takes its button presses and releases, and its battery
running low, as events in order, none lost, at any rate the handle streams."""

from __future__ import annotations

import array
import atexit
import threading
import time
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Callable, Iterator, Optional, Union

import OrnixHardwareAPI as api

from . import _native
from .connection import CLOSED
from .devices import OpenedDevice, ReconnectSetting, open_handle
from .ports import DEV

Quaternion = tuple[float, float, float, float]


@dataclass(frozen=True)
class HandleStatus:
    """The handle's newest status: when it was read (seconds on the clock `time.monotonic`
    reads), how many were read so far, the handle's own packet count (compact packets), its
    device id, orientation (w, x, y, z), error flag, hall sensor level, buttons (a bit each),
    battery (volts; compact packets only) and the gaps in its packet count seen so far."""

    time: float
    count: int
    sequence: int
    device_id: int
    quaternion: Quaternion
    error_flag: int
    hall_level: int
    buttons: int
    battery: float
    gaps: int


@dataclass(frozen=True)
class HandleEvent:
    """A button pressed or released (`button` 0 to 7), or the battery going below the low level
    or back above it ("battery_low", "battery_recovered"), with the time and count of the
    status that told it."""

    time: float
    kind: str
    button: int
    battery: float
    count: int


class HandleStream:
    """Reads `handle` (a port, the device `ornix.open_handle` returns, or an
    `OrnixHardwareAPI.Handle`) on a native thread from `start()` (or the `with` block) to
    `stop()`.

    With `compact` (the default) it reads the compact status packets a streaming handle sends,
    every one of them; otherwise it asks for a status message every `status_period` seconds
    (status messages carry no buttons or battery). Each crossing of `low_battery` volts (0: none)
    is one event. `on_event(event)`, if given, is called for each event on a thread of its own;
    else `events()` yields them. A port given is opened here, with `reconnect` as for
    `open_handle`, and closed by `stop()`; while the stream runs it owns the handle.
    """

    def __init__(
        self,
        handle: Union[str, OpenedDevice[api.Handle], api.Handle],
        *,
        compact: bool = True,
        low_battery: float = 3.4,
        status_period: float = 0.02,
        on_event: Optional[Callable[[HandleEvent], Any]] = None,
        directory: str = DEV,
        reconnect: ReconnectSetting = False,
    ) -> None:
        self._owned: Optional[OpenedDevice[api.Handle]] = None
        if isinstance(handle, str):
            handle = self._owned = open_handle(handle, directory=directory, reconnect=reconnect)
        self._handle = handle
        device = handle.device if isinstance(handle, OpenedDevice) else handle
        if not isinstance(device, api.Handle):
            raise TypeError(f"a handle stream reads a Handle, not {type(handle).__name__}")
        self._settings = (bool(compact), float(low_battery), float(status_period))
        self._native: Union[_native.HandleReader, _Released] = _native.HandleReader(
            device, *self._settings
        )
        self._numbers = array.array("d", bytes(8 * 13))
        self._on_event = on_event
        self._delivering: Optional[threading.Thread] = None
        self._resuming = False
        if isinstance(handle, OpenedDevice):
            handle._drivers.add(self)

    def start(self) -> HandleStream:
        """Starts reading; RuntimeError when it reads already or something else drives the
        handle."""
        self._native.start()
        _reading.add(self)
        if self._on_event is not None:
            self._delivering = threading.Thread(
                target=self._deliver, name="ornix-handle-events", daemon=True
            )
            self._delivering.start()
        return self

    def stop(self) -> None:
        """Stops reading (the events still waiting are delivered first to `on_event`), and
        closes a port the stream opened."""
        self._resuming = False
        self._native.stop()
        _reading.discard(self)
        if self._delivering is not None:
            self._delivering.join()
            self._delivering = None
        if self._owned is not None:
            self._owned.close()

    def __enter__(self) -> HandleStream:
        return self.start()

    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        error: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._native.running

    def latest(self) -> HandleStatus:
        """The newest status read; never waits for the reading thread."""
        n = self._numbers
        self._native.latest_into(n)
        return HandleStatus(
            n[0],
            int(n[1]),
            int(n[2]),
            int(n[3]),
            (n[4], n[5], n[6], n[7]),
            int(n[8]),
            int(n[9]),
            int(n[10]),
            n[11],
            int(n[12]),
        )

    def events(self, timeout: Optional[float] = None) -> Iterator[HandleEvent]:
        """The events in order as they come, until the stream stops, or until none has come for
        `timeout` seconds; a handle that reconnects meanwhile goes on with its events once it is
        back."""
        while True:
            taken = self._native.take_events(_WAIT if timeout is None else timeout)
            for event in taken:
                yield HandleEvent(*event)
            if taken:
                continue
            if timeout is not None or not self._goes_on():
                return
            if not self._native.running:
                time.sleep(_WAIT)  # its handle reconnects: nothing is read until it is back

    def link_stats(self) -> dict[str, Any]:
        """The handle's link, as `OpenedDevice.link_stats` gives it."""
        if isinstance(self._handle, OpenedDevice):
            return self._handle.link_stats()
        return _native.link_stats(self._handle)

    def _deliver(self) -> None:
        assert self._on_event is not None
        for event in self.events():
            self._on_event(event)

    def _goes_on(self) -> bool:
        """Whether events may still come: the stream reads, or its handle reconnects and it
        reads again once the handle is back."""
        return self._native.running or (
            self._resuming
            and isinstance(self._handle, OpenedDevice)
            and self._handle.state != CLOSED
        )

    # What the handle's connection does when it is lost, when it is back and when it is closed.

    def _release(self) -> None:
        self._native.latest_into(self._numbers)
        self._native = _Released(self._numbers)

    def _suspend(self) -> None:
        self._resuming = self._native.running
        self._native.stop()

    def _resume(self, device: api.Handle) -> None:
        native = _native.HandleReader(device, *self._settings)
        if self._resuming:
            native.start()
        self._native = native
        self._resuming = False


# How long a wait for events lasts before it looks whether the stream still runs.
_WAIT = 0.1  # s

# The streams that read, kept alive while they do and stopped before the interpreter ends.
_reading: set[HandleStream] = set()


@atexit.register
def _stop_reading() -> None:
    for stream in list(_reading):
        stream.stop()


class _Released:
    """A stream's native part once its handle was closed: the last status stays, and it cannot
    start again."""

    running = False

    def __init__(self, numbers: array.array[float]) -> None:
        self._numbers = array.array("d", numbers)

    def start(self) -> None:
        raise RuntimeError("the stream's handle was closed: make a stream on a handle open again")

    def stop(self) -> None:
        pass

    def latest_into(self, buffer: array.array[float]) -> None:
        buffer[:] = self._numbers

    def take_events(self, timeout: float) -> list[tuple[float, str, int, float, int]]:
        return []
