import os
import sys

import pytest

from test_mapping import skip_model
from test_tnp_vit_mapping import device as vit_device, filled as vit_filled
from v2_models import conv_model, fill_variables, fpga_v2_device, layer, model_of

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
from demo_v1 import build_model  # noqa: E402  the demo's first-generation model


def make_device(core, version="FPGA_v2"):
    NP = core.NP
    ip = core.IpVersion.v2 if version == "FPGA_v2" else core.IpVersion.v1
    mesh = NP.Mesh(ip, NP.Ident(0, 0, 1), NP.Ident(0, 0, 2), [NP.Info(NP.Ident(1, 1, 0), [NP.CNP2])])
    return core.Device(getattr(core.HwVersion, version), mesh)


def placements(model):
    return [[str(c.ident) for c in model.get_layer(name).mapping.nps] for name in ("conv", "dw", "dense")]


@pytest.mark.parametrize("version, defaults", [
    ("FPGA_v2", (64, 256, 512)), ("Qrix_v1", (32, 256, 512)), ("Qrix_v2", (32, 256, 504))])
def test_limits_follow_the_device(core, version, defaults):
    pytest.raises(ValueError, core.MapConstraints, None).match(r"^Invalid device passed to MapConstraints\.$")
    device = make_device(core, version)
    c = core.MapConstraints(device=device)
    assert c.device is device and c.hwpr_loopitself is False
    for name, default in zip(("width", "height", "filters"), defaults):
        attr = "cnp_max_" + name
        assert getattr(c, attr + "_default") == getattr(c, attr) == default
        setattr(c, attr, 1)
        setattr(c, attr, default)
        for bad in (0, default + 1, 2 ** 32 - 1):
            error = pytest.raises(ValueError, setattr, c, attr, bad).value
            assert str(error) == f"Invalid cnp max {name}: {bad}. Expected value in range [1, {default}]."
        assert getattr(c, attr) == default
    if version == "FPGA_v2":
        c.hwpr_loopitself = True
        assert c.hwpr_loopitself is True
        return
    error = pytest.raises(ValueError, setattr, c, "hwpr_loopitself", True).value
    assert str(error) == "HWPR NP loopitself feature is not supported for IP v1." and c.hwpr_loopitself is False


def test_python_subclass_steers_the_mapping_and_layer_mapping_follows(core):
    class Steering(core.MapConstraints):
        names, calls = [], []

        def next_layer_handler(self, name):
            self.names.append(name)
            self.next_layer("inner")  # the hook counts as absent inside its override: no recursion

        def select_nps(self, source_nps, num_nps, type):
            self.calls.append((source_nps, num_nps, type))
            return list(reversed(source_nps))[:num_nps]

    class OnlyNextLayer(core.MapConstraints):  # not the hook the mapper calls
        def next_layer(self, layer_name):
            Steering.names.append(layer_name)

    model, device = conv_model(core), fpga_v2_device(core)
    assert model.get_layer("conv").mapping is None
    model._map(device)
    mapping = model.get_layer("conv").mapping
    assert placements(model) == [["(1, 2, 0)"], ["(1, 2, 1)"], ["(1, 2, 2)"]] and mapping.nps[0].type == core.NP.CNP1
    assert isinstance(mapping, core.Layer.Mapping) and mapping.skipdma_loads == mapping.skipdma_stores == []
    mapping.nps[0].ident.col = 200  # each read hands out fresh copies
    model._map(device, hw_only=False, constraints=Steering(device))
    assert Steering.names == ["conv", "dw", "dense"]
    assert [(n, t) for _, n, t in Steering.calls] == [(1, core.NP.CNP1), (1, core.NP.CNP1), (1, core.NP.FNP3)]
    assert all(type(i) is core.NP.Ident for source, _, _ in Steering.calls for i in source)
    # The last NPs of the mesh, in the order the override gave them; a taken NP is offered no more.
    assert placements(model) == [["(4, 3, 3)"], ["(4, 2, 3)"], ["(4, 3, 2)"]]
    assert Steering.calls[0][0][-1] not in Steering.calls[1][0]
    Steering(device).next_layer("x")  # a Python call reaches the override too
    assert Steering.names == ["conv", "dw", "dense", "x"]
    model._map(device, True, OnlyNextLayer(device))
    assert len(Steering.names) == 4 and placements(model)[0] == ["(1, 2, 0)"]
    model.pop_layer()  # an edit drops the mapping
    assert model.sequences == [] and model.device is None and model.component_count == {}
    assert all(lay.mapping is None for lay in model.layers) and str(mapping.nps[0].ident) == "(1, 2, 0)"


