import gc

import numpy as np
import pytest

FIELDS = ("vendor_id", "product_id", "major_rev", "minor_rev")


def make_mesh(core, ip="v2"):
    NP = core.NP
    nps = [NP.Info(NP.Ident(1, 1, 0), [NP.CNP1, NP.CNP2]), NP.Info(NP.Ident(1, 1, 1), [NP.FNP3])]
    return NP.Mesh(getattr(core.IpVersion, ip), NP.Ident(0, 0, 1), NP.Ident(0, 0, 2), nps)


def test_hw_version(core):
    v = core.HwVersion
    for name, fields, text in [("Qrix_v1", (0xBC, 0, 0, 1), "BC.00.000.001"),
                               ("Qrix_v2", (0xBC, 0, 0, 2), "BC.00.000.002"),
                               ("TwoNodesIP_v1", (0xBC, 0xA1, 3, 6), "BC.A1.003.006"),
                               ("VLQ7300_v1", (0xBC, 0xA1, 3, 9), "BC.A1.003.009"),
                               ("FPGA_v2", (0xBC, 0xA2, 1, 0), "BC.A2.001.000"), (None, (255,) * 4, "FF.FF.255.255")]:
        version = getattr(v, name) if name else v(*fields)
        assert tuple(getattr(version, f) for f in FIELDS) == fields and version == v(*fields)
        assert str(version) == repr(version) == text
    assert not (v.Qrix_v1 == v.Qrix_v2) and v.Qrix_v1 != v.Qrix_v2 and (v.Qrix_v1 == 1) is False
    assert v.Qrix_v1.__hash__ is None and v(np.uint8(1), np.int64(2), 3, 4) == v(1, 2, 3, 4)
    for args in [(256, 0, 0, 0), (0, 0, 0, -1), (1.0, 0, 0, 0)]:  # bytes, refused instead of wrapped
        pytest.raises(TypeError, v, *args)


def test_virtual_device(core):
    mesh = make_mesh(core)
    device = core.Device(core.HwVersion.FPGA_v2, mesh)
    assert device.desc == "VirtualDevice/BC.A2.001.000"
    assert device.version == core.HwVersion.FPGA_v2 and device.mesh == mesh
    # The device keeps its own copy of the mesh; device.mesh is a writable view of that copy.
    mesh.nps, mesh.np_input_sram_size = [], 1
    assert len(device.mesh.nps) == 2 and device.mesh.np_input_sram_size == 65536
    device.mesh.np_input_sram_size = 1234
    assert device.mesh.np_input_sram_size == 1234
    view = core.Device(core.HwVersion.FPGA_v2, make_mesh(core)).mesh
    gc.collect()
    view.np_weight_sram_size = 7  # the view keeps its device alive
    assert view.np_weight_sram_size == 7 and len(view.nps) == 2


# version, mesh IP, None when accepted or the version as the refusal shows it
@pytest.mark.parametrize("version, ip, decimal", [
    ("Qrix_v1", "v1", None), ("FPGA_v2", "v2", None), ("VLQ7300_v1", "v2", "188.161.3.9"),
    ("FPGA_v2", "v1", "188.162.1.0"), ((0xBC, 0x11, 0, 0), "v1", "188.17.0.0")])
def test_version_and_mesh_must_agree(core, version, ip, decimal):
    version = getattr(core.HwVersion, version) if isinstance(version, str) else core.HwVersion(*version)
    if decimal is None:
        assert core.Device(version, make_mesh(core, ip)).version == version
        return
    error = pytest.raises(ValueError, core.Device, version, make_mesh(core, ip)).value
    assert str(error) == (f"Incompatible hardware and Ip versions: HW Version is {decimal} with product id = "
                          f"{version.product_id} while IP version is {ip}.")


