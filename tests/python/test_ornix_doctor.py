"""`ornix doctor` over fake /dev and /sys trees, each problem present and absent. The ports of a
tree are links to pseudo-terminals of the test, as `ornix-sim --link` makes them."""

import grp
import json
import os

import pytest

from ornix.access import User
from ornix.doctor import Doctor, report

OUR_GROUP = grp.getgrgid(os.getegid()).gr_name
# Someone who owns no file of the tree and is in none of its groups.
STRANGER = User("stranger", os.geteuid() + 4242, frozenset({os.getegid() + 4242}))
MEMBER = User("member", os.geteuid() + 4242, frozenset({os.getegid()}))
ROOT = User("root", 0, frozenset({0}))


@pytest.fixture
def terminals():
    """The pseudo-terminals that the trees' ports link to, open until the test ends."""
    opened = []
    yield opened
    for descriptor in opened:
        os.close(descriptor)


def terminal(opened, mode):
    """A new pseudo-terminal of our group with this mode: the path of its device."""
    controller, device = os.openpty()
    opened += [controller, device]
    path = os.ttyname(device)
    os.chown(path, -1, os.getegid())
    os.chmod(path, mode)
    return path


def make_tree(root, ports=(), latency=None, bluetooth=False, mode=0o660, opened=None):
    (root / "dev").mkdir(parents=True, exist_ok=True)
    if ports:
        port = terminal(opened, mode)
    for name in ports:
        (root / "dev" / name).symlink_to(port)
    if latency is not None:
        timer = root / "sys" / "bus" / "usb-serial" / "devices" / "ttyUSB0" / "latency_timer"
        timer.parent.mkdir(parents=True)
        timer.write_text(f"{latency}\n")
    if bluetooth:
        (root / "sys" / "class" / "bluetooth" / "hci0").mkdir(parents=True)
    return str(root)


def examine(root, user=STRANGER, platform="linux", modem_manager=False):
    doctor = Doctor(root, user=user, platform=platform, running=lambda name: modem_manager)
    return {finding.subject: finding for finding in doctor.examine()}


def test_ports_the_user_may_not_open_come_with_the_fix(tmp_path, terminals):
    root = make_tree(tmp_path, ports=["ttyACM0", "ttyUSB0", "ttyS0"], opened=terminals)
    findings = examine(root)
    assert set(findings) == {"/dev/ttyACM0", "/dev/ttyUSB0"}
    problem = findings["/dev/ttyACM0"]
    assert problem.problem
    assert f"belongs to group '{OUR_GROUP}', and stranger is not in it" in problem.fix
    assert f"sudo usermod -aG {OUR_GROUP} stranger" in problem.fix

    member = examine(root, user=MEMBER)["/dev/ttyACM0"]
    assert not member.problem and "member may open it (arm or handle)" == member.text
    open_to_all = examine(
        make_tree(tmp_path / "all", ports=["ttyACM0"], mode=0o666, opened=terminals)
    )
    assert not open_to_all["/dev/ttyACM0"].problem


def test_a_port_no_group_grants_needs_a_udev_rule(tmp_path, terminals):
    tree = make_tree(tmp_path, ports=["rfcomm0"], mode=0o600, opened=terminals)
    finding = examine(tree)["/dev/rfcomm0"]
    assert finding.problem and "udev rule" in finding.fix and "usermod" not in finding.fix


def test_macos_advice_speaks_of_macos(tmp_path, terminals):
    ports = ["cu.usbmodem14101", "cu.Bluetooth-Incoming-Port"]
    root = make_tree(tmp_path, ports=ports, opened=terminals)
    findings = examine(root, platform="darwin", modem_manager=True)
    assert set(findings) == {"/dev/cu.usbmodem14101", "/dev/cu.Bluetooth-Incoming-Port"}
    assert "macOS" in findings["/dev/cu.usbmodem14101"].fix


def test_modem_manager_is_reported_only_when_it_runs(tmp_path, terminals):
    root = make_tree(tmp_path, ports=["ttyACM0"], opened=terminals)
    running = examine(root, user=MEMBER, modem_manager=True)["ModemManager"]
    assert running.problem and "ID_MM_DEVICE_IGNORE" in running.fix
    assert "ModemManager" not in examine(root, user=MEMBER, modem_manager=False)
    assert "ModemManager" not in examine(root, user=MEMBER, modem_manager=None)


@pytest.mark.parametrize("milliseconds, problem", [(16, True), (1, False)])
def test_latency_timers_of_usb_serial_adapters(tmp_path, milliseconds, problem):
    finding = examine(make_tree(tmp_path, latency=milliseconds), user=MEMBER)["/dev/ttyUSB0"]
    assert finding.problem is problem
    if problem:
        assert "16 ms" in finding.text and "about 62 exchanges a second" in finding.text
        assert "echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer" in finding.fix
        assert 'ATTR{latency_timer}="1"' in finding.fix


