import gc
import re

import numpy as np
import pytest

from map_outcomes import refused_or_in_software
from program_reader import skipdma_faults
from v2_models import conv_model, fill_variables, fpga_v2_device, layer, model_of

def test_layer_properties(core):
    model = model_of(core, (core.InputData, "in", dict(input_width=8, input_height=8, input_channels=3)),
                     (core.Conv2D, "a", dict(filters=4, kernel_size=3)))
    model.add(layer(core, core.Conv2D, "b", filters=4, kernel_size=3), [model.get_layer("in")])
    model.add(layer(core, core.Add, "add"), [model.get_layer("a"), model.get_layer("b")])
    a, add = model.get_layer("a"), model.get_layer("add")
    assert (a.input_dims, a.output_dims, a.input_bits, a.splittable) == ([8, 8, 3], [8, 8, 4], 8, True)
    assert add.input_dims == [[8, 8, 4], [8, 8, 4]] and add.inbounds[0] is a and a.mapping is None
    params, variables = a.parameters, a.variables
    del model, a, add
    gc.collect()
    assert params.filters == 4 and variables["weights"].shape == (3, 3, 3, 4)  # views keep their layer alive


def test_mapped_model_sequences_passes_and_program(core):
    model = conv_model(core)
    model._map(device=fpga_v2_device(core))
    assert model.device.desc == "VirtualDevice/BC.A2.001.000"
    assert model.component_count == {core.NP.HRC: 1, core.NP.CNP1: 2, core.NP.FNP3: 1}
    (sequence,) = model.sequences
    assert (sequence.backend, sequence.name) == (core.BackendType.Hardware, "HW/hrc-dense")
    program, parts, passes = sequence.program, sequence.program_parts, sequence.passes
    assert isinstance(program, bytes)  # its parts are read in the first-generation mapping test
    assert [l.name for p in passes for l in p.layers] == ["hrc", "conv", "dw", "dense"]
    assert passes[0].layers[0] is model.get_layer("hrc")
    infos = core.get_program_memory_infos(program)
    assert re.fullmatch(r"<nuvra\.ProgramMemoryRequired\(input_memory=3072B, input_descriptor_memory=32B, "
                        r"output_memory=12B, program_memory=\d+B, extra_program_memory=0B, "
                        r"program_descriptors_memory=\d+B\)>", repr(infos)) and str(infos) == repr(infos)
    assert infos.program_memory == len(parts.program_data) and infos.program_descriptors_memory % 32 == 0
    for argument, error in [(bytearray(program), TypeError), (program[:len(program) // 2], ValueError)]:
        pytest.raises(error, core.get_program_memory_infos, argument)
    del model, sequence
    gc.collect()
    assert parts.program_info + parts.program_data == program  # the parts are copies
    # A skip output is kept in rows of whole words: 5 x 3 x 8 bytes take 2 x 3 x 8 words a frame, and
    # c1's store keeps the 2 frames its record names.
    skip = skip_model(core, 6, [1], input_data=True, width=5, height=3)
    skip._map(fpga_v2_device(core), hw_only=True)
    assert core.get_program_memory_infos(skip.sequences[0].program).extra_program_memory == 2 * 192
    assert skipdma_faults(skip.sequences[0].program) == []


@pytest.mark.parametrize("convs", [2, 3])
def test_an_np_that_loops_over_passes_is_double_buffered(core, convs):
    # On a single NP each convolution takes a pass of its own; the NP ends every pass and starts
    # the next, so no component of it is single-buffered.
    NP = core.NP
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1),
                   [NP.Info(NP.Ident(2, 1, 0), [NP.CNP1, NP.CNP2])])
    device = core.Device(core.HwVersion.FPGA_v2, mesh)
    model = fill_variables(model_of(
        core, (core.InputData, "in", dict(input_width=8, input_height=8, input_channels=4)),
        *[(core.Conv2D, f"c{i}", dict(filters=4, kernel_size=3)) for i in range(convs)]))
    constraints = core.MapConstraints(device)
    constraints.hwpr_loopitself = True
    model._map(device, hw_only=True, constraints=constraints)
    (sequence,) = model.sequences
    assert [[lay.name for lay in p.layers] for p in sequence.passes] == [[f"c{i}"] for i in range(convs)]
    assert [[c.single_buffer for c in model.get_layer(f"c{i}").mapping.nps] for i in range(convs)] == [[False]] * convs


def skip_model(core, layers, kept, input_data=False, tail=False, width=8, height=8):
    """A chain of `layers` layers of 1x1 convolutions c1, c2, ... after the input layer; the output
    of each layer c<k> of `kept` is added to that of c<k+2>. A tail layer stays in software."""
    first = ((core.InputData, "in", dict(input_width=width, input_height=height, input_channels=8)) if input_data else
             (core.InputConv2D, "in", dict(input_width=8, input_height=8, input_channels=3, filters=8, kernel_size=3)))
    model, i = model_of(core, first), 0
    while len(model.layers) < layers - tail:
        i += 1
        model.add(layer(core, core.Conv2D, f"c{i}", filters=8, kernel_size=1))
        if i - 2 in kept:
            model.add(layer(core, core.Add, f"add{i - 2}"), [model.get_layer(f"c{i - 2}"), model.get_layer(f"c{i}")])
    if tail:
        model.add(layer(core, core.Conv2D, "tail", filters=8, kernel_size=2))  # no NP takes a 2x2 kernel
    for lay in model.layers:
        if "weights" in lay.variables.names:  # all-zero weights are refused
            lay.variables["weights"] = np.ones_like(lay.variables["weights"])
    assert len(model.layers) == layers
    return model


def test_external_memory_holds_the_skip_dma_store(core):
    # c1's store keeps 3 frames plus one per level down to its farthest reader, add1 (3 below):
    # 6 frames of 8 rows x 8 channels of 8 pixels at 8 bits (2 words): 6 x 128 words. Nothing else is external.
    # The program's store record names 2 frames (one fewer than the levels), which is what the extra
    # program memory counts.
    model = skip_model(core, 6, [1], input_data=True)
    model._map(fpga_v2_device(core), hw_only=True)
    assert model.component_count[core.NP.SKIP_DMA_STORE] == 1 and model.external_memory_size == 3072
    assert core.get_program_memory_infos(model.sequences[0].program).extra_program_memory == 2 * 128 * 4
    assert skipdma_faults(model.sequences[0].program) == []


def merge_model(core, rows):
    """1x1 convolutions of 8 filters after an 8x8x8 input "in", and the rows (type, name, inbound names) of the rest."""
    model = model_of(core, (core.InputData, "in", dict(input_width=8, input_height=8, input_channels=8)))
    params = {core.Conv2D: dict(filters=8, kernel_size=1), core.BufferTempConv: dict(filters=8, fifo_size=3),
              core.DepthwiseBufferTempConv: dict(fifo_size=2), core.DepthwiseConv2D: dict(kernel_size=3),
              core.Dense1D: dict(units=8)}
    for layer_type, name, inbounds in rows:
        model.add(layer(core, layer_type, name, **params.get(layer_type, {})), [model.get_layer(n) for n in inbounds])
    return fill_variables(model)


def chain(core, *names):
    return [(core.Conv2D, name, [previous]) for previous, name in zip(("in",) + names, names)]


# Each would map with a skip-DMA store that is never loaded, or a load that reads no store, and lose the merge.
@pytest.mark.parametrize("graph, refusal", [
    ("add_tnp_b", "'m': Bad mapping on skip connection. Its output goes to 't', not to a layer mapped on CNP"),
    ("concatenate_tnp_b", "'m': Bad mapping on skip connection. Its output goes to 't', not to a layer mapped on CNP"),
    ("merge_merge", "'m1': Bad mapping on skip connection. Its output goes to 'm2', not to a layer mapped on CNP"),
    ("nested_merge", "'inner': Bad mapping on skip connection. Its output goes to 'outer', not to a layer mapped on"),
    ("merge_dequantizer", "'m': Bad mapping on skip connection. Its output goes to 'd', not to a layer mapped on CNP"),
    ("merge_two_convolutions", "'m': Bad mapping on skip connection. Its output goes to 'c3' and 'c5': only one layer"),
    ("input_merge", "'m': Bad mapping on skip connection. It reads 'in', which reaches the sequence only through its "
                    "first layer 'c1'."),
])
@pytest.mark.parametrize("hw_only", [True, False])
def test_merges_the_skip_dmas_cannot_carry_are_refused(core, graph, refusal, hw_only):
    c = core
    rows = {
        "add_tnp_b": chain(c, "c1", "c2", "c3") + [(c.Add, "m", ["c1", "c3"]), (c.BufferTempConv, "t", ["m"]),
                                                   (c.Conv2D, "c4", ["t"])],
        "concatenate_tnp_b": chain(c, "c1", "c2", "c3") + [(c.Concatenate, "m", ["c1", "c3"]),
                                                           (c.BufferTempConv, "t", ["m"]), (c.Conv2D, "c4", ["t"])],
        "merge_merge": chain(c, "c1", "c2", "c3") + [(c.Add, "m1", ["c1", "c3"]), (c.Add, "m2", ["m1", "c2"]),
                                                     (c.Conv2D, "c4", ["m2"])],
        "nested_merge": chain(c, "c1", "c2", "c3", "c4") + [(c.Add, "inner", ["c2", "c4"]),
                                                            (c.Add, "outer", ["c1", "inner"]), (c.Conv2D, "c5", ["outer"])],
        "merge_dequantizer": chain(c, "c1", "c2", "c3") + [(c.Add, "m", ["c1", "c3"]), (c.Dequantizer, "d", ["m"])],
        "merge_two_convolutions": chain(c, "c1", "c2") + [(c.Add, "m", ["c1", "c2"]), (c.Conv2D, "c3", ["m"]),
                                                          (c.Conv2D, "c4", ["c3"]), (c.Conv2D, "c5", ["m"]),
                                                          (c.Conv2D, "c6", ["c5"])],
        "input_merge": chain(c, "c1", "c2") + [(c.Add, "m", ["in", "c2"]), (c.Conv2D, "c3", ["m"])],
    }[graph]
    model = merge_model(core, rows)
    x = np.random.default_rng(3).integers(0, 256, (2, 8, 8, 8), dtype=np.uint8)
    # Without hw_only the whole model runs in software: no part before the merge goes to the board.
    refused_or_in_software(core, model, fpga_v2_device(core), x, hw_only,
                           "^" + re.escape("Error when mapping layer " + refusal))


# Each of these once raised whatever hw_only said: a layer with two skip-DMA stores, a store whose
# layer sends its output nowhere, or a store or load the other half of which maps in another
# sequence. `on_board` is what maps without hw_only; the rest runs in software.
@pytest.mark.parametrize("graph, refusal, on_board", [
    ("tnp_b_kept", "Error when mapping layer 'm': Bad mapping on skip connection. Its shallower input 't' is a TNP-B "
                   "layer, whose one skip-DMA store keeps its own frames and cannot keep its output for a merge too.",
     ["c0"]),
    ("kept_for_two_merges", "Error when mapping layer 'm1': Bad mapping on skip connection. Its shallower input 'c1' is "
                            "the shallower input of 'm2' too: a skip-DMA store keeps a layer's output for one merge.",
     []),
    ("equal_depths", "Error when mapping layer 'm2': Bad mapping on skip connection. Its deeper input 'm1' is a merge "
                     "layer, whose output no layer passes on to it.", []),
    ("keeper_sends_nowhere", "Error when mapping layer 'm2': Bad mapping on skip connection. Its shallower input 'm1' is "
                             "kept by the dual-output store of 'c4', whose own output goes to no layer.", []),
    # A cut before c4 (an FNP cannot feed a CNP), where d, feeding nothing, hides m's open branch from
    # the branch count, would leave m's load to a later sequence.
    ("reader_in_a_later_sequence", "Error when mapping layer 'c4': A layer mapped on FNP cannot be directly followed",
     []),
    # A merge no layer reads: named, but for the model's last layer, which no sequence may end on.
    ("merge_read_by_no_layer", "Error when mapping layer 'm': Bad mapping on skip connection. Its output feeds no layer "
                               "mapped on CNP", []),
    ("merge_ends_the_model", "Bad mapping on skip connection. No valid merge layer.", []),
    # c2 would keep a store for m, which runs in software.
    ("merge_of_one_layer_ends_the_model", "Bad mapping on skip connection. No valid merge layer.", ["c1"]),
])
@pytest.mark.parametrize("hw_only", [True, False])
def test_skip_shapes_the_mapping_could_not_build_are_refused(core, graph, refusal, on_board, hw_only):
    c = core
    rows = {
        "tnp_b_kept": chain(c, "c0") + [(c.DepthwiseBufferTempConv, "t", ["c0"]), (c.Conv2D, "c2", ["t"]),
                                        (c.Add, "m", ["t", "c2"]), (c.Conv2D, "z", ["m"])],
        "kept_for_two_merges": chain(c, "c0", "c1") + [(c.Conv2D, "c2", ["c0"]), (c.Add, "m1", ["c1", "c2"]),
                                                       (c.Conv2D, "c4", ["m1"]), (c.Conv2D, "c5", ["c4"]),
                                                       (c.Add, "m2", ["c1", "c5"]), (c.Conv2D, "z", ["m2"])],
        "equal_depths": chain(c, "c1", "c2", "c3") + [(c.Add, "m1", ["c1", "c3"]), (c.Conv2D, "x", ["c3"]),
                                                      (c.Conv2D, "c4", ["m1"]), (c.Add, "m2", ["x", "m1"]),
                                                      (c.Conv2D, "c5", ["m2"])],
        "keeper_sends_nowhere": chain(c, "c1", "c2", "c3") + [(c.Add, "m1", ["c1", "c3"]), (c.Conv2D, "c4", ["m1"]),
                                                              (c.Conv2D, "x", ["c3"]), (c.Conv2D, "y", ["x"]),
                                                              (c.Add, "m2", ["m1", "y"]), (c.Conv2D, "c5", ["m2"])],
        "reader_in_a_later_sequence": chain(c, "c1", "c2", "c3") + [(c.Add, "m", ["c1", "c3"]), (c.Conv2D, "y", ["c2"]),
                                                                    (c.Dense1D, "d", ["y"]), (c.Conv2D, "c4", ["m"])],
        "merge_read_by_no_layer": chain(c, "c1", "c2", "c3") + [(c.Add, "m", ["c1", "c3"]), (c.Conv2D, "c4", ["c3"])],
        "merge_ends_the_model": chain(c, "c1", "c2", "c3") + [(c.Add, "m", ["c1", "c3"])],
        "merge_of_one_layer_ends_the_model": chain(c, "c1", "c2") + [(c.Add, "m", ["c2", "c2"])],
    }[graph]
    model = merge_model(core, rows)
    x = np.random.default_rng(5).integers(0, 256, (2, 8, 8, 8), dtype=np.uint8)
    expected = model.forward(x)
    if hw_only:
        with pytest.raises(RuntimeError, match="^" + re.escape(refusal)):
            model._map(fpga_v2_device(core), hw_only=True)
        assert model.sequences == []
        return
    model._map(fpga_v2_device(core))
    hardware = [s for s in model.sequences if s.backend == core.BackendType.Hardware]
    assert [lay.name for s in hardware for p in s.passes for lay in p.layers] == on_board
    assert [s.backend for s in model.sequences[len(hardware):]] == [core.BackendType.Software]
    assert [skipdma_faults(s.program) for s in hardware] == [[]] * len(hardware)
    if not hardware:
        np.testing.assert_array_equal(model.forward(x), expected)


def small_device(core, nps):
    """`nps` NPs and one skip-DMA engine."""
    NP = core.NP
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1),
                   [NP.Info(NP.Ident(2, 1, i), [NP.CNP1, NP.CNP2, NP.FNP3, NP.TNP_B]) for i in range(nps)],
                   [NP.Info(NP.Ident(1, 1, 3, 4), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD])])
    return core.Device(core.HwVersion.FPGA_v2, mesh)


