"""Runs the demo model on a board found on the host.

Without hardware, attach a simulated board first (see README.md), e.g.:
    NUVRA_SIM_BOARDS=fpga_v2+soc PYTHONPATH=build python3 examples/board_demo.py
"""
import sys

import numpy as np

import nuvra.core as core
from demo import build_model


def main():
    devices = core.HardwareDevice.devices()
    if not devices:
        print("No board found: set NUVRA_SIM_BOARDS to attach a simulated one.")
        return 1
    print("Boards:")
    for device in devices:
        print(f"  {device.desc:<22} version {device.version}, {len(device.mesh.nps)} NPs")
    device = next((d for d in devices if d.version.product_id == core.HwVersion.FPGA_v2.product_id), None)
    if device is None:
        print("The demo model needs a second-generation board (e.g. NUVRA_SIM_BOARDS=fpga_v2+soc).")
        return 1

    model = build_model()
    model._map(device, hw_only=True)
    sequence = model.sequences[0]
    print(f"\nMapped {model.layer_count} layers onto {device.desc} as {sequence.name}")

    soc = device.soc
    if soc is not None:
        soc.power_measurement_enabled = True
        print(f"Clock mode: {soc.clock_mode.name} ({int(soc.clock_mode):,} Hz)")

    inputs = np.random.default_rng(3).integers(0, 256, (4, 32, 32, 3), dtype=np.uint8)
    for mode in ([core.soc.Performance, core.soc.Economy] if soc is not None else [None]):
        if mode is not None:
            soc.clock_mode = mode
        outputs = model.forward(inputs)  # programs the board on the first run
        metrics = model.metrics
        label = f" at {soc.clock_mode.name}" if mode is not None else ""
        print(f"\nRan {metrics['inference_frames']} samples{label}: outputs {outputs.dtype} {outputs.shape}, "
              f"{metrics['inference_clk']:,} clocks (program {metrics['program_clk']:,} clocks, "
              f"{len(device.program):,} bytes)")
        print(f"  first sample: {outputs[0].ravel().tolist()}")
        for event in model.power_events:
            print(f"  power event at {event.ts} ms: {event.voltage} uV x {event.current} mA = {event.power} mW")
    if soc is not None:
        print(f"Power floor: {soc.power_meter.floor} mW")
    device.unprogram()
    return 0


if __name__ == "__main__":
    sys.exit(main())
