"""Handle status: orientation, buttons and battery of a handle's compact status stream.

An handle that answers on this machine is used; without one, a virtual handle (ornix-sim)
streaming compact status packets is started for the run.
"""

import argparse

import OrnixHardwareAPI

import ornix
from ornix.testing import VirtualDevices


class StatusMonitor(OrnixHardwareAPI.Handle):
    """Reads the compact status packets the handle streams and prints what they say."""

    def report(self):
        status = self.GetQuilletStatus()
        if status["error_flag"] in (1, 2):
            print("no status packet" if status["error_flag"] == 2 else "malformed packet")
            return
        w, x, y, z = status["quaternion"]
        pressed = [str(button) for button in range(3) if status["buttons"] >> button & 1]
        print(
            f"handle {status['device_id']}: orientation ({w:+.3f}, {x:+.3f}, {y:+.3f}, {z:+.3f})"
            f"  buttons [{' '.join(pressed)}]  hall {status['hall_effect_sensor_level']:2d}"
            f"  battery {status['battery_level']:.3f} V"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reports", type=int, default=10, help="how many reports (default 10)")
    options = parser.parse_args()

    simulator = None
    try:
        try:
            monitor = ornix.open_handle(handle_class=StatusMonitor)
        except ornix.DeviceNotFoundError:
            simulator = VirtualDevices("handle", "--compact", "10")
            monitor = ornix.open_handle(simulator.port, StatusMonitor)
        with monitor:
            print(f"{monitor.identity} on {monitor.port}")
            for _ in range(options.reports):
                monitor.device.report()
    finally:
        if simulator:
            simulator.close()


if __name__ == "__main__":
    main()
