"""What a second-generation program cannot record is refused when the model is mapped, naming the
layer and the limit: `_map` with hw_only=True raises it, and without it the layers from the refused
one on run in software, computing what they computed before. A sequence that cannot hold a layer
is cut before it instead."""
import re

import numpy as np
import pytest

from map_outcomes import refused_or_in_software
from test_mapping import skip_model
from v2_models import fill_variables, fpga_v2_device, model_of

MIB = 1 << 20


def mesh_device(core, nodes, weight_sram=None, skip_channels=4, fnp2=True):
    """`nodes` nodes of four NPs from column 2, three rows a column (CNP1, CNP2, FNP3 and TNP-B; FNP2
    for id 3 unless `fnp2` is false), two skip-DMA engines, and the given weight SRAM (bytes per two NPs)."""
    NP = core.NP
    full = [NP.CNP1, NP.CNP2, NP.FNP3, NP.TNP_B]
    last = [NP.CNP1, NP.CNP2, NP.FNP2] if fnp2 else full
    nps = [NP.Info(NP.Ident(2 + n // 3, 1 + n % 3, i), last if i == 3 else full) for n in range(nodes) for i in range(4)]
    skip_dmas = [NP.Info(NP.Ident(col, 1, 3, skip_channels), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD]) for col in (1, 2)]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), nps, skip_dmas)
    if weight_sram:
        mesh.np_weight_sram_size = weight_sram
    return core.Device(core.HwVersion.FPGA_v2, mesh)


def alone(core, layer_type, shape, **params):
    """The layer "t" of `layer_type` alone after an input of `shape` (width, height, channels)."""
    w, h, c = shape
    return fill_variables(model_of(core, (core.InputData, "in", dict(input_width=w, input_height=h, input_channels=c)),
                                   (layer_type, "t", params)))


def hrc_model(core, channels, **params):
    """An InputConv2D "t" over a 16x16 image of `channels` channels, then a convolution."""
    return fill_variables(model_of(core, (core.InputConv2D, "t", dict(input_width=16, input_height=16,
                                                                       input_channels=channels, filters=8,
                                                                       kernel_size=3, **params)),
                                   (core.Conv2D, "c", dict(filters=8, kernel_size=3))))


def per_layer(core, device, **filters):
    """Constraints that split the named layers by at most that many filters an NP."""
    class PerLayer(core.MapConstraints):
        def next_layer_handler(self, name):
            self.cnp_max_filters = filters.get(name, self.cnp_max_filters_default)
    return PerLayer(device)


def convs(core, rows, input_shape=(4, 4, 1)):
    """Rows (name, filters, inbound names) after an input "in": a 1x1 convolution, or an Add when filters is None."""
    w, h, c = input_shape
    model = model_of(core, (core.InputData, "in", dict(input_width=w, input_height=h, input_channels=c)))
    for name, filters, inbounds in rows:
        kind, params = (core.Add, {}) if filters is None else (core.Conv2D, dict(filters=filters, kernel_size=1))
        model.add(core.Layer(core.LayerParams(kind, params), name), [model.get_layer(n) for n in inbounds])
    return fill_variables(model)


def alternate_pair(core):
    """c1 -> {s, d1 -> d2}; Add(s, d2) -> c4: s and d1, of 128 filters, run side by side."""
    return convs(core, [("c1", 4, ["in"]), ("s", 128, ["c1"]), ("d1", 128, ["c1"]), ("d2", 128, ["d1"]),
                        ("add", None, ["s", "d2"]), ("c4", 4, ["add"])])


