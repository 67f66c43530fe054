"""The library's error lines reach Python logging as records, and all other text written to
standard error reaches it unchanged. The forwarding takes over descriptor 2 of its process, so
each case runs in a child interpreter of its own."""

from __future__ import annotations

import errno
import json
import os
import subprocess
import sys
from typing import Any

import pytest

from ornix.diagnostics import _LONGEST_LINE, _Diagnostic, _LineSplitter, _parse_line

NO_SUCH_FILE = os.strerror(errno.ENOENT)

# Prints each record of the library's logger as one JSON line on standard output.
PRELUDE = """
import json, logging, os, sys
import OrnixHardwareAPI as o
from ornix.diagnostics import diagnostics_to_logging

class Show(logging.Handler):
    def emit(self, record):
        fields = ("name", "levelname", "source_file", "source_line", "errno", "strerror")
        shown = {name: getattr(record, name) for name in fields}
        shown["message"] = record.getMessage()
        print(json.dumps(shown), flush=True)

logger = logging.getLogger("OrnixHardwareAPI")
logger.addHandler(Show())
logger.propagate = False
"""


def run(script: str) -> tuple[list[dict[str, Any]], bytes, int]:
    """The records, standard error and exit status of `script` run after the prelude."""
    result = subprocess.run(
        [sys.executable, "-c", PRELUDE + script],
        capture_output=True,
        timeout=60,
        env=os.environ,
    )
    records = [json.loads(line) for line in result.stdout.decode().splitlines()]
    return records, result.stderr, result.returncode


def library_lines(port: str) -> bytes:
    """What the library writes to standard error for a stream on the missing `port`."""
    _, stderr, status = run(f"o.SerialStream({port!r})\n")
    assert status == 0
    assert stderr.count(b"\n") == 2
    return stderr


def as_line(record: dict[str, Any]) -> bytes:
    """The library line a record stands for, rebuilt from its fields."""
    message = record["message"].removesuffix(f": {record['strerror']}")
    return (
        f"[err] {record['source_file']}:{record['source_line']}> {message}: "
        f"[{record['errno']}] {record['strerror']}\n"
    ).encode()


def test_library_lines_become_records_and_other_text_passes_unchanged() -> None:
    other = [
        b"progress ",
        b"50%\n[error] not from the library\n",
        b"[err] no place named here\n",
        b"[er",
        b"rand] neither\n",
        "Python's own text \u00e9\n".encode(),
        b"a partial line at the end",
    ]
    records, stderr, status = run(
        "forwarding = diagnostics_to_logging()\n"
        f"os.write(2, {other[0]!r})\n"
        "o.SerialStream('/nonexistent')\n"
        f"os.write(2, {other[1]!r})\n"
        f"os.write(2, {other[2]!r})\n"
        f"os.write(2, {other[3]!r})\n"
        f"os.write(2, {other[4]!r})\n"
        f"sys.stderr.write({other[5].decode()!r})\n"
        "sys.stderr.flush()\n"
        "o.SerialStream('/nonexistent/either')\n"
        f"os.write(2, {other[6]!r})\n"
        "forwarding.close()\n"
    )
    assert (status, stderr) == (0, b"".join(other))
    assert [as_line(record) for record in records] == (
        library_lines("/nonexistent") + library_lines("/nonexistent/either")
    ).splitlines(keepends=True)
    assert records[0] == {
        "name": "OrnixHardwareAPI",
        "levelname": "ERROR",
        "source_file": "Library/src/SerialStream.cpp",
        "source_line": records[0]["source_line"],
        "errno": errno.ENOENT,
        "strerror": NO_SUCH_FILE,
        "message": f"unable to open port '/nonexistent': {NO_SUCH_FILE}",
    }
    assert all(isinstance(record["source_line"], int) for record in records)


def test_a_given_logger_receives_the_records() -> None:
    records, stderr, status = run(
        "mine = logging.getLogger('mine')\n"
        "mine.addHandler(Show())\n"
        "mine.propagate = False\n"
        "with diagnostics_to_logging(mine):\n"
        "    o.SerialStream('/nonexistent')\n"
    )
    assert (status, stderr) == (0, b"")
    assert [record["name"] for record in records] == ["mine", "mine"]
    assert [as_line(record) for record in records] == library_lines("/nonexistent").splitlines(
        keepends=True
    )


UNFORWARDED = {
    "the module only imported": "",
    "after close()": "diagnostics_to_logging().close()\n",
    "after the with block": "with diagnostics_to_logging():\n    pass\n",
    "after close() of a second forwarding": (
        "diagnostics_to_logging().close()\ndiagnostics_to_logging().close()\n"
    ),
}


