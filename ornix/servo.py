"""The servo loop: a native thread that drives an Ostrel3 at a fixed rate, adds the program's
force to the effects, passes the sum through a safety envelope and exchanges it with the arm,
while the program only sets what it wants and reads what happened.

    with ornix.open_arm() as arm, ornix.ServoLoop(arm) as loop:
        loop.add(ornix.Wall(point=(0, 0, 0.05), normal=(0, 0, 1), stiffness=400, damping=4))
        while running:
            state = loop.state()
            loop.set_force([0.0, 0.0, -0.5])

Every way the loop stops sends zero force last: stop(), the end of its `with` block (also by
an exception), an exception in `on_tick`, interpreter exit with the loop running (after
KeyboardInterrupt too; under PyPy, which then skips atexit, by sys.excepthook), and SIGTERM or SIGHUP under their default handling, for which the native
part installs a handler while a loop runs that lets each loop send zero before the signal ends
the process as it would have. A process killed with SIGKILL, or ended by os._exit, sends nothing.
"""

from __future__ import annotations

import array
import atexit
import math
import platform
import sys
import threading
import traceback
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Callable, Optional, Sequence, Union

import OrnixHardwareAPI as api

from . import _native
from .devices import OpenedDevice

Vector = tuple[float, float, float]
Effect = _native.Effect

# Loops that run, kept alive while they do (a loop the program no longer refers to runs on) and
# stopped at interpreter exit, before the interpreter goes away.
_running: set[ServoLoop] = set()
_running_lock = threading.Lock()


@dataclass(frozen=True)
class ServoState:
    """What the loop knew after a tick: when its exchange ended (seconds on the clock
    `time.monotonic` reads), the tick's number (from 1; 0 before the first), the end effector's
    position (m) and velocity (m/s), and the force sent (N)."""

    time: float
    tick: int
    position: Vector
    velocity: Vector
    force: Vector


def _state(numbers: Sequence[float]) -> ServoState:
    return ServoState(
        numbers[0],
        int(numbers[1]),
        (numbers[2], numbers[3], numbers[4]),
        (numbers[5], numbers[6], numbers[7]),
        (numbers[8], numbers[9], numbers[10]),
    )


