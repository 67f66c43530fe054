"""What a test watches from the side while a module call runs: whether other Python threads get
to run, and how soon Ctrl-C ends the call."""

import os
import signal
import subprocess
import threading
import time


class Ticker:
    """Another Python thread that stamps the time every 10 ms while a call is in progress. A call
    that keeps the interpreter lock leaves no stamp inside the span in which it waits; one that
    releases it leaves many, however busy the machine, unless the thread is starved for the whole
    span."""

    def __init__(self):
        self.stamps = []
        self.start = self.end = None
        self._running = True
        self._thread = threading.Thread(target=self._tick)

    def _tick(self):
        while self._running:
            self.stamps.append(time.monotonic())
            time.sleep(0.01)

    def during(self, call, then=None):
        """Runs `call` with the thread ticking and returns its result; `then`, if given, runs
        just before the call, once `start` has been taken."""
        self._thread.start()
        time.sleep(0.05)
        self.start = time.monotonic()
        try:
            if then is not None:
                then()
            return call()
        finally:
            self.end = time.monotonic()
            self._running = False
            self._thread.join()

    def between(self, after, before):
        """How many stamps fall strictly between the two times."""
        return sum(after < stamp < before for stamp in self.stamps)


SIGNAL_AFTER = 0.5


def interrupted(call):
    """Runs `call` with SIGINT sent to this process from another one after half a second, with
    Python's own handler in place: the seconds until KeyboardInterrupt came, or None if the call
    returned instead."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    sender = subprocess.Popen(
        ["/bin/sh", "-c", f"sleep {SIGNAL_AFTER}; kill -INT {os.getpid()}"],
        start_new_session=True,
    )
    start = time.monotonic()
    try:
        call()
    except KeyboardInterrupt:
        return time.monotonic() - start
    else:
        # The call ended first: its failure is the test's, not a Ctrl-C of the whole run.
        os.killpg(sender.pid, signal.SIGKILL)
        return None
    finally:
        sender.wait()
        signal.signal(signal.SIGINT, previous)
