import inspect

import numpy as np
import pytest

INIT_DOC = "Obtain hardware constraints from a device.\n\n           Args:\n              device(nuvra.device): the device."
PROPERTY_DOCS = {
    "cnp_max_width_default": "The maximal width to map a CNP.\n\n                             Returns:\n"
                             "                                int: the maximal witdh",
    "cnp_max_height_default": "The maximal height to map a CNP.\n\n                             Returns:\n"
                              "                                int: the maximal height",
    "cnp_max_filters_default": "The maximal filters number to map a CNP.",
    "device": "Return the device used.\n\n                             Returns:\n"
              "                                :obj:`nuvra.device`: the device.",
    "cnp_max_width": "The width to use to map a CNP.",
    "cnp_max_height": "The height to use to map a CNP.",
    "cnp_max_filters": "The filters number to use to map a CNP.",
    "hwpr_loopitself": "The HWPR NP loopitself feature.",
}
NEXT_LAYER_DOC = "\n           Callback on the layer mapping.\n\n           Args:\n             layer_name (str): the layer name"
SELECT_NPS_DOC = (
    "\n           Selection from a predefined list of NPs.\n\n           Args:\n"
    "             source_nps (:obj:`list`): the predefined list of NPs\n"
    "             num_nps (int): the number of NPs needed\n"
    "             type (:obj:`nuvra.NP.Type`): the type of NPs\n\n"
    "           Returns:\n             :obj:`list`: the selected list of NPs")


def make_device(core, version="FPGA_v2"):
    NP = core.NP
    ip = core.IpVersion.v2 if version == "FPGA_v2" else core.IpVersion.v1
    mesh = NP.Mesh(ip, NP.Ident(0, 0, 1), NP.Ident(0, 0, 2), [NP.Info(NP.Ident(1, 1, 0), [NP.CNP2])])
    return core.Device(getattr(core.HwVersion, version), mesh)


@pytest.fixture
def idents(core):
    return [core.NP.Ident(1, 1, i) for i in range(4)]


@pytest.mark.parametrize("version, defaults", [
    ("FPGA_v2", (64, 256, 512)), ("Qrix_v1", (32, 256, 512)), ("Qrix_v2", (32, 256, 504)),
    ("VLQ7300_v1", (32, 256, 512)), ("TwoNodesIP_v1", (32, 256, 512)),
])
def test_defaults_follow_the_device(core, version, defaults):
    device = make_device(core, version)
    c = core.MapConstraints(device)
    assert (c.cnp_max_width_default, c.cnp_max_height_default, c.cnp_max_filters_default) == defaults
    assert (c.cnp_max_width, c.cnp_max_height, c.cnp_max_filters) == defaults
    assert c.hwpr_loopitself is False
    assert c.device is device and type(c.device) is core.Device


@pytest.mark.parametrize("name, default", [("width", 64), ("height", 256), ("filters", 512)])
def test_limit_setters(core, name, default):
    c = core.MapConstraints(make_device(core))
    attr = "cnp_max_" + name
    setattr(c, attr, 1)
    assert getattr(c, attr) == 1
    setattr(c, attr, default)
    assert getattr(c, attr) == default
    for bad in (0, default + 1, 2 ** 32 - 1):
        with pytest.raises(ValueError) as err:
            setattr(c, attr, bad)
        assert str(err.value) == f"Invalid cnp max {name}: {bad}. Expected value in range [1, {default}]."
        assert getattr(c, attr) == default
    for bad in (-1, 2 ** 32, 1.0, "3", None):
        with pytest.raises(TypeError):
            setattr(c, attr, bad)
        assert getattr(c, attr) == default
    with pytest.raises(AttributeError):
        setattr(c, attr + "_default", 3)


def test_hwpr_loopitself(core):
    c = core.MapConstraints(make_device(core))
    for value, expected in [(True, True), (None, False), (np.bool_(True), True), (0, False), (7, True),
                            (0.0, False), (False, False)]:
        c.hwpr_loopitself = value
        assert c.hwpr_loopitself is expected
    with pytest.raises(TypeError):
        c.hwpr_loopitself = "yes"
    v1 = core.MapConstraints(make_device(core, "Qrix_v1"))
    with pytest.raises(ValueError, match=r"^HWPR NP loopitself feature is not supported for IP v1\.$"):
        v1.hwpr_loopitself = True
    assert v1.hwpr_loopitself is False
    v1.hwpr_loopitself = False


def test_constructor_refusals(core):
    with pytest.raises(ValueError, match=r"^Invalid device passed to MapConstraints\.$"):
        core.MapConstraints(None)
    for args in [(), ("device",), (make_device(core), 1)]:
        with pytest.raises(TypeError):
            core.MapConstraints(*args)
    assert core.MapConstraints(device=make_device(core)).cnp_max_width == 64


def test_docstrings(core):
    assert core.MapConstraints.__doc__ is None
    assert INIT_DOC in core.MapConstraints.__init__.__doc__
    for name, doc in PROPERTY_DOCS.items():
        assert getattr(core.MapConstraints, name).__doc__ == doc, name
    assert NEXT_LAYER_DOC in core.MapConstraints.next_layer.__doc__
    assert SELECT_NPS_DOC in core.MapConstraints.select_nps.__doc__
    assert "next_layer_handler" not in vars(core.MapConstraints)