def demo_v1_device(core):
    """A Qrix_v2 of two NPs."""
    NP = core.NP
    nps = [NP.Info(NP.Ident(2, 1, i), [NP.CNP1, NP.CNP2, NP.FNP3]) for i in range(2)]
    return core.Device(core.HwVersion.Qrix_v2, NP.Mesh(core.IpVersion.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), nps))


def test_hooks_see_a_layer_again_when_mapping_cuts_the_model(core):
    """A Qrix_v2 is mapped sequence by sequence: on two NPs the classifier, which does not fit the end of the first
    sequence, is placed again to open the second; the input layer on the HRC is never placed."""
    device = demo_v1_device(core)

    class Watching(core.MapConstraints):
        def next_layer_handler(self, name):
            names.append(name)

    model, names = build_model(), []
    model._map(device, True, Watching(device))
    assert names == ["conv", "separable", "classifier", "classifier"]
    assert [[lay.name for lay in s.passes[0].layers] for s in model.sequences] == [
        ["input_conv", "conv", "separable"], ["classifier"]]


@pytest.mark.parametrize("choose, error, message", [
    (lambda s, n: s[:n + 1], RuntimeError, "^conv : not enough NPs available. 1 are needed but only 2 are available.$"),
    (lambda s, n: [1], RuntimeError, "^Unable to cast Python instance"),
    (lambda s, n: {}[n], KeyError, "1"),  # an exception of the override's own
])
def test_wrong_choices_end_the_mapping(core, choose, error, message):
    class Wrong(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return choose(source_nps, num_nps)

    model, device = conv_model(core), fpga_v2_device(core)
    with pytest.raises(error, match=message):
        model._map(device, True, Wrong(device))
    assert model.sequences == [] and model.device is None
    if "not enough" in message:  # without hw_only the layers the back end could not take run in software
        model._map(device, False, Wrong(device))
        assert model.sequences[-1].backend == core.BackendType.Software and model.sequences[-1].program is None
    model._map(device)
    assert all(lay.mapping is not None for lay in model.layers)


def concatenate_model(core):
    model = model_of(core, (core.InputData, "in", dict(input_width=8, input_height=8, input_channels=8)),
                     (core.Conv2D, "c1", dict(filters=8, kernel_size=1)), (core.Conv2D, "c2", dict(filters=8, kernel_size=1)))
    model.add(layer(core, core.Concatenate, "cat"), [model.get_layer("c1"), model.get_layer("c2")])
    model.add(layer(core, core.Conv2D, "c3", filters=8, kernel_size=1))
    return fill_variables(model)


def with_tail(core, model, tail):
    model.add(tail)
    return fill_variables(model)


# Each model holds the layers that the hooks never see; every other layer is placed, and seen.
@pytest.mark.parametrize("build, unseen", [
    (lambda core: skip_model(core, 6, [1], input_data=True), {"in", "add1"}),  # InputData, Add
    (conv_model, {"hrc"}),  # InputConv2D on the HRC
    (lambda core: build_model(), {"input_conv"}),  # InputConvolutional on the HRC
    (lambda core: vit_filled(core, True), {"stem"}),  # Stem on the HRC
    (concatenate_model, {"in", "cat"}),
    (lambda core: with_tail(core, conv_model(core), layer(core, core.Dequantizer, "out")), {"hrc", "out"}),
    # A layer the compatibility checker refuses (no NP takes a 2x2 kernel) runs in software.
    (lambda core: with_tail(core, conv_model(core), layer(core, core.Conv2D, "tail", filters=4, kernel_size=2)),
     {"hrc", "tail"}),
])
def test_the_layers_the_hooks_never_see(core, build, unseen):
    class Watching(core.MapConstraints):
        def next_layer_handler(self, name):
            seen.append(name)

    model, seen = build(core), []
    device = demo_v1_device(core) if model.layers[0].name == "input_conv" else vit_device(core, True)
    model._map(device, False, Watching(device))
    names = {lay.name for lay in model.layers}
    assert unseen <= names and set(seen) == names - unseen
