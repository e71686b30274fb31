import numpy as np
import pytest

from helpers import Graph

RNG = np.random.default_rng(7)


def v2_conv(core):
    g = Graph(core, 6, 6, 3)
    return g.add(core.Conv2D, "conv", filters=4, kernel_size=3)


def v1_conv(core, weights_bits):
    g = Graph(core, 8, 8, 2, bits=1)
    return g.add(core.Convolutional, "conv", filters=4, kernel_size=3, weights_bits=weights_bits)


# layer, variable, numpy dtype, value range: one row per element type a layer declares.
# Convolutional weights are held axes-reversed by the engine (layout 1).
ROUND_TRIPS = [
    (lambda core: v2_conv(core), "weights", np.int8, (-128, 127)),  # int8
    (lambda core: v2_conv(core), "input_shift", np.uint8, (0, 15)),  # uint4
    (lambda core: v2_conv(core), "bias_shift", np.uint8, (0, 255)),  # uint8
    (lambda core: v1_conv(core, 4), "weights", np.int8, (-8, 7)),  # int4, layout 1
    (lambda core: v1_conv(core, 2), "weights", np.int8, (-2, 1)),  # int2, layout 1
    (lambda core: v1_conv(core, 1), "weights", np.int8, (0, 1)),  # bit, layout 1
    (lambda core: v1_conv(core, 1), "threshold", np.int32, (-2**31, 2**31 - 1)),  # int32
    (lambda core: v1_conv(core, 1), "act_step", np.float32, None),  # float32
]


def random_values(shape, dtype, bounds):
    if bounds is None:
        return RNG.standard_normal(shape).astype(dtype)
    return RNG.integers(bounds[0], bounds[1], size=shape, endpoint=True).astype(dtype)


@pytest.mark.parametrize("make, name, dtype, bounds", ROUND_TRIPS)
def test_round_trip_for_every_element_type(core, make, name, dtype, bounds):
    variables = make(core).variables
    current = variables[name]
    assert current.dtype == dtype
    values = random_values(current.shape, dtype, bounds)
    assert variables.__setitem__(name, values) is None
    back = variables[name]
    assert back.dtype == dtype and back.shape == values.shape
    np.testing.assert_array_equal(back, values)


def test_layout_1_variable_is_seen_in_numpy_order(core):
    layer = v1_conv(core, 4)
    # Declared (filters, channels, kh, kw) with dimension 0 varying fastest.
    assert layer.variables["weights"].shape == (3, 3, 2, 4)
    values = random_values((3, 3, 2, 4), np.int8, (-8, 7))
    layer.variables["weights"] = values
    np.testing.assert_array_equal(layer.variables["weights"], values)
    with pytest.raises(ValueError):
        layer.variables["weights"] = np.zeros((4, 2, 3, 3), np.int8)  # the declared order is not numpy's
    np.testing.assert_array_equal(layer.variables["weights"], values)


def test_names_in_engine_order(core):
    layer = v2_conv(core)
    assert layer.variables.names == ["weights", "input_shift", "bias", "bias_shift", "output_scales",
                                     "output_shift", "max_value", "max_value_shift"]
    g = Graph(core)
    assert g["input"].variables.names == []


def test_read_gives_a_copy(core):
    variables = v2_conv(core).variables
    first = variables["bias"]
    first[:] = 5
    assert not variables["bias"].any()
    assert first.flags.writeable and first.flags.owndata


def test_strided_fortran_and_subclass_arrays(core):
    variables = v2_conv(core).variables
    wide = random_values((3, 3, 3, 8), np.int8, (-128, 127))
    variables["weights"] = wide[:, :, :, ::2]
    np.testing.assert_array_equal(variables["weights"], wide[:, :, :, ::2])
    fortran = np.asfortranarray(random_values((3, 3, 3, 4), np.int8, (-128, 127)))
    variables["weights"] = fortran
    np.testing.assert_array_equal(variables["weights"], fortran)

    class Sub(np.ndarray):
        pass

    sub = np.arange(4, dtype=np.uint8).view(Sub)
    variables["bias_shift"] = sub
    np.testing.assert_array_equal(variables["bias_shift"], [0, 1, 2, 3])


# layer, variable, wrong dtype, expected dtype name
DTYPE_REFUSALS = [
    (lambda core: v2_conv(core), "input_shift", np.int8, "uint8"),  # uint4
    (lambda core: v2_conv(core), "bias", np.uint8, "int8"),
    (lambda core: v2_conv(core), "bias_shift", np.bool_, "uint8"),
    (lambda core: v1_conv(core, 1), "threshold", np.int64, "int32"),
    (lambda core: v1_conv(core, 1), "act_step", np.float64, "float32"),
    (lambda core: v1_conv(core, 1), "weights", np.float32, "int8"),  # bit
    (lambda core: v1_conv(core, 4), "weights", np.float32, "int8"),  # int4
    (lambda core: v1_conv(core, 2), "weights", np.uint8, "int8"),  # int2
]


@pytest.mark.parametrize("make, name, dtype, expected", DTYPE_REFUSALS)
def test_wrong_dtype_is_refused_and_nothing_stored(core, make, name, dtype, expected):
    variables = make(core).variables
    before = variables[name]
    wrong = np.zeros(before.shape, dtype=dtype)  # values that would fit
    received = str(np.dtype(dtype))
    with pytest.raises(ValueError) as error:
        variables[name] = wrong
    assert str(error.value) == f"Unsupported variable type for {name} expected {expected} received {received}"
    np.testing.assert_array_equal(variables[name], before)


def test_engine_and_conversion_refusals(core):
    layer = v1_conv(core, 4)
    variables = layer.variables
    before = variables["weights"]
    out_of_range = np.full(before.shape, 8, np.int8)
    with pytest.raises(ValueError):
        variables["weights"] = out_of_range
    with pytest.raises(ValueError, match="^Layer conv has no variable nope$"):
        variables["nope"] = before
    with pytest.raises(ValueError):
        variables["nope"]
    with pytest.raises(ValueError) as error:
        variables["threshold"] = np.array(3, np.int32)
    assert str(error.value) == "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"
    with pytest.raises(ValueError) as error:
        variables["threshold"] = np.zeros((1, 1, 1, 1, 4), np.int32)
    assert str(error.value) == "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"
    with pytest.raises(RuntimeError, match="^Cannot have a shape with a dimension set to 0$"):
        variables["threshold"] = np.zeros((4, 0), np.int32)
    np.testing.assert_array_equal(variables["weights"], before)
    assert not variables["threshold"].any()


@pytest.mark.parametrize("call", [
    lambda v: v.__setitem__("threshold", [1, 2, 3, 4]),
    lambda v: v.__setitem__("threshold", 3),
    lambda v: v.__setitem__(0, np.zeros(4, np.int32)),
    lambda v: v[0],
    lambda v: v.__getitem__(name="threshold"),
])
def test_wrong_argument_types(core, call):
    variables = v1_conv(core, 1).variables
    with pytest.raises(TypeError):
        call(variables)


def test_no_constructor_and_read_only_names(core):
    with pytest.raises(TypeError):
        core.Variables()
    variables = v2_conv(core).variables
    with pytest.raises(AttributeError):
        variables.names = []
