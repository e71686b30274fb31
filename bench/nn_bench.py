"""Kernels of the `nn` submodule against numpy doing the same arithmetic, in one process.

Run with PYTHONPATH=<build dir>. Each line gives the best of several runs, the throughput and
the ratio numpy time / kernel time. numpy's references use its fastest single-threaded integer
routes (im2col with einsum, or a sum of shifted slices) and are checked equal to the kernels.
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import time  # noqa: E402

import numpy as np  # noqa: E402
from numpy.lib.stride_tricks import sliding_window_view  # noqa: E402

from nuvra import core  # noqa: E402

RNG = np.random.default_rng(1)


def best(f, runs=7):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = f()
        times.append(time.perf_counter() - start)
    return min(times), result


def report(name, work, unit, kernel, references):
    t_nn, got = best(kernel)
    timed = [best(r, runs=3) for r in references]
    t_np = min(t for t, _ in timed)
    for _, expected in timed:
        np.testing.assert_array_equal(got, expected)
    print(f"{name:<44} nn {t_nn * 1e3:8.2f} ms {work / t_nn / 1e9:6.2f} {unit}   "
          f"numpy {t_np * 1e3:8.2f} ms {work / t_np / 1e9:6.2f} {unit}   ratio {t_np / t_nn:6.1f}x")


def padded(x, k, s, fill):
    """x padded the way Same padding places it, and the output size."""
    out = [-(-n // s) for n in x.shape[:2]]
    total = [max((o - 1) * s + k - n, 0) for o, n in zip(out, x.shape[:2])]
    pads = ((total[0] // 2, total[0] - total[0] // 2), (total[1] // 2, total[1] - total[1] // 2), (0, 0))
    return np.pad(x, pads, constant_values=fill) if np.isscalar(fill) else np.stack(
        [np.pad(x[..., c], pads[:2], constant_values=fill[c]) for c in range(x.shape[2])], axis=-1), out


def im2col(x, k, s, fill):
    p, out = padded(x, k, s, fill)
    win = sliding_window_view(p, (k, k), axis=(0, 1))[::s, ::s][:out[0], :out[1]]
    return win.transpose(0, 1, 3, 4, 2).reshape(out[0] * out[1], -1).astype(np.int32), out


def conv_refs(x, w, s, fill):
    k, f = w.shape[0], w.shape[3]
    w2 = w.reshape(-1, f).astype(np.int32)

    def einsum():
        cols, out = im2col(x, k, s, fill)
        return np.einsum("pk,kf->pf", cols, w2).reshape(out[0], out[1], f)

    def slices():
        p, out = padded(x, k, s, fill)
        acc = np.zeros((out[0], out[1], f), np.int32)
        for i in range(k):
            for j in range(k):
                tap = p[i:i + s * out[0]:s, j:j + s * out[1]:s].astype(np.int32)
                acc += np.einsum("xyc,cf->xyf", tap, w[i, j].astype(np.int32))
        return acc
    return [einsum, slices]


def main():
    nn, same = core.nn, core.Padding.Same
    print("Kernels of nuvra.core.nn against numpy, single-threaded (best of several runs)")

    x = RNG.integers(0, 256, (112, 112, 32)).astype(np.int32)
    w = RNG.integers(-128, 128, (3, 3, 32, 64)).astype(np.int8)
    report("conv2d 112x112x32 * 3x3x32x64, Same", 112 * 112 * 64 * 288, "GMAC/s",
           lambda: nn.conv2d(x, w, 1, same, 0), conv_refs(x, w, 1, 0))

    wd = RNG.integers(-128, 128, (3, 3, 1, 32)).astype(np.int8)

    def depthwise_slices():
        p, _ = padded(x, 3, 1, 0)
        acc = np.zeros(x.shape, np.int32)
        for i in range(3):
            for j in range(3):
                acc += p[i:i + 112, j:j + 112] * wd[i, j, 0].astype(np.int32)
        return acc
    report("depthwise_conv2d 112x112x32 * 3x3x1x32", 112 * 112 * 32 * 9, "GMAC/s",
           lambda: nn.depthwise_conv2d(x, wd, 1), [
               depthwise_slices,
               lambda: np.einsum("xycij,ijc->xyc", sliding_window_view(padded(x, 3, 1, 0)[0], (3, 3), axis=(0, 1)),
                                 wd[:, :, 0].astype(np.int32))])

    img = RNG.integers(0, 256, (224, 224, 3)).astype(np.uint8)
    wi = RNG.integers(-128, 128, (3, 3, 3, 32)).astype(np.int8)
    z = RNG.integers(0, 256, 3).astype(np.uint8)
    report("input_conv2d 224x224x3 * 3x3x3x32, stride 2", 112 * 112 * 32 * 27, "GMAC/s",
           lambda: nn.input_conv2d(img, wi, 2, same, z, 0), conv_refs(img, wi, 2, z))

    for name, bound, dtype in (("int8 values", 128, np.int32), ("20-bit values, int64 sums", 2**20, np.int64)):
        a = RNG.integers(-bound, bound, (256, 256)).astype(np.int32)
        b = RNG.integers(-bound, bound, (256, 256)).astype(np.int32)
        refs = [lambda a=a, b=b, t=dtype: np.clip(np.einsum("mk,kn->mn", a.astype(t), b.astype(t)), -2**31, 2**31 - 1)]
        if dtype == np.int32:
            refs.append(lambda a=a, b=b: a @ b)
        report(f"matmul 256x256 by 256x256, {name}", 256**3, "GMAC/s", lambda a=a, b=b: nn.matmul(a, b, 0, False), refs)

    def pool_slices(k, s):
        p, out = padded(x, k, s, np.iinfo(np.int32).min)
        acc = np.full((out[0], out[1], 32), np.iinfo(np.int32).min, np.int32)
        for i in range(k):
            for j in range(k):
                np.maximum(acc, p[i:i + s * out[0]:s, j:j + s * out[1]:s], out=acc)
        return acc
    report("max_pooling 112x112x32, 3x3 stride 2, Same", 56 * 56 * 32 * 9, "G/s",
           lambda: nn.max_pooling(x, 3, 3, 2, 2, same, 0), [lambda: pool_slices(3, 2)])


if __name__ == "__main__":
    main()
