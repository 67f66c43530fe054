"""One variant of the servo loop benchmark, run as a process of its own against one arm.

    python servo_client.py VARIANT WORK PORT SECONDS RATE

VARIANT is `servo` (ornix.ServoLoop sending a constant force, its state read from the program
about 100 times a second), `sleep` (a Python loop that sleeps until each absolute deadline, then
exchanges) or `spin` (a Python loop that spins on the clock until each deadline). WORK is `none`
or `allocate`: the program builds and drops large nested lists of small objects, so that the
collector pauses it; the Python loops do it between ticks, one piece a tick, the servo loop's
program without pause in its main thread. After half a second unmeasured, SECONDS are measured
at RATE ticks a second. Prints one JSON object: rate, ticks, missed, lateness_p50/p99/max_us,
cpu_per_second (the loop thread's processor seconds a second) and, from the servo loop only,
exchange_p50/p99/max_us, exchanges_failed, policy, and the program's collector pauses of 1 ms or
more: how many, the longest, their share of the time (pauses, pause_max_ms, pause_share) and the
loop's rate in them and between them (rate_in_pauses, rate_between_pauses).

The Python loops measure as the servo loop does (native/ServoLoop.cpp, Pacer.cpp): lateness is
the start of the tick's work minus its deadline, on the monotonic clock, with percentiles to the
resolution of its histogram; a deadline passed by more than a period once a tick's work is done
is skipped and counted as missed, and the loop resumes on the grid. They run at normal priority,
as a program's own thread does.
"""

import gc
import json
import math
import sys
import time

import ornix

FORCE = (0.0, 0.0, 0.1)
WARM_UP = 0.5
STATE_PERIOD = 0.01
# A piece of the program's work: so many small lists a piece, and the pieces kept until there
# are so many, then dropped. Lists kept that long survive into the oldest generation, whose
# collections then scan some 300,000 of them: pauses of tens of milliseconds.
PIECE = 200
PIECES_KEPT = 1500


class Allocation:
    """A program's work that keeps the collector busy, one piece at a time."""

    def __init__(self):
        self.kept = []

    def piece(self):
        self.kept.append([[i, i] for i in range(PIECE)])
        if len(self.kept) >= PIECES_KEPT:
            self.kept = []


def resolution(us):
    """A duration as the servo loop's histogram holds it (native/LatencyHistogram.cpp): to the
    microsecond below 1 ms, to 10 µs below 10 ms, to the millisecond below a second."""
    if us < 1000:
        return math.floor(us)
    if us < 10000:
        return 1000 + 10 * math.floor((us - 1000) / 10)
    if us < 1e6:
        return 10000 + 1000 * math.floor((us - 10000) / 1000)
    return 1e6


def percentile(ordered, fraction):
    """The value at `fraction` of the ordered values, ranked as the servo loop's histogram does."""
    rank = max(math.ceil(fraction * len(ordered)), 1)
    return resolution(ordered[rank - 1])


class CollectorPauses:
    """The collector's pauses of the program, of 1 ms or more, while the block runs, and the
    ticks the servo loop made during them."""

    SHORTEST = 0.001

    def __init__(self, loop):
        self.loop = loop
        self.count, self.longest, self.seconds, self.ticks = 0, 0.0, 0.0, 0

    def observe(self, phase, _info):
        if phase == "start":
            self.began, self.tick = time.monotonic(), self.loop.state().tick
            return
        took = time.monotonic() - self.began
        if took >= self.SHORTEST:
            self.count += 1
            self.longest = max(self.longest, took)
            self.seconds += took
            self.ticks += self.loop.state().tick - self.tick

    def __enter__(self):
        gc.callbacks.append(self.observe)
        return self

    def __exit__(self, *exc):
        gc.callbacks.remove(self.observe)

    def figures(self, stats):
        """How many pauses, the longest, their share of the loop's window, and the loop's rate
        in them and between them."""
        between = stats["seconds"] - self.seconds
        return {
            "pauses": self.count,
            "pause_max_ms": self.longest * 1000,
            "pause_share": self.seconds / stats["seconds"],
            "rate_in_pauses": self.ticks / self.seconds if self.seconds else 0.0,
            "rate_between_pauses": (stats["ticks"] - self.ticks) / between if between else 0.0,
        }


