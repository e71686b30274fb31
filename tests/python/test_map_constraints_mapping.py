"""Python overrides of the mapping hooks, seen through a real mapping of a small model."""
import numpy as np
import pytest

NP_TYPES = ("CNP1", "CNP2", "FNP2", "FNP3")


def make_device(core):
    NP = core.NP
    types = [getattr(NP.Type, t) for t in NP_TYPES]
    nps = [NP.Info(NP.Ident(col, row, i), types)
           for col in range(1, 4) for row in range(1, 3) if (col, row) != (1, 1) for i in range(4)]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), nps)
    return core.Device(core.HwVersion.FPGA_v2, mesh)


def make_model(core):
    def layer(layer_type, name, **entries):
        return core.Layer(core.LayerParams(layer_type, entries), name)

    model = core.Model([
        layer(core.LayerType.InputData, "input", input_width=8, input_height=8, input_channels=3, input_bits=8,
              input_signed=0),
        layer(core.LayerType.Conv2D, "conv", filters=4, kernel_size=3),
        layer(core.LayerType.Dense1D, "dense", units=10),
    ])
    for mapped in model.layers[1:]:
        weights = mapped.variables["weights"]
        mapped.variables["weights"] = (np.arange(weights.size).reshape(weights.shape) % 7 - 3).astype(weights.dtype)
    return model


def placements(model):
    return {layer.name: [(c.ident, c.type) for c in layer.mapping.nps] for layer in model.layers[1:]}


def watcher(core):
    class Watch(core.MapConstraints):
        def __init__(self, device):
            super().__init__(device)
            self.names, self.calls = [], []

        def next_layer_handler(self, layer_name):
            self.names.append(layer_name)

        def select_nps(self, source_nps, num_nps, type):
            self.calls.append((source_nps, num_nps, type))
            return list(reversed(source_nps))[:num_nps]

    return Watch


def test_default_constraints_take_the_first_candidates(core):
    device = make_device(core)
    model = make_model(core)
    model._map(device, True, core.MapConstraints(device))
    NP = core.NP
    assert placements(model) == {"conv": [(NP.Ident(1, 2, 0), NP.CNP1)], "dense": [(NP.Ident(1, 2, 1), NP.FNP3)]}


def test_overrides_steer_the_mapper(core):
    device = make_device(core)
    model = make_model(core)
    constraints = watcher(core)(device)
    model._map(device, True, constraints)
    assert constraints.names == ["conv", "dense"]
    assert [(n, t) for _, n, t in constraints.calls] == [(1, core.NP.CNP1), (1, core.NP.FNP3)]
    for source, _, _ in constraints.calls:
        assert type(source) is list and source and all(type(i) is core.NP.Ident for i in source)
    conv_source, dense_source = constraints.calls[0][0], constraints.calls[1][0]
    assert placements(model) == {"conv": [(conv_source[-1], core.NP.CNP1)],
                                 "dense": [(dense_source[-1], core.NP.FNP3)]}
    assert conv_source[-1] not in dense_source  # already taken


def test_next_layer_alone_is_not_the_hook(core):
    class Sub(core.MapConstraints):
        seen = []

        def next_layer(self, layer_name):
            self.seen.append(layer_name)

    device = make_device(core)
    model = make_model(core)
    model._map(device, True, Sub(device))
    assert Sub.seen == []
    assert len(placements(model)) == 2


@pytest.mark.parametrize("result, error, message", [
    (lambda s, n: [], RuntimeError, "not enough NPs available"),
    (lambda s, n: s[:n + 2], RuntimeError, "not enough NPs available"),
    (lambda s, n: [1], RuntimeError, "Unable to cast Python instance"),
    (lambda s, n: [None], RuntimeError, "Unable to cast Python instance"),
    (lambda s, n: "ab", RuntimeError, "Unable to cast Python instance"),
    (lambda s, n: 1 // 0, ZeroDivisionError, "by zero"),
])
def test_wrong_answers_end_the_mapping(core, result, error, message):
    class Sub(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return result(source_nps, num_nps)

    device = make_device(core)
    with pytest.raises(error, match=message):
        make_model(core)._map(device, True, Sub(device))


def test_exception_in_layer_hook_ends_the_mapping(core):
    class Stop(Exception):
        pass

    class Sub(core.MapConstraints):
        def next_layer_handler(self, layer_name):
            if layer_name == "dense":
                raise Stop(layer_name)

    device = make_device(core)
    with pytest.raises(Stop, match="^dense$"):
        make_model(core)._map(device, True, Sub(device))
