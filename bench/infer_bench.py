"""Software forward of a MobileNet-like second-generation model (224x224x3, 28 layers) on a batch of
16, against numpy doing the same integer arithmetic (checked equal) and against the int8 multiply-add
peak of one core (bench/peak_bench.cpp), the speed-up from one core to all, and the latency of a
batch of one on one core and on all. Run with PYTHONPATH=<build dir>. The one-core figures come from a child process pinned to one
CPU: the engine sizes its inference threads by the CPUs it may use, once, on first use.
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
from numpy.lib.stride_tricks import sliding_window_view  # noqa: E402

from nuvra import core  # noqa: E402
from peak import int8_peak, share  # noqa: E402

BATCH, SIZE = 16, 224
# (filters, stride) of each depthwise + pointwise pair after the 3x3 stride-2 input convolution.
BLOCKS = [(64, 1), (128, 2), (128, 1), (256, 2), (256, 1), (512, 2)] + [(512, 1)] * 5 + [(1024, 2), (1024, 1)]


def layer(layer_type, name, **params):
    return core.Layer(core.LayerParams(layer_type, params), name)


def build():
    model = core.Model()
    model.add(layer(core.InputConv2D, "stem", input_width=SIZE, input_height=SIZE, input_channels=3, filters=32,
                    kernel_size=3, kernel_stride=2))
    for i, (filters, stride) in enumerate(BLOCKS):
        model.add(layer(core.DepthwiseConv2D, f"dw{i}", kernel_size=3, kernel_stride=stride))
        last = i == len(BLOCKS) - 1
        model.add(layer(core.Conv2D, f"pw{i}", filters=filters, kernel_size=1,
                        **(dict(pool_type=2, pool_size=-1) if last else {})))
    model.add(layer(core.Dense1D, "classifier", units=10, activation=0))
    rng = np.random.default_rng(3)
    for lay in model.layers:
        v = lay.variables
        fan_in = v["weights"].size // v["weights"].shape[-1] if lay.name != "classifier" else 1024
        v["weights"] = rng.integers(-7, 8, size=v["weights"].shape).astype(np.int8)
        v["bias"] = rng.integers(-20, 21, size=v["bias"].shape).astype(np.int8)
        v["bias_shift"] = np.full(v["bias_shift"].shape, 2, np.uint8)
        v["output_scales"] = rng.integers(1, 4, size=v["output_scales"].shape).astype(np.uint8)
        v["output_shift"] = np.full(v["output_shift"].shape, -round(np.log2(np.sqrt(fan_in) * 3)), np.int8)
        if "max_value" in v.names:
            v["max_value"] = np.full(v["max_value"].shape, 255, np.uint8)
            v["max_value_shift"] = np.full(v["max_value_shift"].shape, 7, np.uint8)
    return model


def same(x, k, s, fill=0):
    """x (n, X, Y, C) padded as Same padding places it, and the output size."""
    out = [-(-d // s) for d in x.shape[1:3]]
    total = [max((o - 1) * s + k - d, 0) for o, d in zip(out, x.shape[1:3])]
    pads = [(0, 0)] + [(t // 2, t - t // 2) for t in total] + [(0, 0)]
    if np.isscalar(fill):
        return np.pad(x, pads, constant_values=fill), out
    return np.concatenate([np.pad(x[..., c:c + 1], pads, constant_values=int(fill[c]))
                           for c in range(x.shape[3])], axis=3), out


def sshift(v, s):
    """v << s, or v >> -s rounded half up, per channel."""
    r = np.maximum(-s, 1).astype(np.int64)
    return np.where(s >= 0, v << np.maximum(s, 0).astype(np.int64), (v + (np.int64(1) << (r - 1))) >> r)


def tail(acc, v, relu, pool=False):
    acc = acc.astype(np.int64) + (v["bias"].astype(np.int64) << v["bias_shift"].astype(np.int64))
    if relu:
        acc = np.clip(acc, 0, v["max_value"].astype(np.int64) << v["max_value_shift"].astype(np.int64))
    if pool:
        pixels = acc.shape[1] * acc.shape[2]
        acc = np.floor_divide(2 * acc.sum(axis=(1, 2), keepdims=True) + pixels, 2 * pixels)
    y = sshift(acc * v["output_scales"].astype(np.int64), v["output_shift"].astype(np.int64))
    return np.clip(y, 0, 255).astype(np.int32) if relu else np.clip(y, -2**31, 2**31 - 1).astype(np.int32)


def numpy_forward(model, x):
    """The same layers in numpy integers: im2col with einsum, shifted slices, matmul."""
    v = model.get_layer("stem").variables
    p, out = same(x, 3, 2, v["padding_value"])
    win = sliding_window_view(p, (3, 3), axis=(1, 2))[:, ::2, ::2][:, :out[0], :out[1]].astype(np.int32)
    h = tail(np.einsum("nxycij,ijcf->nxyf", win, v["weights"].astype(np.int32)), v, True)
    for i, (filters, stride) in enumerate(BLOCKS):
        v = model.get_layer(f"dw{i}").variables
        p, out = same(h, 3, stride)
        w = v["weights"].astype(np.int32)
        acc = sum(p[:, a:a + stride * out[0]:stride, b:b + stride * out[1]:stride] * w[a, b, 0]
                  for a in range(3) for b in range(3))
        h = tail(acc, v, True)
        v = model.get_layer(f"pw{i}").variables
        h = tail(h @ v["weights"][0, 0].astype(np.int32), v, True, pool=i == len(BLOCKS) - 1)
    v = model.get_layer("classifier").variables
    return tail(h.reshape(len(h), -1) @ v["weights"].astype(np.int32), v, False).reshape(len(h), 1, 1, -1)


def macs():
    total, side, channels = SIZE // 2 * SIZE // 2 * 27 * 32, SIZE // 2, 32
    for filters, stride in BLOCKS:
        side = -(-side // stride)
        total += side * side * channels * 9 + side * side * channels * filters
        channels = filters
    return total + channels * 10


def best(f, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = f()
        times.append(time.perf_counter() - start)
    return min(times), result


def engine_times(runs=3):
    """Best time of a batch of BATCH and of a batch of one (the latency of one image)."""
    model, x = build(), np.random.default_rng(5).integers(0, 256, size=(BATCH, SIZE, SIZE, 3)).astype(np.uint8)
    t_batch, out = best(lambda: model.forward(x), runs)
    t_one = best(lambda: model.forward(x[:1]), 5 * runs)[0]
    return t_batch, t_one, model, x, out


def main():
    if sys.argv[1:] == ["--one-core"]:
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        print(*engine_times()[:2])
        return
    t_all, t1_all, model, x, got = engine_times()
    t_numpy, expected = best(lambda: numpy_forward(model, x), 1)
    np.testing.assert_array_equal(got, expected)
    child = subprocess.run([sys.executable, __file__, "--one-core"], capture_output=True, text=True, check=True)
    t_one, t1_one = map(float, child.stdout.split())
    peak = int8_peak()
    work = macs() * BATCH
    cores = len(os.sched_getaffinity(0))
    print(f"MobileNet-like v2 forward, {len(model.layers)} layers, batch {BATCH}, {work / 1e9:.1f} GMAC")
    print(f"  int8 peak of one core {peak:8.1f} GMAC/s" if peak else "  int8 peak unknown (bench_peak_bench not built)")
    print(f"  numpy (1 core)      {t_numpy:8.3f} s {BATCH / t_numpy:8.2f} images/s {work / t_numpy / 1e9:7.2f} GMAC/s")
    print(f"  engine 1 core       {t_one:8.3f} s {BATCH / t_one:8.2f} images/s {work / t_one / 1e9:7.2f} GMAC/s"
          f"{share(work / t_one / 1e9, peak)}   ratio to numpy {t_numpy / t_one:6.1f}x")
    print(f"  engine {cores} cores     {t_all:8.3f} s {BATCH / t_all:8.2f} images/s {work / t_all / 1e9:7.2f} GMAC/s"
          f"   speed-up over 1 core {t_one / t_all:5.2f}x")
    one = macs() / 1e9
    print(f"  batch of one, 1 core   {t1_one * 1e3:7.2f} ms {one / t1_one:7.2f} GMAC/s{share(one / t1_one, peak)}")
    print(f"  batch of one, {cores} cores  {t1_all * 1e3:7.2f} ms {one / t1_all:7.2f} GMAC/s"
          f"   speed-up over 1 core {t1_one / t1_all:5.2f}x")


if __name__ == "__main__":
    main()
