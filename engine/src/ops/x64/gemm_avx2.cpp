// The int16 product kernel for AVX2: each pair of consecutive row values is broadcast and
// multiplied with the same pair of 8 filters at once, so sums never need a horizontal add.
#include "ops/gemm.h"
#include "ops/simd.h"

#include <immintrin.h>

#include <cstring>

namespace nuvra::ops::detail {

namespace {

// R rows against B blocks of 8 filters, of which `valid` exist.
template <int R, int B>
NUVRA_AVX2 inline void tile(const int16_t* a, size_t stride, const int16_t* w, size_t block, int32_t* out,
                            size_t ldo, size_t valid) {
  __m256i acc[R][B];
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
#pragma GCC unroll 2
    for (int b = 0; b < B; ++b) acc[r][b] = _mm256_setzero_si256();
  const size_t pairs = stride / 2;
  for (size_t kp = 0; kp < pairs; ++kp) {
    __m256i wv[B];
#pragma GCC unroll 2
    for (int b = 0; b < B; ++b) wv[b] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + b * block + kp * 16));
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      int32_t pair;
      std::memcpy(&pair, a + r * stride + 2 * kp, sizeof pair);
      const __m256i av = _mm256_set1_epi32(pair);
#pragma GCC unroll 2
      for (int b = 0; b < B; ++b) acc[r][b] = _mm256_add_epi32(acc[r][b], _mm256_madd_epi16(av, wv[b]));
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
#pragma GCC unroll 2
    for (int b = 0; b < B; ++b) {
      int32_t* dst = out + r * ldo + b * 8;
      if (valid >= static_cast<size_t>(b + 1) * 8) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), acc[r][b]);
      } else if (valid > static_cast<size_t>(b) * 8) {
        alignas(32) int32_t part[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(part), acc[r][b]);
        std::memcpy(dst, part, (valid - b * 8) * sizeof(int32_t));
      }
    }
}

template <int B>
NUVRA_AVX2 inline void rows_of(const int16_t* a, size_t rows, size_t stride, const int16_t* w, size_t block,
                               int32_t* out, size_t ldo, size_t valid) {
  size_t p = 0;
  for (; p + 4 <= rows; p += 4) tile<4, B>(a + p * stride, stride, w, block, out + p * ldo, ldo, valid);
  switch (rows - p) {
    case 3: tile<3, B>(a + p * stride, stride, w, block, out + p * ldo, ldo, valid); break;
    case 2: tile<2, B>(a + p * stride, stride, w, block, out + p * ldo, ldo, valid); break;
    case 1: tile<1, B>(a + p * stride, stride, w, block, out + p * ldo, ldo, valid); break;
    default: break;
  }
}

}  // namespace

NUVRA_AVX2 void multiply_avx2(const int16_t* a, size_t rows, size_t stride, const int16_t* packed, size_t filters,
                              int32_t* out, size_t ldo) {
  const size_t block = stride * 8;
  for (size_t f = 0; f < filters; f += 16) {
    const size_t valid = std::min<size_t>(16, filters - f);
    const int16_t* w = packed + f / 8 * block;
    if (valid > 8)
      rows_of<2>(a, rows, stride, w, block, out + f, ldo, valid);
    else
      rows_of<1>(a, rows, stride, w, block, out + f, ldo, valid);
  }
}

}  // namespace nuvra::ops::detail
