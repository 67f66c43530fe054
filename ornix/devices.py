"""Finding, waking and opening devices: what answers on a port, and devices opened by their kind,
each owning its port until closed."""

from __future__ import annotations

import errno
import gc
import os
import platform
import threading
import time
import traceback
import weakref
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable, Generic, Iterable, Optional, TypeVar, Union

import OrnixHardwareAPI as api

from . import _native
from .access import check_port
from .connection import CLOSED, CONNECTED, RECONNECTING, Reconnect, Supervisor
from .ports import DEV, Port, list_ports

ARM = "arm"
HANDLE = "handle"
_NAMES = {ARM: "Ostrel3", HANDLE: "handle"}


class DeviceNotFoundError(LookupError):
    """No device of the kind asked for answered."""


class WrongDeviceError(DeviceNotFoundError):
    """A device answered on the port, but of another kind."""


class SeveralDevicesError(LookupError):
    """More than one device of the kind asked for answered, so the port must be named."""


class DeviceClosedError(ValueError):
    """The device was closed; its port is no longer used."""


@dataclass(frozen=True)
class Identity:
    """What a device said about itself when it woke up."""

    kind: str
    device_id: int
    model: int
    hardware: int
    firmware: int
    # The arm's 16-byte identifier in hexadecimal; handles have none.
    uuid: Optional[str] = None

    def __str__(self) -> str:
        text = (
            f"{_NAMES[self.kind]} {self.device_id} (model {self.model}, hardware "
            f"{self.hardware}, firmware {self.firmware}"
        )
        return text + (f", uuid {self.uuid})" if self.uuid else ")")


@dataclass(frozen=True)
class Answer:
    """The outcome of waking the device on one port: who answered, or why nothing did."""

    port: Port
    identity: Optional[Identity] = None
    problem: Optional[str] = None

    def __str__(self) -> str:
        if self.identity is not None:
            return str(self.identity)
        return self.problem or "no answer"


def wake_arm(stream: api.SerialStream, stop: Optional[_native.Stop] = None) -> Optional[Identity]:
    """Wakes the device on the stream as an arm: its identity when an Ostrel3 answered. `stop`
    ends the wait early when requested (Ctrl-C does on the main thread)."""
    answer = _native.wake_arm(stream, stop or _native.Stop())
    if answer is None:
        return None
    device_id, model, hardware, firmware, uuid = answer
    return Identity(ARM, device_id, model, hardware, firmware, uuid.hex())


def wake_handle(
    stream: api.SerialStream, stop: Optional[_native.Stop] = None
) -> Optional[Identity]:
    """Wakes the device on the stream as a handle: its identity when a handle answered (a handle
    that answered with its status first tells only its device id)."""
    answer = _native.wake_handle(stream, stop or _native.Stop())
    if answer is None:
        return None
    return Identity(HANDLE, *answer)


def _opened(port: str) -> api.SerialStream:
    """The module's stream on a port that `check_port` found usable, checked to have opened: a
    port that went away, or was taken, in between raises as `check_port` does, at once."""
    stream = api.SerialStream(port)
    if not _native.is_open(stream):
        check_port(port)
        raise OSError(errno.EIO, f"{port} could not be opened: try again", port)
    return stream


def _probe(port: Port, stop: _native.Stop) -> Answer:
    try:
        check_port(port.device)
        stream = _opened(port.device)
    except OSError as error:
        reason = os.strerror(error.errno) if error.errno else str(error)
        if isinstance(error, PermissionError):
            reason += " (`ornix doctor` says how to fix it)"
        return Answer(port, problem=f"cannot open: {reason}")
    if "detect_ostrel3s" in port.probed_by:
        identity = wake_arm(stream, stop)
        if identity is not None:
            return Answer(port, identity)
    identity = wake_handle(stream, stop)
    if identity is not None:
        return Answer(port, identity)
    return Answer(port, problem="no answer")


def probe(port: Port) -> Answer:
    """Wakes the device on `port` in each role detection would look for there.

    The wake-ups let other threads run, so ports can be probed side by side on threads.
    """
    return _probe(port, _native.Stop())


def probe_all(ports: Iterable[Port]) -> list[Answer]:
    """Probes every port that detection would probe, all at once; answers in port order. When
    the caller is interrupted (Ctrl-C), every probe still running stops before it raises."""
    candidates = [port for port in ports if port.probed_by]
    if not candidates:
        return []
    stop = _native.Stop()
    with ThreadPoolExecutor(max_workers=len(candidates)) as pool:
        try:
            running = [pool.submit(_probe, port, stop) for port in candidates]
            return [probing.result() for probing in running]
        except BaseException:
            stop.request()
            raise


D = TypeVar("D", bound=Union[api.Ostrel3, api.Handle])


