import os
import resource
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from v2_models import fill_variables, layer, model_of

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
from demo_v1 import build_model, virtual_device  # noqa: E402  a mapped first-generation model that learns

LABELS = "fit method expects integers as labels"


def empty_rows(n):
    """(n, 0) label arrays, whose rows have no first element: a sliced view, fresh zeros, and a
    view whose rows lie 2^40 bytes apart."""
    return [np.ones((n, 3), np.int64)[:, :0], np.zeros((n, 0), np.int32),
            np.lib.stride_tricks.as_strided(np.zeros(1, np.int32), shape=(n, 0), strides=(1 << 40, 4))]


def learning_model(core, units=4, classes=4, fan_in=4):
    """fan_in one-bit inputs -> a FullyConnected without activation, compiled with one weight per neuron."""
    model = model_of(core, (core.InputData, "input", dict(input_width=fan_in, input_height=1, input_channels=1,
                                                          input_bits=1)),
                     (core.FullyConnected, "fc", dict(units=units, activation=0)))
    model.compile(core.NuvraUnsupervised(num_weights=1, num_classes=classes))
    return model


def identity_model(core, activation):
    """(1, 1, 10) inputs given back: through a ReLU 1x1 convolution (uint8), or a Dequantizer (float32)."""
    model = model_of(core, (core.InputData, "input", dict(input_width=1, input_height=1, input_channels=10)))
    if activation:
        model.add(layer(core, core.Conv2D, "conv", filters=10, kernel_size=1))
        variables = model.get_layer("conv").variables
        variables["weights"] = np.eye(10, dtype=np.int8).reshape(1, 1, 10, 10)
        variables["max_value"] = np.full(10, 255, np.uint8)
    else:
        model.add(layer(core, core.Dequantizer, "out"))
        model.get_layer("out").variables["scales"] = np.ones(10, np.float32)
    return model


def test_run_metrics_and_input_dtypes(core):
    model = learning_model(core)
    assert model.metrics.names == [] and model.power_events == []
    for x in (np.ones((10, 4, 1, 1), np.uint8), np.ones((10, 4), np.uint8)):
        assert model.forward(x, batch_size=3).shape == (10, 1, 1, 4)
        metrics = model.metrics
        assert sorted(metrics.names) == ["inference_end", "inference_frames", "inference_start"]
        assert metrics["inference_frames"] == 10 and metrics["inference_end"] >= metrics["inference_start"]
        assert model.power_events == []
    # Refusals keep the last run's metrics.
    signed = model_of(core, (core.InputData, "input", dict(input_width=2, input_height=1, input_channels=1,
                                                           input_signed=1)))
    for model_, x, error, message in [
            (core.Model(), np.zeros(3, np.float32), ValueError, "Cannot perform an inference on a model with no layers"),
            (model, np.ones((3, 4), np.int8), ValueError, "Input dtype should be uint8"),
            (model, np.full((3, 4), 2, np.uint8), ValueError, "Input value 2 does not fit the 1-bit model input"),
            (signed, np.ones((3, 2), np.uint8), ValueError, "Input dtype should be int8 or int16"),
            (signed, np.ones((3, 2), ">i2"), ValueError, "Input dtype should be int8 or int16")]:
        pytest.raises(error, model_.forward, x).match(message)
    assert metrics["inference_frames"] == 10
    for dtype in (np.int8, np.int16):
        assert signed.forward(np.array([[-3, 4]], dtype)).ravel().tolist() == [-3, 4]


@pytest.mark.parametrize("labels, wins", [
    (3, [0, 0, 0, 2]), (3.0, [0, 0, 0, 2]), (np.int64(2), [0, 0, 2, 0]),
    (np.array([1, 2], np.uint8), [0, 1, 1, 0]), ([1, 2], [0, 1, 1, 0]), (np.array([[1], [3]]), [0, 1, 0, 1]),
    (np.array([3, 9, 1], np.uint64)[::-2][::-1], [0, 1, 0, 1]),  # a strided view
    (None, [2, 0, 0, 0]),  # no label: the best neuron of all (all equal: the first) wins
])
def test_fit_labels(core, labels, wins):
    model = learning_model(core)
    x = np.ones((2, 4, 1, 1), np.uint8)
    out = model.fit(x) if labels is None else model.fit(x, labels)
    assert out.shape == (2, 1, 1, 4) and out.dtype == np.int32
    assert model.get_layer("fc").variables["thswap"].tolist() == wins


