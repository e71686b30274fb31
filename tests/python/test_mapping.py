import gc
import re

import pytest

from v2_models import conv_model, fpga_v2_device, fpga_v2_mesh

PROGRAM_PARTS_DOC = (
    "\n      Represents a program splitted in different parts.\n\n      program_info is the program part containing "
    "information on how to program the\n      device.\n      program_data is the program part containing the program "
    "data required by nuvra\n      to configure the IP.\n"
)
SEQUENCE_DOC = (
    "\n          Represents a sequence of layers.\n\n          Sequences can be mapped in Software or on a Device.\n"
    "          "
)
PASS_DOC = (
    "\n      Represents a subset of the Sequence.\n\n      Hardware Sequences can typically be split into multiple "
    "passes on devices\n      that support hardware partial reconfiguration feature, reducing the\n      intervention "
    "of the software during inference.\n      "
)
SEQUENCE_PROPERTY_DOCS = {
    "passes": "Get the list of passes in this sequence.",
    "backend": "The backend type for this Sequence.",
    "program": (
        "\n             Get the hardware program for this sequence.\n\n             Returns None if the Sequence is "
        "not compatible with the selected\n             Device.\n\n             :return: a bytes buffer or None\n"
        "          "
    ),
    "program_parts": "Get the program, splitted in different parts",
    "name": "The name of the sequence",
}
MEMORY_DOCS = {
    "input_memory": "memory required (in bytes) for one input",
    "input_descriptor_memory": "memory required (in bytes) for one input descriptor",
    "output_memory": "memory required (in bytes) for one output",
    "program_memory": "memory required (in bytes) for program",
    "extra_program_memory": None,
    "program_descriptors_memory": "memory required (in bytes) for program descriptors",
}
NON_INPUT_LAYERS = ["hrc", "conv", "dw", "dense"]


@pytest.fixture
def mapped(core):
    model = conv_model(core)
    model._map(device=fpga_v2_device(core))
    return model


def single_np_device(core):
    NP = core.NP
    nps = [NP.Info(NP.Ident(2, 1, 0), [NP.Type.CNP1, NP.Type.CNP2, NP.Type.FNP3])]
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), nps)
    return core.Device(core.HwVersion.FPGA_v2, mesh)


def idents(layer):
    return [(c.ident.col, c.ident.row, c.ident.id) for c in layer.mapping.nps]


def test_sequence_classes(core):
    assert core.ProgramParts.__doc__ == PROGRAM_PARTS_DOC
    assert core.Sequence.__doc__ == SEQUENCE_DOC
    assert core.Pass.__doc__ == PASS_DOC
    for name, doc in SEQUENCE_PROPERTY_DOCS.items():
        assert getattr(core.Sequence, name).__doc__ == doc
    assert core.Pass.layers.__doc__ == "Get the list of layers in this pass."
    for cls in (core.ProgramParts, core.Sequence, core.Pass):
        with pytest.raises(TypeError):
            cls()


def test_mapped_model_exposes_its_hardware_sequence(core, mapped):
    assert isinstance(mapped.device, core.Device)
    assert mapped.device.desc == "VirtualDevice/BC.A2.001.000"
    (sequence,) = mapped.sequences
    assert type(sequence) is core.Sequence
    assert sequence.backend == core.BackendType.Hardware
    assert sequence.name == "HW/hrc-dense"
    program = sequence.program
    assert isinstance(program, bytes) and len(program) > 0

    parts = sequence.program_parts
    assert type(parts) is core.ProgramParts
    assert parts.program_info + parts.program_data == program
    # Each part carries its own little-endian size prefix.
    for part in (parts.program_info, parts.program_data):
        assert int.from_bytes(part[:4], "little") == len(part) - 4

    passes = sequence.passes
    assert passes and all(type(p) is core.Pass for p in passes)
    assert [l.name for p in passes for l in p.layers] == NON_INPUT_LAYERS
    assert passes[0].layers[0] is mapped.get_layer("hrc")
    again = sequence.passes
    assert again is not passes and [p.layers for p in again] == [p.layers for p in passes]


def test_views_stay_valid_after_the_model_goes(core):
    model = conv_model(core)
    model._map(fpga_v2_device(core))
    sequence = model.sequences[0]
    parts = sequence.program_parts
    program = sequence.program
    del model, sequence
    gc.collect()
    assert parts.program_info + parts.program_data == program


