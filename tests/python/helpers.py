"""Small layer graphs for the binding tests: a layer gets its shapes and variables only once
it is added to a model."""


def make_layer(core, layer_type, name, **entries):
    return core.Layer(core.LayerParams(layer_type, entries), name)


class Graph:
    """A model built layer by layer; each layer follows the previous one unless inbound
    layer names are given. Keeps the Python layers by name."""

    def __init__(self, core, width=8, height=8, channels=3, bits=8, signed=False):
        self.core = core
        self.model = core.Model()
        self.layers = {}
        self.add(core.InputData, "input", input_width=width, input_height=height, input_channels=channels,
                 input_bits=bits, input_signed=int(signed))

    def add(self, layer_type, name, inbounds=(), **entries):
        layer = make_layer(self.core, layer_type, name, **entries)
        self.model.add(layer, [self.layers[n] for n in inbounds])
        self.layers[name] = layer
        return layer

    def __getitem__(self, name):
        return self.layers[name]


def v2_device(core):
    """A virtual second-generation board with twelve NPs of every CNP and FNP kind."""
    np_ = core.NP
    kinds = [np_.Type.CNP1, np_.Type.CNP2, np_.Type.FNP2, np_.Type.FNP3]
    nps = [np_.Info(np_.Ident(col, row, i), kinds)
           for col in (1, 2) for row in (1, 2) for i in range(4) if (col, row) != (1, 1)]
    mesh = np_.Mesh(core.IpVersion.v2, np_.Ident(1, 1, 0), np_.Ident(1, 1, 1), nps)
    return core.Device(core.HwVersion.FPGA_v2, mesh)
