#include "ops/gemm.h"
#include "ops/simd.h"

namespace nuvra::ops::detail {

Accumulator choose_accumulator(uint64_t max_a, uint64_t max_w, unsigned __int128 sum_bound) {
  if (max_a <= 32767 && max_w <= 32767 && sum_bound <= 0x7FFFFFFF) return Accumulator::i16;
  if (sum_bound < (unsigned __int128){1} << 61) return Accumulator::i64;
  return Accumulator::i128;
}

namespace {

// Two rows against four filters at a time: each loaded value serves several sums, and the
// int16 products summed in int32 vectorise to multiply-add-pairs instructions.
NUVRA_INLINE void dot_rows_i16(const int16_t* a, size_t rows, const int16_t* w, size_t filters, size_t depth,
                               int32_t* out, size_t ldo) {
  size_t f = 0;
  for (; f + 4 <= filters; f += 4) {
    const int16_t* w0 = w + f * depth;
    const int16_t* w1 = w0 + depth;
    const int16_t* w2 = w1 + depth;
    const int16_t* w3 = w2 + depth;
    size_t p = 0;
    for (; p + 2 <= rows; p += 2) {
      const int16_t* a0 = a + p * depth;
      const int16_t* a1 = a0 + depth;
      int32_t s00 = 0, s01 = 0, s02 = 0, s03 = 0, s10 = 0, s11 = 0, s12 = 0, s13 = 0;
      for (size_t k = 0; k < depth; ++k) {
        const int32_t x0 = a0[k], x1 = a1[k];
        s00 += x0 * w0[k];
        s01 += x0 * w1[k];
        s02 += x0 * w2[k];
        s03 += x0 * w3[k];
        s10 += x1 * w0[k];
        s11 += x1 * w1[k];
        s12 += x1 * w2[k];
        s13 += x1 * w3[k];
      }
      int32_t* o0 = out + p * ldo + f;
      int32_t* o1 = o0 + ldo;
      o0[0] = s00;
      o0[1] = s01;
      o0[2] = s02;
      o0[3] = s03;
      o1[0] = s10;
      o1[1] = s11;
      o1[2] = s12;
      o1[3] = s13;
    }
    if (p < rows) {
      const int16_t* a0 = a + p * depth;
      int32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
      for (size_t k = 0; k < depth; ++k) {
        const int32_t x0 = a0[k];
        s0 += x0 * w0[k];
        s1 += x0 * w1[k];
        s2 += x0 * w2[k];
        s3 += x0 * w3[k];
      }
      int32_t* o0 = out + p * ldo + f;
      o0[0] = s0;
      o0[1] = s1;
      o0[2] = s2;
      o0[3] = s3;
    }
  }
  for (; f < filters; ++f) {
    const int16_t* w0 = w + f * depth;
    for (size_t p = 0; p < rows; ++p) {
      const int16_t* a0 = a + p * depth;
      int32_t s = 0;
      for (size_t k = 0; k < depth; ++k) s += int32_t{a0[k]} * w0[k];
      out[p * ldo + f] = s;
    }
  }
}

}  // namespace

void Int16Filters::multiply(const int16_t* a, size_t rows, int32_t* out, size_t ldo) const {
  if (packed_)
    multiply_avx2(a, rows, stride_, w_.data(), filters_, out, ldo);
  else
    dot_rows_i16(a, rows, w_.data(), filters_, stride_, out, ldo);
}

namespace {

template <class Acc>
NUVRA_INLINE void columns(const int32_t* a, size_t rows, const int32_t* w, size_t filters, size_t depth, Acc* out,
                          size_t ldo) {
  for (size_t p = 0; p < rows; ++p) {
    Acc* sums = out + p * ldo;
    std::fill(sums, sums + filters, Acc{0});
    for (size_t k = 0; k < depth; ++k) {
      // Widened from 32 bits on both sides, so the products vectorise as such.
      const int32_t x = a[p * depth + k];
      const int32_t* row = w + k * filters;
      for (size_t f = 0; f < filters; ++f) sums[f] += Acc{x} * row[f];
    }
  }
}

NUVRA_AVX2 void columns_avx2(const int32_t* a, size_t rows, const int32_t* w, size_t filters, size_t depth,
                             int64_t* out, size_t ldo) {
  columns<int64_t>(a, rows, w, filters, depth, out, ldo);
}

}  // namespace

void dot_columns(const int32_t* a, size_t rows, const int32_t* w, size_t filters, size_t depth,
                          int64_t* out, size_t ldo) {
  if (has_avx2())
    columns_avx2(a, rows, w, filters, depth, out, ldo);
  else
    columns<int64_t>(a, rows, w, filters, depth, out, ldo);
}

void dot_columns(const int32_t* a, size_t rows, const int32_t* w, size_t filters, size_t depth, int128* out,
                         size_t ldo) {
  columns<int128>(a, rows, w, filters, depth, out, ldo);
}

}  // namespace nuvra::ops::detail
