"""Small models and meshes shared by the binding tests."""
import threading

import numpy as np

# Value ranges that the v2 checker accepts; fresh all-zero weights are refused.
VARIABLE_RANGES = {"weights": (-7, 7), "input_shift": (0, 3), "output_scales": (1, 200), "bias": (-20, 20),
                   "bias_shift": (0, 7), "output_shift": (-3, 1), "max_value": (1, 255), "max_value_shift": (0, 7)}


def layer(core, layer_type, name, **params):
    return core.Layer(core.LayerParams(layer_type, params), name)


def model_of(core, *layers):
    """A model from (type, name, params) rows, each layer following the previous one."""
    model = core.Model()
    for layer_type, name, params in layers:
        model.add(layer(core, layer_type, name, **params))
    return model


def conv_model(core):
    """InputConv2D -> Conv2D -> DepthwiseConv2D -> Dense1D, with every variable set within its range."""
    model = model_of(core, (core.InputConv2D, "hrc", dict(input_width=32, input_height=32, input_channels=3, filters=8,
                                                          kernel_size=3, kernel_stride=2)),
                     (core.Conv2D, "conv", dict(filters=16, kernel_size=3)),
                     (core.DepthwiseConv2D, "dw", dict(kernel_size=3, kernel_stride=2)),
                     (core.Dense1D, "dense", dict(units=10)))
    return fill_variables(model)


def fill_variables(model):
    """Sets every variable the v2 checker reads within its range, differently for each layer."""
    for seed, lay in enumerate(model.layers, 1):
        for name in (n for n in lay.variables.names if n in VARIABLE_RANGES):
            current, (lo, hi) = lay.variables[name], VARIABLE_RANGES[name]
            values = lo + (np.arange(current.size) * 7 + seed) % (hi - lo + 1)
            lay.variables[name] = values.reshape(current.shape).astype(current.dtype)
    return model


def fpga_v2_device(core, columns=4):
    """The fpga_v2 board: 3 rows of nodes with 4 NPs, none at the DMA node (1, 1); skip DMAs in columns 1 and 2."""
    NP = core.NP
    full, last = [NP.CNP1, NP.CNP2, NP.FNP3, NP.TNP_B], [NP.CNP1, NP.CNP2, NP.FNP2]
    nps = [NP.Info(NP.Ident(col, row, i), last if i == 3 else full)
           for col in range(1, columns + 1) for row in range(1, 4) if (col, row) != (1, 1) for i in range(4)]
    skip_dmas = [NP.Info(NP.Ident(col, 1, 3, 4), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD]) for col in (1, 2)]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), nps, skip_dmas)
    return core.Device(core.HwVersion.FPGA_v2, mesh)


def unnested(handler):
    """`handler`, returning at once when called again while it runs (a signal handler whose own run
    takes the next tick): taking the lock is one step, which no other call can come between."""
    inside = threading.Lock()

    def guarded(*args):
        if not inside.acquire(blocking=False):
            return
        try:
            handler(*args)
        finally:
            inside.release()
    return guarded
