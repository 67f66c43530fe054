"""A haptic wall: the arm's end effector is pushed gently down onto a virtual wall.

Below the wall plane a spring-damper force pushes back, so the end effector comes to rest on the
wall. The loop runs as fast as the link allows. An arm that answers on this machine is used;
without one, a virtual arm (ornix-sim) is started for the run.
"""

import argparse
import sys
import time

import OrnixHardwareAPI as ornix
from virtual_device import VirtualDevice

WALL_BELOW_START = 0.01  # m
STIFFNESS = 400.0  # N/m
DAMPING = 4.0  # N s/m
PUSH = 0.5  # N, toward the wall
# A live line on a terminal; elsewhere (a log, a pipe) one line a second.
LIVE = sys.stdout.isatty()
STATUS_INTERVAL = 0.1 if LIVE else 1.0  # s


def wall_force(z, vz, wall_z):
    """The force along z: the push, and below the wall a spring-damper that pushes back."""
    force = -PUSH
    if z < wall_z:
        force += STIFFNESS * (wall_z - z) - DAMPING * min(vz, 0.0)
    return force


def percentile(ordered, fraction):
    return ordered[int(fraction * (len(ordered) - 1))]


def run(arm, seconds, record):
    (x, y, z), (vx, vy, vz) = arm.end_effector_force([0.0, 0.0, 0.0])
    wall_z = z - WALL_BELOW_START
    latencies, window = [], []
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
                "\r" if LIVE else "",
                f"{now - start:5.2f} s  {len(window) / STATUS_INTERVAL:7.0f} Hz  "
                f"latency p50 {percentile(window, 0.5) / 1000:6.1f} us "
                f"p99 {percentile(window, 0.99) / 1000:6.1f} us  "
                f"position ({x:+.4f}, {y:+.4f}, {z:+.4f}) m  force {force:+.3f} N",
                end="" if LIVE else "\n",
                sep="",
                flush=True,
            )
            window = []
            next_status = now + STATUS_INTERVAL
    elapsed = time.perf_counter() - start
    latencies.sort()
    if LIVE:
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


def plot(record, wall_z, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to run (default 3)")
    parser.add_argument("--port", help="the arm's port (default: detect, else a virtual arm)")
    parser.add_argument("--plot", metavar="FILE.png", help="save position and force over time")
    options = parser.parse_args()
    if options.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            sys.exit("--plot needs matplotlib: python3 -m pip install matplotlib")

    virtual = None
    port = options.port
    if port is None:
        found = ornix.detect_ostrel3s()
        if found:
            port = found[0]
        else:
            virtual = VirtualDevice("arm")
            port = virtual.port
    try:
        stream = ornix.SerialStream(port)
        arm = ornix.Ostrel3(stream)
        device_id, model, hardware, firmware, _ = arm.device_wakeup()
        if model != 4:
            sys.exit(f"no Ostrel3 answers on {port}")
        kind = "virtual arm" if virtual else "arm"
        print(f"{kind} {device_id} on {port} (hardware {hardware}, firmware {firmware})")
        record = [] if options.plot else None
        wall_z = run(arm, options.seconds, record)
        if options.plot:
            plot(record, wall_z, options.plot)
    finally:
        if virtual:
            virtual.stop()


if __name__ == "__main__":
    main()
