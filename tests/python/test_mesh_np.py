import gc
import inspect
import pickle

import pytest

TYPE_MEMBERS = [
    ("HRC", 1, "High Resolution Convolution"),
    ("CNP1", 2, "Convolutional Neural Processor Type 1"),
    ("CNP2", 3, "Convolutional Neural Processor Type 2"),
    ("FNP2", 4, "FullyConnected Neural Processor (external memory)"),
    ("FNP3", 5, "FullyConnected Neural Processor (internal memory)"),
    ("VIT_BLOCK", 6, "Vision Transformer Block"),
    ("TNP_B", 8, "Temporal Neural Processor Buffered"),
    ("TNP_R", 9, "Temporal Neural Processor Recurrent"),
    ("SKIP_DMA_STORE", 7, "Skip DMA store engine"),
    ("SKIP_DMA_LOAD", 10, "Skip DMA load engine"),
]


@pytest.fixture
def NP(core):
    return core.NP


def info(NP, col, row, id_, *types):
    return NP.Info(NP.Ident(col, row, id_), list(types))


def endpoints(NP):
    return NP.Ident(0, 0, 1), NP.Ident(0, 0, 2)


# --- submodule --------------------------------------------------------------------------------------------------

def test_submodule_and_registration_order(core, NP):
    assert NP.__doc__ == "Neural Processor"
    assert NP.__name__ == "nuvra.core.NP"
    expected = ["Mesh", "Ident", "Type"] + [m[0] for m in TYPE_MEMBERS] + ["Info", "NpSpace", "MemoryInfo",
                                                                          "Component"]
    assert [n for n in vars(NP) if n in expected] == expected
    # __init__ has a slot in the type's dictionary from the start, so only the rest shows the order.
    members = ["dma_event", "dma_conf", "skip_dmas", "nps", "np_input_sram_size", "np_weight_sram_size", "__eq__"]
    assert [n for n in vars(NP.Mesh) if n in members] == members


def test_class_docstrings(NP):
    docs = {
        NP.Mesh: "Represents the layout of a mesh of Neural Processors.\n\n"
                 "Contains configuration and event endpoints related to DMA (Direct Memory Access)\n"
                 "for managing data transfer across the mesh.",
        NP.Ident: "Represents the unique identifier for a Hardware Component.\n\n"
                  "This includes the component position on the mesh (row, column, id) and\n"
                  "the channel index for skip DMAs.",
        NP.Info: "Describes a hardware component.\n\n"
                 "Includes its unique identifier and the set of hardware types it supports.",
        NP.NpSpace: "Represents the part of the input used by this Neural Processor if a layer is split over "
                    "several NPs.",
        NP.MemoryInfo: "Represents memory usage information for a Hardware Component.\n\n"
                       "This includes memory used by inputs, weights, and any external buffers.\n"
                       "All sizes are in bytes.",
        NP.Component: "An Nuvra component",
    }
    for cls, doc in docs.items():
        assert inspect.cleandoc(cls.__doc__) == doc, cls.__name__
    type_doc = "Harwdare Component type\n\nMembers:" + "".join(f"\n\n  {n} : {d}" for n, _, d in TYPE_MEMBERS)
    assert NP.Type.__doc__ == type_doc


