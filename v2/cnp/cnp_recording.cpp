// The program record of a CNP convolution layer.
#include "v2/cnp/cnp_recording.h"

#include "backend/layer_mapping.h"
#include "backend/layer_views.h"
#include "v2/cnp/common_config.h"
#include "v2/cnp/shifts.h"
#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/skipdma_records.h"

#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <span>
#include <vector>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {

namespace {

constexpr dma::Target kRegisters{7};
constexpr dma::Target kInputShift{2};
constexpr dma::Target kVariables{5};
constexpr dma::Target kMergeShift{10};
// Registers, weights, input shifts, neuron variables and the fused Add's shifts.
constexpr size_t kMostBlocksPerNp = 5;

bool is_depthwise(CnpFamily f) { return f == CnpFamily::DepthwiseConv2D || f == CnpFamily::DepthwiseConv2DTranspose; }

// The neuron variables; each one null when the layer does not declare it.
struct NeuronVariables {
  std::shared_ptr<Dense> max_value, max_value_shift, output_shift, bias_shift, bias, output_scales;
};

std::shared_ptr<Dense> optional_variable(const Variables& vars, const char* name) {
  return variable_if_declared(vars, name);
}

std::shared_ptr<const Dense> dense_or_null(const std::shared_ptr<Tensor>& t) {
  return t ? Tensor::ensure_dense(t) : nullptr;
}

// The channels of the fused Add that an NP's shift block covers: first .. first + count - 1, or
// all of them (count taken from "a_shift") when `all_channels` is set.
struct MergeChannels {
  uint32_t first = 0, count = 0;
};

MergeChannels merge_channels(const Layer& layer, const MergeLayerMapInfo& merge, bool all_channels, uint32_t first,
                             uint32_t count) {
  if (!merge.a_shift || !merge.b_shift || !merge.output_shift)
    throw std::runtime_error("The Add layer fused into " + layer.get_name() + " has no shift variables");
  if (all_channels) return {0, merge.a_shift->shape()[0]};
  return {first, count};
}

}  // namespace

