"""Recordings of a session with a device, as `ornix-sim proxy` writes them: read, printed as a
table, summarised. The format is one JSON object per line (tools/ornix-sim/RECORDING.md).

A recording is read as a stream, one line at a time, and every row is settled as soon as what
follows it tells what is wrong with it, so that a recording of any length is read in one pass
with no more in memory than the records of one device time-out."""

from __future__ import annotations

import json
import re
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import IO, Any, Iterable, Iterator, Optional

from .text import printable

HOST = "host"
DEVICE = "device"
# A request the device has not answered within this long has timed out for the library.
DEVICE_TIMEOUT = 5.0  # s
FORMAT_VERSION = 1
# No value lies deeper inside a line's object than this, as for `ornix-sim replay`'s reader.
DEEPEST = 32
# The latest time a frame may have, in seconds since the start.
LATEST = 1_000_000_000
# What a handle streams unasked answers no request.
UNSOLICITED = frozenset({"compact_status"})

_BLANK = b" \t\r\n"
# A string (or the rest of the line, where one is not closed), or a bracket.
_NESTING = re.compile(r'"(?:[^"\\]|\\.)*"?|[\[\]{}]', re.DOTALL)
_NEXT = re.compile(r"[ \t\r\n]*(.)", re.DOTALL)


class RecordingError(ValueError):
    """The file is not a recording, or not one that can be read."""


class _Unreadable(Exception):
    """Why a line cannot be read; the reader says which line."""


@dataclass(frozen=True)
class Record:
    """Bytes that went one way at one time: a frame, or bytes that form none (`error`)."""

    time: float
    sender: str
    data: bytes
    frame: Optional[str] = None
    fields: dict[str, Any] = field(default_factory=dict)
    error: Optional[str] = None


@dataclass
class Recording:
    """A recording read whole: its header (with the device found, once a line told it) and its
    records in order."""

    header: dict[str, Any]
    records: list[Record]


def _no_constant(word: str) -> Any:
    raise _Unreadable(f"not JSON ({word} is no JSON number)")


def _integer(digits: str) -> Any:
    # More digits than Python converts to an int: a number all the same, as for the C++ reader.
    try:
        return int(digits)
    except ValueError:
        return float(digits)


_JSON = json.JSONDecoder(parse_constant=_no_constant)
_JSON_OF_LONG_NUMBERS = json.JSONDecoder(parse_constant=_no_constant, parse_int=_integer)


def _too_deep(line: str) -> bool:
    """Whether a value lies more than DEEPEST levels inside the line's object: counted on the
    text, so that json.loads never meets nesting deep enough to exhaust the stack."""
    if line.count("[") + line.count("{") <= DEEPEST:
        return False
    depth = 0
    for token in _NESTING.finditer(line):
        first = line[token.start()]
        if first in "[{":
            depth += 1
            # A container this deep may only be empty: anything inside it lies too deep.
            if depth > DEEPEST:
                following = _NEXT.match(line, token.end())
                if following is not None and following.group(1) not in "]}":
                    return True
        elif first in "]}":
            depth -= 1
    return False


def _entry(raw: bytes) -> Optional[dict[str, Any]]:
    """The JSON object on one line of the file, or None for a blank line."""
    if not raw.strip(_BLANK):
        return None
    try:
        line = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise _Unreadable(f"not UTF-8 text (byte {error.start + 1})") from None
    if _too_deep(line):
        raise _Unreadable(f"not a line of a recording: values nested more than {DEEPEST} deep")
    try:
        entry = _JSON.decode(line)
    except json.JSONDecodeError as error:
        raise _Unreadable(f"not JSON ({error.msg}, column {error.colno})") from None
    except ValueError:
        entry = _JSON_OF_LONG_NUMBERS.decode(line)
    if type(entry) is not dict:
        raise _Unreadable("not a JSON object")
    return entry


def _is_number(value: Any) -> bool:
    # JSON's true and false are Python's bools, which are ints too.
    return type(value) is int or type(value) is float


def _check_header(entry: dict[str, Any]) -> dict[str, Any]:
    version = entry.get("recording")
    if not _is_number(version):
        raise _Unreadable("no recording header")
    if version != FORMAT_VERSION:
        raise _Unreadable("a recording of an unknown version")
    return entry


