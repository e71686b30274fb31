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

// Per-filter tail values in the form that keeps every step within int32 (ReLU layers whose
// bounds allow it; see run/tail.cpp): y = min((clamp(v, below, above) + bias) * scale + round)
// >> right, top). Arrays hold at least filters rounded up to 16 values.
struct TailValues {
  const int32_t *below = nullptr, *above = nullptr, *bias = nullptr;
  const int32_t *scale = nullptr, *round = nullptr, *right = nullptr;
  int32_t top = 0;
};

struct Epilogue {
  enum class Kind : uint8_t {
    store,     // the sums, int32
    activate,  // clamp(v, below, above) + bias, int32 (a pooling follows)
    finish,    // the whole tail, at `type`'s width
  };
  Kind kind = Kind::store;
  TensorType type = TensorType::int32;  // int32, or uint8 after `finish`
  void* out = nullptr;                  // row p (from the first row of the call) at p * ldo elements
  size_t ldo = 0;
  TailValues tail;
};

typedef int32_t I32x8 __attribute__((vector_size(32)));
typedef uint8_t U8x32 __attribute__((vector_size(32)));
typedef uint8_t U8x8 __attribute__((vector_size(8)));

// Vectors go by reference (see simd.h).
NUVRA_INLINE void load8(I32x8& v, const int32_t* p) { std::memcpy(&v, p, sizeof v); }

// Writes sums[0, n) (n <= lanes of the caller's vector; `sums` holds whole runs of 8) for the
// filters from f0 of row `row`.
NUVRA_INLINE void emit(const Epilogue& e, size_t row, size_t f0, const int32_t* sums, size_t n) {
  for (size_t c = 0; c < n; c += 8) {
    I32x8 v, a, b;
    load8(v, sums + c);
    const size_t f = f0 + c, count = std::min<size_t>(8, n - c);
    if (e.kind != Epilogue::Kind::store) {
      const TailValues& t = e.tail;
      load8(a, t.below + f);
      load8(b, t.above + f);
      v = v > a ? v : a;
      v = v < b ? v : b;
      load8(a, t.bias + f);
      v += a;
      if (e.kind == Epilogue::Kind::finish) {
        load8(a, t.scale + f);
        load8(b, t.round + f);
        v = v * a + b;
        load8(a, t.right + f);
        v >>= a;
        const I32x8 top = {t.top, t.top, t.top, t.top, t.top, t.top, t.top, t.top};
        v = v < top ? v : top;
      }
    }
    if (e.type == TensorType::uint8) {
      uint8_t* dst = static_cast<uint8_t*>(e.out) + row * e.ldo + f;
      // The low byte of each lane to the first 8 bytes (a byte shuffle; a converting cast
      // compiles to a byte at a time).
      const U8x32 all = reinterpret_cast<const U8x32&>(v);
      const U8x8 bytes = __builtin_shufflevector(all, all, 0, 4, 8, 12, 16, 20, 24, 28);
      if (count == 8) {
        std::memcpy(dst, &bytes, 8);
      } else {
        for (size_t i = 0; i < count; ++i) dst[i] = bytes[i];
      }
    } else {
      int32_t* dst = static_cast<int32_t*>(e.out) + row * e.ldo + f;
      if (count == 8) {
        std::memcpy(dst, &v, sizeof v);
      } else {
        for (size_t i = 0; i < count; ++i) dst[i] = v[i];
      }
    }
  }
}

}  // namespace nuvra::ops::detail
