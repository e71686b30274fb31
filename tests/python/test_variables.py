import numpy as np
import pytest

from v2_models import model_of

WRONG_TYPE = "Unsupported variable type for {} expected {} received {}"
DIMENSIONS = "Cannot instantiate a Dense with {} dimensions (min 1, max 4).\n"


def conv(core, bits=None):
    """A v2 Conv2D on a (6, 6, 3) input, or a v1 Convolutional with these weight bits on (8, 8, 2)."""
    if bits is None:
        return model_of(core, (core.InputData, "input", dict(input_width=6, input_height=6, input_channels=3)),
                        (core.Conv2D, "conv", dict(filters=4, kernel_size=3))).get_layer(1)
    input_data = dict(input_width=8, input_height=8, input_channels=2, input_bits=1)
    return model_of(core, (core.InputData, "input", input_data),
                    (core.Convolutional, "conv", dict(filters=4, kernel_size=3, weights_bits=bits))).get_layer(1)


# weights bits (None: v2), variable, numpy dtype, value range: one row per element type a layer declares.
@pytest.mark.parametrize("bits, name, dtype, bounds", [
    (None, "weights", np.int8, (-128, 127)),  # int8
    (None, "input_shift", np.uint8, (0, 15)),  # uint4
    (None, "bias_shift", np.uint8, (0, 255)),  # uint8
    (4, "weights", np.int8, (-8, 7)),  # int4, layout 1
    (2, "weights", np.int8, (-2, 1)),  # int2, layout 1
    (1, "weights", np.int8, (0, 1)),  # bit, layout 1
    (1, "threshold", np.int32, (-2**31, 2**31 - 1)),
    (1, "act_step", np.float32, None),
])
def test_round_trip_for_every_element_type(core, rng, bits, name, dtype, bounds):
    variables = conv(core, bits).variables
    current = variables[name]
    assert current.dtype == dtype
    if bits is not None and name == "weights":  # declared (F, CH, Kh, Kw) with dimension 0 varying fastest
        assert current.shape == (3, 3, 2, 4)
    shape = current.shape[:-1] + (2 * current.shape[-1],)
    wide = (rng.integers(*bounds, size=shape, endpoint=True) if bounds else rng.standard_normal(shape)).astype(dtype)
    for values in (wide[..., ::2], np.asfortranarray(wide[..., 1::2])):
        assert variables.__setitem__(name, values) is None
        back = variables[name]
        assert back.dtype == dtype and back.flags.c_contiguous
        np.testing.assert_array_equal(back, values)
    back[...] = 1  # a copy: the variable stays as set
    np.testing.assert_array_equal(variables[name], values)


# weights bits (None: v2), variable, value made from the current one, error, exact message when given
@pytest.mark.parametrize("bits, name, make, error, message", [
    (None, "input_shift", lambda v: v.astype(np.int8), ValueError, WRONG_TYPE.format("input_shift", "uint8", "int8")),
    (1, "threshold", lambda v: v.astype(np.int64), ValueError, WRONG_TYPE.format("threshold", "int32", "int64")),
    (4, "nope", lambda v: v, ValueError, "Layer conv has no variable nope"),
    (4, "threshold", lambda v: np.array(v[0]), ValueError, DIMENSIONS.format(0)),
    (4, "threshold", lambda v: v[:0], RuntimeError, "Cannot have a shape with a dimension set to 0"),
    (4, "threshold", lambda v: v.tolist(), TypeError, None),
])
def test_refusals_store_nothing(core, bits, name, make, error, message):
    variables = conv(core, bits).variables
    before = {n: variables[n] for n in variables.names}
    with pytest.raises(error) as info:
        variables[name] = make(before[name if name in before else "threshold"])
    assert message is None or str(info.value) == message
    for n, values in before.items():
        np.testing.assert_array_equal(variables[n], values)

