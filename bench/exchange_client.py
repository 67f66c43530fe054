"""One client of the exchange benchmark, run as a process of its own so that any interpreter
(and any installed copy of the module) can be timed beside another.

    python exchange_client.py CLIENT MODE PORT[,PORT...] AMOUNT

CLIENT is `library` (OrnixHardwareAPI's end_effector_force) or `pyserial` (the same frames by
hand with pyserial and struct). MODE `each` times AMOUNT exchanges on the first port, after as
many (at most 2000) untimed; `threads` runs one thread per port for AMOUNT seconds; `turns` takes
the ports in turn on one thread for AMOUNT seconds. Prints one JSON object: the time of each exchange in nanoseconds (`each`) or the
number of exchanges, and the wall and processor seconds the exchanges took.
"""

import json
import struct
import sys
import threading
import time

FORCE = [0.0, 0.0, 0.1]
REQUEST = struct.pack("<B3f", 0x2A, *FORCE)
REPLY_LENGTH = 25
WARM_UP = 2000


def library_exchange(port):
    import OrnixHardwareAPI as ornix

    arm = ornix.Ostrel3(ornix.SerialStream(port))
    return lambda: arm.end_effector_force(FORCE)


def pyserial_exchange(port):
    import serial

    link = serial.Serial(port, 115200, timeout=1.0)

    def exchange():
        link.write(REQUEST)
        return struct.unpack("<B6f", link.read(REPLY_LENGTH))

    return exchange


def each(exchange, amount):
    # Untimed first, so that an interpreter with a just-in-time compiler (PyPy) is timed warm.
    for _ in range(min(amount, WARM_UP)):
        exchange()
    clock = time.perf_counter_ns
    times = []
    wall, processor = time.perf_counter(), time.process_time()
    for _ in range(amount):
        start = clock()
        exchange()
        times.append(clock() - start)
    return {
        "times": times,
        "wall": time.perf_counter() - wall,
        "processor": time.process_time() - processor,
    }


def threads(exchanges, seconds):
    counts = [0] * len(exchanges)
    deadline = time.monotonic() + seconds

    def loop(index):
        exchange, count = exchanges[index], 0
        while time.monotonic() < deadline:
            exchange()
            count += 1
        counts[index] = count

    workers = [threading.Thread(target=loop, args=(i,)) for i in range(len(exchanges))]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return {"exchanges": sum(counts)}


def turns(exchanges, seconds):
    count, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        for exchange in exchanges:
            exchange()
        count += len(exchanges)
    return {"exchanges": count}


def main():
    client, mode, ports, amount = sys.argv[1:5]
    make = {"library": library_exchange, "pyserial": pyserial_exchange}[client]
    exchanges = [make(port) for port in ports.split(",")]
    if mode == "each":
        result = each(exchanges[0], int(amount))
    else:
        wall, processor = time.perf_counter(), time.process_time()
        result = {"threads": threads, "turns": turns}[mode](exchanges, float(amount))
        result["wall"] = time.perf_counter() - wall
        result["processor"] = time.process_time() - processor
    print(json.dumps(result))


if __name__ == "__main__":
    main()
