// The 64-word register block of a second-generation NP: the default block and the formatters
// of its routing, mesh-DMA, input-spikes and partial-reconfiguration words.
//
// Every formatter changes only the bits it owns, so the order of the calls matters. A recorder
// programs one NP with: default_np_regs; the common configuration and its own words; pooling
// (CNP only); format_mesh_registers_set_output_to_NPs; update_partial_reconfig_regs when the
// next layer runs on the same NP; set_ib_spikes when the NP's input buffer receives spikes.
//
// Word map (words not listed are 0 by default):
//   1       CNP/TNP common flags                     2       bit 7 spikes, bit 8 max-pool input
//   3       layer id (24-31), configuration          4       input window words, configuration
//   5,6,12,13,37,56,57  fixed defaults               8-11, 20, 24-27  window geometry, pooling
//   32-35, 40-42  partial reconfiguration            44-47   output routing, input sources
//   48, 52, 53    skip-DMA store / load              49      mesh DMA ident
#pragma once

#include "backend/layer_mapping.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nuvra::v2 {

inline constexpr size_t kNpRegisterWords = 64;

// Recorded as the NP's register track (dma target 7).
using RegisterBlock = std::vector<uint32_t>;

// The caller's block; throws std::invalid_argument when it is null or shorter than 64 words.
RegisterBlock& register_block(RegisterBlock* block);

// Register fields never wrap: a value wider than its field is an internal error that names the
// field (panic "<value> cannot fit in <field> bits <lo>-<hi>"), since the NP would run another
// value than the one asked for. The checker refuses what a user can reach beforehand; where the
// wrap is meant (a two's-complement offset, a count taken modulo), the caller masks explicitly.
[[noreturn]] void field_overflow(const char* field, unsigned lo, unsigned hi, uint64_t value);
[[noreturn]] void block_field_overflow(unsigned word, unsigned lo, unsigned hi, uint64_t value);

constexpr uint32_t low_bits(unsigned width) { return width >= 32 ? ~0u : (1u << width) - 1u; }

// Writes `value` into bits lo..hi of `word`, leaving the others; `field` names the word in the
// error, e.g. "HRC register word 1".
constexpr void set_field(uint32_t& word, unsigned lo, unsigned hi, uint64_t value, const char* field) {
  const uint32_t low = low_bits(hi - lo + 1);
  if (value > low) field_overflow(field, lo, hi, value);
  word = (word & ~(low << lo)) | static_cast<uint32_t>(value) << lo;
}

// The same for word `w` of a register block, which the error names by its number.
inline void set_field(RegisterBlock& regs, unsigned w, unsigned lo, unsigned hi, uint64_t value) {
  const uint32_t low = low_bits(hi - lo + 1);
  if (value > low) block_field_overflow(w, lo, hi, value);
  regs[w] = (regs[w] & ~(low << lo)) | static_cast<uint32_t>(value) << lo;
}

// A field of an unnamed word, refused the same way.
constexpr void set_field(uint32_t& word, unsigned lo, unsigned hi, uint64_t value) {
  set_field(word, lo, hi, value, "a register word");
}

constexpr void set_bit(uint32_t& word, unsigned bit, bool value) {
  word = (word & ~(1u << bit)) | uint32_t{value} << bit;
}

// The 4-bit one-hot form of an NP id, the form of every NP address in a register word; ids
// above 3 give an empty field.
constexpr uint32_t one_hot_id(uint8_t id) { return id < 4 ? 1u << id : 0u; }

struct ColumnRange {
  uint8_t low = 0;
  uint8_t high = 0;
  bool operator==(const ColumnRange&) const = default;
};

// Smallest and largest column of the components; a list of exactly one HRC gives 1..1 whatever
// its column. An empty list has no range: std::out_of_range.
ColumnRange column_range(const std::vector<hw::Component>& components);

// The block of an NP before any formatter: 64 words holding the fixed defaults, the layer id
// (0xFE000000 in word 3 when `no_id`) and, in word 56, the merge-input flag.
RegisterBlock default_np_regs(const hw::Component& np, uint32_t layer_id, bool no_id, bool merge_input_flag);

// Words 44 to 47 and the alternate-layer fields of word 52: where the NP sends its output
// (`next`, layer `destination_id`) and where its input comes from (`previous`).
// Throws std::runtime_error "Cannot use P2P OUT mode for multiple NPs" / "Cannot use P2P IN mode
// for multiple NPs" when a point-to-point side has not exactly one component, or when an alternate
// pair runs on more NPs than word 52 counts (255); std::out_of_range for an empty next, previous or
// own list. The block is checked whole before it is written, so a refusal leaves it unchanged.
void format_mesh_registers_set_output_to_NPs(RegisterBlock* block, const std::vector<hw::Component>& previous,
                                             const std::vector<hw::Component>& own,
                                             const std::vector<hw::Component>& next,
                                             const std::unique_ptr<AltLayerMapInfo>& alt, uint8_t destination_id,
                                             bool p2p_in, bool p2p_out, bool routing_flag);

// Word 49 bits 0-19: row, column and one-hot id of `ident`.
void format_mesh_cfg_dma_reg(RegisterBlock* block, const hw::Ident& ident);

// Word 2 bit 7: the NP's input buffer receives spikes.
void set_ib_spikes(RegisterBlock* block);

// Prepares the NP for the layer it runs next: words 32-35 and 40-42 and bit 15 of word 44,
// from `next_layer` (which must carry a LayerMapping) and `next_np`, its component on this NP.
// Throws std::runtime_error when the layer is not mapped, runs on more NPs than word 41 counts
// (127) or, for an FNP, CNP or TNP-B layer, the component has no split record; std::out_of_range
// when the layer has no input shape or its mapping no input source. Nothing is written on these
// refusals (a field that cannot hold its value is an internal error, see set_field).
void update_partial_reconfig_regs(RegisterBlock* block, const Layer& next_layer, const hw::Component& next_np,
                                  bool routing_flag);

}  // namespace nuvra::v2
