// Sizes of a first-generation CNP's input memory, in 32-bit words unless named otherwise.
// Products are taken in 64 bits and saturate at 32, so an oversized image never looks small.
#pragma once

#include <cstdint>

namespace nuvra::v1 {

inline constexpr uint32_t saturate32(uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

// Bytes of one channel of one input row of `width` values of `bits` bits.
inline constexpr uint32_t get_cnp_channel_container_size(uint32_t width, uint8_t bits) {
  return saturate32((uint64_t{bits} * width + 7) >> 3);
}

// Words of `height` rows of `channels` channel containers of `channel_container` bytes.
inline constexpr uint32_t get_cnp_input_sram_size(uint32_t channel_container, uint32_t channels, uint32_t height) {
  const unsigned __int128 row_words = (static_cast<unsigned __int128>(channel_container) * channels * 8 + 31) >> 5;
  const unsigned __int128 words = row_words * height;
  return words > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(words);
}

}  // namespace nuvra::v1
