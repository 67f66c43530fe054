"""Virtual devices for programs and tests: `ornix-sim` started as a child process, ready when its
devices are, stopped cleanly.

For pytest, add `pytest_plugins = ["ornix.pytest_plugin"]` to a `conftest.py` and use the
`ornix_sim` fixture.
"""

from __future__ import annotations

import os
import select
import shutil
import signal
import subprocess
import sysconfig
import time
from typing import IO, Union

# The words of the command line that start a device (a virtual one, a proxy to a real one, a
# recording played back), each announced by one ready line.
DEVICE_WORDS = ("arm", "handle", "proxy", "replay")


def simulator_path() -> str:
    """`ornix-sim` as installed beside this interpreter, else the first on PATH."""
    beside = os.path.join(sysconfig.get_path("scripts"), "ornix-sim")
    if os.access(beside, os.X_OK):
        return beside
    found = shutil.which("ornix-sim")
    if found is None:
        raise FileNotFoundError(
            "ornix-sim is not installed: it comes with the OrnixHardwareAPI package "
            "(python3 -m pip install OrnixHardwareAPI), or put its directory on PATH"
        )
    return found


class VirtualDevices:
    """A running `ornix-sim ARGS...`: `ports` maps each device word ("arm", "handle", "proxy",
    "replay") to the path of its port, `port` is the port of the first device.

    `VirtualDevices("arm")` serves one virtual arm; any command line of `ornix-sim` works, such
    as `VirtualDevices("arm", "--delay", "5", "handle", "--compact", "100")`.
    """

    def __init__(
        self, *args: str, stderr: Union[None, int, IO[bytes]] = None, ready_within: float = 10.0
    ) -> None:
        self.args = args
        self.process = subprocess.Popen(
            [simulator_path(), *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr
        )
        try:
            count = sum(args.count(word) for word in DEVICE_WORDS)
            deadline = time.monotonic() + ready_within
            self.lines = [self._read_line(deadline) for _ in range(count)]
        except BaseException:
            self.close()
            raise
        self.ports = {line.split()[0]: line.split()[-1] for line in self.lines}

    @property
    def port(self) -> str:
        return self.lines[0].split()[-1]

    def _read_line(self, deadline: float) -> str:
        assert self.process.stdout is not None
        line = b""
        while not line.endswith(b"\n"):
            ready, _, _ = select.select([self.process.stdout], [], [], deadline - time.monotonic())
            if not ready:
                raise TimeoutError(f"ornix-sim {' '.join(self.args)} was not ready: {line!r}")
            byte = os.read(self.process.stdout.fileno(), 1)
            if not byte:
                status = self.process.wait()
                raise RuntimeError(
                    f"ornix-sim {' '.join(self.args)} ended with status {status} before it was "
                    "ready (its standard error says why)"
                )
            line += byte
        return line.decode()

    def stop(self, how: Union[str, signal.Signals] = "eof", within: float = 5.0) -> int:
        """Stops the simulator by closing its standard input ("eof") or with a signal, and
        returns its exit status."""
        if isinstance(how, str):
            if how != "eof" or self.process.stdin is None:
                raise ValueError(f"stop how: 'eof' or a signal, not {how!r}")
            self.process.stdin.close()
        else:
            self.process.send_signal(how)
        return self.process.wait(timeout=within)

    def close(self) -> None:
        """Stops the simulator if it still runs, letting it remove its links, and kills it if it
        does not end; closing twice does nothing."""
        if self.process.poll() is None:
            try:
                self.stop(within=2.0)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()

    def __enter__(self) -> VirtualDevices:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()
