#include "ops/gemm.h"
#include "ops/simd.h"

#include <cstring>

namespace nuvra::ops::detail {

Accumulator choose_accumulator(uint64_t max_a, uint64_t max_w, unsigned __int128 sum_bound) {
  if (max_a <= 32767 && max_w <= 32767 && sum_bound <= 0x7FFFFFFF) return Accumulator::i16;
  if (sum_bound < (unsigned __int128){1} << 61) return Accumulator::i64;
  return Accumulator::i128;
}

Rows rows_for(int64_t lo, int64_t hi, bool weights_fit_int8, Route route) {
  if (route_has_u8(route) && weights_fit_int8 && ((lo >= 0 && hi <= 255) || (lo >= -128 && hi <= 127)))
    return Rows::u8;
  return Rows::i16;
}

namespace {

// R rows against one block of 8 filters of the int16 layout, summed modulo 2^32 like the
// vector routes.
template <int R>
NUVRA_INLINE void portable_tile(const uint8_t* a, size_t lda, const uint8_t* w, size_t groups, const int32_t* start,
                                const Epilogue& e, size_t row, size_t f0, size_t valid) {
  int32_t acc[R][8];
  for (int r = 0; r < R; ++r)
    for (int j = 0; j < 8; ++j) acc[r][j] = start[f0 + j];
  const auto* wv = reinterpret_cast<const int16_t*>(w);
  for (size_t g = 0; g < groups; ++g, wv += 16)
    for (int r = 0; r < R; ++r) {
      int16_t x[2];
      std::memcpy(x, a + r * lda + 4 * g, sizeof x);
      for (int j = 0; j < 8; ++j)
        acc[r][j] = static_cast<int32_t>(static_cast<uint32_t>(acc[r][j]) + static_cast<uint32_t>(x[0] * wv[2 * j]) +
                                         static_cast<uint32_t>(x[1] * wv[2 * j + 1]));
    }
  for (int r = 0; r < R; ++r) emit(e, row + r, f0, acc[r], valid);
}

}  // namespace

void multiply_portable(const uint8_t* a, size_t count, size_t lda, const PackedView& w, const Epilogue& e,
                       size_t first) {
  const size_t groups = w.stride / 2, block = groups * 8 * 4;
  for (size_t f0 = w.begin; f0 < w.filters; f0 += 8) {
    const size_t valid = std::min<size_t>(8, w.filters - f0);
    const uint8_t* wb = w.data + f0 / 8 * block;
    size_t p = 0;
    for (; p + 2 <= count; p += 2) portable_tile<2>(a + p * lda, lda, wb, groups, w.start, e, first + p, f0, valid);
    if (p < count) portable_tile<1>(a + p * lda, lda, wb, groups, w.start, e, first + p, f0, valid);
  }
}

void PackedFilters::multiply(const void* a, size_t count, size_t lda, const Epilogue& e, size_t first, size_t f_begin,
                             size_t f_end) const {
  const PackedView view{w_.data(), start_.data(), std::min(filters_, f_end), stride_, f_begin};
  if (view.begin >= view.filters || count == 0) return;
  const auto* rows = static_cast<const uint8_t*>(a);
  if (route_.stand_in) return multiply_stand_in(route_.route, rows_, rows, count, lda, view, e, first);
  switch (route_.route) {
    case Route::portable: return multiply_portable(rows, count, lda, view, e, first);
    case Route::avx2: return multiply_avx2(rows, count, lda, view, e, first);
    case Route::vnni256: return multiply_vnni256(rows_, rows, count, lda, view, e, first);
    case Route::vnni512: return multiply_vnni512(rows_, rows, count, lda, view, e, first);
  }
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
