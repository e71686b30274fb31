"""Kernels of the `nn` submodule against numpy doing the same arithmetic, in one process.

Run with PYTHONPATH=<build dir>. Each line gives the best of several runs, the throughput (for
multiply-adds also as a share of the int8 peak of one core, bench/peak_bench.cpp) and the ratio
numpy time / kernel time. numpy's references use its fastest single-threaded integer
routes (im2col with einsum, or a sum of shifted slices) and are checked equal to the kernels.
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import time  # noqa: E402

import numpy as np  # noqa: E402
from numpy.lib.stride_tricks import sliding_window_view  # noqa: E402

from nuvra import core  # noqa: E402
from peak import int8_peak, share  # noqa: E402

RNG = np.random.default_rng(1)
PEAK = None  # int8 GMAC/s of one core, measured in main()


def best(f, runs=7):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = f()
        times.append(time.perf_counter() - start)
    return min(times), result


def report(name, work, unit, kernel, im2col, *others):
    """The kernel against numpy's im2col/einsum formulation, and against the fastest other one."""
    t_nn, got = best(kernel)
    t_ref, expected = best(im2col, runs=3)
    np.testing.assert_array_equal(got, expected)
    rate = f"{work / t_nn / 1e9:6.2f} {unit}" + (share(work / t_nn / 1e9, PEAK) if unit == "GMAC/s" else "")
    line = (f"{name:<44} nn {t_nn * 1e3:7.2f} ms {rate}   "
            f"im2col/einsum {t_ref * 1e3:7.2f} ms  ratio {t_ref / t_nn:5.1f}x")
    if others:
        timed = [best(r, runs=3) for r in others]
        for _, e in timed:
            np.testing.assert_array_equal(got, e)
        t_other = min(t for t, _ in timed)
        line += f"   best numpy {t_other * 1e3:7.2f} ms  ratio {t_other / t_nn:5.1f}x"
    print(line)


