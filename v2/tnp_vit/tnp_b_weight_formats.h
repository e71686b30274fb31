// Packing of one NP's share of buffered temporal convolution weights into the words of a TNP-B
// weight memory: 100-bit units travelling as three words, twelve 8-bit weights in each unit's
// low 96 bits. Sizes of the images: v2/tnp_vit/tnp_b_sizes.h.
#pragma once

#include <nuvra/tensor.h>

#include <cstdint>
#include <span>

namespace nuvra::v2 {

// What the packers refuse, checked before a word is written (recorders call these first so a
// refusal leaves nothing behind):
// - weights not readable as signed bytes: panic "Wrong requested type %s for a tensor of type %s.";
// - fifo_size 0 or weight rows not a multiple of it (BufferTempConv), more than 12 taps
//   (DepthwiseBufferTempConv): std::runtime_error in the words of the TNP-B rules;
// - a filter (channel) range past dimension 3, or a tensor that is not four-dimensional:
//   panic "Coordinates are out-of-range".
void check_tnp_b_buffer_temp_conv_weights(const Dense& weights, uint32_t fifo_size, uint32_t first, uint32_t count);
void check_tnp_b_depthwise_buffer_temp_conv_weights(const Dense& weights, uint32_t first, uint32_t count);

// Weights (1, 1, fifo_size * cin, filters), row t * cin + j holding tap t of input channel j:
// filters first .. first+count-1, one block of buffer_temp_conv_ch_cont_100b_size(count) units
// per (channel, tap) pair, channel-major, filter k in byte k of its block. `out` must hold
// tnp_b_buffer_temp_conv_formatted_weight_32b_size(count, rows) words (panic otherwise).
void format_tnp_b_buffer_temp_conv_weights(std::span<uint32_t> out, const Dense& weights, uint32_t fifo_size,
                                           uint32_t first, uint32_t count);

// Weights (1, 1, taps, channels): channel first + i owns unit i, its taps in the first bytes;
// the units after the count-th are zero. `out` must hold
// depthwise_buffer_temp_conv_formatted_weight_32b_size(taps, count) words (panic otherwise).
void format_tnp_b_depthwise_buffer_temp_conv_weights(std::span<uint32_t> out, const Dense& weights, uint32_t first,
                                                     uint32_t count);

}  // namespace nuvra::v2
