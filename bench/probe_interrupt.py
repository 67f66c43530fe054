"""How soon Ctrl-C ends `ornix list --probe` over many silent ports.

Pseudo-terminals that never answer, linked under the names of arm ports in a folder of their
own, are probed all at once by `ornix list --dev FOLDER --probe`; once every one has had its
wake-up, SIGINT is sent, and the time until the command has ended is measured. Each probe would
otherwise wait out a device time-out of five seconds or more.

    python3 bench/probe_interrupt.py [--ports 200] [--rounds 5]
"""

from __future__ import annotations

import argparse
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The tests' silent ports: "ready" once linked, "probed" once every one has been written to.
SILENT_PORTS = str(Path(__file__).resolve().parent.parent / "tests" / "python" / "silent_ports.py")


def one_round(ports: int) -> float:
    with tempfile.TemporaryDirectory() as folder:
        silent = subprocess.Popen(
            [sys.executable, SILENT_PORTS, folder, str(ports)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert silent.stdout is not None
        try:
            assert silent.stdout.readline() == "ready\n"
            listing = subprocess.Popen(
                [sys.executable, "-m", "ornix", "list", "--dev", folder, "--probe"],
                cwd=folder,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
            assert silent.stdout.readline() == "probed\n"
            interrupted = time.monotonic()
            listing.send_signal(signal.SIGINT)
            listing.wait(timeout=120)
            return time.monotonic() - interrupted
        finally:
            silent.communicate("", timeout=60)


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--ports", type=int, default=200)
    options.add_argument("--rounds", type=int, default=5)
    chosen = options.parse_args()
    delays = [one_round(chosen.ports) for _ in range(chosen.rounds)]
    shown = ", ".join(f"{delay * 1000:.0f}" for delay in delays)
    print(
        f"Ctrl-C over {chosen.ports} silent ports, {chosen.rounds} rounds: median "
        f"{statistics.median(delays) * 1000:.0f} ms ({shown} ms)"
    )


if __name__ == "__main__":
    main()
