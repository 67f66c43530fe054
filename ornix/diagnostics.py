"""Forwarding of the error lines the native library writes to standard error into Python logging."""

from __future__ import annotations

import atexit
import contextlib
import logging
import os
import queue
import re
import selectors
import sys
import threading
from types import TracebackType
from typing import NamedTuple

__all__ = ["DiagnosticsForwarding", "diagnostics_to_logging"]

_PREFIX = b"[err] "
_LINE = re.compile(rb"\[err\] (?P<file>\S+?):(?P<line>\d+)> (?P<message>[^\n]*)\n?\Z")
# Greedy, so that a port name which itself looks like an errno tail stays in the message.
_ERRNO_TAIL = re.compile(rb"(?P<message>.*): \[(?P<errno>-?\d+)\] (?P<strerror>.*)\Z")
# The library's lines name a port path at most; anything longer without a newline is other text.
_LONGEST_LINE = 64 * 1024
_CHUNK = 64 * 1024


class _Diagnostic(NamedTuple):
    source_file: str
    source_line: int
    message: str
    errno: int | None
    strerror: str | None
    raw: bytes


def _text(data: bytes) -> str:
    # Port names are arbitrary bytes; a record must still be printable by any handler.
    return data.decode("utf-8", "backslashreplace")


def _parse_line(line: bytes) -> _Diagnostic | None:
    """The library diagnostic `line` holds (one line, its newline optional), or None if other."""
    match = _LINE.match(line)
    if match is None:
        return None
    message = match["message"]
    errno: int | None = None
    strerror: str | None = None
    tail = _ERRNO_TAIL.match(message)
    if tail is not None:
        message = tail["message"]
        errno = int(tail["errno"])
        strerror = _text(tail["strerror"])
    return _Diagnostic(
        _text(match["file"]), int(match["line"]), _text(message), errno, strerror, line
    )


def _partial_prefix_length(data: bytes) -> int:
    for size in range(min(len(_PREFIX) - 1, len(data)), 0, -1):
        if data.endswith(_PREFIX[:size]):
            return size
    return 0


class _LineSplitter:
    """Separates diagnostics from other text in a byte stream that arrives in arbitrary chunks."""

    def __init__(self) -> None:
        self._held = b""

    def feed(self, data: bytes) -> list[bytes | _Diagnostic]:
        """Other text and diagnostics in stream order; holds back only what may become one."""
        buffer = self._held + data
        pieces: list[bytes | _Diagnostic] = []
        passed = 0
        search = 0
        # A diagnostic reaches the pipe in one write, so it may follow a partial line of other text.
        while (start := buffer.find(_PREFIX, search)) >= 0:
            end = buffer.find(b"\n", start)
            if end < 0 and len(buffer) - start <= _LONGEST_LINE:
                if start > passed:
                    pieces.append(buffer[passed:start])
                self._held = buffer[start:]
                return pieces
            diagnostic = None if end < 0 else _parse_line(buffer[start : end + 1])
            if diagnostic is None:
                search = start + 1
                continue
            if start > passed:
                pieces.append(buffer[passed:start])
            pieces.append(diagnostic)
            passed = search = end + 1
        kept = len(buffer) - _partial_prefix_length(buffer[passed:])
        if kept > passed:
            pieces.append(buffer[passed:kept])
        self._held = buffer[kept:]
        return pieces

    def finish(self) -> bytes:
        """What is still held back: at the end of the stream it can only be other text."""
        held, self._held = self._held, b""
        return held


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    try:
        while view:
            view = view[os.write(fd, view) :]
    except OSError:
        # Text the original standard error no longer takes is dropped, rather than stalling
        # every writer behind a pipe that is no longer read.
        pass


def _flush_python_stderr() -> None:
    # Text Python still buffers belongs where descriptor 2 pointed when it was written.
    if sys.stderr is not None:
        sys.stderr.flush()


