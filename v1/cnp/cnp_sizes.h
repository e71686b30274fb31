// Sizes of a first-generation CNP's memories: the input SRAM a window takes, and the weight
// words of standard and separable layers (all in 32-bit words unless named otherwise). The
// weight memory holds 64-bit slots of which at most 50 bits are used; its capacity is counted
// in slots. Products are taken wide and saturate at 32 bits, so an oversized image never looks
// small enough to fit.
#pragma once

#include "backend/hardware_constraints.h"

#include <nuvra/layer.h>

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

// Words of a standard layer's weights for `filters` filters of `channels` input channels, as
// the standard packers write them: 1 and 2 bits (a 1x1 kernel is always packed as 2 bits) or 4
// bits. Other bit widths give 0xFFFFFFFF; kernels other than 1, 3, 5 and 7 throw
// std::runtime_error "Unsupported kernel size".
uint32_t get_std_cnp_sram_size(uint32_t kernel, uint32_t channels, uint32_t filters, int bits);

// Words the depthwise weights of all channels take in the weight memory (a multiple of 16; the
// packer's own image may be shorter, see sep_cnp_dw_weights_32b_size).
uint32_t get_dw_weights_sram_size(int kernel, uint32_t channels, int bits);
// Slots one input channel's pointwise weights of `filters` filters take.
uint32_t get_nb_words_per_pw_channel(uint32_t filters, int bits);
// Depthwise weights, then every channel's pointwise weights.
uint32_t get_sep_cnp_sram_size(uint32_t kernel, uint32_t channels, uint32_t filters, int bits);
// Words format_sep_cnp_dw_weights writes (slots of two words, not rounded to 16).
uint32_t sep_cnp_dw_weights_32b_size(uint32_t kernel, uint32_t channels, int bits);
// The separable sizes and packers take 1-, 2- or 4-bit weights (std::runtime_error "Unsupported
// weights bitwidth" otherwise) and a kernel row of at most 50 bits (else "Unsupported kernel
// size").

// Weight words of `filters` filters of a Convolutional or SeparableConvolutional layer, from its
// input channels, "kernel_width" and "weights_bits"; other types throw std::invalid_argument
// "unexpected layer type for CNP".
uint32_t get_weights_size(const Layer& layer, uint32_t filters);
// Whether `filters` filters fit one NP's weight memory (and, for a standard layer, the 10-bit
// per-channel field of register word 11).
bool check_weights_fit_memory(const HardwareConstraints& constraints, const Layer& layer, uint32_t filters);
// The words of the largest weight image an NP holding `filters` filters receives, each one DMA
// block: a standard layer's weights; a separable layer's depthwise or pointwise weights. Throws as
// get_weights_size does.
uint32_t largest_weight_block(const Layer& layer, uint32_t filters);
// Both: what the split search asks of a share of filters.
bool check_weights_size_fit_cnp(const HardwareConstraints& constraints, const Layer& layer, uint32_t filters);

}  // namespace nuvra::v1