class ReconnectingError(ConnectionError):
    """The device's port is gone and its connection looks for it again: the call was not made."""


# Counts of a link that add up over the devices a connection has had.
_ADDED = ("exchanges", "bytes_written", "bytes_read")
# A port held by more than this many layers of objects is held by the program too.
_PYPY_COLLECTIONS = 5


class OpenedDevice(Generic[D]):
    """A device opened by `open_arm` or `open_handle`, owning its port's stream.

    The device's methods are called on this object directly (`arm.end_effector_force(...)`) or
    on `device`. `close()`, or the end of a `with` block, releases the port once no other
    reference to the device is held; every later call raises `DeviceClosedError`.

    `state` is "connected", "reconnecting" or "closed". A device opened with `reconnect` is
    watched: when its port is gone or too many exchanges in a row time out it is "reconnecting",
    its calls raise `ReconnectingError` at once and its servo loops stop (sending zero force),
    until the same unit is back ("connected" again, the loops ramping their forces in anew) or
    the search gives up ("closed", with `closed_reason`). `on_state(state, reason)`, if set, is
    called at each change, on the watching thread.
    """

    def __init__(
        self,
        port: str,
        identity: Identity,
        device: D,
        stream: api.SerialStream,
        *,
        directory: str = DEV,
        reconnect: Optional[Reconnect] = None,
        on_state: Optional[Callable[[str, Optional[str]], Any]] = None,
    ) -> None:
        self.port = port
        self.identity = identity
        self.directory = directory
        self.on_state = on_state
        self.closed_reason: Optional[str] = None
        self._state = CONNECTED
        self._closing = False
        self._lock = threading.RLock()
        self._device: Optional[D] = None
        self._stream: Optional[api.SerialStream] = None
        self._fail_fast: Optional[_native.FailFast] = None
        self._bound: list[str] = []
        # What drives the device from a thread of its own (servo loops, handle streams): stopped
        # before the port is let go, suspended while the connection looks for the device.
        self._drivers: weakref.WeakSet[Any] = weakref.WeakSet()
        # What earlier devices of the connection counted, and where the statistics' window began.
        self._carried = {name: 0 for name in _ADDED}
        self._carried_outcomes: dict[str, int] = {}
        self._window = (time.monotonic(), dict(self._carried))
        self._attach(device, stream)
        self._supervisor: Optional[Supervisor] = None
        if reconnect is not None:
            self._supervisor = Supervisor(self, reconnect, type(device), _waker(identity.kind))

    @property
    def device(self) -> D:
        """The module's device object, for code that wants it itself."""
        if self._device is None:
            raise self._unavailable()
        return self._device

    @property
    def state(self) -> str:
        return self._state

    @property
    def closed(self) -> bool:
        return self._state == CLOSED

    def link_stats(self, reset: bool = False) -> dict[str, Any]:
        """The link's counts since the device was opened: exchanges, their counts by outcome
        ("ok", "timed_out", "wrong_reply", "cut_short", "write_failed", "port_gone",
        "cancelled"), bytes each way, the last failure (outcome, time on the wall clock, errno)
        and the connection's state; and exchanges and bytes per second over the window since
        the last `link_stats(reset=True)` (or the opening)."""
        with self._lock:
            device = self._device
            stats = _native.link_stats(device) if device is not None else _idle_link()
            for name in _ADDED:
                stats[name] += self._carried[name]
            for name, count in self._carried_outcomes.items():
                stats["outcomes"][name] += count
        now = time.monotonic()
        began, counted = self._window
        seconds = max(now - began, 1e-9)
        stats["state"] = self._state
        stats["seconds"] = seconds
        stats["exchanges_per_second"] = (stats["exchanges"] - counted["exchanges"]) / seconds
        stats["bytes_per_second"] = (
            stats["bytes_written"]
            + stats["bytes_read"]
            - counted["bytes_written"]
            - counted["bytes_read"]
        ) / seconds
        if reset:
            self._window = (now, {name: stats[name] for name in _ADDED})
        return stats

    def close(self) -> None:
        """Releases the port; closing twice does nothing. An arm's servo loops are stopped
        first, and the last frame the arm receives is zero force."""
        if self._supervisor is not None:
            self._supervisor.stop()
        with self._lock:
            if self._state == CLOSED or self._closing:
                return
            self._closing = True
            try:
                for driver in list(self._drivers):
                    driver.stop()
            finally:
                try:
                    if isinstance(self._device, api.Ostrel3):
                        self._device.end_effector_force([0.0, 0.0, 0.0])
                finally:
                    # What drove the device holds it no longer, so that the port is let go.
                    for driver in list(self._drivers):
                        driver._release()
                    # Closed before the methods go, so that a call from another thread meanwhile
                    # is refused as closed rather than found missing.
                    self._state = CLOSED
                    self._unbind()
                    self._detach()

    def __enter__(self) -> OpenedDevice[D]:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def __getattr__(self, name: str) -> Any:
        # Reached only for names not bound to the device: after close(), or names it lacks.
        if self.__dict__.get("_state") == CLOSED and not name.startswith("__"):
            raise self._unavailable()
        raise AttributeError(f"{type(self).__name__!s} has no attribute {name!r}")

    def __repr__(self) -> str:
        shown = "open" if self._state == CONNECTED else self._state
        return f"<{shown} {self.identity} on {self.port}>"

    # What the connection's supervisor does.

    def _current(self) -> Optional[D]:
        return self._device

    def _attach(self, device: D, stream: api.SerialStream) -> None:
        self._device = device
        self._stream = stream
        # A port found gone fails the call at once rather than after the device's time-out.
        self._fail_fast = _native.FailFast(device)
        # The device's methods are bound here once, so a call costs no more than on the device.
        self._bound = [name for name in dir(device) if not name.startswith("_")]
        for name in self._bound:
            setattr(self, name, getattr(device, name))

    def _unbind(self) -> None:
        for name in self._bound:
            self.__dict__.pop(name, None)
        self._bound = []

    def _detach(self) -> None:
        device = self._device
        if device is not None:
            counts = _native.link_stats(device)
            for name in _ADDED:
                self._carried[name] += counts[name]
            for name, count in counts["outcomes"].items():
                self._carried_outcomes[name] = self._carried_outcomes.get(name, 0) + count
        held = [weakref.ref(held) for held in (device, self._stream) if held is not None]
        self._fail_fast = None
        self._device = None
        self._stream = None
        del device
        if held and platform.python_implementation() == "PyPy":
            # PyPy frees the module's objects, and so closes the port, only when it collects;
            # each layer that refers to the port (the call guard, the device, the stream) takes
            # a collection of its own.
            for _ in range(_PYPY_COLLECTIONS):
                if all(ref() is None for ref in held):
                    break
                gc.collect()

    def _lose(self, reason: str) -> None:
        with self._lock:
            for driver in list(self._drivers):
                driver._suspend()
            self._state = RECONNECTING
            self.closed_reason = reason
            refusal = self._unavailable

            def refused(*_: object, **__: object) -> Any:
                raise refusal()

            # Each method is replaced in one step: a call from another thread meets either the
            # device's method or the refusal, never a missing name.
            for name in self._bound:
                setattr(self, name, refused)
            self._detach()
        self._tell(RECONNECTING, reason)

    def _recover(self, port: str, device: D, stream: api.SerialStream) -> None:
        with self._lock:
            self.port = port
            self._attach(device, stream)
            self._state = CONNECTED
            self.closed_reason = None
            for driver in list(self._drivers):
                driver._resume(device)
        self._tell(CONNECTED, None)

    def _give_up(self, reason: str) -> None:
        with self._lock:
            self._state = CLOSED
            self.closed_reason = reason
            self._unbind()
        self._tell(CLOSED, reason)

    def _tell(self, state: str, reason: Optional[str]) -> None:
        if self.on_state is not None:
            self.on_state(state, reason)

    def _unavailable(self) -> Exception:
        if self._state == RECONNECTING:
            return ReconnectingError(
                f"the {_NAMES[self.identity.kind]} on {self.port} is reconnecting: "
                f"{self.closed_reason}"
            )
        opener = "open_arm" if self.identity.kind == ARM else "open_handle"
        why = f" ({self.closed_reason})" if self.closed_reason else ""
        return DeviceClosedError(
            f"the {_NAMES[self.identity.kind]} on {self.port} was closed{why}: open it again "
            f"with ornix.{opener}({self.port!r})"
        )


