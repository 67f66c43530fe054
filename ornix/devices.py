"""Finding, waking and opening devices: what answers on a port, and devices opened by their kind,
each owning its port until closed."""

from __future__ import annotations

import errno
import gc
import os
import platform
import weakref
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Generic, Iterable, Optional, TypeVar

import OrnixHardwareAPI as api

from . import _native
from .access import check_port
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


D = TypeVar("D")


class OpenedDevice(Generic[D]):
    """A device opened by `open_arm` or `open_handle`, owning its port's stream.

    The device's methods are called on this object directly (`arm.end_effector_force(...)`) or
    on `device`. `close()`, or the end of a `with` block, releases the port once no other
    reference to the device is held; every later call raises `DeviceClosedError`.
    """

    def __init__(self, port: str, identity: Identity, device: D, stream: api.SerialStream) -> None:
        self.port = port
        self.identity = identity
        self._device: Optional[D] = device
        self._stream: Optional[api.SerialStream] = stream
        # Servo loops built on the device, stopped before the port is let go.
        self._loops: weakref.WeakSet[Any] = weakref.WeakSet()
        # The device's methods are bound here once, so a call costs no more than on the device.
        self._bound = [name for name in dir(device) if not name.startswith("_")]
        for name in self._bound:
            setattr(self, name, getattr(device, name))

    @property
    def device(self) -> D:
        """The module's device object, for code that wants it itself."""
        if self._device is None:
            raise self._closed()
        return self._device

    @property
    def closed(self) -> bool:
        return self._device is None

    def close(self) -> None:
        """Releases the port; closing twice does nothing. An arm's servo loops are stopped
        first, and the last frame the arm receives is zero force."""
        if self._device is None:
            return
        try:
            for loop in list(self._loops):
                loop.stop()
        finally:
            try:
                if isinstance(self._device, api.Ostrel3):
                    self._device.end_effector_force([0.0, 0.0, 0.0])
            finally:
                self._let_go()

    def _let_go(self) -> None:
        for name in self._bound:
            delattr(self, name)
        self._device = None
        self._stream = None
        if platform.python_implementation() == "PyPy":
            # PyPy frees the module's objects, and so closes the port, only when it collects;
            # the device and its stream take a collection each.
            gc.collect()
            gc.collect()

    def __enter__(self) -> OpenedDevice[D]:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def __getattr__(self, name: str) -> Any:
        # Reached only for names not bound in __init__: after close(), or names the device lacks.
        if self.__dict__.get("_device", None) is None and not name.startswith("__"):
            raise self._closed()
        raise AttributeError(f"{type(self).__name__!s} has no attribute {name!r}")

    def __repr__(self) -> str:
        state = "closed" if self._device is None else "open"
        return f"<{state} {self.identity} on {self.port}>"

    def _closed(self) -> DeviceClosedError:
        opener = "open_arm" if self.identity.kind == ARM else "open_handle"
        return DeviceClosedError(
            f"the {_NAMES[self.identity.kind]} on {self.port} was closed: open it again with "
            f"ornix.{opener}({self.port!r})"
        )


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
    return port, _identify(kind, port, stream), stream


def open_arm(port: Optional[str] = None, *, directory: str = DEV) -> OpenedDevice[api.Ostrel3]:
    """Opens the Ostrel3 on `port`, or the one Ostrel3 that answers among the ports of
    `directory` that detection probes for arms.

    The port is checked first, so that a port that cannot be used raises `FileNotFoundError`,
    `PermissionError`, `PortBusyError` or `NotASerialPortError`, each saying what to do; then
    the device is woken, and `DeviceNotFoundError` (or its `WrongDeviceError`) says what, if
    anything, answered instead.
    """
    port, identity, stream = _open(ARM, port, directory)
    return OpenedDevice(port, identity, api.Ostrel3(stream), stream)


H = TypeVar("H", bound=api.Handle)


def open_handle(
    port: Optional[str] = None,
    handle_class: type[H] = api.Handle,  # type: ignore[assignment]
    *,
    directory: str = DEV,
) -> OpenedDevice[H]:
    """Opens the handle on `port`, or the one handle that answers among the ports of
    `directory`, as an instance of `handle_class` (a subclass of `OrnixHardwareAPI.Handle`
    with the program's callbacks). The handle's answer to the wake-up is read here, so the
    callbacks see only what comes after it. Errors as for `open_arm`.
    """
    if not (isinstance(handle_class, type) and issubclass(handle_class, api.Handle)):
        raise TypeError(
            f"handle_class must be OrnixHardwareAPI.Handle or a subclass of it, not {handle_class!r}"
        )
    port, identity, stream = _open(HANDLE, port, directory)
    return OpenedDevice(port, identity, handle_class(stream), stream)
