"""The native part of the ornix companion package"""

from typing import Any, Callable, Optional, Union

import OrnixHardwareAPI

Triple = tuple[float, float, float]

class Stop:
    """A stop of the calls it is given, which any thread may request."""

    def __init__(self) -> None: ...
    def request(self) -> None: ...
    @property
    def requested(self) -> bool: ...

def wake_arm(
    stream: OrnixHardwareAPI.SerialStream, stop: Stop
) -> Optional[tuple[int, int, int, int, bytes]]: ...
def wake_handle(
    stream: OrnixHardwareAPI.SerialStream, stop: Stop
) -> Optional[tuple[int, int, int, int]]: ...
def is_open(stream: OrnixHardwareAPI.SerialStream) -> bool: ...

class Effect:
    """A force field a servo loop applies."""

class Spring(Effect):
    stiffness: float
    rest: Triple
    def __init__(self, stiffness: float, rest: Triple) -> None: ...

class Damper(Effect):
    viscosity: float
    def __init__(self, viscosity: float) -> None: ...

class Wall(Effect):
    point: Triple
    normal: Triple
    stiffness: float
    damping: float
    def __init__(
        self, point: Triple, normal: Triple, stiffness: float, damping: float = 0.0
    ) -> None: ...

class BoxBoundary(Effect):
    low: Triple
    high: Triple
    stiffness: float
    damping: float
    def __init__(
        self, low: Triple, high: Triple, stiffness: float, damping: float = 0.0
    ) -> None: ...

class SphereBoundary(Effect):
    center: Triple
    radius: float
    stiffness: float
    damping: float
    def __init__(
        self, center: Triple, radius: float, stiffness: float, damping: float = 0.0
    ) -> None: ...

class ConstantForce(Effect):
    force: Triple
    def __init__(self, force: Triple) -> None: ...

class ServoLoop:
    """The native servo loop behind ornix.ServoLoop."""

    max_force: float
    def __init__(
        self,
        arm: OrnixHardwareAPI.Ostrel3,
        rate: float,
        max_force: float,
        ramp: float,
        max_velocity: float,
        heartbeat: float,
        realtime: bool,
    ) -> None: ...
    def on_tick(self, callback: Callable[..., None], every: int) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    @property
    def running(self) -> bool: ...
    @property
    def stopping(self) -> bool: ...
    def set_force(self, x: float, y: float, z: float) -> None: ...
    def state_into(self, buffer: Any) -> None: ...
    def stats(self, reset: bool = False) -> dict[str, Any]: ...
    def add(self, effect: Effect) -> None: ...
    def remove(self, effect: Effect) -> int: ...
    def sums(self) -> int: ...

class LoggingSink:
    """Hands the library's error lines to deliver(file, line, message, errno, strerror) in place
    of standard error."""

    def __init__(self, deliver: Callable[[str, int, str, int, str], None]) -> None: ...
    def install(self) -> None: ...
    def uninstall(self) -> None: ...
    def deliver_queued(self, timeout: float) -> bool: ...
    def close(self) -> None: ...

def check_port(path: Union[str, bytes]) -> int: ...
def probed_by(name: Union[str, bytes]) -> tuple[str, ...]: ...
def link_stats(
    device: Union[OrnixHardwareAPI.Ostrel3, OrnixHardwareAPI.Handle],
) -> dict[str, Any]: ...

class FailFast:
    """Ends the device's waits once its port is found gone, while it lives."""

    def __init__(
        self, device: Union[OrnixHardwareAPI.Ostrel3, OrnixHardwareAPI.Handle]
    ) -> None: ...

class HandleReader:
    """The native reader behind ornix.HandleStream."""

    def __init__(
        self,
        handle: OrnixHardwareAPI.Handle,
        compact: bool,
        low_battery: float,
        status_period: float,
    ) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    @property
    def running(self) -> bool: ...
    def latest_into(self, buffer: Any) -> None: ...
    def take_events(self, timeout: float) -> list[tuple[float, str, int, float, int]]: ...