@pytest.mark.parametrize("labels, error", [
    (2.5, TypeError), (float("nan"), TypeError), (float("inf"), TypeError), (1e10, TypeError),
    (np.array([1.0]), TypeError), ([1, "a"], TypeError), ([1.0], TypeError), ((1, 2), TypeError),
    ([2**40, 0], TypeError), (np.array([2**40, 0]), TypeError), (np.array([2**63] * 2, np.uint64), TypeError),
    (np.array([-2**31 - 1, 0]), TypeError), (np.array([[1, 2], [3, 0]]), TypeError), (np.array(1), TypeError),
    (np.array([1, 2, 3]), ValueError), *((labels, TypeError) for labels in empty_rows(2))])
def test_fit_label_refusals(core, labels, error):
    model = learning_model(core)
    with pytest.raises(error) as raised:
        model.fit(np.ones((2, 4), np.uint8), labels)
    if error is TypeError and not isinstance(labels, tuple):
        assert str(raised.value) == LABELS
    assert model.get_layer("fc").variables["thswap"].tolist() == [0, 0, 0, 0]


def test_evaluate(core):
    model = identity_model(core, activation=False)
    x = np.zeros((4, 1, 1, 10), np.uint8)
    x[[0, 1, 2, 3], 0, 0, [9, 0, 4, 5]] = 7
    x[3, 0, 0, 2] = 7  # a tie: the earlier class wins
    assert model.evaluate(x, np.array([9, 0, 4, 2])) == 1.0
    assert model.evaluate(x, np.array([0, 1, 0, 0])) == 0.0
    assert model.evaluate(x, np.array([4, 0, 2, 1]), num_classes=5) == 1.0  # neurons 2k and 2k + 1 form class k
    assert model.evaluate(x, np.array([[9, 5], [0, 5], [4, 5], [2, 5]])) == 1.0  # one label per row
    assert model.evaluate(x.astype(np.float64), [9.0, 0, 0, 0], batch_size=1) == 0.5  # cast, not tested
    # Integer labels of any layout are read where they lie, cast one per row: as int32 copies of them.
    heads = np.array([[2, 7], [4, 1], [0, 0], [9, 3]], np.int64)[::-1]
    for labels in [heads, heads.astype(np.uint16), at_odd_address(heads, np.int64, (4, 2)), heads[:, 0] > 4,
                   np.broadcast_to(np.uint64(2**32 + 9), (4, 3)), np.array([9, 2**32, 4, 2], np.int64)]:
        assert model.evaluate(x, labels) == model.evaluate(x, labels.astype(np.int32)), labels
    for labels, classes, message in [
            (np.zeros(3), 0, "^Inputs and labels must have the same size.$"),
            (np.zeros(4), 3, r"^The number of neurons \[10\] is not a multiple of  the number of classes \[3\].$"),
            (np.zeros(4), 1, r"^Cannot classify with 1class\(es\).$")]:
        model.evaluate(x[:1], [0])
        pytest.raises(ValueError, model.evaluate, x, labels, classes).match(message)
        assert model.metrics["inference_frames"] == (1 if labels.size == 3 else 4)  # the run came first
    # A row without a first element has no label: the index 0 does not exist.
    for labels in [*empty_rows(4), np.zeros((4, 1, 0), np.int32)]:
        message = f"^index 0 is out of bounds for axis {labels.ndim - 1} with size 0$"
        pytest.raises(IndexError, model.evaluate, x, labels).match(message)
    # An all-zero uint8 sample has no class (-1), which matches no label, -1 included.
    assert identity_model(core, activation=True).evaluate(np.zeros((2, 10), np.uint8), np.array([-1, 0])) == 0.0


