import gc
import os
import subprocess
import sys
import sysconfig
import termios
import textwrap

import pytest

import OrnixHardwareAPI as ornix
from interpreter import assert_refuses_new_attributes

MISSING = "/nonexistent/cu.usbmodem-ornix"
ENOENT_TEXT = os.strerror(2)


def error_line(line, message):
    return f"[err] Library/src/SerialStream.cpp:{line}> {message}: [2] {ENOENT_TEXT}\n"


def open_descriptors_of(path):
    """Descriptors of this process that refer to `path`."""
    target = os.stat(path)
    found = []
    for fd in os.listdir("/dev/fd"):
        try:
            status = os.fstat(int(fd))
        except OSError:
            continue  # the descriptor os.listdir itself had open
        if (status.st_dev, status.st_ino) == (target.st_dev, target.st_ino):
            found.append(fd)
    return found


@pytest.mark.parametrize("name", [MISSING, MISSING.encode(), bytearray(MISSING.encode())])
def test_missing_port_gives_a_closed_stream_and_two_error_lines(native_output, name):
    stream = ornix.SerialStream(name)
    assert isinstance(stream, ornix.SerialStream)
    assert native_output.read().err == (
        error_line(38, f"unable to open port '{MISSING}'")
        + error_line(17, f"unable to open stream '{MISSING}'")
    )


def test_none_gives_a_closed_stream(native_output):
    assert isinstance(ornix.SerialStream(None), ornix.SerialStream)
    assert native_output.read().err == (
        error_line(38, "unable to open port '(null)'")
        + error_line(17, "unable to open stream '(null)'")
    )


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((5,), {}),
        ((), {}),
        ((MISSING, MISSING), {}),
        ((), {"port": MISSING}),
        ((), {"arg0": MISSING}),
    ],
)
def test_bad_arguments_raise_type_error_and_open_nothing(native_output, args, kwargs):
    with pytest.raises(TypeError):
        ornix.SerialStream(*args, **kwargs)
    assert native_output.read().err == ""


@pytest.mark.parametrize(
    "name",
    [MISSING + "\x00junk", (MISSING + "\x00").encode(), bytearray(b"\x00" + MISSING.encode())],
)
def test_a_name_with_a_nul_raises_value_error_and_opens_nothing(native_output, name):
    # Only what comes before the NUL would reach the system: another port, or none.
    with pytest.raises(ValueError, match="embedded null byte"):
        ornix.SerialStream(name)
    assert native_output.read().err == ""


def test_stream_is_opaque():
    stream = ornix.SerialStream(None)
    assert ornix.SerialStream.__doc__ is None
    assert_refuses_new_attributes(stream)


def test_opens_the_port_raw_and_closes_it_with_the_object(fake_device, native_output):
    device = fake_device()
    stream = ornix.SerialStream(device.path)
    assert native_output.read().err == ""
    assert len(open_descriptors_of(device.path)) == 1

    probe = os.open(device.path, os.O_RDWR | os.O_NOCTTY)
    try:
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(probe)
    finally:
        os.close(probe)
    assert iflag == termios.IGNBRK | termios.IGNPAR
    assert (oflag, lflag) == (0, 0)
    assert cflag & (termios.CLOCAL | termios.CREAD) == termios.CLOCAL | termios.CREAD
    assert cflag & (termios.CSTOPB | termios.PARENB) == 0
    assert (ispeed, ospeed) == (termios.B115200, termios.B115200)
    # PyPy gives these two entries as one-byte strings, CPython as numbers.
    assert [
        ord(c) if isinstance(c, bytes) else c for c in (cc[termios.VMIN], cc[termios.VTIME])
    ] == [0, 0]

    del stream
    gc.collect()
    assert open_descriptors_of(device.path) == []


@pytest.fixture(scope="session")
def slow_open_library(tmp_path_factory):
    library = tmp_path_factory.mktemp("preload") / "slow_open.so"
    compiler = (sysconfig.get_config_var("CC") or "cc").split()[0]
    source = os.path.join(os.path.dirname(__file__), "slow_open.c")
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), source, "-ldl"], check=True)
    return library


HOLD_THE_PORT = """
import sys
import OrnixHardwareAPI
stream = OrnixHardwareAPI.SerialStream(sys.argv[1])
print("open", flush=True)
sys.stdin.read()
"""


def test_a_port_is_opened_for_one_user_at_a_time(fake_device, native_output):
    device = fake_device()
    busy = f"[16] {os.strerror(16)}\n"
    refused = [
        f"[err] Library/src/SerialStream.cpp:38> unable to open port '{device.path}': {busy}",
        f"[err] Library/src/SerialStream.cpp:17> unable to open stream '{device.path}': {busy}",
    ]
    first = ornix.SerialStream(device.path)
    ornix.SerialStream(device.path)
    assert native_output.read().err == "".join(refused)
    del first
    gc.collect()
    gc.collect()
    # Released with the stream: another process takes the port, and this one is refused.
    holder = subprocess.Popen(
        [sys.executable, "-c", HOLD_THE_PORT, device.path],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout.readline() == "open\n"
        ornix.SerialStream(device.path)
        assert native_output.read().err == "".join(refused)
    finally:
        holder.communicate("", timeout=60)
    assert holder.returncode == 0


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="slows open() by LD_PRELOAD")
def test_other_threads_run_while_the_port_opens(slow_open_library):
    script = textwrap.dedent(
        """
        import OrnixHardwareAPI as ornix
        from probes import Ticker

        ticker = Ticker()
        ticker.during(lambda: ornix.SerialStream("/nonexistent/ornix-slow-open"))
        # Away from both ends of the open, where a held lock could let one stamp in.
        print(ticker.end - ticker.start, ticker.between(ticker.start + 0.1, ticker.end - 0.1))
        """
    )
    # After whatever is preloaded already (a sanitizer runtime must stay first).
    preload = f"{os.environ.get('LD_PRELOAD', '')} {slow_open_library}".strip()
    here = os.path.dirname(os.path.abspath(__file__))
    python_path = os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")]))
    environment = dict(os.environ, LD_PRELOAD=preload, PYTHONPATH=python_path)
    result = subprocess.run(
        [sys.executable, "-c", script], env=environment, capture_output=True, text=True, check=True
    )
    duration, ticks = result.stdout.split()
    assert float(duration) >= 0.45
    assert int(ticks) >= 2
