// Output geometry of a convolution window sweep (Keras arithmetic).
#pragma once

#include <nuvra/types.h>

#include <cstdint>

namespace nuvra {

struct ImagePatches {
  // Dimension 0 of `input` is x, dimension 1 is y. Valid: out = (in - k) / s + 1, no padding.
  // Same: out = ceil(in / s), the padding (out - 1) * s + k - in split with the smaller half
  // before. Refuses (std::invalid_argument) kernels below 1, strides outside 1..127 (they are
  // kept in 8 signed bits), an input dimension of 0 and, with Valid, inputs smaller than the kernel.
  ImagePatches(int kernel_w, int kernel_h, int stride_x, int stride_y, Padding padding, const Shape& input);

  int32_t pad_left = 0, pad_right = 0, pad_top = 0, pad_bottom = 0;
  uint32_t out_width = 0, out_height = 0;
  int8_t stride_x = 1, stride_y = 1;
};

}  // namespace nuvra