@pytest.mark.parametrize("before", UNFORWARDED.values(), ids=list(UNFORWARDED))
def test_library_lines_go_to_standard_error_when_not_forwarded(before: str) -> None:
    records, stderr, status = run(before + "o.SerialStream('/nonexistent')\n")
    assert (status, records, stderr) == (0, [], library_lines("/nonexistent"))


def test_close_can_be_called_again() -> None:
    records, stderr, status = run(
        "forwarding = diagnostics_to_logging()\n"
        "o.SerialStream('/nonexistent')\n"
        "forwarding.close()\n"
        "forwarding.close()\n"
        "os.write(2, b'after\\n')\n"
    )
    assert (status, stderr, len(records)) == (0, b"after\n", 2)


def test_only_one_forwarding_is_active_at_a_time() -> None:
    records, stderr, status = run(
        "with diagnostics_to_logging():\n"
        "    try:\n"
        "        diagnostics_to_logging(logging.getLogger('other'))\n"
        "    except RuntimeError:\n"
        "        os.write(2, b'refused\\n')\n"
        "    o.SerialStream('/nonexistent')\n"
    )
    assert (status, stderr, len(records)) == (0, b"refused\n", 2)


def test_text_written_just_before_exit_is_delivered() -> None:
    records, stderr, status = run(
        "diagnostics_to_logging()\n"
        "o.SerialStream('/nonexistent')\n"
        "os.write(2, b'last words')\n"
        "raise SystemExit('and the reason')\n"
    )
    assert (status, stderr) == (1, b"last wordsand the reason\n")
    assert [as_line(record) for record in records] == library_lines("/nonexistent").splitlines(
        keepends=True
    )


def test_an_uncaught_exception_reaches_standard_error_at_exit() -> None:
    records, stderr, status = run(
        "diagnostics_to_logging()\n" "o.SerialStream('/nonexistent')\n" "1 / 0\n"
    )
    assert status == 1
    assert stderr.startswith(b"Traceback (most recent call last):\n")
    assert stderr.endswith(b"ZeroDivisionError: division by zero\n")
    assert len(records) == 2


def test_a_line_the_logger_fails_on_goes_to_standard_error_and_later_lines_are_logged() -> None:
    records, stderr, status = run(
        "class Refuse(logging.Filter):\n"
        "    def filter(self, record):\n"
        "        if 'open port' in record.getMessage():\n"
        "            raise ValueError('refused')\n"
        "        return True\n"
        "logger.addFilter(Refuse())\n"
        "with diagnostics_to_logging():\n"
        "    o.SerialStream('/nonexistent')\n"
        "    o.SerialStream('/nonexistent')\n"
    )
    port_line, stream_line = library_lines("/nonexistent").splitlines(keepends=True)
    assert (status, stderr) == (0, port_line * 2)
    assert [as_line(record) for record in records] == [stream_line] * 2


def test_handlers_writing_much_to_standard_error_do_not_stall_the_forwarding() -> None:
    # More than any pipe holds: the handler's text passes through the pipe it writes to.
    size = 1 << 20
    records, stderr, status = run(
        "class Loud(logging.Handler):\n"
        "    def emit(self, record):\n"
        f"        sys.stderr.write('x' * {size})\n"
        "        sys.stderr.flush()\n"
        "logger.addHandler(Loud())\n"
        "with diagnostics_to_logging():\n"
        "    o.SerialStream('/nonexistent')\n"
        "os.write(2, b'done')\n"
    )
    assert (status, stderr) == (0, b"x" * (2 * size) + b"done")
    assert len(records) == 2


def test_a_forked_child_exits_and_its_lines_are_forwarded() -> None:
    records, stderr, status = run(
        "import warnings\n"
        "warnings.simplefilter('ignore', DeprecationWarning)\n"
        "with diagnostics_to_logging():\n"
        "    child = os.fork()\n"
        "    if child == 0:\n"
        "        o.SerialStream('/nonexistent/child')\n"
        "        sys.exit(0)\n"
        "    os.waitpid(child, 0)\n"
        "    os.write(2, b'parent\\n')\n"
    )
    assert (status, stderr) == (0, b"parent\n")
    assert [as_line(record) for record in records] == library_lines(
        "/nonexistent/child"
    ).splitlines(keepends=True)


PLACE = b"[err] Library/src/Device.cpp:167> "


