#include "v2/cnp/packing.h"
#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace nuvra::v2 {

namespace {

// A depthwise kernel row: where each column goes inside the row, the bytes of one row, and the
// distance between channels.
struct DwcRowPattern {
  uint32_t column_offset[7];
  uint32_t row_bytes;
  uint32_t channel_stride;
};

DwcRowPattern dwc_row_pattern(uint32_t kernel_size) {
  switch (kernel_size) {
    case 3: return {{0, 1, 2}, 3, 12};
    case 4: return {{0, 1, 2, 3}, 6, 24};
    // Channels follow each other at 30 bytes although each owns a 36-byte container.
    case 5: return {{0, 1, 2, 3, 4}, 6, 30};
    case 7: return {{0, 1, 2, 3, 6, 7, 8}, 12, 84};
    default: unexpected_weight_format_kernel();
  }
}

}  // namespace

void format_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first, uint32_t count,
                                       std::span<uint32_t> image) {
  const uint32_t k = weights.shape()[0];
  const uint32_t total = dwc_cnp_formatted_weight_32b_size(k, count);
  const DwcRowPattern pattern = dwc_row_pattern(k);
  const WeightSource src = checked_weight_source(weights, k, 1, first, count);
  if (image.size() != total) throw std::invalid_argument("cnp_weight_format: image of the wrong size");
  if (count == 0) return;

  // The last channel's rows end inside the image (at most 30 of 36 bytes for kernel 5).
  const size_t stride = pattern.channel_stride;
  const uint64_t used_bytes = uint64_t{count} * stride;
  if (used_bytes > uint64_t{total} * 4) throw std::runtime_error("cnp_weight_format: weight image too large");

  uint8_t* const out = image_bytes(image);
  const int8_t* const base = src.data + size_t{first} * src.s3;
  const size_t s3 = src.s3;
  // Tiles of channels are put together in the first-level cache, each kernel position walking
  // its channels (contiguous in a row-major tensor), then written out once.
  constexpr uint32_t kTile = 64;
  uint8_t tile_bytes[kTile * 84];  // 84: the channel stride of 7x7 kernels
  for (uint32_t c0 = 0; c0 < count; c0 += kTile) {
    const uint32_t tile = std::min(kTile, count - c0);
    std::memset(tile_bytes, 0, tile * stride);
    for (uint32_t y = 0; y < k; ++y) {
      for (uint32_t x = 0; x < k; ++x) {
        const int8_t* const column = base + x * src.s0 + y * src.s1 + c0 * s3;
        uint8_t* dst = tile_bytes + y * size_t{pattern.row_bytes} + pattern.column_offset[x];
        for (uint32_t c = 0; c < tile; ++c, dst += stride) *dst = static_cast<uint8_t>(column[c * s3]);
      }
    }
    std::memcpy(out + c0 * stride, tile_bytes, tile * stride);
  }
  std::memset(out + used_bytes, 0, size_t{total} * 4 - used_bytes);
  store_byte_image(image);
}

void check_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first, uint32_t count) {
  const uint32_t k = weights.shape()[0];
  const uint32_t total = dwc_cnp_formatted_weight_32b_size(k, count);
  const DwcRowPattern pattern = dwc_row_pattern(k);
  checked_weight_source(weights, k, 1, first, count);
  if (count == 0) return;
  if (uint64_t{count} * pattern.channel_stride > uint64_t{total} * 4)
    throw std::runtime_error("cnp_weight_format: weight image too large");
}

std::vector<uint32_t> format_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first, uint32_t count) {
  std::vector<uint32_t> image(dwc_cnp_formatted_weight_32b_size(weights.shape()[0], count));
  format_depthwise_conv_cnp_weights(weights, first, count, image);
  return image;
}

}  // namespace nuvra::v2