def padded(x, k, s, fill):
    """x padded the way Same padding places it, and the output size."""
    out = [-(-n // s) for n in x.shape[:2]]
    total = [max((o - 1) * s + k - n, 0) for o, n in zip(out, x.shape[:2])]
    pads = ((total[0] // 2, total[0] - total[0] // 2), (total[1] // 2, total[1] - total[1] // 2), (0, 0))
    return np.pad(x, pads, constant_values=fill) if np.isscalar(fill) else np.stack(
        [np.pad(x[..., c], pads[:2], constant_values=fill[c]) for c in range(x.shape[2])], axis=-1), out


def patches(x, k, s, fill):
    """im2col: the (pixels, k * k, channels) windows, copied as int32."""
    p, out = padded(x, k, s, fill)
    win = sliding_window_view(p, (k, k), axis=(0, 1))[::s, ::s][:out[0], :out[1]]
    return win.transpose(0, 1, 3, 4, 2).reshape(out[0] * out[1], k * k, -1).astype(np.int32), out


def slices(x, k, s, fill, tap):
    """The sum (or other fold) of k * k strided slices of the padded input, tap by tap."""
    p, out = padded(x, k, s, fill)
    acc = None
    for i in range(k):
        for j in range(k):
            acc = tap(acc, p[i:i + s * out[0]:s, j:j + s * out[1]:s].astype(np.int32), i, j)
    return acc


def conv_refs(x, w, s, fill):
    k, f = w.shape[0], w.shape[3]
    w2, w32 = w.reshape(-1, f).astype(np.int32), w.astype(np.int32)

    def im2col():
        cols, out = patches(x, k, s, fill)
        return np.einsum("pk,kf->pf", cols.reshape(len(cols), -1), w2).reshape(out[0], out[1], f)
    return im2col, lambda: slices(x, k, s, fill,
                                  lambda a, t, i, j: (0 if a is None else a) + np.einsum("xyc,cf->xyf", t, w32[i, j]))


def main():
    global PEAK
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # one core, the one the peak is measured on
    nn, same = core.nn, core.Padding.Same
    PEAK = int8_peak()
    print(f"int8 multiply-add peak of one core: {PEAK:.1f} GMAC/s" if PEAK else "int8 peak unknown")
    print("Kernels of nuvra.core.nn against numpy doing the same arithmetic, single-threaded, best of several runs.")
    print("Ratios are numpy time / kernel time: im2col/einsum, and the fastest other numpy formulation found.")

    x = RNG.integers(0, 256, (112, 112, 32)).astype(np.int32)
    w = RNG.integers(-128, 128, (3, 3, 32, 64)).astype(np.int8)
    report("conv2d 112x112x32 * 3x3x32x64, Same", 112 * 112 * 64 * 288, "GMAC/s",
           lambda: nn.conv2d(x, w, 1, same, 0), *conv_refs(x, w, 1, 0))

    wd = RNG.integers(-128, 128, (3, 3, 1, 32)).astype(np.int8)
    wd2 = wd.reshape(9, 32).astype(np.int32)
    report("depthwise_conv2d 112x112x32 * 3x3x1x32, Same", 112 * 112 * 32 * 9, "GMAC/s",
           lambda: nn.depthwise_conv2d(x, wd, 1),
           lambda: np.einsum("pkc,kc->pc", patches(x, 3, 1, 0)[0], wd2).reshape(112, 112, 32),
           lambda: slices(x, 3, 1, 0, lambda a, t, i, j: (0 if a is None else a) + t * wd2[i * 3 + j]))

    img = RNG.integers(0, 256, (224, 224, 3)).astype(np.uint8)
    wi = RNG.integers(-128, 128, (3, 3, 3, 32)).astype(np.int8)
    z = RNG.integers(0, 256, 3).astype(np.uint8)
    report("input_conv2d 224x224x3 * 3x3x3x32, stride 2", 112 * 112 * 32 * 27, "GMAC/s",
           lambda: nn.input_conv2d(img, wi, 2, same, z, 0), *conv_refs(img, wi, 2, z))

    a = RNG.integers(-128, 128, (256, 256)).astype(np.int32)
    b = RNG.integers(-128, 128, (256, 256)).astype(np.int32)
    report("matmul 256x256 by 256x256, int8 values", 256**3, "GMAC/s", lambda: nn.matmul(a, b, 0, False),
           lambda: np.einsum("mk,kn->mn", a, b), lambda: a @ b)
    a, b = (RNG.integers(-2**20, 2**20, (256, 256)).astype(np.int32) for _ in range(2))
    report("matmul 256x256 by 256x256, 21-bit values", 256**3, "GMAC/s", lambda: nn.matmul(a, b, 0, False),
           lambda: np.clip(np.einsum("mk,kn->mn", a.astype(np.int64), b.astype(np.int64)), -2**31, 2**31 - 1))

    low = np.iinfo(np.int32).min
    report("max_pooling 112x112x32, 3x3 stride 2, Same", 56 * 56 * 32 * 9, "G/s",
           lambda: nn.max_pooling(x, 3, 3, 2, 2, same, 0),
           lambda: patches(x, 3, 2, low)[0].max(axis=1).reshape(56, 56, 32),
           lambda: slices(x, 3, 2, low, lambda a, t, i, j: t if a is None else np.maximum(a, t)))

    # One rounding of x * scale: float32 products while x fits float32 exactly, exact integer
    # products past it; numpy's reference multiplies in long double (64-bit significand).
    scales = (RNG.random(32) * 4 - 2).astype(np.float32)
    for bits in (24, 31):
        v = RNG.integers(-2**bits, 2**bits, (256, 512, 32)).astype(np.int32)
        report(f"dequantize 256x512x32, values of {bits + 1} bits", v.size, "G/s", lambda: nn.dequantize(v, scales),
               lambda: (v.astype(np.longdouble) * scales).astype(np.float32))


if __name__ == "__main__":
    main()