@pytest.mark.parametrize(
    "line, expected",
    [
        (
            PLACE + b"timeout waiting for header code: [110] Connection timed out\n",
            (
                "Library/src/Device.cpp",
                167,
                "timeout waiting for header code",
                110,
                "Connection timed out",
            ),
        ),
        (
            PLACE + b"timeout waiting for header code: [110] Connection timed out",
            (
                "Library/src/Device.cpp",
                167,
                "timeout waiting for header code",
                110,
                "Connection timed out",
            ),
        ),
        (
            PLACE + b"lost the device\n",
            ("Library/src/Device.cpp", 167, "lost the device", None, None),
        ),
        (
            PLACE + b"unable to open port 'a: [1] b': [2] No such file or directory\n",
            (
                "Library/src/Device.cpp",
                167,
                "unable to open port 'a: [1] b'",
                2,
                "No such file or directory",
            ),
        ),
        (
            PLACE + b"unable to open port '\xff': [2] No such file or directory\n",
            (
                "Library/src/Device.cpp",
                167,
                "unable to open port '\\xff'",
                2,
                "No such file or directory",
            ),
        ),
    ],
    ids=["full", "without newline", "without errno", "errno-like port name", "non-UTF-8 port name"],
)
def test_parse_line_reads_diagnostics(line: bytes, expected: tuple[object, ...]) -> None:
    diagnostic = _parse_line(line)
    assert diagnostic is not None
    assert diagnostic[:5] == expected
    assert diagnostic.raw == line


@pytest.mark.parametrize(
    "line",
    [
        b"Traceback (most recent call last):\n",
        b"[error] Library/src/Device.cpp:167> not ours\n",
        b"[err] no place named here\n",
        b"[err] Library/src/Device.cpp:167>no space\n",
        b"[err] Library/src/Device.cpp:line> no number\n",
        b"[err] Library/src/Device.cpp:167> two\nlines\n",
        b" [err] Library/src/Device.cpp:167> indented\n",
    ],
)
def test_parse_line_rejects_other_text(line: bytes) -> None:
    assert _parse_line(line) is None


def feed_all(chunks: list[bytes]) -> list[bytes | _Diagnostic]:
    """What the splitter gives for `chunks`, adjacent text joined, the held-back tail included."""
    splitter = _LineSplitter()
    pieces = [piece for chunk in chunks for piece in splitter.feed(chunk)]
    pieces.append(splitter.finish())
    joined: list[bytes | _Diagnostic] = []
    for piece in pieces:
        if isinstance(piece, bytes) and joined and isinstance(joined[-1], bytes):
            joined[-1] += piece
        elif piece != b"":
            joined.append(piece)
    return joined


STREAM = (
    b"start [er"
    + PLACE
    + b"first: [2] No such file or directory\n"
    + b"[err] no place\n[erratic]\n"
    + PLACE
    + b"second\n"
    + b"end [er"
)


def test_splitter_result_does_not_depend_on_how_the_stream_is_cut() -> None:
    whole = feed_all([STREAM])
    assert whole == [
        b"start [er",
        _parse_line(PLACE + b"first: [2] No such file or directory\n"),
        b"[err] no place\n[erratic]\n",
        _parse_line(PLACE + b"second\n"),
        b"end [er",
    ]
    assert feed_all([STREAM[i : i + 1] for i in range(len(STREAM))]) == whole
    for cut in range(len(STREAM)):
        assert feed_all([STREAM[:cut], STREAM[cut:]]) == whole


@pytest.mark.parametrize(
    "chunk, passed, held",
    [
        (b"progress 50%", b"progress 50%", b""),
        (b"progress [er", b"progress ", b"[er"),
        (b"x [", b"x ", b"["),
        (b"x [err] Library/src/Device.cpp:1", b"x ", b"[err] Library/src/Device.cpp:1"),
        (b"[err] done\n[e", b"[err] done\n", b"[e"),
        (b"[err]x", b"[err]x", b""),
    ],
)
def test_splitter_holds_back_only_what_may_become_a_diagnostic(
    chunk: bytes, passed: bytes, held: bytes
) -> None:
    splitter = _LineSplitter()
    assert b"".join(p for p in splitter.feed(chunk) if isinstance(p, bytes)) == passed
    assert splitter.finish() == held


def test_splitter_gives_up_a_line_longer_than_any_diagnostic() -> None:
    splitter = _LineSplitter()
    start = b"[err] " + b"x" * _LONGEST_LINE
    assert splitter.feed(start) == [start]
    assert splitter.feed(b":1> m\n") == [b":1> m\n"]
