"""A program whose device loop runs in a daemon thread ends as any Python program does, however
its main thread ends: the threads inside module calls when the interpreter shuts down take the
process down with them in no way."""

import signal
import subprocess
import sys
import time

import pytest

# The interpreter ends daemon threads inside module calls with a forced unwind, whose stack
# AddressSanitizer does not see unwound and whose exception UndefinedBehaviorSanitizer flags
# where it is caught by reference (in pybind11 too).
pytestmark = pytest.mark.unsanitized

LOOPS = {
    "arm motion commands": (
        "arm",
        [],
        "arm = o.Ostrel3(o.SerialStream(PORT))\n"
        "def loop():\n"
        "    while True:\n"
        "        arm.end_effector_force([0.0, 0.0, 0.1])\n",
    ),
    "handle receiving a compact stream": (
        "handle",
        ["--compact", "200"],
        "class Quiet(o.Handle):\n"
        "    def OnReceiveHandleStatusMessage(self, *fields):\n"
        "        pass\n"
        "handle = Quiet(o.SerialStream(PORT))\n"
        "def loop():\n"
        "    while True:\n"
        "        handle.Receive()\n",
    ),
    "streams opened and closed": (
        "arm",
        [],
        "def loop():\n" "    while True:\n" "        o.SerialStream(PORT)\n",
    ),
}

ENDINGS = {
    "normally": ("time.sleep(0.3)\n", 0),
    "by sys.exit(3)": ("time.sleep(0.3)\nsys.exit(3)\n", 3),
}


def program(port, loop):
    return (
        "import sys, threading, time\n"
        "import OrnixHardwareAPI as o\n"
        f"PORT = {port!r}\n"
        f"{loop}"
        "threading.Thread(target=loop, daemon=True).start()\n"
    )


@pytest.mark.parametrize("ending", ENDINGS, ids=list(ENDINGS))
@pytest.mark.parametrize("loop", LOOPS, ids=list(LOOPS))
def test_the_process_ends_with_its_own_status(ornix_sim, loop, ending):
    kind, options, code = LOOPS[loop]
    port = ornix_sim(kind, *options).ports[kind]
    end, status = ENDINGS[ending]
    for _ in range(3):
        result = subprocess.run(
            [sys.executable, "-c", program(port, code) + end],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert (result.returncode, result.stderr) == (status, "")


@pytest.mark.parametrize("loop", LOOPS, ids=list(LOOPS))
def test_ctrl_c_ends_the_process_as_ctrl_c_does(ornix_sim, loop):
    kind, options, code = LOOPS[loop]
    port = ornix_sim(kind, *options).ports[kind]
    for _ in range(2):
        child = subprocess.Popen(
            [sys.executable, "-c", program(port, code) + "print(flush=True)\ntime.sleep(60)\n"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        child.stdout.readline()
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        _, errors = child.communicate(timeout=60)
        assert child.returncode == -signal.SIGINT
        assert errors.rstrip().endswith("KeyboardInterrupt")
        assert "terminate" not in errors
