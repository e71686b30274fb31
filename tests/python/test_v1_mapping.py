import os
import re
import sys

import numpy as np
import pytest

from map_outcomes import refused_or_in_software
from program_reader import learning_spans

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
from demo_v1 import BOARDS, build_model, virtual_device  # noqa: E402  the demo's model and boards

IMAGE_WORDS = 10 * (16 * 16 * 32 // 32 + 4)  # 10 neurons of 8192 one-bit weights and 4 header words


@pytest.mark.parametrize("version", list(BOARDS))
def test_v1_model_maps_with_its_learning_program(core, version, tmp_path):
    model = build_model()
    model._map(virtual_device(version), hw_only=True)
    sequences = model.sequences
    assert [l.name for s in sequences for p in s.passes for l in p.layers] == ["input_conv", "conv", "separable",
                                                                                 "classifier"]
    for sequence in sequences:
        program, parts = sequence.program, sequence.program_parts
        assert sequence.backend == core.BackendType.Hardware and parts.program_info + parts.program_data == program
        for part in (parts.program_info, parts.program_data):  # each with its own size prefix
            assert int.from_bytes(part[:4], "little") == len(part) - 4
        assert core.get_program_memory_infos(program).program_memory == len(parts.program_data)
        assert (learning_spans(program) is None) == (sequence is not sequences[-1])
    # The two register blocks (2 header words, then 50 words, target 7) differ in the learning words 36 to 38
    # only; the memory image is the FNP3's block (2 header words) or the FNP2's filters.
    on, off, tracks, filters = learning_spans(sequences[-1].program)
    assert len(on) == len(off) == 52 and on[0] & 0x1F == off[0] & 0x1F == 7
    assert [i - 2 for i in range(52) if on[i] != off[i]] == [36, 37, 38]
    fnp2 = model.get_layer("classifier").mapping.nps[0].type == core.NP.FNP2
    assert (sum(map(len, tracks)), len(filters)) == ((0, IMAGE_WORDS) if fnp2 else (IMAGE_WORDS + 2, 0))
    model.save(str(tmp_path / "v1.fbz"))
    again = core.Model(str(tmp_path / "v1.fbz"))
    again._map(virtual_device(version), hw_only=True)
    assert [s.program for s in again.sequences] == [s.program for s in sequences]  # saved and loaded, the same


# With a weight SRAM of 4 MiB an NP's standard weights, one DMA block of at most 65533 words, bound
# the filters of a share before the memory does. 3x3, 4 bits: 6 slots of two words per 8 filters
# of a channel, rounded to 16 slots: 512 filters over 512 channels take eight NPs of 64 (49152
# words each, where 128 would take 98304). A 7x7 filter (42 slots, rounded to 48) over 1024
# channels takes 98304 words alone, and is refused.
@pytest.mark.parametrize("channels, filters, kernel, nps", [(512, 512, 3, 8), (1024, 64, 7, None)])
@pytest.mark.parametrize("hw_only", [True, False])
def test_v1_weights_fit_one_dma_block(core, channels, filters, kernel, nps, hw_only):
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.InputData, dict(input_width=4, input_height=4, input_channels=channels,
                                                               input_bits=1)), "in"))
    model.add(core.Layer(core.LayerParams(core.Convolutional, dict(filters=filters, kernel_width=kernel,
                                                                   kernel_height=kernel, weights_bits=4, act_bits=1)),
                         "conv"))
    variables = model.get_layer("conv").variables
    variables["weights"] = np.resize(np.array([1, -3, 7, 0], np.int8), variables["weights"].shape)
    device = virtual_device()
    device.mesh.np_weight_sram_size = 4 << 20
    x = np.random.default_rng(5).integers(0, 2, (2, 4, 4, channels), dtype=np.uint8)
    if nps:
        model._map(device, hw_only=hw_only)
        assert len(model.get_layer("conv").mapping.nps) == nps
        return
    refused_or_in_software(core, model, device, x, hw_only, re.escape(
        "Error when mapping layer 'conv': The maximum weight image of an NP, in 32-bit words, is 65533 (got "
        "98304 for one filter)"))


