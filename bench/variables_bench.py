"""Setting a layer variable from numpy copies the values once: compared, in the same run, with
numpy's own copy of the same 1 MiB array. Run with PYTHONPATH=<build dir>; best of many runs."""
import importlib
import timeit

import numpy as np

core = importlib.import_module("nuvra.core")


def one_mib_conv():
    """A 1x1 Conv2D of 1024 filters over 1024 channels: 1 MiB of int8 weights."""
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.InputData, dict(input_width=4, input_height=4, input_channels=1024)),
                         "input"))
    model.add(core.Layer(core.LayerParams(core.Conv2D, dict(filters=1024, kernel_size=1)), "conv"))
    return model.get_layer(1)


def best_us(statement, number=20, repeat=50):
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number * 1e6


def main():
    variables = one_mib_conv().variables
    values = np.random.default_rng(1).integers(-8, 8, size=variables["weights"].shape, dtype=np.int8)
    assert values.nbytes == 1 << 20
    set_us = best_us(lambda: variables.__setitem__("weights", values))
    copy_us = best_us(values.copy)
    assert np.array_equal(variables["weights"], values)
    print("Setting a 1 MiB variable from numpy, best of 50 runs of 20:")
    print(f"  {'set':<12} {set_us:8.1f} us")
    print(f"  {'numpy copy':<12} {copy_us:8.1f} us  (the same array copied by numpy)")
    print(f"  set / copy {set_us / copy_us:.2f}x")


if __name__ == "__main__":
    main()
