#include "ops/conv_rows.h"
#include "ops/simd.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

namespace nuvra::ops::detail {

namespace {

typedef uint8_t U8x8 __attribute__((vector_size(8)));
typedef int8_t I8x8 __attribute__((vector_size(8)));
typedef int16_t I16x8 __attribute__((vector_size(16)));

// dst[0, n) = to(src[k]). Short runs of bytes widened to int16 (the columns of a window over few
// channels) go 8 values at a time, the last 8 overlapping the ones before, instead of one by one.
template <class In, class P, class To>
NUVRA_INLINE void convert_run(const In* src, size_t n, P* dst, To to) {
  if constexpr (std::is_same_v<P, int16_t> && sizeof(In) == 1) {
    if (n >= 8 && n < 64) {
      using V = std::conditional_t<std::is_same_v<In, uint8_t>, U8x8, I8x8>;
      const auto eight = [&](size_t k) {
        V v;
        std::memcpy(&v, src + k, sizeof v);
        const I16x8 w = __builtin_convertvector(v, I16x8);
        std::memcpy(dst + k, &w, sizeof w);
      };
      for (size_t k = 0; k + 8 < n; k += 8) eight(k);
      eight(n - 8);
      return;
    }
  }
  for (size_t k = 0; k < n; ++k) dst[k] = to(src[k]);
}

// The filters [f0, f1) of a convolution.
struct FilterRange {
  size_t begin, end;
};

template <class In, class P, class To>
NUVRA_INLINE void gathered(const PackedFilters& w, const In* in, const Window& g, const int32_t* pad32, size_t p0, size_t p1,
              const Epilogue& e, FilterRange f, To to) {
  const size_t stride = w.stride(), bytes = w.row_bytes(), batch = batch_rows(bytes, 1);
  std::vector<P> pad(g.c);
  for (size_t k = 0; k < g.c; ++k) pad[k] = to(pad32[k]);
  // Values past the depth meet zero weights; they are set once so that nothing reads garbage.
  Scratch<P> panel(std::min(batch, p1 - p0) * stride);
  std::fill(panel.data(), panel.data() + std::min(batch, p1 - p0) * stride, P{0});
  for (size_t b0 = p0; b0 < p1; b0 += batch) {
    const size_t n = std::min(batch, p1 - b0);
    for (size_t q = 0; q < n; ++q) {
      const size_t p = b0 + q;
      gather(in, g, static_cast<uint32_t>(p / g.out_h), static_cast<uint32_t>(p % g.out_h), pad.data(),
             panel.data() + q * stride, [&to](const In* src, size_t n, P* dst) { convert_run(src, n, dst, to); });
    }
    w.multiply(panel.data(), n, bytes, e, b0, f.begin, f.end);
  }
}

// A 1x1 window over every pixel, where the rows are the input's own but of another type: they are
// converted a batch at a time, in one pass over contiguous values.
template <class In, class P, class To>
NUVRA_INLINE void converted(const PackedFilters& w, const In* in, size_t c, size_t p0, size_t p1, const Epilogue& e,
                            FilterRange f, To to) {
  const size_t batch = batch_rows(w.row_bytes(), 1);
  Scratch<P> panel(std::min(batch, p1 - p0) * c);
  P* rows = panel.data();
  for (size_t b0 = p0; b0 < p1; b0 += batch) {
    const size_t n = std::min(batch, p1 - b0);
    const In* src = in + b0 * c;
    for (size_t k = 0; k < n * c; ++k) rows[k] = to(src[k]);
    w.multiply(rows, n, c * sizeof(P), e, b0, f.begin, f.end);
  }
}

template <class In>
NUVRA_INLINE void convolve_from(const PackedFilters& w, const In* in, const ConvSource& s, size_t p0, size_t p1,
                   const Epilogue& e, FilterRange f) {
  const Window& g = s.g;
  // A 1x1 window over every pixel is the input itself: rows in place when they have the type.
  const bool whole = g.kw == 1 && g.kh == 1 && g.sx == 1 && g.sy == 1 && g.pad_left == 0 && g.pad_top == 0 &&
                     g.out_w == g.x && g.out_h == g.y && w.stride() == g.c;
  if (w.rows() == Rows::u8) {
    const int offset = w.offset();
    if constexpr (std::is_same_v<In, uint8_t>) {
      if (whole && offset == 0) return w.multiply(in + p0 * g.c, p1 - p0, g.c, e, p0, f.begin, f.end);
    }
    const auto to = [offset](auto v) { return static_cast<uint8_t>(static_cast<int32_t>(v) + offset); };
    if (whole) return converted<In, uint8_t>(w, in, g.c, p0, p1, e, f, to);
    gathered<In, uint8_t>(w, in, g, s.pad, p0, p1, e, f, to);
  } else {
    if constexpr (std::is_same_v<In, int16_t>) {
      if (whole) return w.multiply(in + p0 * g.c, p1 - p0, g.c * 2, e, p0, f.begin, f.end);
    }
    const auto to = [](auto v) { return static_cast<int16_t>(v); };
    if (whole) return converted<In, int16_t>(w, in, g.c, p0, p1, e, f, to);
    gathered<In, int16_t>(w, in, g, s.pad, p0, p1, e, f, to);
  }
}

NUVRA_INLINE void convolve_any(const PackedFilters& w, const ConvSource& in, size_t p0, size_t p1, const Epilogue& e,
                              FilterRange f) {
  switch (in.type) {
    case TensorType::uint8: return convolve_from(w, static_cast<const uint8_t*>(in.data), in, p0, p1, e, f);
    case TensorType::int8: return convolve_from(w, static_cast<const int8_t*>(in.data), in, p0, p1, e, f);
    case TensorType::int16: return convolve_from(w, static_cast<const int16_t*>(in.data), in, p0, p1, e, f);
    default: return convolve_from(w, static_cast<const int32_t*>(in.data), in, p0, p1, e, f);
  }
}
// Gathering and converting windows vectorises better with AVX2.
NUVRA_AVX2 void convolve_avx2(const PackedFilters& w, const ConvSource& in, size_t p0, size_t p1, const Epilogue& e,
                              FilterRange f) {
  convolve_any(w, in, p0, p1, e, f);
}
void convolve_base(const PackedFilters& w, const ConvSource& in, size_t p0, size_t p1, const Epilogue& e,
                   FilterRange f) {
  convolve_any(w, in, p0, p1, e, f);
}

}  // namespace

void convolve_rows(const PackedFilters& w, const ConvSource& in, size_t p0, size_t p1, const Epilogue& e,
                   size_t f_begin, size_t f_end) {
  if (p0 >= p1 || f_begin >= std::min(f_end, w.filters())) return;
  (has_avx2() ? convolve_avx2 : convolve_base)(w, in, p0, p1, e, FilterRange{f_begin, f_end});
}

}  // namespace nuvra::ops::detail
