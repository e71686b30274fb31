// Row-by-row dot products, the core of the convolution and matrix kernels.
#pragma once

#include "ops/common.h"
#include "ops/simd.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuvra::ops::detail {

// How wide the sums of a product kernel must be to stay exact.
enum class Accumulator { i16, i64, i128 };

// int16 operands with int32 sums when both operands fit 16 bits and no sum can reach 2^31;
// int64 below 2^61; int128 otherwise. `sum_bound` bounds every |sum| (e.g. max|a| times the
// largest sum of |w| over one output).
Accumulator choose_accumulator(uint64_t max_a, uint64_t max_w, unsigned __int128 sum_bound);

// Rows per batch of product calls: about 16 KiB of rows, so they stay in cache while every
// filter passes over them.
inline size_t batch_rows(size_t depth, size_t element) {
  return std::clamp<size_t>(16384 / (depth * element), 2, 256);
}

// Filters ready for products with rows of int16 values summed in int32: every partial sum must
// fit int32. The rows given to multiply() hold stride() values, those past the depth zero.
class Int16Filters {
 public:
  // value(f, k): weight k < depth of filter f < filters, fitting int16. `packed` picks the
  // AVX2 kernel (tests take both routes).
  template <class Value>
  Int16Filters(size_t filters, size_t depth, Value value, bool packed = has_avx2());
  size_t stride() const { return stride_; }
  // out[p * ldo + f] = sum over k of a[p * stride() + k] * w[f][k], for p < rows.
  void multiply(const int16_t* a, size_t rows, int32_t* out, size_t ldo) const;

 private:
  size_t filters_, stride_;
  bool packed_;  // for the AVX2 kernel; else one row per filter
  Scratch<int16_t> w_;
};

// The AVX2 kernel: `packed` holds blocks of 8 filters, in each the pairs of consecutive values of
// the 8 filters side by side (pair kp of filter j at kp * 16 + 2 * j).
void multiply_avx2(const int16_t* a, size_t rows, size_t stride, const int16_t* packed, size_t filters,
                   int32_t* out, size_t ldo);

template <class Value>
Int16Filters::Int16Filters(size_t filters, size_t depth, Value value, bool packed)
    : filters_(filters), stride_((depth + 1) / 2 * 2), packed_(packed),
      w_((packed_ ? (filters + 7) / 8 * 8 : filters) * stride_) {
  int16_t* out = w_.data();
  const auto at = [&](size_t f, size_t k) { return f < filters && k < depth ? static_cast<int16_t>(value(f, k)) : 0; };
  if (!packed_) {
    for (size_t f = 0; f < filters; ++f)
      for (size_t k = 0; k < stride_; ++k) *out++ = at(f, k);
    return;
  }
  for (size_t block = 0; block < filters; block += 8)
    for (size_t k = 0; k < stride_; k += 2, out += 16) {
      if (block + 8 <= filters && k + 1 < depth) {
        for (size_t j = 0; j < 8; ++j) {
          out[2 * j] = static_cast<int16_t>(value(block + j, k));
          out[2 * j + 1] = static_cast<int16_t>(value(block + j, k + 1));
        }
      } else {
        for (size_t j = 0; j < 8; ++j) {
          out[2 * j] = at(block + j, k);
          out[2 * j + 1] = at(block + j, k + 1);
        }
      }
    }
}

// out[p * ldo + f] = sum over k of a[p * depth + k] * w[k * filters + f], for p < rows and
// f < filters, in Acc (int64_t or int128): each row value scales a row of w into the sums.
void dot_columns(const int32_t* a, size_t rows, const int32_t* w, size_t filters, size_t depth, int64_t* out,
                 size_t ldo);
void dot_columns(const int32_t* a, size_t rows, const int32_t* w, size_t filters, size_t depth, int128* out,
                 size_t ldo);

}  // namespace nuvra::ops::detail