def test_property_docstrings(NP):
    docs = [
        (NP.Mesh, "dma_event", "DMA event endpoint"),
        (NP.Mesh, "dma_conf", "DMA configuration endpoint"),
        (NP.Mesh, "skip_dmas", "Skip DMAs"),
        (NP.Mesh, "nps", "Neural processors"),
        (NP.Mesh, "np_input_sram_size",
         "Size of shared input packet SRAM in bytes available inside the mesh for each two NPs."),
        (NP.Mesh, "np_weight_sram_size",
         "Size of shared filter SRAM in bytes available inside the mesh for each two NPs."),
        (NP.Ident, "col", "Hardware Component column number"),
        (NP.Ident, "row", "Hardware Component row number"),
        (NP.Ident, "id", "Hardware Component id"),
        (NP.Ident, "channel", "Component channel"),
        (NP.Info, "ident", "Hardware Component identifier"),
        (NP.Info, "types", "Hardware Component supported types"),
        (NP.NpSpace, "x", "X index"),
        (NP.NpSpace, "y", "Y index"),
        (NP.NpSpace, "shape", "Shape of the space"),
        (NP.MemoryInfo, "input_size", "Input memory size. (Bytes)"),
        (NP.MemoryInfo, "weight_size", "Weight memory size. (Bytes)"),
        (NP.MemoryInfo, "external_size", "External memory size. (Bytes)"),
        (NP.Component, "ident", "Hardware Component identifier"),
        (NP.Component, "type", "Hardware Component type"),
        (NP.Component, "mem_info", "Hardware Component memory information"),
        (NP.Component, "filters", "Number of filters processed by the Neural Processor"),
        (NP.Component, "start_neuron", "Index of the first filter processed by the Neural Processor"),
        (NP.Component, "spatial_partition", "Spatial partition processed by the Neural Processor"),
        (NP.Component, "single_buffer", "Neural Processor uses a single or dual input buffer"),
    ]
    for cls, name, doc in docs:
        assert inspect.cleandoc(getattr(cls, name).__doc__) == doc, (cls.__name__, name)


# --- Ident ------------------------------------------------------------------------------------------------------

def test_ident_text_and_equality(NP):
    three, four = NP.Ident(1, 2, 3), NP.Ident(1, 2, 3, 4)
    assert str(three) == repr(three) == "(1, 2, 3)"
    assert str(four) == repr(four) == "(1, 2, 3)"
    assert three.channel == 0 and four.channel == 4
    assert three != four and not (three == four)
    assert three == NP.Ident(1, 2, 3, 0)
    assert str(NP.Ident(255, 255, 255, 255)) == "(255, 255, 255)"
    assert (three == "(1, 2, 3)") is False and three != 1
    with pytest.raises(TypeError):
        hash(three)


@pytest.mark.parametrize("args, kwargs", [
    ((0, 0, 256), {}), ((0, 0, -1), {}), ((0.0, 0, 0), {}), ((0, 0), {}), ((0, 0, 0, 0, 0), {}), ((None, 0, 0), {}),
    ((), {"col": 0, "row": 0, "id": 0}), ((0, 0), {"id": 0}),
])
def test_ident_refusals(NP, args, kwargs):
    with pytest.raises(TypeError):
        NP.Ident(*args, **kwargs)


def test_ident_fields_are_writable_bytes(NP):
    ident = NP.Ident(1, 2, 3, 4)
    for field in ("col", "row", "id", "channel"):
        setattr(ident, field, 200)
        assert getattr(ident, field) == 200
        for bad in (256, -1, 1.5, None):
            with pytest.raises(TypeError):
                setattr(ident, field, bad)
            assert getattr(ident, field) == 200


# --- Type -------------------------------------------------------------------------------------------------------

def test_type_members(NP):
    assert list(NP.Type.__members__) == [m[0] for m in TYPE_MEMBERS]
    for name, value, _ in TYPE_MEMBERS:
        member = getattr(NP.Type, name)
        assert getattr(NP, name) is member
        assert member.name == name and member.value == value and int(member) == value
        assert NP.Type(value) == member
        assert pickle.loads(pickle.dumps(member)) == member
        assert hash(member) == hash(getattr(NP.Type, name))
    assert not hasattr(NP.Type, "DMA_EVENT")


def test_type_is_strict(core, NP):
    assert (NP.Type.FNP3 == 5) is False
    assert NP.Type.FNP3 != 5
    assert int(NP.Type.FNP3) == 5
    assert NP.Type.SKIP_DMA_STORE.value == 7
    assert NP.Type.HRC != core.BackendType.Hardware
    for operation in (lambda a, b: a < b, lambda a, b: a | b, lambda a, b: a + b):
        with pytest.raises(TypeError):
            operation(NP.Type.HRC, NP.Type.CNP1)
    with pytest.raises(TypeError):
        NP.Type(1.0)


