// The product tiles for AVX2: int16 pairs with vpmaddwd, and the stand-ins that run the VNNI
// routes' layouts and tiles with AVX2 instructions (exact, slower) for tests on CPUs without VNNI.
#include "ops/gemm.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

// Only this file's functions get the instruction set; code shared with other files does not.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#include "ops/x64/gemm_tile.h"

namespace nuvra::ops::detail {

namespace {

struct Avx2 {
  using V = __m256i;
  static constexpr size_t L = 8;
  static V load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  static V bcast(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return _mm256_set1_epi32(v);
  }
  static void lanes8(const V& v, size_t, I32x8& out) { std::memcpy(&out, &v, sizeof out); }
};

// Sums of int16 pairs, widened and added in int32.
struct Avx2I16 : Avx2 {
  static constexpr int G = 2, R = 6, B = 2;
  static V dot(V acc, V a, V w) { return _mm256_add_epi32(acc, _mm256_madd_epi16(a, w)); }
};

// vpdpbusd's sums of four u8 x s8 products: even and odd bytes widened to int16, two vpmaddwd.
__attribute__((always_inline)) inline __m256i dpbusd(__m256i acc, __m256i a, __m256i w) {
  const __m256i a_even = _mm256_and_si256(a, _mm256_set1_epi16(0xFF)), a_odd = _mm256_srli_epi16(a, 8);
  const __m256i w_even = _mm256_srai_epi16(_mm256_slli_epi16(w, 8), 8), w_odd = _mm256_srai_epi16(w, 8);
  return _mm256_add_epi32(acc, _mm256_add_epi32(_mm256_madd_epi16(a_even, w_even), _mm256_madd_epi16(a_odd, w_odd)));
}

struct StandIn256U8 : Avx2 {
  static constexpr int G = 4, R = 3, B = 2;
  static V dot(V acc, V a, V w) { return dpbusd(acc, a, w); }
};

// 16 lanes as two AVX2 registers.
struct Pair {
  __m256i lo, hi;
};
struct StandIn512 {
  using V = Pair;
  static constexpr size_t L = 16;
  static V load(const void* p) {
    const auto* q = static_cast<const __m256i*>(p);
    return {_mm256_loadu_si256(q), _mm256_loadu_si256(q + 1)};
  }
  static V bcast(const uint8_t* p) {
    const __m256i v = Avx2::bcast(p);
    return {v, v};
  }
  static void lanes8(const V& v, size_t h, I32x8& out) { std::memcpy(&out, h ? &v.hi : &v.lo, sizeof out); }
};
struct StandIn512U8 : StandIn512 {
  static constexpr int G = 4, R = 2, B = 2;
  static V dot(V acc, V a, V w) { return {dpbusd(acc.lo, a.lo, w.lo), dpbusd(acc.hi, a.hi, w.hi)}; }
};
struct StandIn512I16 : StandIn512 {
  static constexpr int G = 2, R = 2, B = 2;
  static V dot(V acc, V a, V w) { return {Avx2I16::dot(acc.lo, a.lo, w.lo), Avx2I16::dot(acc.hi, a.hi, w.hi)}; }
};

}  // namespace

void multiply_avx2(const uint8_t* a, size_t count, size_t lda, const PackedView& w, const Epilogue& e, size_t first) {
  tiles::multiply<Avx2I16>(a, count, lda, w, e, first);
}

void multiply_stand_in(Route route, Rows rows, const uint8_t* a, size_t count, size_t lda, const PackedView& w,
                       const Epilogue& e, size_t first) {
  if (route == Route::vnni512) {
    if (rows == Rows::u8) return tiles::multiply<StandIn512U8>(a, count, lda, w, e, first);
    return tiles::multiply<StandIn512I16>(a, count, lda, w, e, first);
  }
  // vnni256: its int16 tiles are the AVX2 ones with vpdpwssd for vpmaddwd + vpaddd.
  if (rows == Rows::u8) return tiles::multiply<StandIn256U8>(a, count, lda, w, e, first);
  tiles::multiply<Avx2I16>(a, count, lda, w, e, first);
}

}  // namespace nuvra::ops::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
