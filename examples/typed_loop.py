"""A typed haptic loop: a spring holds the arm's end effector where it started.

With a handle, holding its first button stiffens the spring. Everything is annotated, so
`mypy --strict examples/typed_loop.py` checks the program against the module's type stubs.
Without an arm on the port the library reports the failed exchange and the program stops.
"""

from __future__ import annotations

import argparse
import sys
import time

import OrnixHardwareAPI as ornix

STIFFNESS = 50.0  # N/m
HELD_STIFFNESS = 200.0  # N/m, while the handle's first button is held
OSTREL3_MODEL = 4


class Quillet(ornix.Handle):
    """A handle read through the compact status packets it streams."""

    def button_held(self) -> bool:
        status = self.GetQuilletStatus()
        return status["error_flag"] == 0 and bool(status["buttons"] & 1)


def spring_force(position: list[float], rest: list[float], stiffness: float) -> list[float]:
    return [stiffness * (target - now) for now, target in zip(position, rest)]


def run(arm: ornix.Ostrel3, handle: Quillet | None, seconds: float) -> None:
    rest: list[float] = arm.end_effector_force([0.0, 0.0, 0.0])[0]
    position = rest
    exchanges = 0
    start = time.perf_counter()
    while (elapsed := time.perf_counter() - start) < seconds:
        held = handle is not None and handle.button_held()
        force = spring_force(position, rest, HELD_STIFFNESS if held else STIFFNESS)
        position = arm.end_effector_force(force)[0]
        exchanges += 1
    drift = max(abs(now - target) for now, target in zip(position, rest))
    print(f"{exchanges} exchanges in {elapsed:.2f} s, end effector {drift * 1000:.2f} mm from rest")


def main() -> None:
    parser = argparse.ArgumentParser(description="A spring holds the arm where it started.")
    parser.add_argument("--port", default="/dev/ttyACM0", help="the arm's port (/dev/ttyACM0)")
    parser.add_argument("--handle", metavar="PORT", help="a handle's port, for its button")
    parser.add_argument("--seconds", type=float, default=2.0, help="how long to run (default 2)")
    options = parser.parse_args()

    arm = ornix.Ostrel3(ornix.SerialStream(options.port))
    device_id, model, *_ = arm.device_wakeup()
    if model != OSTREL3_MODEL:
        sys.exit(f"no Ostrel3 answers on {options.port}")
    print(f"arm {device_id} on {options.port}")
    handle: Quillet | None = None
    if options.handle is not None:
        handle = Quillet(ornix.SerialStream(options.handle))
    run(arm, handle, options.seconds)


if __name__ == "__main__":
    main()
