// The `nn` submodule's shared argument types and its geometry functions (defined apart).
#pragma once

#include "python/cast_array.h"
#include "python/numpy_convert.h"

#include <nuvra/types.h>

#include <pybind11/numpy.h>

namespace nuvra::nn {

// Array arguments: anything numpy turns into an array, force-cast to the position's type. Each
// becomes a tensor, so one too large for a tensor is not cast first (CastArray).
using I32 = CastArray<int32_t>;
using U8 = CastArray<uint8_t>;
using I8 = CastArray<int8_t>;
using I16 = CastArray<int16_t>;
using F32 = CastArray<float>;

// Padding arrives by pointer so that None reaches the function (and is refused there).
pybind11::array conv2d(const I32& input, const I8& weights, uint8_t stride, const Padding* padding, int pad_value);
pybind11::array input_conv2d(const U8& input, const I8& weights, uint8_t stride, const Padding* padding,
                             const U8& pads, uint32_t unused);
pybind11::array conv2d_transpose(const I32& input, const I8& weights, uint8_t stride);
pybind11::array depthwise_conv2d(const I32& input, const I8& weights, uint8_t stride);
pybind11::array max_pooling(const I32& input, uint8_t pool_w, int8_t pool_h, int8_t stride_x, uint8_t stride_y,
                            const Padding* padding, int empty_value);

}  // namespace nuvra::nn
