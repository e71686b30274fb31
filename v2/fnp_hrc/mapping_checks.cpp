#include "v2/fnp_hrc/mapping_checks.h"

#include "backend/layer_split.h"
#include "backend/layer_views.h"
#include "backend/mapping_status.h"
#include "program/record.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/fnp_hrc/fnp_sizes.h"
#include "v2/layer_input.h"
#include "v2/np_register_limits.h"
#include "v2/size_math.h"
#include "v2/tnp_vit/tnp_b_sizes.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {

namespace {

constexpr uint64_t kMaxNpInputWidth = 64;
constexpr uint64_t kMaxChannelContainer = 0x3FFFF;

bool is_cnp(hw::Type type) { return type == hw::Type::CNP1 || type == hw::Type::CNP2; }

// 32-bit words of an input window.
wide input_sram_words(hw::Type type, wide height, wide width, wide channels, wide fifo_size, wide bits) {
  if (is_cnp(type)) {
    const wide row_bytes = ((bits * width + 7) / 8 + 3) / 4 * 4;
    return (row_bytes * channels * 8 + 31) / 32 * height;
  }
  if (type == hw::Type::TNP_B) {
    // A frame takes whole blocks of 64 words; the SRAM holds fifo_size + 1 of them.
    wide frame_words = ((channels + 3) / 4 * 4 * height * width * bits + 31) / 32;
    // Far past any SRAM already; the cap keeps the FIFO product within 128 bits.
    if (frame_words > kU32Max) frame_words = kU32Max;
    return (frame_words + 63) / 64 * 64 * (fifo_size + 1);
  }
  throw std::runtime_error("Type of NP not supported.");
}

bool input_fits(uint32_t capacity, hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                uint32_t fifo_size, uint8_t bits, uint32_t taken) {
  const wide size = input_sram_words(type, height, width, channels, fifo_size, bits);
  // A reserve larger than the SRAM leaves no room at all.
  if (taken > capacity) return false;
  return capacity - taken >= size;
}

uint32_t kernel_size_of(const Layer& layer) { return static_cast<uint32_t>(layer.params()->get("kernel_size")); }
uint32_t fifo_size_of(const Layer& layer) { return static_cast<uint32_t>(layer.params()->get("fifo_size")); }

MappingStatus check_fnp3_image(const Layer& layer, const std::vector<hw::Component>& components) {
  const bool fnp3 = std::any_of(components.begin(), components.end(),
                                [](const hw::Component& c) { return c.type == hw::Type::FNP3; });
  if (!fnp3 || is_fnp3_image_recordable(layer)) return MappingSuccess();
  return LayerMappingError(layer, "The maximum FNP3 memory image is " +
                                      std::to_string(program::NpTrack::kMaxBlockWords) + " words (got " +
                                      std::to_string(get_fnp_sram_size(layer)) + ")");
}

}  // namespace

MappingStatus check_spatial_split(const Layer& layer) {
  const LayerType type = layer.params()->layer_type();
  if (type != LayerType::Conv2D && type != LayerType::DepthwiseConv2D) return MappingSuccess();
  const LayerParams& params = *layer.params();
  const int pool_type = params.has("pool_type") ? params.get("pool_type") : 0;
  if (pool_type == static_cast<int>(PoolType::NoPooling)) return MappingSuccess();
  if (pool_type == static_cast<int>(PoolType::Average))
    return LayerMappingError(layer, "When using Global Average Pooling, spatial split is impossible");
  const HasPoolParams* view = pool_view(layer);
  const PoolingCalculatedParams* pool = view ? view->pool_params() : nullptr;
  if (!pool) throw std::runtime_error("The layer " + layer.get_name() + " is not built");
  const int size = params.get("pool_size");
  if (size > pool->stride_x || size > pool->stride_y)
    return LayerMappingError(layer,
                             "Cannot have pooling size > pooling stride if the layer is mapped spatially on multiple NPs");
  return MappingSuccess();
}

MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components) {
  if (is_split_spatially(components))
    if (MappingStatus status = check_spatial_split(layer); !status.ok()) return status;
  for (const hw::Component& component : components) {
    if (!is_cnp(component.type)) continue;
    const uint64_t width = component.split ? component.split->spatial_partition.shape[0] : 0;
    const uint64_t rounded = round_up(width, 4);
    if (rounded > kMaxNpInputWidth)
      return {1, std::to_string(rounded) + " exceeds the maximum value for NP input width: " +
                     std::to_string(kMaxNpInputWidth)};
  }
  if (MappingStatus status = check_fnp3_image(layer, components); !status.ok()) return status;
  return check_np_register_limits(layer, components);
}

