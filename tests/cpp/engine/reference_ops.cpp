#include "reference_ops.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace nuvra::reference {

namespace {

Wide floor_div(Wide a, Wide b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

size_t elements(const std::vector<uint32_t>& dims) {
  size_t n = 1;
  for (uint32_t d : dims) n *= d;
  return n;
}

// Element i of `target` read from `b` broadcast to it: dimensions aligned on the last one, each
// of b's 1 or equal.
int64_t broadcast(const Values& b, const std::vector<uint32_t>& target, size_t i) {
  size_t at = 0, stride = 1;
  for (size_t k = 0; k < b.shape.size(); ++k) {
    const uint32_t t = target[target.size() - 1 - k], d = b.shape[b.shape.size() - 1 - k];
    size_t index = i;
    for (size_t j = target.size() - 1; j > target.size() - 1 - k; --j) index /= target[j];
    if (d != 1) at += index % t * stride;
    stride *= d;
  }
  return b.v[at];
}

// y[i] = f(x[i], b broadcast).
template <class F>
Values zip(const Values& x, const Values& b, F f) {
  Values y(x.shape);
  for (size_t i = 0; i < x.size(); ++i) y.v[i] = f(Wide{x.v[i]}, Wide{broadcast(b, x.shape, i)});
  return y;
}

// Saturated to signed `bits` bits when 1 to 31, else to int32.
int64_t limit(Wide v, int bits) { return bits > 0 && bits < 32 ? saturate(v, bits, true) : sat32(v); }

Values saturated(Values x) {
  for (auto& e : x.v) e = sat32(e);
  return x;
}

void sweep_check(const std::string& kernel, int64_t sx, int64_t sy, uint32_t out_w, uint32_t out_h) {
  if (sx < 1 || sy < 1)
    refuse(kernel, "strides must be at least 1, got " + std::to_string(sx) + ", " + std::to_string(sy));
  if (out_w < 1 || out_h < 1)
    refuse(kernel, "output sizes must be at least 1, got " + std::to_string(out_w) + " x " + std::to_string(out_h));
}

}  // namespace

Values::Values(std::vector<uint32_t> dims) : shape(std::move(dims)), v(elements(shape), 0) {}

void refuse(const std::string& kernel, const std::string& reason) {
  throw std::invalid_argument(kernel + ": " + reason);
}

Wide sshift(Wide v, int64_t s) {
  const Wide limit = Wide{1} << 61;
  if (s >= 0) {
    const Wide y = v * (Wide{1} << std::min<int64_t>(s, 62));  // past 2^61 from any v but 0
    return std::clamp(y, -limit, limit);
  }
  const int64_t r = std::min<int64_t>(-s, 100);
  return floor_div(v + (Wide{1} << (r - 1)), Wide{1} << r);
}

float rounded_product(int64_t x, float scale) {
  // scale = m * 2^e with m a 24-bit integer: |x| * m is exact in 128 bits, its one conversion to
  // float rounds, and the power of two leaves a normal result as it is.
  int e = 0;
  const auto m = static_cast<int64_t>(std::ldexp(std::fabs(std::frexp(scale, &e)), 24));
  const Wide magnitude = Wide{x < 0 ? -x : x} * m;
  const float y = std::ldexp(static_cast<float>(magnitude), e - 24);
  return std::signbit(scale) != (x < 0) ? -y : y;
}

int64_t saturate(Wide v, int bits, bool is_signed) {
  const Wide lo = is_signed ? -(Wide{1} << (bits - 1)) : 0;
  const Wide hi = is_signed ? (Wide{1} << (bits - 1)) - 1 : (Wide{1} << bits) - 1;
  return static_cast<int64_t>(std::clamp(v, lo, hi));
}

std::pair<uint32_t, int64_t> padded_axis(uint32_t size, uint32_t kernel, uint32_t stride, bool same) {
  if (!same) return {(size - kernel) / stride + 1, 0};
  const uint32_t out = (size + stride - 1) / stride;
  const int64_t total = std::max<int64_t>(int64_t{out - 1} * stride + kernel - size, 0);
  return {out, total / 2};
}

Values convolve(const Values& in, const Values& w, const Sweep& s, const std::vector<int64_t>& pad) {
  const uint32_t X = in.shape[0], Y = in.shape[1], C = in.shape[2], F = w.shape[3];
  Values out({s.out_w, s.out_h, F});
  for (uint32_t ox = 0; ox < s.out_w; ++ox)
    for (uint32_t oy = 0; oy < s.out_h; ++oy)
      for (uint32_t f = 0; f < F; ++f) {
        Wide sum = 0;
        for (uint32_t i = 0; i < s.kw; ++i)
          for (uint32_t j = 0; j < s.kh; ++j)
            for (uint32_t c = 0; c < C; ++c) {
              const int64_t x = ox * s.sx - s.pad_left + i, y = oy * s.sy - s.pad_top + j;
              const bool inside = x >= 0 && x < X && y >= 0 && y < Y;
              const int64_t value = inside ? in.v[(x * Y + y) * C + c] : pad[c];
              sum += Wide{value} * w.v[((size_t{i} * s.kh + j) * C + c) * F + f];
            }
        out.v[(size_t{ox} * s.out_h + oy) * F + f] = static_cast<int64_t>(sum);
      }
  return out;
}

Values depthwise(const Values& in, const Values& w, const Sweep& s) {
  const uint32_t X = in.shape[0], Y = in.shape[1], C = in.shape[2];
  Values out({s.out_w, s.out_h, C});
  for (uint32_t ox = 0; ox < s.out_w; ++ox)
    for (uint32_t oy = 0; oy < s.out_h; ++oy)
      for (uint32_t c = 0; c < C; ++c) {
        Wide sum = 0;
        for (uint32_t i = 0; i < s.kw; ++i)
          for (uint32_t j = 0; j < s.kh; ++j) {
            const int64_t x = ox * s.sx - s.pad_left + i, y = oy * s.sy - s.pad_top + j;
            if (x >= 0 && x < X && y >= 0 && y < Y)
              sum += Wide{in.v[(x * Y + y) * C + c]} * w.v[(size_t{i} * s.kh + j) * C + c];
          }
        out.v[(size_t{ox} * s.out_h + oy) * C + c] = static_cast<int64_t>(sum);
      }
  return out;
}

Values scatter(const Values& in, const Values& w, int64_t stride, int64_t pad_x, int64_t pad_y, uint32_t out_x,
               uint32_t out_y) {
  const uint32_t X = in.shape[0], Y = in.shape[1], C = in.shape[2];
  const uint32_t kw = w.shape[0], kh = w.shape[1], F = w.shape[3];
  const bool per_channel = w.shape[2] != C;
  std::vector<Wide> sums(size_t{out_x} * out_y * F, 0);
  for (uint32_t x = 0; x < X; ++x)
    for (uint32_t y = 0; y < Y; ++y)
      for (uint32_t i = 0; i < kw; ++i)
        for (uint32_t j = 0; j < kh; ++j) {
          const int64_t ox = x * stride + i - pad_x, oy = y * stride + j - pad_y;
          if (ox < 0 || ox >= out_x || oy < 0 || oy >= out_y) continue;
          Wide* dst = &sums[(ox * out_y + oy) * F];
          const int64_t* src = &in.v[(size_t{x} * Y + y) * C];
          for (uint32_t c = 0; c < C; ++c) {
            if (per_channel) {
              dst[c] += Wide{src[c]} * w.v[(size_t{i} * kh + j) * C + c];
              continue;
            }
            for (uint32_t f = 0; f < F; ++f) dst[f] += Wide{src[c]} * w.v[((size_t{i} * kh + j) * C + c) * F + f];
          }
        }
  Values out({out_x, out_y, F});
  for (size_t k = 0; k < sums.size(); ++k) out.v[k] = static_cast<int64_t>(sums[k]);
  return out;
}

Values max_pool(const Values& in, const Sweep& s, int64_t empty) {
  const uint32_t X = in.shape[0], Y = in.shape[1], C = in.shape[2];
  Values out({s.out_w, s.out_h, C});
  for (uint32_t ox = 0; ox < s.out_w; ++ox)
    for (uint32_t oy = 0; oy < s.out_h; ++oy)
      for (uint32_t c = 0; c < C; ++c) {
        bool any = false;
        int64_t top = empty;
        for (uint32_t i = 0; i < s.kw; ++i)
          for (uint32_t j = 0; j < s.kh; ++j) {
            const int64_t x = ox * s.sx - s.pad_left + i, y = oy * s.sy - s.pad_top + j;
            if (x < 0 || x >= X || y < 0 || y >= Y) continue;
            const int64_t v = in.v[(x * Y + y) * C + c];
            top = any ? std::max(top, v) : v;
            any = true;
          }
        out.v[(size_t{ox} * s.out_h + oy) * C + c] = top;
      }
  return out;
}

Values global_max(const Values& in) {
  const uint32_t C = in.shape[2];
  Values out({1, 1, C});
  for (uint32_t c = 0; c < C; ++c) {
    out.v[c] = in.v[c];
    for (size_t i = c; i < in.size(); i += C) out.v[c] = std::max(out.v[c], in.v[i]);
  }
  return out;
}

Values global_mean(const Values& in) {
  const uint32_t C = in.shape[2];
  const Wide n = static_cast<Wide>(in.size() / C);
  Values out({1, 1, C});
  for (uint32_t c = 0; c < C; ++c) {
    Wide sum = 0;
    for (size_t i = c; i < in.size(); i += C) sum += in.v[i];
    out.v[c] = static_cast<int64_t>(floor_div(2 * sum + n, 2 * n));
  }
  return out;
}

// --- kernels ---

Values conv2d_v2(const Values& in, int sx, int sy, int pad_left, int pad_top, uint32_t out_w, uint32_t out_h,
                 const Values& w, int pad_value) {
  sweep_check("conv2d_v2", sx, sy, out_w, out_h);
  const Sweep s{w.shape[0], w.shape[1], sx, sy, pad_left, pad_top, out_w, out_h};
  return saturated(convolve(in, w, s, std::vector<int64_t>(in.shape[2], pad_value)));
}

Values depthwise_conv2d(const Values& in, int sx, int sy, int pad_left, int pad_top, uint32_t out_w, uint32_t out_h,
                        const Values& w) {
  sweep_check("depthwise_conv2d", sx, sy, out_w, out_h);
  return saturated(depthwise(in, w, Sweep{w.shape[0], w.shape[1], sx, sy, pad_left, pad_top, out_w, out_h}));
}

Values linearize_filters(const Values& w) {
  const uint32_t F = w.shape[3], depth = static_cast<uint32_t>(w.size() / F);
  Values out({F, depth});
  for (uint32_t f = 0; f < F; ++f)
    for (uint32_t k = 0; k < depth; ++k) out.v[size_t{f} * depth + k] = w.v[size_t{k} * F + f];
  return out;
}

Values input_conv2d(const Values& in, const Values& pads, int sx, int sy, int pad_top, int pad_left, uint32_t out_w,
                    uint32_t out_h, uint32_t kw, uint32_t kh, const Values& filters) {
  sweep_check("input_conv2d", sx, sy, out_w, out_h);
  const uint32_t C = in.shape[2], F = filters.shape[0], depth = filters.shape[1];
  std::vector<int64_t> pad(C);
  for (uint32_t c = 0; c < C; ++c) pad[c] = pads.v[pads.size() == 1 ? 0 : c];
  Values w({kw, kh, C, F});  // back to (kw, kh, C, F)
  for (uint32_t f = 0; f < F; ++f)
    for (uint32_t k = 0; k < depth; ++k) w.v[size_t{k} * F + f] = filters.v[size_t{f} * depth + k];
  return saturated(convolve(in, w, Sweep{kw, kh, sx, sy, pad_left, pad_top, out_w, out_h}, pad));
}

Values stem_conv(const Values& in, const Values& w, int stride) {
  if (stride < 1) refuse("stem_conv", "the stride must be at least 1, got " + std::to_string(stride));
  const uint32_t kw = w.shape[0], kh = w.shape[1];
  const uint32_t out_x = (in.shape[0] - kw) / stride + 1, out_y = (in.shape[1] - kh) / stride + 1;
  Values sums =
      convolve(in, w, Sweep{kw, kh, stride, stride, 0, 0, out_x, out_y}, std::vector<int64_t>(in.shape[2], 0));
  sums.shape = {out_x * out_y, w.shape[3]};
  return saturated(sums);
}

Values conv2d_transpose(const Values& in, const Values& w, int stride, int pad_x, int pad_y, uint32_t out_x,
                        uint32_t out_y) {
  if (stride < 1) refuse("conv2d_transpose", "the stride must be at least 1, got " + std::to_string(stride));
  return saturated(scatter(in, w, stride, pad_x, pad_y, out_x, out_y));
}

Values max_pooling(const Values& in, int pool_w, int pool_h, bool global, uint32_t out_w, uint32_t out_h, int sx,
                   int sy, int pad_top, int pad_left, int64_t empty) {
  if (global) return global_max(in);
  if (pool_w < 0 || pool_h < 0)
    refuse("max_pooling",
           "pool sizes must not be negative, got " + std::to_string(pool_w) + " x " + std::to_string(pool_h));
  sweep_check("max_pooling", sx, sy, out_w, out_h);
  if (pool_w == 0 || pool_h == 0) {  // a window of no positions
    Values out({out_w, out_h, in.shape[2]});
    std::fill(out.v.begin(), out.v.end(), empty);
    return out;
  }
  return max_pool(in, Sweep{uint32_t(pool_w), uint32_t(pool_h), sx, sy, pad_left, pad_top, out_w, out_h}, empty);
}

Values global_average_pooling(const Values& in, int shift) {
  Values mean = global_mean(in);
  for (auto& v : mean.v) v = sat32(sshift(v, -int64_t{shift}));
  return mean;
}

Values matmul(const Values& a, const Values& b, int shift, bool transpose_b) {
  const size_t ar = a.shape.size(), br = b.shape.size();
  const uint32_t M = a.shape[ar - 2], K = a.shape[ar - 1];
  const uint32_t N = transpose_b ? b.shape[br - 2] : b.shape[br - 1];
  if ((transpose_b ? b.shape[br - 1] : b.shape[br - 2]) != K) throw std::logic_error("matmul: inner sizes");
  std::vector<uint32_t> dims = a.shape;
  dims[ar - 1] = N;
  Values y(dims);
  const size_t batches = a.size() / (size_t{M} * K);
  for (size_t q = 0; q < batches; ++q) {
    const size_t bq = br > 2 ? q : 0;
    for (uint32_t m = 0; m < M; ++m)
      for (uint32_t n = 0; n < N; ++n) {
        Wide sum = 0;
        for (uint32_t k = 0; k < K; ++k) {
          const size_t at = transpose_b ? (bq * N + n) * K + k : (bq * K + k) * N + n;
          sum += Wide{a.v[(q * M + m) * K + k]} * b.v[at];
        }
        y.v[(q * M + m) * N + n] = sat32(sshift(sum, -int64_t{shift}));
      }
  }
  return y;
}

Values lshift(const Values& x, const Values& shifts, int bits) {
  return zip(x, shifts, [bits](Wide v, Wide s) { return limit(sshift(v, static_cast<int64_t>(s)), bits); });
}

Values shift(const Values& x, const Values& shifts, int bits) { return lshift(x, shifts, bits); }

Values shift_out(const Values& x, const Values& shifts, int bits) {
  if (bits < 1 || bits > 31) refuse("shift_out", "the output bits must be 1 to 31, got " + std::to_string(bits));
  return zip(x, shifts, [bits](Wide v, Wide s) { return saturate(sshift(v, -static_cast<int64_t>(s)), bits, false); });
}

Values add(const Values& a, const Values& b, int shift) {
  return zip(a, b, [shift](Wide u, Wide v) { return sat32(sshift(u + v, -int64_t{shift})); });
}

Values divide(const Values& a, const Values& b) {
  for (int64_t v : b.v)
    if (v == 0) refuse("divide", "division by zero");
  return zip(a, b, [](Wide u, Wide v) { return sat32(u / v); });  // C++ division truncates toward zero
}

Values relu_activation(const Values& x, const Values& max_values) {
  for (int64_t m : max_values.v)
    if (m < 0) refuse("relu_activation", "the max values must not be negative");
  return zip(x, max_values, [](Wide v, Wide m) { return static_cast<int64_t>(std::min(std::max(v, Wide{0}), m)); });
}

Values look_up(const Values& indices, const Values& table) {
  Values y(indices.shape);
  for (size_t i = 0; i < y.size(); ++i)
    y.v[i] = table.v[static_cast<size_t>(std::clamp<int64_t>(indices.v[i], 0, int64_t(table.size()) - 1))];
  return y;
}

Values scale_out(const Values& x, const Values& scales, const Values& shifts, int bits, int is_signed) {
  if (bits < 1 || bits > (is_signed ? 32 : 31))
    refuse("scale_out",
           std::string("the output bits must be 1 to ") + (is_signed ? "32" : "31") + ", got " + std::to_string(bits));
  Values y(x.shape);
  for (size_t i = 0; i < y.size(); ++i) {
    const Wide v = sshift(Wide{x.v[i]} * broadcast(scales, x.shape, i), broadcast(shifts, x.shape, i));
    y.v[i] = saturate(v, bits, is_signed != 0);
  }
  return y;
}

Values rounded_rshift(const Values& x, const Values& shifts, int bits) {
  return zip(x, shifts, [bits](Wide v, Wide s) { return limit(sshift(v, -static_cast<int64_t>(s)), bits); });
}

Values sum_abs(const Values& x, int axis) {
  const size_t a = static_cast<size_t>(axis < 0 ? axis + int(x.shape.size()) : axis);
  std::vector<uint32_t> dims = x.shape;
  dims[a] = 1;
  size_t inner = 1;
  for (size_t d = a + 1; d < x.shape.size(); ++d) inner *= x.shape[d];
  std::vector<Wide> sums(elements(dims), 0);
  for (size_t i = 0; i < x.size(); ++i) {
    const size_t outer = i / (inner * x.shape[a]);
    sums[outer * inner + i % inner] += x.v[i] < 0 ? -Wide{x.v[i]} : Wide{x.v[i]};
  }
  Values y(dims);
  for (size_t i = 0; i < sums.size(); ++i) y.v[i] = sat32(sums[i]);
  return y;
}

Values dequantize(const Values& x, const Values& scales) {
  Values y(x.shape);
  for (size_t i = 0; i < y.size(); ++i) {
    const auto pattern = static_cast<uint32_t>(broadcast(scales, x.shape, i));
    float scale, f;
    std::memcpy(&scale, &pattern, sizeof scale);
    f = rounded_product(x.v[i], scale);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    y.v[i] = bits;
  }
  return y;
}

Values separate_heads(const Values& x, uint32_t heads) {
  const uint32_t T = x.shape[0], D = x.shape[1];
  if (heads < 1 || D % heads != 0)
    refuse("separate_heads", "cannot split " + std::to_string(D) + " columns into " + std::to_string(heads) + " heads");
  const uint32_t width = D / heads;
  Values y({heads, T, width});
  for (uint32_t h = 0; h < heads; ++h)
    for (uint32_t t = 0; t < T; ++t)
      for (uint32_t j = 0; j < width; ++j) y.v[(size_t{h} * T + t) * width + j] = x.v[size_t{t} * D + h * width + j];
  return y;
}

Values shiftmax(const Values& x, const Values& shifts, int input_shift, int bits) {
  if (bits < 1 || bits > 30) refuse("shiftmax", "the output bits must be 1 to 30, got " + std::to_string(bits));
  // Terms as multiples of 2^-30 of the largest; one 31 or more below it counts 0.
  constexpr int kFraction = 30;
  const size_t n = x.shape.back();
  Values y(x.shape);
  for (size_t row = 0; row < x.size(); row += n) {
    std::vector<Wide> z(n);
    for (size_t i = 0; i < n; ++i) {
      const int64_t e = broadcast(shifts, x.shape, row + i) - int64_t{input_shift};
      // x * 2^e exactly, within 128 bits: |x| <= 2^31.
      if (e > 93) throw std::logic_error("the reference shiftmax holds x * 2^e up to e = 93, not " + std::to_string(e));
      z[i] = e >= 0 ? Wide{x.v[row + i]} * (Wide{1} << e) : sshift(x.v[row + i], e);
    }
    const Wide top = *std::max_element(z.begin(), z.end());
    Wide sum = 0;
    for (auto& p : z) {
      p = top - p > kFraction ? 0 : Wide{1} << (kFraction - static_cast<int>(top - p));
      sum += p;
    }
    for (size_t i = 0; i < n; ++i) {
      const Wide q = floor_div((z[i] << (bits + 1)) + sum, 2 * sum);
      y.v[row + i] = static_cast<int64_t>(std::min(q, (Wide{1} << bits) - 1));
    }
  }
  return y;
}

Values concat_token(const Values& x, const Values& tokens, const Values& shifts, int count) {
  std::vector<uint32_t> dims = x.shape;
  dims[dims.size() - 2] += static_cast<uint32_t>(count);
  Values y(dims);
  const size_t head = static_cast<size_t>(count) * tokens.shape[1];
  for (size_t i = 0; i < head; ++i) y.v[i] = sat32(sshift(tokens.v[i], broadcast(shifts, tokens.shape, i)));
  std::copy(x.v.begin(), x.v.end(), y.v.begin() + static_cast<std::ptrdiff_t>(head));
  return y;
}

Values concatenate_last_dim(const std::vector<Values>& parts) {
  std::vector<uint32_t> dims = parts[0].shape;
  dims.back() = 0;
  for (const Values& p : parts) dims.back() += p.shape.back();
  Values y(dims);
  const size_t rows = parts[0].size() / parts[0].shape.back();
  size_t at = 0;
  for (size_t r = 0; r < rows; ++r)
    for (const Values& p : parts)
      for (uint32_t k = 0; k < p.shape.back(); ++k) y.v[at++] = p.v[r * p.shape.back() + k];
  return y;
}

Values extract_token(const Values& x, int begin, int end, uint32_t axis) {
  const int64_t length = x.shape[axis];
  const auto place = [length](int64_t i) { return std::clamp<int64_t>(i < 0 ? i + length : i, 0, length); };
  const int64_t b = place(begin), e = place(end);
  if (e <= b)
    refuse("extract_token", "the range [" + std::to_string(begin) + ", " + std::to_string(end) + ") of " +
                                std::to_string(length) + " is empty");
  std::vector<uint32_t> dims = x.shape;
  dims[axis] = static_cast<uint32_t>(e - b);
  size_t inner = 1;
  for (size_t d = axis + 1; d < dims.size(); ++d) inner *= dims[d];
  Values y(dims);
  for (size_t i = 0; i < y.size(); ++i) {
    const size_t outer = i / (inner * dims[axis]), along = i / inner % dims[axis];
    y.v[i] = x.v[(outer * length + b + along) * inner + i % inner];
  }
  return y;
}

Values fifo_op(const Values& fifo, const Values& frame) {
  Values y = fifo;
  const size_t entry = frame.size();
  std::copy(fifo.v.begin() + static_cast<std::ptrdiff_t>(entry), fifo.v.end(), y.v.begin());
  std::copy(frame.v.begin(), frame.v.end(), y.v.end() - static_cast<std::ptrdiff_t>(entry));
  return y;
}

Values depthwise_like_conv(const Values& x, const Values& w, int shift) {
  const int64_t T = x.shape[0], C = x.shape[1], K = w.shape[0];
  Values y(x.shape);
  for (int64_t t = 0; t < T; ++t)
    for (int64_t c = 0; c < C; ++c) {
      Wide sum = 0;
      for (int64_t k = 0; k < K; ++k) {
        const int64_t step = t - K + 1 + k;
        if (step >= 0) sum += Wide{x.v[step * C + c]} * w.v[k * C + c];
      }
      y.v[t * C + c] = sat32(sshift(sum, -int64_t{shift}));
    }
  return y;
}

std::pair<Values, Values> update_internal_state(const Values& state, const Values& input, const Values& decay,
                                                const Values& gain, int shift) {
  Values first(state.shape), second(state.shape);
  for (size_t i = 0; i < state.size(); ++i) {
    const Wide kept = sshift(Wide{broadcast(decay, state.shape, i)} * state.v[i], -int64_t{shift});
    first.v[i] = sat32(kept + Wide{broadcast(gain, state.shape, i)} * input.v[i]);
    second.v[i] = sat32(Wide{input.v[i]} + first.v[i]);
  }
  return {first, second};
}

// --- layers ---

int64_t activated(const Neuron& n, int64_t acc, size_t k) {
  const int64_t x = sat32(Wide{acc} + sat32(sshift(n.bias[k], n.bias_shift[k])));
  if (!n.relu) return x;
  return std::clamp<int64_t>(x, 0, sat32(sshift(n.max_value[k], n.max_value_shift[k])));
}

int64_t finished(const Neuron& n, int64_t pooled, size_t k) {
  return saturate(sshift(Wide{pooled} * n.scale[k], n.shift[k]), n.bits, !n.relu);
}

Values run_layer(const Layer& l, const Values& sample) {
  using Kind = Layer::Kind;
  Values x = sample;
  if (!l.input_shift.empty())
    for (size_t i = 0; i < x.size(); ++i) {
      const size_t k = l.kind == Kind::dense ? i : i % x.shape[2];
      x.v[i] = sat32(sshift(x.v[i], l.input_shift[k]));
    }
  const uint32_t X = x.shape[0], Y = x.shape[1], C = x.shape[2];
  Values acc;
  switch (l.kind) {
    case Kind::dense: {
      const uint32_t N = l.weights.shape[1];
      acc = Values({1, 1, N});
      for (uint32_t n = 0; n < N; ++n) {
        Wide sum = 0;
        for (size_t k = 0; k < x.size(); ++k) sum += Wide{x.v[k]} * l.weights.v[k * N + n];
        acc.v[n] = static_cast<int64_t>(sum);
      }
      break;
    }
    case Kind::transposed:
    case Kind::depthwise_transposed: {
      const int64_t pad = std::max<int64_t>(int64_t{l.kernel} - 2, 0) / 2;
      acc = scatter(x, l.weights, 2, pad, pad, 2 * X, 2 * Y);
      break;
    }
    default: {
      const auto [out_w, left] = padded_axis(X, l.kernel, l.stride, l.same);
      const auto [out_h, top] = padded_axis(Y, l.kernel, l.stride, l.same);
      const Sweep s{l.kernel, l.kernel, l.stride, l.stride, left, top, out_w, out_h};
      if (l.kind == Kind::depthwise)
        acc = depthwise(x, l.weights, s);
      else
        acc = convolve(x, l.weights, s, l.kind == Kind::input_conv ? l.pad_values : std::vector<int64_t>(C, 0));
    }
  }
  const uint32_t F = acc.shape[2];
  for (size_t i = 0; i < acc.size(); ++i) acc.v[i] = activated(l.neuron, sat32(acc.v[i]), i % F);
  Values pooled;
  switch (l.pool) {
    case Layer::Pool::none: pooled = acc; break;
    case Layer::Pool::global_max: pooled = global_max(acc); break;
    case Layer::Pool::global_average: pooled = global_mean(acc); break;
    case Layer::Pool::max: {
      const auto [out_w, left] = padded_axis(acc.shape[0], l.pool_size, l.pool_stride, l.same);
      const auto [out_h, top] = padded_axis(acc.shape[1], l.pool_size, l.pool_stride, l.same);
      pooled = max_pool(acc, Sweep{l.pool_size, l.pool_size, l.pool_stride, l.pool_stride, left, top, out_w, out_h}, 0);
    }
  }
  for (size_t i = 0; i < pooled.size(); ++i) pooled.v[i] = finished(l.neuron, pooled.v[i], i % F);
  return pooled;
}

}  // namespace nuvra::reference