# The same for a FullyConnected layer: 288 one-bit inputs take 13 words a neuron, so that 5041
# neurons fill one DMA block (65533 words) exactly and 5042 pass it. An FNP3 takes the first from
# 300,000 bytes of weight SRAM on (72000 words), and an FNP2 the second at every size.
@pytest.mark.parametrize("units, fnp3_from", [(5042, None), (5041, 300000)])
def test_v1_a_larger_weight_sram_maps_what_a_smaller_maps(core, units, fnp3_from):
    srams = [None, 300000, 1 << 20, 4 << 20]
    types = []
    for sram in srams:
        model = core.Model()
        model.add(core.Layer(core.LayerParams(core.InputData, dict(input_width=1, input_height=1, input_channels=288,
                                                                   input_bits=1)), "in"))
        model.add(core.Layer(core.LayerParams(core.FullyConnected, dict(units=units, weights_bits=1)), "fc"))
        variables = model.get_layer("fc").variables
        variables["weights"] = np.resize(np.array([1, 0, 0], np.int8), variables["weights"].shape)
        device = virtual_device()
        if sram:
            device.mesh.np_weight_sram_size = sram
        model._map(device, hw_only=True)
        types += [c.type for c in model.get_layer("fc").mapping.nps]
    first = len(srams) if fnp3_from is None else srams.index(fnp3_from)
    assert types == [core.NP.FNP2] * first + [core.NP.FNP3] * (len(srams) - first)


def v1_layer(core, kind, variable, value, compiled=False):
    """Layer "l" of `kind` (after an 8x8x4 one-bit input, but for an InputConvolutional) whose first `variable`
    value is `value`; a compiled FullyConnected learns with one weight a neuron."""
    params = dict(filters=8, kernel_width=3, kernel_height=3)
    rows = {"conv": (core.Convolutional, params), "separable": (core.SeparableConvolutional, params),
            "fc": (core.FullyConnected, dict(units=4)),
            "hrc": (core.InputConvolutional, dict(params, input_width=8, input_height=8, input_channels=3))}
    layer_type, params = rows[kind]
    model = core.Model()
    if kind != "hrc":
        model.add(core.Layer(core.LayerParams(core.InputData, dict(input_width=8, input_height=8, input_channels=4,
                                                                   input_bits=1)), "in"))
    model.add(core.Layer(core.LayerParams(layer_type, params), "l"))
    variables = model.get_layer("l").variables
    for name in ("weights", "weights_pw"):
        if name in variables.names:
            values = np.zeros(variables[name].shape, variables[name].dtype)
            if kind == "fc":
                values[0, 0, :8] = 1  # eight weights a neuron
            else:
                values.reshape(-1)[::3] = 1
            variables[name] = values
    values = variables[variable].copy()
    values.reshape(-1)[0] = value
    variables[variable] = values
    if compiled:
        model.compile(core.NuvraUnsupervised(num_weights=8, num_classes=2))
    return model


# Values each recorder writes into a field that cannot hold them, refused by the checker: with hw_only
# `_map` raises naming the layer and the limit, and without it the layer runs in software.
RECORDER_LIMITS = [
    ("conv", "threshold", 524288, "threshold should be between -524288 and 524287 (got 524288)"),
    ("separable", "threshold", -524289, "threshold should be between -524288 and 524287 (got -524289)"),
    ("fc", "threshold", 524288, "threshold should be between -524288 and 524287 (got 524288)"),
    ("hrc", "threshold", 8388608, "threshold should be between -8388608 and 8388607 (got 8388608)"),
    ("conv", "act_step", 65536, "act_step should be between 0 and 65535 (got 65536)"),
    ("separable", "act_step", 65535.97, "act_step should be between 0 and 65535 (got 65535.97)"),
    ("fc", "act_step", -1, "act_step should be between 0 and 65535 (got -1)"),
    ("fc", "threshold_learning", -1, "threshold_learning should be between 0 and 524287 (got -1)"),
    ("fc", "threshold_learning", 524288, "threshold_learning should be between 0 and 524287 (got 524288)"),
]


@pytest.mark.parametrize("kind, variable, value, refusal", RECORDER_LIMITS)
@pytest.mark.parametrize("hw_only", [True, False])
def test_v1_values_the_recorders_cannot_write_are_refused(core, kind, variable, value, refusal, hw_only):
    model = v1_layer(core, kind, variable, value, compiled=variable == "threshold_learning")
    shape = (2, 8, 8, 3) if kind == "hrc" else (2, 8, 8, 4)
    x = np.random.default_rng(9).integers(0, 256 if kind == "hrc" else 2, shape, dtype=np.uint8)
    refused_or_in_software(core, model, virtual_device(), x, hw_only,
                           "^" + re.escape(f"Error when mapping layer 'l': {refusal}") + "$")

