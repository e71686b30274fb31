"""Boards found on the host, simulated through NUVRA_SIM_BOARDS. The device list lives as long as
the process, so every scenario runs in a fresh interpreter."""
import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = f"""import os, sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
import numpy as np
import nuvra.core as core
devices = core.HardwareDevice.devices


def refused(call, kind, message=None):
    try:
        call()
    except kind as e:
        assert message in (None, str(e)), str(e)
        return
    raise AssertionError("accepted")
"""


def scenario(boards, code):
    """Runs `code` with `boards` attached; returns what it printed."""
    env = {k: v for k, v in os.environ.items() if k != "NUVRA_SIM_BOARDS"}
    env.update({"NUVRA_SIM_BOARDS": boards} if boards else {})
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_discovery_without_boards_with_several_and_with_failing_drivers():
    assert scenario(None, "assert devices() == [] == devices()") == ""
    scenario("fpga_v2,vlq7300_v1,twonodes_v1", """
        from v2_models import fpga_v2_device
        devs = devices()
        assert [(d.desc, len(d.mesh.nps)) for d in devs] == [
            ("SimBoard/fpga_v2", 44), ("SimBoard/vlq7300_v1", 20), ("SimBoard/twonodes_v1", 8)]
        assert devices() is not devs and all(a is b for a, b in zip(devices(), devs)) and devs[0] == devices()[0]
        assert not devs[0] == devs[1] and not devs[0] == fpga_v2_device(core)
        refused(lambda: devs[0] == 1, TypeError)
        assert devs[0].soc is None and isinstance(devs[1].soc, core.SocDriver)
        refused(core.boardVlq7300.get_flash(device=devs[1]).get_id, RuntimeError,
                "get_id function is not yet implemented")
        for device in [devs[0], None]:
            refused(lambda: core.boardVlq7300.get_flash(device), ValueError,
                    "The device does not contain an VLQ7300 flash")
    """)
    # Of the presets only vlq7300_v1 has the SoC driver and the flash by itself; the options add them to any.
    scenario("fpga_v2,vlq7300_v1,twonodes_v1,qrix_v1,qrix_v2,twonodes_v1+soc,qrix_v2+flash", """
        def flash(device):
            try:
                return isinstance(core.boardVlq7300.get_flash(device), core.SpiFlashController)
            except ValueError:
                return False
        assert [(d.desc[9:], d.soc is not None, flash(d)) for d in devices()] == [
            ("fpga_v2", False, False), ("vlq7300_v1", True, True), ("twonodes_v1", False, False),
            ("qrix_v1", False, False), ("qrix_v2", False, False),
            ("twonodes_v1", True, False), ("qrix_v2", False, True)]
    """)
    out = scenario("fpga_v2+fail_create=1,vlq7300_v1+bad_np_word,twonodes_v1",
                   "assert [d.desc for d in devices()] == ['SimBoard/twonodes_v1']")
    assert out == "Simulated board failed to open\nError detecting NP type.\n"
    # The first board opens only on the second try: a retried discovery prints its failure once.
    out = scenario("fpga_v2+fail_create=1,qrix_v1+version=BC.07.01.00", """
        for _ in range(2):
            refused(devices, ValueError, "Incompatible hardware and Ip versions: HW Version is 188.7.1.0 with "
                    "product id = 7 while IP version is v1.")
    """)
    assert out == "Simulated board failed to open\n"


@pytest.mark.parametrize("boards", ["qrix_v2", "qrix_v2+fail_forward=1"])
def test_qrix_v2_probe(boards):
    assert scenario(boards, "print(len(devices()))") == "1\n"  # a failed probe run re-opens the board, silently


