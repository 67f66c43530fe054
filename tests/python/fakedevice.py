"""A device stand-in on a pseudo-terminal, served from a child process.

The code under test opens `FakeDevice.path`. The child holds the master side: it records every
byte it receives and plays a script of expected requests, replies, hang-ups, stalls and floods.
It must live in another process because module calls keep the interpreter lock while they wait
for the device.

The steps, and the script files of tests/scripts that `load_script` reads, are those the C++
fake devices play: tests/scripts/README.md describes them.
"""

import json
import math
import multiprocessing
import os
import pty
import select
import time
import tty
from dataclasses import dataclass
from pathlib import Path

SCRIPTS = Path(__file__).resolve().parent.parent / "scripts"


@dataclass(frozen=True)
class Expect:
    """The next bytes the code under test writes must be exactly these."""

    data: bytes


@dataclass(frozen=True)
class Reply:
    """Send these bytes, `delay` seconds after the step before has been played."""

    data: bytes
    delay: float = 0.0


@dataclass(frozen=True)
class Seek:
    """Skip what the code under test writes until these bytes come, as a device finds its next
    frame after a broken one; then go on."""

    data: bytes


@dataclass(frozen=True)
class Stall:
    """Read nothing the code under test writes for `seconds`, as a device that has stopped
    reading: its writes fill the line and then wait."""

    seconds: float


@dataclass(frozen=True)
class Flood:
    """From now on send these bytes over and over, as fast as the line takes them, as a device
    that sends faster than the host reads."""

    data: bytes


@dataclass(frozen=True)
class Hangup:
    """Close the master side: from then on the port reads as unplugged."""

    delay: float = 0.0


STEP_NAMES = ("expect", "seek", "reply", "hangup", "stall_ms", "flood")
AFTER = "after_ms"


class ScriptError(Exception):
    """A script text that cannot be read; the message names the script and the line."""


class _Refusal(Exception):
    pass


def parse_script(text, name):
    """The steps of a script text; `name` begins every error's message."""
    steps = []
    for number, line in enumerate(text.split("\n"), start=1):
        stripped = line.strip(" \t\r")
        if not stripped or stripped.startswith("#"):
            continue
        try:
            steps.append(_step(_members(line)))
        except _Refusal as refusal:
            raise ScriptError(f"{name}:{number}: {refusal}") from None
    return tuple(steps)


def load_script(name):
    """The steps of the file `name` of tests/scripts."""
    try:
        text = (SCRIPTS / name).read_text(encoding="utf-8")
    except OSError:
        raise ScriptError(f"{name}: cannot be read") from None
    return parse_script(text, name)


class _Object(list):
    """The members of a JSON object, in the order written."""


def _members(line):
    """The members of the line's JSON object."""

    def no_constant(word):
        raise ValueError(word)

    try:
        members = json.loads(line, object_pairs_hook=_Object, parse_constant=no_constant)
    except (ValueError, RecursionError):
        raise _Refusal("not a JSON object") from None
    if not isinstance(members, _Object):
        raise _Refusal("not a JSON object")
    seen = set()
    for member, _ in members:
        if member in seen:
            raise _Refusal(f'member "{member}" twice')
        seen.add(member)
    return members


def _milliseconds(value, zero_allowed):
    """Seconds, or None when `value` is no number of milliseconds as allowed."""
    if type(value) not in (int, float) or not math.isfinite(value) or value < 0:
        return None
    if value == 0 and not zero_allowed:
        return None
    return round(value * 1000) / 1e6


def _hex_bytes(name, value):
    digits = value.replace(" ", "") if isinstance(value, str) else None
    if digits is None or len(digits) % 2 or any(c not in "0123456789abcdefABCDEF" for c in digits):
        raise _Refusal(f"{name}: not hex bytes")
    if not digits:
        raise _Refusal(f"{name}: no bytes")
    return bytes.fromhex(digits)


def _step(members):
    for member, _ in members:
        if member != AFTER and member not in STEP_NAMES:
            raise _Refusal(f'unknown member "{member}"')
    steps = [(member, value) for member, value in members if member in STEP_NAMES]
    if not steps:
        raise _Refusal("no step: one of " + ", ".join(STEP_NAMES) + " is needed")
    if len(steps) > 1:
        raise _Refusal(f"more than one step: {steps[0][0]} and {steps[1][0]}")
    (kind, value), after = steps[0], dict(members).get(AFTER)
    if AFTER in dict(members):
        if kind not in ("reply", "hangup"):
            raise _Refusal(f"{AFTER}: only a reply or a hang-up is played after a delay")
        after = _milliseconds(after, zero_allowed=True)
        if after is None:
            raise _Refusal(f"{AFTER}: not a number of milliseconds from 0")
    if kind == "hangup":
        if value is not True:
            raise _Refusal("hangup: not true")
        return Hangup(delay=after or 0.0)
    if kind == "stall_ms":
        seconds = _milliseconds(value, zero_allowed=False)
        if seconds is None:
            raise _Refusal("stall_ms: not a number of milliseconds above 0")
        return Stall(seconds)
    data = _hex_bytes(kind, value)
    if kind == "reply":
        return Reply(data, delay=after or 0.0)
    return {"expect": Expect, "seek": Seek, "flood": Flood}[kind](data)


