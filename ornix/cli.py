"""The `ornix` command: list and probe ports, check the machine's set-up, run the demo."""

from __future__ import annotations

import argparse
import dataclasses
import json
import logging
import os
import re
import sys
from typing import Optional, Sequence

from .demo import demo
from .devices import Answer, probe_all
from .diagnostics import diagnostics_to_logging
from .doctor import Doctor, report
from .monitor import monitor
from .ports import DEV, Port, list_ports
from .recording import open_recording, rows, summarise
from .text import printable


def _table(cells: list[list[str]]) -> str:
    shown = [[printable(cell) for cell in row] for row in cells]
    widths = [max(len(row[column]) for row in shown) for column in range(len(shown[0]))]
    return "\n".join(
        "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in shown
    )


def _port_rows(ports: list[Port], answers: Optional[dict[str, Answer]]) -> str:
    header = ["PORT", "DETECTION", "USB ID", "SERIAL", "DESCRIPTION"]
    if answers is not None:
        header.append("ANSWER")
    rows = [header]
    notes = []
    for port in ports:
        row = [
            port.device,
            port.role or "-",
            port.usb_id or "-",
            port.serial_number or "-",
            port.description or "-",
        ]
        if answers is not None:
            answer = answers.get(port.device)
            row.append(str(answer) if answer else "not probed")
        rows.append(row)
        notes += [f"{printable(port.device)} is also {printable(name)}" for name in port.by_id]
    return "\n".join([_table(rows), *notes])


def _list(options: argparse.Namespace) -> int:
    ports = list_ports(options.dev)
    answers = None
    if options.probe:
        # The module's lines on silent ports would break up the table: they go to the log.
        with diagnostics_to_logging():
            answers = {answer.port.device: answer for answer in probe_all(ports)}
    if options.json:
        entries = []
        for port in ports:
            entry = port.to_json()
            if answers is not None:
                answer = answers.get(port.device)
                entry["answer"] = (
                    None
                    if answer is None
                    else {
                        "identity": (
                            dataclasses.asdict(answer.identity) if answer.identity else None
                        ),
                        "problem": answer.problem,
                    }
                )
            entries.append(entry)
        print(json.dumps(entries, indent=2))
    elif not ports:
        print(
            f"no serial port in {printable(options.dev)}; without hardware, `ornix-sim arm handle` "
            "serves virtual devices"
        )
    else:
        print(_port_rows(ports, answers))
    return 0


def _doctor(options: argparse.Namespace) -> int:
    findings = Doctor(options.root).examine()
    if options.json:
        print(json.dumps([finding.to_json() for finding in findings], indent=2))
    else:
        print(report(findings))
    return 1 if any(finding.problem for finding in findings) else 0


def _log(options: argparse.Namespace) -> int:
    with open_recording(options.file) as recording:
        if options.summary:
            print(summarise(recording.records()))
        else:
            sys.stdout.writelines(row + "\n" for row in rows(recording.records()))
    if recording.cut_short:
        print(f"ornix: warning: {recording.cut_short}", file=sys.stderr)
    return 0


def _monitor(options: argparse.Namespace) -> int:
    monitor(options.port, directory=options.dev, as_json=options.json, seconds=options.seconds)
    return 0


def _demo(options: argparse.Namespace) -> int:
    demo(options.seconds, options.port, options.plot, options.dev, options.latency)
    return 0


def _latency_model(text: str) -> str:
    """A link model of `ornix-sim --latency`, checked before any device is opened."""
    ftdi = re.fullmatch(r"ftdi:([0-9]{1,3})", text)
    if text in ("usb-full-speed", "bluetooth") or (ftdi and 1 <= int(ftdi.group(1)) <= 255):
        return text
    raise argparse.ArgumentTypeError(
        f"needs usb-full-speed, ftdi:MS with MS from 1 to 255, or bluetooth, not '{text}'"
    )


