#include "v1/np_registers.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace nuvra::v1 {

namespace {

// row | column << 8: the NP address form of the routing words.
uint32_t row_column(const hw::Ident& ident) { return uint32_t{ident.row} | uint32_t{ident.col} << 8; }

uint32_t range_word(const ColumnRange& r) { return uint32_t{r.low} | uint32_t{r.high} << 8; }

// The integer part of `v`; values beyond the 64-bit range saturate and NaN reads as 0, so no
// conversion is undefined.
int64_t integer_part(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return INT64_MAX;
  if (v <= -9.2e18) return INT64_MIN;
  return static_cast<int64_t>(v);
}

// A count into its field; one the field cannot hold panics before the caller's first write.
uint32_t checked_count(int64_t count, int64_t largest, size_t word, unsigned hi) {
  if (count < 0 || count > largest) field_overflow(word, 0, hi, static_cast<uint64_t>(count));
  return static_cast<uint32_t>(count);
}

}  // namespace

void field_overflow(size_t index, unsigned lo, unsigned hi, uint64_t value) {
  panic("%llu cannot fit in bits %u-%u of register word %u", static_cast<unsigned long long>(value), lo, hi,
        static_cast<unsigned>(index));
}

RegisterBlock& register_block(RegisterBlock* block) {
  if (block == nullptr || block->size() < kNpRegisterWords)
    throw std::invalid_argument("An NP register block must hold 50 words");
  return *block;
}

ColumnRange column_range(const std::vector<hw::Component>& components) {
  if (components.empty()) throw std::out_of_range("No column range for an empty component list");
  // The HRC sits outside the NP columns; it is addressed as column 1.
  if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
  const auto [lo, hi] =
      std::minmax_element(components.begin(), components.end(),
                          [](const hw::Component& a, const hw::Component& b) { return a.ident.col < b.ident.col; });
  return {lo->ident.col, hi->ident.col};
}

RegisterBlock default_np_regs() {
  RegisterBlock regs(kNpRegisterWords, 0);
  regs[6] = 0x04040000;
  regs[12] = 0x52000000;
  regs[13] = 0x00000010;
  regs[37] = 0xFF000000;
  return regs;
}

void format_mesh_registers_set_output_to_NPs(RegisterBlock* block, const std::vector<hw::Component>& inputs,
                                             const std::vector<hw::Component>& own,
                                             const std::vector<hw::Component>& outputs, uint8_t dest_layer, bool p2p_in,
                                             bool p2p_out, bool last_of_pass) {
  RegisterBlock& regs = register_block(block);
  // Every refusal comes before the first write, output side first.
  if (p2p_out && outputs.size() != 1) throw std::runtime_error("Cannot use P2P mode for multiple NPs");
  if (p2p_in && inputs.size() != 1) throw std::runtime_error("Cannot use P2P mode for multiple NPs");
  const ColumnRange out_range = column_range(outputs);
  const ColumnRange own_range = column_range(own);
  const ColumnRange in_range = p2p_in ? ColumnRange{} : column_range(inputs);

  const uint32_t no_destination = dest_layer == 255;
  regs[44] = (regs[44] & 0xFFF8) | uint32_t{p2p_out} | uint32_t{last_of_pass} << 2 | 1u << 19 |
             (no_destination ? 0x06000000u : 0xFF000000u);

  if (p2p_out) {
    set_field(regs, 45, 0, 15, row_column(outputs.front().ident));
    set_field(regs, 45, 20, 23, one_hot_id(outputs.front().ident.id));
  } else {
    set_field(regs, 45, 0, 15, range_word(out_range));
  }
  set_field(regs, 45, 24, 31, dest_layer);

  if (p2p_in) {
    set_field(regs, 46, 0, 15, row_column(inputs.front().ident));
    set_field(regs, 46, 20, 23, one_hot_id(inputs.front().ident.id));
  } else {
    set_field(regs, 46, 0, 15, range_word(in_range));
  }
  set_field(regs, 46, 30, 31, 0);

  regs[47] = range_word({std::min(out_range.low, own_range.low), std::max(out_range.high, own_range.high)});
}

void format_mesh_cfg_dma_reg(RegisterBlock* block, const hw::Ident& endpoint) {
  RegisterBlock& regs = register_block(block);
  set_field(regs, 49, 0, 19, row_column(endpoint) | one_hot_id(endpoint.id) << 16);
}

void set_ib_spikes(RegisterBlock* block) { register_block(block)[2] |= 0x80; }

LearningCounts learning_counts(const LearningParams& learning) {
  const double num_weights = learning.get("num_weights");
  const double initial_plasticity = learning.get("initial_plasticity");
  const double competition = learning.get("learning_competition");
  const double min_plasticity = learning.get("min_plasticity");
  const double decay = learning.get("plasticity_decay");
  const int64_t plasticity = integer_part(std::round(num_weights * initial_plasticity));
  return {integer_part(std::round((1.0 - competition) * num_weights)),
          integer_part(std::ceil(min_plasticity * num_weights)), plasticity,
          integer_part(std::ceil(static_cast<double>(plasticity) * decay))};
}

void format_learning_common_regs(RegisterBlock* block, const LearningParams* learning) {
  RegisterBlock& regs = register_block(block);
  if (!learning) {
    set_bit(regs, 36, 28, false);
    return;
  }
  const LearningCounts counts = learning_counts(*learning);
  if (counts.plasticity < 0 || counts.plasticity > kMaxInitialPlasticityCount)
    panic("The plasticity count %lld is not an unsigned 32-bit integer", static_cast<long long>(counts.plasticity));
  const uint32_t competition = checked_count(counts.competition, kMaxCompetitionCount, 36, 19);
  const uint32_t min_plasticity = checked_count(counts.min_plasticity, kMaxPlasticityCount, 37, 15);
  const uint32_t decay = checked_count(counts.plasticity_decay, kMaxPlasticityCount, 38, 15);

  set_field(regs, 36, 0, 19, competition);
  set_bit(regs, 36, 28, true);
  set_field(regs, 37, 0, 15, min_plasticity);
  set_field(regs, 38, 0, 15, decay);
}

void format_learning_cnp_regs(RegisterBlock* block, uint32_t a, uint32_t b) {
  RegisterBlock& regs = register_block(block);
  // A 16-bit store and a 12-bit mask, as the words define them.
  set_field(regs, 39, 0, 15, a & 0xFFFF);
  set_field(regs, 41, 0, 11, b & 0xFFF);
}

}  // namespace nuvra::v1
