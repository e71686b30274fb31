#include "v2/fnp_hrc/compatibility_checker.h"

#include "backend/layer_views.h"
#include "backend/mapping_status.h"
#include "backend/skip_connections.h"
#include "v2/cnp/cnp_rules.h"
#include "v2/fnp_hrc/fnp_sizes.h"
#include "v2/fnp_hrc/hrc_rules.h"
#include "v2/fnp_hrc/mapping_checks.h"
#include "v2/fnp_hrc/sequence_rules.h"
#include "v2/layer_input.h"
#include "v2/layer_type.h"
#include "v2/np_register_limits.h"
#include "v2/rule_text.h"
#include "v2/tnp_vit/tnp_b_rules.h"
#include "v2/tnp_vit/tnp_r_rules.h"
#include "v2/tnp_vit/vit_rules.h"

#include <nuvra/functions.h>
#include <nuvra/tensor.h>

#include <cstdint>
#include <string>
#include <typeinfo>

namespace nuvra::v2 {

namespace {

// Largest widths of the shift variables, in the order they are checked.
struct VariableWidth {
  const char* name;
  int bits;
};
constexpr VariableWidth kVariableWidths[] = {
    {"input_shift", 3},
    {"max_value_shift", 5},
    {"output_shift", 6},
    {"bias_shift", 5},
};

// The Stem's token and position-embedding shifts fill 5-bit fields of the HRC images.
constexpr int kStemShiftBits = 5;

// Dense1D register fields: output width codes for 4 and 8 to 32 bits, a 16-bit neuron count.
constexpr uint32_t kFnpMaxOutputBits = 32;
constexpr int kFnpMinWeightBits = 2;
constexpr int kFnpMaxWeightBits = 8;
constexpr uint64_t kFnpMaxNeurons = 0xFFFF;
// Word 10 holds a spatial input's width and height in 11 bits each.
constexpr int64_t kFnpMaxSpatialSide = 0x7FF;

std::string activation_name(int activation) {
  switch (activation) {
    case 0: return "NoActivation";
    case 1: return "ReLU";
    case 2: return "LUT";
    default: return "Unknown";
  }
}

// What the Dense1D recorder cannot program although the FNP rule lets it through.
MappingStatus check_fnp_recordable(const Layer& layer) {
  const uint32_t output_bits = layer.output_bits();
  if (output_bits != 4 && (output_bits < 8 || output_bits > kFnpMaxOutputBits))
    return LayerMappingError(layer, "Output bitwidth should be 4 or between 8 and 32 (got " +
                                        std::to_string(output_bits) + ")");
  // The FNP memory is sized in the input's own layout: an input that no layout holds would make
  // the mapping throw "Unsupported padding." long after this check.
  const Shape input = fnp_input_shape(layer, false);
  if (choose_fnp_input_mode(layer, input, false) == FnpInputMode::none) {
    if (is_spatial_fnp_input(layer, false))
      return LayerMappingError(layer, "Input dimensions are too large to fit in a FNP. The maximum value is 2048.");
    return LayerMappingError(layer, "An input of " + std::to_string(input[0]) + "x" + std::to_string(input[1]) + "x" +
                                        std::to_string(input[2]) +
                                        " that does not come from an input, CNP or TNP-B layer must be flat (1x1xN) "
                                        "to fit in a FNP.");
  }
  const Variables& vars = *layer.variables();
  if (!vars.has("weights")) return MappingSuccess();
  const auto weights = vars.get("weights");
  const int weight_bits = evaluate_bitwidth(*weights);
  if (weight_bits < kFnpMinWeightBits || weight_bits > kFnpMaxWeightBits)
    return LayerMappingError(layer, "Weights should use between 2 and 8 bits (got " + std::to_string(weight_bits) + ")");
  const uint64_t neurons = weights->shape()[1];
  if (neurons > kFnpMaxNeurons)
    return LayerMappingError(layer, "The maximum number of units is " + std::to_string(kFnpMaxNeurons) + " (got " +
                                        std::to_string(neurons) + ")");
  return MappingSuccess();
}

// A spatial input keeps its width and height in the register block, unless the layer opens its
// sequence (no `previous`): then it is read flat, 1 x 1 x N.
MappingStatus check_fnp_sides(const Layer& layer, const std::shared_ptr<Layer>& previous) {
  if (!previous || !is_spatial_fnp_input(layer, false)) return MappingSuccess();
  const Shape input = fnp_input_shape(layer, false);
  if (input[0] > kFnpMaxSpatialSide)
    return LayerMappingError(layer, limit_message("The maximum input width is ", kFnpMaxSpatialSide, input[0]));
  if (input[1] > kFnpMaxSpatialSide)
    return LayerMappingError(layer, limit_message("The maximum input height is ", kFnpMaxSpatialSide, input[1]));
  return MappingSuccess();
}

// What the Stem recorder cannot program although the Stem rule lets it through.
MappingStatus check_stem_recordable(const Layer& layer) {
  for (const char* name : {"tokens_shift", "pos_embs_shift"}) {
    MappingStatus status = check_variable_unsigned_bits(layer, kStemShiftBits, name);
    if (status.code != 0) return status;
  }
  return MappingSuccess();
}

// What the InputConv2D recorder cannot program although the InputConv2D rule lets it through: the
// HRC reads 1 or 3 channels and pools by max only.
MappingStatus check_input_conv2d_recordable(const Layer& layer) {
  const uint32_t channels = first_input_shape(layer)[2];
  if (channels != 1 && channels != 3)
    return LayerMappingError(layer, "input_channels should be 1 or 3 (got " + std::to_string(channels) + ")");
  const int pool_type = layer.params()->get("pool_type");
  if (pool_type != static_cast<int>(PoolType::NoPooling) && pool_type != static_cast<int>(PoolType::Max))
    return LayerMappingError(layer, "pool_type should be 0 (NoPooling) or 1 (Max) (got " + std::to_string(pool_type) +
                                        ")");
  return MappingSuccess();
}

// `next` runs only when `status` is a success.
MappingStatus and_then(MappingStatus status, MappingStatus (*next)(const Layer&), const Layer& layer) {
  return status.code != 0 ? status : next(layer);
}

MappingStatus check_layer_kind(const HardwareConstraints& constraints, const Layer& layer,
                               const std::shared_ptr<Layer>& previous) {
  switch (layer_type_of(layer)) {
    case LayerType::Add: return check_add_shift(layer);
    case LayerType::Stem: return and_then(check_stem_constraints(layer), check_stem_recordable, layer);
    case LayerType::Concatenate: return MappingSuccess();
    case LayerType::Conv2D: return check_conv2d_constraints(constraints, layer);
    case LayerType::InputConv2D:
      return and_then(check_input_conv2d_constraints(layer), check_input_conv2d_recordable, layer);
    case LayerType::DepthwiseConv2D: return check_dwconv2d_constraints(constraints, layer);
    case LayerType::Conv2DTranspose: return check_conv2dtranspose_constraints(constraints, layer);
    case LayerType::Dequantizer: return MappingSuccess();
    case LayerType::DepthwiseConv2DTranspose: return check_dwconv2dtranspose_constraints(layer);
    case LayerType::BufferTempConv: return check_buffer_temp_conv_constraints(layer);
    case LayerType::DepthwiseBufferTempConv: return check_depthwise_buffer_temp_conv_constraints(layer);
    case LayerType::StatefulRecurrentLegacy: return check_tnp_r_constraints(layer);
    case LayerType::VitEncoderBlock: return check_vit_encoder_block_constraints(layer);
    case LayerType::Dense1D: {
      MappingStatus status = and_then(check_fnp_constraints(layer, previous), check_fnp_recordable, layer);
      return status.ok() ? check_fnp_sides(layer, previous) : status;
    }
    default: return LayerMappingError(layer, "Unsupported layer type on v2.");
  }
}

}  // namespace

MappingStatus check_variable_unsigned_bits(const Layer& layer, int bits, const std::string& name) {
  const Variables& vars = *layer.variables();
  const std::shared_ptr<Dense> values = variable_if_declared(vars, name);
  if (!values) return MappingSuccess();
  const int width = evaluate_bitwidth(*values);
  if (width <= bits) return MappingSuccess();
  return LayerMappingError(layer, name + " should only contain unsigned values that use no more than " +
                                      std::to_string(bits) + " bit, " + std::to_string(width) + " detected");
}

MappingStatus check_supported_activation(const Layer& layer) {
  if (!layer.has_activation() || layer.has_activation_type(ActivationType::ReLU)) return MappingSuccess();
  const std::string type = activation_name(layer.params()->get("activation"));
  return LayerMappingError(layer, layer.get_name() + " does not support activation type '" + type + "'.");
}

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer,
                                                                  const std::shared_ptr<Layer>& previous,
                                                                  HwVersion) const {
  for (const VariableWidth& v : kVariableWidths) {
    MappingStatus status = check_variable_unsigned_bits(layer, v.bits, v.name);
    if (status.code != 0) return status;
  }
  if (MappingStatus status = check_supported_activation(layer); status.code != 0) return status;
  if (MappingStatus status = check_layer_kind(*constraints, layer, previous); status.code != 0) return status;
  // Before the mesh mapper places the layer, which would throw on the second store.
  if (auto fault = skip_store_fault(layer))
    return LayerMappingError(*fault->merge, kBadSkipConnection + fault->text);
  return MappingSuccess();
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerList::const_iterator first,
                                                             LayerList::const_iterator last, const LayerList& layers,
                                                             HwVersion) const {
  return v2::check_layer_sequence(first, last, layers);
}