# --- Info -------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("make_types, expected", [
    (lambda NP: [NP.CNP2, NP.HRC, NP.CNP2], ["HRC", "CNP2"]),
    (lambda NP: (NP.FNP3, NP.FNP2), ["FNP2", "FNP3"]),
    (lambda NP: {NP.TNP_R, NP.TNP_B}, ["TNP_B", "TNP_R"]),
    (lambda NP: (t for t in [NP.SKIP_DMA_LOAD, NP.SKIP_DMA_STORE]), ["SKIP_DMA_STORE", "SKIP_DMA_LOAD"]),
    (lambda NP: iter([NP.VIT_BLOCK]), ["VIT_BLOCK"]),
    (lambda NP: [], []),
    (lambda NP: {NP.CNP1: "ignored"}, ["CNP1"]),
])
def test_info_takes_any_iterable(NP, make_types, expected):
    value = NP.Info(NP.Ident(1, 2, 3), make_types(NP))
    assert value.types == [getattr(NP.Type, n) for n in expected]
    assert value.ident == NP.Ident(1, 2, 3)


def test_info_equality(NP):
    a = info(NP, 1, 2, 3, NP.CNP1, NP.CNP2)
    assert a == info(NP, 1, 2, 3, NP.CNP2, NP.CNP1, NP.CNP2)
    assert a != NP.Info(NP.Ident(1, 2, 3, 1), [NP.CNP1, NP.CNP2])
    assert a != info(NP, 1, 2, 3, NP.CNP1)
    assert (a == NP.Ident(1, 2, 3)) is False
    with pytest.raises(TypeError):
        hash(a)


class Boom(Exception):
    pass


def exploding(NP):
    yield NP.HRC
    raise Boom("iteration failed")


def test_info_refusals(NP):
    ident = NP.Ident(0, 0, 0)
    with pytest.raises(RuntimeError):
        NP.Info(ident, [1])
    with pytest.raises(RuntimeError):
        NP.Info(ident, [NP.HRC, "CNP1"])
    with pytest.raises(TypeError):
        NP.Info(ident, [None])
    with pytest.raises(TypeError):
        NP.Info(ident, 5)
    with pytest.raises(TypeError):
        NP.Info(None, [NP.HRC])
    with pytest.raises(TypeError):
        NP.Info(ident)
    with pytest.raises(TypeError):
        NP.Info(ident=ident, types=[NP.HRC])
    with pytest.raises(Boom, match="iteration failed"):
        NP.Info(ident, exploding(NP))


def test_info_types_setter_is_all_or_nothing(NP):
    value = info(NP, 0, 0, 0, NP.CNP1)
    value.types = (t for t in [NP.FNP3, NP.HRC])
    assert value.types == [NP.HRC, NP.FNP3]
    for bad, error in [([NP.Type.HRC, 5], RuntimeError), ([None], TypeError), (3, TypeError),
                       (exploding(NP), Boom)]:
        with pytest.raises(error):
            value.types = bad
        assert value.types == [NP.HRC, NP.FNP3]
    read = value.types
    read.append(NP.CNP2)
    assert value.types == [NP.HRC, NP.FNP3]


def test_info_ident_is_a_view(NP):
    value = info(NP, 1, 1, 1, NP.HRC)
    value.ident.col = 7
    assert value.ident == NP.Ident(7, 1, 1)
    value.ident = NP.Ident(2, 2, 2, 2)
    assert value.ident == NP.Ident(2, 2, 2, 2)
    ident = info(NP, 4, 5, 6, NP.HRC).ident
    gc.collect()
    assert ident == NP.Ident(4, 5, 6)


# --- NpSpace, MemoryInfo, Component -----------------------------------------------------------------------------

