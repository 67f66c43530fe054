"""First look: which OrnixHardwareAPI is installed, and which devices answer on this machine."""

import OrnixHardwareAPI as ornix


def main():
    print(f"OrnixHardwareAPI {ornix.__version__}, library {ornix.get_cpp_version()}")
    for kind, detect in [
        ("Ostrel3 arms", ornix.detect_ostrel3s),
        ("wired handles", ornix.detect_wired_handles),
        ("wireless handles", ornix.detect_wireless_handles),
    ]:
        ports = detect()
        print(f"{kind}:", ", ".join(ports) if ports else "none")


if __name__ == "__main__":
    main()
