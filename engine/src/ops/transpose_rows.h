// Transposed convolution, per output pixel from the input pixels that reach it: the loops shared
// by the kernel and the software steps.
#pragma once

#include "ops/common.h"
#include "ops/simd.h"

#include <cstdint>
#include <vector>

namespace nuvra::ops::detail {

struct Transposed {
  uint32_t x, y, c, kw, kh, filters;
  int64_t stride, pad_x, pad_y;
  uint32_t out_x, out_y;
  bool depthwise;
};

// Output position o takes kernel taps i = (o + pad) - stride * n for input positions n in
// [0, size): f(i, n) for each, i in [0, kernel).
template <class F>
NUVRA_INLINE void transposed_taps(int64_t o, int64_t pad, int64_t stride, uint32_t kernel, uint32_t size, F&& f) {
  const int64_t base = o + pad;
  if (base < 0) return;
  for (int64_t i = base % stride; i < kernel && i <= base; i += stride) {
    const int64_t n = (base - i) / stride;
    if (n < size) f(static_cast<uint32_t>(i), static_cast<uint32_t>(n));
  }
}

// Output columns [ox0, ox1) of the sums in Acc (exact when no sum passes it), saturated to int32;
// w holds the (kw, kh, C or 1, filters) weights as int32.
template <class Acc, class In>
NUVRA_INLINE void transposed_columns(const In* in, const int32_t* w, const Transposed& t, uint32_t ox0, uint32_t ox1,
                        int32_t* out) {
  const size_t f_count = t.filters, c = t.c;
  std::vector<Acc> acc(f_count);
  for (uint32_t ox = ox0; ox < ox1; ++ox)
    for (uint32_t oy = 0; oy < t.out_y; ++oy) {
      std::fill(acc.begin(), acc.end(), Acc{0});
      transposed_taps(ox, t.pad_x, t.stride, t.kw, t.x, [&](uint32_t i, uint32_t nx) {
        transposed_taps(oy, t.pad_y, t.stride, t.kh, t.y, [&](uint32_t j, uint32_t ny) {
          const In* src = in + (size_t{nx} * t.y + ny) * c;
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

}  // namespace nuvra::ops::detail