def test_program_runs_metrics_and_power_events():
    scenario("fpga_v2+soc", """
        import gc
        from v2_models import conv_model
        dev = devices()[0]
        soc = dev.soc
        model = conv_model(core)
        model._map(dev, hw_only=True)
        assert model.device is dev and dev.metrics.names == [] and soc.power_meter is None
        program = bytes(model.sequences[0].program)
        dev.program = bytes(program)
        del model
        gc.collect()  # the board keeps what it was given
        assert dev.program == program and dev.metrics["program_clk"] == len(program) // 4

        x = np.random.default_rng(1).integers(0, 256, (5, 32, 32, 3)).astype(np.uint8)
        y = dev.forward(x)
        expected = (x.reshape(5, -1).sum(axis=1, dtype=np.int64)[:, None] + np.arange(10)) % 256
        assert y.dtype == np.uint8 and y.shape == (5, 1, 1, 10) and (y.reshape(5, 10) == expected).all()
        assert (dev.forward(x.astype(np.float32)) == y).all() and dev.predict(x).dtype == np.float32
        m = dev.metrics
        assert len(m.names) == 5 and m["inference_frames"] == 5 and m["inference_clk"] == 5000
        assert m["inference_start"] <= m["inference_end"] and dev.inference_power_events == []
        for labels in [[], 3, 3.0, [1, 2, 3, 4, 5], np.array([7], np.uint8), np.arange(5, dtype=np.int64)]:
            assert dev.fit(x, labels).shape == (5, 1, 1, 10)
        empty_rows = [np.ones((5, 3), np.int64)[:, :0], np.zeros((5, 0), np.int32),
                      np.lib.stride_tricks.as_strided(np.zeros(1, np.int32), shape=(5, 0), strides=(1 << 40, 4))]
        for labels in [2.5, float("nan"), ["a"], np.array([1.0]), np.array([2**40, 0]),
                       np.array([2**63] * 2, np.uint64), np.ones((5, 2), np.int64), *empty_rows]:
            refused(lambda: dev.fit(x, labels), ValueError, "fit method expects integers as labels")
        refused(lambda: setattr(dev, "program", bytearray(program)), TypeError)
        refused(lambda: dev.forward(x[0]), RuntimeError, "Input dimensions are not correct (Should be 4 or 2)")
        refused(lambda: dev.forward(x[:0]), ValueError, "Number of inputs should be higher than 0")
        soc.power_measurement_enabled = 1
        assert soc.power_meter.floor is None
        dev.forward(x)
        events = dev.inference_power_events
        assert [(e.voltage, e.current, e.power) for e in events] == [(800000, 250, 200)]
        assert soc.power_meter.floor == 200.0
        dev.forward(x)
        assert len(events) == 1 and len(dev.inference_power_events) == 2
        soc.power_measurement_enabled = None
        dev.forward(x)  # no meter: the last measured run's events stay
        assert soc.power_meter is None and len(dev.inference_power_events) == 2
        soc.clock_mode = core.soc.LowPower
        assert soc.clock_mode == core.soc.LowPower
        refused(lambda: setattr(dev, "program", program[:-4]), ValueError)  # unprogrammed first: the old one is gone
        assert dev.program is None
        info = program[:int.from_bytes(program[:4], "little") + 4]
        dev.program_external(info, 0x1000)
        assert dev.program == info and dev.metrics["program_clk"] == len(info) // 4
        dev.unprogram()
        assert dev.program is None and dev.memory[0] == 0
    """)


def test_learning_memory_is_read_and_written_whole():
    scenario("vlq7300_v1", """
        import struct
        sys.path.insert(0, os.path.join(sys.path[0], "..", "..", "examples"))
        from demo_v1 import build_model
        from program_reader import learning_spans
        dev = devices()[0]
        assert dev.learn_mem is None  # nothing programmed
        model = build_model()
        model._map(dev, hw_only=True)
        dev.program = program = bytes(model.sequences[0].program)
        _, _, tracks, filters = learning_spans(program)  # the program's learning weights, as the board starts
        memory = dev.learn_mem
        assert list(struct.unpack(f"<{len(memory) // 4}I", memory)) == filters + sum(tracks, [])
        learnt = bytes(range(7, 256)) * (len(memory) // 249 + 1)
        dev.learn_mem = learnt[:len(memory) + 3]  # whole words only
        assert dev.learn_mem == learnt[:len(memory)]
        for size in (len(memory) - 1, len(memory) + 4, 0):
            refused(lambda: setattr(dev, "learn_mem", learnt[:size]), RuntimeError, "unexpected input buffer size")
        assert dev.learn_mem == learnt[:len(memory)]
        # While the board runs frames, a buffer of the right size is refused because the board is
        # busy, and in the same moment one of the wrong size is refused for its size first.
        import signal
        answers = []

        def handler(*_):
            if answers:
                return
            try:
                dev.learn_mem = learnt[:len(memory)]  # the same bytes: accepted between runs, no change
                return
            except RuntimeError as e:
                busy = str(e)
            try:
                dev.learn_mem = learnt[:len(memory) - 4]
            except RuntimeError as e:
                answers.extend([busy, str(e)])

        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        try:
            while not answers:
                dev.forward(np.zeros((200, 32, 32, 3), np.uint8))
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        assert answers[0] == "The device is busy: it cannot be used while it runs frames", answers
        assert answers[1].startswith("unexpected input buffer size"), answers
        assert dev.learn_mem == learnt[:len(memory)]
        dev.unprogram()
        assert dev.learn_mem is None
    """)


