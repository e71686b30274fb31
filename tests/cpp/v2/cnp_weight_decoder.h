// Test-only inverse of the CNP weight images, written from the documented layouts (not from the
// packer): it finds every weight's byte(s) by the per-kernel offset formulas and reports any set
// bit that no weight owns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nuvra::test {

struct DecodedWeights {
  // Conv2D: index ((n * channels + c) * k + y) * k + x; depthwise: (n * k + y) * k + x.
  std::vector<int8_t> values;
  // Bits set outside the layout, counted over the whole image.
  uint64_t stray_bits = 0;
  // Set when the image length is not the layout's.
  std::optional<std::string> error;
};

// Image of `filters` filters of a (k, k, channels, filters) Conv2D.
DecodedWeights decode_conv2d_cnp_weights(const std::vector<uint32_t>& words, uint32_t k, uint32_t channels,
                                         uint32_t filters);
// Image of `channels` depthwise kernels (k, k, 1, channels).
DecodedWeights decode_depthwise_conv_cnp_weights(const std::vector<uint32_t>& words, uint32_t k,
                                                 uint32_t channels);

inline size_t conv2d_index(uint32_t k, uint32_t channels, uint32_t x, uint32_t y, uint32_t c, uint32_t n) {
  return ((size_t{n} * channels + c) * k + y) * k + x;
}

}  // namespace nuvra::test
