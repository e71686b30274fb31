// The input-size and filter limits shared by the CNP and TNP-B rules.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>

namespace nuvra::v2 {

// Input width and height at most `max_size`, channels at most `max_channels`, and "filters" (the
// channel count when absent) in [0, max_filters], tested in that order.
MappingStatus check_input_and_filter_limits(const Layer& layer, int64_t max_size, int64_t max_channels,
                                            int64_t max_filters);

}  // namespace nuvra::v2
