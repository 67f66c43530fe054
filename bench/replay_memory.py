"""Replay benchmark: what `ornix-sim replay` costs in memory and time for a long recording.

Writes a recording of FRAMES frames (get_temperature requests, each answered), then serves it
with `ornix-sim replay` and plays every exchange of it from a raw host port. The report gives
the file's size, the time until the replay was ready (the recording read and checked), the time
to play all its exchanges, and the replay's peak resident memory.
Run: python3 bench/replay_memory.py [--frames N] [--simulator PATH]
"""

import argparse
import json
import os
import resource
import sys
import tempfile
import time

from ornix import testing

sys.path.insert(
    0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python")
)
from hostport import HostPort  # noqa: E402

REQUEST = bytes.fromhex("aa")
REPLY = bytes.fromhex("aa0000c841")


def write_recording(path, frames):
    """A recording of `frames` frames: requests 1 ms apart, each answered 1 us after it."""
    header = {"recording": 1, "port": "/dev/ttyUSB0", "started": "2026-01-01T00:00:00.000000Z"}
    with open(path, "w") as out:
        out.write(json.dumps(header) + "\n")
        for number in range(frames // 2):
            out.write(
                f'{{"t": {number / 1000:.6f}, "from": "host", "hex": "aa", '
                f'"frame": "get_temperature", "fields": {{}}}}\n'
                f'{{"t": {number / 1000 + 0.000001:.6f}, "from": "device", "hex": "aa0000c841", '
                f'"frame": "temperature", "fields": {{"temperature": 25}}}}\n'
            )


def process_peak_mib(pid):
    """The peak resident size of a running process where the system tells it (Linux), else
    nothing."""
    status = f"/proc/{pid}/status"
    if not (sys.platform.startswith("linux") and os.path.exists(status)):
        return None
    with open(status) as lines:
        for line in lines:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return None


def children_peak_mib():
    """The peak resident size of the children that have ended, which also counts the bench
    itself as it was when the child was started (bytes on macOS, KiB elsewhere)."""
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return peak / (1 << 20) if sys.platform == "darwin" else peak / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--simulator", help="the ornix-sim to measure (default: the installed one)")
    options = parser.parse_args()
    if options.simulator:
        testing.simulator_path = lambda: options.simulator

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "long.jsonl")
        write_recording(path, options.frames)
        size = os.path.getsize(path)
        began = time.monotonic()
        with testing.VirtualDevices("replay", path, ready_within=600.0) as replay:
            ready = time.monotonic() - began
            port = HostPort(replay.port, raw=True, timeout=10.0)
            began = time.monotonic()
            for _ in range(options.frames // 2):
                if port.exchange(REQUEST, len(REPLY)) != REPLY:
                    raise SystemExit("the replay did not answer as recorded")
            played = time.monotonic() - began
            port.close()
            peak = process_peak_mib(replay.process.pid)
            replay.stop(within=30.0)
        if peak is None:
            peak = children_peak_mib()

    print(f"{options.frames} frames, {size / (1 << 20):.1f} MiB of recording")
    print(f"  ready after {ready:.2f} s, {options.frames // 2} exchanges played in {played:.2f} s")
    print(f"  peak resident memory {peak:.1f} MiB")


if __name__ == "__main__":
    main()