def test_np_space_and_memory_info(NP):
    space = NP.NpSpace()
    assert (space.x, space.y, space.shape) == (0, 0, [])
    memory = NP.MemoryInfo()
    assert (memory.input_size, memory.weight_size, memory.external_size) == (0, 0, 0)
    for obj, names in [(space, ("x", "y", "shape")), (memory, ("input_size", "weight_size", "external_size"))]:
        for name in names:
            with pytest.raises(AttributeError):
                setattr(obj, name, 1)
    assert NP.NpSpace() != NP.NpSpace()  # identity comparison only
    with pytest.raises(TypeError):
        NP.MemoryInfo(1, 2, 3)


def test_component_has_no_constructor(NP):
    with pytest.raises(TypeError, match="No constructor defined"):
        NP.Component()


# --- Mesh -------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("ip, sizes", [("v1", (43008, 44800)), ("v2", (65536, 51200))])
def test_mesh_defaults(core, NP, ip, sizes):
    e, c = endpoints(NP)
    mesh = NP.Mesh(getattr(core.IpVersion, ip), e, c, [])
    assert (mesh.np_input_sram_size, mesh.np_weight_sram_size) == sizes
    assert mesh.nps == [] and mesh.skip_dmas == []
    assert mesh.dma_event == e and mesh.dma_conf == c


def test_mesh_explicit_sizes(core, NP):
    e, c = endpoints(NP)
    nps = [info(NP, 1, 1, 0, NP.CNP1), info(NP, 1, 1, 1, NP.FNP3)]
    positional = NP.Mesh(core.IpVersion.v2, e, c, nps, [], 1000, 2000)
    keywords = NP.Mesh(core.IpVersion.v2, e, c, nps, np_input_sram_size=1000, np_weight_sram_size=2000)
    by_name = NP.Mesh(version=core.IpVersion.v1, dma_event=e, dma_conf=c, nps=nps, skip_dmas=[],
                      np_input_sram_size=0, np_weight_sram_size=0)
    for mesh, sizes in [(positional, (1000, 2000)), (keywords, (1000, 2000)), (by_name, (0, 0))]:
        assert (mesh.np_input_sram_size, mesh.np_weight_sram_size) == sizes
        assert mesh == positional and mesh.nps == nps
    with pytest.raises(TypeError):
        NP.Mesh(core.IpVersion.v2, e, c, nps, np_input_sram_size=1000)


def test_mesh_invalid_version(core, NP):
    e, c = endpoints(NP)
    for ip in (core.IpVersion.none, core.IpVersion(3), core.IpVersion(-1)):
        for extra in ({}, {"np_input_sram_size": 1, "np_weight_sram_size": 2}):
            with pytest.raises(RuntimeError, match=r"^The mesh should have a valid IP version\.$"):
                NP.Mesh(ip, e, c, [], **extra)


def test_mesh_argument_refusals(core, NP):
    e, c = endpoints(NP)
    v2 = core.IpVersion.v2
    good = [info(NP, 1, 1, 0, NP.HRC)]
    calls = [
        (), (2, e, c, good), (v2, None, c, good), (v2, e, None, good), (v2, e, c, [1]), (v2, e, c, [None]),
        (v2, e, c, "nps"), (v2, e, c, b"nps"), (v2, e, c, {0: good[0]}.values()), (v2, e, c, iter(good)),
        (v2, e, c, good, [], 1.0, 2), (v2, e, c, good, [], -1, 2), (v2, e, c, good, [], 1, 2 ** 32),
        (v2, e, c, good, [], 1), (v2, e, c, good, [e]),
    ]
    for args in calls:
        with pytest.raises(TypeError):
            NP.Mesh(*args)


