"""The library's error lines reach Python logging as records, and all other text written to
standard error reaches it unchanged, as nothing touches descriptor 2. The forwarding is the
process's, so each case runs in a child interpreter of its own."""

from __future__ import annotations

import errno
import json
import os
import subprocess
import sys
from typing import Any

import pytest

from interpreter import PYPY


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
    # More than any pipe holds.
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


@pytest.mark.skipif(
    PYPY,
    reason="PyPy cannot tell a thread of its own that gave up the interpreter lock from another "
    "thread: the failures of such a call are logged from the forwarding thread, just after",
)
def test_a_failure_is_logged_before_the_call_that_failed_goes_on() -> None:
    records, stderr, status = run(
        "seen = []\n"
        "class Keep(logging.Handler):\n"
        "    def emit(self, record):\n"
        "        seen.append(record.getMessage())\n"
        "logger.addHandler(Keep())\n"
        "with diagnostics_to_logging():\n"
        "    o.SerialStream('/nonexistent')\n"
        "    os.write(2, str(len(seen)).encode())\n"
    )
    assert (status, stderr, len(records)) == (0, b"2", 2)


def test_standard_error_is_left_as_it_was() -> None:
    records, stderr, status = run(
        "before = os.fstat(2)\n"
        "with diagnostics_to_logging():\n"
        "    during = os.fstat(2)\n"
        "    child = __import__('subprocess').Popen(\n"
        "        [sys.executable, '-c', 'import os, time; time.sleep(0.2); os.write(2, b\"child\")']\n"
        "    )\n"
        "assert (during.st_dev, during.st_ino) == (before.st_dev, before.st_ino)\n"
        "# A child started meanwhile writes to standard error after the forwarding has ended.\n"
        "assert child.wait() == 0\n"
    )
    assert (status, stderr, records) == (0, b"child", [])


@pytest.mark.slow
def test_a_status_getter_holding_the_interpreter_delivers_its_lines_while_others_write(
    fake_device,
) -> None:
    # A getter on a silent arm holds the interpreter for its whole time-out, while a child keeps
    # writing much to the standard error it inherited: nothing waits on anyone.
    device = fake_device(strict=False)
    records, stderr, status = run(
        "import subprocess\n"
        "with diagnostics_to_logging():\n"
        "    child = subprocess.Popen([sys.executable, '-c', \"import os; os.write(2, b'x' * (1 << 20))\"])\n"
        f"    o.Ostrel3(o.SerialStream({device.path!r})).get_temperature()\n"
        "    child.wait()\n"
    )
    assert (status, stderr) == (0, b"x" * (1 << 20))
    assert [record["message"].split(":")[0] for record in records] == [
        "timeout waiting for header code"
    ]


def test_detection_over_many_absent_ports_delivers_every_line(private_dev) -> None:
    # Each absent port is one open line from a probe's thread, while detection holds the
    # interpreter: far more text than a pipe holds.
    links = {f"cu.usbmodemORNIX{number}": f"/nonexistent/{number}" for number in range(700)}
    result = private_dev(links, "logged", "detect_ostrel3s")
    assert result["found"] == []
    assert len(result["messages"]) == 700
    assert all(
        message.startswith("unable to open port '/dev/cu.usbmodemORNIX")
        for message in result["messages"]
    )