def test_learning_memory_is_the_whole_image_with_or_without_the_data_part():
    # An image of 4096 words or more takes the extended block header: its record starts with an
    # empty track, and the memory must still cover the whole image after program_external.
    scenario("vlq7300_v1", """
        dev = devices()[0]
        L = lambda t, n, **p: core.Layer(core.LayerParams(t, p), n)
        for units, inputs, words in [(819, 32, 4095), (512, 128, 4096), (820, 32, 4100)]:
            m = core.Model()
            m.add(L(core.InputData, "in", input_width=1, input_height=1, input_channels=inputs, input_bits=1))
            m.add(L(core.FullyConnected, "fc", units=units, activation=0))
            v = m.get_layer("fc").variables
            w = np.zeros(v["weights"].shape, np.int8)
            w[..., :4, :] = 1
            v["weights"] = w
            m.compile(core.NuvraUnsupervised(num_weights=4, num_classes=1))
            m._map(dev, hw_only=True)
            dev.program = program = bytes(m.sequences[0].program)
            assert len(dev.learn_mem) == 4 * (words + 2), units  # the image behind its block header
            dev.program_external(program[:int.from_bytes(program[:4], "little") + 4], 0x1000)
            assert dev.learn_mem == bytes(4 * (words + 2)), units
    """)


def test_board_runs_read_labels_at_an_odd_address_and_refuse_inputs_beyond_a_tensor():
    scenario("fpga_v2", """
        from test_inference import at_odd_address
        from v2_models import conv_model
        dev = devices()[0]
        model = conv_model(core)
        model._map(dev, hw_only=True)
        dev.program = bytes(model.sequences[0].program)
        x = np.zeros((3, 32, 32, 3), np.uint8)
        # Inputs of more elements than a tensor holds, cast or not, are refused before any copy.
        for inputs in (np.broadcast_to(np.uint8(0), (2**31, 32, 32, 3)), np.broadcast_to(np.int64(0), (2**31, 4))):
            for run in (dev.forward, dev.predict, lambda inputs: dev.fit(inputs, [0])):
                refused(lambda: run(inputs), RuntimeError, "Tensor shape size %d exceeds maximum shape size (4294967295)"
                        % inputs.size)
        for dtype in (np.int64, np.uint64):
            for shape in ((3,), (3, 1)):
                assert dev.fit(x, at_odd_address([0, 1, 0], dtype, shape)).shape == (3, 1, 1, 10)
                refused(lambda: dev.fit(x, at_odd_address([0, 2**40, 0], dtype, shape)), ValueError,
                        "fit method expects integers as labels")
                refused(lambda: dev.fit(x, at_odd_address([0, 1], dtype, shape[:0] + (2,) + shape[1:])),
                        RuntimeError, "Number of labels should be the same as number of inputs")
    """)


