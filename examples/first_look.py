"""First look: which OrnixHardwareAPI is installed, and which serial ports this machine offers."""

import glob

import OrnixHardwareAPI as ornix

# Call-out nodes on macOS; USB modem, USB-serial and Bluetooth serial nodes on Linux.
PORT_PATTERNS = ["/dev/cu.*", "/dev/ttyACM*", "/dev/ttyUSB*", "/dev/rfcomm*"]


def main():
    print(f"OrnixHardwareAPI {ornix.__version__}, library {ornix.get_cpp_version()}")
    ports = sorted(path for pattern in PORT_PATTERNS for path in glob.glob(pattern))
    print("Serial ports:", ", ".join(ports) if ports else "none")


if __name__ == "__main__":
    main()
