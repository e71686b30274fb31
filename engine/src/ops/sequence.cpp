// Token and state kernels: heads, shiftmax, tokens, joins and slices, the frame FIFO, the
// temporal depthwise convolution and the recurrent state update.
#include "ops/common.h"

#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace nuvra::ops {

using namespace detail;

DensePtr separate_heads(const Dense& x, unsigned int heads) {
  const char* kernel = "separate_heads";
  expect_type(kernel, "the input", x, TensorType::int32);
  expect_rank(kernel, "the input", x, 2);
  const Shape s = x.shape();
  if (heads < 1 || s[1] % heads != 0)
    refuse(kernel, "cannot split " + std::to_string(s[1]) + " columns into " + std::to_string(heads) + " heads");
  const size_t t = s[0], width = s[1] / heads;
  DensePtr y = result(TensorType::int32, {heads, s[0], static_cast<uint32_t>(width)});
  const int32_t* src = x.data<int32_t>();
  int32_t* dst = y->data<int32_t>();
  for (size_t h = 0; h < heads; ++h)
    for (size_t r = 0; r < t; ++r) std::memcpy(dst + (h * t + r) * width, src + r * s[1] + h * width, width * 4);
  return y;
}

namespace {

// A shiftmax term z = x * 2^(shift - input_shift), exactly: m * 2^e with |m| <= 2^31 and e >= 0.
// A negative exponent rounds x right into m (half up) and leaves e = 0, as does m = 0.
struct Term {
  int64_t m = 0, e = 0;
};

Term term(int32_t x, int64_t e) { return e > 0 && x != 0 ? Term{x, e} : Term{sshift<int64_t>(x, e), 0}; }

// a and b over 2^min(a.e, b.e), the shift of the one with the larger exponent held at 34: a
// nonzero |m| * 2^34 exceeds every |m| by more than 2^33, so the order, the equalities and every
// difference up to 2^33 stay as they are.
std::pair<int128, int128> aligned(Term a, Term b) {
  const int64_t lo = std::min(a.e, b.e);
  const auto scaled = [lo](Term t) { return int128{t.m} * (int128{1} << std::min<int64_t>(t.e - lo, 34)); };
  return {scaled(a), scaled(b)};
}

bool below(Term a, Term b) {
  const auto [x, y] = aligned(a, b);
  return x < y;
}

// top - z for top >= z: exactly up to `far`, else `far`.
int64_t gap(Term top, Term z, int64_t far) {
  const auto [t, v] = aligned(top, z);
  const int128 g = t - v;
  if (g == 0) return 0;
  const int64_t lo = std::min(top.e, z.e);
  if (g >= far || lo >= 63) return far;
  const int128 d = g << lo;  // g < far < 2^63 and lo < 63
  return d >= far ? far : static_cast<int64_t>(d);
}

}  // namespace

DensePtr shiftmax(const Dense& x, const Dense& shifts, int input_shift, int bits) {
  const char* kernel = "shiftmax";
  expect_type(kernel, "the input", x, TensorType::int32);
  expect_type(kernel, "the shifts", shifts, TensorType::uint8);
  if (bits < 1 || bits > 30) refuse(kernel, "the output bits must be 1 to 30, got " + std::to_string(bits));
  const Broadcast<1> rows(kernel, x.shape(), {&shifts}, {"the shifts"});
  DensePtr y = result(TensorType::int32, x.shape());
  const int32_t* xp = x.data<int32_t>();
  const uint8_t* sp = shifts.data<uint8_t>();
  int32_t* yp = y->data<int32_t>();
  constexpr int kFraction = 30;  // 2^(z - max) in fixed point; past 2^-30 it counts 0
  std::vector<Term> z;
  std::vector<uint64_t> p;
  rows.rows([&](size_t o, size_t n, const auto& at, const auto& step) {
    z.resize(n);
    p.resize(n);
    Term top;
    for (size_t i = 0; i < n; ++i) {
      z[i] = term(xp[o + i], int64_t{sp[at[0] + i * step[0]]} - input_shift);
      if (i == 0 || below(top, z[i])) top = z[i];
    }
    uint64_t sum = 0;  // at most 2^32 terms of at most 2^30
    for (size_t i = 0; i < n; ++i) {
      const int64_t d = gap(top, z[i], kFraction + 1);
      p[i] = d > kFraction ? 0 : uint64_t{1} << (kFraction - d);
      sum += p[i];
    }
    const uint64_t cap = (uint64_t{1} << bits) - 1;
    for (size_t i = 0; i < n; ++i) {
      // round(p * 2^bits / sum) half up: (2 p 2^bits + sum) / (2 sum), below 2^63.
      const uint64_t q = ((p[i] << (bits + 1)) + sum) / (2 * sum);
      yp[o + i] = static_cast<int32_t>(std::min(q, cap));
    }
  });
  return y;
}

