"""Temporal (TNP-B) and vision-transformer models mapped from Python onto virtual second-generation devices."""
import numpy as np
import pytest

from v2_models import VARIABLE_RANGES, fpga_v2_device, model_of


def filled(model):
    """Every variable in range: the checker's widths, and 5-bit shifts or 6-bit signed values in the ViT block."""
    for seed, lay in enumerate(model.layers, 1):
        for name in lay.variables.names:
            current = lay.variables[name]
            ranges = VARIABLE_RANGES.get(name, ((-32, 31) if current.dtype == np.int8 else (0, 31)) if lay.name == "vit" else None)
            if ranges:
                values = ranges[0] + (np.arange(current.size) * 7 + seed) % (ranges[1] - ranges[0] + 1)
                lay.variables[name] = values.reshape(current.shape).astype(current.dtype)
    return model


def vit_device(core):
    """The fpga_v2 mesh with a ViT block in a fifth column."""
    NP, mesh = core.NP, fpga_v2_device(core).mesh
    nps = mesh.nps + [NP.Info(NP.Ident(5, 1, 0), [NP.VIT_BLOCK])]
    return core.Device(core.HwVersion.FPGA_v2, NP.Mesh(core.IpVersion.v2, mesh.dma_event, mesh.dma_conf, nps, mesh.skip_dmas))


@pytest.mark.parametrize("vit", [False, True])
def test_temporal_and_vit_models_map_to_the_same_program_twice(core, vit):
    def build():
        if vit:
            return filled(model_of(core, (core.Stem, "stem", dict(input_width=224, input_height=224, input_channels=3,
                                                                  filters=192, kernel_size=16, output_bits=8,
                                                                  num_non_patch_tokens=2)),
                                   (core.VitEncoderBlock, "vit", dict(tokens_to_extract=2, num_classes=10))))
        return filled(model_of(core, (core.InputConv2D, "hrc", dict(input_width=8, input_height=8, input_channels=3,
                                                                    filters=8, kernel_size=3)),
                               (core.BufferTempConv, "btc", dict(filters=16, fifo_size=3)),
                               (core.DepthwiseBufferTempConv, "dbtc", dict(fifo_size=4)),
                               (core.Dense1D, "dense", dict(units=10))))
    programs = []
    for _ in range(2):
        model = build()
        model._map(vit_device(core) if vit else fpga_v2_device(core), hw_only=True)
        (sequence,) = model.sequences
        programs.append(sequence.program)
        assert core.get_program_memory_infos(sequence.program).program_memory == len(sequence.program_parts.program_data)
    assert programs[0] == programs[1]
    expected = {core.NP.HRC: 1, core.NP.VIT_BLOCK: 1} if vit else {core.NP.HRC: 1, core.NP.TNP_B: 2, core.NP.FNP3: 1}
    assert {k: v for k, v in model.component_count.items() if k in expected} == expected
    if vit:
        model.get_layer("vit").variables["norm_mha_output_shift"] = np.full(192, 40, np.int8)
        with pytest.raises(RuntimeError, match="'vit': 40 cannot fit in a 6 bits signed integer"):
            model._map(vit_device(core), hw_only=True)