def drive_servo(arm, work, seconds, rate):
    allocation = Allocation() if work == "allocate" else None
    with ornix.ServoLoop(arm, rate=rate) as loop:
        loop.set_force(FORCE)
        program(loop, allocation, WARM_UP)
        loop.stats(reset=True)
        with CollectorPauses(loop) as pauses:
            program(loop, allocation, seconds)
        stats = loop.stats()
    result = {
        key: stats[key]
        for key in (
            "rate",
            "ticks",
            "missed",
            "lateness_p50_us",
            "lateness_p99_us",
            "lateness_max_us",
            "exchange_p50_us",
            "exchange_p99_us",
            "exchange_max_us",
            "exchanges_failed",
            "policy",
        )
    }
    result["cpu_per_second"] = stats["cpu_seconds"] / stats["seconds"]
    result.update(pauses.figures(stats))
    return result


def program(loop, allocation, seconds):
    """The servo loop's program: reads the state about every 10 ms, allocating meanwhile or
    sleeping."""
    end = time.monotonic() + seconds
    next_read = time.monotonic()
    while (now := time.monotonic()) < end:
        if now >= next_read:
            loop.state()
            next_read = max(next_read + STATE_PERIOD, now)
        if allocation is not None:
            allocation.piece()
        else:
            time.sleep(max(0.0, min(next_read, end) - time.monotonic()))


class PythonLoop:
    """A loop paced from Python: waits for each deadline of a grid, then exchanges and does the
    program's work; counts as the servo loop does."""

    def __init__(self, arm, wait, allocation, rate):
        self.exchange = arm.end_effector_force
        self.wait = wait
        self.allocation = allocation
        self.period = round(1e9 / rate)
        self.deadline = time.monotonic_ns()

    def run(self, seconds):
        clock, wait, exchange, allocation = (
            time.monotonic_ns,
            self.wait,
            self.exchange,
            self.allocation,
        )
        period = self.period
        lateness, missed = [], 0
        deadline = self.deadline
        end = deadline + round(seconds * 1e9)
        wall, processor = time.monotonic_ns(), time.thread_time()
        while deadline < end:
            wait(deadline)
            began = clock()
            lateness.append(began - deadline)
            exchange(FORCE)
            if allocation is not None:
                allocation.piece()
            deadline += period
            now = clock()
            if now >= deadline + period:
                skipped = (now - deadline) // period
                deadline += skipped * period
                missed += skipped
        processor = time.thread_time() - processor
        wall = (time.monotonic_ns() - wall) / 1e9
        self.deadline = deadline
        ordered = sorted(ns / 1000 for ns in lateness)
        return {
            "rate": len(lateness) / wall,
            "ticks": len(lateness),
            "missed": missed,
            "lateness_p50_us": percentile(ordered, 0.5),
            "lateness_p99_us": percentile(ordered, 0.99),
            "lateness_max_us": ordered[-1],
            "cpu_per_second": processor / wall,
        }


def sleep_until(deadline):
    remaining = deadline - time.monotonic_ns()
    if remaining > 0:
        time.sleep(remaining / 1e9)


def spin_until(deadline):
    clock = time.monotonic_ns
    while clock() < deadline:
        pass


def main():
    variant, work, port, seconds, rate = sys.argv[1:6]
    seconds, rate = float(seconds), float(rate)
    with ornix.open_arm(port) as arm:
        if variant == "servo":
            result = drive_servo(arm, work, seconds, rate)
        else:
            wait = {"sleep": sleep_until, "spin": spin_until}[variant]
            allocation = Allocation() if work == "allocate" else None
            loop = PythonLoop(arm, wait, allocation, rate)
            loop.run(WARM_UP)
            result = loop.run(seconds)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