def _idle_link() -> dict[str, Any]:
    return {
        "exchanges": 0,
        "outcomes": {
            name: 0
            for name in (
                "ok",
                "timed_out",
                "wrong_reply",
                "cut_short",
                "write_failed",
                "port_gone",
                "cancelled",
            )
        },
        "bytes_written": 0,
        "bytes_read": 0,
        "timeouts_in_a_row": 0,
        "last_outcome": "ok",
        "last_failure": None,
    }


def _waker(kind: str) -> Callable[[api.SerialStream, _native.Stop], Optional[Identity]]:
    return wake_arm if kind == ARM else wake_handle


def _find_one(kind: str, directory: str) -> str:
    searched_by = "detect_ostrel3s" if kind == ARM else "detect_handles"
    candidates = [port for port in list_ports(directory) if searched_by in port.probed_by]
    answers = probe_all(candidates)
    found = [
        answer.port.device for answer in answers if answer.identity and answer.identity.kind == kind
    ]
    if len(found) == 1:
        return found[0]
    if found:
        raise SeveralDevicesError(
            f"{len(found)} devices of kind {_NAMES[kind]} answer, on {', '.join(found)}: pass the "
            "port of the one to open"
        )
    if not answers:
        tried = f"there is no candidate port in {directory}"
    else:
        tried = "; ".join(f"{answer.port.device}: {answer}" for answer in answers)
    raise DeviceNotFoundError(
        f"no {_NAMES[kind]} answers ({tried}). Check that it is plugged in and powered, and run "
        "`ornix doctor`; without hardware, `ornix-sim arm handle` serves virtual devices"
    )