def _record(entry: dict[str, Any]) -> Record:
    time: Any = entry.get("t")
    if not _is_number(time) or not 0 <= time <= LATEST:
        raise _Unreadable(f'"t" must be a time from 0 to {LATEST} seconds')
    sender = entry["from"]
    if sender != HOST and sender != DEVICE:
        raise _Unreadable('"from" must be "host" or "device"')
    digits: Any = entry.get("hex")
    try:
        data = bytes.fromhex(digits) if type(digits) is str else b""
    except ValueError:
        data = b""
    # fromhex passes over spaces: two digits a byte and nothing else is this length.
    if not data or 2 * len(data) != len(digits):
        raise _Unreadable('"hex" must be bytes, two hex digits each')
    frame = entry.get("frame")
    if frame is not None and type(frame) is not str:
        raise _Unreadable('"frame" must be a string or null')
    fields = entry.get("fields", {})
    if type(fields) is not dict:
        raise _Unreadable('"fields" must be an object')
    error = entry.get("error")
    if error is not None and type(error) is not str:
        raise _Unreadable('"error" must be a string or null')
    return Record(float(time), sender, data, frame, fields, error)


class RecordingReader:
    """Reads a recording line by line by the rules that `ornix-sim replay` follows too
    (RECORDING.md, "Reading a recording"): the header when made, then the records one at a time.

    A last line that does not end with a newline and cannot be read, as a proxy that was
    stopped short leaves it, ends the records; `cut_short` then says why.
    """

    def __init__(self, lines: Iterable[bytes], name: str) -> None:
        self.name = name
        self.cut_short: Optional[str] = None
        self._lines = enumerate(lines, 1)
        self.header = self._read_header()

    def _where(self, number: int) -> str:
        return f"{printable(self.name)}:{number}"

    def _read_header(self) -> dict[str, Any]:
        for number, raw in self._lines:
            try:
                entry = _entry(raw)
                if entry is not None:
                    return _check_header(entry)
            except _Unreadable as error:
                raise RecordingError(f"{self._where(number)}: {error}") from None
        raise RecordingError(f"{printable(self.name)}: empty, not a recording")

    def records(self) -> Iterator[Record]:
        """The records after the header, as they are read."""
        for number, raw in self._lines:
            try:
                entry = _entry(raw)
                if entry is None:
                    continue
                if "from" not in entry:
                    # The device kind the proxy found, or a line of a later format: not a frame.
                    if "device" in entry:
                        self.header["device"] = entry["device"]
                    continue
                record = _record(entry)
            except _Unreadable as error:
                if raw.endswith(b"\n"):
                    raise RecordingError(f"{self._where(number)}: {error}") from None
                where = self._where(number)
                self.cut_short = f"{where}: the last line, cut short, is left out: {error}"
                return
            yield record


def _read_lines(file: IO[bytes], name: str) -> Iterator[bytes]:
    try:
        yield from file
    except OSError as error:
        raise RecordingError(f"{printable(name)}: {error.strerror or error}") from None


@contextmanager
def open_recording(path: str) -> Iterator[RecordingReader]:
    """The recording at `path`, read as the reader's records are taken; closed at the end of the
    `with` block."""
    try:
        file = open(path, "rb")
    except OSError as error:
        raise RecordingError(f"{printable(path)}: {error.strerror or error}") from None
    with file:
        yield RecordingReader(_read_lines(file, path), path)


def read_recording(path: str) -> Recording:
    """The header and all the records of the recording at `path`, for recordings that fit in
    memory several times over."""
    with open_recording(path) as reader:
        records = list(reader.records())
        return Recording(reader.header, records)


def judged(
    records: Iterable[Record], timeout: float = DEVICE_TIMEOUT
) -> Iterator[tuple[Record, Optional[str]]]:
    """Each record in order with what is wrong with it, or None: bytes that form no frame, and
    requests the device did not answer within the time-out. A request waits for its answer
    until the device answers, the host speaks again (a request followed at once by another
    asks for no answer), or records come that are later than the time-out; only the records
    in between, all unasked for, are held back meanwhile. A request the recording ends before
    any of these is not flagged."""
    request: Optional[Record] = None
    held: list[Record] = []
    for record in records:
        if request is not None:
            waited = record.time - request.time
            if record.sender == HOST or record.frame not in UNSOLICITED or waited > timeout:
                late = f"time-out: no answer within {timeout:g} s" if waited > timeout else None
                yield request, request.error or late
                for unasked in held:
                    yield unasked, unasked.error or None
                held.clear()
                request = None
            else:
                held.append(record)
                continue
        if record.sender == HOST:
            request = record
        else:
            yield record, record.error or None
    if request is not None:
        yield request, request.error or None
        for unasked in held:
            yield unasked, unasked.error or None