def test_a_board_fit_learns_only_on_the_compiled_last_layer():
    scenario("vlq7300_v1", """
        def model(tail):
            L = lambda t, n, **p: core.Layer(core.LayerParams(t, p), n)
            m = core.Model()
            m.add(L(core.InputData, "in", input_width=8, input_height=8, input_channels=1, input_bits=1))
            m.add(L(core.FullyConnected, "fc", units=8))
            weights = np.zeros(m.get_layer("fc").variables["weights"].shape, np.int8)
            weights[..., :5, :] = 1  # inputs 0-4 for every neuron
            m.get_layer("fc").variables["weights"] = weights
            m.compile(core.NuvraUnsupervised(num_weights=5, num_classes=2))
            if tail:
                m.add(L(core.FullyConnected, "tail", units=3, activation=0))
            m._map(dev, hw_only=True)
            return m

        def variables(m):
            return {(l.name, n): l.variables[n].tobytes() for l in m.layers for n in l.variables.names}

        dev = devices()[0]
        x = np.random.default_rng(5).integers(0, 2, (6, 8, 8, 1)).astype(np.uint8)
        labels = [0, 1, 1, 0, 1, 0]
        m = model(tail=True)
        before = variables(m), m.to_buffer(), dev.program
        refused(lambda: m.fit(x, labels), RuntimeError, "The last layer must be compiled.")
        assert (variables(m), m.to_buffer(), dev.program) == before

        alone = model(tail=False)
        expected = alone.fit(x, labels)
        dev.unprogram()  # the next fit starts from the program's own learning memory
        m.pop_layer()
        m._map(dev, hw_only=True)
        assert (m.fit(x, labels) == expected).all() and variables(m) == variables(alone)
    """)


