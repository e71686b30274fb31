"""Software forward of each layer type against numpy doing the same integer arithmetic."""
import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

from v2_models import layer

MAX = 1


def ints(rng, shape, lo, hi, dtype=np.int64):
    return rng.integers(lo, hi, size=shape, endpoint=True).astype(dtype)


def setvars(lay, **values):
    for name, v in values.items():
        lay.variables[name] = np.asarray(v).astype(lay.variables[name].dtype).reshape(lay.variables[name].shape)


def randomise(rng, lay, bound=7):
    """Random variables of a second-generation layer; the caller sets the output shifts."""
    v = lay.variables
    ranges = {"weights": (-bound, bound), "input_shift": (0, 2), "bias": (-40, 40), "bias_shift": (0, 3),
              "output_scales": (1, 9), "max_value": (30, 255), "max_value_shift": (0, 3),
              "tokens": (-90, 90), "tokens_shift": (0, 3), "pos_embedding": (-90, 90), "pos_embs_shift": (0, 3)}
    setvars(lay, **{n: ints(rng, v[n].shape, *ranges[n]) for n in v.names if n in ranges})


def sshift(v, s):
    """v << s, or v >> -s rounded half up, s broadcast."""
    v, s = np.asarray(v, np.int64), np.asarray(s, np.int64)
    r = np.maximum(-s, 1)
    return np.where(s >= 0, v << np.maximum(s, 0), (v + (np.int64(1) << (r - 1))) >> r)


def sat(v, bits, signed):
    lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    return np.clip(v, lo, hi)


