#include "v1/mapping_checks.h"

#include "backend/mapping_status.h"
#include "program/record.h"
#include "v1/cnp/cnp_rules.h"
#include "v1/cnp/cnp_sizes.h"
#include "v1/fnp/fnp_sizes.h"
#include "v1/layer_access.h"

#include <string>

namespace nuvra::v1 {

namespace {

constexpr uint32_t kMaxNpInputWidth = 32;
// Word 3 bits 16-23 count a CNP layer's NPs. An FNP3's image goes as one DMA block, whose data
// is what a track holds beside the block's header; word 17 bits 0-15 hold that size too.
constexpr size_t kMaxLayerNps = 0xFF;
constexpr uint32_t kMaxFnp3ImageWords = program::NpTrack::kMaxBlockWords;
static_assert(kMaxFnp3ImageWords <= 0xFFFF);
// The output packets of a run are values (type 0) off Qrix_v2 when its input packets are (a first
// layer of at most 0x3FFFF channels) and its last layer is a CNP with an activation and fewer than
// 2048 output channels; SCC register 68 then frames that output by its height times channels, in
// 20 bits.
constexpr uint32_t kMaxValueInputChannels = 0x3FFFF;
constexpr uint32_t kMaxValueOutputChannels = 2047;
constexpr uint64_t kMaxFramedValues = 0xFFFFF;

bool is_max_pooling_cnp(const Layer& layer) {
  return layer.has_category(kind_code::kCnp) && layer.has_pooling_type(PoolType::Max);
}

uint32_t window_words(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits) {
  return get_cnp_input_sram_size(get_cnp_channel_container_size(width, bits), channels, height);
}

}  // namespace

namespace {

// The height times channels of the run's output when register 68 frames it, else 0.
uint64_t framed_values(const Layer& first, const Layer& last, HwVersion version) {
  if (version == versions::Qrix_v2 || !last.has_category(kind_code::kCnp) || !last.has_activation()) return 0;
  if (first_input_shape(first)[2] > kMaxValueInputChannels) return 0;
  const Shape out = last.output_dimensions();
  if (out[2] > kMaxValueOutputChannels || (out[0] == 1 && out[1] == 1)) return 0;
  return uint64_t{out[1]} * out[2];
}

MappingStatus framing_error(const Layer& layer, uint64_t values) {
  return LayerMappingError(layer, "As the last layer of a sequence, its output height times channels can be at most " +
                                      std::to_string(kMaxFramedValues) + " (got " + std::to_string(values) + ")");
}

MappingStatus last_layer_error(const Layer& layer) {
  return LayerMappingError(layer,
                           "A convolutional or separable convolutional layer with max pooling cannot be the last "
                           "layer of a sequence");
}

bool pooled_layer_not_followed(const Layer& previous, const Layer& layer) {
  return is_max_pooling_cnp(previous) && !layer.has_category(kind_code::kCnp);
}

MappingStatus not_followed_error(const Layer& layer) {
  return LayerMappingError(layer,
                           "A convolutional or separable convolutional layer with max pooling must be followed by "
                           "another convolutional or separable convolutional layer");
}

// Remembers the first follower fault of the run (the one the whole-run walk reports).
class GrowingCheck final : public GrowingSequenceCheck {
 public:
  GrowingCheck(LayerList::const_iterator first, HwVersion version) : first_(first), next_(first), version_(version) {}
  MappingStatus extend() override {
    const Layer& layer = **next_;
    if (version_ == versions::Qrix_v2 && !fault_ && previous_ && pooled_layer_not_followed(*previous_, layer))
      fault_ = &layer;
    previous_ = &layer;
    ++next_;
    if (is_max_pooling_cnp(layer)) return last_layer_error(layer);
    if (fault_) return not_followed_error(*fault_);
    const uint64_t values = framed_values(**first_, layer, version_);
    return values > kMaxFramedValues ? framing_error(layer, values) : MappingSuccess();
  }

 private:
  LayerList::const_iterator first_, next_;
  HwVersion version_;
  const Layer* previous_ = nullptr;
  const Layer* fault_ = nullptr;
};

// What the NPs' registers record of the assignment: the number of NPs of a layer, the size of
// an FNP3's image.
MappingStatus check_recorded_counts(const Layer& layer, const std::vector<hw::Component>& components) {
  if (components.size() > kMaxLayerNps)
    return {1, "A layer can be mapped on at most " + std::to_string(kMaxLayerNps) + " NPs (got " +
                   std::to_string(components.size()) + ")"};
  if (!components.empty() && components.front().type == hw::Type::FNP3 && !is_fnp3_image_recordable(layer))
    return {1, "The maximum FNP3 memory image is " + std::to_string(kMaxFnp3ImageWords) + " words (got " +
                   std::to_string(get_fnp_sram_size(layer)) + ")"};
  return MappingSuccess();
}

}  // namespace

MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last, HwVersion version) {
  if (first == last) return {1, "Empty layer sequence"};
  const Layer& final_layer = **(last - 1);
  if (is_max_pooling_cnp(final_layer)) return last_layer_error(final_layer);
  if (version == versions::Qrix_v2)
    for (auto it = first + 1; it < last; ++it)
      if (pooled_layer_not_followed(**(it - 1), **it)) return not_followed_error(**it);
  const uint64_t values = framed_values(**first, final_layer, version);
  return values > kMaxFramedValues ? framing_error(final_layer, values) : MappingSuccess();
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
  if (status.ok()) status = check_recorded_counts(layer, components);
  return status.ok() ? MappingSuccess() : LayerMappingError(layer, status.message);
}

MappingStatus check_spatial_split(const Layer& layer) {
  MappingStatus status = MappingSuccess();
  switch (layer_type_of(layer)) {
    case LayerType::Convolutional: status = check_std_cnp_spatial_split(*layer.params()); break;
    case LayerType::SeparableConvolutional: status = check_sep_cnp_spatial_split(*layer.params()); break;
    default: break;
  }
  return status.ok() ? MappingSuccess() : LayerMappingError(layer, status.message);
}

bool is_sram_input_fit_single_buffer(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits) {
  return window_words(height, width, channels, bits) <= kInputSramSingleBufferWords;
}

bool is_sram_input_fit_dual_buffer(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits) {
  return window_words(height, width, channels, bits) <= kInputSramDualBufferWords;
}

bool is_fnp3_image_recordable(const Layer& layer) { return get_fnp_sram_size(layer) <= kMaxFnp3ImageWords; }

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
