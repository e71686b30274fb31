// Transposed convolution, computed per output pixel from the input pixels that reach it.
#include "ops/common.h"

#include <limits>
#include <vector>

namespace nuvra::ops {

using namespace detail;

namespace {

struct Transposed {
  uint32_t x, y, c, kw, kh, filters;
  int64_t stride, pad_x, pad_y;
  uint32_t out_x, out_y;
  bool depthwise;
};

// Output position o takes kernel taps i = (o + pad) - stride * n for input positions n in
// [0, size): f(i, n) for each, i in [0, kernel).
template <class F>
void taps(int64_t o, int64_t pad, int64_t stride, uint32_t kernel, uint32_t size, F&& f) {
  const int64_t base = o + pad;
  if (base < 0) return;
  for (int64_t i = base % stride; i < kernel && i <= base; i += stride) {
    const int64_t n = (base - i) / stride;
    if (n < size) f(static_cast<uint32_t>(i), static_cast<uint32_t>(n));
  }
}

template <class Acc>
void transpose(const int32_t* in, const int32_t* w, const Transposed& t, int32_t* out) {
  const size_t f_count = t.filters, c = t.c;
  std::vector<Acc> acc(f_count);
  for (uint32_t ox = 0; ox < t.out_x; ++ox)
    for (uint32_t oy = 0; oy < t.out_y; ++oy) {
      std::fill(acc.begin(), acc.end(), Acc{0});
      taps(ox, t.pad_x, t.stride, t.kw, t.x, [&](uint32_t i, uint32_t nx) {
        taps(oy, t.pad_y, t.stride, t.kh, t.y, [&](uint32_t j, uint32_t ny) {
          const int32_t* src = in + (size_t{nx} * t.y + ny) * c;
          if (t.depthwise) {
            const int32_t* wr = w + (size_t{i} * t.kh + j) * c;
            for (size_t k = 0; k < c; ++k) acc[k] += Acc{src[k]} * wr[k];
            return;
          }
          for (size_t ch = 0; ch < c; ++ch) {
            const int32_t* wr = w + ((size_t{i} * t.kh + j) * c + ch) * f_count;
            const Acc v = src[ch];
            for (size_t f = 0; f < f_count; ++f) acc[f] += v * wr[f];
          }
        });
      });
      int32_t* dst = out + (size_t{ox} * t.out_y + oy) * f_count;
      for (size_t f = 0; f < f_count; ++f) dst[f] = sat32(acc[f]);
    }
}

}  // namespace

DensePtr conv2d_transpose(const Dense& input, const Dense& weights, int stride, int pad_x, int pad_y,
                          unsigned int out_x, unsigned int out_y) {
  const char* kernel = "conv2d_transpose";
  expect_type(kernel, "the input", input, TensorType::int32);
  expect_rank(kernel, "the input", input, 3);
  expect_type(kernel, "the weights", weights, TensorType::int8);
  expect_rank(kernel, "the weights", weights, 4);
  if (stride < 1) refuse(kernel, "the stride must be at least 1, got " + std::to_string(stride));
  if (out_x < 1 || out_y < 1)
    refuse(kernel, "output sizes must be at least 1, got " + std::to_string(out_x) + " x " + std::to_string(out_y));
  const Shape is = input.shape(), ws = weights.shape();
  Transposed t{is[0], is[1], is[2], ws[0], ws[1], ws[3], stride, pad_x, pad_y, out_x, out_y, false};
  if (ws[2] != t.c) {
    // One filter per channel, (kw, kh, 1, C).
    if (ws[2] != 1 || ws[3] != t.c)
      refuse(kernel, "the weights " + ws.to_string() + " take neither the input's " + std::to_string(t.c) +
                         " channels nor one per channel");
    t.depthwise = true;
  }
  const int8_t* w8 = weights.data<int8_t>();
  const std::vector<int32_t> w(w8, w8 + weights.size());
  // Every sum is bounded by max|input| times the largest sum of |w| feeding one output.
  std::vector<uint64_t> sums(t.filters, 0);
  for (size_t k = 0; k < w.size(); ++k) sums[k % t.filters] += static_cast<uint64_t>(w[k] < 0 ? -w[k] : w[k]);
  const unsigned __int128 bound = static_cast<unsigned __int128>(max_abs(input.data<int32_t>(), input.size())) *
                                  *std::max_element(sums.begin(), sums.end());
  DensePtr y = result(TensorType::int32, {out_x, out_y, t.filters});
  if (bound <= std::numeric_limits<int32_t>::max())
    transpose<int32_t>(input.data<int32_t>(), w.data(), t, y->data<int32_t>());
  else if (bound < (unsigned __int128){1} << 61)
    transpose<int64_t>(input.data<int32_t>(), w.data(), t, y->data<int32_t>());
  else
    transpose<int128>(input.data<int32_t>(), w.data(), t, y->data<int32_t>());
  return y;
}

}  // namespace nuvra::ops
