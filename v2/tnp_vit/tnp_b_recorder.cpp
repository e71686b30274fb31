#include "v2/tnp_vit/tnp_b_recorder.h"

#include "backend/layer_mapping.h"
#include "backend/np_split.h"
#include "v2/cnp/common_config.h"
#include "v2/cnp/shifts.h"
#include "v2/layer_input.h"
#include "v2/np_input_words.h"
#include "v2/np_registers.h"
#include "v2/skipdma_records.h"
#include "v2/tnp_vit/tnp_b_sizes.h"
#include "v2/tnp_vit/tnp_b_weight_formats.h"

#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace nuvra::v2 {

namespace {

constexpr dma::Target kWeights{1};
constexpr dma::Target kInputShift{2};
constexpr dma::Target kVariables{5};
constexpr dma::Target kRegisters{7};

const LayerParams& params_of(const Layer& layer) {
  const LayerParams* params = layer.params();
  if (params == nullptr) throw std::runtime_error("The layer " + layer.get_name() + " has no parameters");
  return *params;
}

void check_layer_type(bool depthwise, const Layer& layer) {
  const LayerType expected = depthwise ? LayerType::DepthwiseBufferTempConv : LayerType::BufferTempConv;
  if (params_of(layer).layer_type() != expected) throw std::runtime_error("Invalid layer type for TNP-B recording.");
}

std::shared_ptr<const LayerMapping> mapping_of(const Layer& layer) {
  auto mapping = get_layer_mapping(layer);
  if (!mapping) throw std::runtime_error("The layer " + layer.get_name() + " is not mapped");
  return mapping;
}

std::vector<hw::Component> components_of(const LayerMapping& mapping) {
  return mapping.nps ? *mapping.nps : std::vector<hw::Component>{};
}

bool excluded(const std::vector<hw::Ident>& list, const hw::Ident& ident) {
  return std::find(list.begin(), list.end(), ident) != list.end();
}

// The TNP-B words of one NP: FIFO length, channel container, window rows and input blocks.
void tnp_b_words(RegisterBlock& regs, bool depthwise, const NpSplitInterface& split, const hw::SplitRecord& part,
                 uint32_t fifo_size, uint32_t input_channels, uint32_t input_bits) {
  const NpInputWindow window{input_bits, split.window_width(), split.window_height(), split.part_channels()};

  set_bit(regs[1], 28, true);
  if (depthwise) {
    // An NP holding only some of the channels is told which.
    const bool partial = part.filters < input_channels;
    set_bit(regs[3], 2, true);
    set_bit(regs[3], 10, partial);
    set_field(regs, 22, 0, 11, partial ? part.start_neuron : 0u);
    set_field(regs, 22, 16, 25, partial ? part.filters : 0u);
  }
  set_field(regs, 4, 0, 15, fifo_size);
  set_field(regs, 11, 12, 29, depthwise ? 1u : buffer_temp_conv_ch_cont_100b_size(part.filters));
  set_field(regs, 21, 0, 10, window.channels);
  set_field(regs, 28, 0, 13, tnp_b_row_words(window));
  set_field(regs, 28, 16, 31, tnp_b_channels(window));
  set_field(regs, 29, 16, 23, depthwise ? 1u : (uint64_t{part.filters} + 7) / 8);
  set_field(regs, 30, 0, 1, 2);
  // Both keep their low 4 bits on purpose: a FIFO of 15 counts its 16 slots as 0.
  set_field(regs, 30, 8, 11, fifo_size & 0xFu);
  set_field(regs, 30, 16, 19, (fifo_size + 1) & 0xFu);
  set_field(regs, 56, 16, 24, tnp_b_frame_blocks(window));
  set_bit(regs[56], 31, false);
}

NpRegisterMap tnp_b_np_registers(bool depthwise, const Layer& layer, const CnpRecordingArgs& args) {
  check_layer_type(depthwise, layer);
  const LayerParams& params = params_of(layer);
  const auto mapping = mapping_of(layer);
  const std::vector<hw::Component> nps = components_of(*mapping);
  const std::vector<hw::Component> previous = mapping->get_prev_component();
  const std::vector<hw::Component> next = mapping->get_next_components();
  const bool activation = params.get("activation") == 1;
  const auto fifo_size = static_cast<uint32_t>(params.get("fifo_size"));
  const Shape input = first_input_shape(layer);
  const uint8_t output_bits = layer.output_bits();

  std::vector<hw::Component> next_nps;
  if (args.next_layer) next_nps = components_of(*mapping_of(*args.next_layer));
  for (const hw::Component& c : nps)
    if (!excluded(args.excluded_nps, c.ident) && !c.split)
      throw std::runtime_error("The component " + c.ident.to_string() + " of layer " + layer.get_name() +
                               " has no split record");

  const std::unique_ptr<MergeLayerMapInfo> no_merge;
  NpRegisterMap blocks;
  for (const hw::Component& c : nps) {
    if (excluded(args.excluded_nps, c.ident)) continue;
    const hw::SplitRecord& part = *c.split;
    RegisterBlock regs = default_np_regs(c, mapping->id, args.registers_only, false);
    // A TNP-B convolves over time only: a 1x1 kernel over its window, no pooling.
    const NpSplit split(input, part.spatial_partition, part.bordered_partition, 1, 1, PaddingParams{}, 0, 1,
                        PaddingParams{});
    format_cnp_tnp_common_config_registers(&regs, split, 1, 0, activation, part.start_neuron, part.filters, nps,
                                           part.single_buffer, false, output_bits, no_merge, std::nullopt,
                                           std::nullopt, args.last_flag, false);
    tnp_b_words(regs, depthwise, split, part, fifo_size, input[2], layer.input_bits());
    format_mesh_registers_set_output_to_NPs(&regs, previous, nps, next, mapping->alt_info, mapping->next_id,
                                            mapping->p2p_in, mapping->p2p_out, args.routing_flag);
    const auto same_np =
        std::find_if(next_nps.begin(), next_nps.end(), [&](const hw::Component& n) { return n.ident == c.ident; });
    if (same_np != next_nps.end()) update_partial_reconfig_regs(&regs, *args.next_layer, *same_np, args.routing_flag);
    if (args.ib_spikes) set_ib_spikes(&regs);
    blocks[c.ident] = std::move(regs);
  }
  return blocks;
}

std::shared_ptr<Dense> optional_variable(const Variables& vars, const char* name) {
  return vars.has(name) ? vars.get(name) : nullptr;
}

// The words of one NP that depend only on its share, made before anything is recorded.
struct NpShare {
  hw::Ident ident;
  const RegisterBlock* registers = nullptr;
  uint32_t first = 0, count = 0;
  std::vector<uint32_t> input_shift, variables;
};

std::unique_ptr<program::Record> record_tnp_b_layer(bool depthwise, const Device& device, const Layer& layer,
                                                    const CnpRecordingArgs& args) {
  const NpRegisterMap blocks = tnp_b_np_registers(depthwise, layer, args);
  const auto mapping = mapping_of(layer);
  std::vector<NpShare> shares;
  for (const hw::Component& c : components_of(*mapping)) {
    const auto block = blocks.find(c.ident);
    if (block == blocks.end()) continue;
    // Components without split record were refused with the blocks.
    shares.push_back({c.ident, &block->second, c.split->start_neuron, c.split->filters, {}, {}});
  }

  std::shared_ptr<Dense> weights;
  uint32_t fifo_size = 0;
  if (!args.registers_only) {
    const Variables* vars = layer.variables();
    if (vars == nullptr) throw std::runtime_error("The layer " + layer.get_name() + " has no variables");
    weights = vars->get("weights");
    const auto input_shift = vars->get("input_shift");
    fifo_size = static_cast<uint32_t>(params_of(layer).get("fifo_size"));
    // A standard temporal convolution reads every input channel, so all NPs get the same shifts.
    const std::vector<uint32_t> all_shifts = depthwise ? std::vector<uint32_t>{} : format_input_shift(*input_shift);
    const auto max_value = optional_variable(*vars, "max_value"), max_value_shift = optional_variable(*vars, "max_value_shift");
    const auto output_shift = optional_variable(*vars, "output_shift"), bias_shift = optional_variable(*vars, "bias_shift");
    const auto bias = optional_variable(*vars, "bias"), output_scales = optional_variable(*vars, "output_scales");
    for (NpShare& s : shares) {
      if (depthwise)
        check_tnp_b_depthwise_buffer_temp_conv_weights(*weights, s.first, s.count);
      else
        check_tnp_b_buffer_temp_conv_weights(*weights, fifo_size, s.first, s.count);
      s.input_shift = depthwise ? format_input_shift(*input_shift, s.first, s.count) : all_shifts;
      s.variables = cnp_tnp_variables(max_value.get(), max_value_shift.get(), output_shift.get(), bias_shift.get(),
                                      bias.get(), output_scales.get(), s.first, s.count);
    }
  }

  auto record = program::new_record(device.version());
  if (!args.registers_only) record_skipdma(record.get(), layer);
  const uint32_t rows = weights ? weights->shape()[2] : 0;
  for (const NpShare& s : shares) {
    record->add_np_track(s.ident, kRegisters, 0, *s.registers);
    if (args.registers_only) continue;
    if (depthwise)
      record->add_np_block(s.ident, kWeights, 0, depthwise_buffer_temp_conv_formatted_weight_32b_size(rows, s.count),
                           [&](std::span<uint32_t> out) {
                             format_tnp_b_depthwise_buffer_temp_conv_weights(out, *weights, s.first, s.count);
                           });
    else
      record->add_np_block(s.ident, kWeights, 0, tnp_b_buffer_temp_conv_formatted_weight_32b_size(s.count, rows),
                           [&](std::span<uint32_t> out) {
                             format_tnp_b_buffer_temp_conv_weights(out, *weights, fifo_size, s.first, s.count);
                           });
    record->add_np_track(s.ident, kInputShift, 0, s.input_shift);
    record->add_np_track(s.ident, kVariables, 0, s.variables);
  }
  return record;
}

CnpRecordingArgs args_of(std::shared_ptr<Layer> next_layer, bool ib_spikes, bool routing_flag,
                         const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool last_flag) {
  return {std::move(next_layer), ib_spikes, routing_flag, excluded_nps, registers_only, last_flag};
}

}  // namespace

