// Row-by-row dot products, the core of the convolution and matrix kernels.
#pragma once

#include "ops/common.h"
#include "ops/epilogue.h"
#include "ops/route.h"
#include "ops/simd.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace nuvra::ops::detail {

// How wide the sums of a product kernel must be to stay exact.
enum class Accumulator { i16, i64, i128 };

// int16 operands with int32 sums when both operands fit 16 bits and no sum can reach 2^31;
// int64 below 2^61; int128 otherwise. `sum_bound` bounds every |sum| (e.g. max|a| times the
// largest sum of |w| over one output).
Accumulator choose_accumulator(uint64_t max_a, uint64_t max_w, unsigned __int128 sum_bound);

// The element type of the rows that meet packed filters: u8 (values 0-255, filters int8, on the
// routes with u8 x s8 products) or int16. Both sum in int32 lanes, which wrap modulo 2^32 and
// never saturate, so sums are exact whenever the true sum fits int32 (what the accumulator
// choice checks).
enum class Rows : uint8_t { u8, i16 };

// The rows for values in [lo, hi] whose sums fit int32 on `route`: u8 for 0-255 (or -128-127,
// offset by 128) on the u8 routes, else int16 for values that fit it.
Rows rows_for(int64_t lo, int64_t hi, bool weights_fit_int8, Route route);
// The offset that makes [lo, hi] unsigned for u8 rows: 128 for values below 0, else 0.
inline int u8_offset(int64_t lo) { return lo < 0 ? 128 : 0; }

// Rows of products per batch: about 16 KiB of rows, so they stay in cache while every filter
// passes over them.
inline size_t batch_rows(size_t depth, size_t element) {
  return std::clamp<size_t>(16384 / std::max<size_t>(depth * element, 1), 2, 256);
}

// Where the packed values of a set of filters are, for the tiles of one route.
struct PackedView {
  const uint8_t* data;   // blocks of `lanes` filters; in each, groups of 4 bytes per filter side by side
  const int32_t* start;  // per filter, the sums start from (the offset's correction); filters rounded up to 16
  size_t filters, stride;
  size_t begin = 0;  // the first filter to sum, a multiple of span()
};

// Filters laid out for one route's product tiles. Blocks of route_lanes() filters; in each, for
// every group of G consecutive values (G = 4 int8 for u8 rows, 2 int16 for int16 rows), the G
// values of each filter side by side, so one 32-bit broadcast of a row's group meets a whole
// vector of filters. Values past the depth and filters past the count are 0.
class PackedFilters {
 public:
  // value(f, k): weight k < depth of filter f < filters, fitting int8 (u8 rows) or int16. The
  // rows will hold the inputs plus `offset` (0, or 128 for signed 8-bit inputs in u8 rows).
  template <class Value>
  PackedFilters(size_t filters, size_t depth, Value value, Rows rows, RouteChoice route, int offset = 0);

  size_t filters() const { return filters_; }
  size_t depth() const { return depth_; }
  // Values per row handed to multiply(): the depth rounded up to the group. Row values past the
  // depth may hold anything (their weights are 0).
  size_t stride() const { return stride_; }
  Rows rows() const { return rows_; }
  int offset() const { return offset_; }
  RouteChoice route() const { return route_; }
  size_t row_bytes() const { return stride_ * (rows_ == Rows::u8 ? 1 : 2); }

  // Filters go through the tiles in spans of this many (a multiple of 16).
  size_t span() const { return 2 * static_cast<size_t>(route_lanes(route_.route)); }

  // For rows q < count (row q at a + q * lda_bytes, stride() values each), the sums over the
  // filters [f_begin, f_end) go through `e` as rows first + q. f_begin is a multiple of span().
  void multiply(const void* a, size_t count, size_t lda_bytes, const Epilogue& e, size_t first, size_t f_begin = 0,
                size_t f_end = SIZE_MAX) const;

 private:
  size_t filters_, depth_, stride_;
  Rows rows_;
  int offset_;
  RouteChoice route_;
  Scratch<uint8_t> w_;
  std::vector<int32_t> start_;
};

// The tiles of each route; `w` is laid out for that route and row type.
void multiply_portable(const uint8_t* a, size_t count, size_t lda, const PackedView& w, const Epilogue& e,
                       size_t first);
void multiply_avx2(const uint8_t* a, size_t count, size_t lda, const PackedView& w, const Epilogue& e,
                   size_t first);
void multiply_vnni256(Rows rows, const uint8_t* a, size_t count, size_t lda, const PackedView& w, const Epilogue& e,
                      size_t first);
