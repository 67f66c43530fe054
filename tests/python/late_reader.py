"""A host that writes many requests back to back and only then reads the replies, in a process
of its own, as a program that falls behind its device would."""

import subprocess
import sys

CLIENT = r"""
import os, select, sys, termios, time, tty

port, request, count, expected, out = sys.argv[1:6]
fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd, termios.TCSANOW)
requests = bytes.fromhex(request) * int(count)
written = 0
while written < len(requests):
    written += os.write(fd, requests[written:])
received = bytearray()
deadline = time.monotonic() + 120.0
# Past the expected count, whatever still comes within a moment shows too.
while time.monotonic() < deadline:
    wait = 10.0 if len(received) < int(expected) else 0.5
    if not select.select([fd], [], [], wait)[0]:
        break
    received += os.read(fd, 65536)
with open(out, "wb") as replies:
    replies.write(received)
"""


def read_late(port, request, count, expected, folder):
    """The bytes the host received after writing `request` `count` times."""
    out = folder / "received.bin"
    subprocess.run(
        [sys.executable, "-c", CLIENT, port, request.hex(), str(count), str(expected), str(out)],
        check=True,
        timeout=180,
    )
    return out.read_bytes()
