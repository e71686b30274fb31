// Whether a buffered temporal convolution can run on a TNP-B.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <string>

namespace nuvra::v2 {

// Both layer kinds meet the same rules.
MappingStatus check_buffer_temp_conv_constraints(const Layer& layer);
MappingStatus check_depthwise_buffer_temp_conv_constraints(const Layer& layer);

// Bit widths, input and filter limits, then the FIFO: 1 to 15 frames (the register field
// is four bits), weight rows a whole number of frames for BufferTempConv, and at most the
// 12 taps a DepthwiseBufferTempConv channel unit holds; last, weights of the shape the layer's
// FIFO, channels and filters give, which the memory checks and sizes assume. Failures carry
// the layer's name.
MappingStatus check_tnp_b_common_constraints(const Layer& layer);

// Why weights of `rows` rows (taps, for a depthwise layer) cannot be packed for a FIFO of
// `fifo_size` frames; "" when they can. Shared by the rules and the weight packers.
std::string tnp_b_weight_rows_problem(bool depthwise, int64_t fifo_size, int64_t rows);

}  // namespace nuvra::v2