def test_mesh_equality(core, NP):
    e, c = endpoints(NP)
    a, b = info(NP, 1, 1, 0, NP.CNP1), info(NP, 1, 1, 1, NP.FNP3)
    base = NP.Mesh(core.IpVersion.v1, e, c, [a, b], [info(NP, 0, 1, 0, NP.SKIP_DMA_LOAD)])
    # The version and the SRAM sizes take no part.
    assert base == NP.Mesh(core.IpVersion.v2, e, c, [a, b], [info(NP, 0, 1, 0, NP.SKIP_DMA_LOAD)], 1, 2)
    assert base == NP.Mesh(core.IpVersion.v1, e, c, [a, NP.Info(b.ident, [NP.FNP3, NP.FNP3])],
                           (info(NP, 0, 1, 0, NP.SKIP_DMA_LOAD),))
    different = [
        NP.Mesh(core.IpVersion.v1, e, c, [b, a], [info(NP, 0, 1, 0, NP.SKIP_DMA_LOAD)]),
        NP.Mesh(core.IpVersion.v1, e, c, [a, b]),
        NP.Mesh(core.IpVersion.v1, e, c, [a], [info(NP, 0, 1, 0, NP.SKIP_DMA_LOAD)]),
        NP.Mesh(core.IpVersion.v1, NP.Ident(0, 0, 1, 1), c, [a, b], [info(NP, 0, 1, 0, NP.SKIP_DMA_LOAD)]),
        NP.Mesh(core.IpVersion.v1, e, e, [a, b], [info(NP, 0, 1, 0, NP.SKIP_DMA_LOAD)]),
        NP.Mesh(core.IpVersion.v1, e, c, [a, b], [info(NP, 0, 1, 0, NP.SKIP_DMA_STORE)]),
    ]
    for other in different:
        assert base != other and not (base == other)
    assert (base == 5) is False and base != 5
    with pytest.raises(TypeError):
        hash(base)


def test_mesh_lists_are_copies(core, NP):
    e, c = endpoints(NP)
    mesh = NP.Mesh(core.IpVersion.v2, e, c, [info(NP, 1, 1, 0, NP.CNP1)])
    nps = mesh.nps
    nps.append(info(NP, 1, 1, 1, NP.CNP2))
    assert len(mesh.nps) == 1
    mesh.nps = nps
    assert len(mesh.nps) == 2
    # An element read earlier survives the list being replaced.
    first = mesh.nps[0]
    mesh.nps = []
    gc.collect()
    assert first == info(NP, 1, 1, 0, NP.CNP1)
    first.ident.col = 9
    assert mesh.nps == []
    mesh.skip_dmas = (info(NP, 0, 1, 0, NP.SKIP_DMA_LOAD),)
    assert mesh.skip_dmas == [info(NP, 0, 1, 0, NP.SKIP_DMA_LOAD)]


def test_mesh_endpoints_are_views(core, NP):
    e, c = endpoints(NP)
    mesh = NP.Mesh(core.IpVersion.v2, e, c, [])
    mesh.dma_event.col = 5
    assert mesh.dma_event == NP.Ident(5, 0, 1)
    assert e == NP.Ident(0, 0, 1)  # the argument was copied
    mesh.dma_conf = NP.Ident(1, 1, 1)
    assert mesh.dma_conf == NP.Ident(1, 1, 1)
    view = NP.Mesh(core.IpVersion.v2, e, c, []).dma_conf
    gc.collect()
    assert view == c


def test_mesh_setters_refuse_wrong_types(core, NP):
    e, c = endpoints(NP)
    mesh = NP.Mesh(core.IpVersion.v2, e, c, [info(NP, 1, 1, 0, NP.CNP1)])
    for name, bad in [("dma_event", None), ("dma_event", 3), ("nps", "x"), ("nps", [1]), ("nps", {1}),
                      ("skip_dmas", None), ("np_input_sram_size", -1), ("np_input_sram_size", 2 ** 32),
                      ("np_weight_sram_size", 1.0)]:
        before = getattr(mesh, name)
        with pytest.raises(TypeError):
            setattr(mesh, name, bad)
        assert getattr(mesh, name) == before
