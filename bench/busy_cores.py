"""Every core kept busy by other processes, for the benchmarks' sections under load."""

import os
import subprocess
import sys


class BusyCores:
    """One process spinning on every core, for as long as the block runs."""

    def __enter__(self):
        self.spinners = [
            subprocess.Popen([sys.executable, "-c", "while True: pass"])
            for _ in range(os.cpu_count() or 2)
        ]
        return self

    def __exit__(self, *exc):
        for spinner in self.spinners:
            spinner.kill()
            spinner.wait()
