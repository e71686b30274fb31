// Weight-memory sizes of buffered temporal convolutions on a TNP-B.
// `_100b_size` counts 100-bit weight units, `_32b_size` the 32-bit DMA words that carry them.
#pragma once

#include <cstdint>

namespace nuvra::v2 {

// Units holding `filters` filters for one input channel and one tap: two per started
// group of 24 filters (filters are first rounded up to a multiple of 8).
uint32_t buffer_temp_conv_ch_cont_100b_size(uint32_t filters);
// Weight memory of a BufferTempConv share; counts fifo_size + 1 taps per input channel.
uint32_t buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t filters,
                                                         uint32_t input_channels);
// Words of a BufferTempConv weight image of `rows` weight rows (taps x input channels).
uint32_t tnp_b_buffer_temp_conv_formatted_weight_32b_size(uint32_t filters, uint32_t rows);
// A DepthwiseBufferTempConv channel takes one unit per tap plus one.
uint32_t depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t taps, uint32_t channels);
uint32_t depthwise_buffer_temp_conv_formatted_weight_32b_size(uint32_t taps, uint32_t channels);

}  // namespace nuvra::v2
