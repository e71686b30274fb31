// Whether a buffered temporal convolution can run on a TNP-B.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

namespace nuvra::v2 {

// Both layer kinds meet the same rules.
MappingStatus check_buffer_temp_conv_constraints(const Layer& layer);
MappingStatus check_depthwise_buffer_temp_conv_constraints(const Layer& layer);

// Bit widths, input and filter limits, then the FIFO: 1 to 15 frames (the register field
// is four bits), weight rows a whole number of frames for BufferTempConv, and at most the
// 12 taps a DepthwiseBufferTempConv channel unit holds. Failures carry the layer's name.
MappingStatus check_tnp_b_common_constraints(const Layer& layer);

}  // namespace nuvra::v2
