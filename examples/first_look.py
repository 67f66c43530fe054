"""First look: which OrnixHardwareAPI is installed, the serial ports of this machine, and which
devices answer on them."""

import OrnixHardwareAPI

import ornix


def main():
    print(
        f"OrnixHardwareAPI {OrnixHardwareAPI.__version__}, library "
        f"{OrnixHardwareAPI.get_cpp_version()}"
    )
    ports = [port for port in ornix.list_ports() if port.probed_by]
    if not ports:
        print(
            "No port on which a device could answer. Without hardware, `ornix-sim arm handle` "
            "serves a virtual arm and a virtual handle; see `ornix doctor` for set-up problems."
        )
    for port in ports:
        print(f"{port.device} ({port.role}): {ornix.probe(port)}")


if __name__ == "__main__":
    main()
