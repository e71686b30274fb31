#include "reference_layers.h"

#include <nuvra/layers.h>
#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <stdexcept>
#include <string>

namespace nuvra::test::ref {

namespace {

using int128 = __int128;

int64_t key(const Layer& l, const char* k) { return l.params()->get(k); }
int64_t key_or(const Layer& l, const char* k, int64_t otherwise) {
  return l.params()->has(k) ? l.params()->get(k) : otherwise;
}
std::vector<int64_t> var(const Layer& l, const char* name) { return integers(*l.variables()->get(name)); }
bool relu(const Layer& l) { return key_or(l, "activation", 0) == static_cast<int>(ActivationType::ReLU); }

int128 floor_div(int128 a, int128 b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// v << s for s >= 0, else v / 2^-s rounded half up.
int128 sshift(int128 v, int s) {
  if (s >= 0) {
    if (s > 62) return v > 0 ? int128{1} << 100 : v < 0 ? -(int128{1} << 100) : 0;
    return v * (int128{1} << s);
  }
  if (-s > 100) return 0;
  const int128 unit = int128{1} << -s;
  return floor_div(v + unit / 2, unit);
}

int64_t clamp128(int128 v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : static_cast<int64_t>(v); }

// Values between the steps of a layer are int32: sums and shifted values saturate to it.
int64_t sat32(int128 v) { return clamp128(v, INT32_MIN, INT32_MAX); }
void saturate(Values& v) {
  for (int64_t& x : v.v) x = sat32(x);
}

struct Range {
  int64_t lo, hi;
};
Range range(int bits, bool is_signed) {
  if (is_signed) return {-(int64_t{1} << (bits - 1)), (int64_t{1} << (bits - 1)) - 1};
  return {0, (int64_t{1} << bits) - 1};
}

// One axis of a window sliding over an input: Keras "same" or "valid".
struct Axis {
  uint32_t out = 0;
  int64_t before = 0;  // padding ahead of the input
};
Axis axis(uint32_t in, int64_t k, int64_t s, bool same) {
  Axis a;
  if (same) {
    a.out = static_cast<uint32_t>((in + s - 1) / s);
    a.before = std::max<int64_t>((int64_t{a.out} - 1) * s + k - in, 0) / 2;
  } else {
    if (in < k) throw std::logic_error("reference: a valid window larger than its input");
    a.out = static_cast<uint32_t>((in - k) / s + 1);
  }
  return a;
}

bool same_padding(const Layer& l) { return key(l, "padding") == static_cast<int>(Padding::Same); }

// Pooling after the convolution, over the window positions inside the values; a window of no
// position gives 0. Global windows (width -1) take every pixel: the max, or the mean rounded
// down (first generation) or half up.
Values pooled(const Layer& l, const Values& in) {
  const bool v1 = first_generation(l.type());
  const int64_t type = key(l, "pool_type");
  if (type == static_cast<int>(PoolType::NoPooling)) return in;
  const int64_t kw = key(l, v1 ? "pooling_width" : "pool_size"), kh = key(l, v1 ? "pooling_height" : "pool_size");
  Values out;
  if (kw == -1) {
    out = Values(1, 1, in.c);
    const int64_t n = int64_t{in.x} * in.y;
    for (uint32_t k = 0; k < in.c; ++k) {
      int64_t best = in.at(0, 0, k), sum = 0;
      for (uint32_t i = 0; i < in.x; ++i)
        for (uint32_t j = 0; j < in.y; ++j) {
          best = std::max(best, in.at(i, j, k));
          sum += in.at(i, j, k);
        }
      if (type == static_cast<int>(PoolType::Max))
        out.at(0, 0, k) = best;
      else
        out.at(0, 0, k) = static_cast<int64_t>(v1 ? floor_div(sum, n) : floor_div(2 * int128{sum} + n, 2 * int128{n}));
    }
    return out;
  }
  if (type != static_cast<int>(PoolType::Max)) throw std::logic_error("reference: only global average pooling");
  int64_t sx = v1 ? key(l, "pooling_stride_x") : key(l, "pool_stride");
  int64_t sy = v1 ? key(l, "pooling_stride_y") : key(l, "pool_stride");
  if (sx < 0) sx = kw;
  if (sy < 0) sy = kh;
  const Axis ax = axis(in.x, kw, sx, same_padding(l)), ay = axis(in.y, kh, sy, same_padding(l));
  out = Values(ax.out, ay.out, in.c);
  for (uint32_t ox = 0; ox < ax.out; ++ox)
    for (uint32_t oy = 0; oy < ay.out; ++oy)
      for (uint32_t k = 0; k < in.c; ++k) {
        bool any = false;
        int64_t best = 0;
        for (int64_t i = 0; i < kw; ++i)
          for (int64_t j = 0; j < kh; ++j) {
            const int64_t px = ox * sx + i - ax.before, py = oy * sy + j - ay.before;
            if (px < 0 || py < 0 || px >= in.x || py >= in.y) continue;
            const int64_t v = in.at(static_cast<uint32_t>(px), static_cast<uint32_t>(py), k);
            best = any ? std::max(best, v) : v;
            any = true;
          }
        out.at(ox, oy, k) = best;
      }
  return out;
}

// Input values after the per-channel (or, dense, per-element) input shift.
Values shifted_input(const Layer& l, const Values& in, bool per_element) {
  const auto shifts = var(l, "input_shift");
  Values out = in;
  for (size_t i = 0; i < out.v.size(); ++i) out.v[i] = sat32(int128{in.v[i]} << shifts[per_element ? i : i % in.c]);
  return out;
}

// The sums saturated, plus bias << bias_shift on every value of channel k.
void add_bias(const Layer& l, Values& acc) {
  const auto bias = var(l, "bias"), shift = var(l, "bias_shift");
  saturate(acc);
  for (size_t i = 0; i < acc.v.size(); ++i)
    acc.v[i] = sat32(acc.v[i] + sat32(int128{bias[i % acc.c]} << shift[i % acc.c]));
}

// Conv2D, InputConv2D (padded with padding_value[c]) and DepthwiseConv2D; weights (kw, kh, C, F)
// or (kw, kh, 1, C), row-major.
Values convolution(const Layer& l, const Values& in) {
  const bool depthwise = l.type() == LayerType::DepthwiseConv2D, input = l.type() == LayerType::InputConv2D;
  const auto wt = l.variables()->get("weights");
  const uint32_t kw = wt->shape()[0], kh = wt->shape()[1], f_count = wt->shape()[3];
  const auto w = integers(*wt);
  const Values x = input ? in : shifted_input(l, in, false);
  const std::vector<int64_t> pad = input ? var(l, "padding_value") : std::vector<int64_t>(in.c, 0);
  const int64_t s = key(l, "kernel_stride");
  const Axis ax = axis(in.x, kw, s, same_padding(l)), ay = axis(in.y, kh, s, same_padding(l));
  Values out(ax.out, ay.out, depthwise ? in.c : f_count);
  for (uint32_t ox = 0; ox < ax.out; ++ox)
    for (uint32_t oy = 0; oy < ay.out; ++oy)
      for (uint32_t f = 0; f < out.c; ++f) {
        int64_t acc = 0;
        for (uint32_t i = 0; i < kw; ++i)
          for (uint32_t j = 0; j < kh; ++j) {
            const int64_t px = ox * s + i - ax.before, py = oy * s + j - ay.before;
            const bool inside = px >= 0 && py >= 0 && px < in.x && py < in.y;
            const auto value = [&](uint32_t c) {
              return inside ? x.at(static_cast<uint32_t>(px), static_cast<uint32_t>(py), c) : pad[c];
            };
            if (depthwise) {
              acc += value(f) * w[(size_t{i} * kh + j) * in.c + f];
            } else {
              for (uint32_t c = 0; c < in.c; ++c) acc += value(c) * w[((size_t{i} * kh + j) * in.c + c) * f_count + f];
            }
          }
        out.at(ox, oy, f) = acc;
      }
  return out;
}

// Stride 2: input pixel (x, y) adds x · w[i, j] at (2x + i - pad, 2y + j - pad) of a (2X, 2Y)
// output, pad = max(k - 2, 0) / 2.
Values transposed(const Layer& l, const Values& in) {
  const bool depthwise = l.type() == LayerType::DepthwiseConv2DTranspose;
  const auto wt = l.variables()->get("weights");
  const uint32_t k = wt->shape()[0], f_count = wt->shape()[3];
  const auto w = integers(*wt);
  const Values x = shifted_input(l, in, false);
  const int64_t pad = std::max<int64_t>(int64_t{k} - 2, 0) / 2;
  Values out(2 * in.x, 2 * in.y, f_count);
  for (uint32_t px = 0; px < in.x; ++px)
    for (uint32_t py = 0; py < in.y; ++py)
      for (uint32_t i = 0; i < k; ++i)
        for (uint32_t j = 0; j < k; ++j) {
          const int64_t ox = 2 * int64_t{px} + i - pad, oy = 2 * int64_t{py} + j - pad;
          if (ox < 0 || oy < 0 || ox >= out.x || oy >= out.y) continue;
          for (uint32_t f = 0; f < f_count; ++f) {
            int64_t& o = out.at(static_cast<uint32_t>(ox), static_cast<uint32_t>(oy), f);
            if (depthwise) {
              o += x.at(px, py, f) * w[(size_t{i} * k + j) * f_count + f];
            } else {
              for (uint32_t c = 0; c < in.c; ++c) o += x.at(px, py, c) * w[((size_t{i} * k + j) * in.c + c) * f_count + f];
            }
          }
        }
  return out;
}

// Dense1D: the input's values in storage order times weights (K, N).
Values dense(const Layer& l, const Values& in) {
  const auto wt = l.variables()->get("weights");
  const uint32_t n_count = wt->shape()[1];
  const auto w = integers(*wt);
  const Values x = shifted_input(l, in, true);
  Values out(1, 1, n_count);
  for (uint32_t n = 0; n < n_count; ++n)
    for (size_t k = 0; k < x.v.size(); ++k) out.v[n] += x.v[k] * w[k * n_count + n];
  return out;
}

// The last fifo_size shifted frames of every pixel, zeros before the first; weights
// (1, 1, taps · C, F) over (tap, channel), or (1, 1, taps, C) per channel, tap 0 the oldest.
Values temporal(const Layer& l, const Values& in, Fifo& fifo) {
  const bool depthwise = l.type() == LayerType::DepthwiseBufferTempConv;
  const auto taps = static_cast<size_t>(key(l, "fifo_size"));
  if (fifo.frames.empty()) fifo.frames.assign(taps, Values(in.x, in.y, in.c));
  fifo.frames.erase(fifo.frames.begin());
  fifo.frames.push_back(shifted_input(l, in, false));
  const auto wt = l.variables()->get("weights");
  const uint32_t f_count = wt->shape()[3];
  const auto w = integers(*wt);
  Values out(in.x, in.y, f_count);
  for (uint32_t px = 0; px < in.x; ++px)
    for (uint32_t py = 0; py < in.y; ++py)
      for (uint32_t f = 0; f < f_count; ++f) {
        int64_t acc = 0;
        for (size_t t = 0; t < taps; ++t) {
          const Values& frame = fifo.frames[t];
          if (depthwise) {
            acc += frame.at(px, py, f) * w[t * f_count + f];
          } else {
            for (uint32_t c = 0; c < in.c; ++c) acc += frame.at(px, py, c) * w[(t * in.c + c) * f_count + f];
          }
        }
        out.at(px, py, f) = acc;
      }
  return out;
}

// k x k patches k apart, token ox · out_y + oy, after the class tokens (<< tokens_shift); every
// token then gains its position embedding (<< pos_embs_shift). (1, tokens, D).
Values stem(const Layer& l, const Values& in) {
  const auto wt = l.variables()->get("weights");
  const uint32_t k = wt->shape()[0], d_count = wt->shape()[3];
  const auto w = integers(*wt);
  const auto extra = static_cast<uint32_t>(key(l, "num_non_patch_tokens"));
  const uint32_t out_x = (in.x - k) / k + 1, out_y = (in.y - k) / k + 1;
  Values out(1, extra + out_x * out_y, d_count);
  if (extra > 0) {
    const auto tokens = var(l, "tokens"), shifts = var(l, "tokens_shift");
    for (uint32_t r = 0; r < extra; ++r)
      for (uint32_t d = 0; d < d_count; ++d)
        out.at(0, r, d) = tokens[size_t{r} * d_count + d] * (int64_t{1} << shifts[size_t{r} * d_count + d]);
  }
  for (uint32_t ox = 0; ox < out_x; ++ox)
    for (uint32_t oy = 0; oy < out_y; ++oy)
      for (uint32_t d = 0; d < d_count; ++d) {
        int64_t acc = 0;
        for (uint32_t i = 0; i < k; ++i)
          for (uint32_t j = 0; j < k; ++j)
            for (uint32_t c = 0; c < in.c; ++c)
              acc += in.at(ox * k + i, oy * k + j, c) * w[((size_t{i} * k + j) * in.c + c) * d_count + d];
        out.at(0, extra + ox * out_y + oy, d) = sat32(acc);
      }
  const auto pos = var(l, "pos_embedding"), pos_shift = var(l, "pos_embs_shift");
  for (uint32_t t = 0; t < out.y; ++t)
    for (uint32_t d = 0; d < d_count; ++d) out.at(0, t, d) += pos[size_t{t} * d_count + d] * (int64_t{1} << pos_shift[d]);
  return out;
}

// First generation potentials: weights read through their declared strides.
Values v1_convolution(const Layer& l, const Values& in) {
  const auto wt = l.variables()->get("weights");
  const LayerType type = l.type();
  const bool hrc = type == LayerType::InputConvolutional, separable = type == LayerType::SeparableConvolutional;
  const Shape s = wt->shape();
  const uint32_t kw = hrc ? s[0] : s[3], kh = hrc ? s[1] : s[2];
  // weight(f, c, i, j): (kx, ky, C, F) for the HRC, (F, C, Kh, Kw) or (1, C, Kh, Kw) otherwise.
  const auto weight = [&](uint32_t f, uint32_t c, uint32_t i, uint32_t j) -> int64_t {
    if (hrc) return wt->at<int8_t>({i, j, c, f});
    return wt->at<int8_t>({separable ? 0u : f, c, j, i});
  };
  const int64_t pad = hrc ? key(l, "padding_value") : 0;
  const int64_t sx = key(l, "stride_x"), sy = key(l, "stride_y");
  const Axis ax = axis(in.x, kw, sx, same_padding(l)), ay = axis(in.y, kh, sy, same_padding(l));
  const uint32_t f_count = separable ? in.c : hrc ? s[3] : s[0];
  Values out(ax.out, ay.out, f_count);
  for (uint32_t ox = 0; ox < ax.out; ++ox)
    for (uint32_t oy = 0; oy < ay.out; ++oy)
      for (uint32_t f = 0; f < f_count; ++f) {
        int64_t acc = 0;
        for (uint32_t i = 0; i < kw; ++i)
          for (uint32_t j = 0; j < kh; ++j) {
            const int64_t px = ox * sx + i - ax.before, py = oy * sy + j - ay.before;
            const bool inside = px >= 0 && py >= 0 && px < in.x && py < in.y;
            for (uint32_t c = 0; c < in.c; ++c) {
              if (separable && c != f) continue;
              const int64_t v = inside ? in.at(static_cast<uint32_t>(px), static_cast<uint32_t>(py), c) : pad;
              acc += v * weight(f, c, i, j);
            }
          }
        out.at(ox, oy, f) = sat32(acc);
      }
  if (!separable) return out;
  const auto pw = l.variables()->get("weights_pw");
  const uint32_t filters = pw->shape()[0];
  Values p(out.x, out.y, filters);
  for (uint32_t i = 0; i < out.x; ++i)
    for (uint32_t j = 0; j < out.y; ++j)
      for (uint32_t f = 0; f < filters; ++f)
        for (uint32_t c = 0; c < out.c; ++c) p.at(i, j, f) += out.at(i, j, c) * pw->at<int8_t>({f, c});
  saturate(p);
  return p;
}

Values fully_connected(const std::vector<int64_t>& x, const std::vector<std::vector<int64_t>>& w) {
  Values p(1, 1, static_cast<uint32_t>(w.size()));
  for (size_t n = 0; n < w.size(); ++n)
    for (size_t k = 0; k < x.size(); ++k) p.v[n] += x[k] * w[n][k];
  saturate(p);
  return p;
}

std::vector<std::vector<int64_t>> fc_weights(const Layer& l) {
  const auto wt = l.variables()->get("weights");
  const uint32_t units = wt->shape()[0], inputs = wt->shape()[1];
  std::vector<std::vector<int64_t>> w(units, std::vector<int64_t>(inputs));
  for (uint32_t n = 0; n < units; ++n)
    for (uint32_t k = 0; k < inputs; ++k) w[n][k] = wt->at<int8_t>({n, k, 0, 0});
  return w;
}

// 0 at or below the threshold, else ceil((p - threshold) · 16 / t16) up to 2^act_bits - 1, with
// t16 = round(act_step · 16); a step of 0 puts anything above the threshold at the top.
Values threshold_activation(const Layer& l, Values p) {
  if (!l.has_activation()) return p;
  const auto threshold = var(l, "threshold");
  const auto step = l.variables()->get("act_step");
  const int64_t top = (int64_t{1} << key(l, "act_bits")) - 1;
  for (size_t i = 0; i < p.v.size(); ++i) {
    const size_t c = i % p.c;
    const int64_t t16 = std::lround(static_cast<double>(step->data<float>()[c]) * 16.0);
    const int64_t above = p.v[i] - threshold[c];
    if (above <= 0)
      p.v[i] = 0;
    else if (t16 <= 0)
      p.v[i] = top;
    else
      p.v[i] = std::min(top, (above * 16 + t16 - 1) / t16);
  }
  return p;
}

// Second generation: ReLU within [0, max_value << max_value_shift], pooling, then
// sshift(v · scale, shift) saturated to the layer's output range.
Values neuron_tail(const Layer& l, Values v) {
  const bool on = relu(l);
  const uint32_t c = v.c;
  if (on) {
    const bool bounded = l.variables()->has("max_value");
    const auto mv = bounded ? var(l, "max_value") : std::vector<int64_t>();
    const auto ms = bounded ? var(l, "max_value_shift") : std::vector<int64_t>();
    for (size_t i = 0; i < v.v.size(); ++i) {
      v.v[i] = std::max<int64_t>(v.v[i], 0);
      if (bounded) v.v[i] = std::min(v.v[i], mv[i % c] * (int64_t{1} << ms[i % c]));
    }
  }
  const LayerType t = l.type();
  if (t == LayerType::Conv2D || t == LayerType::InputConv2D || t == LayerType::DepthwiseConv2D) v = pooled(l, v);
  const auto scale = var(l, "output_scales"), shift = var(l, "output_shift");
  const Range r = range(l.output_bits(), !on);
  for (size_t i = 0; i < v.v.size(); ++i)
    v.v[i] = clamp128(sshift(int128{v.v[i]} * scale[i % c], static_cast<int>(shift[i % c])), r.lo, r.hi);
  return v;
}

// Add: sshift((a << a_shift) + (b << b_shift), output_shift) per channel; Concatenate joins the
// channels; both stay within the first inbound's range.
Values merge(const Layer& l, const std::vector<const Values*>& in) {
  const auto first = l.inbound_layers().front();
  const Range r = range(first->output_bits(), first->output_signed());
  Values out;
  if (l.type() == LayerType::Add) {
    const auto as = var(l, "a_shift"), bs = var(l, "b_shift"), os = var(l, "output_shift");
    out = *in[0];
    for (size_t i = 0; i < out.v.size(); ++i) {
      const size_t c = i % out.c;
      const int128 sum = int128{in[0]->v[i]} * (int64_t{1} << as[c]) + int128{in[1]->v[i]} * (int64_t{1} << bs[c]);
      out.v[i] = clamp128(sshift(sum, static_cast<int>(os[c])), r.lo, r.hi);
    }
    return out;
  }
  uint32_t channels = 0;
  for (const Values* p : in) channels += p->c;
  out = Values(in[0]->x, in[0]->y, channels);
  for (uint32_t i = 0; i < out.x; ++i)
    for (uint32_t j = 0; j < out.y; ++j) {
      uint32_t at = 0;
      for (const Values* p : in)
        for (uint32_t k = 0; k < p->c; ++k) out.at(i, j, at++) = std::clamp(p->at(i, j, k), r.lo, r.hi);
    }
  return out;
}

std::vector<int64_t> flat(const Values& v) { return v.v; }

// The outputs of the first `count` layers for every sample.
std::vector<std::vector<Values>> run_layers(const Model& m, const Dense& inputs, size_t count) {
  const auto& layers = m.layers();
  const std::vector<Values> xs = samples(m, inputs);
  std::vector<Fifo> fifos(count);
  std::vector<std::vector<Values>> all;
  for (const Values& x : xs) {
    std::vector<Values> values(count);
    for (size_t i = 0; i < count; ++i) {
      const Layer& l = *layers[i];
      std::vector<const Values*> in;
      for (const auto& inbound : l.inbound_layers()) {
        const auto it = std::find_if(layers.begin(), layers.end(), [&](const auto& p) { return p.get() == inbound.get(); });
        in.push_back(&values[static_cast<size_t>(it - layers.begin())]);
      }
      if (in.empty()) in.push_back(&x);
      values[i] = output(l, in, fifos[i]);
    }
    all.push_back(std::move(values));
  }
  return all;
}

}  // namespace

std::vector<int64_t> integers(const Dense& t) {
  std::vector<int64_t> v(t.size());
  for (size_t i = 0; i < v.size(); ++i) {
    switch (t.type()) {
      case TensorType::int32: v[i] = t.data<int32_t>()[i]; break;
      case TensorType::int16: v[i] = t.data<int16_t>()[i]; break;
      case TensorType::uint8:
      case TensorType::uint4:
      case TensorType::uint2: v[i] = t.data<uint8_t>()[i]; break;
      case TensorType::int8:
      case TensorType::int4:
      case TensorType::int2:
      case TensorType::bit: v[i] = t.data<int8_t>()[i]; break;
      default: throw std::logic_error(std::string("reference: no integers in a ") + type_name(t.type()) + " tensor");
    }
  }
  return v;
}

bool first_generation(LayerType t) {
  return t == LayerType::InputConvolutional || t == LayerType::Convolutional ||
         t == LayerType::SeparableConvolutional || t == LayerType::FullyConnected;
}

bool has_neurons(LayerType t) {
  switch (t) {
    case LayerType::InputData:
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::Dequantizer: return false;
    default: return true;
  }
}

Values sums(const Layer& l, const std::vector<const Values*>& in, Fifo& fifo) {
  const Values& x = *in[0];
  Values acc;
  switch (l.type()) {
    case LayerType::InputConvolutional:
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return pooled(l, v1_convolution(l, x));
    case LayerType::FullyConnected: return fully_connected(flat(x), fc_weights(l));
    case LayerType::Conv2D:
    case LayerType::InputConv2D:
    case LayerType::DepthwiseConv2D: acc = convolution(l, x); break;
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose: acc = transposed(l, x); break;
    case LayerType::Dense1D: acc = dense(l, x); break;
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: acc = temporal(l, x, fifo); break;
    case LayerType::Stem: acc = stem(l, x); break;
    default: throw std::logic_error("reference: no neurons in " + l.get_name());
  }
  add_bias(l, acc);
  return acc;
}

Values finish(const Layer& l, Values s) {
  return first_generation(l.type()) ? threshold_activation(l, std::move(s)) : neuron_tail(l, std::move(s));
}

Values output(const Layer& l, const std::vector<const Values*>& in, Fifo& fifo) {
  if (has_neurons(l.type())) return finish(l, sums(l, in, fifo));
  if (l.type() == LayerType::Add || l.type() == LayerType::Concatenate) return merge(l, in);
  return *in[0];  // InputData, Dequantizer
}

std::vector<Values> samples(const Model& m, const Dense& inputs) {
  const Shape s = m.layers().front()->input_dimensions().front();
  const auto v = integers(inputs);
  const size_t n = inputs.shape()[0], each = static_cast<size_t>(s.elements());
  std::vector<Values> out;
  for (size_t i = 0; i < n; ++i) {
    Values x(s[0], s[1], s[2]);
    std::copy_n(v.begin() + static_cast<std::ptrdiff_t>(i * each), each, x.v.begin());
    out.push_back(std::move(x));
  }
  return out;
}

std::vector<std::vector<Values>> forward_all(const Model& m, const Dense& inputs, size_t count) {
  return run_layers(m, inputs, std::min(count, m.layers().size()));
}

Learner::Learner(const Model& m) {
  const Layer& fc = *m.layers().back();
  weights = fc_weights(fc);
  wins = var(fc, "thswap");
}

std::vector<Values> Learner::fit(const Model& m, const Dense& inputs, const std::vector<int32_t>& labels) {
  const Layer& fc = *m.layers().back();
  const size_t last = m.layers().size() - 1;
  const auto before = run_layers(m, inputs, last);
  const auto inbound = fc.inbound_layers().front();
  size_t from = 0;
  while (m.layers()[from].get() != inbound.get()) ++from;
  const LearningParams& lp = *m.learning();
  const auto classes = static_cast<int64_t>(lp.get("num_classes"));
  const double connections = std::trunc(lp.get("num_weights"));
  const size_t units = weights.size(), group = units / static_cast<size_t>(classes);
  if (std::isnan(plasticity)) plasticity = lp.get("initial_plasticity");
  std::vector<Values> outputs;
  for (size_t i = 0; i < before.size(); ++i) {
    const std::vector<int64_t> x = flat(before[i][from]);
    const Values p = fully_connected(x, weights);
    outputs.push_back(threshold_activation(fc, p));
    const int64_t label = labels.empty() ? -1 : labels.size() == 1 ? labels[0] : labels[i];
    if (!labels.empty() && (label < 0 || label >= classes)) continue;
    const size_t first = labels.empty() ? 0 : static_cast<size_t>(label) * group;
    const size_t end = labels.empty() ? units : first + group;
    size_t winner = first;
    for (size_t n = first; n < end; ++n)
      if (p.v[n] > p.v[winner]) winner = n;
    // Off the count, the winner first fills up on the lowest active inputs, or drops its
    // connections to inactive inputs from the lowest, then to active ones from the highest.
    std::vector<int64_t>& w = weights[winner];
    const auto target = static_cast<size_t>(connections);
    size_t held = static_cast<size_t>(std::count_if(w.begin(), w.end(), [](int64_t v) { return v != 0; }));
    const auto flip = [&](size_t k, int64_t to) {
      w[k] = to;
      held = to ? held + 1 : held - 1;
    };
    for (size_t k = 0; k < x.size() && held < target; ++k)
      if (x[k] != 0 && w[k] == 0) flip(k, 1);
    for (size_t k = 0; k < x.size() && held > target; ++k)
      if (x[k] == 0 && w[k] != 0) flip(k, 0);
    for (size_t k = x.size(); k-- > 0 && held > target;)
      if (x[k] != 0 && w[k] != 0) flip(k, 0);
    std::vector<size_t> on, off;
    for (size_t k = 0; k < x.size(); ++k) {
      if (x[k] != 0 && weights[winner][k] == 0) on.push_back(k);
      if (x[k] == 0 && weights[winner][k] != 0) off.push_back(k);
    }
    const auto wanted = static_cast<size_t>(std::max(1.0, std::round(plasticity * connections)));
    const size_t swaps = std::min({wanted, on.size(), off.size()});
    for (size_t s = 0; s < swaps; ++s) {
      weights[winner][on[s]] = 1;
      weights[winner][off[s]] = 0;
    }
    ++wins[winner];
    plasticity = std::max(lp.get("min_plasticity"), plasticity * (1.0 - lp.get("plasticity_decay")));
  }
  return outputs;
}

}  // namespace nuvra::test::ref