DensePtr concat_token(const Dense& x, const Dense& tokens, const Dense& shifts, int count) {
  const char* kernel = "concat_token";
  expect_type(kernel, "the input", x, TensorType::int32);
  expect_type(kernel, "the tokens", tokens, TensorType::int8);
  expect_type(kernel, "the shifts", shifts, TensorType::uint8);
  expect_rank(kernel, "the tokens", tokens, 2);
  Shape s = x.shape();
  const size_t r = s.size();
  if (r != 2 && !(r == 3 && s[0] == 1))
    refuse(kernel, "the input must be (tokens, width) or (1, tokens, width), got " + s.to_string());
  const Shape ts = tokens.shape();
  if (ts[1] != s[r - 1])
    refuse(kernel, "the tokens " + ts.to_string() + " and the input " + s.to_string() + " differ in width");
  if (count < 0 || static_cast<uint64_t>(count) > ts[0])
    refuse(kernel, "cannot take " + std::to_string(count) + " of " + std::to_string(ts[0]) + " tokens");
  const Broadcast<1> rows(kernel, ts, {&shifts}, {"the shifts"});
  if (uint64_t{s[r - 2]} + static_cast<uint64_t>(count) > std::numeric_limits<uint32_t>::max())
    refuse(kernel, "too many tokens");
  s[r - 2] += static_cast<uint32_t>(count);
  DensePtr y = result(TensorType::int32, s);
  const int8_t* tp = tokens.data<int8_t>();
  const uint8_t* sp = shifts.data<uint8_t>();
  int32_t* yp = y->data<int32_t>();
  const size_t head = static_cast<size_t>(count) * ts[1];
  rows.rows([&](size_t o, size_t n, const auto& at, const auto& step) {
    for (size_t i = 0; i < n && o + i < head; ++i)
      yp[o + i] = sat32(sshift<int64_t>(tp[o + i], sp[at[0] + i * step[0]]));
  });
  std::memcpy(yp + head, x.data<int32_t>(), x.size() * 4);
  return y;
}

DensePtr concatenate_last_dim(const std::vector<ConstDensePtr>& parts) {
  const char* kernel = "concatenate_last_dim";
  if (parts.empty()) refuse(kernel, "nothing to join");
  for (const auto& p : parts) expect_tensor(kernel, "a part", p.get());
  const Dense& first = *parts[0];
  const Shape s = first.shape();
  const size_t r = s.size();
  uint64_t last = 0;
  for (const auto& p : parts) {
    expect_type(kernel, "every part", *p, first.type());
    const Shape ps = p->shape();
    bool same = ps.size() == r;
    for (size_t d = 0; same && d + 1 < r; ++d) same = ps[d] == s[d];
    if (!same) refuse(kernel, "cannot join " + ps.to_string() + " to " + s.to_string() + " along the last axis");
    last += ps[r - 1];
  }
  if (last > std::numeric_limits<uint32_t>::max()) refuse(kernel, "the joined axis is too long");
  Shape out = s;
  out[r - 1] = static_cast<uint32_t>(last);
  DensePtr y = result(first.type(), out);
  const size_t element = element_size(first.type()), rows = first.size() / s[r - 1];
  uint8_t* dst = y->storage().data();
  for (size_t row = 0; row < rows; ++row)
    for (const auto& p : parts) {
      const size_t bytes = size_t{p->shape()[r - 1]} * element;
      std::memcpy(dst, p->storage().data() + row * bytes, bytes);
      dst += bytes;
    }
  return y;
}

DensePtr extract_token(const Dense& x, int begin, int end, unsigned int axis) {
  const char* kernel = "extract_token";
  const Shape s = x.shape();
  if (axis >= s.size()) refuse(kernel, "axis " + std::to_string(axis) + " is out of range for " + s.to_string());
  const int64_t length = s[axis];
  const auto place = [length](int64_t i) { return std::clamp<int64_t>(i < 0 ? i + length : i, 0, length); };
  const int64_t b = place(begin), e = place(end);
  if (e <= b)
    refuse(kernel, "the range [" + std::to_string(begin) + ", " + std::to_string(end) + ") of " +
                       std::to_string(length) + " is empty");
  Shape out = s;
  out[axis] = static_cast<uint32_t>(e - b);
  DensePtr y = result(x.type(), out);
  size_t outer = 1, inner = element_size(x.type());
  for (size_t d = 0; d < axis; ++d) outer *= s[d];
  for (size_t d = axis + 1; d < s.size(); ++d) inner *= s[d];
  const uint8_t* src = x.storage().data();
  uint8_t* dst = y->storage().data();
  const size_t taken = static_cast<size_t>(e - b) * inner;
  for (size_t o = 0; o < outer; ++o)
    std::memcpy(dst + o * taken, src + (o * static_cast<size_t>(length) + static_cast<size_t>(b)) * inner, taken);
  return y;
}