def flags(records: list[Record], timeout: float = DEVICE_TIMEOUT) -> dict[int, str]:
    """What is wrong at each record, by index (see `judged`)."""
    return {
        index: problem
        for index, (_, problem) in enumerate(judged(records, timeout))
        if problem is not None
    }


def _value(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, list):
        return "[" + ", ".join(_value(item) for item in value) + "]"
    if isinstance(value, str):
        return printable(value)
    # Numbers, booleans and null, or an object in a field of a later format, which repr()
    # writes with its strings escaped.
    return str(value)


def _row(record: Record, problem: Optional[str]) -> str:
    arrow = "->" if record.sender == HOST else "<-"
    if record.frame:
        name = printable(record.frame)
        detail = " ".join(
            f"{printable(key)}={_value(value)}" for key, value in record.fields.items()
        )
    else:
        name = "(bytes)"
        detail = record.data.hex(" ")
    mark = f"  ! {printable(problem)}" if problem else ""
    return f"{record.time:12.6f}  {arrow}  {name:24} {detail}{mark}".rstrip()


def rows(records: Iterable[Record]) -> Iterator[str]:
    """The table's rows (time, direction, frame, decoded fields; problems marked with "!"), each
    as soon as it is settled."""
    for record, problem in judged(records):
        yield _row(record, problem)


def table(recording: Recording) -> str:
    """The recording as a readable table (see `rows`)."""
    return "\n".join(rows(recording.records))


def _percentiles(counts: dict[int, int], fractions: Iterable[float]) -> list[int]:
    """The values at the given rising fractions of the counted values, in order."""
    total = sum(counts.values())
    wanted = [min(total - 1, int(fraction * total)) for fraction in fractions]
    found: list[int] = []
    seen = 0
    for value in sorted(counts):
        seen += counts[value]
        while len(found) < len(wanted) and wanted[len(found)] < seen:
            found.append(value)
    return found


class Tally:
    """The summary's counts, kept as the judged records pass: per frame, and for each request
    the latencies of its answers, counted per whole microsecond (the percentiles are printed
    to the microsecond, and rounding keeps the order, so they come out as from every
    latency)."""

    def __init__(self) -> None:
        self.records = 0
        self.errors = 0
        self.flagged = 0
        self.first = 0.0
        self.last = 0.0
        self.counts: dict[tuple[str, str], int] = {}
        self.latencies: dict[str, dict[int, int]] = {}
        self._asking: Optional[Record] = None

    def add(self, record: Record, problem: Optional[str]) -> None:
        if self.records == 0:
            self.first = record.time
        self.records += 1
        self.last = record.time
        self.errors += bool(record.error)
        self.flagged += problem is not None
        key = (record.sender, record.frame or "(bytes)")
        self.counts[key] = self.counts.get(key, 0) + 1
        if record.sender == HOST:
            self._asking = record if record.frame else None
        elif record.frame not in UNSOLICITED and self._asking is not None:
            microseconds = round((record.time - self._asking.time) * 1e6)
            counted = self.latencies.setdefault(self._asking.frame or "", {})
            counted[microseconds] = counted.get(microseconds, 0) + 1
            self._asking = None

    def text(self) -> str:
        if not self.records:
            return "no frames recorded"
        span = max(self.last - self.first, 1e-9)
        lines = [
            f"{self.records} records over {span:.3f} s; "
            f"{self.errors} with errors, {self.flagged} flagged"
        ]
        lines.append(f"{'':3}{'FRAME':26}{'COUNT':>8}{'PER S':>10}")
        for (sender, name), count in sorted(self.counts.items()):
            arrow = "->" if sender == HOST else "<-"
            lines.append(f"{arrow:3}{printable(name):26}{count:8d}{count / span:10.1f}")
        if self.latencies:
            lines.append("latency of the answer, in microseconds:")
            lines.append(f"{'':3}{'REQUEST':26}{'P50':>10}{'P90':>10}{'P99':>10}{'MAX':>10}")
            for name, counted in sorted(self.latencies.items()):
                cells = _percentiles(counted, (0.5, 0.9, 0.99)) + [max(counted)]
                lines.append(
                    f"{'->':3}{printable(name):26}" + "".join(f"{cell:10.0f}" for cell in cells)
                )
        return "\n".join(lines)


def summarise(records: Iterable[Record]) -> str:
    """Counts and rates per frame, and for each request the latency of its answers."""
    tally = Tally()
    for record, problem in judged(records):
        tally.add(record, problem)
    return tally.text()


def summary(recording: Recording) -> str:
    """The summary of a recording read whole (see `summarise`)."""
    return summarise(recording.records)