@dataclass
class Report:
    received: bytes
    mismatches: list
    unplayed: int


class FakeDevice:
    """Parent-side handle of one fake device; steps may be added while it runs.

    A strict device (the default) fails its test on mismatched or unplayed steps.
    """

    def __init__(self, *steps, strict=True):
        self.strict = strict
        context = multiprocessing.get_context("spawn")
        self._control, child_end = context.Pipe()
        self._process = context.Process(target=_serve, args=(child_end,), daemon=True)
        self._process.start()
        child_end.close()
        self.path = self._control.recv()
        self._report = None
        if steps:
            self.add(*steps)

    def add(self, *steps):
        self._control.send(("add", steps))
        return self

    def received(self, at_least=0, timeout=5.0):
        """The bytes received so far, waiting up to `timeout` for `at_least` of them."""
        deadline = time.monotonic() + timeout
        while True:
            self._control.send(("received",))
            data = self._control.recv()
            if len(data) >= at_least or time.monotonic() >= deadline:
                return data
            time.sleep(0.005)

    def played_at(self):
        """When each step played so far was played, by `time.monotonic()`: the clock every process
        of the machine shares, so these times compare with the test's own. An expected request
        counts as played once all of it has arrived, a reply once it is handed to the port."""
        self._control.send(("played_at",))
        return self._control.recv()

    def wait_until_played(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self._control.send(("played",))
            if self._control.recv():
                return True
            time.sleep(0.005)
        return False

    def finish(self):
        """Stops the device and reports what it received and what went wrong."""
        if self._report is None:
            self._control.send(("stop",))
            self._report = self._control.recv()
            self._process.join(5)
            self._control.close()
        return self._report


def _serve(control):
    master, slave = pty.openpty()
    # Raw from the start, so that nothing sent before the port is configured is echoed.
    tty.setraw(slave)
    os.set_blocking(master, False)
    control.send(os.ttyname(slave))

    steps = []
    next_step = 0
    step_since = time.monotonic()
    received = bytearray()
    matched = 0
    reading_from = 0.0
    outgoing = bytearray()
    flood = b""
    mismatches = []
    played_at = []

    while True:
        now = time.monotonic()
        wait = 0.05
        while next_step < len(steps):
            step = steps[next_step]
            if isinstance(step, Expect):
                if len(received) - matched < len(step.data):
                    break
                got = bytes(received[matched : matched + len(step.data)])
                if got != step.data:
                    mismatches.append(
                        f"step {next_step}: expected {step.data.hex(' ')}, received {got.hex(' ')}"
                    )
                matched += len(step.data)
            elif isinstance(step, Seek):
                found = received.find(step.data, matched)
                if found < 0:
                    break
                matched = found + len(step.data)
            elif isinstance(step, Stall):
                reading_from = now + step.seconds
            elif isinstance(step, Flood):
                flood = step.data
            else:
                due = step_since + step.delay
                if now < due:
                    wait = min(wait, due - now)
                    break
                if isinstance(step, Reply):
                    outgoing += step.data
                elif master is not None:
                    os.close(master)
                    master = None
                    outgoing.clear()
            next_step += 1
            step_since = now = time.monotonic()
            played_at.append(now)

        if flood and len(outgoing) < 4096:
            outgoing += flood * (4096 // len(flood) + 1)
        reading = master is not None and time.monotonic() >= reading_from
        readers = [control] + ([master] if reading else [])
        writers = [master] if master is not None and outgoing else []
        readable, writable, _ = select.select(readers, writers, [], wait)
        if master in readable:
            try:
                received += os.read(master, 4096)
            except OSError:
                pass
        if master in writable:
            try:
                del outgoing[: os.write(master, outgoing)]
            except BlockingIOError:
                pass
        if control in readable:
            message = control.recv()
            if message[0] == "add":
                if next_step == len(steps):
                    step_since = time.monotonic()
                steps.extend(message[1])
            elif message[0] == "received":
                control.send(bytes(received))
            elif message[0] == "played_at":
                control.send(list(played_at))
            elif message[0] == "played":
                # A flood never ends: all is sent once it has begun.
                control.send(next_step == len(steps) and (not outgoing or bool(flood)))
            elif message[0] == "stop":
                control.send(Report(bytes(received), mismatches, len(steps) - next_step))
                break
    if master is not None:
        os.close(master)
    os.close(slave)
