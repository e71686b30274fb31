// The first generation's rule for its input layer, InputConvolutional on the HRC.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

namespace nuvra::v1 {

// Kernel, activation bits, input channels, strides, neurons for the kernel and channels, image
// size against padding and kernel, max pooling, activation, weights not all zero, act steps (in
// sixteenths) below 2^24, a padding value of one byte and thresholds of 24 signed bits, in that
// order. The image size comes from the layer's own parameters. The status carries no layer name.
MappingStatus check_hrc_constraints(const Layer& layer);

}  // namespace nuvra::v1
