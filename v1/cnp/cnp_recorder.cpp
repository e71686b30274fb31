#include "v1/cnp/cnp_recorder.h"

#include "v1/cnp/cnp_registers.h"
#include "v1/cnp/cnp_sizes.h"
#include "v1/cnp/thresholds.h"
#include "v1/cnp/weight_formats.h"
#include "v1/layer_access.h"

#include <nuvra/functions.h>
#include <nuvra/host_hooks.h>
#include <nuvra/layers.h>
#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace nuvra::v1 {

namespace {

constexpr dma::Target kRegisters{7};
constexpr dma::Target kWeights{0};
constexpr dma::Target kThresholds{4};

using NpRegisterMap = std::map<hw::Ident, RegisterBlock>;

struct Args {
  std::shared_ptr<Layer> next_layer;
  bool first_of_later_pass = false;
  bool last_of_pass = false;
  const std::vector<hw::Ident>& excluded_nps;
  bool registers_only = false;
};

bool excluded(const Args& args, const hw::Ident& ident) {
  return std::find(args.excluded_nps.begin(), args.excluded_nps.end(), ident) != args.excluded_nps.end();
}

// The blocks of every NP but the excluded ones; `kind_fields` sets a part's standard or
// separable fields.
template <class KindFields>
NpRegisterMap cnp_np_registers(const Layer& layer, const CnpRecords& records, const Args& args,
                               KindFields&& kind_fields) {
  const auto mapping = mapping_of(layer);
  const std::vector<hw::Component> own = mapping->nps ? *mapping->nps : std::vector<hw::Component>{};
  const Shape input = first_input_shape(layer);
  const std::vector<hw::Component> previous = mapping->get_prev_component();
  const std::vector<hw::Component> next = mapping->get_next_components();
  std::shared_ptr<const LayerMapping> next_mapping;
  if (args.next_layer) next_mapping = mapping_of(*args.next_layer);

  NpRegisterMap blocks;
  for (const hw::Component& c : own) {
    if (excluded(args, c.ident)) continue;
    RegisterBlock regs = default_np_regs();
    format_cnp_conv_regs(&regs, layer, records, c, mapping->id, static_cast<uint32_t>(own.size()));
    np_border_padding_flags(&regs, input, c.split->spatial_partition, records.pooling);
    kind_fields(regs, *c.split);
    format_mesh_registers_set_output_to_NPs(&regs, previous, own, next, mapping->next_id, mapping->p2p_in,
                                            mapping->p2p_out, args.last_of_pass);
    if (next_mapping && next_mapping->nps) {
      const auto& later = *next_mapping->nps;
      const auto same =
          std::find_if(later.begin(), later.end(), [&](const hw::Component& n) { return n.ident == c.ident; });
      if (same != later.end()) update_partial_reconfig_regs(&regs, *args.next_layer, *same);
    }
    if (args.first_of_later_pass) set_ib_spikes(&regs);
    blocks[c.ident] = std::move(regs);
  }
  return blocks;
}

// The thresholds of every part, checked before the first block is recorded.
struct Thresholds {
  std::shared_ptr<Dense> threshold, steps;
  bool with_threshold = false;
};

Thresholds checked_thresholds(const Layer& layer, const std::vector<hw::Component>& own) {
  const Variables& vars = *layer.variables();
  Thresholds t;
  t.steps = get_threshold_t16_from_act_steps(*vars.get("act_step"));
  t.with_threshold = layer.params()->get("activation") != 0;
  t.threshold = vars.get("threshold");
  for (const hw::Component& c : own) {
    const hw::SplitRecord& split = split_of(layer, c);
    check_cnp_thresholds(*t.threshold, *t.steps, t.with_threshold, split.start_neuron, split.filters);
  }
  return t;
}

void add_thresholds(program::Record& record, const hw::Component& c, const Thresholds& t) {
  const hw::SplitRecord& split = *c.split;
  record.add_np_block(c.ident, kThresholds, 0, cnp_thresholds_32b_size(split.filters), [&](std::span<uint32_t> out) {
    format_cnp_thresholds(out, *t.threshold, *t.steps, t.with_threshold, split.start_neuron, split.filters);
  });
}

void add_registers(program::Record& record, const hw::Component& c, const NpRegisterMap& blocks) {
  const auto block = blocks.find(c.ident);
  if (block == blocks.end())
    record.add_np_track(c.ident, kRegisters, 0, std::vector<uint32_t>{});
  else
    record.add_np_track(c.ident, kRegisters, 0, block->second);
}

std::vector<hw::Component> components_of(const Layer& layer) {
  const auto mapping = mapping_of(layer);
  return mapping->nps ? *mapping->nps : std::vector<hw::Component>{};
}

}  // namespace

