"""A short tour of the native core: run with PYTHONPATH=build (see README.md)."""
import os
import tempfile

import numpy as np

import nuvra.core as core


def show_enumerations_and_bit_widths():
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


def layer(layer_type, name, **params):
    return core.Layer(core.LayerParams(layer_type, params), name)


def build_model():
    """A small second-generation model with quantised weights in range."""
    model = core.Model()
    model.add(layer(core.InputConv2D, "input_conv", input_width=32, input_height=32, input_channels=3, filters=8,
                    kernel_size=3, kernel_stride=2))
    model.add(layer(core.Conv2D, "conv", filters=16, kernel_size=3))
    model.add(layer(core.DepthwiseConv2D, "depthwise", kernel_size=3, kernel_stride=2))
    model.add(layer(core.Dense1D, "classifier", units=10))
    ranges = {"weights": (-7, 7), "input_shift": (0, 3), "output_scales": (1, 200), "bias": (-20, 20),
              "bias_shift": (0, 7), "output_shift": (-3, 1), "max_value": (1, 255), "max_value_shift": (0, 7)}
    rng = np.random.default_rng(7)
    for lay in model.layers:
        variables = lay.variables
        for name in variables.names:
            if name in ranges:
                current = variables[name]
                values = rng.integers(*ranges[name], endpoint=True, size=current.shape)
                variables[name] = values.astype(current.dtype)
    return model


def show_software_run():
    model = build_model()
    images = np.random.default_rng(11).integers(0, 256, size=(4, 32, 32, 3), dtype=np.uint8)
    outputs = model.forward(images)
    metrics = model.metrics
    print(f"\nSoftware forward of {len(images)} images: output {outputs.shape} {outputs.dtype}, "
          f"{metrics['inference_end'] - metrics['inference_start']} ms")
    for number, output in enumerate(outputs[:2]):
        print(f"  image {number}: {output.ravel().tolist()}")


def fpga_v2_device():
    """A virtual board: 11 nodes of 4 NPs around the DMA node at (1, 1), skip DMAs in columns 1 and 2."""
    NP = core.NP
    nps = []
    for col in range(1, 5):
        for row in range(1, 4):
            if (col, row) != (1, 1):
                for np_id in range(4):
                    fnp = NP.Type.FNP2 if np_id == 3 else NP.Type.FNP3
                    nps.append(NP.Info(NP.Ident(col, row, np_id), [NP.Type.CNP1, NP.Type.CNP2, fnp]))
    skip_dmas = [NP.Info(NP.Ident(col, 1, 3, 4), [NP.Type.SKIP_DMA_STORE, NP.Type.SKIP_DMA_LOAD]) for col in (1, 2)]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), nps, skip_dmas)
    return core.Device(core.HwVersion.FPGA_v2, mesh)


def show_mapping():
    model = build_model()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "demo.fbz")
        model.save(path)
        print(f"\nSaved {model.layer_count} layers to a {os.path.getsize(path):,}-byte model file "
              f"({len(model.to_buffer()):,} bytes uncompressed)")
        model = core.Model(path)

    device = fpga_v2_device()
    model._map(device, hw_only=True)
    print_mapping(model, device)


def print_mapping(model, device):
    """Where each layer went, the sequences and passes, and what their programs need."""
    print(f"Mapped onto {device.desc} ({len(device.mesh.nps)} NPs)")
    print("Layers:")
    for lay in model.layers:
        placed = ", ".join(f"{c.type.name} {c.ident}" for c in lay.mapping.nps) if lay.mapping else "host"
        print(f"  {lay.name:<12} {str(lay.output_dims):<14} {placed}")
    used = ", ".join(f"{t.name} x{n}" for t, n in model.component_count.items())
    print(f"Components used: {used}")
    for sequence in model.sequences:
        print(f"Sequence {sequence.name} ({sequence.backend.name}), {len(sequence.passes)} pass(es):")
        for number, step in enumerate(sequence.passes, 1):
            print(f"  pass {number}: {' -> '.join(l.name for l in step.layers)}")
        parts = sequence.program_parts
        print(f"  program: {len(sequence.program):,} bytes "
              f"(information {len(parts.program_info):,}, data {len(parts.program_data):,})")
        needs = core.get_program_memory_infos(sequence.program)
        print("  memory needs (bytes):")
        for field in ("input_memory", "input_descriptor_memory", "output_memory", "program_memory",
                      "extra_program_memory", "program_descriptors_memory"):
            print(f"    {field:<27} {getattr(needs, field):>8,}")
    print(f"External memory: {model.external_memory_size:,} bytes")


def main():
    print(f"Nuvra core {core.__version__}")
    show_enumerations_and_bit_widths()
    show_software_run()
    show_mapping()


if __name__ == "__main__":
    main()