std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(const Device& device, const Layer& layer,
                                                                       std::shared_ptr<Layer> next_layer,
                                                                       bool ib_spikes, bool routing_flag,
                                                                       const std::vector<hw::Ident>& excluded_nps,
                                                                       bool registers_only, bool last_flag) {
  return record_tnp_b_layer(false, device, layer,
                            args_of(std::move(next_layer), ib_spikes, routing_flag, excluded_nps, registers_only,
                                    last_flag));
}

std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes, bool routing_flag,
    const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool last_flag) {
  return record_tnp_b_layer(true, device, layer,
                            args_of(std::move(next_layer), ib_spikes, routing_flag, excluded_nps, registers_only,
                                    last_flag));
}

NpRegisterMap buffer_temp_conv_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                            bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                            bool registers_only, bool last_flag) {
  return tnp_b_np_registers(false, layer,
                            args_of(std::move(next_layer), ib_spikes, routing_flag, excluded_nps, registers_only,
                                    last_flag));
}

NpRegisterMap depthwise_buffer_temp_conv_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                      bool ib_spikes, bool routing_flag,
                                                      const std::vector<hw::Ident>& excluded_nps,
                                                      bool registers_only, bool last_flag) {
  return tnp_b_np_registers(true, layer,
                            args_of(std::move(next_layer), ib_spikes, routing_flag, excluded_nps, registers_only,
                                    last_flag));
}

}  // namespace nuvra::v2
