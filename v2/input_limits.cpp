#include "v2/input_limits.h"

#include "backend/mapping_status.h"
#include "v2/layer_input.h"
#include "v2/rule_text.h"

namespace nuvra::v2 {

MappingStatus check_input_and_filter_limits(const Layer& layer, int64_t max_size, int64_t max_channels,
                                            int64_t max_filters) {
  const Shape input = first_input_shape(layer);
  const int64_t width = input[0], height = input[1], channels = input[2];
  if (width > max_size) return LayerMappingError(layer, limit_message("The maximum input width is ", max_size, width));
  if (height > max_size)
    return LayerMappingError(layer, limit_message("The maximum input height is ", max_size, height));
  if (channels > max_channels)
    return LayerMappingError(layer, limit_message("The maximum input channel value is ", max_channels, channels));
  const LayerParams& params = *layer.params();
  const int64_t filters = params.has("filters") ? params.get("filters") : channels;
  if (filters > max_filters || filters < 0)
    return LayerMappingError(layer, limit_message("The maximum number of filters is ", max_filters, filters));
  return MappingSuccess();
}

}  // namespace nuvra::v2