def test_add_classes_keeps_what_was_learnt(core):
    model = learning_model(core, units=10, classes=10)
    fc = model.get_layer("fc")
    weights = (np.arange(40) % 3 == 0).astype(np.int8).reshape(1, 1, 4, 10)
    learnt = {"weights": weights, "threshold": np.arange(10, dtype=np.int32),
              "act_step": np.linspace(1, 2, 10, dtype=np.float32), "thswap": np.arange(10, 20, dtype=np.int32)}
    for name, values in learnt.items():
        fc.variables[name] = values
    model.add_classes(2)
    wider = model.get_layer("fc")
    assert wider is not fc and model.layer_count == 2 and wider.parameters.units == 12
    assert model.learning.num_classes == 12.0 and model.learning.num_weights == 1.0
    for name, values in learnt.items():
        now = wider.variables[name]
        np.testing.assert_array_equal(now[..., :10], values)
        assert (now[..., 10:] == (1 if name == "act_step" else 0)).all()
    model.fit(np.ones((1, 4), np.uint8), 11)  # the new class learns
    assert wider.variables["thswap"][11] == 1
    for units, classes, added, expected in [(30, 10, 1, 33), (10, 3, 1, 13)]:
        model = learning_model(core, units=units, classes=classes)
        model.add_classes(num_add_classes=added)
        assert model.get_layer("fc").parameters.units == expected


def test_a_new_class_learns_to_num_weights_connections(core, rng):
    model = model_of(core, (core.InputData, "input", dict(input_width=16, input_height=1, input_channels=1,
                                                          input_bits=1)),
                     (core.FullyConnected, "fc", dict(units=2, activation=0)))
    weights = np.zeros((1, 1, 16, 2), np.int8)
    weights[0, 0, 0::2, 0] = weights[0, 0, 1::2, 1] = 1  # 8 connections each: even and odd inputs
    model.get_layer("fc").variables["weights"] = weights
    model.compile(core.NuvraUnsupervised(num_weights=8, num_classes=2))
    model.add_classes(1)  # a third neuron without connections: the board's count check refuses it
    pytest.raises(RuntimeError, model._map, virtual_device(), True).match("should match the num_weights")
    x = np.zeros((50, 16), np.uint8)
    x[:, 8:] = 1
    x[np.arange(50), rng.integers(0, 8, 50)] = 1  # and one of inputs 0-7 at random
    model.fit(x, 2)
    fc = model.get_layer("fc")
    learnt = fc.variables["weights"]
    assert (learnt != 0).sum(axis=2).ravel().tolist() == [8, 8, 8]
    np.testing.assert_array_equal(learnt[..., :2], weights)
    assert fc.variables["thswap"].tolist() == [0, 0, 50]
    assert model.evaluate(x, np.full(50, 2)) == 1.0
    model._map(virtual_device(), hw_only=True)
    assert len(model.sequences) == 1


def test_add_classes_refusals_leave_the_model_as_it_was(core):
    uncompiled = model_of(core, (core.InputData, "input", dict(input_width=4, input_height=1, input_channels=1)),
                          (core.FullyConnected, "fc", dict(units=4)))
    convolutional = model_of(core, (core.InputData, "input", dict(input_width=4, input_height=4, input_channels=1)),
                             (core.Convolutional, "conv", dict(filters=4, kernel_size=3)))
    one_class = learning_model(core, units=10, classes=1)
    mapped = build_model()  # 5 neurons per class of 8192 weights each
    mapped._map(virtual_device())
    # fc fed from the input's 16 values: the wider layer would be fed by "a"'s 2
    skipping = model_of(core, (core.InputData, "input", dict(input_width=16, input_height=1, input_channels=1,
                                                             input_bits=1)),
                        (core.FullyConnected, "a", dict(units=2)))
    skipping.add(layer(core, core.FullyConnected, "fc", units=10, activation=0), [skipping.get_layer("input")])
    skipping.compile(core.NuvraUnsupervised(num_weights=8, num_classes=10))
    skipping._map(virtual_device())

    def state(model):
        return model.to_buffer(), model.device, [s.program for s in model.sequences]

    for model, added, error, message in [
            (learning_model(core), 0, ValueError, "The number of classes to add must be positive."),
            (core.Model(), 1, RuntimeError, "The model must have at least one layer."),
            (convolutional, 1, RuntimeError, "The last layer must be a FullyConnected layer."),
            (uncompiled, 1, RuntimeError, "The last layer must be compiled."),
            # 10 neurons per class: 10 + 10 · (2^31 - 1) neurons do not fit an int
            (one_class, 2**31 - 1, ValueError, "the last layer would have 21474836480 neurons"),
            (learning_model(core), 2**31, TypeError, "incompatible function arguments"),
            # 8192 · 1000010 weights are more than a tensor holds: refused before the mapping is dropped
            (mapped, 200000, ValueError, "1000010 neurons of 8192 weights, more than 4294967295"),
            (skipping, 1, ValueError, r"num_weights must be between 1 and the 2 inputs of layer fc \(got 8.000000\)"),
    ]:
        before = state(model)
        pytest.raises(error, model.add_classes, added).match(message)
        after = state(model)
        assert after[0] == before[0] and after[1] is before[1] and after[2] == before[2]
    assert mapped.device is not None and len(mapped.sequences) > 0


