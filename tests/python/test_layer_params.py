import copy
import inspect
import pickle

import numpy as np
import pytest

INIT_DOC = (
    "\n        Create a generic LayerParams object.\n\n        Args:\n"
    "            layer_type (:obj:`LayerType`): Type of layer.\n"
    "            entries (dict): dictionary of key (string) and value (int) pairs.\n    "
)
GET_DOC = (
    "\n        Retrieve a value from the LayerParams object.\n\n        Args:\n            key (str): key of the value.\n"
    "        Returns:\n            int: value associated to the key.\n        Raises:\n"
    "            ValueError: if the value is not present in the LayerParams object.\n    "
)
HAS_DOC = (
    "\n        Check if a key is present in the LayerParams object.\n\n        Args:\n"
    "            key (str): key to be searched.\n        Returns:\n"
    "            bool: True if the key is present, otherwise false.\n    "
)

LAYER_TYPES = [
    "Unknown", "InputData", "InputConvolutional", "FullyConnected", "Convolutional", "SeparableConvolutional",
    "Add", "Dense2D", "Shiftmax", "Attention", "Stem", "MadNorm", "Concatenate", "BatchNormalization", "Conv2D",
    "InputConv2D", "DepthwiseConv2D", "Conv2DTranspose", "ExtractToken", "Dequantizer", "DepthwiseConv2DTranspose",
    "BufferTempConv", "DepthwiseBufferTempConv", "StatefulRecurrentLegacy", "VitEncoderBlock", "Dense1D",
]


def enumerations(core):
    """(enumeration, class docstring, [(member, value, member docstring)])"""
    return [
        (core.LayerType, "The layer type", [(n, v, None) for v, n in enumerate(LAYER_TYPES)]),
        (core.Padding,
         "Sets the effective padding of the input for convolution, thereby determining the output dimensions. "
         "Naming conventions are the same as Keras/Tensorflow.",
         [("Valid", 0, "No padding"), ("Same", 1, "Padded so that output size is input size divided by the stride")]),
        (core.PoolType, "The pooling type",
         [("NoPooling", 0, "No pooling applied"), ("Max", 1, "Maximum pixel value is selected"),
          ("Average", 2, "Average pixel value is selected")]),
        (core.ActivationType, "The activation type",
         [("NoActivation", 0, "No activation is applied"), ("ReLU", 1, "ReLU activation is selected"),
          ("LUT", 2, "LUT activation is selected")]),
    ]


def test_enumeration_members_docs_and_exports(core):
    for enum, doc, members in enumerations(core):
        assert list(enum.__members__) == [name for name, _, _ in members]
        assert enum.__doc__.startswith(doc + "\n")
        for name, value, member_doc in members:
            member = getattr(enum, name)
            assert member.value == value and int(member) == value and member.__index__() == value
            assert member.name == name
            assert enum(value) == member
            assert getattr(core, name) is member
            if member_doc is not None:
                assert f"  {name} : {member_doc}\n" in enum.__doc__ + "\n"
            assert pickle.loads(pickle.dumps(member)) == member
            assert hash(member) == hash(enum(value))


def test_enumerations_are_strict_and_not_arithmetic(core):
    assert (core.PoolType.Average == 2) is False
    assert core.PoolType.Average.value == 2
    assert core.LayerType.Dense1D.value == 25
    assert core.Conv2D is core.LayerType.Conv2D
    assert core.InputData is core.LayerType.InputData
    assert core.Same is core.Padding.Same and core.Max is core.PoolType.Max and core.ReLU is core.ActivationType.ReLU
    assert core.PoolType.Max != core.ActivationType.ReLU  # same value, other enumeration
    for operation in (lambda a, b: a < b, lambda a, b: a | b, lambda a, b: a + b):
        with pytest.raises(TypeError):
            operation(core.PoolType.Max, core.PoolType.Average)


@pytest.mark.parametrize("value", [2**31, 1.5, "Max"])
def test_enumeration_construction_refuses_non_int32(core, value):
    with pytest.raises(TypeError):
        core.PoolType(value)


def test_docstrings(core):
    assert core.LayerParams.__doc__ == "Parameters dictionary for layers"
    assert INIT_DOC in core.LayerParams.__init__.__doc__
    assert GET_DOC in core.LayerParams.get.__doc__
    assert HAS_DOC in core.LayerParams.has.__doc__
    assert inspect.cleandoc(GET_DOC) in inspect.cleandoc(core.LayerParams.get.__doc__)


def test_constructor_keeps_the_entries(core):
    p = core.LayerParams(core.LayerType.Conv2D, {"filters": 4, "kernel_size": 3, "padding": int(core.Same)})
    assert p.layer_type == core.LayerType.Conv2D
    assert sorted(p.__dir__()) == ["filters", "kernel_size", "padding"]
    assert (p.filters, p.get("kernel_size"), p.get(key="padding")) == (4, 3, 1)
    by_keyword = core.LayerParams(entries={"a": 1}, layer_type=core.LayerType.Add)
    assert by_keyword.layer_type == core.LayerType.Add and by_keyword.a == 1