bool is_sram_input_fit_single_buffer(const HardwareConstraints& constraints, hw::Type type, uint32_t height,
                                     uint32_t width, uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                     uint32_t taken) {
  return input_fits(constraints.input_sram_single_buffer_size, type, height, width, channels, fifo_size, bits,
                    taken);
}

bool is_sram_input_fit_dual_buffer(const HardwareConstraints& constraints, hw::Type type, uint32_t height,
                                   uint32_t width, uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                   uint32_t taken) {
  return input_fits(constraints.input_sram_dual_buffer_size, type, height, width, channels, fifo_size, bits,
                    taken);
}

uint32_t get_weights_100b_size(const Layer& layer, uint32_t filters) {
  switch (layer.params()->layer_type()) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
      return mul_sat(conv2d_ch_cont_100b_size(kernel_size_of(layer), filters), first_input_shape(layer)[2]);
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
      return dwc_ch_cont_100b_size(kernel_size_of(layer), filters);
    case LayerType::BufferTempConv:
      return buffer_temp_conv_tnp_formatted_weight_100b_size(fifo_size_of(layer), filters,
                                                             first_input_shape(layer)[2]);
    case LayerType::DepthwiseBufferTempConv:
      return depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(fifo_size_of(layer), filters);
    default: throw std::invalid_argument("Unexpected layer type for CNP or TNP-B.");
  }
}

uint32_t weight_image_words(const Layer& layer, uint32_t filters) {
  switch (layer.params()->layer_type()) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
      return conv2d_cnp_formatted_weight_32b_size(kernel_size_of(layer), filters, first_input_shape(layer)[2]);
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose: return dwc_cnp_formatted_weight_32b_size(kernel_size_of(layer), filters);
    case LayerType::BufferTempConv:
      return tnp_b_buffer_temp_conv_formatted_weight_32b_size(
          filters, mul_sat(fifo_size_of(layer), first_input_shape(layer)[2]));
    case LayerType::DepthwiseBufferTempConv:
      return depthwise_buffer_temp_conv_formatted_weight_32b_size(fifo_size_of(layer), filters);
    default: throw std::invalid_argument("Unexpected layer type for CNP or TNP-B.");
  }
}

bool is_weights_size_fit_np(const HardwareConstraints& constraints, const Layer& layer, uint32_t filters) {
  const uint32_t total = get_weights_100b_size(layer, filters);
  // The NP's weights travel as one DMA block.
  if (weight_image_words(layer, filters) > program::NpTrack::kMaxBlockWords) return false;
  uint32_t container = 0;
  switch (layer.params()->layer_type()) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose: container = conv2d_ch_cont_100b_size(kernel_size_of(layer), filters); break;
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose: container = total; break;
    case LayerType::BufferTempConv: container = buffer_temp_conv_ch_cont_100b_size(filters); break;
    default: break;  // a depthwise TNP-B container has no size field
  }
  if (container > kMaxChannelContainer) return false;
  return total <= constraints.np_weight_memory_size;
}

NpSplitParams np_split_params(hw::Type type, const LayerParams& params) {
  auto value_or_zero = [&](const char* key) { return params.has(key) ? static_cast<uint32_t>(params.get(key)) : 0u; };
  const uint32_t filters = value_or_zero("filters");
  const uint32_t pool_type = value_or_zero("pool_type");
  const uint32_t pool_size = value_or_zero("pool_size");
  // A TNP-B convolves over time only, so its spatial windows need no border.
  const uint32_t border = type == hw::Type::TNP_B ? 0u : static_cast<uint32_t>(params.get("kernel_size") / 2);
  return {border, border, border, border, pool_type, pool_size, pool_size, filters};
}

bool check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) {
  return constraints.fnp3_sram_size >= get_fnp_sram_size(layer);
}

// The image is sized as the FNP3 fit sizes it: for the input laid out as when the layer does not
// open its sequence, never less than the flat layout.
bool is_fnp3_image_recordable(const Layer& layer) {
  return layer.params()->layer_type() != LayerType::Dense1D || get_fnp_sram_size(layer) <= program::NpTrack::kMaxBlockWords;
}

}  // namespace nuvra::v2
