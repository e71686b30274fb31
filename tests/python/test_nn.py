import itertools

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view


def ints(rng, shape, lo, hi, dtype=np.int32):
    return rng.integers(lo, hi, size=shape, endpoint=True).astype(dtype)


def exact(a):
    return np.asarray(a).astype(object)


# Reference arithmetic on Python integers: v << s, or v >> -s rounded half up.
sshift = np.frompyfunc(lambda v, s: v << s if s >= 0 else (v + (1 << (-s - 1))) >> -s, 2, 1)


def sat(v, bits=32, signed=True):
    lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    return np.minimum(np.maximum(exact(v), lo), hi).astype(np.int64)


def keras(n, k, s, same):
    """Output size and padding before the first element of one axis."""
    if not same:
        return (n - k) // s + 1, 0
    out = -(-n // s)
    return out, max((out - 1) * s + k - n, 0) // 2


def windows(x, k, s, same, fill):
    """The (out_w, out_h, C, kw, kh) windows of x (X, Y, C) with positions outside it worth fill[c];
    s is one stride or (x stride, y stride)."""
    sx, sy = (s, s) if np.isscalar(s) else s
    (ow, left), (oh, top) = keras(x.shape[0], k[0], sx, same), keras(x.shape[1], k[1], sy, same)
    canvas = np.empty(((ow - 1) * sx + k[0], (oh - 1) * sy + k[1], x.shape[2]), dtype=np.int64)
    canvas[...] = fill
    part = x[:canvas.shape[0] - left, :canvas.shape[1] - top]
    canvas[left:left + part.shape[0], top:top + part.shape[1]] = part
    return sliding_window_view(canvas, k, axis=(0, 1))[::sx, ::sy]


def conv(x, w, s, same, fill):
    return np.einsum("xycij,ijcf->xyf", windows(x, w.shape[:2], s, same, fill), w.astype(np.int64))


def depthwise(x, w, s):
    return np.einsum("xycij,ijc->xyc", windows(x, w.shape[:2], s, True, 0), w[:, :, 0].astype(np.int64))


def transposed(x, w, s):
    kw, kh = w.shape[:2]
    out = (s * x.shape[0], s * x.shape[1])
    full = np.zeros((max((x.shape[0] - 1) * s + kw, out[0] + kw), max((x.shape[1] - 1) * s + kh, out[1] + kh),
                     w.shape[3] if w.shape[2] == x.shape[2] else x.shape[2]), dtype=np.int64)
    for i, j in itertools.product(range(x.shape[0]), range(x.shape[1])):
        v, wl = x[i, j].astype(np.int64), w.astype(np.int64)
        part = np.einsum("c,abcf->abf", v, wl) if w.shape[2] == x.shape[2] else v * wl[:, :, 0]
        full[i * s:i * s + kw, j * s:j * s + kh] += part
    px, py = max(kw - s, 0) // 2, max(kh - s, 0) // 2
    return full[px:px + out[0], py:py + out[1]]


def geometry_cases():
    """(function, args, reference) over random shapes; strides 1 to 3 (pooling: also other x and y
    strides), both paddings."""
    rng = np.random.default_rng(15)
    nn_cases = []
    for same, s, k in itertools.product((False, True), (1, 2, 3), ((3, 3), (1, 4), (5, 2))):
        x = ints(rng, (rng.integers(5, 9), rng.integers(5, 9), rng.integers(1, 4)), -300, 300)
        w = ints(rng, k + (x.shape[2], rng.integers(1, 6)), -128, 127, np.int8)
        n = int(rng.integers(-9, 9))
        pad = "Same" if same else "Valid"
        nn_cases.append(("conv2d", (x, w, s, pad, n), sat(conv(x, w, s, same, n))))
        x8, z = x.astype(np.uint8), ints(rng, (x.shape[2],), 0, 255, np.uint8)
        nn_cases.append(("input_conv2d", (x8, w, s, pad, z, 7), sat(conv(x8, w, s, same, z))))
        wd = ints(rng, k + (1, x.shape[2]), -128, 127, np.int8)
        if same:
            nn_cases.append(("depthwise_conv2d", (x, wd, s), sat(depthwise(x, wd, s))))
            nn_cases.append(("conv2d_transpose", (x, w, s), sat(transposed(x, w, s))))
            nn_cases.append(("conv2d_transpose", (x, wd, s), sat(transposed(x, wd, s))))
        for strides in ((s, s), (s, s % 3 + 1)):
            pooled = windows(x, k, strides, same, -2**40).max(axis=(3, 4))
            nn_cases.append(("max_pooling", (x, k[0], k[1]) + strides + (pad, n), pooled.astype(np.int64)))
        x8 = x.astype(np.uint8)
        if not same:  # the Stem layer's kernel is square, the kernel's need not be
            stem = conv(x8, w, s, False, 0)
            nn_cases.append(("stem_conv", (x8, w, s), sat(stem.reshape(-1, stem.shape[2]))))
    # Values past int16 (a pad of -2^15 included) take the wide sums: exact, or saturated past 32 bits.
    for bound, pad in ((2**15 - 1, -2**15), (2**31 - 1, -2**31)):
        x, w = ints(rng, (4, 5, 17), -bound, bound), ints(rng, (3, 3, 17, 2), -128, 127, np.int8)
        wd = ints(rng, (3, 3, 1, 17), -128, 127, np.int8)
        nn_cases += [("conv2d", (x, w, 2, "Same", pad), sat(conv(x, w, 2, True, pad))),
                     ("depthwise_conv2d", (x, wd, 1), sat(depthwise(x, wd, 1)))]
    return nn_cases


@pytest.mark.parametrize("name, args, expected", geometry_cases())
def test_geometry_kernels_match_numpy(core, name, args, expected):
    args = [getattr(core.Padding, a) if isinstance(a, str) else a for a in args]
    got = getattr(core.nn, name)(*args)
    assert got.dtype == np.int32
    np.testing.assert_array_equal(got, expected)


def test_transposed_geometry_and_empty_windows(core, rng):
    # A 3x3 kernel and stride 2 on 5x7 gives padding 0 and a 10x14 output; kernel 4, padding 1.
    x = ints(rng, (5, 7, 2), -5, 5)
    for w in (ints(rng, (3, 3, 2, 3), -3, 3, np.int8), ints(rng, (4, 4, 2, 1), -3, 3, np.int8)):
        got = core.nn.conv2d_transpose(x, w, 2)
        assert got.shape == (10, 14, w.shape[3])
        np.testing.assert_array_equal(got, sat(transposed(x, w, 2)))
    # Only the low 8 bits of the kernel sizes set the padding: 257 counts as 1.
    wide = np.zeros((257, 1, 2, 1), np.int8)
    wide[0, 0] = 1
    np.testing.assert_array_equal(core.nn.conv2d_transpose(x[:1], wide, 1)[..., 0], x[:1, :, 0] + x[:1, :, 1])
    # Same padding with a 2x2 pool: every window covers the input.
    assert core.nn.max_pooling(np.full((1, 1, 1), -7, np.int32), 2, 2, 1, 1, core.Same, 99).item() == -7


# (function, args, reference): element-wise and sequence kernels on random shapes.
def plain_cases():
    rng = np.random.default_rng(16)
    x = ints(rng, (3, 4, 5), -1000, 1000)
    c = ints(rng, (5,), 0, 9)
    a, b = ints(rng, (2, 3, 6), -200, 200), ints(rng, (6, 4), -200, 200)
    bt = ints(rng, (2, 4, 6), -200, 200)
    a5, b5 = ints(rng, (3, 5), -200, 200), ints(rng, (5, 4), -200, 200)  # an odd depth: rows copied with their padding
    toks, x2 = ints(rng, (3, 5), -128, 127, np.int8), ints(rng, (4, 5), -99, 99)
    return [
        ("lshift", (x, c.astype(np.uint8), 12), sat(sshift(exact(x), exact(c)), 12)),
        ("lshift", (x, c.astype(np.uint8), 0), sat(sshift(exact(x), exact(c)))),
        ("shift", (x, c.astype(np.int8) - 4, 0), sat(sshift(exact(x), exact(c - 4)))),
        ("shift_out", (x, c.astype(np.int8) - 4, 8), sat(sshift(exact(x), exact(4 - c)), 8, False)),
        ("add", (x, x[0, 0], 2), sat(sshift(exact(x) + exact(x[0, 0]), -2))),
        ("add", (x, x[:, :1], -3), sat(sshift(exact(x) + exact(x[:, :1]), 3))),
        ("divide", (x, c + 1), (np.trunc(x / (c + 1))).astype(np.int64)),
        ("relu_activation", (x, c * 50), np.minimum(np.maximum(x, 0), c * 50)),
        ("look_up", (x, c), c[np.clip(x, 0, 4)]),
        ("dequantize", (x, c.astype(np.float32) / 3), x.astype(np.float32) * (c.astype(np.float32) / 3)),
        ("scale_out", (x, c * 30, c - 4, 8, 1), sat(sshift(exact(x) * exact(c * 30), exact(c - 4)), 8)),
        ("scale_out", (x, c * 30, c - 4, 4, 0), sat(sshift(exact(x) * exact(c * 30), exact(c - 4)), 4, False)),
        ("sum_abs", (x, -1), np.abs(x).sum(axis=-1, keepdims=True)),
        ("matmul", (a, b, 3, False), sat(sshift(exact(a) @ exact(b), -3))),
        ("matmul", (a, bt, 0, True), sat(exact(a) @ exact(bt).transpose(0, 2, 1))),
        ("matmul", (a5, b5, 0, False), sat(exact(a5) @ exact(b5))),
        ("matmul", (a5, b5.T.copy(), 0, True), sat(exact(a5) @ exact(b5))),
        ("separate_heads", (x2[:, :4], 2), x2[:, :4].reshape(4, 2, 2).transpose(1, 0, 2)),
        ("concatenate", (a, a[..., :2]), np.concatenate([a, a[..., :2]], axis=-1)),
        ("extract_token", (x, 1, 3, 2), x[:, :, 1:3]),
        ("extract_token", (x, 4294967295, 4, 1), x[:, -1:]),  # bits of -1: the last token
        ("concat_token", (x2, toks, c[None] + 256, 2), np.concatenate([sat(sshift(exact(toks[:2]), exact(c))), x2])),
        ("depth_conv_like_op", (x2, toks, 2),
         sat(sshift(sum(exact(np.pad(x2, ((2, 0), (0, 0))))[k:k + 4] * exact(toks[k]) for k in range(3)), -2))),
        ("global_average_pooling", (x, 1), sat(sshift((2 * exact(x).sum((0, 1)) + 12) // 24, -1)).reshape(1, 1, 5)),
    ]


@pytest.mark.parametrize("name, args, expected", plain_cases())
def test_plain_kernels_match_numpy(core, name, args, expected):
    got = getattr(core.nn, name)(*args)
    assert got.dtype == np.asarray(expected).dtype if got.dtype == np.float32 else got.dtype == np.int32
    np.testing.assert_array_equal(got, expected)


# Saturation at both ends and rounding of negative values.
@pytest.mark.parametrize("name, args, expected", [
    ("add", ([2**31 - 1, -2**31, -2**31], [2**31 - 1, -2**31, 0], 0), [2**31 - 1, -2**31, -2**31]),
    ("add", ([-3, -5, 3, 5, -4], [0, 0, 0, 0, 0], 1), [-1, -2, 2, 3, -2]),
    ("divide", ([-2**31, -7, 7], [-1, 2, -2]), [2**31 - 1, -3, -3]),
    ("lshift", ([1, -1, 3], np.array([40, 40, 1]).astype(np.uint8), 3), [3, -4, 3]),
    ("shift_out", ([-5, 5, 1000], np.array([1, 1, -3]).astype(np.int8), 8), [0, 3, 255]),
    ("scale_out", ([100, -100], [2, 2], np.array([200, 200]).astype(np.int32), 32, 1), [0, 0]),  # -56: >> 56
    ("global_average_pooling", (np.array([-3, -2]).reshape(1, 2, 1), 0), [[[-2]]]),  # -2.5 rounds up
    ("scale_out", ([2**31 - 1, -1], [1, 1], np.zeros(2, np.int32), 31, 0), [2**31 - 1, 0]),  # the widest outputs
    ("scale_out", ([2**31 - 1, -2**31], [1, 1], np.zeros(2, np.int32), 32, 1), [2**31 - 1, -2**31]),
    # Shifts at the top of the 64-bit sums: 2^60 >> 61 is 1 (as in 128 bits, where the zero term's
    # operand puts it), -3 * 2^59 >> 61 is -1, 2^61 >> 62 is 1.
    ("matmul", ([[2**30], [-3 * 2**29]], [[2**30]], 61, False), [[1], [-1]]),
    ("matmul", ([[2**30, 0]], [[2**30], [2**31 - 1]], 61, False), [[1]]),
    ("matmul", ([[2**30, 2**30], [-2**31, -2**31]], [[2**30], [2**30]], 62, False), [[1], [-1]]),
    ("matmul", ([[2**30, 2**30], [-2**31, -2**31]], [[2**30], [2**30]], 63, False), [[0], [0]]),
    ("shiftmax", ([[1, 0]], [60, 60], 61, 8), [[171, 85]]),  # z = [1, 0]
    ("shiftmax", ([[2, 0]], [60, 60], 61, 8), [[171, 85]]),  # z = [1, 0]: 2 << 60 is not saturated
    ("shiftmax", ([[1, 0]], [61, 61], 62, 8), [[171, 85]]),
    # x << s rounded >> input_shift is x rounded >> (input_shift - s): z = [2^15, 2^14], then [2^-8, 2^-30]
    ("shiftmax", ([[2**30, 2**29]], [40, 40], 55, 8), [[255, 0]]),
    ("shiftmax", ([[3, 2**30]], [32, 40], 70, 2), [[1, 3]]),
    # exponents of about +-2^31: 2^255 x 2^(2^31) is the largest term; every term rounds to 0
    ("shiftmax", ([[2**30, 1, -1]], [0, 255, 255], -2**31, 8), [[0, 255, 0]]),
    ("shiftmax", ([[2**31 - 1, -2**31]], [255, 0], 2**31 - 1, 8), [[128, 128]]),
    # x * scale rounded once: -3183283575 is nearer -3183283456 than -3183283712.
    ("dequantize", ([-1061094525, 1061094525], np.float32([3.0])), [-3183283456.0, 3183283456.0]),
])
def test_saturation_and_rounding(core, name, args, expected):
    np.testing.assert_array_equal(getattr(core.nn, name)(*[np.asarray(a) if isinstance(a, list) else a for a in args]),
                                  expected)


def test_identity_convolution_keeps_values_at_the_row_edges(core):
    # Whatever rows the input range takes (8 bits unsigned or signed, or int16 one past them), an
    # identity 1x1 convolution gives the input back.
    edges = [-129, -128, -1, 0, 1, 127, 128, 255, 256]
    w = np.ones((1, 1, 1, 1), np.int8)
    for a, b in itertools.combinations_with_replacement(range(len(edges)), 2):
        x = np.array(edges[a:b + 1], np.int32).reshape(1, -1, 1)
        np.testing.assert_array_equal(core.nn.conv2d(x, w, 1, core.Valid, edges[a]), x, err_msg=str(edges[a:b + 1]))


def test_results_are_writable_arrays_of_their_own(core, rng):
    # Results hand their bytes to numpy: each call's array is the caller's alone.
    x, w = ints(rng, (6, 5, 4), 0, 255), ints(rng, (3, 3, 4, 3), -9, 9, np.int8)
    first = core.nn.conv2d(x, w, 1, core.Same, 0)
    expected = first.copy()
    first[...] = 7
    second = core.nn.conv2d(x, w, 1, core.Same, 0)
    np.testing.assert_array_equal(second, expected)
    del first
    np.testing.assert_array_equal(core.nn.conv2d(x, w, 1, core.Same, 0), second)
    a = ints(rng, (4, 6), -9, 9)
    product = core.nn.matmul(a, a.T.copy(), 0, False)
    product += 1
    np.testing.assert_array_equal(product, exact(a) @ exact(a).T + 1)


def test_dequantize_rounds_the_product_once(core, rng):
    # Against numpy in long double, where x * scale is exact: all values float32 holds exactly, the same
    # with one that it does not (2^24 + 1 would round first), and 32-bit values; every kind of scale (a
    # subnormal one, one that overflows).
    near = np.concatenate([rng.integers(-2**24, 2**24, 200), [2**24 - 1, -2**24]])
    for x in (near, np.append(near, [2**24 + 1, 0]), np.concatenate([rng.integers(-2**31, 2**31, 2000), [2**31 - 1, -2**31]])):
        x = x.astype(np.int32).reshape(-1, 2)
        for scale in (3.0, -0.7, 1.0000001, 1e-40, 3e38, 0.0):
            scales = np.float32([scale, -scale])
            with np.errstate(over="ignore"):
                expected = (x.astype(np.longdouble) * scales).astype(np.float32)
            np.testing.assert_array_equal(core.nn.dequantize(x, scales), expected, err_msg=str(scale))


def test_shiftmax_is_a_base_2_softmax(core, rng):
    x = ints(rng, (2, 3, 6), -12, 12)
    shifts = ints(rng, (6,), 0, 2)
    got = core.nn.shiftmax(x, shifts + 256, 1, 8)  # re-cast: 256 + s counts s
    z = np.floor((x << shifts) / 2 + 0.5)
    p = 2.0 ** (z - z.max(axis=-1, keepdims=True))
    np.testing.assert_array_equal(got, np.minimum(np.floor(256 * p / p.sum(axis=-1, keepdims=True) + 0.5), 255))
    assert core.nn.shiftmax(np.array([[100, 0]]), np.array([300]), 0, 4).tolist() == [[15, 0]]  # 300 counts 44
    # 2^-30 of the largest term still counts, less does not.
    assert core.nn.shiftmax(np.array([[30, 0, -1]]), np.array([0]), 0, 30).tolist() == [[2**30 - 1, 1, 0]]


def test_state_chain_and_fifo(core, rng):
    x, state, inp = (ints(rng, (3, 4), -2**20, 2**20) for _ in range(3))
    decay, gain = (ints(rng, (4,), -300, 300, np.int16) for _ in range(2))
    shifts = ints(rng, (4,), 0, 20, np.uint8)
    first = sshift(exact(decay) * exact(state), -5) + exact(gain) * exact(inp)
    second = exact(inp) + first
    expected = np.concatenate([sat(sshift(sshift(exact(x) + second, -5), exact(-shifts.astype(int))), 16),
                               sat(sshift(first, exact(-shifts.astype(int))), 16)], axis=-1)
    np.testing.assert_array_equal(core.nn.stateful_legacy_main_op(x, state, inp, decay, gain, shifts, 5), expected)
    fifo, frame = ints(rng, (3, 2, 2), -9, 9, np.int8), ints(rng, (2, 2), -9, 9, np.int8)
    before = fifo.copy()
    np.testing.assert_array_equal(core.nn.fifo_op(fifo, frame), np.concatenate([fifo[1:], frame[None]]))
    np.testing.assert_array_equal(fifo, before)


X, W = np.ones((4, 4, 2), np.int32), np.ones((3, 3, 2, 2), np.int8)
INCOMPATIBLE = "incompatible function arguments"


# (call, error, message start): the argument rules, refusals and re-casts.
@pytest.mark.parametrize("call, error, message", [
    (lambda nn, c: nn.add(X, X, arg2=0), TypeError, None),
    (lambda nn, c: nn.add(X, X, 0.0), TypeError, None),
    (lambda nn, c: nn.add(X, X, 2**31), TypeError, None),
    (lambda nn, c: nn.separate_heads(X[0], -1), TypeError, None),
    (lambda nn, c: nn.conv2d(X, W, 256, c.Same, 0), TypeError, None),
    (lambda nn, c: nn.conv2d(X, W, 1, 1, 0), TypeError, None),
    (lambda nn, c: nn.max_pooling(X, 2, 128, 1, 1, c.Same, 0), TypeError, None),
    (lambda nn, c: nn.input_conv2d(X, W, 1, c.Same, X[0, 0]), TypeError, None),
    (lambda nn, c: nn.conv2d(X, W, 1, None, 0), RuntimeError, ""),
    (lambda nn, c: nn.conv2d(X, W[0, 0, 0], 1, c.Same, 0), ValueError,
     "conv2d: the weights need at least 2 dimensions, got 1"),
    (lambda nn, c: nn.conv2d_transpose(X[0, 0], W, 1), ValueError,
     "conv2d_transpose: the input need at least 2 dimensions, got 1"),
    (lambda nn, c: nn.conv2d(X, W, 0, c.Same, 0), ValueError, "ImagePatches: strides must be between 1 and 127"),
    (lambda nn, c: nn.conv2d_transpose(X, W, 0), ValueError, "conv2d_transpose: the stride must be at least 1, got 0"),
    (lambda nn, c: nn.max_pooling(X, 200, 2, 1, 1, c.Same, 0), ValueError,
     "max_pooling: pool sizes must not be negative, got -56 x 2"),
    (lambda nn, c: nn.divide(X, X - 1), ValueError, "divide: division by zero"),
    (lambda nn, c: nn.scale_out(X, X, X, 32, 0), ValueError, "scale_out: the output bits must be 1 to 31, got 32"),
    (lambda nn, c: nn.shift_out(X, X, 32), ValueError, "shift_out: the output bits must be 1 to 31, got 32"),
    (lambda nn, c: nn.shiftmax(X, X, 0, 31), ValueError, "shiftmax: the output bits must be 1 to 30, got 31"),
    (lambda nn, c: nn.stem_conv(X[:, :2], W, 1), ValueError, "stem_conv: the input (4, 2, 2) is smaller than the patch"),
    (lambda nn, c: nn.scale_out(X, X, X, 33, 1), ValueError, "scale_out: the output bits must be 1 to 32, got 33"),
    (lambda nn, c: nn.relu_activation(X, np.array([3, -1], np.int32)), ValueError,
     "relu_activation: the max values must not be negative"),
    (lambda nn, c: nn.matmul(X, X, 0, False), ValueError, "matmul: cannot multiply (4, 4, 2) by (4, 4, 2)"),
    (lambda nn, c: nn.matmul(X[:2], X[:3, :2], 0, False), ValueError,
     "matmul: the second matrix (3, 2, 2) must have 2 dimensions or the leading ones of (2, 4, 2)"),
    (lambda nn, c: nn.extract_token(X, 4294967295, 4294967295, 0), ValueError, "extract_token: the range [-1, -1)"),
    # 255 x 16843010 does not fit the kernel's 32-bit output size (it wrapped to 254)
    (lambda nn, c: nn.conv2d_transpose(np.broadcast_to(np.int32(1), (16843010, 1, 1)), W, 255), ValueError,
     "conv2d_transpose: an output size of 4294967550 does not fit in 32 bits"),
    # refused from the shape, before a cast copy of 2^32 + 1 elements is made
    (lambda nn, c: nn.add(np.broadcast_to(np.int32(1), (2**32 + 1,)), X, 0), ValueError,
     "Cannot instantiate a Dense with a dimension of 4294967297 (max 4294967295)."),
    # more elements than a tensor holds, of the position's dtype or cast to it: refused with the tensor's text before
    # any copy, and after the refusals that come before the conversion
    *[row for dtype in (np.int8, np.int64) for row in [
        (lambda nn, c, t=dtype: nn.fifo_op(np.broadcast_to(t(1), (2**31, 2, 2)), X[:1].astype(np.int8)), RuntimeError,
         "Tensor shape size 8589934592 exceeds maximum shape size (4294967295)"),
        (lambda nn, c, t=dtype: nn.concat_token(X[0], np.broadcast_to(t(1), (2**31, 5)), X[0, 0], 1), RuntimeError,
         "Tensor shape size 10737418240 exceeds maximum shape size (4294967295)"),
        (lambda nn, c, t=dtype: nn.add(np.broadcast_to(t(1), (2**16, 2**16, 2, 1, 1)), X, 0), ValueError,
         "Cannot instantiate a Dense with 5 dimensions (min 1, max 4)."),
        (lambda nn, c, t=dtype: nn.conv2d(np.broadcast_to(t(1), (2**31, 2, 2)), W, 1, None, 0), RuntimeError, ""),
        (lambda nn, c, t=dtype: nn.conv2d_transpose(np.broadcast_to(t(1), (16843010, 256, 1)), W, 255), ValueError,
         "conv2d_transpose: an output size of 4294967550 does not fit in 32 bits")]],
])
def test_argument_rules(core, call, error, message):
    with pytest.raises(error) as info:
        call(core.nn, core)
    if error is TypeError:
        assert INCOMPATIBLE in str(info.value)
    else:
        assert str(info.value).startswith(message) and (message or str(info.value) == "")


def test_conversions(core):
    # Floats truncate toward zero, lists are arrays, non-contiguous views are read as numpy sees them.
    np.testing.assert_array_equal(core.nn.add(np.array([1.9, -1.9]), [1, 1], 0), [2, 0])
    view = np.arange(24, dtype=np.int32).reshape(4, 6)[::2, ::-3]
    np.testing.assert_array_equal(core.nn.add(view, view, 1), view)
    a, b = np.arange(6, dtype=np.int32), np.ones(6, np.int32)
    assert core.nn.add(a, b, np.int64(0)) is not a and a.tolist() == list(range(6))  # __index__ accepted
    # Arrays whose bytes a kernel may read in place, or not (misaligned), give the same; the
    # FIFO is updated in a copy.
    odd = np.frombuffer(bytes(1) + a.tobytes(), dtype=np.int32, offset=1)
    np.testing.assert_array_equal(core.nn.add(odd, b, 0), a + 1)
    fifo, frame = np.zeros((3, 2), np.int8), np.ones((1, 2), np.int8)
    assert core.nn.fifo_op(fifo, frame).tolist() == [[0, 0], [0, 0], [1, 1]] and not fifo.any()
    # The sixth argument of input_conv2d has no effect.
    x8, z = X.astype(np.uint8), np.zeros(2, np.uint8)
    np.testing.assert_array_equal(core.nn.input_conv2d(x8, W, 1, core.Same, z, 0),
                                  core.nn.input_conv2d(x8, W, 1, core.Same, z, 4294967295))
