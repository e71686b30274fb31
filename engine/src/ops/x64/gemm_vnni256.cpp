// The product tiles for AVX-VNNI on 256-bit registers: u8 x s8 quadruples with vpdpbusd, int16
// pairs with vpdpwssd, both summed straight into int32 lanes.
#include "ops/gemm.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

// Only this file's functions get the instruction set; code shared with other files does not.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avxvnni"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avxvnni")
#endif
#include "ops/x64/gemm_tile.h"

namespace nuvra::ops::detail {

namespace {

struct Vnni256 {
  using V = __m256i;
  static constexpr size_t L = 8;
  static constexpr int R = 6, B = 2;
  static V load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  static V bcast(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return _mm256_set1_epi32(v);
  }
  static void lanes8(const V& v, size_t, I32x8& out) { std::memcpy(&out, &v, sizeof out); }
};
struct Vnni256U8 : Vnni256 {
  static constexpr int G = 4;
  // Unsigned bytes of the rows (a) times signed bytes of the filters (w).
  static V dot(V acc, V a, V w) { return _mm256_dpbusd_avx_epi32(acc, a, w); }
};
struct Vnni256I16 : Vnni256 {
  static constexpr int G = 2;
  static V dot(V acc, V a, V w) { return _mm256_dpwssd_avx_epi32(acc, a, w); }
};

}  // namespace

void multiply_vnni256(Rows rows, const uint8_t* a, size_t count, size_t lda, const PackedView& w, const Epilogue& e,
                      size_t first) {
  if (rows == Rows::u8) return tiles::multiply<Vnni256U8>(a, count, lda, w, e, first);
  tiles::multiply<Vnni256I16>(a, count, lda, w, e, first);
}

}  // namespace nuvra::ops::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
