"""Small second-generation models and meshes shared by the model tests."""
import numpy as np

# Value ranges that the v2 checker accepts; fresh all-zero weights are refused.
VARIABLE_RANGES = {
    "weights": (-7, 7),
    "input_shift": (0, 3),
    "output_scales": (1, 200),
    "bias": (-20, 20),
    "bias_shift": (0, 7),
    "output_shift": (-3, 1),
    "max_value": (1, 255),
    "max_value_shift": (0, 7),
}


def layer(core, layer_type, name, **params):
    return core.Layer(core.LayerParams(layer_type, params), name)


def fill_variables(model):
    """Gives every known variable a deterministic, non-trivial pattern within its range."""
    for seed, lay in enumerate(model.layers, 1):
        variables = lay.variables
        for name in variables.names:
            if name not in VARIABLE_RANGES:
                continue
            current = variables[name]
            lo, hi = VARIABLE_RANGES[name]
            values = lo + (np.arange(current.size) * 7 + seed) % (hi - lo + 1)
            variables[name] = values.reshape(current.shape).astype(current.dtype)


def conv_model(core, units=10):
    """InputConv2D -> Conv2D -> DepthwiseConv2D -> Dense1D, with weights set."""
    model = core.Model()
    model.add(layer(core, core.InputConv2D, "hrc", input_width=32, input_height=32, input_channels=3, filters=8,
                    kernel_size=3, kernel_stride=2))
    model.add(layer(core, core.Conv2D, "conv", filters=16, kernel_size=3))
    model.add(layer(core, core.DepthwiseConv2D, "dw", kernel_size=3, kernel_stride=2))
    model.add(layer(core, core.Dense1D, "dense", units=units))
    fill_variables(model)
    return model


def fpga_v2_mesh(core, fnp_types=None):
    """The mesh of the simulated fpga_v2 board: 4 columns of 3 rows, 4 NPs per node, the DMA node at
    (1, 1) without NPs, ids 0-2 {CNP1, CNP2, FNP3, TNP_B} and id 3 {CNP1, CNP2, FNP2}, skip DMAs in
    columns 1 and 2 with 4 channels. `fnp_types` replaces the types of every NP when given."""
    NP = core.NP
    nps = []
    for col in range(1, 5):
        for row in range(1, 4):
            if (col, row) == (1, 1):
                continue
            for np_id in range(4):
                if fnp_types is not None:
                    types = fnp_types
                elif np_id == 3:
                    types = [NP.Type.CNP1, NP.Type.CNP2, NP.Type.FNP2]
                else:
                    types = [NP.Type.CNP1, NP.Type.CNP2, NP.Type.FNP3, NP.Type.TNP_B]
                nps.append(NP.Info(NP.Ident(col, row, np_id), types))
    skip_dmas = [NP.Info(NP.Ident(col, 1, 3, 4), [NP.Type.SKIP_DMA_STORE, NP.Type.SKIP_DMA_LOAD]) for col in (1, 2)]
    return NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), nps, skip_dmas)


def fpga_v2_device(core, **mesh_options):
    return core.Device(core.HwVersion.FPGA_v2, fpga_v2_mesh(core, **mesh_options))