def at_odd_address(values, dtype, shape):
    """The values as `dtype` starting one byte past an aligned address: numpy keeps them there."""
    array = np.frombuffer(bytes(1) + np.array(values, dtype).tobytes(), dtype, offset=1).reshape(shape)
    assert not array.flags.aligned and array.flags.c_contiguous
    return array


@pytest.mark.parametrize("shape", [(3,), (3, 1)])
@pytest.mark.parametrize("dtype", [np.int64, np.uint64])
def test_fit_reads_64_bit_labels_at_an_odd_address(core, dtype, shape):
    x = np.eye(4, dtype=np.uint8)[:3]
    aligned = learning_model(core)
    expected = aligned.fit(x, np.array([2, 0, 3]))
    model = learning_model(core)
    np.testing.assert_array_equal(model.fit(x, at_odd_address([2, 0, 3], dtype, shape)), expected)
    assert variable_bytes(model) == variable_bytes(aligned)
    pytest.raises(TypeError, model.fit, x, at_odd_address([0, 2**40, 0], dtype, shape)).match(LABELS)


def variable_bytes(model):
    return {(lay.name, name): lay.variables[name].tobytes() for lay in model.layers for name in lay.variables.names}


@pytest.mark.parametrize("how", ["added", "saved and loaded", "copied layer by layer"])
def test_learning_is_refused_while_a_layer_follows_the_compiled_one(core, tmp_path, how):
    """The tail was never compiled: neither fit nor add_classes may touch it (or the compiled layer);
    once it is popped the compiled layer learns as if it had never been there."""
    model = learning_model(core)
    model.add(layer(core, core.FullyConnected, "tail", units=3, activation=0, weights_bits=4))
    tail = model.get_layer("tail").variables
    tail["weights"] = np.full(tail["weights"].shape, -3, np.int8)
    if how == "saved and loaded":
        model.save(str(tmp_path / "m.fbz"))
        model = core.Model(str(tmp_path / "m.fbz"))
    elif how == "copied layer by layer":
        model = core.Model(model.layers)
    x = np.eye(4, dtype=np.uint8)
    for call in (lambda: model.fit(x, [0, 1, 2, 3]), lambda: model.fit(x, 1.0), lambda: model.add_classes(1)):
        before = variable_bytes(model), model.to_buffer()
        pytest.raises(RuntimeError, call).match(r"^The last layer must be compiled\.$")
        assert (variable_bytes(model), model.to_buffer()) == before
    model.pop_layer()
    alone = learning_model(core)
    np.testing.assert_array_equal(model.fit(x, [0, 1, 2, 3]), alone.fit(x, [0, 1, 2, 3]))
    assert variable_bytes(model) == variable_bytes(alone)


def test_popping_the_compiled_layer_takes_learning_with_it(core, tmp_path):
    model = learning_model(core)
    model.pop_layer()
    model.add(layer(core, core.FullyConnected, "fc", units=4, activation=0))
    model.save(str(tmp_path / "m.fbz"))
    for m in (model, core.Model(str(tmp_path / "m.fbz"))):
        assert m.learning is None
        pytest.raises(RuntimeError, m.fit, np.eye(4, dtype=np.uint8), [0]).match("^The model must be compiled before fit$")
        pytest.raises(RuntimeError, m.add_classes, 1).match(r"^The last layer must be compiled\.$")


