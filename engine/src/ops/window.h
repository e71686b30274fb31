// The sweep of a window over an (x, y, channels) input: its checked geometry, and the input
// positions each output pixel's window covers.
#pragma once

#include "ops/common.h"
#include "ops/simd.h"

#include <algorithm>
#include <cstdint>

namespace nuvra::ops::detail {

struct Window {
  uint32_t x = 0, y = 0, c = 0;  // input
  uint32_t kw = 0, kh = 0;
  int64_t sx = 1, sy = 1, pad_left = 0, pad_top = 0;
  uint32_t out_w = 0, out_h = 0;

  size_t depth() const { return size_t{kw} * kh * c; }
  size_t pixels() const { return size_t{out_w} * out_h; }
  // Input column and row where output pixel (ox, oy)'s window starts (below 2^63 in magnitude:
  // sizes stay below 2^32 and strides and pads below 2^31).
  int64_t first_x(uint32_t ox) const { return int64_t{ox} * sx - pad_left; }
  int64_t first_y(uint32_t oy) const { return int64_t{oy} * sy - pad_top; }
};

// Refuses an input that is not (x, y, channels), a kernel size or output size of 0 and a stride
// below 1.
Window sweep(const char* kernel, const Dense& input, uint64_t kw, uint64_t kh, int64_t sx, int64_t sy,
             int64_t pad_left, int64_t pad_top, uint64_t out_w, uint64_t out_h);

// The kernel positions [begin, end) of one axis that fall inside an input of `size`.
struct Span {
  uint32_t begin, end;
};
inline Span inside(int64_t first, uint32_t kernel, uint32_t size) {
  const int64_t b = std::clamp<int64_t>(-first, 0, kernel);
  const int64_t e = std::clamp<int64_t>(int64_t{size} - first, 0, kernel);
  return {static_cast<uint32_t>(b), static_cast<uint32_t>(std::max(b, e))};
}

// Copies output pixel (ox, oy)'s window into `patch` (kw x kh x c values, the weights' order);
// positions outside the input take pad[channel]. `run(src, n, dst)` converts each run of n
// contiguous input values to P.
template <class In, class P, class Run>
NUVRA_INLINE void gather(const In* in, const Window& g, uint32_t ox, uint32_t oy, const P* pad, P* patch, Run run) {
  const int64_t x0 = g.first_x(ox), y0 = g.first_y(oy);
  const size_t c = g.c, column = size_t{g.kh} * c;
  const Span rows = inside(y0, g.kh, g.y);
  for (uint32_t i = 0; i < g.kw; ++i, patch += column) {
    const int64_t xi = x0 + i;
    if (xi < 0 || xi >= int64_t{g.x}) {
      for (uint32_t j = 0; j < g.kh; ++j) std::copy(pad, pad + c, patch + j * c);
      continue;
    }
    for (uint32_t j = 0; j < rows.begin; ++j) std::copy(pad, pad + c, patch + j * c);
    if (rows.end > rows.begin) {
      const In* src = in + (static_cast<size_t>(xi) * g.y + static_cast<size_t>(y0 + rows.begin)) * c;
      run(src, size_t{rows.end - rows.begin} * c, patch + size_t{rows.begin} * c);
    }
    for (uint32_t j = rows.end; j < g.kh; ++j) std::copy(pad, pad + c, patch + j * c);
  }
}

// The same, each value cast to P.
template <class In, class P>
void gather(const In* in, const Window& g, uint32_t ox, uint32_t oy, const P* pad, P* patch) {
  gather(in, g, ox, oy, pad, patch, [](const In* src, size_t n, P* dst) {
    for (size_t k = 0; k < n; ++k) dst[k] = static_cast<P>(src[k]);
  });
}

}  // namespace nuvra::ops::detail
