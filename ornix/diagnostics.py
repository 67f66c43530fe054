"""The library's error lines as Python logging records.

The library hands each failure to one sink for the process: standard error by default, or, while
`diagnostics_to_logging` is on, the companion's, which turns it into a record of the
"OrnixHardwareAPI" logger. Nothing passes through standard error on the way: whatever else the
process or its children write there is not touched.
"""

from __future__ import annotations

import atexit
import logging
import threading
from types import TracebackType

from . import _native

__all__ = ["DiagnosticsForwarding", "diagnostics_to_logging"]

# How often the delivering thread looks whether it is to end.
_WAKE_UP = 0.1  # s

# Sinks no longer installed: a report in progress on another thread may still be using one.
_retired: list[_native.LoggingSink] = []


class DiagnosticsForwarding:
    """An active forwarding of the library's error lines to a logger, ended by close()."""

    def __init__(self, logger: logging.Logger) -> None:
        self._logger = logger
        self._lock = threading.Lock()
        self._closed = False
        self._sink = _native.LoggingSink(self._log)
        # Failures of threads Python does not know (detection's probes, a servo loop) wait for
        # this one, which delivers them once it can take the interpreter lock.
        self._delivering = threading.Thread(
            target=self._deliver, name="ornix-diagnostics", daemon=True
        )
        self._sink.install()
        self._delivering.start()
        atexit.register(self.close)

    def close(self) -> None:
        """Sends the library's error lines to standard error again, once every line reported
        until then has been delivered. Calling it again does nothing."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._sink.uninstall()
            self._sink.close()
            if self._delivering.is_alive() and self._delivering is not threading.current_thread():
                self._delivering.join()
            # What came after the thread's last look, or in a forked child that has no thread.
            self._sink.deliver_queued(0)
            _retired.append(self._sink)
            atexit.unregister(self.close)
        _forgotten(self)

    def __enter__(self) -> DiagnosticsForwarding:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def _deliver(self) -> None:
        while self._sink.deliver_queued(_WAKE_UP):
            pass

    def _log(
        self, source_file: str, source_line: int, message: str, errno: int, strerror: str
    ) -> None:
        fields = {
            "source_file": source_file,
            "source_line": source_line,
            "errno": errno,
            "strerror": strerror,
        }
        self._logger.error("%s: %s", message, strerror, extra=fields)


_active: DiagnosticsForwarding | None = None
_active_lock = threading.Lock()


def _forgotten(forwarding: DiagnosticsForwarding) -> None:
    global _active
    with _active_lock:
        if _active is forwarding:
            _active = None


def diagnostics_to_logging(logger: logging.Logger | None = None) -> DiagnosticsForwarding:
    """Sends the library's error lines to `logger` as ERROR records instead of standard error.

    The logger defaults to ``logging.getLogger("OrnixHardwareAPI")``. Each record's message is
    the line's text followed by the system's description of the error, and the record carries
    `source_file`, `source_line`, `errno` and `strerror`. A failure on a Python thread is logged
    on that thread before the call that failed goes on (also when the call holds the
    interpreter lock); one on a thread Python does not know (a detection probe, a servo loop) is
    logged as soon as the interpreter lock is free. A line the logger fails on goes to standard
    error instead. Standard error itself is not touched: all other text written there reaches it
    as before.

    The forwarding lasts until its close(), the end of its ``with`` block or the end of the
    interpreter. Only one can be active: calling this again before it is closed raises
    RuntimeError.
    """
    global _active
    with _active_lock:
        if _active is not None:
            raise RuntimeError(
                "the library's diagnostics are already forwarded to logging; "
                "close the active forwarding first"
            )
        _active = DiagnosticsForwarding(
            logger if logger is not None else logging.getLogger("OrnixHardwareAPI")
        )
        return _active
