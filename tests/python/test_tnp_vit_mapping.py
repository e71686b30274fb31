"""Temporal (TNP-B) and vision-transformer models mapped from Python onto virtual second-generation devices."""
import numpy as np
import pytest

from v2_models import VARIABLE_RANGES, fpga_v2_device, model_of

STEM = dict(input_width=224, input_height=224, input_channels=3, filters=192, kernel_size=16, output_bits=8,
            num_non_patch_tokens=2)
HRC = dict(input_width=8, input_height=8, input_channels=3, filters=8, kernel_size=3)


def filled(core, vit):
    """Every variable in range: the checker's widths; 5-bit shifts and 6-bit signed values in the ViT block."""
    model = model_of(core, (core.Stem, "stem", STEM), (core.VitEncoderBlock, "vit", dict(tokens_to_extract=2))) if vit \
        else model_of(core, (core.InputConv2D, "hrc", HRC), (core.BufferTempConv, "btc", dict(filters=16, fifo_size=3)),
                      (core.DepthwiseBufferTempConv, "dbtc", dict(fifo_size=4)), (core.Dense1D, "dense", dict(units=10)))
    for seed, lay in enumerate(model.layers, 1):
        for name in lay.variables.names:
            current = lay.variables[name]
            lo, hi = VARIABLE_RANGES.get(name, (-32, 31) if current.dtype == np.int8 else (0, 31))
            if name in VARIABLE_RANGES or lay.name == "vit":
                lay.variables[name] = (lo + (np.arange(current.size) * 7 + seed) % (hi - lo + 1)).reshape(
                    current.shape).astype(current.dtype)
    return model


def device(core, vit):
    """The fpga_v2 mesh, with a ViT block in a fifth column for the ViT model."""
    NP, mesh = core.NP, fpga_v2_device(core).mesh
    nps = mesh.nps + ([NP.Info(NP.Ident(5, 1, 0), [NP.VIT_BLOCK])] if vit else [])
    return core.Device(core.HwVersion.FPGA_v2, NP.Mesh(core.IpVersion.v2, mesh.dma_event, mesh.dma_conf, nps, mesh.skip_dmas))


@pytest.mark.parametrize("vit", [False, True])
def test_temporal_and_vit_models_map_to_the_same_program_twice(core, vit):
    models = [filled(core, vit) for _ in range(2)]
    for model in models:
        model._map(device(core, vit), hw_only=True)
    assert models[0].sequences[0].program == models[1].sequences[0].program
    NP = core.NP  # each TNP-B layer keeps its frames through a skip-DMA store and load
    expected = {NP.VIT_BLOCK: 1} if vit else {NP.TNP_B: 2, NP.FNP3: 1, NP.SKIP_DMA_STORE: 2, NP.SKIP_DMA_LOAD: 2}
    assert {k: v for k, v in models[0].component_count.items() if k != NP.HRC} == expected
