// The product tiles for AVX-512 VNNI: u8 x s8 quadruples with vpdpbusd, int16 pairs with
// vpdpwssd, on 512-bit registers of 16 filters each.
#include "ops/gemm.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

// Only this file's functions get the instruction set; code shared with other files does not.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vnni"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw,avx512vl,avx512vnni")
#endif
#include "ops/x64/gemm_tile.h"

namespace nuvra::ops::detail {

namespace {

struct Vnni512 {
  using V = __m512i;
  static constexpr size_t L = 16;
  static constexpr int R = 8, B = 2;
  static V load(const void* p) { return _mm512_loadu_si512(p); }
  static V bcast(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return _mm512_set1_epi32(v);
  }
  static void lanes8(const V& v, size_t h, I32x8& out) {
    std::memcpy(&out, reinterpret_cast<const char*>(&v) + h * sizeof out, sizeof out);
  }
};
struct Vnni512U8 : Vnni512 {
  static constexpr int G = 4;
  // Unsigned bytes of the rows (a) times signed bytes of the filters (w).
  static V dot(V acc, V a, V w) { return _mm512_dpbusd_epi32(acc, a, w); }
};
struct Vnni512I16 : Vnni512 {
  static constexpr int G = 2;
  static V dot(V acc, V a, V w) { return _mm512_dpwssd_epi32(acc, a, w); }
};

}  // namespace

void multiply_vnni512(Rows rows, const uint8_t* a, size_t count, size_t lda, const PackedView& w, const Epilogue& e,
                      size_t first) {
  if (rows == Rows::u8) return tiles::multiply<Vnni512U8>(a, count, lda, w, e, first);
  tiles::multiply<Vnni512I16>(a, count, lda, w, e, first);
}

}  // namespace nuvra::ops::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
