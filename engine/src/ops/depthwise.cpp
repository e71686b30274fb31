// Depthwise convolution: each channel with its own window of weights, zero outside the input.
#include "ops/simd.h"
#include "ops/window.h"

#include <limits>
#include <type_traits>
#include <vector>

namespace nuvra::ops {

using namespace detail;

namespace {

// Per output pixel, channels go in runs of 8 summed in one vector over all the window's taps
// (int32 sums only: the caller has checked that they cannot overflow).
template <class Acc>
NUVRA_INLINE void depthwise(const int32_t* in, const Window& g, const int32_t* taps, int32_t* out, bool borders_only) {
  // The wider sums are not vectorised.
  const size_t c = g.c, runs = std::is_same_v<Acc, int32_t> ? c / kLanes * kLanes : 0;
  for (uint32_t ox = 0; ox < g.out_w; ++ox) {
    const int64_t x0 = g.first_x(ox);
    const Span cols = inside(x0, g.kw, g.x);
    for (uint32_t oy = 0; oy < g.out_h; ++oy) {
      const int64_t y0 = g.first_y(oy);
      const Span rows = inside(y0, g.kh, g.y);
      if (borders_only && cols.begin == 0 && cols.end == g.kw && rows.begin == 0 && rows.end == g.kh) continue;
      int32_t* dst = out + (size_t{ox} * g.out_h + oy) * c;
      const auto tap = [&](uint32_t i, uint32_t j, size_t k) {
        return std::pair{in + (static_cast<size_t>(x0 + i) * g.y + static_cast<size_t>(y0 + j)) * c + k,
                         taps + (size_t{i} * g.kh + j) * c + k};
      };
      for (size_t k = 0; k < runs; k += kLanes) {
        Lanes acc{}, x, w;
        for (uint32_t i = cols.begin; i < cols.end; ++i)
          for (uint32_t j = rows.begin; j < rows.end; ++j) {
            const auto [src, weights] = tap(i, j, k);
            load(x, src);
            load(w, weights);
            acc += x * w;
          }
        store(dst + k, acc);
      }
      for (size_t k = runs; k < c; ++k) {
        Acc acc = 0;
        for (uint32_t i = cols.begin; i < cols.end; ++i)
          for (uint32_t j = rows.begin; j < rows.end; ++j) {
            const auto [src, w] = tap(i, j, k);
            acc += Acc{*src} * *w;
          }
        dst[k] = sat32(acc);
      }
    }
  }
}

NUVRA_AVX2 void depthwise_avx2(const int32_t* in, const Window& g, const int32_t* taps, int32_t* out, bool borders) {
  depthwise<int32_t>(in, g, taps, out, borders);
}
void depthwise_base(const int32_t* in, const Window& g, const int32_t* taps, int32_t* out, bool borders) {
  depthwise<int32_t>(in, g, taps, out, borders);
}

}  // namespace

DensePtr depthwise_conv2d(const Dense& input, int stride_x, int stride_y, int pad_left, int pad_top,
                          unsigned int out_w, unsigned int out_h, const Dense& weights) {
  const char* kernel = "depthwise_conv2d";
  expect_type(kernel, "the input", input, TensorType::int32);
  expect_type(kernel, "the weights", weights, TensorType::int8);
  expect_rank(kernel, "the weights", weights, 4);
  const Shape ws = weights.shape();
  const Window g = sweep(kernel, input, ws[0], ws[1], stride_x, stride_y, pad_left, pad_top, out_w, out_h);
  if (ws[2] != 1 || ws[3] != g.c)
    refuse(kernel, "the weights " + ws.to_string() + " must be (kernel_w, kernel_h, 1, " + std::to_string(g.c) + ")");
  const size_t c = g.c, n = weights.size();
  const int8_t* w = weights.data<int8_t>();
  std::vector<int32_t> taps(w, w + n);
  std::vector<uint64_t> sums(c, 0);
  for (size_t t = 0; t < n; ++t) sums[t % c] += static_cast<uint64_t>(taps[t] < 0 ? -taps[t] : taps[t]);
  const uint64_t largest = *std::max_element(sums.begin(), sums.end());
  const int32_t* in = input.data<int32_t>();
  const uint64_t max_in = max_abs(in, input.size());
  const unsigned __int128 bound = static_cast<unsigned __int128>(max_in) * largest;
  DensePtr y = result(TensorType::int32, {out_w, out_h, g.c});
  int32_t* out = y->data<int32_t>();
  if (bound <= std::numeric_limits<int32_t>::max()) {
    // int16 values: windows inside the input go pairs of taps at a time, the borders below.
    const bool pairs = has_avx2() && max_in <= 32767;
    if (pairs) depthwise_inside_avx2(in, input.size(), g, w, out);
    (has_avx2() ? depthwise_avx2 : depthwise_base)(in, g, taps.data(), out, pairs);
  } else if (bound < (unsigned __int128){1} << 61) {
    depthwise<int64_t>(in, g, taps.data(), out, false);
  } else {
    depthwise<int128>(in, g, taps.data(), out, false);
  }
  return y;
}

}  // namespace nuvra::ops
