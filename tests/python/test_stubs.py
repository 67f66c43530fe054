"""The type stubs: current with the module, installed with it, and as strict as the module is."""

import os
import platform
import re
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

if platform.python_implementation() == "PyPy":
    pytest.skip("the stubs are generated and checked under CPython", allow_module_level=True)

import OrnixHardwareAPI as ornix

# The type stubs and mypy: no library code runs.
pytestmark = pytest.mark.unsanitized

ROOT = Path(__file__).resolve().parents[2]
GENERATOR = ROOT / "tools" / "generate-stubs"
STUB = ROOT / "bindings" / "OrnixHardwareAPI.pyi"
EXAMPLE = ROOT / "examples" / "typed_loop.py"

# Each call is wrong for the module, which raises TypeError, and for mypy, which reports the
# message fragment given.
REJECTED = {
    "a string for a vector": (
        'arm.end_effector_force("x")',
        'Argument 1 to "end_effector_force" of "Ostrel3" has incompatible type "str"; '
        'expected "list[float]"',
    ),
    "a name with spaces by keyword": (
        "arm.end_effector_force(force_request_vector=[0.0, 0.0, 0.0])",
        'Unexpected keyword argument "force_request_vector" for "end_effector_force"',
    ),
    "an unnamed argument by keyword": (
        "ornix.Ostrel3(arg0=stream)",
        'Unexpected keyword argument "arg0" for "Ostrel3"',
    ),
    "no overload matches": (
        "handle.Receive(1, 2)",
        'No overload variant of "Receive" of "Handle" matches argument types "int", "int"',
    ),
    "user data neither a byte nor None": (
        'handle.SendHandleState(user_data="x")',
        'Argument "user_data" to "SendHandleState" of "Handle" has incompatible type "str"; '
        'expected "int | None"',
    ),
    "arguments for a function that takes none": (
        "ornix.get_cpp_version(1)",
        'Too many arguments for "get_cpp_version"',
    ),
}

SETUP = """\
import OrnixHardwareAPI as ornix

stream = ornix.SerialStream("/nonexistent/port")
arm = ornix.Ostrel3(stream)
handle = ornix.Handle(stream)
"""

# mypy reports it on the line of the def.
WRONG_OVERRIDE = """\
class Monitor(ornix.Handle):
    def OnReceiveHandleErrorResponse(self, device_id: str, error_code: int) -> None: ...
"""
WRONG_OVERRIDE_ERROR = (
    'Argument 1 of "OnReceiveHandleErrorResponse" is incompatible with supertype '
    '"OrnixHardwareAPI.Handle"; supertype defines the argument type as "int"'
)


def rejected_source():
    """SETUP, each wrong call and the wrong override: the text, and the line of each error."""
    text, lines = SETUP, {}
    for case, (call, _) in REJECTED.items():
        lines[case] = text.count("\n") + 1
        text += call + "\n"
    lines["override"] = text.count("\n") + 2
    return text + WRONG_OVERRIDE, lines


ACCEPTED = """\
import uuid

from typing_extensions import assert_type

import OrnixHardwareAPI as ornix


class Monitor(ornix.Handle):
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        self.last_error = error_code


def use(arm: ornix.Ostrel3, handle: Monitor) -> None:
    assert_type(arm.get_device_id(), uuid.UUID)
    assert_type(arm.get_firmware_version(), uuid.UUID)
    assert_type(arm.get_device_orientation(), list[float])
    assert_type(arm.ReceiveCurrent(current=[0.0, 0.0, 0.0]), list[float])
    assert_type(arm.get_power_status(), bool)
    arm.end_effector_force()
    arm.SendForce([0.0, 0.0, 1.0])
    arm.SendForce(0.0, ForceZ=1.0)
    assert_type(handle.Receive(), int)
    handle.SendHandleState(device_id=1, data_length=1, user_data=7)
    handle.SendHandleState(user_data=None)
    assert_type(ornix.detect_ostrel3s(), list[str])
    assert_type(ornix.__version__, str)
    ornix.UUID().bytes()
"""

needs_mypy = pytest.mark.skipif(
    sys.version_info < (3, 10), reason="mypy 2.4.1, which the checks are pinned to, needs 3.10"
)

