#include "v2/tnp_vit/tnp_b_rules.h"

#include "backend/mapping_status.h"
#include "v2/input_limits.h"
#include "v2/layer_input.h"
#include "v2/rule_text.h"

#include <nuvra/tensor.h>

#include <cstdint>
#include <string>

namespace nuvra::v2 {

namespace {

constexpr int64_t kMaxInputSize = 4096;
constexpr int64_t kMaxChannels = 256;
constexpr int64_t kMinFifoSize = 1;
constexpr int64_t kMaxFifoSize = 15;
constexpr int64_t kMaxDepthwiseTaps = 12;

// The FIFO drives the weight layout: without these the packers would divide by zero,
// drop rows or spill a channel's taps into the next channel's unit.
MappingStatus check_fifo(const Layer& layer) {
  const LayerParams& params = *layer.params();
  const int64_t fifo_size = params.has("fifo_size") ? params.get("fifo_size") : 0;
  if (fifo_size < kMinFifoSize) return LayerMappingError(layer, limit_message("The minimum fifo_size is ", kMinFifoSize, fifo_size));
  if (fifo_size > kMaxFifoSize) return LayerMappingError(layer, limit_message("The maximum fifo_size is ", kMaxFifoSize, fifo_size));

  const Variables& vars = *layer.variables();
  if (!vars.has("weights")) return MappingSuccess();
  const Shape weights = vars.get("weights")->shape();
  const bool depthwise = params.layer_type() == LayerType::DepthwiseBufferTempConv;
  const std::string problem = tnp_b_weight_rows_problem(depthwise, fifo_size, weights[2]);
  if (!problem.empty()) return LayerMappingError(layer, problem);

  // The weight-memory checks count fifo_size taps of every input channel and the memory sizer
  // the NP's filters: weights of another shape would make an image of another size.
  const uint32_t channels = first_input_shape(layer)[2];
  const uint32_t filters = depthwise || !params.has("filters") ? channels : static_cast<uint32_t>(params.get("filters"));
  const Shape expected{1, 1, static_cast<uint32_t>(depthwise ? fifo_size : fifo_size * channels), filters};
  if (!(weights == expected))
    return LayerMappingError(layer, "Weights should have the shape " + expected.to_string() + " (got " +
                                        weights.to_string() + ")");
  return MappingSuccess();
}

}  // namespace

std::string tnp_b_weight_rows_problem(bool depthwise, int64_t fifo_size, int64_t rows) {
  if (depthwise) return rows > kMaxDepthwiseTaps ? limit_message("The maximum number of taps is ", kMaxDepthwiseTaps, rows) : "";
  if (fifo_size < kMinFifoSize) return limit_message("The minimum fifo_size is ", kMinFifoSize, fifo_size);
  if (rows % fifo_size != 0)
    return "The number of weight rows must be a multiple of fifo_size " + std::to_string(fifo_size) + " (got " +
           std::to_string(rows) + ")";
  return "";
}

MappingStatus check_tnp_b_common_constraints(const Layer& layer) {
  if (layer.input_bits() != 8) return LayerMappingError(layer, "Input should be 8-bit.");
  if (layer.output_bits() != 8) return LayerMappingError(layer, "Output should be 8-bit.");

  const MappingStatus limits = check_input_and_filter_limits(layer, kMaxInputSize, kMaxChannels, kMaxChannels);
  if (!limits.ok()) return limits;
  return check_fifo(layer);
}

MappingStatus check_buffer_temp_conv_constraints(const Layer& layer) { return check_tnp_b_common_constraints(layer); }

MappingStatus check_depthwise_buffer_temp_conv_constraints(const Layer& layer) {
  return check_tnp_b_common_constraints(layer);
}

}  // namespace nuvra::v2