void fifo_op(Dense* fifo, const Dense& frame) {
  const char* kernel = "fifo_op";
  expect_tensor(kernel, "the fifo", fifo);
  expect_type(kernel, "the frame", frame, fifo->type());
  const size_t entries = fifo->shape()[0], entry = fifo->size() / entries;
  if (frame.size() != entry)
    refuse(kernel, "the frame " + frame.shape().to_string() + " is not one entry of the fifo " +
                       fifo->shape().to_string());
  const size_t bytes = entry * element_size(fifo->type());
  // The frame may be a view of the fifo itself.
  const std::vector<uint8_t> incoming(frame.storage().data(), frame.storage().data() + bytes);
  uint8_t* data = fifo->storage().data();
  std::memmove(data, data + bytes, (entries - 1) * bytes);
  std::memcpy(data + (entries - 1) * bytes, incoming.data(), bytes);
}

namespace {

template <class Acc>
void causal(const int32_t* x, const int8_t* w, size_t steps, size_t taps, size_t c, int shift, int32_t* y) {
  std::vector<Acc> acc(c);
  for (size_t t = 0; t < steps; ++t) {
    std::fill(acc.begin(), acc.end(), Acc{0});
    // Tap k meets step t - taps + 1 + k; the first ones may fall before step 0.
    for (size_t k = taps - std::min(taps, t + 1); k < taps; ++k) {
      const int32_t* row = x + (t + k + 1 - taps) * c;
      const int8_t* wr = w + k * c;
      for (size_t i = 0; i < c; ++i) acc[i] += Acc{row[i]} * wr[i];
    }
    for (size_t i = 0; i < c; ++i) y[t * c + i] = sat32(sshift<Acc>(acc[i], -int64_t{shift}));
  }
}

}  // namespace

DensePtr depthwise_like_conv(const Dense& x, const Dense& w, int shift) {
  const char* kernel = "depthwise_like_conv";
  expect_type(kernel, "the input", x, TensorType::int32);
  expect_type(kernel, "the weights", w, TensorType::int8);
  expect_rank(kernel, "the input", x, 2);
  expect_rank(kernel, "the weights", w, 2);
  const Shape xs = x.shape(), ws = w.shape();
  if (ws[1] != xs[1])
    refuse(kernel, "the weights " + ws.to_string() + " do not take the input's " + std::to_string(xs[1]) + " channels");
  DensePtr y = result(TensorType::int32, xs);
  // Sums of at most 2^32 products of at most 2^38 need 128 bits only past 2^22 taps.
  if (ws[0] < (1u << 22))
    causal<int64_t>(x.data<int32_t>(), w.data<int8_t>(), xs[0], ws[0], xs[1], shift, y->data<int32_t>());
  else
    causal<int128>(x.data<int32_t>(), w.data<int8_t>(), xs[0], ws[0], xs[1], shift, y->data<int32_t>());
  return y;
}

std::pair<DensePtr, DensePtr> update_internal_state(const Dense& state, const Dense& input, const Dense& decay,
                                                    const Dense& gain, int shift) {
  const char* kernel = "update_internal_state";
  expect_type(kernel, "the state", state, TensorType::int32);
  expect_type(kernel, "the input", input, TensorType::int32);
  expect_type(kernel, "the decay", decay, TensorType::int16);
  expect_type(kernel, "the gain", gain, TensorType::int16);
  if (!(input.shape() == state.shape()))
    refuse(kernel, "the input " + input.shape().to_string() + " and the state " + state.shape().to_string() +
                       " differ");
  const Broadcast<2> rows(kernel, state.shape(), {&decay, &gain}, {"the decay", "the gain"});
  DensePtr first = result(TensorType::int32, state.shape()), second = result(TensorType::int32, state.shape());
  const int32_t* sp = state.data<int32_t>();
  const int32_t* ip = input.data<int32_t>();
  const int16_t* dp = decay.data<int16_t>();
  const int16_t* gp = gain.data<int16_t>();
  int32_t* fp = first->data<int32_t>();
  int32_t* np = second->data<int32_t>();
  const int64_t s = -int64_t{shift};
  rows.rows([&](size_t o, size_t n, const auto& at, const auto& step) {
    for (size_t i = 0; i < n; ++i) {
      const int64_t kept = sshift<int64_t>(int64_t{dp[at[0] + i * step[0]]} * sp[o + i], s);
      fp[o + i] = sat32(kept + int64_t{gp[at[1] + i * step[1]]} * ip[o + i]);
      np[o + i] = sat32(int64_t{ip[o + i]} + fp[o + i]);
    }
  });
  return {first, second};
}

}  // namespace nuvra::ops