# The passes a small mesh allows would split what the mapping builder and the recorders can only
# link within one pass: a layer forking into two as deep as each other (an alternate pair), the
# layer behind a merge among them, or a layer that keeps its output for a merge while its other
# reader maps in a later pass, which only the last layer of a pass feeds. The whole-model attempt
# stops at that pass; cut mode, which neither loops nor makes several passes, maps nothing here.
@pytest.mark.parametrize("graph, nps, loop", [("through_a_merge", 2, True), ("fork", 2, True),
                                              ("kept_and_read_later", 4, False)])
@pytest.mark.parametrize("hw_only", [True, False])
def test_passes_the_mapping_could_not_link_are_refused(core, graph, nps, loop, hw_only):
    c = core
    rows = {
        "through_a_merge": chain(c, "L1") + [
            (c.DepthwiseConv2D, "L2", ["L1"]), (c.DepthwiseConv2D, "L3", ["L2"]), (c.Concatenate, "L4", ["L3", "L1"]),
            (c.Conv2D, "L5", ["L3"]), (c.DepthwiseConv2D, "L6", ["L5"]), (c.Conv2D, "L7", ["L4"]),
            (c.Add, "J9", ["L6", "L7"]), (c.Conv2D, "Z", ["J9"])],
        "fork": chain(c, "L0", "L1", "L3") + [(c.Conv2D, "L2", ["L0"]), (c.Concatenate, "L4", ["L2", "L3"]),
                                              (c.Conv2D, "L5", ["L4"])],
        # t feeds nothing; the model's output is z.
        "kept_and_read_later": chain(c, "c1", "c2") + [(c.Conv2D, "k", ["c1"]), (c.Conv2D, "c3", ["c2"]),
                                                       (c.Add, "m", ["k", "c3"]), (c.Conv2D, "t", ["m"]),
                                                       (c.Conv2D, "z", ["k"])],
    }[graph]
    model, device = merge_model(core, rows), small_device(core, nps)
    constraints = core.MapConstraints(device)
    constraints.hwpr_loopitself = loop
    x = np.random.default_rng(7).integers(0, 256, (2, 8, 8, 8), dtype=np.uint8)
    message = f"{rows[0][1]} -> {rows[-1][1]}: could not find a compatible sequence"
    refused_or_in_software(core, model, device, x, hw_only, "^" + re.escape(message), constraints)


