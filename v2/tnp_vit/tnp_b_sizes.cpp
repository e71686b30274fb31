#include "v2/tnp_vit/tnp_b_sizes.h"

#include "v2/size_math.h"

namespace nuvra::v2 {

uint32_t buffer_temp_conv_ch_cont_100b_size(uint32_t filters) {
  return saturate((round_up(round_up(filters, 8), 24) + 11) / 12);
}

uint32_t buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t filters,
                                                         uint32_t input_channels) {
  const uint32_t taps_x_channels = mul_sat(wide{fifo_size} + 1, input_channels);
  return mul_sat(buffer_temp_conv_ch_cont_100b_size(filters), taps_x_channels);
}

uint32_t tnp_b_buffer_temp_conv_formatted_weight_32b_size(uint32_t filters, uint32_t rows) {
  return mul_sat(mul_sat(rows, buffer_temp_conv_ch_cont_100b_size(filters)), 3);
}

uint32_t depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t taps, uint32_t channels) {
  return mul_sat(wide{taps} + 1, channels);
}

uint32_t depthwise_buffer_temp_conv_formatted_weight_32b_size(uint32_t taps, uint32_t channels) {
  return mul_sat(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(taps, channels), 3);
}

}  // namespace nuvra::v2
