"""Recordings of a session with a device, as `ornix-sim proxy` writes them: read, printed as a
table, summarised. The format is one JSON object per line (tools/ornix-sim/RECORDING.md)."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Iterable, Optional

HOST = "host"
DEVICE = "device"
# A request the device has not answered within this long has timed out for the library.
DEVICE_TIMEOUT = 5.0  # s


class RecordingError(ValueError):
    """The file is not a recording."""


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
    header: dict[str, Any]
    records: list[Record]


def _record(entry: dict[str, Any], where: str) -> Record:
    try:
        sender = entry["from"]
        if sender not in (HOST, DEVICE):
            raise ValueError(f"'from' is {sender!r}")
        return Record(
            time=float(entry["t"]),
            sender=sender,
            data=bytes.fromhex(entry.get("hex", "")),
            frame=entry.get("frame"),
            fields=dict(entry.get("fields") or {}),
            error=entry.get("error"),
        )
    except (KeyError, TypeError, ValueError) as error:
        raise RecordingError(f"{where}: not a record of a recording ({error})") from None


def read_recording(path: str) -> Recording:
    """The header and the records of the recording at `path`."""
    header: Optional[dict[str, Any]] = None
    records = []
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            if not line.strip():
                continue
            where = f"{path}:{number}"
            try:
                entry = json.loads(line)
            except json.JSONDecodeError as error:
                raise RecordingError(f"{where}: not JSON ({error.msg})") from None
            if not isinstance(entry, dict):
                raise RecordingError(f"{where}: not a JSON object")
            if header is None:
                if "recording" not in entry:
                    raise RecordingError(f"{where}: no recording header")
                header = entry
                continue
            if "from" not in entry:
                # The device kind the proxy found, or a line of a later format: not a frame.
                if "device" in entry:
                    header["device"] = entry["device"]
                continue
            records.append(_record(entry, where))
    if header is None:
        raise RecordingError(f"{path}: empty, not a recording")
    return Recording(header, records)


def _value(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, list):
        return "[" + ", ".join(_value(item) for item in value) + "]"
    return str(value)


def flags(records: list[Record], timeout: float = DEVICE_TIMEOUT) -> dict[int, str]:
    """What is wrong at each record, by index: bytes that form no frame, and requests the
    device answered only after the time-out or not before the host gave up and spoke again.

    A request the host follows at once with another one without an answer is one that asks
    for none, and is not flagged.
    """
    found = {index: record.error for index, record in enumerate(records) if record.error}
    for index, record in enumerate(records):
        if record.sender != HOST:
            continue
        answer = _answer(records[index + 1 :])
        if answer is not None:
            waited = answer.time - record.time
        else:
            following = next(
                (later for later in records[index + 1 :] if later.sender == HOST), None
            )
            waited = following.time - record.time if following else 0.0
        if waited > timeout:
            found.setdefault(index, f"time-out: no answer within {timeout:g} s")
    return found


def table(recording: Recording) -> str:
    """The recording as a readable table: time, direction, frame, decoded fields; problems
    marked with "!"."""
    marked = flags(recording.records)
    rows = []
    for index, record in enumerate(recording.records):
        arrow = "->" if record.sender == HOST else "<-"
        name = record.frame or "(bytes)"
        if record.frame:
            detail = " ".join(f"{key}={_value(value)}" for key, value in record.fields.items())
        else:
            detail = record.data.hex(" ")
        problem = marked.get(index)
        mark = f"  ! {problem}" if problem else ""
        rows.append(f"{record.time:12.6f}  {arrow}  {name:24} {detail}{mark}".rstrip())
    return "\n".join(rows)


def _percentile(ordered: list[float], fraction: float) -> float:
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def summary(recording: Recording) -> str:
    """Counts and rates per frame, and for each request the latency of its answers."""
    records = recording.records
    if not records:
        return "no frames recorded"
    span = max(records[-1].time - records[0].time, 1e-9)
    counts: dict[tuple[str, str], int] = {}
    latencies: dict[str, list[float]] = {}
    for index, record in enumerate(records):
        key = (record.sender, record.frame or "(bytes)")
        counts[key] = counts.get(key, 0) + 1
        if record.sender == HOST and record.frame:
            answer = _answer(records[index + 1 :])
            if answer is not None:
                latencies.setdefault(record.frame, []).append(answer.time - record.time)
    lines = [
        f"{len(records)} records over {span:.3f} s; "
        f"{sum(1 for record in records if record.error)} with errors, "
        f"{len(flags(records))} flagged"
    ]
    lines.append(f"{'':3}{'FRAME':26}{'COUNT':>8}{'PER S':>10}")
    for (sender, name), count in sorted(counts.items()):
        arrow = "->" if sender == HOST else "<-"
        lines.append(f"{arrow:3}{name:26}{count:8d}{count / span:10.1f}")
    if latencies:
        lines.append("latency of the answer, in microseconds:")
        lines.append(f"{'':3}{'REQUEST':26}{'P50':>10}{'P90':>10}{'P99':>10}{'MAX':>10}")
        for name, values in sorted(latencies.items()):
            ordered = sorted(value * 1e6 for value in values)
            cells = [_percentile(ordered, p) for p in (0.5, 0.9, 0.99)] + [ordered[-1]]
            lines.append(f"{'->':3}{name:26}" + "".join(f"{cell:10.0f}" for cell in cells))
    return "\n".join(lines)


# What a handle streams unasked answers no request.
UNSOLICITED = frozenset({"compact_status"})


def _answer(later: Iterable[Record]) -> Optional[Record]:
    """The device's first frame after a request, unless the host spoke again first."""
    for record in later:
        if record.sender == HOST:
            return None
        if record.frame not in UNSOLICITED:
            return record
    return None
