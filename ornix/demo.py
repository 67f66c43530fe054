"""The haptic wall demo: the arm's end effector is pushed gently down onto a virtual wall.

Below the wall plane a spring-damper force pushes back, so the end effector comes to rest on the
wall. The loop runs as fast as the link allows, on the arm that answers on this machine or,
without one, on a virtual arm started for the run.
"""

from __future__ import annotations

import importlib
import sys
import time
from typing import Any, Optional

from .devices import DeviceNotFoundError, OpenedDevice, open_arm
from .ports import DEV
from .testing import VirtualDevices

WALL_BELOW_START = 0.01  # m
STIFFNESS = 400.0  # N/m
DAMPING = 4.0  # N s/m
PUSH = 0.5  # N, toward the wall


def wall_force(z: float, vz: float, wall_z: float) -> float:
    """The force along z: the push, and below the wall a spring-damper that pushes back."""
    force = -PUSH
    if z < wall_z:
        force += STIFFNESS * (wall_z - z) - DAMPING * min(vz, 0.0)
    return force


def percentile(ordered: list[int], fraction: float) -> int:
    return ordered[int(fraction * (len(ordered) - 1))]


def run(
    arm: OpenedDevice[Any], seconds: float, record: Optional[list[tuple[float, float, float]]]
) -> float:
    """Renders the wall for `seconds` with a status line, then prints a summary; returns the
    wall's height."""
    # A live line on a terminal; elsewhere (a log, a pipe) one line a second.
    live = sys.stdout.isatty()
    status_interval = 0.1 if live else 1.0  # s
    (x, y, z), (vx, vy, vz) = arm.end_effector_force([0.0, 0.0, 0.0])
    wall_z: float = z - WALL_BELOW_START
    latencies: list[int] = []
    window: list[int] = []
    start = time.perf_counter()
    next_status = start
    force = 0.0
    deepest = 0.0
    while (now := time.perf_counter()) - start < seconds:
        force = wall_force(z, vz, wall_z)
        sent = time.perf_counter_ns()
        (x, y, z), (vx, vy, vz) = arm.end_effector_force([0.0, 0.0, force])
        latency = time.perf_counter_ns() - sent
        latencies.append(latency)
        window.append(latency)
        deepest = max(deepest, wall_z - z)
        if record is not None:
            record.append((now - start, z, force))
        if now >= next_status:
            window.sort()
            print(
                "\r" if live else "",
                f"{now - start:5.2f} s  {len(window) / status_interval:7.0f} Hz  "
                f"latency p50 {percentile(window, 0.5) / 1000:6.1f} us "
                f"p99 {percentile(window, 0.99) / 1000:6.1f} us  "
                f"position ({x:+.4f}, {y:+.4f}, {z:+.4f}) m  force {force:+.3f} N",
                end="" if live else "\n",
                sep="",
                flush=True,
            )
            window = []
            next_status = now + status_interval
    elapsed = time.perf_counter() - start
    latencies.sort()
    if live:
        print()
    print(
        f"{len(latencies)} exchanges in {elapsed:.2f} s: {len(latencies) / elapsed:.0f} Hz, "
        f"latency p50 {percentile(latencies, 0.5) / 1000:.1f} us, "
        f"p99 {percentile(latencies, 0.99) / 1000:.1f} us, max {latencies[-1] / 1000:.1f} us"
    )
    print(
        f"wall at z = {wall_z:+.4f} m; end effector at z = {z:+.4f} m, deepest "
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
