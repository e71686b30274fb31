#include "v1/cnp/cnp_rules.h"

#include "backend/layer_split.h"
#include "backend/mapping_status.h"
#include "program/record.h"
#include "v1/cnp/cnp_sizes.h"
#include "v1/layer_access.h"
#include "v1/layer_rules.h"
#include "v1/threshold_fields.h"

#include <nuvra/layers.h>
#include <nuvra/variables.h>

#include <stdexcept>
#include <string>

namespace nuvra::v1 {

namespace {

constexpr int64_t kMaxFilters = 2048;
constexpr uint32_t kGapMaxInputWidth = 32;
constexpr uint32_t kGapMinConvRows = 3;
// Global average pooling reads the whole input from one NP's single-buffered input SRAM.
constexpr uint32_t kSingleBufferWords = 10752;
const char* const kAverageSplitImpossible = "With average pooling, spatial split is impossible";

MappingStatus check_max_pooling(const Shape& input, const LayerParams& params, const PoolingCalculatedParams& pool,
                                HwVersion version) {
  const int p = params.get("pooling_width");
  if (p < 1 || p > 3) return MappingFailure("Pooling size must be 1, 2 or 3");
  if (p == 3 && version == versions::Qrix_v2) return MappingFailure("Pooling size 3 is not supported on Qrix_v2");
  if (params.get("pooling_height") != p) return MappingFailure("Pooling width and height must be equal");
  if (pool.stride_x != pool.stride_y) return MappingFailure("Pooling stride x and y must be equal");
  if (pool.stride_x > p) return MappingFailure("Pooling stride must be equal or lower than pooling size");
  if (input[0] < static_cast<uint32_t>(p) || input[1] < static_cast<uint32_t>(p))
    return MappingFailure("Pooling size cannot be greater than input dimensions");
  return MappingSuccess();
}

MappingStatus check_global_average_pooling(uint8_t bits, const Shape& input, const LayerParams& params,
                                           const ConvParams& conv) {
  if (params.get("pooling_width") != -1) return MappingFailure("Average pooling must be global");
  if (input[0] > kGapMaxInputWidth)
    return MappingFailure("With average pooling, input width cannot exceed " + std::to_string(kGapMaxInputWidth));
  if (conv.out_height < kGapMinConvRows)
    return MappingFailure(
        "When using Global Average Pooling, the output of the convolution must have at least 3 rows (currently " +
        std::to_string(conv.out_height) + ")");
  if (get_cnp_input_sram_size(get_cnp_channel_container_size(input[0], bits), input[2], input[1]) > kSingleBufferWords)
    return MappingFailure(kAverageSplitImpossible);
  return MappingSuccess();
}

// The records the engine computes when it builds the layer; the mapping engine only checks
// built layers, so a missing one is a caller error rather than a broken rule.
template <class View>
std::pair<const ConvParams*, const PoolingCalculatedParams*> built_records(const Layer& layer) {
  const auto& view = dynamic_cast<const View&>(layer);
  const ConvParams* conv = view.conv_params();
  const PoolingCalculatedParams* pool = view.pool_params();
  if (!conv || !pool) throw std::runtime_error("The layer " + layer.get_name() + " is not built");
  return {conv, pool};
}

const char* const kFilterTooBig =
    "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth";

// One filter must fit the weight memory (the rule's own message first) and its weight images one
// DMA block each (reached with a weight SRAM larger than the default).
MappingStatus check_one_filter_fits(const HardwareConstraints& constraints, const Layer& layer) {
  if (!check_weights_fit_memory(constraints, layer, 1)) return MappingFailure(kFilterTooBig);
  const uint32_t words = largest_weight_block(layer, 1);
  if (words > program::NpTrack::kMaxBlockWords)
    return MappingFailure("The maximum weight image of an NP, in 32-bit words, is " +
                          std::to_string(program::NpTrack::kMaxBlockWords) + " (got " + std::to_string(words) +
                          " for one filter)");
  return MappingSuccess();
}

bool one_two_or_four(int bits) { return bits == 1 || bits == 2 || bits == 4; }

// Word 3 codes the input bits and the act bits in two bits each (1, 2 or 4 bits); the
// FullyConnected rules bound both, and a CNP takes them in the same words, after its own rules.
MappingStatus check_cnp_bit_widths(uint8_t input_bits, const LayerParams& params) {
  if (!one_two_or_four(input_bits)) return MappingFailure("Input bitwidth should be 1, 2 or 4.");
  if (params.get("activation") != 0 && !one_two_or_four(params.get("act_bits")))
    return MappingFailure("act_bits should be 1, 2 or 4.");
  return MappingSuccess();
}

// A CNP's threshold words take every filter's act step, and its threshold with an activation.
MappingStatus check_threshold_words(const Layer& layer) {
  return check_threshold_fields(layer, kNpThresholdBits, layer.params()->get("activation") != 0, true);
}

// Max pooling windows wider than their stride overlap, so no part holds each whole.
MappingStatus split_pooling_rule(const LayerParams& params) {
  if (params.get("pool_type") != static_cast<int>(PoolType::Max)) return MappingSuccess();
  // A negative stride is the engine's "same as the pooling size".
  const int width = params.get("pooling_width"), height = params.get("pooling_height");
  const int stride_x = params.get("pooling_stride_x"), stride_y = params.get("pooling_stride_y");
  if (width > (stride_x < 0 ? width : stride_x) || height > (stride_y < 0 ? height : stride_y))
    return MappingFailure("Cannot have pooling size > pooling stride if the layer is mapped spatially on multiple NPs");
  return MappingSuccess();
}

MappingStatus split_average_rule(const LayerParams& params) {
  if (params.get("pool_type") == static_cast<int>(PoolType::Average)) return MappingFailure(kAverageSplitImpossible);
  return MappingSuccess();
}

}  // namespace

MappingStatus check_cnp_conv_pool_params(uint8_t input_bits, const Shape& input, const LayerParams& params,
                                         const ConvParams& conv, const PoolingCalculatedParams& pool,
                                         HwVersion version) {
  if (MappingStatus status = check_input_dimensions(input); !status.ok()) return status;
  const int filters = params.get("filters");
  if (static_cast<uint32_t>(filters) > kMaxFilters)
    return MappingFailure("The maximum number of filters is " + std::to_string(kMaxFilters) + " (got " +
                          std::to_string(filters) + ")");
  const int kernel = params.get("kernel_width");
  const int stride = params.get("stride_x");
  if (kernel != params.get("kernel_height")) return MappingFailure("Kernel width and height must be equal");
  if (stride != params.get("stride_y")) return MappingFailure("Horizontal and vertical strides must be equal");
  if (stride != 1 && stride != 2) return MappingFailure("Convolution stride must be 1 or 2");
  if (stride == 2 && kernel != 3) return MappingFailure("Convolution stride 2 is only supported for 3x3 kernels.");
  if (params.get("padding") != static_cast<int>(Padding::Same)) return MappingFailure("Only padding same is supported");
  switch (static_cast<PoolType>(params.get("pool_type"))) {
    case PoolType::Max: return check_max_pooling(input, params, pool, version);
    case PoolType::Average: return check_global_average_pooling(input_bits, input, params, conv);
    default: return MappingSuccess();
  }
}

MappingStatus check_std_cnp_constraints(const HardwareConstraints& constraints, const Layer& layer, HwVersion version) {
  const uint8_t bits = layer.input_bits();
  const Shape input = first_input_shape(layer);
  const auto [conv, pool] = built_records<Convolutional>(layer);
  const LayerParams& params = *layer.params();
  if (MappingStatus s = check_cnp_conv_pool_params(bits, input, params, *conv, *pool, version); !s.ok()) return s;
  const int kernel = params.get("kernel_width");
  if (kernel != 1 && kernel != 3 && kernel != 5 && kernel != 7)
    return MappingFailure("Kernel size must be 1, 3, 5 or 7");
  const int weight_bits = params.get("weights_bits");
  if (weight_bits != 1 && weight_bits != 2 && weight_bits != 4)
    return MappingFailure("Standard CNP weights bitwidth must be 1, 2 or 4");
  if (MappingStatus s = check_one_filter_fits(constraints, layer); !s.ok()) return s;
  if (MappingStatus s = check_cnp_bit_widths(bits, params); !s.ok()) return s;
  return check_threshold_words(layer);
}

MappingStatus check_sep_cnp_constraints(const HardwareConstraints& constraints, const Layer& layer, HwVersion version) {
  const uint8_t bits = layer.input_bits();
  const Shape input = first_input_shape(layer);
  (void)dynamic_cast<const SeparableConvolutional&>(layer);
  const LayerParams& params = *layer.params();
  const auto depthwise = layer.variables()->get("weights");
  const auto pointwise = layer.variables()->get("weights_pw");
  const auto [conv, pool] = built_records<SeparableConvolutional>(layer);
  if (MappingStatus s = check_cnp_conv_pool_params(bits, input, params, *conv, *pool, version); !s.ok()) return s;
  const int kernel = params.get("kernel_width");
  if (kernel != 3 && kernel != 5 && kernel != 7) return MappingFailure("Kernel size must be 3, 5 or 7");
  const int weight_bits = params.get("weights_bits");
  if (weight_bits != 2 && weight_bits != 4) return MappingFailure("Separable CNP weights bitwidth must be 2 or 4");
  if (params.get("pool_type") == static_cast<int>(PoolType::Average) && input[0] == 1 && input[1] == 1)
    return MappingFailure("Separable CNP with Global Average Pooling does not support 1x1 inputs");
  if (MappingStatus s = check_one_filter_fits(constraints, layer); !s.ok()) return s;
  if (all_zero(*depthwise) || all_zero(*pointwise))
    return MappingFailure("All weights in a separable cnp layer cannot be zeroes.");
  if (MappingStatus s = check_cnp_bit_widths(bits, params); !s.ok()) return s;
  return check_threshold_words(layer);
}

MappingStatus check_split_pooling_constraints(const LayerParams& params, const std::vector<hw::Component>& components) {
  return is_split_spatially(components) ? split_pooling_rule(params) : MappingSuccess();
}

MappingStatus check_split_average_pooling_constraints(const LayerParams& params,
                                                      const std::vector<hw::Component>& components) {
  return is_split_spatially(components) ? split_average_rule(params) : MappingSuccess();
}

MappingStatus check_std_cnp_spatial_split(const LayerParams& params) {
  const bool strided = params.get("stride_x") >= 2 || params.get("stride_y") >= 2;
  if (strided && params.get("pool_type") == static_cast<int>(PoolType::Max))
    return MappingFailure("Cannot have convolution stride > 1 and max pooling if the layer is mapped on multiple NPs");
  if (MappingStatus status = split_pooling_rule(params); !status.ok()) return status;
  return split_average_rule(params);
}

MappingStatus check_sep_cnp_spatial_split(const LayerParams& params) {
  if (MappingStatus status = split_pooling_rule(params); !status.ok()) return status;
  return split_average_rule(params);
}

MappingStatus check_std_cnp_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     HwVersion version) {
  const LayerParams& params = *layer.params();
  if (is_split_spatially(components))
    if (MappingStatus status = check_std_cnp_spatial_split(params); !status.ok()) return status;
  if (version == versions::Qrix_v2 && first_input_shape(layer)[2] == 1 && params.get("filters") >= 17) {
    for (const hw::Component& c : components) {
      const uint32_t filters = c.split ? c.split->filters : 0;
      if (((uint64_t{filters} + 7) / 8) % 2 != 0)
        return MappingFailure("With one input channel, the number of neurons per NP / 8 must be even");
    }
  }
  return MappingSuccess();
}

MappingStatus check_sep_cnp_mappings(const Layer& layer, const std::vector<hw::Component>& components) {
  return is_split_spatially(components) ? check_sep_cnp_spatial_split(*layer.params()) : MappingSuccess();
}

}  // namespace nuvra::v1
