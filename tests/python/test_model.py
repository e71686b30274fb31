import copy
import gc

import numpy as np
import pytest

from v2_models import conv_model, layer

MODEL_DOC_START = "\n        An Nuvra neural ``Model``, represented as a hierarchy of layers.\n\n"
MODEL_DOC_END = (
    "        The ``Model`` output is an int8 our uint8 numpy array if activations\n"
    "        are enabled for the last layer, otherwise it is an int32 numpy array.\n\n"
    "        Args:\n"
    "            filename (str, optional): path to the serialized Model.\n"
    "                If None, an empty sequential model will be created, or filled\n"
    "                with the layers in the layers parameter.\n"
    "            layers (:obj:`list`, optional): list of layers that will be copied\n"
    "                to the new model. If the list does not start with an input layer,\n"
    "                it will be added automatically.\n    "
)
GET_LAYER_DOC = (
    "\n      Get a reference to a specific layer.\n\n      This method allows a deeper introspection of the model by "
    "providing\n      access to the underlying layers.\n\n      :param {0}: {1} of the layer to retrieve\n"
    "      :type {0}: {2}\n\n      :return: a ``Layer``\n    "
)
METHOD_DOCS = {
    "__init__": [
        "\n        Reload a full ``Model`` from a serialized file.\n\n        Args:\n            filename (str): path to the "
        "serialized Model.\n                If None, an empty sequential model will be created, or filled\n"
        "                with the layers in the layers parameter.\n    ",
        "\n        Create an empty ``Model`` or from a list of layers taken from an existing ``Model``\n\n        Args:\n"
        "            layers (:obj:`list`, optional): list of layers that will be copied\n                to the new "
        "model. If the list does not start with an input layer,\n                it will be added automatically.\n    ",
    ],
    "add": [
        "\n        Add a layer to the current model.\n\n        A list of inbound layers can optionally be specified.\n"
        "        These layers must already be included in the model.\n        if no inbound layer is specified, and "
        "the layer is not the first layer\n        in the model, the last included layer will be used as inbound "
        "layer.\n\n        :param layer: layer instance to be added to the model\n        :type layer: one of the "
        "available layers\n        :param inbound_layers: an optional list of inbound layers\n        :type "
        "inbound_layers: a list of `Layer`\n    "
    ],
    "pop_layer": ["\n        Remove the last layer of the current model.\n           "],
    "compile": [
        "\n      Select and prepare the optimizer for learning of the last layer.\n\n      Args:\n          "
        "optimizer(:obj:`nuvra.LearningParams`): the optimizer used for learning\n    "
    ],
    "get_layer": [GET_LAYER_DOC.format("layer_name", "name", "str"),
                  GET_LAYER_DOC.format("layer_index", "index", "int")],
    "save": [
        "\n           Saves all the model configuration (all layers and weights) to a\n           file on disk.\n\n"
        "           :param model_file: full path of the serialized model (.fbz file).\n           :type model_file: "
        "str\n           "
    ],
    "to_buffer": [
        "\n           Serializes all the model configuration (all layers and weights) to a\n           bytes buffer.\n"
        "          "
    ],
}
PROPERTY_DOCS = {
    "sequences": "The list of layer sequences in the Model",
    "layers": "Get a list of layers in current model.",
    "learning": "The learning parameters set.",
    "input_shape": "The model input dimensions.",
    "output_shape": "The model output dimensions.",
    "metrics": "The model metrics.",
    "ip_version": "The IP version this model is compatible with.",
    "device": "The Device the Model is mapped to.",
    "layer_count": "The number of layers.",
    "component_count": "A dictionary with the number of components per type used in the model.",
    "external_memory_size": "Returns model external memory usage in Bytes.",
}
# Inference, evaluation, add_classes and power events slot in between later.
MEMBER_ORDER = ["__init__", "add", "_map", "pop_layer", "compile", "get_layer", "sequences", "layers", "learning",
                "input_shape", "output_shape", "metrics", "ip_version", "device", "layer_count", "component_count",
                "external_memory_size", "save", "to_buffer"]


def small_v1_model(core, units=4):
    model = core.Model()
    model.add(layer(core, core.InputData, "input", input_width=4, input_height=4, input_channels=2, input_bits=1))
    model.add(layer(core, core.FullyConnected, "fc", units=units))
    return model