def test_ident_and_info(core):
    NP = core.NP
    three, four = NP.Ident(1, 2, 3), NP.Ident(1, 2, 3, 4)
    assert str(three) == repr(three) == str(four) == "(1, 2, 3)" and three == NP.Ident(1, 2, 3, 0)
    assert three != four and not (three == four) and (three == "(1, 2, 3)") is False and three.__hash__ is None
    for field, bad in [("col", 256), ("row", -1), ("id", 256), ("channel", -1)]:  # bytes, refused instead of wrapped
        pytest.raises(TypeError, NP.Ident, *[bad if f == field else 0 for f in ("col", "row", "id", "channel")])
        pytest.raises(TypeError, setattr, four, field, bad)
    assert (four.col, four.row, four.id, four.channel) == (1, 2, 3, 4)
    for types, expected in [([NP.CNP2, NP.HRC, NP.CNP2], [NP.HRC, NP.CNP2]), ((t for t in [NP.FNP3]), [NP.FNP3]),
                            ({NP.TNP_R, NP.TNP_B}, [NP.TNP_B, NP.TNP_R]), ((), [])]:
        assert NP.Info(three, types).types == expected
    a = NP.Info(three, [NP.CNP1, NP.CNP2])
    assert a == NP.Info(three, [NP.CNP2, NP.CNP1, NP.CNP2]) and a != NP.Info(four, [NP.CNP1, NP.CNP2])
    assert a != NP.Info(three, [NP.CNP1]) and (a == three) is False
    for make, error in [(lambda: [NP.HRC, 5], RuntimeError), (lambda: [None], TypeError), (lambda: 5, TypeError)]:
        pytest.raises(error, NP.Info, three, make())
        pytest.raises(error, setattr, a, "types", make())
        assert a.types == [NP.CNP1, NP.CNP2]  # all or nothing
    a.types.append(NP.HRC)  # a copy
    a.ident.col = 7  # a view
    assert a.types == [NP.CNP1, NP.CNP2] and a.ident == NP.Ident(7, 2, 3)


def test_mesh(core):
    NP, v1, v2 = core.NP, core.IpVersion.v1, core.IpVersion.v2
    e, c = NP.Ident(0, 0, 1), NP.Ident(0, 0, 2)
    for ip, sizes in [(v1, (43008, 44800)), (v2, (65536, 51200))]:
        mesh = NP.Mesh(ip, e, c, [])
        assert (mesh.np_input_sram_size, mesh.np_weight_sram_size, mesh.nps, mesh.skip_dmas) == sizes + ([], [])
    a, b = NP.Info(NP.Ident(1, 1, 0), [NP.CNP1]), NP.Info(NP.Ident(1, 1, 1), [NP.FNP3])
    skip = NP.Info(NP.Ident(0, 1, 0), [NP.SKIP_DMA_LOAD])
    base = NP.Mesh(v2, e, c, [a, b], [skip], 1000, 2000)
    assert (base.np_input_sram_size, base.np_weight_sram_size, base.dma_event, base.dma_conf) == (1000, 2000, e, c)
    assert base == NP.Mesh(version=v1, dma_event=e, dma_conf=c, nps=(a, b), skip_dmas=[skip], np_input_sram_size=0,
                           np_weight_sram_size=0)  # neither the version nor the sizes count
    assert base == NP.Mesh(v2, e, c, [a, NP.Info(b.ident, [NP.FNP3, NP.FNP3])], (skip,)) and base.__hash__ is None
    for other in [NP.Mesh(v2, e, c, [b, a], [skip]), NP.Mesh(v2, e, c, [a, b]), NP.Mesh(v2, e, e, [a, b], [skip]), 5]:
        assert base != other and not (base == other)
    for ip in (core.IpVersion.none, core.IpVersion(3)):
        pytest.raises(RuntimeError, NP.Mesh, ip, e, c, []).match(r"^The mesh should have a valid IP version\.$")
    base.nps.append(skip)  # a copy
    base.dma_event.col = 5  # a view
    assert len(base.nps) == 2 and base.dma_event == NP.Ident(5, 0, 1)
    for name, bad in [("dma_event", None), ("nps", [1]), ("np_input_sram_size", -1), ("np_weight_sram_size", 2 ** 32)]:
        before = getattr(base, name)
        pytest.raises(TypeError, setattr, base, name, bad)
        assert getattr(base, name) == before