class ServoLoop:
    """Drives `arm` (an `OrnixHardwareAPI.Ostrel3`, or the device `ornix.open_arm` returns) at
    `rate` ticks a second on a native thread, from `start()` (or the `with` block) to `stop()`.

    The safety envelope, below everything the program computes: the force's magnitude is
    clamped to `max_force` newtons (5 N by default: a force a hand holds without effort, and well
    below the 10 N the arm's motors give at full reach, so that a program's mistake pushes firmly
    but cannot slam the hand); forces ramp in from zero over `ramp` seconds after the start and
    after any stretch of 50 ms without an exchange; a force that is not a finite number is sent
    as zero; above `max_velocity` m/s (None: no limit) no force is sent; with `heartbeat=T`, a
    program that has called neither `set_force` nor `state` for T seconds has its force ramped to
    zero until it calls again. `on_tick(state)`, if given, is called every `every` ticks on a
    thread of its own, never holding up the loop; an exception in it stops the loop and is
    raised again by `stop()` or at the end of the `with` block. With `realtime`, the loop asks
    for real-time scheduling (SCHED_FIFO on Linux, the time-constraint policy on macOS) and runs
    without it where it is refused; `stats()` says which it got.

    While the loop runs it owns the arm: the arm's methods raise RuntimeError rather than
    interleave their frames with the loop's.
    """

    def __init__(
        self,
        arm: Union[api.Ostrel3, OpenedDevice[api.Ostrel3]],
        rate: float = 1000.0,
        max_force: float = 5.0,
        ramp: float = 0.5,
        max_velocity: Optional[float] = None,
        heartbeat: Optional[float] = None,
        on_tick: Optional[Callable[[ServoState], Any]] = None,
        every: int = 1,
        realtime: bool = True,
    ) -> None:
        device = arm.device if isinstance(arm, OpenedDevice) else arm
        if not isinstance(device, api.Ostrel3):
            raise TypeError(f"a servo loop drives an Ostrel3, not {type(arm).__name__}")
        if isinstance(every, bool) or not isinstance(every, int) or every < 1:
            raise ValueError(f"every must be a whole number of ticks, 1 or more, not {every!r}")
        self._arm = arm
        self._settings = (
            float(rate),
            float(max_force),
            float(ramp),
            math.inf if max_velocity is None else float(max_velocity),
            0.0 if heartbeat is None else float(heartbeat),
            bool(realtime),
        )
        self._callback = None if on_tick is None else (self._trampoline(on_tick), every)
        self._force = (0.0, 0.0, 0.0)
        # Whether the loop is to run again once its arm's connection is back.
        self._resuming = False
        self._raised: Optional[Exception] = None
        self._native: Union[_native.ServoLoop, _Released] = self._made(device)
        self._numbers = array.array("d", bytes(8 * 11))
        # The effects the loop holds, and those taken out that its tick may still use.
        self._effects: list[Effect] = []
        self._retired: list[tuple[Effect, int]] = []
        if isinstance(arm, OpenedDevice):
            arm._drivers.add(self)

    def _made(self, device: api.Ostrel3) -> _native.ServoLoop:
        native = _native.ServoLoop(device, *self._settings)
        if self._callback is not None:
            native.on_tick(*self._callback)
        native.set_force(*self._force)
        return native

    @staticmethod
    def _trampoline(on_tick: Callable[[ServoState], Any]) -> Callable[..., None]:
        def deliver(*numbers: float) -> None:
            on_tick(_state(numbers))

        return deliver

    def start(self) -> ServoLoop:
        """Starts the loop; RuntimeError when it runs already or another loop drives the arm."""
        self._native.start()
        with _running_lock:
            _running.add(self)
        if platform.python_implementation() == "PyPy":
            _stop_before_uncaught_exceptions()
        return self

    def stop(self) -> None:
        """Stops the loop: its last exchange sends zero force. Raises again what `on_tick`
        raised. Stopping a loop that does not run does nothing."""
        try:
            self._native.stop()
            raised, self._raised = self._raised, None
            if raised is not None:
                raise raised
        finally:
            with _running_lock:
                _running.discard(self)
            self._release_retired()

    def __enter__(self) -> ServoLoop:
        return self.start()

    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        error: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        try:
            self.stop()
        except Exception:
            # The block's own exception goes on; the callback's is raised only without one.
            if error is None:
                raise

    @property
    def running(self) -> bool:
        """Whether the loop runs: started, and not stopped by itself or by `stop()`."""
        return self._native.running and not self._native.stopping

    def set_force(self, force: Sequence[float]) -> None:
        """The force (N) the loop adds to its effects from its next tick on."""
        x, y, z = force
        self._force = (float(x), float(y), float(z))
        self._native.set_force(*self._force)

    def state(self) -> ServoState:
        """The newest state the loop published; never waits for the loop."""
        self._native.state_into(self._numbers)
        return _state(self._numbers)

    def stats(self, reset: bool = False) -> dict[str, Any]:
        """The loop's rate (ticks a second), ticks, deadlines missed, tick lateness and exchange
        time (p50, p99, max, in µs), exchanges failed, the scheduling policy obtained and the
        count of each safety intervention, since the start or the last `stats(reset=True)`."""
        stats: dict[str, Any] = self._native.stats(reset)
        return stats

    @property
    def max_force(self) -> float:
        """The clamp on the force's magnitude, in N; may be changed while the loop runs."""
        value: float = self._native.max_force
        return value

    @max_force.setter
    def max_force(self, newtons: float) -> None:
        self._native.max_force = float(newtons)

    @property
    def effects(self) -> tuple[Effect, ...]:
        """The effects the loop applies."""
        return tuple(self._effects)

    def add(self, effect: Effect) -> None:
        """Applies `effect` from the next tick on; also while the loop runs."""
        self._native.add(effect)
        self._effects.append(effect)

    def remove(self, effect: Effect) -> None:
        """No longer applies `effect`, from the next tick on."""
        begun = self._native.remove(effect)
        self._effects.remove(effect)
        self._retired.append((effect, begun))
        self._release_retired()

    # What the arm's connection does when it is lost, when it is back and when it is closed.

    def _release(self) -> None:
        self._native.state_into(self._numbers)
        self._native = _Released(self._native.stats(), self._numbers)

    def _suspend(self) -> None:
        self._resuming = self.running
        try:
            self._native.stop()
        except Exception as raised:
            # What the callback raised is for the program's own stop() to raise.
            self._raised = raised
            self._resuming = False

    def _resume(self, device: api.Ostrel3) -> None:
        max_force = self._native.max_force
        native = self._made(device)
        native.max_force = max_force
        for effect in self._effects:
            native.add(effect)
        self._native = native
        self._retired = []
        if self._resuming:
            native.start()

    def _release_retired(self) -> None:
        # An effect taken out is kept until the tick that may have been using it has ended.
        done = self._native.sums()
        stopped = not self._native.running
        self._retired = [(e, begun) for e, begun in self._retired if not (stopped or done > begun)]


class _Released:
    """A loop's native part once its arm was closed: the last state and statistics stay, and
    it cannot start again."""

    running = False
    stopping = False

    def __init__(self, stats: dict[str, Any], numbers: array.array[float]) -> None:
        self._stats = stats
        self._numbers = array.array("d", numbers)
        self.max_force: float = 0.0

    def start(self) -> None:
        raise RuntimeError("the servo loop's arm was closed: make a loop on an arm open again")

    def stop(self) -> None:
        pass

    def set_force(self, x: float, y: float, z: float) -> None:
        pass

    def state_into(self, buffer: array.array[float]) -> None:
        buffer[:] = self._numbers

    def stats(self, reset: bool = False) -> dict[str, Any]:
        return self._stats

    def add(self, effect: Effect) -> None:
        pass

    def remove(self, effect: Effect) -> int:
        return 0

    def sums(self) -> int:
        return 0


def _stop_before_uncaught_exceptions() -> None:
    """PyPy ends a program that Ctrl-C interrupted by the signal itself, without running atexit's
    functions; it still calls sys.excepthook, which then stops the loops first."""
    hook = sys.excepthook
    if getattr(hook, "_stops_servo_loops", False):
        return

    def stopping(*exception: Any) -> None:
        _stop_running_loops()
        hook(*exception)

    stopping._stops_servo_loops = True  # type: ignore[attr-defined]
    sys.excepthook = stopping


@atexit.register
def _stop_running_loops() -> None:
    with _running_lock:
        loops = list(_running)
    for loop in loops:
        try:
            loop.stop()
        except Exception:
            # What a callback raised: told, and the other loops still stopped.
            traceback.print_exc()
