"""Runs every fuzz target of a build for a bounded time on a copy of its seed corpus.

Each target prints its number of executions and executions per second; the run fails on any
crash, sanitizer report, leak or time-out, and the reproducer is left in the build's fuzz
directory. Usage: run_targets.py BUILD_DIRECTORY [SECONDS]
"""

import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

TARGETS = ("decoders", "handle_receive", "arm_receive", "stream_buffer", "write_frames")
SEEDS = Path(__file__).resolve().parent / "corpus"
# A single input runs for microseconds: one that runs this long has hung.
UNIT_TIMEOUT_SECONDS = 10
# The lines of libFuzzer's output worth showing: its statistics and whatever it found.
SHOWN = re.compile(
    r"stat::number_of_executed_units|stat::average_exec_per_sec|ERROR|SUMMARY|"
    r"Test unit written|ALARM|deadly signal"
)


def run_target(fuzz_directory: Path, target: str, seconds: int) -> bool:
    corpus = fuzz_directory / "corpus" / target
    shutil.rmtree(corpus, ignore_errors=True)
    shutil.copytree(SEEDS / target, corpus)
    # The library's time-out lines would drown the output: the target's standard error is
    # closed, while libFuzzer and the sanitizers keep reporting on their own copy of it.
    command = [
        str(fuzz_directory / target),
        f"-max_total_time={seconds}",
        f"-timeout={UNIT_TIMEOUT_SECONDS}",
        "-close_fd_mask=2",
        "-print_final_stats=1",
        f"-artifact_prefix={target}-",
        str(corpus.relative_to(fuzz_directory)),
    ]
    result = subprocess.run(
        command,
        cwd=fuzz_directory,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        errors="replace",
        check=False,
    )
    for line in result.stdout.splitlines():
        if SHOWN.search(line):
            print(f"{target}: {line.strip()}", flush=True)
    if result.returncode != 0:
        print(f"{target}: failed; the reproducer is in {fuzz_directory}", file=sys.stderr)
        return False
    return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=Path, help="a build configured with ORNIX_BUILD_FUZZERS=ON")
    parser.add_argument("seconds", type=int, nargs="?", default=30, help="time for each target")
    arguments = parser.parse_args()
    fuzz_directory = arguments.build.resolve() / "fuzz"
    missing = [target for target in TARGETS if not (fuzz_directory / target).is_file()]
    if missing:
        parser.error(f"not built in {fuzz_directory}: {', '.join(missing)}")
    failed = [
        target for target in TARGETS if not run_target(fuzz_directory, target, arguments.seconds)
    ]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