# A transposed part at input column 2048 would start its output at column 4096 (12 bits): past 2077
# columns no parts of one size up to 32 columns end the layer before it. An FNP3's image and an NP's
# weights each travel as one DMA block of at most 65533 words (4096 neurons of 16 words, on a mesh
# without an FNP2 to take them; one filter of 12 units of 3 words per channel, of 56 units of 4 words
# for a 7x7 kernel).
REFUSED = {
    "Conv2DTranspose 2078 wide": (lambda c: alone(c, c.Conv2DTranspose, (2078, 1, 1), filters=1, kernel_size=4),
                                  lambda c: fpga_v2_device(c, columns=7), None,
                                  "'t': The maximum first output column of an NP is 4095 (got 4096)"),
    "DepthwiseConv2DTranspose 2078 wide": (lambda c: alone(c, c.DepthwiseConv2DTranspose, (2078, 1, 1), kernel_size=4),
                                           lambda c: fpga_v2_device(c, columns=7), None,
                                           "'t': The maximum first output column of an NP is 4095 (got 4096)"),
    "Dense1D of 4096 units": (lambda c: alone(c, c.Dense1D, (1, 1, 56), units=4096),
                              lambda c: mesh_device(c, 4, 400000, fnp2=False), None,
                              "'t': The maximum FNP3 memory image is 65533 words (got 65536)"),
    "Conv2DTranspose of 1821 channels": (lambda c: alone(c, c.Conv2DTranspose, (32, 1, 1821), filters=1, kernel_size=4),
                                         lambda c: mesh_device(c, 4, MIB), None,
                                         "'t': The maximum weight image of an NP, in 32-bit words, is 65533 (got 65556 "
                                         "for one filter)"),
    "Conv2D 7x7 of 2048 channels": (lambda c: alone(c, c.Conv2D, (4, 4, 2048), filters=8, kernel_size=7),
                                    lambda c: mesh_device(c, 4, 4 * MIB), None,
                                    "'t': The maximum weight image of an NP, in 32-bit words, is 65533 (got 458752 "
                                    "for one filter)"),
    # The HRC pools by max only and reads 1 or 3 channels, which the InputConv2D rules do not check.
    "InputConv2D with global average pooling": (
        lambda c: hrc_model(c, 1, pool_type=int(c.PoolType.Average), pool_size=-1), fpga_v2_device, None,
        "'t': pool_type should be 0 (NoPooling) or 1 (Max) (got 2)"),
    "InputConv2D of 2 channels": (lambda c: hrc_model(c, 2), fpga_v2_device, None,
                                  "'t': input_channels should be 1 or 3 (got 2)"),
    "InputConv2D of 4 channels": (lambda c: hrc_model(c, 4), fpga_v2_device, None,
                                  "'t': input_channels should be 1 or 3 (got 4)"),
    # One filter an NP; no sequence can end between the fork and the merge of the pair.
    "alternate layers of 256 NPs": (alternate_pair, lambda c: mesh_device(c, 80),
                                    lambda c, d: per_layer(c, d, s=1, d1=1),
                                    "'d1': It runs beside layer 's' on 256 NPs in all; two layers that run side by side "
                                    "can take at most 255 NPs."),
}


@pytest.mark.parametrize("case", list(REFUSED))
@pytest.mark.parametrize("hw_only", [True, False])
def test_what_a_program_cannot_record_is_refused_naming_the_layer(core, case, hw_only):
    build, make_device, make_constraints, refusal = REFUSED[case]
    model, device = build(core), make_device(core)
    constraints = make_constraints(core, device) if make_constraints else None
    shape = model.layers[0].parameters
    x = np.random.default_rng(7).integers(
        0, 256, (2, shape.input_width, shape.input_height, shape.input_channels), dtype=np.uint8)
    refused_or_in_software(core, model, device, x, hw_only,
                           "^" + re.escape("Error when mapping layer " + refusal) + "$", constraints)


