import copy
import gc
import weakref

import pytest

from helpers import Graph, make_layer, v2_device

PROPERTY_DOCS = {
    "name": "The layer name.",
    "input_dims": "The layer input dimensions.",
    "output_dims": "The layer output dimensions.",
    "variables": "The layer trainable variables.",
    "parameters": "The layer parameters set.",
    "input_bits": "The layer input bits.",
    "output_signed": "Whether output is signed or not.",
    "inbounds": "The layer inbound layers.",
    "mapping": "The layer hardware mapping.",
    "splittable": "The layer is splittable.",
}


def input_layer(core, name="input", **extra):
    return make_layer(core, core.InputData, name, input_width=4, input_height=5, input_channels=3, **extra)


def branches(core):
    """input (8, 8, 3) -> a, b (Conv2D 3x3, 4 filters) -> add = Add(a, b) -> dense (Dense1D, 10 units)"""
    g = Graph(core)
    g.add(core.Conv2D, "a", ["input"], filters=4, kernel_size=3)
    g.add(core.Conv2D, "b", ["input"], filters=4, kernel_size=3)
    g.add(core.Add, "add", ["a", "b"])
    g.add(core.Dense1D, "dense", units=10)
    return g


def test_docstrings(core):
    assert core.Layer.__doc__ is None
    for name, doc in PROPERTY_DOCS.items():
        assert getattr(core.Layer, name).__doc__ == doc, name
    assert core.Layer.Mapping.__doc__ == "The mapping of a Layer on one or more Neural Processors."
    for name in ("nps", "skipdma_loads", "skipdma_stores"):
        assert getattr(core.Layer.Mapping, name).__doc__ == "a list of ``NP.Component`` objects."


def test_properties_are_read_only(core):
    layer = input_layer(core)
    for name in PROPERTY_DOCS:
        with pytest.raises(AttributeError):
            setattr(layer, name, None)


def test_construction(core):
    params = core.LayerParams(core.InputData, {"input_width": 4, "input_height": 5, "input_channels": 3})
    by_keyword = core.Layer(name="kw", params=params)
    assert by_keyword.name == "kw"
    # The layer completes its own copy: the given set stays as it was and stays usable.
    assert params.__dir__() == ["input_channels", "input_height", "input_width"]
    assert by_keyword.parameters.__dir__() == ["input_bits", "input_channels", "input_height", "input_signed",
                                               "input_width"]
    assert by_keyword.parameters is not params
    assert core.Layer(params, "again").name == "again"


@pytest.mark.parametrize("args, error", [
    ((None, "x"), ValueError),  # the engine refuses a missing set
    (("params",), TypeError),
    (("params", None), TypeError),
    ((), TypeError),
])
def test_construction_refusals(core, args, error):
    args = tuple(core.LayerParams(core.Add, {}) if a == "params" else a for a in args)
    with pytest.raises(error):
        core.Layer(*args)


def test_construction_refusals_of_wrong_types(core):
    with pytest.raises(TypeError):
        core.Layer(core.LayerParams(core.Add, {}), 5)
    with pytest.raises(TypeError):
        core.Layer("params", "x")
    with pytest.raises(TypeError):
        core.Layer.Mapping()


def test_input_layer_outside_a_model(core):
    layer = input_layer(core, input_bits=4, input_signed=1)
    assert layer.name == "input"
    assert layer.input_dims == [4, 5, 3]
    assert layer.input_bits == 4 and layer.output_signed is True
    assert layer.inbounds == [] and layer.mapping is None and layer.splittable is False
    assert layer.variables.names == []
    with pytest.raises(RuntimeError, match="Cannot get output size before it is set."):
        layer.output_dims  # engine error, passed through


def test_dimensions_one_and_several_inputs(core):
    g = branches(core)
    assert g["a"].input_dims == [8, 8, 3]
    assert g["a"].output_dims == [8, 8, 4]
    assert g["add"].input_dims == [[8, 8, 4], [8, 8, 4]]
    assert g["add"].output_dims == [8, 8, 4]
    assert g["dense"].input_dims == [8, 8, 4]
    assert g["dense"].output_dims == [1, 1, 10]
    # Lists are built anew on every read.
    dims = g["a"].input_dims
    dims.append(99)
    assert g["a"].input_dims == [8, 8, 3]


def test_bits_sign_and_splittable(core):
    g = branches(core)
    assert g["a"].input_bits == 8 and g["a"].output_signed is False
    assert g["a"].splittable is True and g["dense"].splittable is False
    no_activation = g.add(core.Dense1D, "raw", units=2, activation=0)
    assert no_activation.output_signed is True and no_activation.input_bits == 8


def test_inbounds_share_the_model_layers(core):
    g = branches(core)
    inbounds = g["add"].inbounds
    assert [layer.name for layer in inbounds] == ["a", "b"]
    assert inbounds[0] is g["a"] and inbounds[1] is g["b"]
    assert g["input"].inbounds == []
    assert g.model.get_layer("add") is g["add"]


def test_parameters_view_keeps_its_layer_alive(core):
    layer = make_layer(core, core.Conv2D, "conv", filters=4, kernel_size=3)
    ref = weakref.ref(layer)
    params = layer.parameters
    assert layer.parameters is params  # the layer's own set, not a copy
    del layer
    gc.collect()
    assert ref() is not None
    assert params.filters == 4 and params.kernel_size == 3 and params.layer_type == core.Conv2D
    own = copy.copy(params)
    del params
    gc.collect()
    assert ref() is None
    assert own.filters == 4


def test_parameters_of_a_temporary_layer(core):
    params = make_layer(core, core.Dense1D, "d", units=3).parameters
    gc.collect()
    assert params.units == 3 and params.has("activation")


def test_variables_outlive_the_layer_object(core):
    g = Graph(core)
    g.add(core.Conv2D, "conv", filters=4, kernel_size=3)
    variables = g["conv"].variables
    ref = weakref.ref(g["conv"])
    del g
    gc.collect()
    assert ref() is None
    assert variables.names[0] == "weights"
    assert variables["weights"].shape == (3, 3, 3, 4)


def test_mapping_is_none_when_unmapped(core):
    g = branches(core)
    assert all(layer.mapping is None for layer in g.layers.values())


def test_mapping_of_a_mapped_layer(core):
    g = Graph(core)
    conv = g.add(core.Conv2D, "conv", filters=4, kernel_size=3)
    g.model._map(v2_device(core))
    mapping = conv.mapping
    assert isinstance(mapping, core.Layer.Mapping)
    assert mapping.skipdma_loads == [] and mapping.skipdma_stores == []
    nps = mapping.nps
    placed = [str(c.ident) for c in nps]
    assert len(nps) >= 1 and all(isinstance(c, core.NP.Component) for c in nps)
    assert nps[0].type in (core.NP.Type.CNP1, core.NP.Type.CNP2)
    # Each read hands out fresh copies.
    first = nps[0].ident
    first.col = 200
    assert mapping.nps[0].ident.col != 200
    assert mapping.nps is not nps
    # Adding a layer drops the mapping; the view shares it and stays readable.
    g.add(core.Dense1D, "dense", units=2)
    assert conv.mapping is None
    assert [str(c.ident) for c in mapping.nps] == placed
