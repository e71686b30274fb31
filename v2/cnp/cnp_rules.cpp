#include "v2/cnp/cnp_rules.h"

#include "backend/layer_views.h"
#include "backend/mapping_status.h"
#include "program/record.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/input_limits.h"
#include "v2/layer_input.h"
#include "v2/rule_text.h"

#include <nuvra/tensor.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace nuvra::v2 {

namespace {

constexpr int64_t kMaxInputSize = 4096;
constexpr int64_t kMaxChannels = 2048;
constexpr int64_t kMaxFilters = 2048;
constexpr int64_t kMaxAddInputShiftGap = 15;
constexpr int64_t kGapMaxWidth = 64;
constexpr int64_t kGapMinConvRows = 1;
constexpr int64_t kGapMaxPixels = 144;
constexpr int64_t kMaxPoolStride = 7;

int param(const Layer& layer, const char* key) { return layer.params()->get(key); }

// Records the engine computes when the layer is built; the mapping engine only ever checks
// built layers, so a missing one is a caller error rather than a broken rule.
const ConvParams& conv_record(const Layer& layer) {
  const HasConvParams* view = conv_view(layer);
  if (!view) throw std::bad_cast();
  const ConvParams* conv = view->conv_params();
  if (!conv) throw std::runtime_error("The layer " + layer.get_name() + " is not built");
  return *conv;
}

const PoolingCalculatedParams& pool_record(const Layer& layer) {
  const HasPoolParams* view = pool_view(layer);
  if (!view) throw std::bad_cast();
  const PoolingCalculatedParams* pool = view->pool_params();
  if (!pool) throw std::runtime_error("The layer " + layer.get_name() + " is not built");
  return *pool;
}

// 32-bit words of the whole input in one NP's input SRAM, rows padded to 4 bytes.
uint64_t cnp_input_words(uint64_t bits, uint64_t width, uint64_t height, uint64_t channels) {
  const uint64_t row_bytes = ((bits * width + 7) / 8 + 3) / 4 * 4;
  return (row_bytes * channels * 8 + 31) / 32 * height;
}

// The smallest group of filters an NP can hold must fit its weight memory.
MappingStatus check_filter_group_fits(const HardwareConstraints& constraints, const Layer& layer, int kernel) {
  const uint32_t channels = first_input_shape(layer)[2];
  const uint32_t group = conv2d_ch_cont_100b_size(static_cast<uint32_t>(kernel), 1) * channels;
  if (group > constraints.np_weight_memory_size)
    return LayerMappingError(
        layer, "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth");
  return MappingSuccess();
}

// An NP's weights travel as one DMA block; splitting by filters cannot make a part smaller than
// one filter over every input channel.
MappingStatus check_filter_image_fits(const Layer& layer, int kernel) {
  const uint32_t channels = first_input_shape(layer)[2];
  const uint32_t words = conv2d_cnp_formatted_weight_32b_size(static_cast<uint32_t>(kernel), 1, channels);
  if (words > program::NpTrack::kMaxBlockWords)
    return LayerMappingError(layer, "The maximum weight image of an NP, in 32-bit words, is " +
                                        std::to_string(program::NpTrack::kMaxBlockWords) + " (got " +
                                        std::to_string(words) + " for one filter)");
  return MappingSuccess();
}

MappingStatus check_max_pooling(const Layer& layer) {
  const int pool_size = param(layer, "pool_size");
  if (pool_size != 1 && pool_size != 2) return LayerMappingError(layer, "Pooling size must be 1 or 2");
  const PoolingCalculatedParams& pool = pool_record(layer);
  if (pool.stride_x != pool.stride_y) return LayerMappingError(layer, "Pooling stride x and y must be equal");
  const Shape input = first_input_shape(layer);
  if (static_cast<uint32_t>(pool_size) > input[0] || static_cast<uint32_t>(pool_size) > input[1])
    return LayerMappingError(layer, "Pooling size cannot be greater than input dimensions");
  return MappingSuccess();
}

MappingStatus check_global_average_pooling(const HardwareConstraints& constraints, const Layer& layer) {
  if (!layer.has_activation()) return LayerMappingError(layer, "Global Average pooling must be used with an activation.");
  if (param(layer, "pool_size") != -1) return LayerMappingError(layer, "Global Average pooling must be global");
  const Shape input = first_input_shape(layer);
  const uint64_t width = input[0], height = input[1], channels = input[2];
  if (width > kGapMaxWidth)
    return LayerMappingError(layer, "When using Global Average Pooling, input width cannot exceed " +
                                        std::to_string(kGapMaxWidth));
  const uint32_t conv_rows = conv_record(layer).out_height;
  if (conv_rows < kGapMinConvRows)
    return LayerMappingError(layer, "When using Global Average Pooling, the output of the convolution must have at least " +
                                        std::to_string(kGapMinConvRows) + " rows (currently " +
                                        std::to_string(conv_rows) + ")");
  if (width * height > kGapMaxPixels)
    return LayerMappingError(layer, "When using Global Average Pooling, input dimensions width * height cannot exceed " +
                                        std::to_string(kGapMaxPixels));
  if (cnp_input_words(layer.input_bits(), width, height, channels) > constraints.input_sram_single_buffer_size)
    return LayerMappingError(layer, "When using Global Average Pooling, spatial split is impossible");
  return MappingSuccess();
}

template <class... Rules>
MappingStatus first_failure(Rules&&... rules) {
  MappingStatus status = MappingSuccess();
  // Stops at the first rule whose code is not 0; only `status` is wanted from the fold.
  static_cast<void>(((status = rules(), status.code == 0) && ...));
  return status;
}

}  // namespace

