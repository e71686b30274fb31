#include "v2/np_registers.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {

namespace {

// row | column << 8, the NP address form of the routing words.
uint32_t row_column(const hw::Ident& ident) { return uint32_t{ident.row} | uint32_t{ident.col} << 8; }

uint32_t range_word(const ColumnRange& r) { return uint32_t{r.low} | uint32_t{r.high} << 8; }

}  // namespace

void field_overflow(const char* field, unsigned lo, unsigned hi, uint64_t value) {
  panic("%llu cannot fit in %s bits %u-%u", static_cast<unsigned long long>(value), field, lo, hi);
}

void block_field_overflow(unsigned word, unsigned lo, unsigned hi, uint64_t value) {
  panic("%llu cannot fit in register word %u bits %u-%u", static_cast<unsigned long long>(value), word, lo, hi);
}

RegisterBlock& register_block(RegisterBlock* block) {
  if (block == nullptr || block->size() < kNpRegisterWords)
    throw std::invalid_argument("An NP register block must hold 64 words");
  return *block;
}

ColumnRange column_range(const std::vector<hw::Component>& components) {
  if (components.empty()) throw std::out_of_range("No column range for an empty component list");
  // The HRC sits outside the NP columns; it is addressed as column 1.
  if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
  const auto [lo, hi] = std::minmax_element(components.begin(), components.end(),
                                            [](const hw::Component& a, const hw::Component& b) {
                                              return a.ident.col < b.ident.col;
                                            });
  return {lo->ident.col, hi->ident.col};
}

RegisterBlock default_np_regs(const hw::Component& np, uint32_t layer_id, bool no_id, bool merge_input_flag) {
  RegisterBlock regs(kNpRegisterWords, 0);
  // The layer id is the low 8 bits of the argument (a layer number within its pass).
  regs[3] = no_id ? 0xFE000000u : (layer_id & 0xFFu) << 24;
  regs[5] = 0x00130100;
  regs[6] = 0x08040000;
  regs[12] = 0x52000000;
  regs[13] = 0x00000010;
  regs[37] = 0xFF000000;
  const uint32_t merge = merge_input_flag ? 8 : 0;
  regs[56] = np.ident.id > 1 ? (merge + 0x100) | 0x01800000 : merge | 0x00800000;
  regs[57] = 0x00000040;
  return regs;
}

void format_mesh_registers_set_output_to_NPs(RegisterBlock* block, const std::vector<hw::Component>& previous,
                                             const std::vector<hw::Component>& own,
                                             const std::vector<hw::Component>& next,
                                             const std::unique_ptr<AltLayerMapInfo>& alt, uint8_t destination_id,
                                             bool p2p_in, bool p2p_out, bool routing_flag) {
  RegisterBlock& regs = register_block(block);
  // Every refusal comes before the first write, in the order the words are written.
  if (p2p_out && next.size() != 1) throw std::runtime_error("Cannot use P2P OUT mode for multiple NPs");
  const ColumnRange next_range = column_range(next);
  if (p2p_in && previous.size() != 1) throw std::runtime_error("Cannot use P2P IN mode for multiple NPs");
  const ColumnRange previous_range = p2p_in ? ColumnRange{} : column_range(previous);
  const ColumnRange own_range = column_range(own);
  if (alt && alt->np_count > AltLayerMapInfo::kMaxNps)
    throw std::runtime_error("Two alternate layers run on " + std::to_string(alt->np_count) +
                             " NPs together; they can run on at most " + std::to_string(AltLayerMapInfo::kMaxNps) + ".");

  regs[44] = (regs[44] & 0xFFF0) | uint32_t{p2p_out} | uint32_t{routing_flag} << 2 | 0xFF080008;

  if (p2p_out) {
    const hw::Ident& to = next.front().ident;
    set_field(regs, 45, 0, 15, row_column(to));
    set_field(regs, 45, 20, 23, one_hot_id(to.id));
  } else {
    set_field(regs, 45, 0, 15, range_word(next_range));
  }
  // A TNP-B is addressed through the number below its own.
  const uint8_t destination =
      next.front().type == hw::Type::TNP_B ? static_cast<uint8_t>(destination_id - 1) : destination_id;
  set_field(regs, 45, 24, 31, destination);

  if (p2p_in) {
    const hw::Ident& from = previous.front().ident;
    set_field(regs, 46, 0, 15, row_column(from));
    set_field(regs, 46, 20, 23, one_hot_id(from.id));
  } else {
    set_field(regs, 46, 0, 15, range_word(previous_range));
  }
  set_bit(regs[46], 31, false);

  if (alt) {
    set_bit(regs[46], 19, true);
    set_bit(regs[52], 4, alt->second_branch & 1);
    set_field(regs, 52, 16, 23, alt->first_id);
    set_field(regs, 52, 24, 31, alt->np_count);
  }

  set_field(regs, 47, 0, 7, std::min(next_range.low, own_range.low));
  set_field(regs, 47, 8, 15, std::max(next_range.high, own_range.high));
}

void format_mesh_cfg_dma_reg(RegisterBlock* block, const hw::Ident& ident) {
  RegisterBlock& regs = register_block(block);
  set_field(regs, 49, 0, 19, row_column(ident) | one_hot_id(ident.id) << 16);
}

void set_ib_spikes(RegisterBlock* block) { register_block(block)[2] |= 0x80; }

}  // namespace nuvra::v2
