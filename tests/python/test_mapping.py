import gc
import re

import numpy as np
import pytest

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


@pytest.mark.parametrize("watching", [None, "plain", "subclass"])
def test_a_long_model_with_a_skip_connection_is_refused_watched_or_not(core, watching):
    # The whole-list attempt, which fails, numbers the skip-DMA channels after all 247 layers: past
    # 254. Cut mode alone would map it; the refusal stands whoever watches the mapping.
    model = model_of(core, (core.InputConv2D, "in", dict(input_width=8, input_height=8, input_channels=3, filters=8,
                                                         kernel_size=3)))
    for i in range(1, 246):
        model.add(layer(core, core.Conv2D, f"c{i}", filters=8, kernel_size=1))
        if i == 150:
            model.add(layer(core, core.Add, "add"), [model.get_layer("c148"), model.get_layer("c150")])
    for lay in model.layers:
        if "weights" in lay.variables.names:  # all-zero weights are refused
            lay.variables["weights"] = np.ones_like(lay.variables["weights"])
    device = fpga_v2_device(core)

    class Watching(core.MapConstraints):
        pass

    constraints = {None: None, "plain": core.MapConstraints(device), "subclass": Watching(device)}[watching]
    with pytest.raises(RuntimeError, match=re.escape(
            "Too many layers to map: skip-DMA channels 256 to 259 of layer c151 exceed 254.")):
        model._map(device, hw_only=True, constraints=constraints)
    assert model.sequences == []