# One step inside each limit everything maps on the board; a layer whose weights need more than
# one block on one NP is split by filters (Conv2D of 16 filters: two NPs of 8, 36864 words each;
# BufferTempConv of 256: six NPs of 43), and transposed parts narrower than the 32 columns of the
# default limit keep every output column within 4095 (the last part starts at 2046), by the user's
# limit or, at the default one, by the split itself.
FITTING = {
    "Conv2DTranspose 2048 wide": (lambda c: alone(c, c.Conv2DTranspose, (2048, 1, 1), filters=1, kernel_size=4),
                                  lambda c: fpga_v2_device(c, columns=7), None, {"t": 64}),
    "Conv2DTranspose 2049 wide in parts of 31": (
        lambda c: alone(c, c.Conv2DTranspose, (2049, 1, 1), filters=1, kernel_size=4),
        lambda c: fpga_v2_device(c, columns=7), 31, {"t": 67}),
    "Conv2DTranspose 2049 wide": (lambda c: alone(c, c.Conv2DTranspose, (2049, 1, 1), filters=1, kernel_size=4),
                                  lambda c: fpga_v2_device(c, columns=7), None, {"t": 67}),
    "DepthwiseConv2DTranspose 2077 wide": (
        lambda c: alone(c, c.DepthwiseConv2DTranspose, (2077, 1, 1), kernel_size=4),
        lambda c: fpga_v2_device(c, columns=7), None, {"t": 67}),
    "Dense1D of 4095 units": (lambda c: alone(c, c.Dense1D, (1, 1, 56), units=4095),
                              lambda c: mesh_device(c, 4, 400000), None, {"t": 1}),
    "Conv2DTranspose of 1820 channels": (lambda c: alone(c, c.Conv2DTranspose, (32, 1, 1820), filters=1, kernel_size=4),
                                         lambda c: mesh_device(c, 4, MIB), None, {"t": 1}),
    "Conv2D 3x3 of 2048 channels, 16 filters": (
        lambda c: alone(c, c.Conv2D, (4, 4, 2048), filters=16, kernel_size=3),
        lambda c: mesh_device(c, 4, 4 * MIB), None, {"t": 2}),
    "BufferTempConv of 256 filters": (
        lambda c: fill_variables(model_of(c, (c.InputData, "in", dict(input_width=4, input_height=4, input_channels=256)),
                                          (c.Conv2D, "c", dict(filters=256, kernel_size=1)),
                                          (c.BufferTempConv, "t", dict(filters=256, fifo_size=15)),
                                          (c.Conv2D, "z", dict(filters=4, kernel_size=1)))),
        lambda c: mesh_device(c, 4, 4 * MIB), None, {"c": 1, "t": 6, "z": 1}),
}


@pytest.mark.parametrize("case", list(FITTING))
def test_one_step_inside_each_limit_maps_on_the_board(core, case):
    build, make_device, max_width, nps = FITTING[case]
    model, device = build(core), make_device(core)
    constraints = core.MapConstraints(device)
    if max_width:
        constraints.cnp_max_width = max_width
    model._map(device, hw_only=True, constraints=constraints)
    assert {name: len(model.get_layer(name).mapping.nps) for name in nps} == nps


def test_a_chain_longer_than_a_pass_numbers_is_cut_into_sequences(core):
    # 260 layers of one NP each fit 70 nodes at once, but a pass numbers its layers up to 254 and
    # counts 254 programs with the SCC's: the first sequence ends before c253, both ways.
    model = convs(core, [(f"c{i}", 8, [f"c{i - 1}" if i else "in"]) for i in range(260)], (8, 8, 8))
    for hw_only in (True, False):
        model._map(mesh_device(core, 70), hw_only=hw_only)
        assert [[lay.name for p in s.passes for lay in p.layers] for s in model.sequences] == [
            [f"c{i}" for i in range(253)], [f"c{i}" for i in range(253, 260)]]
        assert {s.backend for s in model.sequences} == {core.BackendType.Hardware}


