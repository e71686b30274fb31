// What a product kernel does with each tile of sums before it leaves the registers: store them,
// or run the second-generation neuron tail on them and store the result at the output's width.
// The code is written once with generic vector types and inlined into every instruction route.
#pragma once

#include "ops/simd.h"

#include <nuvra/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nuvra::ops::detail {

// Per-filter tail values in the form that keeps every step within int32 (layers whose bounds
// allow it; see run/tail.cpp): y = clamp(((clamp(v, below, above) + bias) * scale + round) >>
// right, bottom, top). Arrays hold at least filters rounded up to 16 values.
struct TailValues {
  const int32_t *below = nullptr, *above = nullptr, *bias = nullptr;
  const int32_t *scale = nullptr, *round = nullptr, *right = nullptr;
  int32_t bottom = 0, top = 0;
};

struct Epilogue {
  enum class Kind : uint8_t {
    store,     // the sums, int32
    activate,  // clamp(v, below, above) + bias, at `type`'s width (a pooling follows)
    finish,    // the whole tail, at `type`'s width
  };
  Kind kind = Kind::store;
  TensorType type = TensorType::int32;  // int32, int16, uint8 or int8 (values within it)
  void* out = nullptr;                  // row p (from the first row of the call) at p * ldo elements
  size_t ldo = 0;
  TailValues tail;
};

typedef int32_t I32x8 __attribute__((vector_size(32)));
typedef uint8_t U8x32 __attribute__((vector_size(32)));
typedef uint8_t U8x16 __attribute__((vector_size(16)));
typedef uint8_t U8x8 __attribute__((vector_size(8)));

// Vectors go by reference (see simd.h).
NUVRA_INLINE void load8(I32x8& v, const int32_t* p) { std::memcpy(&v, p, sizeof v); }

// Stores the first n (<= 8) lanes of v at the output's width.
NUVRA_INLINE void store_lanes(const Epilogue& e, size_t row, size_t f, const I32x8& v, size_t n) {
  const size_t at = row * e.ldo + f;
  switch (e.type) {
    case TensorType::uint8:
    case TensorType::int8: {
      uint8_t* dst = static_cast<uint8_t*>(e.out) + at;
      // The low byte of each lane to the first 8 bytes (a byte shuffle; a converting cast
      // compiles to a byte at a time).
      const U8x32 all = reinterpret_cast<const U8x32&>(v);
      const U8x8 bytes = __builtin_shufflevector(all, all, 0, 4, 8, 12, 16, 20, 24, 28);
      if (n == 8) {
        std::memcpy(dst, &bytes, 8);
      } else {
        for (size_t i = 0; i < n; ++i) dst[i] = bytes[i];
      }
      return;
    }
    case TensorType::int16: {
      uint8_t* dst = static_cast<uint8_t*>(e.out) + 2 * at;
      const U8x32 all = reinterpret_cast<const U8x32&>(v);
      const U8x16 pairs = __builtin_shufflevector(all, all, 0, 1, 4, 5, 8, 9, 12, 13, 16, 17, 20, 21, 24, 25, 28, 29);
      std::memcpy(dst, &pairs, 2 * n);
      return;
    }
    default: {
      int32_t* dst = static_cast<int32_t*>(e.out) + at;
      if (n == 8) {
        std::memcpy(dst, &v, sizeof v);
      } else {
        for (size_t i = 0; i < n; ++i) dst[i] = v[i];
      }
    }
  }
}

// R rows of the sums of the same 8 filters from f (n <= 8 of them wanted): the tail's values are
// read once for all the rows.
template <int R>
NUVRA_INLINE void emit_rows(const Epilogue& e, size_t row, size_t f, I32x8 (&v)[R], size_t n) {
  if (e.kind != Epilogue::Kind::store) {
    const TailValues& t = e.tail;
    I32x8 below, above, bias;
    load8(below, t.below + f);
    load8(above, t.above + f);
    load8(bias, t.bias + f);
    for (int r = 0; r < R; ++r) {
      v[r] = v[r] > below ? v[r] : below;
      v[r] = v[r] < above ? v[r] : above;
      v[r] += bias;
    }
    if (e.kind == Epilogue::Kind::finish) {
      I32x8 scale, round, right;
      load8(scale, t.scale + f);
      load8(round, t.round + f);
      load8(right, t.right + f);
      const I32x8 top = {t.top, t.top, t.top, t.top, t.top, t.top, t.top, t.top};
      const I32x8 bottom = {t.bottom, t.bottom, t.bottom, t.bottom, t.bottom, t.bottom, t.bottom, t.bottom};
      for (int r = 0; r < R; ++r) {
        v[r] = (v[r] * scale + round) >> right;
        v[r] = v[r] < top ? v[r] : top;
        v[r] = v[r] > bottom ? v[r] : bottom;
      }
    }
  }
  for (int r = 0; r < R; ++r) store_lanes(e, row + static_cast<size_t>(r), f, v[r], n);
}

// Writes sums[0, n) (`sums` holds whole runs of 8) for the filters from f0 of row `row`.
NUVRA_INLINE void emit(const Epilogue& e, size_t row, size_t f0, const int32_t* sums, size_t n) {
  for (size_t c = 0; c < n; c += 8) {
    I32x8 v[1];
    load8(v[0], sums + c);
    emit_rows<1>(e, row, f0 + c, v, std::min<size_t>(8, n - c));
  }
}

}  // namespace nuvra::ops::detail
