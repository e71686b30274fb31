// Whether an Add, Conv2D, DepthwiseConv2D or transposed convolution layer can run on a
// second-generation CNP. Each rule stops at its first failure and reports it through
// LayerMappingError; a rule that fails never throws.
#pragma once

#include "backend/hardware_constraints.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

namespace nuvra::v2 {

// Per channel: the input shifts may differ by at most 15, and max(a, b) + output shift must fit
// the merge register's 3-bit signed field. Shift tensors of the wrong element type or shorter
// than "a_shift" are internal violations (panic).
MappingStatus check_add_shift(const Layer& layer);

// The Conv2D and Conv2DTranspose rules end by refusing a layer whose one filter over every input
// channel would not fit the weight image of an NP, one DMA block (reached with a weight SRAM
// larger than the default).
MappingStatus check_conv2d_constraints(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_dwconv2d_constraints(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_conv2dtranspose_constraints(const HardwareConstraints& constraints, const Layer& layer);
MappingStatus check_dwconv2dtranspose_constraints(const Layer& layer);

// Shared by the four convolution rules: 8-bit input, output width with activation, input
// size, channel and filter limits.
MappingStatus check_cnp_common_constraints(const Layer& layer);
MappingStatus check_padding_same(const Layer& layer);
// Pooling against stride, max pooling size and strides, and the limits of global average
// pooling (which must fit one NP's single-buffered input SRAM). Reads the layer's computed
// convolution or pooling record: an unbuilt layer throws std::runtime_error.
MappingStatus check_cnp_pooling_constraints(const HardwareConstraints& constraints, const Layer& layer);

// What the register block can express: one bit tells stride 2 from stride 1, and the max
// pooling stride has a 3-bit field. Checked by the Conv2D and DepthwiseConv2D rules after the
// others.
MappingStatus check_cnp_strides(const Layer& layer);

}  // namespace nuvra::v2