def test_program_memory_infos(core, mapped):
    sequence = mapped.sequences[0]
    infos = core.get_program_memory_infos(sequence.program)
    assert re.fullmatch(
        r"<nuvra\.ProgramMemoryRequired\(input_memory=\d+B, input_descriptor_memory=\d+B, output_memory=\d+B, "
        r"program_memory=\d+B, extra_program_memory=\d+B, program_descriptors_memory=\d+B\)>", repr(infos))
    assert str(infos) == repr(infos)
    assert infos.input_memory == 32 * 32 * 3  # one 8-bit input, whole words
    assert infos.output_memory == 12  # ten 8-bit outputs, rounded up to words
    assert infos.input_descriptor_memory == 32 * len(sequence.passes)
    assert infos.program_memory == len(sequence.program_parts.program_data)
    assert infos.extra_program_memory == 0
    assert "extra_program_memory=0B," in repr(infos)
    assert infos.program_descriptors_memory > 0 and infos.program_descriptors_memory % 32 == 0


def test_program_memory_class(core, mapped):
    assert core.ProgramMemoryRequired.__doc__ is None
    for name, doc in MEMORY_DOCS.items():
        assert (getattr(core.ProgramMemoryRequired, name).__doc__ or None) == doc
    assert "Get the memory requirements for the given program" in core.get_program_memory_infos.__doc__
    infos = core.get_program_memory_infos(mapped.sequences[0].program)
    for name in MEMORY_DOCS:
        with pytest.raises(AttributeError):
            setattr(infos, name, 1)
    with pytest.raises(TypeError):
        core.ProgramMemoryRequired()