def test_forward_in_a_forked_child(core):
    """The child of a fork has none of the parent's inference threads and must not wait for them."""
    model = identity_model(core, activation=True)
    x = np.arange(64 * 10).reshape(64, 10).astype(np.uint8)
    expected = model.forward(x)  # the parent's threads exist from here on
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)
        os._exit(0 if (model.forward(x) == expected).all() else 1)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


@pytest.mark.skipif(bool(os.environ.get("NUVRA_SANITIZED")),
                    reason="the sanitizers' runtime reserves terabytes of address space: it cannot run under RLIMIT_AS")
@pytest.mark.parametrize("spare_mib", [4, 24, 40])
def test_a_first_run_with_little_address_space_left_completes(core, spare_mib):
    """The first run starts the inference threads: those that find no room are done without."""
    script = f"""if True:
        import resource, numpy as np, nuvra.core as core
        from v2_models import fill_variables, model_of
        model = fill_variables(model_of(core, (core.InputData, "in", dict(input_width=4, input_height=4,
                                                                          input_channels=1)),
                                        (core.Dense1D, "d", dict(units=2))))
        x = np.arange(64 * 16).reshape(64, 4, 4, 1).astype(np.uint8)
        vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + {spare_mib} * 2**20, resource.RLIM_INFINITY))
        print(model.forward(x).tobytes().hex(), model.forward(x[:3]).tobytes().hex())"""
    build = os.path.dirname(os.path.dirname(core.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([build, os.path.dirname(__file__)]))
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    model = fill_variables(model_of(core, (core.InputData, "in", dict(input_width=4, input_height=4, input_channels=1)),
                                    (core.Dense1D, "d", dict(units=2))))
    x = np.arange(64 * 16).reshape(64, 4, 4, 1).astype(np.uint8)
    assert run.stdout.split() == [model.forward(x).tobytes().hex(), model.forward(x[:3]).tobytes().hex()]


def conv_model(core):
    """16 samples through a small convolution model: a run large enough to run out of memory in its workers."""
    x = np.random.default_rng(1).integers(0, 256, (16, 32, 32, 3), dtype=np.uint8)
    return fill_variables(model_of(
        core, (core.InputConv2D, "hrc", dict(input_width=32, input_height=32, input_channels=3, filters=32,
                                            kernel_size=3)),
        (core.Conv2D, "conv", dict(filters=64, kernel_size=3)),
        (core.Conv2D, "conv2", dict(filters=64, kernel_size=3, kernel_stride=2)),
        (core.Dense1D, "dense", dict(units=10)))), x


# Forks one child per margin (in bytes), four at a time, from a process that has not run the model and has one thread
# (a fork child's threads would take over the stacks and malloc arenas of its parent's other threads): each child
# starts the pool under the limit and runs three times, on its main thread or on a new one, then once more without the
# limit, and prints what each run gave.
SWEEP = """if True:
    import os, resource, signal, sys, threading, numpy as np, nuvra.core as core
    from test_inference import conv_model
    model, x = conv_model(core)
    on_thread, margins, running = sys.argv[1] == "thread", [int(m) for m in sys.argv[2:]], {}
    while margins or running:
        while margins and len(running) < 4:
            margin = margins.pop(0)
            pid = os.fork()
            if pid == 0:
                signal.alarm(60)
                runs = [None] * 4

                def limited():
                    for i in range(3):
                        try:
                            runs[i] = model.forward(x).tobytes().hex()
                        except MemoryError:
                            runs[i] = "MemoryError"

                vm = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
                resource.setrlimit(resource.RLIMIT_AS, (vm + margin, resource.RLIM_INFINITY))
                if on_thread:
                    thread = threading.Thread(target=limited)
                    thread.start()
                    thread.join()
                else:
                    limited()
                resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
                runs[3] = model.forward(x).tobytes().hex()
                os.write(1, (str(margin) + " " + " ".join(runs) + "\\n").encode())
                os._exit(0)
            running[pid] = margin
        pid, status = os.wait()
        os.write(1, (str(running.pop(pid)) + " status " + str(status) + "\\n").encode())  # one write, as the children's
"""


def stack_margins():
    """Room for one more thread's stack and up to 80 KiB beside: room for the first worker's thread but little for
    what it makes."""
    stack = resource.getrlimit(resource.RLIMIT_STACK)[0]
    stack = 32 << 20 if stack == resource.RLIM_INFINITY else stack
    return [stack + k * 4096 for k in range(1, 21)]


@pytest.mark.skipif(bool(os.environ.get("NUVRA_SANITIZED")),
                    reason="the sanitizers' runtime reserves terabytes of address space: it cannot run under RLIMIT_AS")
@pytest.mark.parametrize("caller, margins", [
    ("main", [m << 20 for m in range(1, 65)] + stack_margins()),
    # From 9 MiB: a new thread's own stack takes 8.
    ("thread", [m << 20 for m in range(9, 65)]),
])
def test_runs_that_run_out_of_memory_raise_memory_error(core, caller, margins):
    """A task's exception is often its thread's first: what that needs is made when a worker starts and when a run
    starts on its calling thread, so a run under an address-space limit completes or raises MemoryError, whatever the
    room left, and the model still runs."""
    model, x = conv_model(core)
    expected = model.forward(x).tobytes().hex()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.dirname(core.__file__)),
                                                       os.path.dirname(__file__)]))
    run = subprocess.run([sys.executable, "-c", SWEEP, caller, *map(str, margins)], env=env, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    lines = [line.split() for line in run.stdout.splitlines()]
    assert sorted(int(m) for m, word, status in (line for line in lines if line[1] == "status")) == sorted(margins)
    assert [line for line in lines if line[1] == "status" and line[2] != "0"] == [], run.stderr[-2000:]
    runs = {int(line[0]): line[1:] for line in lines if line[1] != "status"}
    assert sorted(runs) == sorted(margins)
    for margin, (*limited, after) in runs.items():
        assert set(limited) <= {expected, "MemoryError"} and after == expected, margin
    assert any("MemoryError" in limited for limited in runs.values())


FORKED = "A run cannot go on in a process forked during it: the threads it was spread over are not in this process"


@pytest.mark.skipif(bool(os.environ.get("NUVRA_SANITIZED")),
                    reason="the sanitizer's allocator keeps no lock across fork: a child may wait for one held by a worker")
def test_a_run_forked_by_a_signal_handler_raises_in_the_child(core):
    """A child forked by a signal handler during a run has none of the threads the run was spread over: there the
    run raises instead of waiting for them; the parent's run completes."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("one CPU: runs are not spread over threads")
    model, x = conv_model(core)
    expected = model.forward(x)
    start = time.perf_counter()
    model.forward(x)
    copies = max(2, int(1 / (time.perf_counter() - start)))  # a run of about a second
    ticks, forked = [], []

    def fork(signum, frame):
        ticks.append(signum)
        if len(ticks) == 5 and not forked:  # well into the samples, which the run spreads over its threads
            forked.append(os.fork())

    previous = signal.signal(signal.SIGALRM, fork)
    raised = None
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
        outputs = model.forward(np.concatenate([x] * copies))
    except BaseException as e:
        raised = e
    finally:
        if forked == [0]:  # the child: never back into pytest
            os._exit(1 if raised is None else 0 if isinstance(raised, RuntimeError) and str(raised) == FORKED else 2)
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    if raised:
        raise raised
    assert (outputs == np.concatenate([expected] * copies)).all()
    assert forked and forked[0] > 0, f"the run ended after {len(ticks)} ticks"
    for _ in range(600):
        pid, status = os.waitpid(forked[0], os.WNOHANG)
        if pid:
            break
        time.sleep(0.1)
    else:
        os.kill(forked[0], signal.SIGKILL)
        os.waitpid(forked[0], 0)
        pytest.fail("the forked child waits for threads it does not have")
    assert os.waitstatus_to_exitcode(status) == 0, {1: "the child's run completed",
                                                    2: "the child's run raised something else"}.get(
                                                        os.waitstatus_to_exitcode(status))