MYPY_LINE = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): (?P<kind>error|note): (?P<text>.*)$")


def test_committed_stub_matches_a_fresh_generation():
    result = subprocess.run(
        [sys.executable, GENERATOR, "--check"], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr


def test_check_shows_how_a_stale_stub_differs_and_leaves_it(tmp_path):
    stale = tmp_path / "stale.pyi"
    text = STUB.read_text().replace(
        "def get_temperature(self) -> float:", "def get_temperature(self) -> int:"
    )
    stale.write_text(text)
    result = subprocess.run(
        [sys.executable, GENERATOR, "--check", stale], capture_output=True, text=True, timeout=60
    )
    assert result.returncode != 0
    assert "-    def get_temperature(self) -> int:\n" in result.stderr
    assert "+    def get_temperature(self) -> float:\n" in result.stderr
    assert "run tools/generate-stubs" in result.stderr
    assert stale.read_text() == text


def test_stubs_are_installed_beside_the_module():
    installed = Path(ornix.__file__).parent / "OrnixHardwareAPI-stubs" / "__init__.pyi"
    assert installed.read_text() == STUB.read_text()


@pytest.fixture(scope="module")
def mypy_run(tmp_path_factory):
    """mypy --strict over the example and the test uses, in one run: errors by file and line."""
    directory = tmp_path_factory.mktemp("mypy")
    rejected = directory / "rejected.py"
    text, rejected_lines = rejected_source()
    rejected.write_text(text)
    accepted = directory / "accepted.py"
    accepted.write_text(ACCEPTED)

    # Only the installed stubs are to be found: none from the source tree or the caller's path.
    environment = {key: value for key, value in os.environ.items() if key != "MYPYPATH"}
    result = subprocess.run(
        [
            *(sys.executable, "-m", "mypy", "--strict", "--no-error-summary"),
            *("--cache-dir", str(directory / "cache")),
            *(str(EXAMPLE), str(rejected), str(accepted)),
        ],
        capture_output=True,
        text=True,
        cwd=directory,
        env=environment,
        timeout=300,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {EXAMPLE: {}, rejected: {}, accepted: {}}
    for line in result.stdout.splitlines():
        match = MYPY_LINE.match(line)
        assert match, f"unexpected mypy output: {line}\n{result.stdout}"
        if match["kind"] == "error":
            path = (directory / match["path"]).resolve()
            errors[path].setdefault(int(match["line"]), []).append(match["text"])
    return SimpleNamespace(
        example=errors[EXAMPLE],
        accepted=errors[accepted],
        rejected=errors[rejected],
        rejected_lines=rejected_lines,
    )


@needs_mypy
def test_typed_example_passes_strict(mypy_run):
    assert mypy_run.example == {}


@needs_mypy
def test_stubs_accept_what_the_module_accepts(mypy_run):
    assert mypy_run.accepted == {}


@needs_mypy
@pytest.mark.parametrize(
    "case, expected",
    [(case, message) for case, (_, message) in REJECTED.items()]
    + [("override", WRONG_OVERRIDE_ERROR)],
)
def test_stubs_reject_a_wrong_use(mypy_run, case, expected):
    reported = mypy_run.rejected.get(mypy_run.rejected_lines[case], [])
    assert any(expected in text for text in reported), mypy_run.rejected


@needs_mypy
def test_stubs_report_nothing_but_the_wrong_uses(mypy_run):
    assert set(mypy_run.rejected) == set(mypy_run.rejected_lines.values())


@pytest.fixture(scope="module")
def unopened(tmp_path_factory):
    """An arm and a handle on a port that does not exist: a wrong call fails before any exchange."""
    stream = ornix.SerialStream(str(tmp_path_factory.mktemp("port") / "missing"))
    return {
        "ornix": ornix,
        "stream": stream,
        "arm": ornix.Ostrel3(stream),
        "handle": ornix.Handle(stream),
    }


@pytest.mark.parametrize("case", REJECTED)
def test_module_rejects_the_same_call(unopened, case):
    with pytest.raises(TypeError):
        exec(REJECTED[case][0], dict(unopened))


@needs_mypy
def test_companion_package_passes_strict(tmp_path):
    """The ornix package as installed, checked against the module's stubs and pyserial's."""
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), "-p", "ornix"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
