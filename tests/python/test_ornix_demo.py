"""`ornix demo` on a virtual arm, and the virtual-device launcher of ornix.testing."""

import importlib.util
import os
import re
import subprocess
import sysconfig

import pytest

from ornix.testing import VirtualDevices


def test_demo_renders_the_wall_on_the_given_arm(ornix_sim, run_ornix):
    port = ornix_sim("arm").ports["arm"]
    result = run_ornix("demo", "--seconds", "1", "--port", port)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(f"arm 769 on {port} ")
    assert " exchanges in " in lines[-2]
    # The arm settles on the wall rather than sinking through it.
    depth = float(lines[-1].split("deepest ")[1].split(" mm")[0])
    assert 0.0 < depth < 10.0, lines[-1]


def test_demo_without_an_arm_starts_a_virtual_one(tmp_path, run_ornix):
    result = run_ornix("demo", "--seconds", "0.5", "--dev", str(tmp_path))
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("virtual arm 769 on ")


def test_demo_runs_its_virtual_arm_behind_the_link_asked_for(tmp_path, run_ornix):
    result = run_ornix("demo", "--seconds", "0.5", "--dev", str(tmp_path), "--latency", "ftdi:16")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].endswith(", behind a modelled ftdi:16 link")
    # The adapter's timer lets one reply through per 16 ms once the loop runs, however busy the
    # machine; without it the loop would make thousands.
    exchanges, elapsed = re.fullmatch(r"(\d+) exchanges in ([0-9.]+) s: .*", lines[-2]).groups()
    assert int(exchanges) <= float(elapsed) / 0.016 + 2


def test_demo_refuses_an_unknown_link_before_it_starts(tmp_path, run_ornix):
    result = run_ornix("demo", "--dev", str(tmp_path), "--latency", "ftdi:0")
    assert result.returncode == 2
    assert result.stderr.endswith(
        "error: argument --latency: needs usb-full-speed, ftdi:MS with MS from 1 to 255, "
        "or bluetooth, not 'ftdi:0'\n"
    )


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is not None, reason="has matplotlib")
def test_demo_plot_without_matplotlib_says_how_to_get_it(tmp_path, run_ornix):
    result = run_ornix(
        "demo", "--seconds", "0.1", "--dev", str(tmp_path), "--plot", str(tmp_path / "w.png")
    )
    assert result.returncode == 1
    assert result.stderr == "ornix: plotting needs matplotlib: python3 -m pip install matplotlib\n"


def test_demo_on_a_missing_port_fails_with_the_reason(tmp_path, run_ornix):
    result = run_ornix("demo", "--port", str(tmp_path / "ttyACM0"))
    assert result.returncode == 1
    assert result.stderr.startswith(f"ornix: there is no port {tmp_path / 'ttyACM0'}")


def test_the_command_is_installed_beside_the_interpreter():
    installed = os.path.join(sysconfig.get_path("scripts"), "ornix")
    if not os.access(installed, os.X_OK):
        pytest.skip("the package is used from the source tree, not installed")
    result = subprocess.run([installed, "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    for command in ("list", "doctor", "demo"):
        assert command in result.stdout


def test_launcher_reports_a_simulator_that_will_not_start():
    with pytest.raises(RuntimeError, match="ended with status 2 before it was ready"):
        VirtualDevices("arm", "--no-such-option", stderr=subprocess.DEVNULL)


def test_launcher_stops_the_simulator_and_its_links(tmp_path):
    link = tmp_path / "ttyACM0"
    with VirtualDevices("arm", "--link", str(link), "handle") as devices:
        assert set(devices.ports) == {"arm", "handle"}
        assert os.path.realpath(link) == devices.port
    assert devices.process.returncode == 0
    assert not os.path.lexists(link)