def test_model_docstrings_and_member_order(core):
    doc = core.Model.__doc__
    assert doc.startswith(MODEL_DOC_START) and doc.endswith(MODEL_DOC_END)
    for name, docs in METHOD_DOCS.items():
        for text in docs:
            assert text in getattr(core.Model, name).__doc__, name
    for name, text in PROPERTY_DOCS.items():
        assert getattr(core.Model, name).__doc__ == text
    assert core.Model._map.__doc__.count("\n") <= 1  # a signature only
    assert [n for n in vars(core.Model) if n in MEMBER_ORDER] == MEMBER_ORDER


def test_module_registration_order_of_model_api(core):
    expected = ["BackendType", "Model", "Layer", "LayerParams", "Optimizer", "NuvraUnsupervised", "Variables",
                "evaluate_bitwidth", "MapConstraints", "ProgramParts", "Sequence", "Pass", "soc",
                "ProgramMemoryRequired", "get_program_memory_infos", "IpVersion"]
    assert [n for n in vars(core) if n in expected] == expected


def test_empty_model(core):
    for model in (core.Model(), core.Model([]), core.Model(layers=[])):
        assert model.layers == [] and model.layer_count == 0 and model.sequences == []
        assert model.device is None and model.learning is None
        assert model.component_count == {} and model.external_memory_size == 0
        assert model.input_shape == [] and model.output_shape == []
        assert model.ip_version == core.IpVersion.none
        assert model.metrics.names == []
        assert model.to_buffer() == core.Model().to_buffer()


@pytest.mark.parametrize("argument", [None, 5, 1.5, [None, 3], object()])
def test_constructor_refuses_other_types(core, argument):
    with pytest.raises(TypeError):
        core.Model(argument)


def test_constructor_refuses_none_entries_before_adding_anything(core):
    source = small_v1_model(core)
    first, last = source.layers
    for layers in ([first, None], [None, last], [first, last, None]):
        with pytest.raises(RuntimeError) as info:
            core.Model(layers)
        assert str(info.value) == "Invalid layer received"
    # The source layers were not touched by the failed copies.
    assert [l.name for l in source.layers] == ["input", "fc"]


def test_constructor_adds_an_input_layer_from_the_first_layer(core):
    source = core.Model()
    source.add(layer(core, core.InputData, "in", input_width=5, input_height=3, input_channels=2, input_bits=4,
                     input_signed=1))
    source.add(layer(core, core.Conv2D, "conv", filters=4, kernel_size=3))
    source.add(layer(core, core.Dense1D, "dense", units=3))
    copied = core.Model(source.layers[1:])
    assert [l.name for l in copied.layers] == ["InputData", "conv", "dense"]
    params = copied.layers[0].parameters
    assert params.layer_type == core.InputData
    assert [params.get(k) for k in ("input_width", "input_height", "input_channels", "input_bits", "input_signed")] \
        == [5, 3, 2, 4, 1]
    assert copied.input_shape == source.input_shape == [5, 3, 2]
    assert copied.output_shape == source.output_shape


def test_constructor_rebuilds_the_graph_with_shared_values(core):
    source = core.Model()
    source.add(layer(core, core.InputData, "in", input_width=4, input_height=4, input_channels=8))
    source.add(layer(core, core.Conv2D, "a", filters=8, kernel_size=1))
    source.add(layer(core, core.Conv2D, "b", filters=8, kernel_size=1), [source.get_layer("in")])
    source.add(layer(core, core.Add, "sum"), [source.get_layer("b"), source.get_layer("a")])
    weights = np.arange(64, dtype=np.int8).reshape(1, 1, 8, 8) % 7
    source.get_layer("a").variables["weights"] = weights

    copied = core.Model(source.layers)
    assert copied.layer_count == source.layer_count
    for old, new in zip(source.layers, copied.layers):
        assert new is not old and new.name == old.name
        assert [l.name for l in new.inbounds] == [l.name for l in old.inbounds]
        assert dir(new.parameters) == dir(old.parameters)
        assert new.variables.names == old.variables.names
    assert [l.name for l in copied.get_layer("sum").inbounds] == ["b", "a"]
    assert copied.get_layer("sum").inbounds[0] is copied.get_layer("b")
    np.testing.assert_array_equal(copied.get_layer("a").variables["weights"], weights)
    assert copied.to_buffer() == source.to_buffer()
    # The source model keeps its own layers.
    assert source.get_layer("a").inbounds[0] is source.get_layer("in")


