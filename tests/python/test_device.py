import gc
import inspect

import numpy as np
import pytest

NAMED_VERSIONS = [
    # name, fields, str() form, decimal form used in messages
    ("Qrix_v1", (0xBC, 0x00, 0x00, 0x01), "BC.00.000.001", "188.0.0.1"),
    ("Qrix_v2", (0xBC, 0x00, 0x00, 0x02), "BC.00.000.002", "188.0.0.2"),
    ("TwoNodesIP_v1", (0xBC, 0xA1, 0x03, 0x06), "BC.A1.003.006", "188.161.3.6"),
    ("VLQ7300_v1", (0xBC, 0xA1, 0x03, 0x09), "BC.A1.003.009", "188.161.3.9"),
    ("FPGA_v2", (0xBC, 0xA2, 0x01, 0x00), "BC.A2.001.000", "188.162.1.0"),
]
FIELDS = ("vendor_id", "product_id", "major_rev", "minor_rev")


def make_mesh(core, ip, nps=None):
    NP = core.NP
    if nps is None:
        nps = [NP.Info(NP.Ident(1, 1, 0), [NP.CNP1, NP.CNP2]), NP.Info(NP.Ident(1, 1, 1), [NP.FNP3])]
    return NP.Mesh(ip, NP.Ident(0, 0, 1), NP.Ident(0, 0, 2), nps)


def test_named_versions(core):
    names = [n for n in vars(core.HwVersion) if n in {v[0] for v in NAMED_VERSIONS}]
    assert names == [v[0] for v in NAMED_VERSIONS]
    for name, fields, text, _ in NAMED_VERSIONS:
        version = getattr(core.HwVersion, name)
        assert tuple(getattr(version, f) for f in FIELDS) == fields
        assert str(version) == text and repr(version) == text
        assert version == core.HwVersion(*fields)


def test_hw_version_text_and_fields(core):
    top = core.HwVersion(255, 255, 255, 255)
    assert str(top) == repr(top) == "FF.FF.255.255"
    assert str(core.HwVersion(0, 10, 7, 42)) == "00.0A.007.042"
    # Objects with an integer index convert like ints.
    assert core.HwVersion(np.uint8(1), np.int64(2), 3, 4) == core.HwVersion(1, 2, 3, 4)
    for field in FIELDS:
        with pytest.raises(AttributeError):
            setattr(core.HwVersion.Qrix_v1, field, 0)
    assert core.HwVersion.Qrix_v1.vendor_id == 0xBC


def test_hw_version_equality_and_hash(core):
    v = core.HwVersion
    assert v(0xBC, 0, 0, 1) == v.Qrix_v1
    assert not (v.Qrix_v1 == v.Qrix_v2)
    assert v.Qrix_v1 != v.Qrix_v2
    assert (v.Qrix_v1 == 1) is False
    assert v.Qrix_v1 != "BC.00.000.001"
    with pytest.raises(TypeError):
        hash(v.Qrix_v1)


@pytest.mark.parametrize("args", [
    (256, 0, 0, 0), (0, 0, 0, -1), (1.0, 0, 0, 0), (0, 0, 0), (0, 0, 0, 0, 0), ("1", 0, 0, 0), (None, 0, 0, 0),
])
def test_hw_version_refusals(core, args):
    with pytest.raises(TypeError):
        core.HwVersion(*args)


def test_hw_version_takes_no_keywords(core):
    with pytest.raises(TypeError):
        core.HwVersion(vendor_id=1, product_id=2, major_rev=3, minor_rev=4)


def test_hw_version_docstrings(core):
    docs = {"vendor_id": "The hardware vendor identifier", "product_id": "The hardware product identifier",
            "major_rev": "The hardware major revision", "minor_rev": "The hardware minor revision"}
    for name, doc in docs.items():
        assert inspect.cleandoc(getattr(core.HwVersion, name).__doc__) == doc


def test_virtual_device(core):
    mesh = make_mesh(core, core.IpVersion.v2)
    device = core.Device(core.HwVersion.FPGA_v2, mesh)
    assert isinstance(device, core.Device)
    assert device.desc == "VirtualDevice/BC.A2.001.000"
    assert device.version == core.HwVersion.FPGA_v2
    assert device.version is not device.version  # a new object on each read
    assert device.mesh == mesh
    assert device.mesh.np_input_sram_size == 65536
    if hasattr(core, "HardwareDevice"):
        assert not isinstance(device, core.HardwareDevice)


