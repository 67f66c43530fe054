"""How long each call takes when the device fails it, measured against ornix-sim's fault modes:
a device that never answers, one whose every answer is cut short, one whose every answer starts
with a code no host expects. Each case runs once: the waits are whole-second time-outs.

Run: python3 bench/worst_case.py
"""

import os
import sys
import time

import OrnixHardwareAPI as ornix

from ornix.testing import VirtualDevices

ARM_CALLS = [
    ("end_effector_force", lambda arm: arm.end_effector_force([0.0, 0.0, 0.1])),
    ("get_temperature", lambda arm: arm.get_temperature()),
    ("get_device_id", lambda arm: arm.get_device_id()),
]
HANDLE_CALLS = [
    ("Handle.Receive", lambda handle: handle.Receive()),
    ("Handle.GetQuilletStatus", lambda handle: handle.GetQuilletStatus()),
]
FAULTS = [
    ("never answers", ["--silent"]),
    ("every answer cut short", ["--truncate-every", "1"]),
    ("every answer with a wrong code", ["--wrong-code-every", "1"]),
]


def timed(call):
    start = time.monotonic()
    call()
    return time.monotonic() - start


def main():
    # The library's error lines would drown the table.
    saved = os.dup(2)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    rows = []
    try:
        for fault, options in FAULTS:
            with VirtualDevices("arm", *options) as device:
                arm = ornix.Ostrel3(ornix.SerialStream(device.port))
                rows += [(name, fault, timed(lambda: call(arm))) for name, call in ARM_CALLS]
        with VirtualDevices("handle", "--silent") as device:
            handle = ornix.Handle(ornix.SerialStream(device.port))
            handle.RequestStatus()
            rows += [
                (name, "never answers", timed(lambda: call(handle))) for name, call in HANDLE_CALLS
            ]
    finally:
        os.dup2(saved, 2)
    print(f"{'call':26} {'device':32} {'seconds':>8}")
    for name, fault, seconds in rows:
        print(f"{name:26} {fault:32} {seconds:8.2f}")


if __name__ == "__main__":
    main()