def test_a_first_generation_board_keeps_what_its_model_learnt():
    # Before each run the board's learning memory is the image of the learning layer's variables,
    # unless it is the model's own since its last run. The simulated board does not learn: a
    # write of its learning memory stands in for learning.
    scenario("vlq7300_v1", """
        import signal
        from program_reader import learning_spans
        L = lambda t, n, **p: core.Layer(core.LayerParams(t, p), n)
        dev = devices()[0]
        x = np.zeros((1, 32), np.uint8)

        def build(units, hidden=0, inputs=32):
            m = core.Model()
            m.add(L(core.InputData, "in", input_width=1, input_height=1, input_channels=inputs, input_bits=1))
            for i in range(hidden):
                m.add(L(core.FullyConnected, f"h{i}", units=32))
            m.add(L(core.FullyConnected, "fc", units=units, activation=0))
            w = np.zeros((1, 1, inputs, units), np.int8)
            w[0, 0, :2, :] = 1
            m.get_layer("fc").variables["weights"] = w
            m.compile(core.NuvraUnsupervised(num_weights=2, num_classes=1))
            m._map(dev, hw_only=True)
            return m

        def image(m):  # what the learning records of a fresh mapping load for the variables as they are
            copy = core.Model(m.layers)
            copy._map(dev, hw_only=True)
            _, _, tracks, filters = learning_spans(bytes(copy.sequences[-1].program))
            return b"".join(w.to_bytes(4, "little") for w in sum(tracks, []) + filters)

        def learn(to=5, at=24):  # neuron 0 reads inputs 0 and `to`: the word after its header at `at`
            mem = bytearray(dev.learn_mem)
            mem[at:at + 4] = (1 | 1 << to).to_bytes(4, "little")
            mem[at - 9] |= 0x80  # and a header bit that no variable holds
            dev.learn_mem = learnt = bytes(mem)
            return learnt

        inputs = lambda m: np.flatnonzero(m.get_layer("fc").variables["weights"][0, 0, :, 0]).tolist()
        m, other, twin = build(2), build(3), build(2)
        own = bytes(m.sequences[0].program)
        assert bytes(twin.sequences[0].program) == own
        m.fit(x, [0])
        learnt = learn()
        m.forward(x)  # the same program: the write stays, and the next fit reads it back
        assert dev.learn_mem == learnt
        m.fit(x, [0])
        assert inputs(m) == [0, 5] and dev.learn_mem == learnt != image(m)

        intrusions = {"another model": lambda: other.forward(x), "a byte-identical model": lambda: twin.forward(x),
                      "unprogram": dev.unprogram, "its own program": lambda: setattr(dev, "program", own),
                      "program_external of its own bytes": lambda: dev.program_external(own, 0x1000)}
        runs = {"forward": m.forward, "predict": m.predict, "evaluate": lambda x: m.evaluate(x, np.zeros(1, np.int32)),
                "fit": lambda x: m.fit(x, [0])}
        for intrusion, intrude in intrusions.items():
            for run, call in runs.items():
                intrude()
                call(x)
                assert dev.learn_mem == image(m) and inputs(m) == [0, 5], (intrusion, run)
        twin.fit(x, [0])  # its own learning memory, not m's
        assert inputs(twin) == [0, 1] and dev.learn_mem == image(twin)

        # Variables set after _map reach the board, and the next fit keeps them.
        w = m.get_layer("fc").variables["weights"]
        w[0, 0, 5, 0], w[0, 0, 7, 0] = 0, 1
        m.get_layer("fc").variables["weights"] = w
        m.forward(x)
        assert dev.learn_mem == image(m)
        m.fit(x, [0])
        assert inputs(m) == [0, 7]
        # Variables its learning records cannot take are refused before the run; the memory stays.
        v, kept = m.get_layer("fc").variables, dev.learn_mem
        v["threshold_learning"] = np.array([-1, 0], np.int32)
        refused(lambda: m.forward(x), RuntimeError, "Error when programming layer 'fc': Backend "
                "hardware(FullyConnected): Negative value for threshold_learning not supported")
        assert dev.learn_mem == kept
        v["threshold_learning"] = np.zeros(2, np.int32)
        m.forward(x)
        assert dev.learn_mem == kept

        # An FNP2 memory is the image alone, without a block header.
        wide, wide_x = build(2000, inputs=1024), np.zeros((1, 1024), np.uint8)
        wide.fit(wide_x, [0])
        learn(at=16)
        wide.fit(wide_x, [0])
        other.forward(x)
        wide.fit(wide_x, [0])
        assert inputs(wide) == [0, 5] and dev.learn_mem == image(wide)

        # A handler between two board runs of a fit learns, reads, then runs another model: the
        # fit's later runs go on from what it read back.
        steps = [lambda: learn(9), lambda: inputs(m) == [0, 9] and other.forward(x) is not None]
        inside = []

        def handler(*_):
            if inside or not steps:
                return
            inside.append(1)
            try:
                if steps[0]() is not False:
                    steps.pop(0)
            except RuntimeError as e:
                assert str(e) == "The device is busy: it cannot be used while it runs frames", str(e)
            finally:
                inside.clear()

        m.forward(x)
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
        try:
            for _ in range(1000):
                if not steps:
                    break
                m.fit(np.zeros((300, 32), np.uint8), [0], batch_size=1)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        assert not steps
        m.forward(x)
        assert inputs(m) == [0, 9] and dev.learn_mem == image(m)

        # Cut into 10 sequences, the model loads the learning sequence's program on every run.
        deep = build(2, hidden=199)
        assert len(deep.sequences) == 10
        deep.fit(x, [0])
        w = deep.get_layer("fc").variables["weights"]
        w[0, 0, 1, 0], w[0, 0, 5, 0] = 0, 1
        deep.get_layer("fc").variables["weights"] = w  # as a read-back would leave it
        for _ in range(2):
            deep.fit(x, [0])
            assert inputs(deep) == [0, 5] and dev.learn_mem == image(deep)
    """)


