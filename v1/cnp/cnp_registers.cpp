#include "v1/cnp/cnp_registers.h"

#include "backend/np_split.h"
#include "v1/cnp/cnp_sizes.h"
#include "v1/layer_access.h"

#include <nuvra/host_hooks.h>
#include <nuvra/params.h>

#include <stdexcept>

namespace nuvra::v1 {

namespace {

// A split offset as the 4-bit two's complement field of word 8.
uint32_t offset_field(uint32_t offset) {
  const int32_t v = static_cast<int32_t>(offset);
  if (v < -8 || v > 7) panic("%d cannot fit in a %d bits signed integer", v, 4);
  return static_cast<uint32_t>(v) & 0xF;
}

}  // namespace

CnpRecords cnp_records(const Layer& layer) {
  const auto* conv = dynamic_cast<const HasConvParams*>(&layer);
  const auto* pool = dynamic_cast<const HasPoolParams*>(&layer);
  const PoolingCalculatedParams* pooled = pool ? pool->pool_params() : nullptr;
  CnpRecords records;
  records.conv = conv ? conv->conv_params() : nullptr;
  if (!records.conv || !pooled) throw std::runtime_error("The layer " + layer.get_name() + " is not built");

  const LayerParams& params = *layer.params();
  const int type = params.get("pool_type");
  if (type == static_cast<int>(PoolType::NoPooling)) return records;
  const int width = params.get("pooling_width");
  // Global average pooling keeps size 1; its other values come from the pooling record.
  const bool global = type == static_cast<int>(PoolType::Average) && width == -1;
  records.pooling = {global ? uint8_t{1} : static_cast<uint8_t>(width), pooled->stride_x, pooled->padding,
                     pooled->flag};
  return records;
}

void format_cnp_conv_regs(RegisterBlock* block, const Layer& layer, const CnpRecords& records, const hw::Component& np,
                          uint8_t layer_number, uint32_t np_count) {
  RegisterBlock& regs = register_block(block);
  const hw::SplitRecord& split = split_of(layer, np);
  const LayerParams& params = *layer.params();
  const Shape input = first_input_shape(layer);
  const uint8_t bits = layer.input_bits();
  const int kernel = params.get("kernel_width");
  const int stride = params.get("stride_x");
  const NpSplit g(input, split.spatial_partition, split.bordered_partition, kernel, stride, records.conv->padding,
                  records.pooling.size, records.pooling.stride, records.pooling.padding);
  const uint32_t y_offset = offset_field(g.window_y_offset());
  const uint32_t x_offset = offset_field(g.window_x_offset());
  const uint32_t container = get_cnp_channel_container_size(g.window_width(), bits);

  set_field(regs, 1, 4, 7, 6);
  set_field(regs, 1, 20, 21, 0);
  set_bit(regs, 1, 22, split.single_buffer);
  set_field(regs, 3, 0, 1, bits >> 1);
  // The activation reads the field, and the checker keeps its act_bits to 1, 2 or 4; without
  // one the value keeps the word's own mask.
  set_field(regs, 3, 12, 13, (static_cast<uint32_t>(params.get("act_bits")) >> 1) & 3);
  set_bit(regs, 3, 15, params.get("activation") != 0);
  set_field(regs, 3, 16, 23, np_count);
  set_field(regs, 3, 24, 31, layer_number);
  set_field(regs, 4, 0, 17, get_cnp_input_sram_size(container, g.part_channels(), g.window_height()));
  set_bit(regs, 4, 31, true);
  set_field(regs, 8, 0, 10, g.part_height());
  set_field(regs, 8, 12, 15, y_offset);
  set_field(regs, 8, 16, 26, g.part_width());
  set_field(regs, 8, 28, 31, x_offset);
  set_field(regs, 9, 0, 11, g.window_y());
  set_bit(regs, 9, 12, g.row_phase() != 0);
  set_field(regs, 9, 16, 27, g.window_x());
  set_bit(regs, 9, 28, g.column_phase() != 0);
  set_field(regs, 10, 0, 10, g.window_height());
  set_field(regs, 10, 16, 26, g.window_width());
  set_field(regs, 11, 0, 7, g.icont_size());
  set_bit(regs, 20, 8, stride == 2);
  set_field(regs, 20, 28, 30, static_cast<uint32_t>(kernel));
  set_field(regs, 24, 0, 11, g.first_output_row());
  set_field(regs, 24, 16, 27, g.first_output_column());
  set_field(regs, 25, 0, 9, g.output_rows());
  set_field(regs, 25, 16, 23, g.output_columns());
  set_field(regs, 26, 0, 10, split.start_neuron);
  set_field(regs, 26, 16, 26, split.filters);
  set_field(regs, 28, 0, 13, (uint64_t{container} * g.part_channels() + 3) / 4);
  set_field(regs, 28, 16, 24, container);
  set_bit(regs, 29, 0, false);
  set_field(regs, 29, 16, 23, (uint64_t{split.filters} + 7) / 8);
  set_bit(regs, 36, 28, false);
}

void np_border_padding_flags(RegisterBlock* block, const Shape& input, const NpSpace& part, const CnpPooling& pooling) {
  RegisterBlock& regs = register_block(block);
  set_field(regs, 27, 0, 2, pooling.size);
  set_field(regs, 27, 4, 6, pooling.stride);
  set_bit(regs, 27, 8, pooling.flag);
  set_bit(regs, 27, 12, uint64_t{part.x} + part.shape[0] == input[0] && pooling.padding.right > 0);
  set_bit(regs, 27, 13, part.x == 0 && pooling.padding.left > 0);
  set_bit(regs, 27, 14, uint64_t{part.y} + part.shape[1] == input[1] && pooling.padding.bottom > 0);
  set_bit(regs, 27, 15, part.y == 0 && pooling.padding.top > 0);
}

}  // namespace nuvra::v1