def test_base_hooks(core, idents):
    c = core.MapConstraints(make_device(core))
    assert c.next_layer("conv") is None
    assert c.next_layer(layer_name="conv") is None
    assert c.select_nps(idents[:3], 2, core.NP.HRC) == idents[:2]
    assert c.select_nps(source_nps=tuple(idents), num_nps=4, type=core.NP.CNP1) == idents
    assert c.select_nps([], 0, core.NP.CNP1) == []
    for args in [(set(), 1, core.NP.HRC), ([1], 1, core.NP.HRC), ("ab", 1, core.NP.HRC),
                 (idents, -1, core.NP.HRC), (idents, 1, 1)]:
        with pytest.raises(TypeError):
            c.select_nps(*args)


def make_subclass(core):
    class Recorder(core.MapConstraints):
        def __init__(self, device):
            super().__init__(device)
            self.seen = []

    return Recorder


# A Python call of select_nps on a subclass runs the Python method directly; calling the bound
# method of the base class goes through the native virtual, as the mapper does.
def native_select(core, constraints, *args):
    return core.MapConstraints.select_nps(constraints, *args)


def test_next_layer_handler_override(core):
    class Sub(make_subclass(core)):
        def next_layer_handler(self, name):
            self.seen.append(name)
            # Reached from inside the override, the hook falls back to the base: no recursion.
            self.next_layer("inner:" + name)

    c = Sub(make_device(core))
    assert c.next_layer("x") is None
    assert c.seen == ["x"]
    c.next_layer("y")
    assert c.seen == ["x", "y"]


def test_override_set_on_the_instance(core):
    c = make_subclass(core)(make_device(core))
    c.next_layer("ignored")
    c.next_layer_handler = lambda name: c.seen.append(name)
    c.next_layer("z")
    assert c.seen == ["z"]


def test_next_layer_override_is_not_the_hook(core):
    # Only Python callers of next_layer see this one; the trampoline looks for next_layer_handler.
    class Sub(make_subclass(core)):
        def next_layer(self, layer_name):
            self.seen.append(layer_name)

    c = Sub(make_device(core))
    c.next_layer("a")
    assert c.seen == ["a"]
    assert core.MapConstraints.next_layer(c, "b") is None
    assert c.seen == ["a"]


def test_select_nps_override(core, idents):
    class Sub(make_subclass(core)):
        def select_nps(self, source_nps, num_nps, type):
            self.seen.append((source_nps, num_nps, type))
            return list(reversed(source_nps))[:num_nps]

    c = Sub(make_device(core))
    assert native_select(core, c, idents, 3, core.NP.FNP3) == [idents[3], idents[2], idents[1]]
    (source, count, kind), = c.seen
    assert type(source) is list and source == idents and all(type(i) is core.NP.Ident for i in source)
    assert type(count) is int and count == 3
    assert type(kind) is core.NP.Type and kind == core.NP.FNP3
    # The override got copies: changing them does not reach the caller's idents.
    source[0].col = 99
    assert idents[0] == core.NP.Ident(1, 1, 0)


def test_select_nps_override_may_defer_to_the_base(core, idents):
    class Sub(make_subclass(core)):
        def select_nps(self, source_nps, num_nps, type):
            # super() reaches the native method, which must not call back into this override.
            return super().select_nps(source_nps, num_nps, type) + [source_nps[-1]]

    c = Sub(make_device(core))
    # The count is not checked against num_nps here.
    assert native_select(core, c, idents, 2, core.NP.HRC) == idents[:2] + [idents[-1]]


@pytest.mark.parametrize("result", [[1], "ab", b"ab", None, 3, [None], {0: None}, range(2 ** 62)])
def test_select_nps_override_with_a_wrong_result(core, idents, result):
    class Sub(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return result

    with pytest.raises(RuntimeError, match=r"^Unable to cast Python instance"):
        native_select(core, Sub(make_device(core)), idents, 1, core.NP.HRC)


def test_select_nps_override_returning_a_tuple(core, idents):
    class Sub(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return tuple(source_nps[1:])

    assert native_select(core, Sub(make_device(core)), idents, 1, core.NP.HRC) == idents[1:]


def test_exceptions_in_overrides_pass_through(core, idents):
    class Refused(Exception):
        pass

    class Sub(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            raise Refused("no")

        def next_layer_handler(self, layer_name):
            raise Refused("no")

    c = Sub(make_device(core))
    with pytest.raises(Refused):
        native_select(core, c, idents, 1, core.NP.HRC)
    with pytest.raises(Refused):
        c.next_layer("x")


def test_subclass_keeps_device_and_limits(core, idents):
    device = make_device(core)
    c = make_subclass(core)(device)
    assert isinstance(c, core.MapConstraints)
    assert c.device is device
    c.cnp_max_width = 10
    assert c.cnp_max_width == 10
    assert c.select_nps(idents, 1, core.NP.HRC) == idents[:1]
