"""ornix-sim as a child process of a test."""

import os
import select
import shutil
import subprocess
import sysconfig
import time

# The copy installed with the package under test comes first.
SIM = shutil.which(
    "ornix-sim",
    path=os.pathsep.join([sysconfig.get_path("scripts"), os.environ.get("PATH", "")]),
)


class Simulator:
    """A running ornix-sim; `ports` maps each device word to the port path it printed."""

    def __init__(self, *args):
        assert SIM, "ornix-sim is installed with the package"
        self.process = subprocess.Popen(
            [SIM, *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        try:
            count = args.count("arm") + args.count("handle")
            self.lines = [self._read_line() for _ in range(count)]
        except AssertionError:
            self.kill()
            raise
        self.ports = {line.split()[0]: line.split()[-1] for line in self.lines}

    def _read_line(self, timeout=5.0):
        line = b""
        deadline = time.monotonic() + timeout
        while not line.endswith(b"\n"):
            ready, _, _ = select.select([self.process.stdout], [], [], deadline - time.monotonic())
            assert ready, f"no ready line from ornix-sim, got {line!r}"
            byte = os.read(self.process.stdout.fileno(), 1)
            assert byte, f"ornix-sim ended early: {self.process.stderr.read()!r}"
            line += byte
        return line.decode()

    def stop(self, how="eof"):
        if how == "eof":
            self.process.stdin.close()
        else:
            self.process.send_signal(how)
        return self.process.wait(timeout=5)

    def kill(self):
        """Stops the simulator, letting it remove its links if it still can."""
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=2)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()