@pytest.mark.parametrize("value", [-2**31, 2**31 - 1, 0, True, np.int64(7)])
def test_constructor_takes_signed_32_bit_values(core, value):
    assert core.LayerParams(core.LayerType.Add, {"k": value}).get("k") == int(value)


@pytest.mark.parametrize("layer_type, entries", [
    ("Add", {"k": 2**31}),
    ("Add", {"k": -2**31 - 1}),
    ("Add", {"k": 1.5}),
    ("Add", {"k": "1"}),
    ("Add", {"k": None}),
    ("Add", {1: 1}),
    ("Add", [("k", 1)]),
    (6, {"k": 1}),
    (None, {"k": 1}),
])
def test_constructor_refusals(core, layer_type, entries):
    if isinstance(layer_type, str):
        layer_type = getattr(core.LayerType, layer_type)
    with pytest.raises(TypeError):
        core.LayerParams(layer_type, entries)


def test_engine_refuses_an_unknown_layer_type(core):
    with pytest.raises(ValueError):
        core.LayerParams(core.LayerType(99), {})


LEGACY = [
    ("kernel_size", "kernel_width", "kernel_height"),
    ("kernel_stride", "stride_x", "stride_y"),
    ("pool_size", "pooling_width", "pooling_height"),
    ("pool_stride", "pooling_stride_x", "pooling_stride_y"),
]


@pytest.mark.parametrize("legacy, first, second", LEGACY)
def test_legacy_keys_answer_with_their_replacements(core, legacy, first, second):
    p = core.LayerParams(core.LayerType.Convolutional, {first: 3, second: 5, "filters": 1})
    assert p.get(legacy) == [3, 5]
    assert getattr(p, legacy) == [3, 5]
    assert p.has(legacy) is False
    assert p.has(first) is True
    assert legacy not in p.__dir__()
    assert p.__dir__() == sorted([first, second, "filters"])


def test_stored_key_wins_over_legacy_key(core):
    p = core.LayerParams(core.LayerType.Conv2D, {"kernel_size": 7, "kernel_width": 3, "kernel_height": 5})
    assert p.kernel_size == 7 and p.get("kernel_size") == 7
    assert p.has("kernel_size") is True


def test_legacy_key_without_its_replacements_is_refused_by_the_engine(core):
    p = core.LayerParams(core.LayerType.Conv2D, {"kernel_width": 3})
    with pytest.raises(ValueError):
        p.get("kernel_size")


def test_unknown_key_raises_value_error_everywhere(core):
    p = core.LayerParams(core.LayerType.Add, {"a": 1})
    for read in (lambda: p.get("nope"), lambda: p.nope, lambda: getattr(p, "nope", 42), lambda: hasattr(p, "nope")):
        with pytest.raises(ValueError) as error:
            read()
        assert str(error.value) == "Key nope not found"
    with pytest.raises(ValueError, match="^Key Kernel_size not found$"):
        p.get("Kernel_size")  # case-sensitive, no alias
    # Normal attribute lookup comes first.
    assert callable(p.get) and p.layer_type == core.LayerType.Add


def test_dir_lists_stored_keys_in_engine_order(core):
    p = core.LayerParams(core.LayerType.Add, {"zeta": 1, "alpha": 2, "mid": 3})
    assert p.__dir__() == ["alpha", "mid", "zeta"]
    assert dir(core.LayerParams(core.LayerType.Add, {})) == []


def test_shallow_copy_is_independent(core):
    p = core.LayerParams(core.LayerType.Dense1D, {"units": 10, "kernel_width": 2, "kernel_height": 4})
    q = copy.copy(p)
    assert q is not p and isinstance(q, core.LayerParams)
    assert q.layer_type == p.layer_type
    assert q.__dir__() == p.__dir__()
    assert [q.get(k) for k in q.__dir__()] == [p.get(k) for k in p.__dir__()]
    assert q.kernel_size == [2, 4]
    del p
    assert q.units == 10


def test_read_only(core):
    p = core.LayerParams(core.LayerType.Add, {"a": 1})
    with pytest.raises(AttributeError):
        p.layer_type = core.LayerType.Conv2D
    with pytest.raises(AttributeError):
        p.a = 2
    assert p.a == 1


def test_registration_order(core):
    names = list(vars(core))
    order = ["Model", "Layer", "LayerType", "Unknown", "Dense1D", "Padding", "Valid", "Same", "PoolType",
             "NoPooling", "Average", "ActivationType", "NoActivation", "LUT", "LayerParams", "Variables"]
    positions = [names.index(n) for n in order]
    assert positions == sorted(positions)