def test_model_runs_its_hardware_sequence_on_the_board_and_the_rest_in_software():
    scenario("fpga_v2+soc", """
        from v2_models import conv_model, layer, VARIABLE_RANGES

        def with_tail(model):  # a 2x2 kernel no CNP takes: it stays in software
            tail = layer(core, core.Conv2D, "tail", filters=4, kernel_size=2)
            model.add(tail)
            for name in tail.variables.names:
                lo, hi = VARIABLE_RANGES.get(name, (0, 0))
                cur = tail.variables[name]
                tail.variables[name] = (lo + np.arange(cur.size) % (hi - lo + 1)).reshape(cur.shape).astype(cur.dtype)
            return model

        dev = devices()[0]
        dev.soc.power_measurement_enabled = True
        model = with_tail(conv_model(core))
        model._map(dev)
        assert [(s.name, s.backend) for s in model.sequences] == [
            ("HW/hrc-dense", core.BackendType.Hardware), ("SW/tail", core.BackendType.Software)]
        x = np.random.default_rng(1).integers(0, 256, (3, 32, 32, 3)).astype(np.uint8)
        y = model.forward(x)
        assert sorted(model.metrics.names) == ["inference_clk", "inference_end", "inference_frames",
                                               "inference_start", "program_clk"]
        assert [(e.voltage, e.current) for e in model.power_events] == [(800000, 250)]
        # The simulated board gives (sum of the sample's bytes + i) mod 256; the tail runs on that.
        board = (x.reshape(3, -1).sum(axis=1, dtype=np.int64)[:, None] + np.arange(10)) % 256
        tail_only = core.Model()
        tail_only.add(layer(core, core.InputData, "in", input_width=1, input_height=1, input_channels=10))
        with_tail(tail_only)
        assert (tail_only.forward(board.astype(np.uint8).reshape(3, 1, 1, 10)) == y).all()
        dev.soc.power_measurement_enabled = False
        model.forward(x)
        assert model.power_events == []
        # A sequence that ends in a Dequantizer gives the board's values scaled, as float32.
        model = conv_model(core)
        model.add(layer(core, core.Dequantizer, "out"))
        model.get_layer("out").variables["scales"] = scales = np.arange(1, 11, dtype=np.float32) / 4
        model._map(dev)
        y = model.forward(x)
        assert [s.name for s in model.sequences] == ["HW/hrc-out"] and y.dtype == np.float32
        assert (y.reshape(3, 10) == board * scales).all()
    """)


def test_a_signal_handler_cannot_change_a_running_board_or_model():
    # Handlers run between the frames of a board run and between the board runs of a model's run.
    # A running board refuses every change and every other run; a running model every change of
    # itself. Between two board runs the board is free: the model programs it again.
    scenario("fpga_v2", """
        import signal
        from v2_models import conv_model, unnested
        dev = devices()[0]
        model, other = conv_model(core), conv_model(core)
        model._map(dev)
        other.pop_layer()
        other._map(dev)
        program, other_program = bytes(model.sequences[0].program), bytes(other.sequences[0].program)
        info = other_program[:int.from_bytes(other_program[:4], "little") + 4]
        x = np.random.default_rng(3).integers(0, 256, (500, 32, 32, 3), dtype=np.uint8)
        expected = (x.reshape(500, -1).sum(axis=1, dtype=np.int64)[:, None] + np.arange(10)) % 256
        board_busy = "The device is busy: it cannot be used while it runs frames"
        model_busy = "The model is busy: it cannot be changed while it is running or being mapped"
        weights = model.layers[1].variables["weights"]
        # No change at all, but refused while the board runs frames / while the model runs.
        board_probe = lambda: setattr(dev, "learn_mem", b"")
        model_probe = lambda: model.layers[1].variables.__setitem__("weights", weights)

        def enable_learning():  # between two board runs the model's program has no learning layer
            try:
                dev.learn_enabled = True
            except RuntimeError as e:
                if str(e) != "Simulated board: the program has no learning layer":
                    raise

        on_board = [lambda: setattr(dev, "program", other_program), dev.unprogram, lambda: dev.forward(x[:1]),
                    lambda: dev.program_external(info, 0x1000), lambda: other.forward(x[:1]), board_probe,
                    lambda: dev.predict(x[:1]), lambda: dev.fit(x[:1], 0), dev.reset_top_memory, enable_learning]
        on_model = [model.pop_layer, lambda: model._map(dev), lambda: model.fit(x[:1], 0), model_probe]
        cases = [(lambda: dev.forward(x), board_probe, on_board, {board_busy}),
                 (lambda: model.forward(x, batch_size=50), model_probe, on_board + on_model, {model_busy}),
                 (lambda: (model.evaluate(x, np.zeros(500, np.int32), batch_size=50), expected)[1], model_probe,
                  on_board + on_model, {model_busy})]
        for run, probe, intrusions, must in cases:
            dev.program = program
            left, seen = list(intrusions), set()

            @unnested  # its own accepted run is no intrusion
            def handler(*_):
                if not left:
                    return
                try:
                    probe()
                    return  # between two calls
                except RuntimeError:
                    pass
                try:
                    left[-1]()  # accepted only between two board runs of a model
                    assert left[-1] in on_board and run is not cases[0][0], "accepted"
                except RuntimeError as e:
                    assert str(e) in (board_busy, model_busy), str(e)
                    seen.add(str(e))
                left.pop()

            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
            try:
                while left:
                    assert (run().reshape(500, 10) == expected).all()
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
            assert must <= seen, seen
        assert [l.name for l in model.layers] == ["hrc", "conv", "dw", "dense"]
    """)


