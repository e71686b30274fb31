#include "v2/tnp_vit/tnp_b_rules.h"

#include "backend/mapping_status.h"
#include "v2/input_limits.h"
#include "v2/layer_input.h"
#include "v2/rule_text.h"

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
  const int64_t rows = vars.get("weights")->shape()[2];
  if (params.layer_type() == LayerType::BufferTempConv && rows % fifo_size != 0)
    return LayerMappingError(layer, "The number of weight rows must be a multiple of fifo_size " +
                                        std::to_string(fifo_size) + " (got " + std::to_string(rows) + ")");
  if (params.layer_type() == LayerType::DepthwiseBufferTempConv && rows > kMaxDepthwiseTaps)
    return LayerMappingError(layer, limit_message("The maximum number of taps is ", kMaxDepthwiseTaps, rows));
  return MappingSuccess();
}

}  // namespace

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
