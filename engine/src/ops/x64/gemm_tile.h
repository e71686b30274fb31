// The product tiles of every vector route, written once over a traits type T that gives the
// route's vector and its instructions (32-bit broadcast, multiply-add of a group, lanes taken out).
// Each route's file includes this after its target pragma, so the tiles compile for that route;
// everything here has internal linkage through T.
//
// T: V (vector), L (int32 lanes), G (values per group), R x B (rows x filter blocks per tile),
// load(p), bcast(p) (4 bytes to every lane), dot(acc, a, w), lanes8(v, h, out) (lanes 8h to 8h + 7).
#pragma once

namespace nuvra::ops::detail::tiles {

template <class T, int R, int B>
inline __attribute__((always_inline)) void tile(const uint8_t* a, size_t lda, const uint8_t* w, size_t block,
                                                size_t groups, const int32_t* start, const Epilogue& e, size_t row,
                                                size_t f0, size_t valid) {
  constexpr size_t L = T::L;
  typename T::V acc[R][B];
#pragma GCC unroll 4
  for (int b = 0; b < B; ++b) {
    const typename T::V s = T::load(start + f0 + b * L);
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) acc[r][b] = s;
  }
  for (size_t g = 0; g < groups; ++g) {
    typename T::V wv[B];
#pragma GCC unroll 4
    for (int b = 0; b < B; ++b) wv[b] = T::load(w + b * block + g * L * 4);
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
      const typename T::V av = T::bcast(a + r * lda + g * 4);
#pragma GCC unroll 4
      for (int b = 0; b < B; ++b) acc[r][b] = T::dot(acc[r][b], av, wv[b]);
    }
  }
  // Each run of 8 filters through the epilogue for all the rows at once.
#pragma GCC unroll 4
  for (int b = 0; b < B; ++b)
#pragma GCC unroll 2
    for (size_t h = 0; h < L / 8; ++h) {
      const size_t f = b * L + h * 8;
      if (f >= valid) break;
      I32x8 v[R];
#pragma GCC unroll 16
      for (int r = 0; r < R; ++r) T::lanes8(acc[r][b], h, v[r]);
      emit_rows<R>(e, row, f0 + f, v, std::min<size_t>(8, valid - f));
    }
}

// The rows left after whole tiles of T::R: one tile of `left` rows.
template <class T, int R, int B>
inline __attribute__((always_inline)) void rest(size_t left, const uint8_t* a, size_t lda, const uint8_t* w,
                                                size_t block, size_t groups, const int32_t* start, const Epilogue& e,
                                                size_t row, size_t f0, size_t valid) {
  if constexpr (R > 0) {
    if (left == R) return tile<T, R, B>(a, lda, w, block, groups, start, e, row, f0, valid);
    rest<T, R - 1, B>(left, a, lda, w, block, groups, start, e, row, f0, valid);
  }
}

template <class T, int B>
inline __attribute__((always_inline)) void rows(const uint8_t* a, size_t count, size_t lda, const uint8_t* w,
                                                size_t block, size_t groups, const int32_t* start, const Epilogue& e,
                                                size_t first, size_t f0, size_t valid) {
  size_t p = 0;
  for (; p + T::R <= count; p += T::R) tile<T, T::R, B>(a + p * lda, lda, w, block, groups, start, e, first + p, f0, valid);
  if (p < count) rest<T, T::R - 1, B>(count - p, a + p * lda, lda, w, block, groups, start, e, first + p, f0, valid);
}

// Filter blocks outermost: one block's values stay in cache while the rows pass.
template <class T>
inline __attribute__((always_inline)) void multiply(const uint8_t* a, size_t count, size_t lda, const PackedView& w,
                                                    const Epilogue& e, size_t first) {
  static_assert(T::B == 2, "tiles of one or two filter blocks");
  constexpr size_t L = T::L;
  const size_t groups = w.stride / T::G, block = groups * L * 4;
  for (size_t f0 = w.begin; f0 < w.filters; f0 += 2 * L) {
    const size_t valid = std::min(2 * L, w.filters - f0);
    const uint8_t* wb = w.data + f0 / L * block;
    if (valid > L)
      rows<T, 2>(a, count, lda, wb, block, groups, w.start, e, first, f0, valid);
    else
      rows<T, 1>(a, count, lda, wb, block, groups, w.start, e, first, f0, valid);
  }
}

}  // namespace nuvra::ops::detail::tiles