@pytest.mark.parametrize("call, error", [
    (lambda core, p: core.get_program_memory_infos(bytearray(p)), TypeError),
    (lambda core, p: core.get_program_memory_infos(p.decode("latin-1")), TypeError),
    (lambda core, p: core.get_program_memory_infos(program=p), TypeError),
    (lambda core, p: core.get_program_memory_infos(p[:len(p) // 2]), ValueError),
    (lambda core, p: core.get_program_memory_infos(b""), ValueError),
])
def test_program_memory_refusals(core, mapped, call, error):
    with pytest.raises(error):
        call(core, mapped.sequences[0].program)


def test_multi_pass_sequence(core):
    model = conv_model(core)
    device = single_np_device(core)
    constraints = core.MapConstraints(device)
    constraints.hwpr_loopitself = True
    model._map(device, True, constraints)
    (sequence,) = model.sequences
    assert len(sequence.passes) > 1
    assert [l.name for p in sequence.passes for l in p.layers] == NON_INPUT_LAYERS
    infos = core.get_program_memory_infos(sequence.program)
    assert infos.input_descriptor_memory == 32 * len(sequence.passes)


def components_of(model):
    """Counts per type from the layers' own mapping views."""
    counts = {}
    for lay in model.layers:
        if lay.mapping is None:
            continue
        for c in lay.mapping.nps + lay.mapping.skipdma_loads + lay.mapping.skipdma_stores[:1]:
            counts[c.type] = counts.get(c.type, 0) + 1
    return counts


def test_component_count(core, mapped):
    NP = core.NP
    counts = mapped.component_count
    assert counts == {NP.Type.HRC: 1, NP.Type.CNP1: 2, NP.Type.FNP3: 1}
    assert list(counts) == sorted(counts, key=int)
    assert counts == components_of(mapped)


def test_external_memory_size(core, mapped):
    assert mapped.external_memory_size == 0  # FNP3 keeps its weights inside
    model = conv_model(core)
    NP = core.NP
    model._map(fpga_v2_device(core, fnp_types=[NP.Type.CNP1, NP.Type.CNP2, NP.Type.FNP2]))
    expected = sum(c.mem_info.external_size for lay in model.layers for c in lay.mapping.nps)
    assert model.component_count[NP.Type.FNP2] == 1
    assert expected > 0 and model.external_memory_size == expected


def test_mapping_is_deterministic(core, mapped):
    again = conv_model(core)
    again._map(fpga_v2_device(core))
    assert again.sequences[0].program == mapped.sequences[0].program


class ReversedChoice:
    """Mixed into a MapConstraints subclass: takes the last candidates and records each call."""

    def __init__(self, device):
        super().__init__(device)
        self.calls = []
        self.named = []

    def next_layer_handler(self, name):
        self.named.append(name)

    def select_nps(self, source_nps, num_nps, type):
        self.calls.append((len(source_nps), num_nps, type))
        return list(reversed(source_nps))[:num_nps]


def test_python_constraints_steer_the_placement(core):
    Steering = type("Steering", (ReversedChoice, core.MapConstraints), {})
    model = conv_model(core)
    device = fpga_v2_device(core)
    model._map(device)
    first = {name: idents(model.get_layer(name)) for name in ("conv", "dw", "dense")}
    assert first["conv"] == [(1, 2, 0)]

    constraints = Steering(device)
    model._map(device, hw_only=True, constraints=constraints)
    assert constraints.named[-3:] == ["conv", "dw", "dense"]
    assert [t for _, _, t in constraints.calls] == [core.NP.Type.CNP1, core.NP.Type.CNP1, core.NP.Type.FNP3]
    # The last NPs of the mesh, in the order the override gave them.
    assert idents(model.get_layer("conv")) == [(4, 3, 3)]
    assert idents(model.get_layer("dw")) == [(4, 2, 3)]
    assert idents(model.get_layer("dense")) == [(4, 3, 2)]


def test_layer_mapping_after_mapping_and_remapping(core):
    Steering = type("Steering", (ReversedChoice, core.MapConstraints), {})
    model = conv_model(core)
    conv = model.get_layer("conv")
    assert conv.mapping is None
    device = fpga_v2_device(core)
    model._map(device)
    old_mapping = conv.mapping
    old_sequences = model.sequences
    assert idents(conv) == [(1, 2, 0)]

    model._map(device, False, Steering(device))
    assert idents(conv) == [(4, 3, 3)]
    assert [(c.ident.col, c.ident.row, c.ident.id) for c in old_mapping.nps] == [(1, 2, 0)]
    # Dropping the sequences of the first mapping leaves the current one in place.
    del old_sequences
    gc.collect()
    assert idents(conv) == [(4, 3, 3)]
    assert mapped_count(model) == 4

    model.pop_layer()  # an edit drops the mapping
    assert model.sequences == [] and model.device is None
    assert all(lay.mapping is None for lay in model.layers)
    assert model.component_count == {} and model.external_memory_size == 0


def mapped_count(model):
    return sum(1 for lay in model.layers if lay.mapping is not None)


def test_wrong_count_from_select_nps_fails_the_mapping(core):
    class OneTooMany(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return source_nps[:num_nps + 1]

    model = conv_model(core)
    device = fpga_v2_device(core)
    with pytest.raises(RuntimeError) as info:
        model._map(device, True, OneTooMany(device))
    assert str(info.value) == "conv : not enough NPs available. 1 are needed but only 2 are available."
    assert model.sequences == [] and model.device is None

    # Without hw_only the layers the back end could not take run in software.
    model._map(device, False, OneTooMany(device))
    software = model.sequences[-1]
    assert software.backend == core.BackendType.Software
    assert software.program is None
    assert [l.name for p in software.passes for l in p.layers][-1] == "dense"


def test_errors_raised_by_an_override_reach_the_caller(core):
    class Failing(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            raise KeyError("no choice")

    model = conv_model(core)
    device = fpga_v2_device(core)
    with pytest.raises(KeyError):
        model._map(device, True, Failing(device))
    model._map(device)  # the model can be mapped again afterwards
    assert mapped_count(model) == 4


def test_mapping_refusals(core):
    model = conv_model(core)
    NP = core.NP
    v1_mesh = NP.Mesh(core.IpVersion.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1),
                      [NP.Info(NP.Ident(2, 1, 0), [NP.Type.CNP1, NP.Type.FNP3])])
    v1_device = core.Device(core.HwVersion.VLQ7300_v1, v1_mesh)
    for hw_only in (True, False):
        with pytest.raises(RuntimeError) as info:
            model._map(v1_device, hw_only)
        assert str(info.value) == "No back end for IP version v1."
    with pytest.raises(ValueError):
        model._map(None)
    with pytest.raises(TypeError):
        model._map(fpga_v2_mesh(core))
    assert model.sequences == [] and model.device is None
