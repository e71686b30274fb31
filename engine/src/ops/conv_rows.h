// Output rows of a convolution through packed filters: each output pixel's window becomes one
// row of the filters' type (read in place when the input already is that row), in batches that
// stay in cache.
#pragma once

#include "ops/gemm.h"
#include "ops/window.h"

namespace nuvra::ops::detail {

struct ConvSource {
  const void* data = nullptr;
  TensorType type = TensorType::int32;  // uint8, int8, int16 or int32 values, (x, y, c)
  Window g;
  const int32_t* pad = nullptr;  // per channel, the value of positions outside the input
};

// Output pixels [p0, p1) (pixel p = ox * out_h + oy), each a row of the sums of filters
// [f_begin, f_end) through `e`. Input and padding values must fit the filters' rows (after their
// offset); f_begin is a multiple of the filters' span().
void convolve_rows(const PackedFilters& w, const ConvSource& in, size_t p0, size_t p1, const Epilogue& e,
                   size_t f_begin = 0, size_t f_end = SIZE_MAX);

}  // namespace nuvra::ops::detail
