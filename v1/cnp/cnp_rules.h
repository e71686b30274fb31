// The first generation's rules for the layers that run on CNPs: Convolutional (standard CNP)
// and SeparableConvolutional (depthwise then pointwise). Statuses carry no layer name; the
// checker adds it.
#pragma once

#include "backend/hardware_constraints.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/types.h>

#include <cstdint>
#include <vector>

namespace nuvra::v1 {

// Input size, filters, kernel, strides, padding and pooling, shared by both kinds. `conv` and
// `pool` are the records the engine computes when it builds the layer.
MappingStatus check_cnp_conv_pool_params(uint8_t input_bits, const Shape& input, const LayerParams& params,
                                         const ConvParams& conv, const PoolingCalculatedParams& pool,
                                         HwVersion version);

// The shared rule, then kernel 1, 3, 5 or 7, 1-, 2- or 4-bit weights, one filter fitting an NP,
// 1-, 2- or 4-bit inputs and (with an activation) act bits, and the threshold words: every act
// step and (with an activation) every threshold (check_threshold_fields). A layer that is not a
// Convolutional throws std::bad_cast; one the engine has not built throws std::runtime_error
// "The layer <name> is not built".
MappingStatus check_std_cnp_constraints(const HardwareConstraints& constraints, const Layer& layer, HwVersion version);

// The shared rule, then kernel 3, 5 or 7, 2- or 4-bit weights, no global average pooling of a 1x1
// input, one filter fitting an NP, neither weight tensor all zero, and the bit widths and
// threshold words of the standard kind. Throws as above.
MappingStatus check_sep_cnp_constraints(const HardwareConstraints& constraints, const Layer& layer, HwVersion version);

// With max pooling over a spatial split, the pooling size may not exceed its stride.
MappingStatus check_split_pooling_constraints(const LayerParams& params, const std::vector<hw::Component>& components);

// Global average pooling averages what one NP holds, so it cannot be split spatially.
MappingStatus check_split_average_pooling_constraints(const LayerParams& params,
                                                      const std::vector<hw::Component>& components);

// What any spatial split of a Convolutional breaks: a strided convolution with max pooling, then
// the split pooling rules. A SeparableConvolutional: the split pooling rules.
MappingStatus check_std_cnp_spatial_split(const LayerParams& params);
MappingStatus check_sep_cnp_spatial_split(const LayerParams& params);

// When the layer is split spatially, check_std_cnp_spatial_split; on Qrix_v2 a one-channel layer
// of 17 or more filters needs an even number of 8-filter groups on every NP.
MappingStatus check_std_cnp_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     HwVersion version);
// When the layer is split spatially, check_sep_cnp_spatial_split.
MappingStatus check_sep_cnp_mappings(const Layer& layer, const std::vector<hw::Component>& components);

}  // namespace nuvra::v1