std::unique_ptr<GrowingSequenceCheck> CompatibilityCheckerImpl::check_growing_sequence(LayerList::const_iterator first,
                                                                                       const LayerList& layers,
                                                                                       HwVersion) const {
  return std::make_unique<GrowingSequenceRules>(first, layers);
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer& layer,
                                                             const std::vector<hw::Component>& components,
                                                             const Device&) const {
  return v2::check_layer_mappings(layer, components);
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                                               uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                                               uint32_t taken) const {
  return v2::is_sram_input_fit_single_buffer(*constraints, type, height, width, channels, fifo_size, bits, taken);
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                                             uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                                             uint32_t taken) const {
  return v2::is_sram_input_fit_dual_buffer(*constraints, type, height, width, channels, fifo_size, bits, taken);
}

MappingStatus CompatibilityCheckerImpl::check_spatial_split(const Layer& layer) const {
  return v2::check_spatial_split(layer);
}

bool CompatibilityCheckerImpl::is_input_window_recordable(hw::Type type, uint32_t height, uint32_t width,
                                                          uint32_t channels, uint8_t bits, bool depthwise) const {
  return !broken_window_limit(type, NpInputWindow{bits, width, height, channels}, depthwise);
}

uint32_t CompatibilityCheckerImpl::max_part_start(const Layer& layer, hw::Type type) const {
  return v2::max_part_start(layer, type);
}

bool CompatibilityCheckerImpl::fit_tests_repeatable() const { return typeid(*this) == typeid(CompatibilityCheckerImpl); }

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer& layer, uint32_t filters) const {
  return v2::is_weights_size_fit_np(*constraints, layer, filters);
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type type, const LayerParams& params) const {
  return v2::np_split_params(type, params);
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints& given, const Layer& layer) const {
  return v2::check_fnp3_sram_size(given, layer);
}

bool CompatibilityCheckerImpl::is_fnp3_image_recordable(const Layer& layer) const {
  return v2::is_fnp3_image_recordable(layer);
}

}  // namespace nuvra::v2
