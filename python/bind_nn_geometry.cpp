// The windowed functions of `nn`: their geometry comes from the array shapes.
#include "python/bind_nn.h"

#include <nuvra/image_patches.h>
#include <nuvra/ops.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace nuvra::nn {

namespace {

// Dimensions 0 and 1 are read from the array itself: fewer would be read out of bounds.
void expect_2d(const char* function, const char* what, const py::array& a) {
  if (a.ndim() < 2)
    throw std::invalid_argument(std::string(function) + ": the " + what + " need at least 2 dimensions, got " +
                                std::to_string(a.ndim()));
}

// stride x an input dimension, which the kernel takes in 32 bits: a size that does not fit is
// refused rather than wrapped.
uint32_t transposed_size(uint8_t stride, py::ssize_t input_size) {
  const uint64_t size = uint64_t{stride} * static_cast<uint64_t>(input_size);
  if (size > std::numeric_limits<uint32_t>::max())
    throw std::invalid_argument("conv2d_transpose: an output size of " + std::to_string(size) +
                                " does not fit in 32 bits (max 4294967295)");
  return static_cast<uint32_t>(size);
}

Padding padding_of(const Padding* padding) {
  if (!padding) throw std::runtime_error("");
  return *padding;
}

}  // namespace

py::array conv2d(const I32& input, const I8& weights, uint8_t stride, const Padding* padding, int pad_value) {
  const Padding p = padding_of(padding);
  expect_2d("conv2d", "weights", weights);
  const auto kw = static_cast<int32_t>(weights.shape(0)), kh = static_cast<int32_t>(weights.shape(1));
  const auto in = dense_view_from_numpy<int32_t>(input, TensorType::int32);
  const auto w = dense_view_from_numpy<int8_t>(weights, TensorType::int8);
  const ImagePatches g(kw, kh, stride, stride, p, in->shape());
  return result_to_numpy(
      ops::conv2d_v2(*in, g.stride_x, g.stride_y, g.pad_left, g.pad_top, g.out_width, g.out_height, *w, pad_value));
}

py::array input_conv2d(const U8& input, const I8& weights, uint8_t stride, const Padding* padding, const U8& pads,
                       uint32_t) {
  const Padding p = padding_of(padding);
  expect_2d("input_conv2d", "weights", weights);
  const auto kw = static_cast<int32_t>(weights.shape(0)), kh = static_cast<int32_t>(weights.shape(1));
  const auto in = dense_view_from_numpy<uint8_t>(input, TensorType::uint8);
  const auto w = dense_view_from_numpy<int8_t>(weights, TensorType::int8);
  const auto z = dense_view_from_numpy<uint8_t>(pads, TensorType::uint8);
  const auto filters = ops::linearize_filters(*w);
  const ImagePatches g(kw, kh, stride, stride, p, in->shape());
  return result_to_numpy(ops::input_conv2d(*in, *z, g.stride_x, g.stride_y, g.pad_top, g.pad_bottom, g.pad_left,
                                           g.pad_right, g.out_width, g.out_height, static_cast<uint32_t>(kw),
                                           static_cast<uint32_t>(kh), *filters));
}

py::array conv2d_transpose(const I32& input, const I8& weights, uint8_t stride) {
  expect_2d("conv2d_transpose", "weights", weights);
  expect_2d("conv2d_transpose", "input", input);
  // The kernel sizes are kept in 8 bits here.
  const auto kw = static_cast<uint8_t>(weights.shape(0)), kh = static_cast<uint8_t>(weights.shape(1));
  const uint32_t out_x = transposed_size(stride, input.shape(0)), out_y = transposed_size(stride, input.shape(1));
  const auto in = dense_view_from_numpy<int32_t>(input, TensorType::int32);
  const auto w = dense_view_from_numpy<int8_t>(weights, TensorType::int8);
  const int pad_x = std::max(kw - stride, 0) >> 1, pad_y = std::max(kh - stride, 0) >> 1;
  return result_to_numpy(ops::conv2d_transpose(*in, *w, stride, pad_x, pad_y, out_x, out_y));
}

py::array depthwise_conv2d(const I32& input, const I8& weights, uint8_t stride) {
  expect_2d("depthwise_conv2d", "weights", weights);
  const auto kw = static_cast<int32_t>(weights.shape(0)), kh = static_cast<int32_t>(weights.shape(1));
  const auto in = dense_view_from_numpy<int32_t>(input, TensorType::int32);
  const auto w = dense_view_from_numpy<int8_t>(weights, TensorType::int8);
  const ImagePatches g(kw, kh, stride, stride, Padding::Same, in->shape());
  return result_to_numpy(
      ops::depthwise_conv2d(*in, g.stride_x, g.stride_y, g.pad_left, g.pad_top, g.out_width, g.out_height, *w));
}

py::array max_pooling(const I32& input, uint8_t pool_w, int8_t pool_h, int8_t stride_x, uint8_t stride_y,
                      const Padding* padding, int empty_value) {
  const Padding p = padding_of(padding);
  const std::shared_ptr<const Dense> in = dense_view_from_numpy<int32_t>(input, TensorType::int32);
  const ImagePatches g(pool_w, pool_h, stride_x, stride_y, p, in->shape());
  // The kernel takes the width in 8 signed bits: 128 to 255 arrive negative.
  return result_to_numpy(ops::max_pooling(in, static_cast<signed char>(pool_w), pool_h, false, g.out_width,
                                          g.out_height, g.stride_x, g.stride_y, g.pad_top, g.pad_bottom, g.pad_left,
                                          g.pad_right, empty_value));
}

}  // namespace nuvra::nn
