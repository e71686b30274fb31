import ctypes
import pickle

import numpy as np
import pytest

EVALUATE_BITWIDTH_DOC = (
    "\n   Evalutate the maximum bitwidth that the values of the variable take.\n\n"
    "   Args:\n       variable (:obj:`numpy.ndarray`): The variable on which the bitwidth is evaluated.\n   "
)


def test_module_attributes(core):
    assert core.__doc__ == "Nuvra core library"
    assert core.__version__ == "2.0.0"
    assert core.__name__ == "nuvra.core"
    assert core.soc.__name__ == "nuvra.core.soc"
    assert core.soc.__doc__ == "Nuvra Qrix specific functions"


def test_registration_order(core):
    # Later registrations slot in between; these keep their relative order.
    expected = ["BackendType", "Software", "Hardware", "Hybrid", "evaluate_bitwidth", "Metrics", "soc",
                "IpVersion", "none", "v1", "v2"]
    names = [n for n in vars(core) if n in expected]
    assert names == expected


def enumerations(core):
    return [
        (core, core.BackendType, None, {"Software": 0, "Hardware": 1, "Hybrid": 2}),
        (core.soc, core.soc.ClockMode, "Clock mode configuration",
         {"Performance": 300000000, "Economy": 100000000, "LowPower": 5000000}),
        (core, core.IpVersion, "The reference Nuvra IP version", {"none": 0, "v1": 1, "v2": 2}),
    ]


def test_enumeration_members_docs_and_exports(core):
    for scope, enum, doc, members in enumerations(core):
        assert list(enum.__members__) == list(members)
        if doc is None:
            assert enum.__doc__.startswith("Members:")
        else:
            assert enum.__doc__.startswith(doc + "\n")
        for name, value in members.items():
            member = getattr(enum, name)
            assert int(member) == value and member.value == value
            assert enum(value) == member
            assert getattr(scope, name) == member


def test_enumerations_compare_strictly_and_are_not_arithmetic(core):
    assert (core.BackendType.Hardware == 1) is False
    assert core.BackendType.Hardware != 1
    assert core.IpVersion.v1 != core.BackendType.Hardware
    assert core.IpVersion(2) == core.IpVersion.v2
    assert int(core.soc.ClockMode.Economy) == 100000000
    assert core.soc.LowPower == core.soc.ClockMode.LowPower
    for operation in (lambda a, b: a < b, lambda a, b: a | b, lambda a, b: a + b):
        with pytest.raises(TypeError):
            operation(core.IpVersion.v1, core.IpVersion.v2)


@pytest.mark.parametrize("value", [-2**31, -1, 0, 3, 2**31 - 1])
def test_enumerations_hold_any_signed_32_bit_value(core, value):
    for _, enum, _, _ in enumerations(core):
        member = enum(value)
        assert int(member) == value and member.value == value and member.__index__() == value
        assert enum(value) == member
        assert pickle.loads(pickle.dumps(member)) == member


@pytest.mark.parametrize("value", [2**31, -2**31 - 1, 1.0, "1", None])
def test_enumerations_refuse_other_values(core, value):
    for _, enum, _, _ in enumerations(core):
        with pytest.raises(TypeError):
            enum(value)


def test_evaluate_bitwidth_signature(core):
    assert EVALUATE_BITWIDTH_DOC in core.evaluate_bitwidth.__doc__
    assert core.evaluate_bitwidth(variable=np.array([5], dtype=np.uint8)) == 3


@pytest.mark.parametrize("array, bits", [
    (np.array([1e30, -5.5, np.nan], dtype=np.float32), 0),
    (np.zeros((3, 0), dtype=np.float32), 0),  # float32 returns before any conversion
    (np.array([0, 5], dtype=np.uint8), 3),
    (np.array([255], dtype=np.uint8), 8),
    (np.array([[-1, 0]], dtype=np.int8), 1),
    (np.array([1], dtype=np.int8), 2),
    (np.array([-128, 127], dtype=np.int8), 8),
    (np.array([300], dtype=np.int16), 10),
    (np.array([-70000], dtype=np.int32), 18),
    (np.ones((1, 1, 1, 1), dtype=np.int32), 2),
])
def test_evaluate_bitwidth_values(core, array, bits):
    assert core.evaluate_bitwidth(array) == bits


def test_evaluate_bitwidth_non_contiguous_views(core):
    base = np.arange(-40, 40, dtype=np.int8).reshape(8, 10)
    for view in (base[::3, 1::2], base.T, np.asfortranarray(base), base[:, 9]):
        assert core.evaluate_bitwidth(view) == core.evaluate_bitwidth(np.ascontiguousarray(view))


class Sub(np.ndarray):
    pass


def test_evaluate_bitwidth_accepts_ndarray_subclasses(core):
    assert core.evaluate_bitwidth(np.array([7], dtype=np.int16).view(Sub)) == 4


@pytest.mark.parametrize("array, error, message", [
    (np.array([1.0]), RuntimeError, "Wrong py::array type: cannot evaluate the bitwidth."),
    (np.array([1], dtype=np.int64), RuntimeError, "Wrong py::array type: cannot evaluate the bitwidth."),
    (np.array([1], dtype=np.uint16), RuntimeError, "Wrong py::array type: cannot evaluate the bitwidth."),
    (np.array([True]), RuntimeError, "Wrong py::array type: cannot evaluate the bitwidth."),
    (np.array([1], dtype=">i4"), RuntimeError, "Wrong py::array type: cannot evaluate the bitwidth."),
    (np.array(3, dtype=np.int8), ValueError, "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"),
    (np.zeros((1, 1, 1, 1, 2), dtype=np.uint8), ValueError,
     "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"),
    (np.zeros((3, 0, 2), dtype=np.int8), RuntimeError, "Cannot have a shape with a dimension set to 0"),
])
def test_evaluate_bitwidth_errors(core, array, error, message):
    with pytest.raises(error) as info:
        core.evaluate_bitwidth(array)
    assert str(info.value) == message


@pytest.mark.parametrize("argument", [[1, 2], None, np.int8(3), "abc"])
def test_evaluate_bitwidth_needs_an_ndarray(core, argument):
    with pytest.raises(TypeError):
        core.evaluate_bitwidth(argument)


def test_metrics_has_no_constructor(core):
    with pytest.raises(TypeError):
        core.Metrics()


def test_host_hooks_are_exported_under_plain_names(core):
    library = ctypes.CDLL(core.__file__)
    for name in ("panic", "msleep", "time_ms", "kick_watchdog"):
        assert getattr(library, name) is not None
    library.msleep.argtypes = [ctypes.c_uint32]
    library.msleep.restype = None
    library.time_ms.restype = ctypes.c_int64
    library.kick_watchdog.restype = None
    library.msleep(0)
    library.kick_watchdog()
    times = [library.time_ms() for _ in range(100)]
    assert times == sorted(times)