void multiply_vnni512(Rows rows, const uint8_t* a, size_t count, size_t lda, const PackedView& w, const Epilogue& e,
                      size_t first);
// The VNNI layouts with AVX2 instructions in place of the VNNI ones (tests).
void multiply_stand_in(Route route, Rows rows, const uint8_t* a, size_t count, size_t lda, const PackedView& w,
                       const Epilogue& e, size_t first);

// Filters stored as rows of a matrix: weight k of filter f at data[k * ld + f] (T int8_t or
// int32_t). As a PackedFilters value it packs whole blocks without a call per value.
template <class T>
struct FilterRows {
  const T* data;
  size_t ld;
  int32_t operator()(size_t f, size_t k) const { return data[k * ld + f]; }
};

namespace packing {
template <class V>
inline constexpr bool kRows = false;
template <class T>
inline constexpr bool kRows<FilterRows<T>> = true;

// One block of `lanes` filters and G values from rows r[0], r[ld], ...: each filter's G values
// side by side.
template <size_t G, class Out, class T>
NUVRA_INLINE void block(Out* out, const T* r, size_t ld, size_t lanes) {
  for (size_t j = 0; j < lanes; ++j)
    for (size_t e = 0; e < G; ++e) out[j * G + e] = static_cast<Out>(r[e * ld + j]);
}
}  // namespace packing

template <class Value>
PackedFilters::PackedFilters(size_t filters, size_t depth, Value value, Rows rows, RouteChoice route, int offset)
    : filters_(filters), depth_(depth), stride_(rows == Rows::u8 ? (depth + 3) / 4 * 4 : (depth + 1) / 2 * 2),
      rows_(rows), offset_(offset), route_(route),
      w_((filters + 15) / 16 * 16 * stride_ * (rows == Rows::u8 ? 1 : 2)), start_((filters + 15) / 16 * 16, 0) {
  const size_t lanes = static_cast<size_t>(route_lanes(route.route)), group = rows == Rows::u8 ? 4 : 2;
  const size_t blocks = (filters + lanes - 1) / lanes, groups = stride_ / group;
  const auto fill = [&](auto* out) {
    using T = std::remove_pointer_t<decltype(out)>;
    for (size_t b = 0; b < blocks; ++b)
      for (size_t g = 0; g < groups; ++g) {
        const size_t f0 = b * lanes, k0 = g * group;
        if (f0 + lanes <= filters && k0 + group <= depth) {  // the usual case, without bounds
          if constexpr (packing::kRows<Value>) {
            const auto* r = value.data + k0 * value.ld + f0;
            if (group == 2)
              packing::block<2>(out, r, value.ld, lanes);
            else
              packing::block<4>(out, r, value.ld, lanes);
            out += lanes * group;
            continue;
          }
          for (size_t j = 0; j < lanes; ++j)
            for (size_t e = 0; e < group; ++e) *out++ = static_cast<T>(value(f0 + j, k0 + e));
          continue;
        }
        for (size_t j = 0; j < lanes; ++j)
          for (size_t e = 0; e < group; ++e)
            *out++ = f0 + j < filters && k0 + e < depth ? static_cast<T>(value(f0 + j, k0 + e)) : T{0};
      }
  };
  if (rows == Rows::u8)
    fill(reinterpret_cast<int8_t*>(w_.data()));
  else
    fill(reinterpret_cast<int16_t*>(w_.data()));
  if constexpr (packing::kRows<Value>) {
    if (offset != 0) {
      std::vector<int64_t> sums(filters, 0);
      for (size_t k = 0; k < depth; ++k)
        for (size_t f = 0; f < filters; ++f) sums[f] += value.data[k * value.ld + f];
      for (size_t f = 0; f < filters; ++f)
        start_[f] = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(-sums[f] * offset)));
    }
    return;
  }
  if (offset != 0)
    for (size_t f = 0; f < filters; ++f) {
      int64_t sum = 0;
      for (size_t k = 0; k < depth; ++k) sum += value(f, k);
      // Modulo 2^32, like the sums it corrects.
      start_[f] = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(-sum * offset)));
    }
}

// out[p * ldo + f] = sum over k of a[p * depth + k] * w[k * filters + f], for p < rows and
// f < filters, in Acc (int64_t or int128): each row value scales a row of w into the sums.
void dot_columns(const int32_t* a, size_t rows, const int32_t* w, size_t filters, size_t depth, int64_t* out,
                 size_t ldo);
void dot_columns(const int32_t* a, size_t rows, const int32_t* w, size_t filters, size_t depth, int128* out,
                 size_t ldo);

}  // namespace nuvra::ops::detail