def _identify(kind: str, port: str, stream: api.SerialStream) -> Identity:
    wake, other = (wake_arm, wake_handle) if kind == ARM else (wake_handle, wake_arm)
    identity = wake(stream)
    if identity is not None:
        return identity
    answered = other(stream)
    if answered is not None:
        opener = "open_handle" if kind == ARM else "open_arm"
        raise WrongDeviceError(
            f"{answered} answers on {port}, not an {_NAMES[kind]}: open it with "
            f"ornix.{opener}({port!r})"
        )
    raise DeviceNotFoundError(
        f"no {_NAMES[kind]} answers on {port}: check that it is plugged in and powered, and that "
        "this is its port (`ornix list --probe`)"
    )


def _open(kind: str, port: Optional[str], directory: str) -> tuple[str, Identity, Any]:
    if port is None:
        port = _find_one(kind, directory)
    check_port(port)
    stream = _opened(port)
    try:
        identity = _identify(kind, port, stream)
    except BaseException as error:
        # The port is let go before the error is raised, so that the caller can open it as
        # what answered: the traceback's frames would keep the stream alive.
        del stream
        traceback.clear_frames(error.__traceback__)
        if platform.python_implementation() == "PyPy":
            gc.collect()
        raise
    return port, identity, stream


ReconnectSetting = Union[bool, Reconnect]
StateCallback = Callable[[str, Optional[str]], Any]


def _reconnect(setting: ReconnectSetting) -> Optional[Reconnect]:
    if isinstance(setting, Reconnect):
        return setting
    if not isinstance(setting, bool):
        raise TypeError(f"reconnect must be True, False or an ornix.Reconnect, not {setting!r}")
    return Reconnect() if setting else None


def open_arm(
    port: Optional[str] = None,
    *,
    directory: str = DEV,
    reconnect: ReconnectSetting = False,
    on_state: Optional[StateCallback] = None,
) -> OpenedDevice[api.Ostrel3]:
    """Opens the Ostrel3 on `port`, or the one Ostrel3 that answers among the ports of
    `directory` that detection probes for arms.

    The port is checked first, so that a port that cannot be used raises `FileNotFoundError`,
    `PermissionError`, `PortBusyError` or `NotASerialPortError`, each saying what to do; then
    the device is woken, and `DeviceNotFoundError` (or its `WrongDeviceError`) says what, if
    anything, answered instead. With `reconnect` (True, or an `ornix.Reconnect` with its
    settings) the connection looks after itself, looking for the same unit in `directory` when
    it is lost; `on_state(state, reason)` is told of each change (see `OpenedDevice`).
    """
    settings = _reconnect(reconnect)
    port, identity, stream = _open(ARM, port, directory)
    return OpenedDevice(
        port,
        identity,
        api.Ostrel3(stream),
        stream,
        directory=directory,
        reconnect=settings,
        on_state=on_state,
    )


H = TypeVar("H", bound=api.Handle)


def open_handle(
    port: Optional[str] = None,
    handle_class: type[H] = api.Handle,  # type: ignore[assignment]
    *,
    directory: str = DEV,
    reconnect: ReconnectSetting = False,
    on_state: Optional[StateCallback] = None,
) -> OpenedDevice[H]:
    """Opens the handle on `port`, or the one handle that answers among the ports of
    `directory`, as an instance of `handle_class` (a subclass of `OrnixHardwareAPI.Handle`
    with the program's callbacks). The handle's answer to the wake-up is read here, so the
    callbacks see only what comes after it. Errors, `reconnect` and `on_state` as for
    `open_arm`.
    """
    if not (isinstance(handle_class, type) and issubclass(handle_class, api.Handle)):
        raise TypeError(
            f"handle_class must be OrnixHardwareAPI.Handle or a subclass of it, not {handle_class!r}"
        )
    settings = _reconnect(reconnect)
    port, identity, stream = _open(HANDLE, port, directory)
    return OpenedDevice(
        port,
        identity,
        handle_class(stream),
        stream,
        directory=directory,
        reconnect=settings,
        on_state=on_state,
    )
