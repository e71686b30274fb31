#include "v1/mapping_checks.h"

#include "backend/mapping_status.h"
#include "v1/cnp/cnp_rules.h"
#include "v1/cnp/cnp_sizes.h"
#include "v1/layer_access.h"

#include <string>

namespace nuvra::v1 {

namespace {

constexpr int kKindCnp = 2;
constexpr uint32_t kMaxNpInputWidth = 32;

bool is_max_pooling_cnp(const Layer& layer) {
  return layer.has_category(kKindCnp) && layer.has_pooling_type(PoolType::Max);
}

uint32_t window_words(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits) {
  return get_cnp_input_sram_size(get_cnp_channel_container_size(width, bits), channels, height);
}

}  // namespace

namespace {

MappingStatus last_layer_error(const Layer& layer) {
  return LayerMappingError(layer,
                           "A convolutional or separable convolutional layer with max pooling cannot be the last "
                           "layer of a sequence");
}

bool pooled_layer_not_followed(const Layer& previous, const Layer& layer) {
  return is_max_pooling_cnp(previous) && !layer.has_category(kKindCnp);
}

MappingStatus not_followed_error(const Layer& layer) {
  return LayerMappingError(layer,
                           "A convolutional or separable convolutional layer with max pooling must be followed by "
                           "another convolutional or separable convolutional layer");
}

// Remembers the first follower fault of the run (the one the whole-run walk reports).
class GrowingCheck final : public GrowingSequenceCheck {
 public:
  GrowingCheck(LayerList::const_iterator first, HwVersion version) : next_(first), version_(version) {}
  MappingStatus extend() override {
    const Layer& layer = **next_;
    if (version_ == versions::Qrix_v2 && !fault_ && previous_ && pooled_layer_not_followed(*previous_, layer))
      fault_ = &layer;
    previous_ = &layer;
    ++next_;
    if (is_max_pooling_cnp(layer)) return last_layer_error(layer);
    return fault_ ? not_followed_error(*fault_) : MappingSuccess();
  }

 private:
  LayerList::const_iterator next_;
  HwVersion version_;
  const Layer* previous_ = nullptr;
  const Layer* fault_ = nullptr;
};

}  // namespace

MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last, HwVersion version) {
  if (first == last) return {1, "Empty layer sequence"};
  const Layer& final_layer = **(last - 1);
  if (is_max_pooling_cnp(final_layer)) return last_layer_error(final_layer);
  if (version == versions::Qrix_v2)
    for (auto it = first + 1; it < last; ++it)
      if (pooled_layer_not_followed(**(it - 1), **it)) return not_followed_error(**it);
  return MappingSuccess();
}

std::unique_ptr<GrowingSequenceCheck> check_growing_sequence(LayerList::const_iterator first, HwVersion version) {
  return std::make_unique<GrowingCheck>(first, version);
}

MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                   HwVersion version) {
  MappingStatus status = MappingSuccess();
  switch (layer_type_of(layer)) {
    case LayerType::Convolutional: status = check_std_cnp_mappings(layer, components, version); break;
    case LayerType::SeparableConvolutional: status = check_sep_cnp_mappings(layer, components); break;
    case LayerType::InputConvolutional:
    case LayerType::FullyConnected: break;
    default: status = {1, "Unknown Layer type"};
  }
  if (status.ok()) {
    // Every CNP part is looked at; the last one too wide gives the message.
    for (const hw::Component& c : components) {
      if (c.type != hw::Type::CNP1 && c.type != hw::Type::CNP2) continue;
      const uint64_t width = c.split ? (uint64_t{c.split->spatial_partition.shape[0]} + 3) / 4 * 4 : 0;
      if (width > kMaxNpInputWidth)
        status = {1, std::to_string(width) +
                         " exceeds the maximum value for NP input width: " + std::to_string(kMaxNpInputWidth)};
    }
  }
  return status.ok() ? MappingSuccess() : LayerMappingError(layer, status.message);
}

bool is_sram_input_fit_single_buffer(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits) {
  return window_words(height, width, channels, bits) <= kInputSramSingleBufferWords;
}

bool is_sram_input_fit_dual_buffer(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits) {
  return window_words(height, width, channels, bits) <= kInputSramDualBufferWords;
}

NpSplitParams np_split_params(const LayerParams& params) {
  const auto value = [&](const char* key) { return static_cast<uint32_t>(params.get(key)); };
  const auto half = [&](const char* key) { return static_cast<uint32_t>(params.get(key) / 2); };
  NpSplitParams sp;
  sp.border_left = sp.border_right = half("kernel_width");
  sp.border_top = sp.border_bottom = half("kernel_height");
  sp.pool_type = value("pool_type");
  sp.pool_width = value("pooling_width");
  sp.pool_height = value("pooling_height");
  sp.filters = value("filters");
  return sp;
}

}  // namespace nuvra::v1
