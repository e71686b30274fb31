#include "v1/hrc/hrc_rules.h"

#include "backend/mapping_status.h"
#include "v1/layer_rules.h"
#include "v1/threshold_fields.h"

#include <nuvra/functions.h>
#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <string>

namespace nuvra::v1 {

namespace {

constexpr int kMinInputSide = 5;
constexpr int kMaxInputHeight = 256;
// Act steps, converted to sixteenths, stay below 2^24.
constexpr uint32_t kThresholdLimit = 1u << 24;
constexpr int kMaxPaddingValue = 255;

// The most neurons the HRC computes for a kernel size and 1 or 3 input channels.
int max_neurons(int kernel, int channels) {
  switch (kernel) {
    case 3: return channels == 3 ? 192 : 512;
    case 5: return channels == 3 ? 64 : 192;
    default: return channels == 3 ? 32 : 96;
  }
}

MappingStatus check_max_pooling(const Layer& layer, const LayerParams& p) {
  const int width = p.get("pooling_width"), height = p.get("pooling_height");
  if (height != 1 && height != 2) return MappingFailure("pooling_y should be 1 or 2");
  if (width != 1 && width != 2) return MappingFailure("pooling_x should be 1 or 2");
  // A negative stride is the engine's "same as the pooling size".
  const int stride_x = p.get("pooling_stride_x"), stride_y = p.get("pooling_stride_y");
  if ((stride_x < 0 ? width : stride_x) != width || (stride_y < 0 ? height : stride_y) != height)
    return MappingFailure("pool_size and pool_stride should be equal");
  if (layer.output_dimensions()[1] < 2)
    return MappingFailure("with max pooling, output second dimension size must be at least 2");
  return MappingSuccess();
}

}  // namespace

MappingStatus check_hrc_constraints(const Layer& layer) {
  const LayerParams& p = *layer.params();
  const int k = p.get("kernel_width");
  if (p.get("kernel_height") != k) return MappingFailure("kernel size should be symmetric.");
  if (k != 3 && k != 5 && k != 7) return MappingFailure("kernel size should be 3, 5 or 7");
  const bool activation = p.get("activation") != 0;
  const int act_bits = p.get("act_bits");
  if (activation && act_bits != 1 && act_bits != 2 && act_bits != 4)
    return MappingFailure("act_bits should be 1, 2 or 4");
  const int channels = p.get("input_channels");
  if (channels != 1 && channels != 3) return MappingFailure("input_channels must be 1 or 3");
  const int stride_x = p.get("stride_x"), stride_y = p.get("stride_y");
  if (stride_x < 1 || stride_x > 3) return MappingFailure("stride_x should be 1, 2 or 3");
  if (stride_y < 1 || stride_y > 3) return MappingFailure("stride_y should be 1, 2 or 3");
  const int neurons = max_neurons(k, channels);
  const int filters = p.get("filters");
  if (filters < 1 || filters > neurons)
    return MappingFailure("num_neurons should be set between 1 and " + std::to_string(neurons));

  const int h = p.get("input_height"), w = p.get("input_width");
  if (p.get("padding") == static_cast<int>(Padding::Valid)) {
    const int least = std::max(p.get("kernel_height") + stride_y, kMinInputSide);
    if (h < least)
      return MappingFailure(
          "With valid padding, a " + std::to_string(k) + " kernel size and a " + std::to_string(stride_y) +
          " kernel stride, input second dimension size cannot be smaller than " + std::to_string(least));
  } else if (h < kMinInputSide) {
    return MappingFailure("input second dimension size cannot be smaller than " + std::to_string(kMinInputSide));
  }
  if (w < kMinInputSide)
    return MappingFailure("input first dimension size cannot be smaller than " + std::to_string(kMinInputSide));
  if (w < k) return MappingFailure("input first dimension size cannot be smaller than kernel size");
  if (h > kMaxInputHeight)
    return MappingFailure("The maximum input second dimension size is " + std::to_string(kMaxInputHeight) + " (got " +
                          std::to_string(h) + ")");

  switch (static_cast<PoolType>(p.get("pool_type"))) {
    case PoolType::Average: return MappingFailure("pool_type cannot be Average");
    case PoolType::Max:
      if (MappingStatus status = check_max_pooling(layer, p); !status.ok()) return status;
      break;
    default: break;
  }
  if (!activation)
    return MappingFailure("The first convolutional layer of a model can only be mapped if its activations are enabled");

  const Variables& vars = *layer.variables();
  if (all_zero(*vars.get("weights"))) return MappingFailure("All weights in a hrc layer cannot be zeroes.");
  const std::string step_range = "act_step should be between 0 and 1048575. Receives act_step ";
  const auto act_step = vars.get("act_step");
  // NaN has no sixteenths: the conversion throws on it.
  if (holds_nan(*act_step)) return MappingFailure(step_range + "nan");
  const auto thresholds = get_threshold_t16_from_act_steps(*act_step);
  const int32_t* t = thresholds->data<int32_t>();
  for (size_t i = 0; i < thresholds->size(); ++i)
    if (static_cast<uint32_t>(t[i]) >= kThresholdLimit) return MappingFailure(step_range + std::to_string(t[i] / 16));
  // Word 2 repeats the padding value as a byte for each colour.
  const int pad = p.get("padding_value");
  if (pad < 0 || pad > kMaxPaddingValue)
    return MappingFailure("padding_value should be between 0 and " + std::to_string(kMaxPaddingValue) + " (got " +
                          std::to_string(pad) + ")");
  return check_threshold_fields(layer, kHrcThresholdBits, true, false);
}

}  // namespace nuvra::v1
