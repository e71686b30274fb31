// Partial reconfiguration: the words an NP reads when it switches to the next layer mapped on it
// without a full reprogramming.
#include "v2/np_registers.h"

#include "backend/layer_views.h"
#include "backend/mapping_status.h"
#include "v2/np_input_words.h"

#include <stdexcept>
#include <string>

namespace nuvra::v2 {

namespace {

// Word 41 bits 24-30 count the NPs of the layer that runs next.
constexpr size_t kMaxNextLayerNps = 0x7F;

// 1, 2, 4, 8 bits give 0, 1, 2, 3.
uint32_t input_bits_code(uint32_t b) { return ((b >> 1) - (b >> 3)) & 3; }

const hw::SplitRecord& split_of(const Layer& layer, const hw::Component& np) {
  if (!np.split)
    throw std::runtime_error("The component " + np.ident.to_string() + " of layer " + layer.get_name() +
                             " has no split record");
  return *np.split;
}

Shape first_input(const Layer& layer) {
  const auto first = first_input_dimension(layer);
  if (!first) throw std::out_of_range("The layer " + layer.get_name() + " has no input shape");
  return *first;
}

}  // namespace

void update_partial_reconfig_regs(RegisterBlock* block, const Layer& next_layer, const hw::Component& next_np,
                                  bool routing_flag) {
  RegisterBlock& regs = register_block(block);
  const std::shared_ptr<const LayerMapping> mapping = get_layer_mapping(next_layer);
  if (!mapping) throw std::runtime_error("The layer " + next_layer.get_name() + " is not mapped");

  const uint32_t ib = next_layer.input_bits();
  bool inbound_max_pool = false;
  bool inbound_activation = false;
  if (const auto inbound = first_inbound_of(next_layer)) {
    inbound_max_pool = inbound->has_pool_type(PoolType::Max);
    inbound_activation = inbound->has_activation();
  }
  const ColumnRange sources = column_range(mapping->get_prev_component());
  const size_t next_nps = mapping->nps ? mapping->nps->size() : 0;
  if (next_nps > kMaxNextLayerNps)
    throw SequenceRefusal(next_layer, "It runs on " + std::to_string(next_nps) +
                                          " NPs: a layer that opens a later pass can run on at most " +
                                          std::to_string(kMaxNextLayerNps) + ".");
  const bool fnp = next_layer.is_kind(kind_code::kFnp);
  const bool cnp = !fnp && (next_layer.is_kind(kind_code::kCnp) || next_layer.is_kind(kind_code::kTnpB));
  // Everything that can refuse is read before the first write.
  Shape input;
  const hw::SplitRecord* split = nullptr;
  if (fnp || cnp) {
    input = first_input(next_layer);
    split = &split_of(next_layer, next_np);
  }

  regs[32] |= 0x5;
  set_bit(regs[44], 15, routing_flag);
  set_field(regs, 32, 4, 5, input_bits_code(ib));
  set_field(regs, 32, 24, 31, mapping->prev_id);

  uint64_t row = 0;
  uint64_t words = 0;
  if (fnp) {
    const uint64_t width = input[0];
    const uint64_t height = input[1];
    set_bit(regs[32], 1, true);
    set_field(regs, 33, 0, 11, 0);
    set_field(regs, 33, 16, 27, 0);
    set_field(regs, 34, 0, 10, height);
    set_field(regs, 34, 16, 26, width);
    // Overwritten below but for bits 14-15, which the NP keeps from this product.
    set_field(regs, 35, 0, 17, width * height);
    row = cnp_row_bytes(ib, width);
    words = cnp_row_words({ib, width, height, split->spatial_partition.shape[2]});
  } else if (cnp) {
    const NpSpace& window = split->bordered_partition;
    const uint64_t width = window.shape[0];
    const uint64_t height = window.shape[1];
    set_bit(regs[32], 1, false);
    set_field(regs, 33, 0, 11, window.y);
    set_field(regs, 33, 16, 27, window.x);
    set_field(regs, 34, 0, 10, height);
    set_field(regs, 34, 16, 26, width);
    const NpInputWindow part{ib, width, height, split->spatial_partition.shape[2]};
    if (inbound_max_pool && !inbound_activation) {
      // The input comes from a max-pooling layer without activation: its buffer size is given.
      set_bit(regs[32], 11, true);
      set_field(regs, 40, 0, 15, cnp_window_words({ib, width, height, window.shape[2]}));
    }
    if (!next_layer.channelwise()) {
      row = cnp_row_bytes(ib, width);
      words = cnp_row_words(part);
    } else {
      words = channel_row_words(part);
      row = channel_plane_words(part) * 4;
      set_bit(regs[35], 15, true);
      if (split->filters < input[2]) {
        set_bit(regs[32], 10, true);
        set_field(regs, 42, 0, 11, split->start_neuron);
        set_field(regs, 42, 16, 25, split->filters);
      }
    }
  }

  set_bit(regs[41], 31, false);
  set_field(regs, 41, 24, 30, next_nps);
  set_field(regs, 41, 0, 7, sources.low);
  set_field(regs, 41, 8, 15, sources.high);

  // Bits 14-15 keep what the FNP branch left there.
  set_field(regs, 35, 0, 13, words);
  set_field(regs, 35, 16, 31, row);

  set_bit(regs[32], 3, mapping->merge_info != nullptr);
  set_bit(regs[32], 6, mapping->merge_info && !mapping->merge_info->is_add);
}

}  // namespace nuvra::v2