def parser() -> argparse.ArgumentParser:
    commands = argparse.ArgumentParser(
        prog="ornix", description="Find, check and try out Ornix haptic devices."
    )
    commands.add_argument(
        "-v", "--verbose", action="store_true", help="show the library's diagnostic lines"
    )
    chosen = commands.add_subparsers(dest="command", required=True, metavar="COMMAND")

    listing = chosen.add_parser(
        "list",
        help="the serial ports, and which devices answer on them",
        description="List the serial ports with what the system knows of them, and the role in "
        "which detection would probe each.",
    )
    listing.add_argument(
        "--probe", action="store_true", help="wake the devices on the candidate ports"
    )
    listing.add_argument("--json", action="store_true", help="print JSON, for programs")
    listing.add_argument("--dev", default=DEV, help="the directory of device nodes (%(default)s)")
    listing.set_defaults(run=_list)

    doctor = chosen.add_parser(
        "doctor",
        help="check the set-up for the usual problems, and explain the fixes",
        description="Check port permissions, ModemManager, USB-serial latency timers and "
        "Bluetooth ports. Nothing is changed.",
    )
    doctor.add_argument("--json", action="store_true", help="print JSON, for programs")
    doctor.add_argument("--root", default="/", help="the root of the tree to examine (%(default)s)")
    doctor.set_defaults(run=_doctor)

    demo_command = chosen.add_parser(
        "demo",
        help="the haptic wall, on an arm or a virtual one",
        description="Render a virtual wall on the arm that answers, or on a virtual arm.",
    )
    demo_command.add_argument(
        "--seconds", type=float, default=3.0, help="how long to run (%(default)s)"
    )
    demo_command.add_argument("--port", help="the arm's port (default: the arm that answers)")
    demo_command.add_argument("--plot", metavar="FILE.png", help="save position and force")
    demo_command.add_argument("--dev", default=DEV, help="where to look for arms (%(default)s)")
    demo_command.add_argument(
        "--latency",
        metavar="MODEL",
        type=_latency_model,
        help="a virtual arm's link: usb-full-speed, ftdi:MS or bluetooth, as ornix-sim models "
        "them (see ornix-sim arm --help)",
    )
    demo_command.set_defaults(run=_demo)

    watching = chosen.add_parser(
        "monitor",
        help="a live view of a device and its link",
        description="Show an arm's position, velocity and temperature, or a handle's "
        "orientation, buttons and battery, with the link's exchanges, bytes and failures, a few "
        "times a second until Ctrl-C.",
    )
    watching.add_argument(
        "port", nargs="?", help="the device's port (default: the one that answers)"
    )
    watching.add_argument("--json", action="store_true", help="a line of JSON figures a second")
    watching.add_argument("--seconds", type=float, help="stop after this long")
    watching.add_argument("--dev", default=DEV, help="where to look for devices (%(default)s)")
    watching.set_defaults(run=_monitor)

    log = chosen.add_parser(
        "log",
        help="print a recording of `ornix-sim proxy` as a table",
        description="Print a recording as a table (time, direction, frame, decoded fields), "
        "marking time-outs, wrong codes and bytes that form no frame with '!'.",
    )
    log.add_argument("file", help="the recording")
    log.add_argument(
        "--summary", action="store_true", help="counts, rates and answer latencies per frame"
    )
    log.set_defaults(run=_log)
    return commands


def main(arguments: Optional[Sequence[str]] = None) -> int:
    options = parser().parse_args(arguments)
    logging.basicConfig(
        level=logging.DEBUG if options.verbose else logging.CRITICAL,
        format="%(name)s: %(message)s",
    )
    try:
        status: int = options.run(options)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader of the output went away (`ornix log FILE | head`): nothing more to say, and
        # nothing for the interpreter to flush into the closed pipe at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (OSError, LookupError, ImportError, ValueError) as error:
        print(f"ornix: {_message(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return status


def _message(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)