class DiagnosticsForwarding:
    """An active forwarding of the library's error lines to a logger, ended by close()."""

    def __init__(self, logger: logging.Logger) -> None:
        self._logger = logger
        self._lock = threading.Lock()
        self._closed = False
        self._pid = os.getpid()
        self._records: queue.Queue[_Diagnostic | None] = queue.Queue()
        with contextlib.ExitStack() as cleanup:
            self._read_fd, write_fd = os.pipe()
            cleanup.callback(os.close, self._read_fd)
            cleanup.callback(os.close, write_fd)
            self._wake_read, self._wake_write = os.pipe()
            cleanup.callback(os.close, self._wake_read)
            cleanup.callback(os.close, self._wake_write)
            self._original = os.dup(2)
            cleanup.callback(os.close, self._original)
            self._reader = threading.Thread(
                target=self._read, name="ornix-diagnostics-reader", daemon=True
            )
            # Handlers may write to standard error themselves, that is into the pipe: the
            # reader must never wait for them, or a full pipe would stop both.
            self._dispatcher = threading.Thread(
                target=self._dispatch, name="ornix-diagnostics-dispatcher", daemon=True
            )
            _flush_python_stderr()
            os.dup2(write_fd, 2)
            cleanup.callback(os.dup2, self._original, 2)
            # Started first, as it touches none of the descriptors closed if the reader fails.
            self._dispatcher.start()
            self._reader.start()
            cleanup.pop_all()
        os.close(write_fd)
        atexit.register(self.close)

    def close(self) -> None:
        """Puts the original standard error back and delivers everything written until then.

        Calling it again does nothing.
        """
        with self._lock:
            if self._closed:
                return
            self._closed = True
            _flush_python_stderr()
            os.dup2(self._original, 2)
            # The threads belong to the process that started the forwarding; a forked child
            # only takes its standard error back.
            if os.getpid() == self._pid:
                # Handlers still writing into the pipe need the reader until they are done.
                self._records.join()
                os.write(self._wake_write, b"\0")
                self._reader.join()
                self._dispatcher.join()
            for fd in (self._read_fd, self._wake_read, self._wake_write, self._original):
                os.close(fd)
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

    def _read(self) -> None:
        splitter = _LineSplitter()
        with selectors.DefaultSelector() as selector:
            selector.register(self._read_fd, selectors.EVENT_READ)
            selector.register(self._wake_read, selectors.EVENT_READ)
            while True:
                ready = {key.fd for key, _ in selector.select()}
                if self._read_fd not in ready:
                    break
                data = os.read(self._read_fd, _CHUNK)
                if not data:
                    break
                self._deliver(splitter.feed(data))
        # Other processes may still hold the pipe open, so the end is wherever it runs empty.
        os.set_blocking(self._read_fd, False)
        with contextlib.suppress(BlockingIOError):
            while data := os.read(self._read_fd, _CHUNK):
                self._deliver(splitter.feed(data))
        _write_all(self._original, splitter.finish())
        self._records.put(None)

    def _deliver(self, pieces: list[bytes | _Diagnostic]) -> None:
        for piece in pieces:
            if isinstance(piece, bytes):
                _write_all(self._original, piece)
            else:
                self._records.put(piece)

    def _dispatch(self) -> None:
        while (diagnostic := self._records.get()) is not None:
            try:
                self._log(diagnostic)
            except Exception:
                # The line must not be lost with the logger: it goes where it was headed.
                _write_all(self._original, diagnostic.raw)
            finally:
                self._records.task_done()
        self._records.task_done()

    def _log(self, diagnostic: _Diagnostic) -> None:
        fields = {
            "source_file": diagnostic.source_file,
            "source_line": diagnostic.source_line,
            "errno": diagnostic.errno,
            "strerror": diagnostic.strerror,
        }
        if diagnostic.strerror is None:
            self._logger.error("%s", diagnostic.message, extra=fields)
        else:
            self._logger.error("%s: %s", diagnostic.message, diagnostic.strerror, extra=fields)


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
    `source_file`, `source_line`, `errno` and `strerror` (the last two None when the line names
    no error number). All other text written to standard error reaches it unchanged.

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