std::unique_ptr<program::Record> record_program_conv_layer(const Device& device, const Layer& layer,
                                                           std::shared_ptr<Layer> next_layer, bool first_of_later_pass,
                                                           bool last_of_pass,
                                                           const std::vector<hw::Ident>& excluded_nps,
                                                           bool registers_only) {
  (void)dynamic_cast<const Convolutional&>(layer);
  const Args args{std::move(next_layer), first_of_later_pass, last_of_pass, excluded_nps, registers_only};
  const std::vector<hw::Component> own = components_of(layer);
  const CnpRecords records = cnp_records(layer);
  const LayerParams& params = *layer.params();
  const auto weights = layer.variables()->get("weights");
  const int weight_bits = params.get("weights_bits");
  // 4 bits, the 2-bit form, or the 1-bit form for any other width, as the packers choose.
  const int packed_bits = weight_bits == 4 ? 4 : (weight_bits == 2 ? 2 : 1);
  const int kernel = params.get("kernel_width");
  const uint32_t channels = weights->shape()[1];

  const auto std_fields = [&](RegisterBlock& regs, const hw::SplitRecord& split) {
    const uint32_t n = split.filters;
    const uint32_t words = std_cnp_weights_32b_size(*weights, packed_bits, n);
    set_bit(regs, 3, 2, false);
    set_bit(regs, 3, 3, weight_bits == 4);
    set_field(regs, 11, 12, 21, channels ? words / channels / 4 : 0);
    set_field(regs, 20, 16, 26, kernel == 1 ? n : 0);
    set_field(regs, 21, 0, 10, kernel != 1 && weight_bits >= 2 ? n : 0);
    set_field(regs, 21, 16, 26, kernel != 1 && weight_bits == 1 ? n : 0);
    set_field(regs, 22, 0, 10, 0);
  };
  const NpRegisterMap blocks = cnp_np_registers(layer, records, args, std_fields);
  Thresholds thresholds;
  if (!registers_only) {
    thresholds = checked_thresholds(layer, own);
    for (const hw::Component& c : own) {
      std_cnp_weights_32b_size(*weights, packed_bits, c.split->filters);
      check_cnp_weights(*weights, 4, c.split->start_neuron, c.split->filters);
    }
  }

  auto record = program::new_record(device.version());
  for (const hw::Component& c : own) {
    add_registers(*record, c, blocks);
    if (registers_only) continue;
    const hw::SplitRecord& split = *c.split;
    const uint32_t words = std_cnp_weights_32b_size(*weights, packed_bits, split.filters);
    record->add_np_block(c.ident, kWeights, 0, words, [&](std::span<uint32_t> out) {
      if (packed_bits == 4)
        format_4bits_std_cnp_weights(out, *weights, split.start_neuron, split.filters);
      else
        format_std_cnp_weights(out, *weights, packed_bits == 2, split.start_neuron, split.filters);
    });
    add_thresholds(*record, c, thresholds);
  }
  return record;
}

std::unique_ptr<program::Record> record_program_sep_conv_layer(const Device& device, const Layer& layer,
                                                               std::shared_ptr<Layer> next_layer,
                                                               bool first_of_later_pass, bool last_of_pass,
                                                               const std::vector<hw::Ident>& excluded_nps,
                                                               bool registers_only) {
  (void)dynamic_cast<const SeparableConvolutional&>(layer);
  const Args args{std::move(next_layer), first_of_later_pass, last_of_pass, excluded_nps, registers_only};
  const std::vector<hw::Component> own = components_of(layer);
  const CnpRecords records = cnp_records(layer);
  const LayerParams& params = *layer.params();
  const auto depthwise = layer.variables()->get("weights");
  const auto pointwise = layer.variables()->get("weights_pw");
  const int weight_bits = params.get("weights_bits");
  const uint32_t bits_field = (static_cast<uint32_t>(weight_bits) >> 1) & 3;
  const uint32_t dw_memory =
      get_dw_weights_sram_size(params.get("kernel_width"), first_input_shape(layer)[2], weight_bits);

  const auto sep_fields = [&](RegisterBlock& regs, const hw::SplitRecord& split) {
    set_bit(regs, 3, 2, true);
    set_field(regs, 3, 4, 5, bits_field);
    set_field(regs, 3, 8, 9, bits_field);
    set_field(regs, 20, 0, 6, get_nb_words_per_pw_channel(split.filters, weight_bits));
    set_field(regs, 22, 16, 29, dw_memory >> 1);
  };
  const NpRegisterMap blocks = cnp_np_registers(layer, records, args, sep_fields);
  if (registers_only) {
    auto record = program::new_record(device.version());
    for (const hw::Component& c : own) add_registers(*record, c, blocks);
    return record;
  }

  const Thresholds thresholds = checked_thresholds(layer, own);
  for (const hw::Component& c : own) {
    sep_cnp_pw_weights_32b_size(*pointwise, weight_bits, c.split->filters);
    check_cnp_weights(*pointwise, 2, c.split->start_neuron, c.split->filters);
  }
  // Every NP receives the same depthwise words; the pointwise words follow them, 16 words a unit.
  std::vector<uint32_t> dw_words(sep_cnp_dw_weights_32b_size(*depthwise, weight_bits));
  format_sep_cnp_dw_weights(dw_words, *depthwise, weight_bits);
  const size_t pw_address = (dw_words.size() + 15) / 16;
  if (pw_address > 0xFFFF) panic("%u cannot fit in a %d bits unsigned integer", static_cast<unsigned>(pw_address), 16);

  auto record = program::new_record(device.version());
  for (const hw::Component& c : own) {
    add_registers(*record, c, blocks);
    const hw::SplitRecord& split = *c.split;
    record->add_np_block(c.ident, kWeights, 0, dw_words.size(), [&](std::span<uint32_t> out) {
      std::memcpy(out.data(), dw_words.data(), dw_words.size() * sizeof(uint32_t));
    });
    const uint32_t words = sep_cnp_pw_weights_32b_size(*pointwise, weight_bits, split.filters);
    record->add_np_block(c.ident, kWeights, static_cast<uint16_t>(pw_address), words, [&](std::span<uint32_t> out) {
      format_sep_cnp_pw_weights(out, *pointwise, weight_bits, split.start_neuron, split.filters);
    });
    add_thresholds(*record, c, thresholds);
  }
  return record;
}

}  // namespace nuvra::v1
