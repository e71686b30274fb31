#include "v2/cnp/packing.h"
#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"

#include <algorithm>
#include <array>
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

constexpr DwcRowPattern dwc_row_pattern(uint32_t kernel_size) {
  switch (kernel_size) {
    case 3: return {{0, 1, 2}, 3, 12};
    case 4: return {{0, 1, 2, 3}, 6, 24};
    // Channels follow each other at 30 bytes although each owns a 36-byte container.
    case 5: return {{0, 1, 2, 3, 4}, 6, 30};
    case 7: return {{0, 1, 2, 3, 6, 7, 8}, 12, 84};
    default: unexpected_weight_format_kernel();
  }
}

// For each byte of a channel's stretch, the weight it holds (x + k * y), or -1 for a zero byte.
template <uint32_t K>
constexpr std::array<int, dwc_row_pattern(K).channel_stride> dwc_sources() {
  constexpr DwcRowPattern p = dwc_row_pattern(K);
  std::array<int, p.channel_stride> out{};
  for (uint32_t pos = 0; pos < p.channel_stride; ++pos) {
    out[pos] = -1;
    const uint32_t y = pos / p.row_bytes, in_row = pos % p.row_bytes;
    for (uint32_t x = 0; x < K && y < K; ++x)
      if (p.column_offset[x] == in_row) out[pos] = static_cast<int>(x + K * y);
  }
  return out;
}

constexpr uint64_t byte_of(uint64_t v, uint32_t i) { return (v >> (8 * i)) & 0xFFu; }

// Channels c .. c+7, next to each other in memory, into their 8 stretches: one eight-byte load
// per weight position, the stretches stored eight bytes at a time. Every position is a
// compile-time constant once the loops unroll.
template <uint32_t K>
inline void pack_dwc_channels8(const int8_t* const (&weights)[K * K], size_t c, uint8_t* dst) {
  constexpr uint32_t kStride = dwc_row_pattern(K).channel_stride;
  static constexpr auto kSources = dwc_sources<K>();
  uint64_t v[K * K];
  for (uint32_t i = 0; i < K * K; ++i) v[i] = load_le64(weights[i] + c);
#pragma GCC unroll 84
  for (uint32_t w = 0; w < kStride; ++w) {
    uint64_t word = 0;
#pragma GCC unroll 8
    for (uint32_t j = 0; j < 8; ++j) {
      const uint32_t p = w * 8 + j;
      const int from = kSources[p % kStride];
      if (from >= 0) word |= byte_of(v[from], p / kStride) << (8 * j);
    }
    store_le64(dst + 8 * w, word);
  }
}

// The channels of every whole group of 8, for channels at stride 1; returns how many.
template <uint32_t K>
uint32_t pack_dwc_whole_groups(const WeightSource& src, const int8_t* base, uint32_t count, uint8_t* out) {
  constexpr uint32_t kStride = dwc_row_pattern(K).channel_stride;
  const int8_t* weights[K * K];
  for (uint32_t y = 0; y < K; ++y)
    for (uint32_t x = 0; x < K; ++x) weights[x + K * y] = base + x * src.s0 + y * src.s1;
  const uint32_t whole = count / 8 * 8;
  for (uint32_t c = 0; c < whole; c += 8) pack_dwc_channels8<K>(weights, c, out + size_t{c} * kStride);
  return whole;
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
  // Channels next to each other (row-major tensors) take the word-wide path eight at a time.
  uint32_t done = 0;
  if (s3 == 1) {
    switch (k) {
      case 3: done = pack_dwc_whole_groups<3>(src, base, count, out); break;
      case 4: done = pack_dwc_whole_groups<4>(src, base, count, out); break;
      case 5: done = pack_dwc_whole_groups<5>(src, base, count, out); break;
      case 7: done = pack_dwc_whole_groups<7>(src, base, count, out); break;
    }
  }
  // The others: tiles of channels are put together in the first-level cache, each kernel
  // position walking its channels, then written out once.
  constexpr uint32_t kTile = 64;
  uint8_t tile_bytes[kTile * 84];  // 84: the channel stride of 7x7 kernels
  for (uint32_t c0 = done; c0 < count; c0 += kTile) {
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
