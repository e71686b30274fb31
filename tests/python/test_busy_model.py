"""Python code that runs inside a long call of a model (a signal handler between samples, a mapping
hook between layers) may read and run the model but not change it: every change is refused with
the same RuntimeError, and the call ends as if nothing had been tried."""
import signal

import numpy as np
import pytest

from v2_models import conv_model, fpga_v2_device, layer, model_of, unnested

BUSY = "^The model is busy: it cannot be changed while it is running or being mapped$"


def changes(core, model, device):
    """Every change of a model, by name."""
    first = model.layers[1]
    weights = first.variables["weights"]
    return {
        "add": lambda: model.add(layer(core, core.Dense1D, "more", units=2)),
        "pop_layer": model.pop_layer,
        "compile": lambda: model.compile(core.NuvraUnsupervised(num_weights=1, num_classes=2)),
        "_map": lambda: model._map(device),
        "add_classes": lambda: model.add_classes(1),
        "variables": lambda: first.variables.__setitem__("weights", weights),
        "fit": lambda: model.fit(np.zeros((1,) + tuple(model.input_shape), np.uint8), 0),
    }


def tried(core, model, device, name):
    """Tries change `name`; returns what it raised, and that a nested read works."""
    with pytest.raises(RuntimeError, match=BUSY):
        changes(core, model, device)[name]()
    model.to_buffer()
    return model.forward(np.zeros((1,) + tuple(model.input_shape), np.uint8))


@pytest.mark.parametrize("name", ["add", "pop_layer", "compile", "_map", "add_classes", "variables", "fit"])
def test_a_mapping_hook_cannot_change_the_model(core, name):
    device = fpga_v2_device(core)
    plain = conv_model(core)
    plain._map(device)

    class Intruding(core.MapConstraints):
        nested = []

        def next_layer_handler(self, layer_name):
            if not self.nested:
                self.nested.append(tried(core, model, device, name))

    model = conv_model(core)
    model._map(device, constraints=Intruding(device))
    assert len(Intruding.nested) == 1  # ran in software: the model is not mapped yet
    assert [l.name for l in model.layers] == [l.name for l in plain.layers]
    assert [bytes(s.program) for s in model.sequences] == [bytes(s.program) for s in plain.sequences]
    try:  # no longer busy once the call is over (some changes fail for their own reasons)
        changes(core, model, device)[name]()
    except (RuntimeError, ValueError) as e:
        assert "busy" not in str(e)


def v1_learning_model(core):
    model = model_of(core, (core.InputConvolutional, "in", dict(input_width=16, input_height=16, input_channels=3,
                                                                filters=32, kernel_size=3, input_bits=8)),
                     (core.Convolutional, "c1", dict(filters=32, kernel_size=3)),
                     (core.FullyConnected, "fc", dict(units=10, activation=0)))
    model.compile(core.NuvraUnsupervised(num_weights=1, num_classes=10))
    return model


@pytest.mark.parametrize("call", ["forward", "predict", "evaluate", "fit"])
def test_a_signal_handler_cannot_change_a_running_model(core, call):
    model = v1_learning_model(core)
    device = fpga_v2_device(core)
    x = np.random.default_rng(2).integers(0, 256, (200, 16, 16, 3), dtype=np.uint8)
    labels = np.arange(200, dtype=np.int32) % 10
    before = model.to_buffer()
    runs = {"forward": lambda: model.forward(x), "predict": lambda: model.predict(x),
            "evaluate": lambda: model.evaluate(x, labels), "fit": lambda: model.fit(x, labels)}
    expected = None if call == "fit" else runs[call]()
    names, refused = list(changes(core, model, device)), []
    probe = changes(core, model, device)["variables"]  # the same values again: no change at all

    @unnested  # its own nested forward may take the next tick
    def handler(*_):
        if not names:
            return
        try:
            probe()  # accepted between the calls, where the handler may also run
        except RuntimeError:
            refused.append(tried(core, model, device, names.pop()))

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        while names:  # a run too short for every change runs again
            result = runs[call]()
            if expected is not None:
                assert np.array_equal(result, expected)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(refused) == 7 and [l.name for l in model.layers] == ["in", "c1", "fc"]
    if call != "fit":
        assert model.to_buffer() == before