# n is the number of layers the attempt maps (the InputData layer is not mapped). The layer after
# the Add, m-th of its pass to need a skip DMA, takes channels n + 4m + 1 to n + 4m + 4, which must
# not pass 254. The whole-model attempt, given every layer, passes it on either side of these
# edges; the cut, given the layers not yet mapped, ends sequences early enough to stay below it,
# so every model maps on the board (but the tail) and its skip-DMA loads and stores pair.
@pytest.mark.parametrize("layers, kept, input_data, tail", [
    (242, [148], False, False),  # c148 and c151 inside one pass: m = 2
    (243, [148], False, False),
    (246, [133], False, False),  # c133 opens its pass: m = 1
    (247, [133], False, False),
    (244, [148], True, False),  # n = 243 besides the InputData layer
    (234, [140, 148], False, False),  # two skip connections in a pass: m = 4
    (235, [140, 148], False, False),
    (260, [230], False, True),
    (260, [200], False, True),  # past 254 in the whole-model attempt, in an earlier pass than the tail
])
def test_skip_dma_channels_past_254_end_the_sequence_before_the_layer(core, layers, kept, input_data, tail):
    model, device = skip_model(core, layers, kept, input_data, tail), fpga_v2_device(core)
    model._map(device, hw_only=not tail)
    hardware = [s for s in model.sequences if s.backend == core.BackendType.Hardware]
    assert len(hardware) > 2 and len(model.sequences) == len(hardware) + tail  # cut; only the tail in software
    assert [skipdma_faults(s.program) for s in hardware] == [[]] * len(hardware)


@pytest.mark.parametrize("watching", [None, "plain", "subclass"])
def test_a_long_model_with_a_skip_connection_is_cut_watched_or_not(core, watching):
    # Whoever watches the mapping, the hooks see the layers of the failed whole-model attempt and
    # then those of each sequence of the cut.
    model = skip_model(core, 247, [148])
    device = fpga_v2_device(core)
    seen = []

    class Watching(core.MapConstraints):
        def next_layer_handler(self, name):
            seen.append(name)

    constraints = {None: None, "plain": core.MapConstraints(device), "subclass": Watching(device)}[watching]
    model._map(device, hw_only=True, constraints=constraints)
    assert {s.backend for s in model.sequences} == {core.BackendType.Hardware}
    assert [l.name for s in model.sequences for p in s.passes for l in p.layers] == [l.name for l in model.layers]
    if watching == "subclass":
        assert seen.count("c151") >= 2 and seen[-1] == "c245"
