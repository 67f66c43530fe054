"""Device detection checked in a /dev of its own.

The module's detect_* functions look only in /dev, so a test that wants them to find its devices
must put links there; the machine's own /dev must neither be written to nor show its serial ports
to the test. Each check therefore runs in a child process in a mount namespace of its own, with an
empty tmpfs over /dev, the machine's /dev/pts moved onto it (the ports of fake and virtual devices
live there), and the test's links beside it. Run as a script, this file is that child: it reads
the links and the check from its standard input and writes the check's result as JSON.
"""

import functools
import json
import os
import shutil
import subprocess
import sys
import tempfile

UNSHARE = ["unshare", "--mount", "--propagation", "private"]


@functools.lru_cache(maxsize=None)
def unavailable():
    """Why a /dev of its own cannot be arranged here, or None where it can."""
    if not sys.platform.startswith("linux"):
        return "a /dev of its own needs a Linux mount namespace"
    if os.geteuid() != 0:
        return "mounting a /dev of its own needs root"
    if not (shutil.which("unshare") and shutil.which("mount")):
        return "unshare and mount (util-linux) are not installed"
    trial = subprocess.run(
        [*UNSHARE, "mount", "-t", "tmpfs", "ornix-test-dev", "/mnt"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    if trial.returncode != 0:
        return f"this machine refuses a private mount namespace: {trial.stderr.strip()}"
    return None


def run(links, check, *arguments):
    """Runs `check` (a function below) with `arguments` where /dev holds only `links`, a map from
    a name in /dev to the path the link points to; the check's result."""
    child = subprocess.run(
        [*UNSHARE, sys.executable, os.path.abspath(__file__)],
        input=json.dumps({"links": links, "check": check, "arguments": arguments}),
        capture_output=True,
        text=True,
        timeout=120,
    )
    if child.returncode != 0:
        raise AssertionError(f"the check in a /dev of its own failed:\n{child.stderr}")
    return json.loads(child.stdout)


def _mount_private_dev():
    def mount(*arguments):
        subprocess.run(["mount", *arguments], check=True)

    # Whatever the namespace was made with, nothing mounted here may reach the machine's.
    mount("--make-rprivate", "/")
    pts = tempfile.mkdtemp()
    mount("--bind", "/dev/pts", pts)
    mount("-t", "tmpfs", "-o", "mode=755", "ornix-test-dev", "/dev")
    os.mkdir("/dev/pts")
    mount("--move", pts, "/dev/pts")
    os.rmdir(pts)


def listed(*functions):
    """What each of the named detect_* functions finds."""
    import OrnixHardwareAPI as ornix

    return {name: getattr(ornix, name)() for name in functions}


def interrupted_after(function):
    """The seconds until Ctrl-C ended the named detect_* function, or None if it returned."""
    import OrnixHardwareAPI as ornix
    from probes import interrupted

    return interrupted(getattr(ornix, function))


def stamped(function):
    """What the named detect_* function finds, with the stamps of another thread that ticked
    meanwhile and the times the call began and ended."""
    import OrnixHardwareAPI as ornix
    from probes import Ticker

    ticker = Ticker()
    found = ticker.during(getattr(ornix, function))
    return {"found": found, "stamps": ticker.stamps, "start": ticker.start, "end": ticker.end}


def logged(function):
    """What the named detect_* function finds, and the messages of the records it logged while
    the library's diagnostics went to logging."""
    import logging

    import OrnixHardwareAPI as ornix
    from ornix import diagnostics_to_logging

    messages = []

    class Keep(logging.Handler):
        def emit(self, record):
            messages.append(record.getMessage())

    logger = logging.getLogger("OrnixHardwareAPI")
    logger.addHandler(Keep())
    logger.propagate = False
    with diagnostics_to_logging():
        found = getattr(ornix, function)()
    return {"found": found, "messages": messages}


def _main():
    request = json.load(sys.stdin)
    _mount_private_dev()
    for name, target in request["links"].items():
        os.symlink(target, os.path.join("/dev", name))
    check = {
        "listed": listed,
        "interrupted_after": interrupted_after,
        "stamped": stamped,
        "logged": logged,
    }
    json.dump(check[request["check"]](*request["arguments"]), sys.stdout)


if __name__ == "__main__":
    _main()