def test_constructor_copies_learning(core):
    source = small_v1_model(core)
    source.compile(core.NuvraUnsupervised(num_weights=8, num_classes=2))
    copied = core.Model(source.layers)
    assert copied.learning is not None
    assert copied.learning.get("num_classes") == 2.0 and copied.learning.get("num_weights") == 8.0


def test_add_connects_layers(core):
    model = core.Model()
    model.add(layer=layer(core, core.InputData, "in", input_width=4, input_height=4, input_channels=4))
    model.add(layer(core, core.Conv2D, "a", filters=4, kernel_size=1))
    assert [l.name for l in model.get_layer("a").inbounds] == ["in"]
    model.add(layer(core, core.Conv2D, "b", filters=4, kernel_size=1), inbound_layers=[model.get_layer("in")])
    model.add(layer(core, core.Add, "sum"), [model.get_layer("a"), model.get_layer("b")])
    assert [l.name for l in model.get_layer("sum").inbounds] == ["a", "b"]
    assert model.layer_count == 4
    assert model.ip_version == core.IpVersion.v2


@pytest.mark.parametrize("case, error", [
    ("duplicate name", ValueError),
    ("foreign inbound", ValueError),
    ("first not input", ValueError),
    ("layer None", ValueError),
    ("inbounds not a list", TypeError),
])
def test_add_refusals_leave_the_model_unchanged(core, case, error):
    model = small_v1_model(core)
    other = small_v1_model(core)
    before = model.to_buffer()
    with pytest.raises(error):
        if case == "duplicate name":
            model.add(layer(core, core.FullyConnected, "fc", units=2))
        elif case == "foreign inbound":
            model.add(layer(core, core.FullyConnected, "fc2", units=2), [other.get_layer("fc")])
        elif case == "first not input":
            core.Model().add(layer(core, core.FullyConnected, "fc", units=2))
        elif case == "layer None":
            model.add(None)
        else:
            model.add(layer(core, core.FullyConnected, "fc2", units=2), model.get_layer("fc"))
    assert model.to_buffer() == before


def test_get_layer(core):
    model = small_v1_model(core)
    first = model.get_layer("input")
    assert model.get_layer(layer_name="input") is first
    assert model.get_layer(0) is first and model.get_layer(layer_index=1) is model.get_layer("fc")
    assert model.get_layer(2) is None and model.get_layer("missing") is None
    for bad in (-1, 1.0, None):
        with pytest.raises(TypeError):
            model.get_layer(bad)


def test_pop_layer(core):
    model = small_v1_model(core)
    last = model.get_layer("fc")
    model.pop_layer()
    assert model.layer_count == 1 and last not in model.layers
    assert last.name == "fc"  # the popped layer stays usable
    model.pop_layer()
    with pytest.raises(RuntimeError):
        model.pop_layer()


def test_shapes_and_versions(core):
    model = conv_model(core)
    assert model.input_shape == [32, 32, 3]
    assert model.output_shape == [1, 1, 10]
    assert model.ip_version == core.IpVersion.v2
    assert small_v1_model(core).ip_version == core.IpVersion.v1


def test_properties_are_read_only(core):
    model = core.Model()
    for name in list(PROPERTY_DOCS):
        with pytest.raises(AttributeError):
            setattr(model, name, None)


def test_metrics_is_the_models_own_object(core):
    model = core.Model()
    metrics = model.metrics
    assert isinstance(metrics, core.Metrics)
    del model
    gc.collect()
    assert metrics.names == []  # the view keeps its model alive


def test_compile_and_learning(core):
    model = small_v1_model(core)
    model.compile(optimizer=core.NuvraUnsupervised(16, num_classes=2))
    first = model.learning
    assert isinstance(first, core.Optimizer)
    assert first.get("num_weights") == 16.0
    model.compile(core.NuvraUnsupervised(8, num_classes=4))
    assert first.get("num_weights") == 16.0 and first.num_classes == 2.0
    assert model.learning.num_weights == 8.0
    assert model.learning is not model.learning  # a copy on every read
    model.pop_layer()
    assert model.learning is None


