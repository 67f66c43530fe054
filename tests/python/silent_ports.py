"""Pseudo-terminals that never answer, linked under the names of arm ports in a folder.

    python3 silent_ports.py FOLDER COUNT

Says "ready" once the ports are linked, then "probed" once every one has been written to, and
holds them until its standard input ends. Run as a process of its own by the tests and the
benchmarks, so that the ports' other end is not a thread of theirs.
"""

import os
import pty
import select
import sys

masters = []
for number in range(int(sys.argv[2])):
    master, slave = pty.openpty()
    masters.append((master, slave))
    os.symlink(os.ttyname(slave), os.path.join(sys.argv[1], f"ttyACM{number}"))
print("ready", flush=True)
waiting = {master for master, _ in masters}
while waiting:
    readable, _, _ = select.select(list(waiting), [], [])
    for master in readable:
        os.read(master, 64)
        waiting.discard(master)
print("probed", flush=True)
sys.stdin.read()