MappingStatus check_add_shift(const Layer& layer) {
  const Variables& vars = *layer.variables();
  const auto a_shift = vars.get("a_shift");
  const auto b_shift = vars.get("b_shift");
  const auto output_shift = vars.get("output_shift");
  const uint32_t channels = a_shift->shape()[0];
  for (uint32_t i = 0; i < channels; ++i) {
    const int a = a_shift->at<uint8_t>({i});
    const int b = b_shift->at<uint8_t>({i});
    const int o = output_shift->at<int8_t>({i});
    if (std::abs(a - b) > kMaxAddInputShiftGap)
      return LayerMappingError(layer, "This model cannot be mapped in hardware, Add input shift is out of range.");
    const int shifted = std::max(a, b) + 4 + o;
    if (shifted < 0 || shifted > 7)
      return LayerMappingError(layer, "This model cannot be mapped in hardware, Add output shift is out of range.");
  }
  return MappingSuccess();
}

MappingStatus check_cnp_common_constraints(const Layer& layer) {
  if (layer.input_bits() != 8) return LayerMappingError(layer, "Input should be 8-bit.");
  if (layer.has_activation() && layer.output_bits() > 8)
    return LayerMappingError(layer, "With activation output bitwidth should be <= 8.");

  return check_input_and_filter_limits(layer, kMaxInputSize, kMaxChannels, kMaxFilters);
}

MappingStatus check_padding_same(const Layer& layer) {
  if (param(layer, "padding") != static_cast<int>(Padding::Same))
    return LayerMappingError(layer, "Only padding 'Same' is supported.");
  return MappingSuccess();
}

MappingStatus check_cnp_pooling_constraints(const HardwareConstraints& constraints, const Layer& layer) {
  const int pool_type = param(layer, "pool_type");
  if (pool_type != static_cast<int>(PoolType::NoPooling) && param(layer, "kernel_stride") > 1)
    return LayerMappingError(layer, "The CNP cannot support both pooling and stride.");
  if (pool_type == static_cast<int>(PoolType::Max)) return check_max_pooling(layer);
  if (pool_type == static_cast<int>(PoolType::Average)) return check_global_average_pooling(constraints, layer);
  return MappingSuccess();
}

MappingStatus check_cnp_strides(const Layer& layer) {
  const int stride = param(layer, "kernel_stride");
  if (stride != 1 && stride != 2)
    return LayerMappingError(layer, "Kernel stride must be 1 or 2 (got " + std::to_string(stride) + ")");
  if (layer.has_pool_type(PoolType::Max)) {
    const PoolingCalculatedParams& pool = pool_record(layer);
    const int64_t pool_stride = std::max(pool.stride_x, pool.stride_y);
    if (pool_stride > kMaxPoolStride)
      return LayerMappingError(layer, limit_message("The maximum pooling stride is ", kMaxPoolStride, pool_stride));
  }
  return MappingSuccess();
}

MappingStatus check_conv2d_constraints(const HardwareConstraints& constraints, const Layer& layer) {
  return first_failure([&] { return check_cnp_common_constraints(layer); },
                       [&] { return check_padding_same(layer); },
                       [&] { return check_cnp_pooling_constraints(constraints, layer); },
                       [&] {
                         const int kernel = param(layer, "kernel_size");
                         if (kernel != 1 && kernel != 3 && kernel != 5 && kernel != 7)
                           return LayerMappingError(layer, "Kernel size must be 1, 3, 5 or 7");
                         return check_filter_group_fits(constraints, layer, kernel);
                       },
                       [&] { return check_cnp_strides(layer); },
                       [&] { return check_filter_image_fits(layer, param(layer, "kernel_size")); });
}

MappingStatus check_dwconv2d_constraints(const HardwareConstraints& constraints, const Layer& layer) {
  return first_failure([&] { return check_cnp_common_constraints(layer); },
                       [&] { return check_padding_same(layer); },
                       [&] { return check_cnp_pooling_constraints(constraints, layer); },
                       [&] {
                         const int kernel = param(layer, "kernel_size");
                         if (kernel != 3 && kernel != 5 && kernel != 7)
                           return LayerMappingError(layer, "Kernel size must be 3, 5 or 7");
                         return MappingSuccess();
                       },
                       [&] { return check_cnp_strides(layer); });
}

MappingStatus check_conv2dtranspose_constraints(const HardwareConstraints& constraints, const Layer& layer) {
  return first_failure([&] { return check_cnp_common_constraints(layer); },
                       [&] {
                         const int kernel = param(layer, "kernel_size");
                         if (kernel != 3 && kernel != 4) return LayerMappingError(layer, "Kernel size must be 3 or 4");
                         return check_filter_group_fits(constraints, layer, kernel);
                       },
                       [&] { return check_filter_image_fits(layer, param(layer, "kernel_size")); });
}

MappingStatus check_dwconv2dtranspose_constraints(const Layer& layer) {
  return first_failure([&] { return check_cnp_common_constraints(layer); },
                       [&] {
                         const int kernel = param(layer, "kernel_size");
                         if (kernel != 3 && kernel != 4) return LayerMappingError(layer, "Kernel size must be 3 or 4");
                         return MappingSuccess();
                       });
}

}  // namespace nuvra::v2