def test_bluetooth_controller_without_a_bound_port(tmp_path, terminals):
    unbound = examine(make_tree(tmp_path, bluetooth=True))
    assert "rfcomm bind 0 ADDRESS 1" in unbound["Bluetooth"].fix
    tree = make_tree(tmp_path / "bound", ports=["rfcomm0"], bluetooth=True, opened=terminals)
    bound = examine(tree, user=MEMBER)
    assert "Bluetooth" not in bound
    assert "Bluetooth" not in examine(make_tree(tmp_path / "none"))


def test_an_empty_tree_is_one_note_and_no_problem(tmp_path):
    findings = list(examine(make_tree(tmp_path)).values())
    assert [finding.subject for finding in findings] == ["ports"]
    assert not findings[0].problem and "ornix-sim" in findings[0].fix
    assert report(findings).endswith("0 problems found")


def test_doctor_command_exits_with_the_verdict(tmp_path, run_ornix):
    def doctor(root, *extra):
        return run_ornix("doctor", "--root", root, *extra)

    healthy = doctor(make_tree(tmp_path / "healthy", latency=1))
    assert healthy.returncode == 0, healthy.stdout + healthy.stderr
    slow = doctor(make_tree(tmp_path / "slow", latency=16), "--json")
    assert slow.returncode == 1
    entries = json.loads(slow.stdout)
    assert [entry["subject"] for entry in entries if entry["problem"]] == ["/dev/ttyUSB0"]


def device_class(root, path, name):
    """Gives the character device at `path` the class `name` in the tree's sysfs."""
    device = os.stat(path).st_rdev
    entry = root / "sys" / "dev" / "char" / f"{os.major(device)}:{os.minor(device)}"
    entry.mkdir(parents=True)
    (entry / "subsystem").symlink_to(f"../../../class/{name}")


def test_only_terminals_are_ports(tmp_path, terminals):
    root = make_tree(tmp_path, ports=["ttyACM0"], opened=terminals)
    dev = tmp_path / "dev"
    os.mkfifo(dev / "ttyACM1")
    (dev / "ttyACM2").mkdir()
    (dev / "ttyUSB0").touch()
    (dev / "ttyACM5").symlink_to(os.devnull)
    device_class(tmp_path, os.devnull, "mem")
    findings = examine(root, user=ROOT)
    assert findings["/dev/ttyACM0"].text == "root may open it (arm or handle)"
    assert {subject: finding.text for subject, finding in findings.items() if finding.problem} == {
        "/dev/ttyACM1": "is not a serial port: a FIFO",
        "/dev/ttyACM2": "is not a serial port: a directory",
        "/dev/ttyUSB0": "is not a serial port: a regular file",
        "/dev/ttyACM5": "is not a serial port: a character device of class mem, not a "
        f"terminal, through a link to {os.path.realpath(os.devnull)}",
    }
    assert "remove or rename /dev/ttyACM5" in findings["/dev/ttyACM5"].fix
    assert report(list(findings.values())).endswith("4 problems found")


def test_the_class_of_a_character_device_comes_from_sysfs(tmp_path, terminals):
    # A terminal that sysfs knows is a port as much as one it does not know.
    root = make_tree(tmp_path, ports=["ttyACM0"], opened=terminals)
    device_class(tmp_path, tmp_path / "dev" / "ttyACM0", "tty")
    (tmp_path / "dev" / "ttyACM5").symlink_to(os.devnull)
    device_class(tmp_path, os.devnull, "tty")
    findings = examine(root, user=ROOT)
    assert not findings["/dev/ttyACM0"].problem and not findings["/dev/ttyACM5"].problem
    # Where there is no sysfs, any character device may be a port.
    assert not examine(root, user=ROOT, platform="darwin")["/dev/ttyACM5"].problem


def test_names_with_newlines_and_escape_codes_keep_to_their_line(tmp_path, terminals, run_ornix):
    root = make_tree(tmp_path, ports=["ttyACM0\nok all well", "ttyUSB\x1b[2J"], opened=terminals)
    findings = list(examine(root).values())
    lines = report(findings).splitlines()
    assert [line for line in lines if line.startswith("problem")] == [
        "problem  /dev/ttyACM0\\nok all well: stranger may not open it",
        "problem  /dev/ttyUSB\\x1b[2J: stranger may not open it",
    ]
    assert all(line.startswith(("problem ", "           fix: ")) for line in lines[:-1])
    assert "\x1b" not in report(findings)
    listed = run_ornix("doctor", "--root", root, "--json")
    subjects = [entry["subject"] for entry in json.loads(listed.stdout)]
    assert subjects[:2] == ["/dev/ttyACM0\nok all well", "/dev/ttyUSB\x1b[2J"]