def test_a_layer_too_wide_to_open_a_later_pass_opens_a_sequence(core):
    # a (200 NPs) and b fill a pass; c, on 128 NPs, would take over NPs of a, which word 41 counts
    # in 7 bits: the whole-model attempt is refused, and the model is cut before c instead.
    model = convs(core, [("a", 200, ["in"]), ("b", 4, ["a"]), ("c", 128, ["b"])])
    device = mesh_device(core, 64)
    for hw_only in (True, False):
        model._map(device, hw_only=hw_only, constraints=per_layer(core, device, a=1, c=1))
        assert [[lay.name for p in s.passes for lay in p.layers] for s in model.sequences] == [["a", "b"], ["c"]]
        assert len(model.get_layer("c").mapping.nps) == 128


def test_skip_dma_engines_of_16_channels_map(core):
    # 17 channels and more are refused when the mesh is made (test_bad_input).
    model = skip_model(core, 6, [1], input_data=True)
    model._map(mesh_device(core, 4, skip_channels=16), hw_only=True)
    assert model.component_count[core.NP.SKIP_DMA_STORE] == 1


# A larger weight SRAM lets an FNP3 take a Dense1D whose image it holds, but never one past the one
# DMA block an FNP3 loads (65533 words): an FNP2 takes that at every size. 56 channels take 16 words
# a neuron, 64 take 17; the FNP3 holds 12288 words by default, 48000 with 200,000 bytes, 96000 with
# 400,000.
@pytest.mark.parametrize("channels, units, fnp3_from", [(56, 4096, None), (64, 4095, None), (56, 4095, 400000)])
def test_a_larger_weight_sram_maps_what_a_smaller_maps(core, channels, units, fnp3_from):
    srams = [None, 200000, 400000, MIB, 4 * MIB]
    types = []
    for sram in srams:
        model = alone(core, core.Dense1D, (1, 1, channels), units=units)
        model._map(mesh_device(core, 4, sram), hw_only=True)
        types += [c.type for c in model.get_layer("t").mapping.nps]
    first = len(srams) if fnp3_from is None else srams.index(fnp3_from)
    assert types == [core.NP.FNP2] * first + [core.NP.FNP3] * (len(srams) - first)


def test_a_mesh_the_mapping_cannot_number_is_refused_when_made(core):
    """The mapping numbers a mesh's components in 16 bits: one for each type of each NP, two for each skip-DMA
    channel. 65535 map; one more is refused by NP.Mesh, made or changed, which leaves the mesh as it was."""
    NP = core.NP
    types = [NP.CNP1, NP.CNP2, NP.FNP3, NP.TNP_B]

    def nps(n):  # n types, four an NP
        return [NP.Info(NP.Ident(2 + i // 3200, 1 + i // 16 % 200, i % 16), types[:min(4, n - 4 * i)])
                for i in range((n + 3) // 4)]
    skip = [NP.Info(NP.Ident(1, 1, 3, 1), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD])]
    e, c = NP.Ident(1, 1, 0), NP.Ident(1, 1, 1)
    mesh = NP.Mesh(core.IpVersion.v2, e, c, nps(65533), skip)
    model = fill_variables(model_of(core, (core.InputData, "in", dict(input_width=8, input_height=8, input_channels=8)),
                                   (core.Conv2D, "c", dict(filters=8, kernel_size=3))))
    model._map(core.Device(core.HwVersion.FPGA_v2, mesh), hw_only=True)
    assert [s.backend for s in model.sequences] == [core.BackendType.Hardware]
    refusal = ("^The mesh has {} components \\(one for each type of each NP, two for each skip-DMA channel\\), but a "
               "mapping numbers at most 65535\\.$")
    before = (mesh.nps, mesh.skip_dmas)
    for call, count in ((lambda: NP.Mesh(core.IpVersion.v2, e, c, nps(65536)), 65536),
                        (lambda: setattr(mesh, "nps", nps(65534)), 65536),
                        (lambda: setattr(mesh, "skip_dmas", [NP.Info(NP.Ident(1, 1, 3, 2), skip[0].types)]), 65537)):
        with pytest.raises(ValueError, match=refusal.format(count)):
            call()
    assert (mesh.nps, mesh.skip_dmas) == before
