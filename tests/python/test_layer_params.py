import numpy as np
import pytest

# legacy key, its two replacements
ALIASES = [("kernel_size", "kernel_width", "kernel_height"), ("kernel_stride", "stride_x", "stride_y"),
           ("pool_size", "pooling_width", "pooling_height"), ("pool_stride", "pooling_stride_x", "pooling_stride_y")]


def test_constructor_takes_int32_values_only(core):
    for value in (-2**31, 2**31 - 1, True, np.int64(7)):
        assert core.LayerParams(core.Add, {"k": value}).get("k") == int(value)
    for layer_type, entries in [(core.Add, {"k": 2**31}), (core.Add, {"k": -2**31 - 1}), (core.Add, {"k": 1.5}),
                                (core.Add, {1: 1}), (core.Add, [("k", 1)]), (6, {"k": 1})]:
        pytest.raises(TypeError, core.LayerParams, layer_type, entries)
    pytest.raises(ValueError, core.LayerParams, core.LayerType(99), {})  # the engine's


@pytest.mark.parametrize("legacy, first, second", ALIASES)
def test_legacy_keys_answer_with_their_replacements(core, legacy, first, second):
    p = core.LayerParams(core.Convolutional, {first: 3, second: 5, "filters": 1})
    assert p.get(legacy) == getattr(p, legacy) == [3, 5]
    assert p.has(legacy) is False and p.has(first) is True
    assert p.__dir__() == sorted([first, second, "filters"])
    stored = core.LayerParams(core.Conv2D, {legacy: 7, first: 3, second: 5})
    assert stored.get(legacy) == getattr(stored, legacy) == 7 and stored.has(legacy)


def test_missing_keys_raise_value_error(core):
    p = core.LayerParams(core.Add, {"a": 1})
    for read in (lambda: p.get("nope"), lambda: p.nope, lambda: getattr(p, "nope", 42), lambda: hasattr(p, "nope")):
        assert str(pytest.raises(ValueError, read).value) == "Key nope not found"
    pytest.raises(ValueError, p.get, "Kernel_size").match("^Key Kernel_size not found$")
    pytest.raises(ValueError, core.LayerParams(core.Conv2D, {"kernel_width": 3}).get, "kernel_size")  # no replacements