def test_runs_inside_runs_of_the_same_board_count_their_own_clocks():
    # Handlers run the board, or a model mapped on it, between the frames or the board runs of a
    # longer call, up to three calls deep. A model whose sequences all run in software runs even
    # while the board runs frames. Each call's inference_clk counts its own frames (1000 clocks
    # each, none in software) and leaves out those of the calls inside it.
    scenario("fpga_v2", """
        import signal
        from v2_models import conv_model, model_of
        dev = devices()[0]
        model, model2 = conv_model(core), conv_model(core)
        model._map(dev, hw_only=True)
        model2._map(dev, hw_only=True)
        soft = model_of(core, (core.InputConvolutional, "in", dict(input_width=32, input_height=32, input_channels=3,
                                                                   filters=8, kernel_size=3, input_bits=8)),
                        (core.FullyConnected, "fc", dict(units=10, activation=0)))
        soft._map(dev)  # first-generation layers: software only on this board
        assert [s.backend for s in soft.sequences] == [core.BackendType.Software]
        x = np.random.default_rng(3).integers(0, 256, (500, 32, 32, 3), dtype=np.uint8)
        expected = model.forward(x, batch_size=50)

        def changes(m):  # the same weights again: refused only while m runs
            weights = m.layers[1].variables["weights"]
            return lambda: m.layers[1].variables.__setitem__("weights", weights)

        # name: call, its metrics, its frames and clocks, what it returns alone, what raises busy while it runs
        calls = {"model": (lambda: model.forward(x, batch_size=50), model.metrics, 500, 500000, expected,
                           changes(model)),
                 "device": (lambda: dev.forward(x), dev.metrics, 500, 500000, dev.forward(x),
                            lambda: setattr(dev, "learn_mem", b"")),
                 "model2": (lambda: model2.forward(x[:200], batch_size=5), model2.metrics, 200, 200000,
                            expected[:200], changes(model2)),
                 "dev2": (lambda: dev.forward(x[:2]), dev.metrics, 2, 2000, dev.forward(x[:2]), None),
                 "soft": (lambda: soft.forward(x[:2]), soft.metrics, 2, 0, soft.forward(x[:2]), None)}
        cases = [["device", "soft"], ["model", "soft"], ["model", "dev2"], ["model", "model2", "dev2"],
                 ["model", "model2", "soft"]]
        for chain in cases:
            running, returned = [], []

            def run(depth):
                call, metrics, frames, clocks, alone, _ = calls[chain[depth]]
                running.append(depth)
                try:
                    out = call()
                finally:
                    running.pop()
                assert (out == alone).all() and (metrics["inference_frames"], metrics["inference_clk"]) == (
                    frames, clocks), (chain, depth, metrics["inference_clk"])
                returned.append(depth)

            def handler(*_):
                # Nested only inside a call that has started (it refuses a change) and not yet
                # returned, one level at a time, never re-entered below the deepest.
                depth = len(running)
                if not depth or depth == len(chain) or len(chain) - 1 in returned:
                    return
                try:
                    calls[chain[depth - 1]][5]()
                    return
                except RuntimeError:
                    pass
                try:
                    run(depth)
                except RuntimeError as e:  # the board runs frames: next time
                    assert "The device is busy" in str(e) and chain[depth] != "soft", str(e)

            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
            try:
                while len(chain) - 1 not in returned:
                    run(0)
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        model.forward(x[:3])
        assert model.metrics["inference_clk"] == 3000
    """)
