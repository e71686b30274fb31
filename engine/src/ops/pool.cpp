// Pooling: max over windows, and the global average.
#include "ops/simd.h"
#include "ops/window.h"

#include <limits>
#include <vector>

namespace nuvra::ops {

using namespace detail;

namespace {

// Max over the window positions inside the input, else `empty`; channels in runs of 8 lanes.
NUVRA_INLINE void pool_max(const int32_t* in, const Window& g, bool none, int32_t empty, int32_t* out) {
  const size_t c = g.c, runs = c / kLanes * kLanes;
  for (uint32_t ox = 0; ox < g.out_w; ++ox) {
    const int64_t x0 = g.first_x(ox);
    const Span cols = inside(x0, g.kw, g.x);
    for (uint32_t oy = 0; oy < g.out_h; ++oy) {
      const int64_t y0 = g.first_y(oy);
      const Span rows = inside(y0, g.kh, g.y);
      int32_t* dst = out + (size_t{ox} * g.out_h + oy) * c;
      if (none || cols.begin == cols.end || rows.begin == rows.end) {
        std::fill(dst, dst + c, empty);
        continue;
      }
      const auto at = [&](uint32_t i, uint32_t j) {
        return in + (static_cast<size_t>(x0 + i) * g.y + static_cast<size_t>(y0 + j)) * c;
      };
      for (size_t k = 0; k < runs; k += kLanes) {
        Lanes top, v;
        load(top, at(cols.begin, rows.begin) + k);
        for (uint32_t i = cols.begin; i < cols.end; ++i)
          for (uint32_t j = rows.begin; j < rows.end; ++j) {
            load(v, at(i, j) + k);
            top = top > v ? top : v;
          }
        store(dst + k, top);
      }
      for (size_t k = runs; k < c; ++k) {
        int32_t top = at(cols.begin, rows.begin)[k];
        for (uint32_t i = cols.begin; i < cols.end; ++i)
          for (uint32_t j = rows.begin; j < rows.end; ++j) top = std::max(top, at(i, j)[k]);
        dst[k] = top;
      }
    }
  }
}
NUVRA_AVX2 void pool_max_avx2(const int32_t* in, const Window& g, bool none, int32_t empty, int32_t* out) {
  pool_max(in, g, none, empty, out);
}
void pool_max_base(const int32_t* in, const Window& g, bool none, int32_t empty, int32_t* out) {
  pool_max(in, g, none, empty, out);
}

}  // namespace

DensePtr max_pooling(ConstDensePtr input, signed char pool_w, signed char pool_h, bool global, unsigned int out_w,
                     unsigned int out_h, signed char stride_x, signed char stride_y, int pad_top, int pad_bottom,
                     int pad_left, int pad_right, int empty_value) {
  const char* kernel = "max_pooling";
  expect_tensor(kernel, "the input", input.get());
  expect_type(kernel, "the input", *input, TensorType::int32);
  expect_rank(kernel, "the input", *input, 3);
  const int32_t* in = input->data<int32_t>();
  const Shape s = input->shape();
  const size_t c = s[2];
  if (global) {
    DensePtr y = result(TensorType::int32, {1, 1, s[2]});
    int32_t* dst = y->data<int32_t>();
    std::copy(in, in + c, dst);
    for (size_t p = 1; p < size_t{s[0]} * s[1]; ++p)
      for (size_t k = 0; k < c; ++k) dst[k] = std::max(dst[k], in[p * c + k]);
    return y;
  }
  if (pool_w < 0 || pool_h < 0)
    refuse(kernel, "pool sizes must not be negative, got " + std::to_string(pool_w) + " x " + std::to_string(pool_h));
  // A zero-sized window covers nothing: every output is empty.
  const bool none = pool_w == 0 || pool_h == 0;
  const Window g = sweep(kernel, *input, std::max<int>(pool_w, 1), std::max<int>(pool_h, 1), stride_x, stride_y,
                         pad_left, pad_top, out_w, out_h);
  DensePtr y = result(TensorType::int32, {out_w, out_h, g.c});
  (has_avx2() ? pool_max_avx2 : pool_max_base)(in, g, none, empty_value, y->data<int32_t>());
  return y;
}

DensePtr global_average_pooling(ConstDensePtr input, int shift) {
  const char* kernel = "global_average_pooling";
  expect_tensor(kernel, "the input", input.get());
  expect_type(kernel, "the input", *input, TensorType::int32);
  expect_rank(kernel, "the input", *input, 3);
  const Shape s = input->shape();
  const size_t c = s[2], pixels = size_t{s[0]} * s[1];
  const int32_t* in = input->data<int32_t>();
  // Fewer than 2^32 pixels of at most 2^31: the sums fit 64 bits.
  std::vector<int64_t> sums(c, 0);
  for (size_t p = 0; p < pixels; ++p)
    for (size_t k = 0; k < c; ++k) sums[k] += in[p * c + k];
  DensePtr y = result(TensorType::int32, {1, 1, s[2]});
  int32_t* out = y->data<int32_t>();
  const int128 n = static_cast<int128>(pixels);
  for (size_t k = 0; k < c; ++k) {
    // floor(sum / n + 1/2), rounding half up on either side of 0.
    const int128 twice = 2 * static_cast<int128>(sums[k]) + n, den = 2 * n;
    const int128 mean = twice >= 0 ? twice / den : -((-twice + den - 1) / den);
    out[k] = sat32(sshift<int128>(mean, -int64_t{shift}));
  }
  return y;
}

}  // namespace nuvra::ops