def test_device_keeps_its_own_copy_of_the_mesh(core):
    NP = core.NP
    mesh = make_mesh(core, core.IpVersion.v2)
    device = core.Device(core.HwVersion.FPGA_v2, mesh)
    mesh.nps = mesh.nps + [NP.Info(NP.Ident(2, 2, 2), [NP.HRC])]
    mesh.dma_event.col = 9
    mesh.np_input_sram_size = 1
    assert len(device.mesh.nps) == 2
    assert device.mesh.dma_event.col == 0
    assert device.mesh.np_input_sram_size == 65536


def test_device_mesh_is_a_writable_view(core):
    NP = core.NP
    device = core.Device(core.HwVersion.FPGA_v2, make_mesh(core, core.IpVersion.v2))
    view = device.mesh
    view.np_input_sram_size = 1234
    view.nps = [NP.Info(NP.Ident(3, 3, 3), [NP.TNP_B])]
    assert device.mesh.np_input_sram_size == 1234
    assert device.mesh.nps[0].ident == NP.Ident(3, 3, 3)
    # The view keeps the device alive.
    view = core.Device(core.HwVersion.FPGA_v2, make_mesh(core, core.IpVersion.v2)).mesh
    gc.collect()
    view.np_weight_sram_size = 7
    assert view.np_weight_sram_size == 7 and len(view.nps) == 2


@pytest.mark.parametrize("name, ip, accepted", [
    ("Qrix_v1", "v1", True), ("Qrix_v2", "v1", True), ("TwoNodesIP_v1", "v1", True), ("VLQ7300_v1", "v1", True),
    ("FPGA_v2", "v2", True), ("Qrix_v1", "v2", False), ("VLQ7300_v1", "v2", False), ("FPGA_v2", "v1", False),
])
def test_version_and_mesh_must_agree(core, name, ip, accepted):
    version = getattr(core.HwVersion, name)
    mesh = make_mesh(core, getattr(core.IpVersion, ip))
    if accepted:
        assert core.Device(version, mesh).version == version
        return
    decimal = next(v[3] for v in NAMED_VERSIONS if v[0] == name)
    with pytest.raises(ValueError) as err:
        core.Device(version, mesh)
    assert str(err.value) == (f"Incompatible hardware and Ip versions: HW Version is {decimal} with product id = "
                              f"{version.product_id} while IP version is {ip}.")


def test_unknown_product_is_refused(core):
    with pytest.raises(ValueError, match=r"HW Version is 188\.17\.0\.0 with product id = 17 while IP version is v1\."):
        core.Device(core.HwVersion(0xBC, 0x11, 0, 0), make_mesh(core, core.IpVersion.v1))


def test_device_argument_refusals(core):
    mesh = make_mesh(core, core.IpVersion.v2)
    for args in [(), (core.HwVersion.FPGA_v2,), (mesh, core.HwVersion.FPGA_v2), (core.HwVersion.FPGA_v2, None),
                 (None, mesh), (core.HwVersion.FPGA_v2, mesh, 1)]:
        with pytest.raises(TypeError):
            core.Device(*args)
    with pytest.raises(TypeError):
        core.Device(version=core.HwVersion.FPGA_v2, mesh=mesh)


def test_device_docstrings(core):
    assert inspect.cleandoc(core.Device.desc.__doc__) == (
        "Returns the Device description\n:return: a string describing the Device")
    assert inspect.cleandoc(core.Device.version.__doc__) == "The device hardware version."
    assert inspect.cleandoc(core.Device.mesh.__doc__) == "The device Mesh layout"
    for name in ("desc", "version", "mesh"):
        with pytest.raises(AttributeError):
            setattr(core.Device(core.HwVersion.FPGA_v2, make_mesh(core, core.IpVersion.v2)), name, None)


def test_registration_order(core):
    expected = ["Device", "HwVersion", "NP", "MapConstraints"]
    assert [n for n in vars(core) if n in expected] == expected
