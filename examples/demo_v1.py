"""A first-generation model mapped onto a virtual board: run with PYTHONPATH=build (see README.md)."""
import os
import tempfile

import numpy as np

import nuvra.core as core
from demo import print_mapping

NUM_WEIGHTS = 24


def layer(layer_type, name, **params):
    return core.Layer(core.LayerParams(layer_type, params), name)


def build_model():
    """HRC input convolution, a standard and a separable CNP convolution, and a FullyConnected layer that learns
    on the chip."""
    model = core.Model()
    model.add(layer(core.InputConvolutional, "input_conv", input_width=32, input_height=32, input_channels=3,
                    kernel_width=3, kernel_height=3, filters=8, act_bits=2))
    model.add(layer(core.Convolutional, "conv", filters=16, kernel_width=3, kernel_height=3, weights_bits=2,
                    pool_type=int(core.PoolType.Max), pooling_width=2, pooling_height=2, act_bits=2))
    model.add(layer(core.SeparableConvolutional, "separable", filters=32, kernel_width=3, kernel_height=3,
                    weights_bits=2, act_bits=2))
    model.add(layer(core.FullyConnected, "classifier", units=10, weights_bits=1))
    rng = np.random.default_rng(3)
    for lay in model.layers:
        variables = lay.variables
        for name in ("weights", "weights_pw"):
            if name in variables.names:
                shape, dtype = variables[name].shape, variables[name].dtype
                if lay.name == "classifier":  # every neuron starts with NUM_WEIGHTS connections
                    values = np.zeros(shape, dtype=dtype)
                    for neuron in range(shape[-1]):
                        values[0, 0, rng.choice(shape[2], NUM_WEIGHTS, replace=False), neuron] = 1
                else:
                    values = rng.integers(-1, 1, endpoint=True, size=shape)
                variables[name] = values.astype(dtype)
        variables["threshold"] = rng.integers(0, 40, size=variables["threshold"].shape).astype(np.int32)
        variables["act_step"] = np.full(variables["act_step"].shape, 2.0, dtype=np.float32)
    model.compile(core.NuvraUnsupervised(num_weights=NUM_WEIGHTS, num_classes=2))
    return model


# Rows and columns of nodes of the first-generation boards; the DMA node (1, 1) holds no NP.
BOARDS = {"VLQ7300_v1": (2, 3), "TwoNodesIP_v1": (1, 3), "Qrix_v2": (3, 4)}


def virtual_device(version="VLQ7300_v1"):
    """A virtual first-generation board: 4 NPs per node; NP 3 of each node has an FNP2, the others an FNP3."""
    NP = core.NP
    rows, columns = BOARDS[version]
    nps = [NP.Info(NP.Ident(col, row, i), [NP.CNP1, NP.CNP2, NP.FNP2 if i == 3 else NP.FNP3])
           for col in range(1, columns + 1) for row in range(1, rows + 1) if (col, row) != (1, 1) for i in range(4)]
    mesh = NP.Mesh(core.IpVersion.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), nps, [])
    return core.Device(getattr(core.HwVersion, version), mesh)


def main():
    print(f"Nuvra core {core.__version__}: first-generation model")
    model = build_model()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "demo_v1.fbz")
        model.save(path)
        print(f"Saved {model.layer_count} layers (IP {model.ip_version.name}) to a {os.path.getsize(path):,}-byte "
              f"model file")
        model = core.Model(path)
    learning = model.learning
    print(f"Learning: {learning.num_weights:.0f} weights per neuron, {learning.num_classes:.0f} classes")

    device = virtual_device()
    model._map(device, hw_only=True)
    print_mapping(model, device)


if __name__ == "__main__":
    main()
