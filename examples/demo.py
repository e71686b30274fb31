"""A short tour of the native core: run with PYTHONPATH=build (see README.md)."""
import numpy as np

import nuvra.core as core


def main():
    print(f"Nuvra core {core.__version__}")

    print("IP versions:")
    for name, version in core.IpVersion.__members__.items():
        print(f"  {name:<12} {int(version)}")

    print("Clock modes (Hz):")
    for name, mode in core.soc.ClockMode.__members__.items():
        print(f"  {name:<12} {int(mode):>11,}")

    print("Bit widths:")
    samples = {
        "uint8 [0, 5]": np.array([0, 5], dtype=np.uint8),
        "int8 [-128, 127]": np.array([-128, 127], dtype=np.int8),
        "int16 3x3 eye * 300": (np.eye(3) * 300).astype(np.int16),
        "int32 [-70000]": np.array([-70000], dtype=np.int32),
        "float32 (not quantised)": np.linspace(-1, 1, 5, dtype=np.float32),
    }
    for label, array in samples.items():
        print(f"  {label:<24} {core.evaluate_bitwidth(array)}")


if __name__ == "__main__":
    main()
