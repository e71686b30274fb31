import numpy as np
import pytest

from v2_models import layer, model_of


def v1_model(core):
    input_data = dict(input_width=4, input_height=4, input_channels=2, input_bits=1)
    return model_of(core, (core.InputData, "input", input_data), (core.FullyConnected, "fc", dict(units=4)))


def test_empty_model_and_constructor_refusals(core):
    for model in (core.Model(), core.Model([]), core.Model(layers=[])):
        assert model.layers == model.sequences == model.input_shape == model.metrics.names == []
        assert model.layer_count == model.external_memory_size == 0 and model.component_count == {}
        assert model.device is None and model.learning is None and model.ip_version == core.IpVersion.none
    source = v1_model(core)
    first, last = source.layers
    for layers in ([first, None], [None, last], [first, last, None]):
        pytest.raises(RuntimeError, core.Model, layers).match("^Invalid layer received$")
    assert source.layers == [first, last] and last.inbounds == [first]


@pytest.mark.parametrize("source_alive", [True, False])
def test_copying_layers_rebuilds_the_graph(core, source_alive):
    source = model_of(core, (core.InputData, "in", dict(input_width=5, input_height=3, input_channels=8, input_bits=4,
                                                          input_signed=1)),
                      (core.Conv2D, "a", dict(filters=8, kernel_size=1)))
    source.add(layer(core, core.Conv2D, "b", filters=8, kernel_size=1), [source.get_layer("in")])
    source.add(layer(core, core.Add, "sum"), [source.get_layer("b"), source.get_layer("a")])
    source.get_layer("a").variables["weights"] = np.arange(64, dtype=np.int8).reshape(1, 1, 8, 8) % 7
    learning = v1_model(core)
    learning.compile(core.NuvraUnsupervised(num_weights=3, num_classes=2))
    sources = [(source, source.layers, source.to_buffer()), (learning, learning.layers, learning.to_buffer())]
    if not source_alive:  # the layers keep their links and learning parameters
        del source, learning
        sources = [(None, layers, expected) for _, layers, expected in sources]
    for _, layers, expected in sources:
        assert core.Model(layers).to_buffer() == expected  # the same graph, parameters, values and learning
    copied = core.Model(sources[0][1])
    assert copied.get_layer("sum").inbounds == [copied.get_layer("b"), copied.get_layer("a")]  # the list's order
    inp, a, b, add = sources[0][1]
    for layers, missing in [([inp, a, add], "b"), ([inp, b, add], "a")]:
        pytest.raises(ValueError, core.Model, layers).match(f"^Inbound layer {missing} of layer sum is not in this model$")
    source = sources[0][0] or copied
    # A list without its input layer gets one made from the first layer's input.
    rebuilt = core.Model(source.layers[1:2])
    params = rebuilt.layers[0].parameters
    assert [l.name for l in rebuilt.layers] == ["InputData", "a"] and params.layer_type == core.InputData
    assert [params.get(k) for k in ("input_width", "input_height", "input_channels", "input_bits", "input_signed")] \
        == [5, 3, 8, 4, 1]


def test_get_layer_and_compile(core):
    model = v1_model(core)
    first = model.get_layer("input")
    assert model.get_layer(layer_name="input") is first is model.get_layer(0) and model.get_layer(layer_index=1).name == "fc"
    assert model.get_layer(2) is None and model.get_layer("missing") is None
    pytest.raises(RuntimeError, model.compile, None).match("^$")
    model.compile(optimizer=core.NuvraUnsupervised(16, num_classes=2))
    assert (model.learning.num_weights, model.learning.num_classes) == (16.0, 2.0)


def test_unsupervised_optimizer(core):
    optimizer = core.NuvraUnsupervised(10)
    expected = {"initial_plasticity": 1.0, "learning_competition": 0.0, "min_plasticity": 0.10000000149011612,
                "num_classes": 1.0, "num_weights": 10.0, "plasticity_decay": 0.25}
    assert optimizer.__dir__() == sorted(expected) and optimizer.learning_type == 0
    assert all(type(optimizer.get(key=k)) is float and getattr(optimizer, k) == v for k, v in expected.items())
    given = core.NuvraUnsupervised(num_weights=2**32 - 1, learning_competition=1, plasticity_decay=np.float32(0.5))
    assert (given.num_weights, given.learning_competition, given.plasticity_decay) == (4294967295.0, 1.0, 0.5)
