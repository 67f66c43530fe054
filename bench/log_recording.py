"""`ornix log` over generated recordings: the time and the peak resident memory of the table and
of the summary, each in a process of its own, its output thrown away.

A recording of N frames is an arm session as `ornix-sim proxy` writes one: force requests at
1 kHz with their state replies, a temperature request every 500 exchanges, now and then a reply
with a wrong code, and every 50000 exchanges a request left unanswered past the time-out.
Run: python3 bench/log_recording.py [--frames N ...] [--ornix COMMAND] [--folder DIR]
"""

import argparse
import json
import os
import shlex
import struct
import subprocess
import sys
import tempfile
import time

HEADER = {"recording": 1, "port": "/dev/ttyACM0", "started": "2026-12-09T06:09:26.510360Z"}


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def floats_hex(code, values):
    return (bytes([code]) + struct.pack(f"<{len(values)}f", *values)).hex()


def frame(t, sender, data, name, fields):
    return json.dumps(
        {"t": round(t, 6), "from": sender, "hex": data, "frame": name, "fields": fields}
    )


def exchange(number, t):
    """The lines of exchange `number`, which begins at `t`; the time it ends."""
    if number % 500 == 499:
        return [
            frame(t, "host", "aa", "get_temperature", {}),
            frame(
                t + 0.000184, "device", floats_hex(0xAA, [25.0]), "temperature", {"temperature": 25}
            ),
        ], t + 0.001
    force = [0.0, 0.0, f32(-0.5 + (number % 100) / 100)]
    position = [f32(0.21213 - number % 1000 * 1e-6), 0.0, f32(-0.0074)]
    velocity = [f32(-0.099), 0.0, f32(-0.2618)]
    request = frame(t, "host", floats_hex(0x2A, force), "end_effector_force", {"force": force})
    if number % 50000 == 49999:
        return [request], t + 5.5
    reply_at = t + 0.000163 + number % 7 * 1e-6
    if number % 997 == 996:
        data = "ee" + floats_hex(0x2B, position + velocity)[2:]
        reply = json.dumps(
            {
                "t": round(reply_at, 6),
                "from": "device",
                "hex": data,
                "frame": None,
                "error": "unknown code",
            }
        )
    else:
        data = floats_hex(0x2B, position + velocity)
        reply = frame(
            reply_at, "device", data, "state", {"position": position, "velocity": velocity}
        )
    return [request, reply], t + 0.001


def write_recording(path, frames):
    with open(path, "w") as out:
        out.write(json.dumps(HEADER) + "\n")
        written, number, t = 0, 0, 0.005
        while written < frames:
            lines, t = exchange(number, t)
            lines = lines[: frames - written]
            out.write("".join(line + "\n" for line in lines))
            if number == 0:
                out.write(json.dumps({"t": 0.005163, "device": "arm"}) + "\n")
            written += len(lines)
            number += 1


def measure(command):
    """Seconds, processor seconds and peak resident MiB of `command`, run to its end."""
    began = time.monotonic()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.monotonic() - began
    child.returncode = os.waitstatus_to_exitcode(status)
    errors = child.stderr.read().decode()
    child.stderr.close()
    if child.returncode != 0:
        raise SystemExit(f"{shlex.join(command)} failed: {errors}")
    # ru_maxrss is in kibibytes on Linux and in bytes on macOS.
    kib = usage.ru_maxrss if sys.platform.startswith("linux") else usage.ru_maxrss / 1024
    return seconds, usage.ru_utime + usage.ru_stime, kib / 1024


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--frames", type=int, nargs="+", default=[40000, 200000, 1000000])
    options.add_argument("--ornix", default="ornix", help="the command to measure (%(default)s)")
    options.add_argument("--folder", help="where the recordings go (default: a temporary one)")
    arguments = options.parse_args()
    with tempfile.TemporaryDirectory() as temporary:
        folder = arguments.folder or temporary
        columns = ("S", "CPU S", "PEAK MIB")
        print(
            f"{'':16}{'ornix log':>27}{'ornix log --summary':>27}\n"
            f"{'FRAMES':>9}{'MIB':>7}" + "".join(f"{name:>9}" for name in columns * 2)
        )
        for frames in arguments.frames:
            path = os.path.join(folder, f"arm-{frames}.jsonl")
            if not os.path.exists(path):
                write_recording(path, frames)
            size = os.path.getsize(path) / 2**20
            command = shlex.split(arguments.ornix) + ["log", path]
            figures = measure(command) + measure(command + ["--summary"])
            print(
                f"{frames:9d}{size:7.1f}" + "".join(f"{figure:9.2f}" for figure in figures),
                flush=True,
            )


if __name__ == "__main__":
    main()