std::unique_ptr<program::Record> record_cnp_layer(CnpFamily family, const Device& device, const Layer& layer,
                                                  const CnpRecordingArgs& args) {
  // The register blocks check the layer type, its mapping and its components first.
  const NpRegisterMap blocks = cnp_np_registers(family, layer, args);
  const auto mapping = get_layer_mapping(layer);
  const bool depthwise = is_depthwise(family);
  auto record = program::new_record(device.version());

  const Variables* vars = layer.variables();
  if (vars == nullptr) throw std::runtime_error("The layer " + layer.get_name() + " has no variables");
  std::shared_ptr<Dense> weights;
  std::shared_ptr<Dense> input_shift;
  std::vector<uint32_t> shared_input_shift;
  NeuronVariables nv;
  if (!args.registers_only) {
    input_shift = vars->get("input_shift");
    // A standard convolution reads every input channel, so all NPs get the same shifts.
    if (!depthwise) shared_input_shift = format_input_shift(*input_shift, 0, 0);
    weights = vars->get("weights");
    nv = {optional_variable(*vars, "max_value"),    optional_variable(*vars, "max_value_shift"),
          optional_variable(*vars, "output_shift"), optional_variable(*vars, "bias_shift"),
          optional_variable(*vars, "bias"),         optional_variable(*vars, "output_scales")};
  }
  const bool add_merge = mapping->merge_info && mapping->merge_info->is_add;

  static const std::vector<hw::Component> kNone;
  const std::vector<hw::Component>& nps = mapping->nps ? *mapping->nps : kNone;
  // Every NP's blocks, in recording order, are sized first so that each track gets its room at once.
  const auto weight_words = [&](uint32_t count) -> size_t {
    const uint32_t kernel = weights->shape()[0];
    return depthwise ? dwc_cnp_formatted_weight_32b_size(kernel, count)
                     : conv2d_cnp_formatted_weight_32b_size(kernel, count, weights->shape()[2]);
  };
  std::vector<program::Record::PlannedBlock> plan;
  plan.reserve(nps.size() * kMostBlocksPerNp);
  for (const hw::Component& c : nps) {
    const auto block = blocks.find(c.ident);
    if (block == blocks.end()) continue;
    plan.push_back({block->second.size()});
    if (args.registers_only) continue;
    const uint32_t count = c.split->filters;
    plan.push_back({weight_words(count), true});
    plan.push_back({depthwise ? input_shift_32b_size(*input_shift, count) : shared_input_shift.size()});
    plan.push_back({size_t{count} * 2});
    if (add_merge)
      plan.push_back(
          {(size_t{merge_channels(layer, *mapping->merge_info, !depthwise, c.split->start_neuron, count).count} + 3) /
           4});
  }
  record->plan_blocks(plan);

  // The NPs of a layer split by filters take their ranges of the same weights: their images are
  // made together, in one pass over the weights.
  std::shared_ptr<const program::BlockSweep> sweep;
  if (!args.registers_only && !depthwise && nps.size() > 1)
    sweep = std::make_shared<const program::BlockSweep>([weights](std::span<const program::SweepPart> parts) {
      std::vector<Conv2dWeightPart> images;
      images.reserve(parts.size());
      for (const program::SweepPart& p : parts)
        images.push_back({static_cast<uint32_t>(p.first), static_cast<uint32_t>(p.count), p.out});
      format_conv2d_cnp_weight_parts(*weights, images);
    });

  for (const hw::Component& c : nps) {
    const auto block = blocks.find(c.ident);
    if (block == blocks.end()) continue;  // excluded
    record->add_np_track(c.ident, kRegisters, 0, block->second);
    if (args.registers_only) continue;

    // Components without split record were refused with the blocks. Every data block is packed
    // straight into the record.
    const hw::SplitRecord& part = *c.split;
    const uint32_t kernel = weights->shape()[0];
    const uint32_t first = part.start_neuron, count = part.filters;
    // The weight images are checked now and formatted where the program is written; NPs that
    // share a filter range share the image.
    if (depthwise) {
      const dma::Target target{dwc_dma_target(kernel)};
      check_depthwise_conv_cnp_weights(*weights, first, count);
      record->add_deferred_np_block(
          c.ident, target, 0, weight_words(count),
          [weights, first, count](auto out) { format_depthwise_conv_cnp_weights(*weights, first, count, out); },
          {weights.get(), first, count});
      record->add_np_block(c.ident, kInputShift, 0, input_shift_32b_size(*input_shift, count),
                           [&](std::span<uint32_t> out) { format_input_shift(*input_shift, first, count, out); });
    } else {
      const dma::Target target{conv2d_dma_target(kernel)};
      check_conv2d_cnp_weights(*weights, first, count);
      record->add_deferred_np_block(
          c.ident, target, 0, weight_words(count),
          [weights, first, count](auto out) { format_conv2d_cnp_weights(*weights, first, count, out); },
          {weights.get(), first, count}, sweep);
      record->add_np_track(c.ident, kInputShift, 0, shared_input_shift);
    }

    record->add_np_block(c.ident, kVariables, 0, size_t{count} * 2, [&](std::span<uint32_t> out) {
      cnp_tnp_variables(nv.max_value.get(), nv.max_value_shift.get(), nv.output_shift.get(), nv.bias_shift.get(),
                        nv.bias.get(), nv.output_scales.get(), first, count, out);
    });

    if (add_merge) {
      const MergeLayerMapInfo& merge = *mapping->merge_info;
      const MergeChannels ch = merge_channels(layer, merge, !depthwise, first, count);
      record->add_np_block(c.ident, kMergeShift, 0, (size_t{ch.count} + 3) / 4, [&](std::span<uint32_t> out) {
        format_merge_layer_shift(dense_or_null(merge.a_shift), dense_or_null(merge.b_shift),
                                 dense_or_null(merge.output_shift), ch.first, ch.count, out);
      });
    }
  }

  if (!args.registers_only) record_skipdma(record.get(), layer);
  return record;
}

}  // namespace nuvra::v2
