#include "v2/tnp_vit/tnp_r_rules.h"

#include "backend/mapping_status.h"
#include "v2/layer_input.h"

#include <cstdint>
#include <set>
#include <string>

namespace nuvra::v2 {

namespace {

constexpr uint32_t kMaxChannels = 256;

}  // namespace

MappingStatus check_tnp_r_constraints(const Layer& layer) {
  if (layer.input_bits() != 16) return LayerMappingError(layer, "Input should be 16-bit.");

  const Shape input = first_input_shape(layer);
  if (input[1] != 1)
    return LayerMappingError(layer, "The maximum input time is 1 (got " + std::to_string(input[1]) + ")");
  if (input[2] > kMaxChannels)
    return LayerMappingError(layer, "The maximum input channel value is " + std::to_string(kMaxChannels) + " (got " +
                                        std::to_string(input[2]) + ")");

  // Compared as unsigned 32-bit values, so a negative count is out of range too.
  const LayerParams& params = *layer.params();
  if (static_cast<uint32_t>(params.get("stateful_channels")) > kMaxChannels)
    return LayerMappingError(layer, "Stateful channels exceeds max limit of " + std::to_string(kMaxChannels) +
                                        " for TNP-R.");
  if (static_cast<uint32_t>(params.get("out_channels")) > kMaxChannels)
    return LayerMappingError(layer, "Output channels exceeds max limit of " + std::to_string(kMaxChannels) +
                                        " for TNP-R.");
  const std::set<uint32_t> ratios{1, 4, 16, 32, 64, 128};
  if (!ratios.contains(static_cast<uint32_t>(params.get("subsample_ratio"))))
    return LayerMappingError(layer, "Subsample_ratio must be one of [1, 4, 16, 32, 64, 128].");
  return MappingSuccess();
}

}  // namespace nuvra::v2
