"""A virtual device served by ornix-sim for as long as a program needs it."""

import os
import shutil
import subprocess
import sys
import sysconfig


def simulator_path():
    """ornix-sim as installed beside this interpreter, else the one on PATH."""
    beside = os.path.join(sysconfig.get_path("scripts"), "ornix-sim")
    if os.access(beside, os.X_OK):
        return beside
    found = shutil.which("ornix-sim")
    if found is None:
        sys.exit("ornix-sim is not installed: python3 -m pip install .")
    return found


class VirtualDevice:
    """`ornix-sim KIND OPTIONS...` as a child process; `port` is the device's path."""

    def __init__(self, kind, *options):
        self.process = subprocess.Popen(
            [simulator_path(), kind, *options],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.port = self.process.stdout.readline().split()[-1]

    def stop(self):
        """Closing its standard input ends the simulator."""
        self.process.stdin.close()
        self.process.wait(timeout=5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
