"""The haptic wall demo: the arm's end effector is pushed gently down onto a virtual wall.

A servo loop drives the arm at 1 kHz: its wall effect pushes back below the wall plane with a
spring and a damper, so the end effector comes to rest on the wall, while the program only sets
the push and reads the state. It runs on the arm that answers on this machine or, without one,
on a virtual arm started for the run.
"""

from __future__ import annotations

import importlib
import sys
import time
from typing import Any, Optional

from ._native import Wall
from .devices import DeviceNotFoundError, OpenedDevice, open_arm
from .ports import DEV
from .servo import ServoLoop, ServoState
from .testing import VirtualDevices

WALL_BELOW_START = 0.01  # m
STIFFNESS = 400.0  # N/m
DAMPING = 4.0  # N s/m
PUSH = 0.5  # N, toward the wall
RATE = 1000.0  # ticks a second


def status(seconds: float, stats: dict[str, Any], state: ServoState) -> str:
    """One status line: the loop's rate, lateness and misses, the exchange time, the arm."""
    x, y, z = state.position
    return (
        f"{seconds:5.2f} s  {stats['rate']:6.0f} Hz  late p99 {stats['lateness_p99_us']:5.0f} us "
        f" missed {stats['missed']:3d}  exchange p50 {stats['exchange_p50_us']:6.1f} us p99 "
        f"{stats['exchange_p99_us']:6.1f} us  position ({x:+.4f}, {y:+.4f}, {z:+.4f}) m  force "
        f"{state.force[2]:+.3f} N"
    )


def run(
    arm: OpenedDevice[Any], seconds: float, record: Optional[list[tuple[float, float, float]]]
) -> float:
    """Renders the wall for `seconds` with a status line, then prints a summary; returns the
    wall's height."""
    # A live line on a terminal; elsewhere (a log, a pipe) one line a second.
    live = sys.stdout.isatty()
    status_interval = 0.1 if live else 1.0  # s
    (_, _, z), _ = arm.end_effector_force([0.0, 0.0, 0.0])
    wall_z: float = z - WALL_BELOW_START
    wall = Wall(
        point=(0.0, 0.0, wall_z), normal=(0.0, 0.0, 1.0), stiffness=STIFFNESS, damping=DAMPING
    )
    start = time.monotonic()
    deepest = 0.0
    worst: dict[str, Any] = {"ticks": 0, "missed": 0, "exchanges_failed": 0}

    def keep(state: ServoState) -> None:
        if record is not None:
            record.append((state.time - start, state.position[2], state.force[2]))

    with ServoLoop(arm, rate=RATE, on_tick=keep if record is not None else None) as loop:
        loop.add(wall)
        loop.set_force([0.0, 0.0, -PUSH])
        next_status = start + status_interval
        while (now := time.monotonic()) - start < seconds:
            state = loop.state()
            deepest = max(deepest, wall_z - state.position[2])
            if now >= next_status:
                window = loop.stats(reset=True)
                for key in worst:
                    worst[key] += window[key]
                print(
                    "\r" if live else "",
                    status(now - start, window, state),
                    end="" if live else "\n",
                    sep="",
                    flush=True,
                )
                next_status = now + status_interval
            time.sleep(0.002)
        last = loop.stats()
    elapsed = time.monotonic() - start
    for key in worst:
        worst[key] += last[key]
    if live:
        print()
    interventions = ", ".join(f"{name} {count}" for name, count in last["interventions"].items())
    print(
        f"{worst['ticks']} exchanges in {elapsed:.2f} s: {worst['ticks'] / elapsed:.0f} Hz on a "
        f"{last['policy']} servo thread, {worst['missed']} ticks missed, "
        f"{worst['exchanges_failed']} exchanges failed; the last window: exchange p50 "
        f"{last['exchange_p50_us']:.1f} us, p99 {last['exchange_p99_us']:.1f} us, tick lateness "
        f"p99 {last['lateness_p99_us']:.0f} us; interventions: {interventions}"
    )
    final = loop.state()
    print(
        f"wall at z = {wall_z:+.4f} m; end effector at z = {final.position[2]:+.4f} m, deepest "
        f"{deepest * 1000:.2f} mm into the wall"
    )
    return wall_z


def _pyplot() -> Any:
    """matplotlib's plotting interface, drawing to files only; matplotlib is optional."""
    try:
        matplotlib = importlib.import_module("matplotlib")
    except ImportError:
        raise ImportError("plotting needs matplotlib: python3 -m pip install matplotlib") from None
    matplotlib.use("Agg")
    return importlib.import_module("matplotlib.pyplot")


def plot(record: list[tuple[float, float, float]], wall_z: float, path: str) -> None:
    plt = _pyplot()

    times, heights, forces = zip(*record)
    figure, (upper, lower) = plt.subplots(2, 1, sharex=True, figsize=(8, 6))
    upper.plot(times, heights, label="end effector z")
    upper.axhline(wall_z, color="grey", linestyle="--", label="wall")
    upper.set_ylabel("z (m)")
    upper.legend()
    lower.plot(times, forces, color="tab:red")
    lower.set_ylabel("force z (N)")
    lower.set_xlabel("time (s)")
    figure.tight_layout()
    figure.savefig(path)
    print(f"plot saved to {path}")


def demo(
    seconds: float = 3.0,
    port: Optional[str] = None,
    plot_to: Optional[str] = None,
    directory: str = DEV,
    latency: Optional[str] = None,
) -> None:
    """Runs the wall on the arm at `port`, else on the one arm that answers, else on a virtual
    arm, behind the link model `latency` of `ornix-sim --latency` when given; `plot_to` saves
    position and force over time (needs matplotlib)."""
    if plot_to:
        _pyplot()  # before the run, not after it
    virtual = None
    try:
        try:
            arm = open_arm(port, directory=directory)
        except DeviceNotFoundError:
            if port is not None:
                raise
            virtual = VirtualDevices("arm", *(["--latency", latency] if latency else []))
            arm = open_arm(virtual.port)
        with arm:
            kind = "virtual arm" if virtual else "arm"
            link = f", behind a modelled {latency} link" if virtual and latency else ""
            print(
                f"{kind} {arm.identity.device_id} on {arm.port} (hardware "
                f"{arm.identity.hardware}, firmware {arm.identity.firmware}){link}"
            )
            record: Optional[list[tuple[float, float, float]]] = [] if plot_to else None
            wall_z = run(arm, seconds, record)
            if plot_to and record:
                plot(record, wall_z, plot_to)
    finally:
        if virtual:
            virtual.close()
