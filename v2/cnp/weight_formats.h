// Packing of one NP's share of Conv2D / DepthwiseConv2D weights into the words that fill a
// second-generation CNP's weight memory (100-bit units, three words each; four for 7x7 Conv2D).
// Sizes of the images: v2/cnp/weight_sizes.h.
#pragma once

#include <nuvra/tensor.h>

#include <cstdint>
#include <span>
#include <vector>

namespace nuvra::v2 {

// How a Conv2D kernel size lays out one input channel's filters.
struct CnpWeightFormatParams {
  uint32_t gap_after;      // bytes of one filter's kernel row written before a gap; 0: no gap
  uint32_t gap_bytes;      // bytes skipped at a gap
  uint32_t group_filters;  // filters packed together
  uint32_t group_words;    // words one group takes for one input channel
  uint32_t row_stride;     // bytes from one kernel row to the next inside a group
  uint32_t unit_words;     // words carrying one 100-bit unit
  uint32_t dma_target;     // dma::Target of the weight track
};

// Kernels 1, 3, 4, 5, 7; any other throws std::runtime_error "cnp_weight_format: Unexpected kernel size".
CnpWeightFormatParams cnp_weight_format_params(uint32_t kernel_size);
// dma::Target of the weights: 1, or 0 for 7x7 Conv2D. Unknown kernels throw as above.
uint32_t conv2d_dma_target(uint32_t kernel_size);
uint32_t dwc_dma_target(uint32_t kernel_size);

// Like every packer, these write their image into `image`, which must have exactly the length of
// their size function (else std::invalid_argument), each word once, padding included; the
// vector forms return a new image.

// Weights (k, k, input channels, filters), one signed byte per element, read through the
// tensor's strides: the image of filters first .. first+count-1 over all input channels,
// conv2d_cnp_formatted_weight_32b_size(k, count, channels) words long.
// A tensor of another element type panics "Wrong requested type %s for a tensor of type %s.";
// a filter range or kernel row past the tensor panics "Coordinates are out-of-range".
void format_conv2d_cnp_weights(const Dense& weights, uint32_t first, uint32_t count, std::span<uint32_t> image);
// Everything format_conv2d_cnp_weights refuses but a wrong image size, checked without writing:
// once this passes, formatting into an image of the right size does not throw.
void check_conv2d_cnp_weights(const Dense& weights, uint32_t first, uint32_t count);
std::vector<uint32_t> format_conv2d_cnp_weights(const Dense& weights, uint32_t first, uint32_t count);

// Weights (k, k, 1, channels): the image of channels first .. first+count-1,
// dwc_cnp_formatted_weight_32b_size(k, count) words long. Failures as above.
void format_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first, uint32_t count,
                                       std::span<uint32_t> image);
// As check_conv2d_cnp_weights, for format_depthwise_conv_cnp_weights.
void check_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first, uint32_t count);
std::vector<uint32_t> format_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first, uint32_t count);

}  // namespace nuvra::v2
