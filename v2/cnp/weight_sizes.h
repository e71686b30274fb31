// Weight-memory sizes of a second-generation CNP.
// `_100b_size` counts 100-bit weight units, `_32b_size` the 32-bit DMA words that carry them.
#pragma once

#include <cstdint>

namespace nuvra::v2 {

// Units of one input channel's container for `filters` filters. Kernels 1, 3, 4, 5, 7;
// any other throws std::runtime_error "ch_cont_size: Unexpected kernel size".
uint32_t conv2d_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters);
// Words of a Conv2D weight image: a 7x7 unit travels as four words, the others as three.
uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels);

// Units of `channels` depthwise kernels. Kernels 3, 4, 5, 7; others throw as above.
uint32_t dwc_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels);
uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t channels);

}  // namespace nuvra::v2