def same(n, k, s):
    """Output size and padding before the first element of one axis, Same padding."""
    out = -(-n // s)
    return out, max((out - 1) * s + k - n, 0) // 2


def windows(x, k, s, fill):
    """The (out_x, out_y, C, kx, ky) Same-padded windows of x (X, Y, C), outside positions worth fill."""
    (ox, left), (oy, top) = same(x.shape[0], k[0], s[0]), same(x.shape[1], k[1], s[1])
    canvas = np.full(((ox - 1) * s[0] + k[0], (oy - 1) * s[1] + k[1], x.shape[2]), fill, np.int64)
    part = x[:canvas.shape[0] - left, :canvas.shape[1] - top]
    canvas[left:left + part.shape[0], top:top + part.shape[1]] = part
    return sliding_window_view(canvas, k, axis=(0, 1))[::s[0], ::s[1]]


def tail(acc, v, relu, bits):
    """Bias, ReLU, scale and shift, saturation: the second-generation neuron."""
    acc = acc + (v["bias"].astype(np.int64) << v["bias_shift"].astype(np.int64))
    if relu:
        acc = np.clip(acc, 0, v["max_value"].astype(np.int64) << v["max_value_shift"].astype(np.int64))
    return sat(sshift(acc * v["output_scales"], v["output_shift"]), bits, not relu)


def threshold_activation(p, v, bits):
    """0 at or below the threshold, else ceil((p - threshold) * 16 / t16) up to 2^bits - 1."""
    above = p - v["threshold"].astype(np.int64)
    t16 = np.floor(v["act_step"].astype(np.float64) * 16 + 0.5).astype(np.int64)  # steps are not negative
    steps = np.where(t16 > 0, -(-above * 16 // np.maximum(t16, 1)), 1 << 40)
    return np.where(above <= 0, 0, np.minimum(steps, (1 << bits) - 1))


def spread_shifts(sums, scales, top):
    """Output shifts that bring each channel's largest |sum * scale| just within `top`: its outputs spread over the
    range whatever the draw."""
    peak = np.abs(sums * scales.astype(np.int64)).reshape(-1, sums.shape[-1]).max(axis=0)
    return -np.ceil(np.log2(np.maximum(peak, 1) / top)).astype(np.int64)


def model_of(core, input_params, *rows):
    """InputData, then (type, name, params[, inbound names]) rows."""
    model = core.Model()
    model.add(layer(core, core.InputData, "input", **input_params))
    for row in rows:
        inbounds = [model.get_layer(n) for n in row[3]] if len(row) > 3 else []
        model.add(layer(core, row[0], row[1], **row[2]), inbounds)
    return model


def check_each_layer(model, x, expected):
    """Each named layer's output, from the last one: the model's output, then the model without it."""
    for name in [lay.name for lay in model.layers][::-1]:
        if name in expected:
            got = model.forward(x)
            want = np.asarray(expected[name])
            np.testing.assert_array_equal(got, want.reshape(got.shape), err_msg=name)
        model.pop_layer()


@pytest.mark.parametrize("case", ["v1 activation", "v2 output shift", "transposed crop", "unsigned edges",
                                  "signed edges", "9-bit edges"])
def test_rounding_and_crop_worked_examples(core, case):
    if case.endswith("edges"):  # an identity convolution over the ends of each row kind's range
        bits, signed, x = {"unsigned edges": (8, 0, [0, 1, 127, 128, 255]), "signed edges": (8, 1, [-128, -1, 0, 127]),
                           "9-bit edges": (9, 1, [-256, -129, -128, 127, 128, 255])}[case]
        model = model_of(core, dict(input_width=1, input_height=len(x), input_channels=1, input_bits=bits,
                                    input_signed=signed),
                         (core.Conv2D, "conv", dict(filters=1, kernel_size=1, activation=0, output_bits=10)))
        setvars(model.get_layer("conv"), weights=[1])
        expected, x = x, np.array(x, np.int16 if bits > 8 else np.int8 if signed else np.uint8).reshape(1, 1, -1, 1)
    elif case == "v1 activation":  # p = 4 above threshold 0 with step 3: ceil(4 / 3) = 2
        model = model_of(core, dict(input_width=1, input_height=1, input_channels=1, input_bits=4),
                         (core.FullyConnected, "fc", dict(units=1, weights_bits=4, act_bits=4)))
        setvars(model.get_layer("fc"), weights=[1], threshold=[0], act_step=[3])
        x, expected = np.array([[4]], np.uint8), [2]
    elif case == "v2 output shift":  # identity >> 1, halves rounding up
        model = model_of(core, dict(input_width=1, input_height=1, input_channels=4),
                         (core.Conv2D, "conv", dict(filters=4, kernel_size=1)))
        setvars(model.get_layer("conv"), weights=np.eye(4), max_value=[255] * 4, output_shift=[-1] * 4)
        x, expected = np.array([[1, 3, 5, 7]], np.uint8), [1, 2, 3, 4]
    else:  # kernel 3, stride 2: no crop; the first output column
        model = model_of(core, dict(input_width=3, input_height=3, input_channels=1, input_bits=4),
                         (core.Conv2DTranspose, "up", dict(filters=1, kernel_size=3, activation=0)))
        setvars(model.get_layer("up"), weights=np.arange(1, 10))
        x, expected = np.arange(1, 10, dtype=np.uint8).reshape(1, 3, 3, 1) % 16, [1, 4, 11, 16, 35, 28]
    got = model.forward(x)
    np.testing.assert_array_equal(got[0, :, 0, 0] if case == "transposed crop" else got.ravel(), expected)


@pytest.mark.parametrize("relu", [False, True])
def test_wide_products_shift_exactly(core, relu):
    """acc * scale reaches 2^39: right shifts keep its high bits, left shifts saturate at either end."""
    shifts = [-20, -10, -1, 0, 1, 31, 40, -61]
    weights = [127, -127, 127, -1, 1, -1, 127, 127]
    model = model_of(core, dict(input_width=1, input_height=1, input_channels=1),
                     (core.Conv2D, "conv", dict(filters=8, kernel_size=1, activation=int(relu), output_bits=31)))
    conv = model.get_layer("conv")
    setvars(conv, weights=weights, input_shift=[15], output_scales=[255, 255, 3, 1, 255, 1, 200, 255],
            output_shift=shifts)
    if relu:
        setvars(conv, max_value=[255] * 8, max_value_shift=[23] * 8)
    x = np.array([[255], [1], [0]], np.uint8)
    v = conv.variables
    acc = (x.astype(object) << 15) * np.array(weights, dtype=object)
    if relu:
        acc = np.minimum(np.maximum(acc, 0), 255 << 23)
    exact = np.frompyfunc(lambda a, s: a << s if s >= 0 else (a + (1 << (-s - 1))) >> -s, 2, 1)
    y = exact(acc * v["output_scales"].astype(object), np.array(shifts, dtype=object))
    expected = np.clip(y, 0 if relu else -2**30, 2**31 - 1 if relu else 2**30 - 1).astype(np.int64)
    np.testing.assert_array_equal(model.forward(x).reshape(3, 8), expected)


@pytest.mark.parametrize("fifo, depthwise_fifo", [(3, 2), (1, 4)])
def test_temporal_buffers(core, rng, fifo, depthwise_fifo):
    """Each pixel keeps its last frames (zeros before the first); the taps sum over them."""
    model = model_of(core, dict(input_width=3, input_height=2, input_channels=2),
                     (core.BufferTempConv, "buf", dict(filters=3, fifo_size=fifo)),
                     (core.DepthwiseBufferTempConv, "dw", dict(fifo_size=depthwise_fifo, activation=0,
                                                               output_bits=12)))
    buf, dw = model.get_layer("buf"), model.get_layer("dw")
    randomise(rng, buf)
    randomise(rng, dw)
    weights = ints(rng, buf.variables["weights"].shape, -3, 7)
    weights[0, 0, 0] = ints(rng, 3, 4, 7)  # each filter's sums positive for part of the input at least
    setvars(buf, weights=weights)
    x = ints(rng, (7, 3, 2, 2), 0, 255)

    def taps(frames, shifts, n):
        frames = frames << shifts.astype(np.int64)
        padded = np.concatenate([np.zeros((n - 1,) + frames.shape[1:], np.int64), frames])
        return np.stack([padded[t:t + len(frames)] for t in range(n)], axis=3)  # (frames, x, y, tap, c)

    b, d = buf.variables, dw.variables
    h = taps(x, b["input_shift"], fifo)
    acc = h.reshape(h.shape[:3] + (-1,)) @ b["weights"][0, 0].astype(np.int64)
    # The ReLU clips at the upper quarter of the sums, and the shifts bring the clip and the depthwise extremes to the
    # top of the output ranges: both outputs spread over many values.
    sums = acc + (b["bias"].astype(np.int64) << b["bias_shift"].astype(np.int64))
    clip_shift = np.ceil(np.log2(np.maximum(np.percentile(sums, 75, axis=(0, 1, 2)), 255) / 255)).astype(np.int64)
    setvars(buf, max_value=[255] * 3, max_value_shift=clip_shift,
            output_shift=spread_shifts(np.minimum(sums, 255 << clip_shift), b["output_scales"], 255))
    y = tail(acc, buf.variables, True, 8)
    h = taps(y, d["input_shift"], depthwise_fifo)
    acc = (h * d["weights"][0, 0].astype(np.int64)).sum(axis=3)
    setvars(dw, output_shift=spread_shifts(acc + (d["bias"].astype(np.int64) << d["bias_shift"]), d["output_scales"],
                                           2047))
    z = tail(acc, dw.variables, False, 12)
    np.testing.assert_array_equal(model.forward(x.astype(np.uint8)), model.forward(x.astype(np.uint8)))  # FIFOs reset
    check_each_layer(model, x.astype(np.uint8), {"dw": z, "buf": y})
    assert len(np.unique(y)) > 10 and len(np.unique(z)) > 10


@pytest.mark.parametrize("kernel, extra, relu", [(3, 2, True), (2, 0, False), (4, 1, True)])
def test_stem(core, rng, kernel, extra, relu):
    """k x k patches with stride k, the class tokens ahead of them, plus the position embeddings."""
    model = core.Model()
    model.add(layer(core, core.Stem, "stem", input_width=9, input_height=8, input_channels=3, kernel_size=kernel,
                    filters=8, num_non_patch_tokens=extra, activation=int(relu)))
    stem = model.get_layer("stem")
    randomise(rng, stem)
    setvars(stem, output_shift=ints(rng, 8, -9, -7) if relu else ints(rng, 8, -3, 2))
    v = stem.variables
    x = ints(rng, (2, 9, 8, 3), 0, 255)
    ox, oy = 9 // kernel, 8 // kernel
    patches = x[:, :ox * kernel, :oy * kernel].reshape(2, ox, kernel, oy, kernel, 3).transpose(0, 1, 3, 2, 4, 5)
    tokens = np.einsum("nxyijc,ijcf->nxyf", patches, v["weights"].astype(np.int64)).reshape(2, ox * oy, 8)
    classes = sshift(v["tokens"][:extra], v["tokens_shift"][:extra])
    seq = np.concatenate([np.broadcast_to(classes, (2, extra, 8)), tokens], axis=1)
    seq = seq + sshift(v["pos_embedding"], v["pos_embs_shift"])
    expected = tail(seq, v, relu, 8 if relu else 32)
    got = model.forward(x.astype(np.uint8))
    assert got.shape == (2, 1, ox * oy + extra, 8)
    np.testing.assert_array_equal(got[:, 0], expected)


def test_add_and_concatenate(core, rng):
    """Add saturates to its first inbound's range, unsigned or signed; Concatenate joins channels, saturated alike."""
    pointwise = dict(kernel_size=1, filters=4)
    model = model_of(core, dict(input_width=3, input_height=3, input_channels=3),
                     (core.Conv2D, "a", pointwise),
                     (core.Conv2D, "b", pointwise),
                     (core.Add, "sum", {}, ["a", "b"]),
                     (core.Conv2D, "s1", dict(pointwise, activation=0, output_bits=8), ["input"]),
                     (core.Conv2D, "s2", dict(pointwise, activation=0, output_bits=8)),
                     (core.Add, "signed_sum", {}, ["s1", "s2"]),
                     (core.Concatenate, "joined", {}, ["sum", "a", "b"]),
                     (core.Concatenate, "signed_joined", {}, ["s2", "signed_sum"]),
                     (core.Concatenate, "mixed", {}, ["sum", "s1"]))
    # Filters 0 and 1 of each layer read only their own channel, at weight 7 (filter 1 on the input: -7): a pixel
    # of 255s drives channel 0 to the top of its range and channel 1 of the ReLU layers to 0, so each Add reaches
    # both ends.
    x = ints(rng, (3, 3, 3, 3), 0, 255)
    x[0, 0, 0] = 255
    out = {}
    for name, source, relu, shifts in [("a", x, True, (-8, -6)), ("b", "a", True, (-7, -5)),
                                       ("s1", x, False, (-7, -5)), ("s2", "s1", False, (-3, -1))]:
        lay = model.get_layer(name)
        randomise(rng, lay)
        setvars(lay, input_shift=[0] * lay.variables["input_shift"].size, output_shift=ints(rng, 4, *shifts))
        if relu:
            setvars(lay, max_value=[255] * 4, max_value_shift=[7] * 4)
        v, pinned = lay.variables, dict(bias=[0, 0], output_scales=[9, 9], output_shift=[-5, -5])
        w = v["weights"].copy()
        w[..., :2] = 0
        w[0, 0, 0, 0], w[0, 0, 1, 1] = 7, 7 if isinstance(source, str) else -7
        setvars(lay, weights=w, **{n: np.r_[pinned[n], v[n][2:]] for n in pinned})
        inp = out[source] if isinstance(source, str) else source
        out[name] = tail(inp @ lay.variables["weights"][0, 0].astype(np.int64), lay.variables, relu, 8)
    for name, (a, b), signed in [("sum", ("a", "b"), False), ("signed_sum", ("s1", "s2"), True)]:
        v = model.get_layer(name).variables
        setvars(model.get_layer(name), a_shift=[2, 1, 3, 0], b_shift=[1, 2, 3, 0], output_shift=[-1, 0, -1, 1])
        both = (out[a] << v["a_shift"].astype(np.int64)) + (out[b] << v["b_shift"].astype(np.int64))
        out[name] = sat(sshift(both, v["output_shift"]), 8, signed)
    out["joined"] = np.concatenate([out["sum"], out["a"], out["b"]], axis=-1)
    out["signed_joined"] = np.concatenate([out["s2"], out["signed_sum"]], axis=-1)
    out["mixed"] = np.concatenate([out["sum"], np.clip(out["s1"], 0, 255)], axis=-1)  # within the first's range
    for name, lo, hi in [("sum", 0, 255), ("signed_sum", -128, 127)]:
        assert out[name].min() == lo and out[name].max() == hi, name
    check_each_layer(model, x.astype(np.uint8), out)


@pytest.mark.parametrize("kernel", [1, 2, 3, 4, 5])
def test_transposed_convolutions(core, rng, kernel):
    """Stride 2: input pixel (i, j) spreads its kernel from (2i, 2j), cropped by max(k - 2, 0) >> 1."""
    model = model_of(core, dict(input_width=4, input_height=3, input_channels=3),
                     (core.Conv2DTranspose, "up", dict(filters=5, kernel_size=kernel)),
                     (core.DepthwiseConv2DTranspose, "dw", dict(kernel_size=kernel, activation=0)))
    x = ints(rng, (2, 4, 3, 3), 0, 255)

    def transposed(h, w, depthwise):
        pad = max(kernel - 2, 0) >> 1
        n, X, Y, _ = h.shape
        full = np.zeros((n, max(2 * X + kernel, 2 * X + pad), max(2 * Y + kernel, 2 * Y + pad), w.shape[3]), np.int64)
        for i in range(X):
            for j in range(Y):
                if depthwise:
                    part = h[:, i, j, None, None, :] * w[:, :, 0]
                else:
                    part = np.einsum("nc,abcf->nabf", h[:, i, j], w)
                full[:, 2 * i:2 * i + kernel, 2 * j:2 * j + kernel] += part
        return full[:, pad:pad + 2 * X, pad:pad + 2 * Y]

    out = {}
    source = x
    for name, relu, shifts in [("up", True, (-9, -7)), ("dw", False, (-3, 0))]:
        lay = model.get_layer(name)
        randomise(rng, lay)
        setvars(lay, output_shift=ints(rng, lay.variables["output_shift"].size, *shifts))
        v = lay.variables
        h = source << v["input_shift"].astype(np.int64)
        acc = transposed(h, v["weights"].astype(np.int64), name == "dw")
        out[name] = source = tail(acc, v, relu, 8 if relu else 32)
    check_each_layer(model, x.astype(np.uint8), out)


@pytest.mark.parametrize("stride, pool", [((1, 1), None), ((2, 1), (2, 2))])
def test_separable_convolutional(core, rng, stride, pool):
    """First generation: depthwise taps, then the pointwise sum, max pooling, then the threshold steps."""
    params = dict(filters=9, kernel_size=3, stride_x=stride[0], stride_y=stride[1], weights_bits=4, act_bits=3)
    if pool:
        params.update(pool_type=MAX, pooling_width=pool[0], pooling_height=pool[0])
    model = model_of(core, dict(input_width=7, input_height=6, input_channels=3, input_bits=4),
                     (core.SeparableConvolutional, "sep", params))
    sep = model.get_layer("sep")
    v = sep.variables
    setvars(sep, weights=ints(rng, v["weights"].shape, -8, 7), weights_pw=ints(rng, v["weights_pw"].shape, -8, 7))
    x = ints(rng, (3, 7, 6, 3), 0, 15)
    p = np.stack([np.einsum("xycij,ijc->xyc", windows(s, (3, 3), stride, 0), v["weights"][..., 0].astype(np.int64))
                  for s in x]) @ v["weights_pw"].astype(np.int64)
    if pool:
        p = np.stack([windows(s, pool, pool, -2**62).max(axis=(3, 4)) for s in p])
    # Thresholds near the middle, steps that do not divide the potentials and spread each channel over its 3-bit
    # range; the last channel has none.
    threshold = np.percentile(p, 40, axis=(0, 1, 2)).astype(np.int32)
    setvars(sep, threshold=threshold,
            act_step=np.r_[(p.max(axis=(0, 1, 2)) - threshold)[:8] / np.linspace(4.3, 6.7, 8), 0].astype(np.float32))
    expected = threshold_activation(p, sep.variables, 3)
    got = model.forward(x.astype(np.uint8))
    np.testing.assert_array_equal(got, expected)
    assert len(np.unique(expected)) >= 6


@pytest.mark.parametrize("channels, pool, same_padding", [(19, (2, 2), True), (8, (3, 1), True), (11, (3, 2), False)])
def test_max_pooling_lanes(core, rng, channels, pool, same_padding):
    """Channels in runs of 8 and a tail, windows cut at the edges; pooling comes after the ReLU."""
    model = model_of(core, dict(input_width=7, input_height=5, input_channels=2),
                     (core.Conv2D, "conv", dict(filters=channels, kernel_size=1, padding=int(same_padding),
                                                pool_type=MAX, pool_size=pool[0], pool_stride=pool[1])))
    conv = model.get_layer("conv")
    randomise(rng, conv)
    setvars(conv, output_shift=ints(rng, channels, -7, -5))
    v = conv.variables
    x = ints(rng, (2, 7, 5, 2), 0, 255)
    acc = (x << v["input_shift"].astype(np.int64)) @ v["weights"][0, 0].astype(np.int64)
    acc = acc + (v["bias"].astype(np.int64) << v["bias_shift"].astype(np.int64))
    acc = np.clip(acc, 0, v["max_value"].astype(np.int64) << v["max_value_shift"].astype(np.int64))
    k, s = pool
    if same_padding:
        pooled = np.stack([windows(a, (k, k), (s, s), -2**62).max(axis=(3, 4)) for a in acc])
    else:
        pooled = sliding_window_view(acc, (k, k), axis=(1, 2))[:, ::s, ::s].max(axis=(4, 5))
    expected = sat(sshift(pooled * v["output_scales"], v["output_shift"]), 8, False)
    np.testing.assert_array_equal(model.forward(x.astype(np.uint8)), expected)
