"""`ornix monitor`: a live view of a device and its link. An arm is asked, a few times a second,
for its state (a zero-force exchange, so it is left free) and its temperature; a handle is read
as a stream. A line of figures is rewritten in place on a terminal, or printed as JSON once a
second for programs; Ctrl-C ends it and leaves the last line as it was."""

from __future__ import annotations

import json
import sys
import time
from typing import Any, Optional

import OrnixHardwareAPI as api

from .devices import DeviceNotFoundError, OpenedDevice, WrongDeviceError, open_arm, open_handle
from .handle_stream import HandleStream
from .ports import DEV
from .text import printable

# How often the live line is redrawn, and the JSON line's period.
REFRESH = 0.25  # s
JSON_PERIOD = 1.0  # s


def _link(stats: dict[str, Any]) -> str:
    failed = stats["exchanges"] - stats["outcomes"]["ok"]
    return (
        f"{stats['exchanges_per_second']:7.0f} exchanges/s {stats['bytes_per_second']:8.0f} B/s "
        f"{failed} failed, {stats['state']}"
    )


def _arm_figures(arm: OpenedDevice[api.Ostrel3]) -> dict[str, Any]:
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    return {
        "kind": "arm",
        "position": position,
        "velocity": velocity,
        "temperature": arm.get_temperature(),
    }


def _arm_line(figures: dict[str, Any]) -> str:
    x, y, z = figures["position"]
    vx, vy, vz = figures["velocity"]
    return (
        f"position ({x:+.4f}, {y:+.4f}, {z:+.4f}) m  velocity ({vx:+.3f}, {vy:+.3f}, "
        f"{vz:+.3f}) m/s  {figures['temperature']:5.1f} °C"
    )


def _handle_figures(stream: HandleStream) -> dict[str, Any]:
    status = stream.latest()
    return {
        "kind": "handle",
        "quaternion": list(status.quaternion),
        "buttons": status.buttons,
        "battery": status.battery,
        "hall_level": status.hall_level,
        "statuses": status.count,
        "gaps": status.gaps,
    }


def _handle_line(figures: dict[str, Any]) -> str:
    w, x, y, z = figures["quaternion"]
    return (
        f"orientation ({w:+.3f}, {x:+.3f}, {y:+.3f}, {z:+.3f})  buttons "
        f"{figures['buttons']:03b}  battery {figures['battery']:.3f} V  hall "
        f"{figures['hall_level']:2d}"
    )


def _open(port: Optional[str], directory: str) -> OpenedDevice[Any]:
    try:
        return open_arm(port, directory=directory)
    except WrongDeviceError:
        assert port is not None
        return open_handle(port, directory=directory)
    except DeviceNotFoundError:
        if port is not None:
            raise
        return open_handle(None, directory=directory)


def monitor(
    port: Optional[str] = None,
    *,
    directory: str = DEV,
    as_json: bool = False,
    seconds: Optional[float] = None,
) -> None:
    """Shows the device on `port` (or the one arm, else the one handle, that answers) live
    until Ctrl-C, or for `seconds`."""
    device = _open(port, directory)
    stream: Optional[HandleStream] = None
    live = sys.stdout.isatty() and not as_json
    try:
        if isinstance(device.device, api.Handle):
            stream = HandleStream(device).start()
        name = printable(device.port)
        if not as_json:
            print(f"{device.identity} on {name}", flush=True)
        start = time.monotonic()
        period = JSON_PERIOD if as_json or not live else REFRESH
        next_line = start + period
        while seconds is None or time.monotonic() - start < seconds:
            figures = _arm_figures(device) if stream is None else _handle_figures(stream)
            now = time.monotonic()
            if now >= next_line:
                stats = device.link_stats(reset=True)
                if as_json:
                    figures["link"] = stats
                    figures["time"] = now - start
                    print(json.dumps(figures), flush=True)
                else:
                    line = _arm_line(figures) if stream is None else _handle_line(figures)
                    print(
                        "\r" if live else "",
                        f"{now - start:6.1f} s  {line}  {_link(stats)}",
                        end="" if live else "\n",
                        sep="",
                        flush=True,
                    )
                next_line = now + period
            time.sleep(REFRESH / 5)
    except KeyboardInterrupt:
        pass
    finally:
        if live:
            print()
        if stream is not None:
            stream.stop()
        device.close()
