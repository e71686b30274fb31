#include <nuvra/image_patches.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nuvra {

namespace {

struct Axis {
  uint32_t out;
  int32_t before, after;
};

// One spatial axis in 64-bit arithmetic: inputs up to 2^32 - 1 cannot overflow.
Axis sweep(uint32_t in, int kernel, int stride, Padding padding, const char* axis) {
  const int64_t n = in, k = kernel, s = stride;
  if (n == 0) throw std::invalid_argument(std::string("ImagePatches: input ") + axis + " is 0");
  if (padding == Padding::Valid) {
    if (n < k)
      throw std::invalid_argument(std::string("ImagePatches: input ") + axis + " " + std::to_string(n) +
                                  " is smaller than the kernel " + std::to_string(k) + " with Valid padding");
    return {static_cast<uint32_t>((n - k) / s + 1), 0, 0};
  }
  const int64_t out = (n + s - 1) / s;
  const int64_t total = std::max<int64_t>((out - 1) * s + k - n, 0);
  return {static_cast<uint32_t>(out), static_cast<int32_t>(total / 2), static_cast<int32_t>(total - total / 2)};
}

}  // namespace

ImagePatches::ImagePatches(int kernel_w, int kernel_h, int sx, int sy, Padding padding, const Shape& input) {
  if (kernel_w < 1 || kernel_h < 1)
    throw std::invalid_argument("ImagePatches: kernel sizes must be at least 1 (got " + std::to_string(kernel_w) +
                                " x " + std::to_string(kernel_h) + ")");
  // The strides are kept in 8 signed bits.
  if (sx < 1 || sy < 1 || sx > 127 || sy > 127)
    throw std::invalid_argument("ImagePatches: strides must be between 1 and 127 (got " + std::to_string(sx) + ", " +
                                std::to_string(sy) + ")");
  if (padding != Padding::Valid && padding != Padding::Same)
    throw std::invalid_argument("ImagePatches: unknown padding " + std::to_string(static_cast<int32_t>(padding)));
  if (input.size() < 2) throw std::invalid_argument("ImagePatches: the input needs at least 2 dimensions");
  const Axis x = sweep(input[0], kernel_w, sx, padding, "width");
  const Axis y = sweep(input[1], kernel_h, sy, padding, "height");
  pad_left = x.before;
  pad_right = x.after;
  pad_top = y.before;
  pad_bottom = y.after;
  out_width = x.out;
  out_height = y.out;
  stride_x = static_cast<int8_t>(sx);
  stride_y = static_cast<int8_t>(sy);
}

}  // namespace nuvra
