"""A signal handler or a mapping hook is Python code: while it runs, other threads take the
interpreter and may run models of their own. Neither may wait for the other: every call finishes,
with the results of an undisturbed run. Each case runs in a child process with a time limit, so
that a hang fails the test instead of holding up the run."""
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = f"""import sys; sys.path.insert(0, {HERE!r})
import signal, threading, time
import numpy as np
import nuvra.core as core
from v2_models import conv_model, fpga_v2_device, model_of

path, form = sys.argv[1:]
rng = np.random.default_rng(1)
x = rng.integers(0, 256, (600, 32, 32, 3), dtype=np.uint8)
labels = np.arange(600, dtype=np.int32) % 10


def v1_model():
    model = model_of(core, (core.InputConvolutional, "in", dict(input_width=32, input_height=32, input_channels=3,
                                                                filters=8, kernel_size=3, input_bits=8)),
                     (core.Convolutional, "c1", dict(filters=16, kernel_size=3)),
                     (core.FullyConnected, "fc", dict(units=10, activation=0)))
    model.compile(core.NuvraUnsupervised(num_weights=1, num_classes=10))
    return model


def on_board():
    model = conv_model(core)
    model._map(core.HardwareDevice.devices()[0], hw_only=True)
    return model


class Hooked(core.MapConstraints):
    def next_layer_handler(self, layer_name):
        handler()


def mapped(model):
    device = fpga_v2_device(core)
    model._map(device, hw_only=True, constraints=Hooked(device))
    return b"".join(bytes(s.program) for s in model.sequences)


# path: a fresh model, and one call of it that returns what to compare with an undisturbed call.
PATHS = {{
    "forward": (lambda: conv_model(core), lambda m: m.forward(x)),
    "batch_of_one": (lambda: conv_model(core), lambda m: np.concatenate([m.forward(x[i:i + 1]) for i in range(8)])),
    "v1_evaluate": (v1_model, lambda m: m.evaluate(x, labels)),
    "v1_fit": (v1_model, lambda m: (m.fit(x[:200], labels[:200]), m.get_layer("fc").variables["weights"])),
    "board": (on_board, lambda m: m.forward(x, batch_size=50)),
    "map": (lambda: conv_model(core), mapped),
}}
make, call = PATHS[path]
other = conv_model(core)
other_expected = other.forward(x[:16])
other_runs = []
model = None
armed, calls, spins, started = False, [], [], []


def inside():
    # The same values again: refused only while the model runs or is mapped.
    layer = model.layers[1]
    try:
        layer.variables["weights"] = layer.variables["weights"]
        return False
    except RuntimeError:
        return True


def run_other():
    other_runs.append(other.forward(x[:16]))


def handler(*_):
    if not armed or not inside():
        return
    calls.append(1)
    if form == "thread" and len(calls) >= 3 and not started:  # the next tick may come in between
        started.append(1)
        # Another thread runs a model while this one waits for it inside the call.
        t = threading.Thread(target=run_other)
        t.start()
        t.join()
    elif form == "spin" and not spins[-1:] == [None]:
        spins.append(None)  # not re-entered by the next tick
        end = time.monotonic() + 0.02
        while time.monotonic() < end:
            pass
        spins[-1] = 1


def done():
    return other_runs if form == "thread" else len(spins) >= 2 and other_runs


stop = []
if form == "spin":
    def loop():
        while not stop:
            run_other()
            time.sleep(0.001)
    looping = threading.Thread(target=loop)
    looping.start()
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.002 if form == "thread" else 0.01, 0.002 if form == "thread" else 0.01)
results = []
model = make()
armed = True
while not done():
    results.append(call(model))
    if path == "map":
        model = make()
armed = False
signal.setitimer(signal.ITIMER_REAL, 0)
stop.append(1)
if form == "spin":
    looping.join()

model = make()
for got in results:
    expected = call(model)
    if path == "map":
        model = make()
    for a, b in zip(got if isinstance(got, tuple) else [got], expected if isinstance(expected, tuple) else [expected]):
        assert type(a) is type(b) and (a == b if isinstance(a, bytes) else np.array_equal(a, b)), path
assert all(np.array_equal(r, other_expected) for r in other_runs)
print(len(results), len(calls), len(other_runs))
"""


@pytest.mark.parametrize("form", ["thread", "spin"])
@pytest.mark.parametrize("path", ["forward", "batch_of_one", "v1_evaluate", "v1_fit", "board", "map"])
def test_other_threads_run_models_while_python_code_runs_inside_a_call(path, form):
    env = dict(os.environ, NUVRA_SIM_BOARDS="fpga_v2")
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, path, form], env=env, capture_output=True, text=True,
                              timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{path} with a {form} handler did not finish")
    assert done.returncode == 0, done.stderr