def test_compile_refusals(core):
    model = small_v1_model(core)
    with pytest.raises(RuntimeError) as info:
        model.compile(None)
    assert str(info.value) == ""
    with pytest.raises(TypeError):
        model.compile("optimizer")
    with pytest.raises(ValueError):  # the engine's: more weights than inputs
        model.compile(core.NuvraUnsupervised(33))
    with pytest.raises(ValueError):  # the engine's: only a FullyConnected learns
        conv_model(core).compile(core.NuvraUnsupervised(1))
    assert model.learning is None


UNSUPERVISED_DOC = (
    "\n   Prepare the Nuvra Unsupervised optimizer for learning of the last layer.\n\n   Args:\n       num_weights (int): "
    "number of connections for each neuron.\n       num_classes (int, optional): number of classes when running in a\n"
    "           'labeled mode'.\n       initial_plasticity (float, optional): defines how easily the weights\n"
    "           will change when learning occurs.\n       learning_competition (float, optional): controls competition "
    "between\n           neurons.\n       min_plasticity (float, optional): defines the minimum level to which\n"
    "           plasticity will decay.\n       plasticity_decay (float, optional): defines the decay of plasticity\n"
    "           with each learning step.\n       optimizer(:obj:`nuvra.LearningParams`): the optimizer used for\n"
    "           learning\n   "
)
OPTIMIZER_GET_DOC = (
    "\n        Retrieve a value from the LearningParams object.\n\n        Args:\n            key (str): key of the "
    "value.\n        Returns:\n            int: value associated to the key.\n        Raises:\n            ValueError: "
    "if the value is not present in the LearningParams object.\n    "
)


def test_optimizer_docstrings(core):
    assert core.Optimizer.__doc__ == "Optimizer generic parameters"
    assert UNSUPERVISED_DOC in core.NuvraUnsupervised.__doc__
    assert OPTIMIZER_GET_DOC in core.Optimizer.get.__doc__
    with pytest.raises(TypeError):
        core.Optimizer()


def test_unsupervised_defaults(core):
    optimizer = core.NuvraUnsupervised(10)
    expected = {"initial_plasticity": 1.0, "learning_competition": 0.0, "min_plasticity": 0.10000000149011612,
                "num_classes": 1.0, "num_weights": 10.0, "plasticity_decay": 0.25}
    assert optimizer.__dir__() == sorted(expected)
    for key, value in expected.items():
        got = optimizer.get(key=key)
        assert type(got) is float and got == value
        assert getattr(optimizer, key) == value
    assert optimizer.learning_type == 0


def test_unsupervised_arguments(core):
    optimizer = core.NuvraUnsupervised(num_weights=4294967295, num_classes=3, initial_plasticity=2,
                                       learning_competition=1, min_plasticity=0.5, plasticity_decay=np.float32(0.5))
    assert optimizer.num_weights == 4294967295.0 and optimizer.num_classes == 3.0
    assert optimizer.learning_competition == 1.0 and optimizer.initial_plasticity == 2.0
    assert optimizer.min_plasticity == 0.5 and optimizer.plasticity_decay == 0.5
    assert core.NuvraUnsupervised(1, 2, 3.0, 4.0, 5.0, 6.0).plasticity_decay == 6.0


@pytest.mark.parametrize("kwargs", [
    {}, {"num_weights": -1}, {"num_weights": 2**32}, {"num_weights": 1.5}, {"num_weights": 1, "num_classes": -1},
    {"num_weights": 1, "initial_plasticity": "x"}, {"num_weights": 1, "plasticity_decay": None},
])
def test_unsupervised_refusals(core, kwargs):
    with pytest.raises(TypeError):
        core.NuvraUnsupervised(**kwargs)


def test_optimizer_missing_key_and_copy(core):
    optimizer = core.NuvraUnsupervised(10)
    for read in (lambda: optimizer.get("missing"), lambda: optimizer.missing):
        with pytest.raises(ValueError):
            read()
    duplicate = copy.copy(optimizer)
    assert duplicate is not optimizer and isinstance(duplicate, core.Optimizer)
    assert duplicate.__dir__() == optimizer.__dir__()
    assert all(duplicate.get(k) == optimizer.get(k) for k in optimizer.__dir__())
