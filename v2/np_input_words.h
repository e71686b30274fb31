// The sizes of an NP's input window as its register block counts them (CNP words 4 and 28, TNP-B
// words 28 and 56). The recorders write them; the checker refuses a mapping whose sizes these
// fields cannot hold, so both compute them here.
#pragma once

#include <cstdint>

namespace nuvra::v2 {

// An NP's input window: the bordered width and height, the part's channels, the input bits.
struct NpInputWindow {
  uint64_t bits = 0;
  uint64_t width = 0;
  uint64_t height = 0;
  uint64_t channels = 0;
};

// Field widths: CNP word 4 bits 0-15, word 28 bits 0-13, TNP-B word 56 bits 16-24.
inline constexpr uint64_t kMaxWindowWords = 0xFFFF;
inline constexpr uint64_t kMaxRowWords = 0x3FFF;
inline constexpr uint64_t kMaxFrameBlocks = 0x1FF;

// Bytes of one input row of one channel, padded to whole 32-bit words.
constexpr uint64_t cnp_row_bytes(uint64_t bits, uint64_t width) { return ((bits * width + 7) / 8 + 3) & ~uint64_t{3}; }

// CNP word 4: the 32-bit words of the whole window.
constexpr uint64_t cnp_window_words(const NpInputWindow& w) {
  return w.height * ((w.channels * cnp_row_bytes(w.bits, w.width) * 8 + 31) / 32);
}

// Standard convolution, word 28 bits 0-13: the words of one input row over all channels.
constexpr uint64_t cnp_row_words(const NpInputWindow& w) { return w.channels * cnp_row_bytes(w.bits, w.width) / 4; }

// Depthwise convolution, word 28 bits 0-13 and 18-31: the words of one row of one channel, and of
// the window's rows of one channel.
constexpr uint64_t channel_row_words(const NpInputWindow& w) { return (w.bits * w.width + 31) / 32; }
constexpr uint64_t channel_plane_words(const NpInputWindow& w) { return w.height * channel_row_words(w); }

// TNP-B channels are counted in groups of four.
constexpr uint64_t tnp_b_channels(const NpInputWindow& w) { return (w.channels + 3) / 4 * 4; }

// TNP-B word 28 bits 0-13: the words of one input row over all channel groups.
constexpr uint64_t tnp_b_row_words(const NpInputWindow& w) { return tnp_b_channels(w) * w.width / 4; }

// TNP-B word 56 bits 16-24: one input frame in blocks of 64 words.
constexpr uint64_t tnp_b_frame_blocks(const NpInputWindow& w) {
  const uint64_t words = (w.width * w.height * tnp_b_channels(w) * w.bits + 31) / 32;
  return (words + 63) / 64;
}

}  // namespace nuvra::v2
