// Row-by-row dot products, the core of the convolution and matrix kernels.
#pragma once

#include "ops_common.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace nuvra::ops::detail {

// How wide the sums of a product kernel must be to stay exact.
enum class Accumulator { i16, i64, i128 };

// int16 operands with int32 sums when both operands fit 16 bits and no sum can reach 2^31;
// int64 below 2^61; int128 otherwise. `sum_bound` bounds every |sum| (e.g. max|a| times the
// largest sum of |w| over one output).
Accumulator choose_accumulator(uint64_t max_a, uint64_t max_w, unsigned __int128 sum_bound);

// Rows per batch of dot_rows calls: about 16 KiB of rows, so they stay in cache while every
// filter passes over them.
inline size_t batch_rows(size_t depth, size_t element) {
  return std::clamp<size_t>(16384 / (depth * element), 2, 256);
}

// out[p * ldo + f] = sum over k of a[p * depth + k] * w[f * depth + k], for p < rows and
// f < filters. The int16 form needs every partial sum to fit int32.
void dot_rows(const int16_t* a, size_t rows, const int16_t* w, size_t filters, size_t depth, int32_t* out,
              size_t ldo);
template <class Acc>
void dot_rows(const int32_t* a, size_t rows, const int32_t* w, size_t filters, size_t depth, Acc* out, size_t ldo);

extern template void dot_rows<int64_t>(const int32_t*, size_t, const int32_t*, size_t, size_t, int64_t*, size_t);
extern template void dot_rows<int128>(const int32_t*, size_t, const int32_t*, size_t, size_t, int128*, size_t);

}  // namespace nuvra::ops::detail
