// The 50-word register block of a first-generation NP (CNP or FNP): its defaults and the
// formatters every first-generation recorder applies to it. Each formatter writes only the bit
// fields it names and keeps every other bit, and checks everything it can refuse before its
// first write, so a refusal leaves the block as it was.
//
// Word map (other words are 0 by default):
//   2          bit 7 input-buffer spikes          4, 14    input SRAM words in use (bits 0-17)
//   6,12,13,37 fixed defaults                      32-35    partial reconfiguration
//   36-38      on-chip learning (common)           39, 41   CNP learning values
//   44-47      input and output routing            49       configuration DMA endpoint
// The layer recorders own the convolution and weight-layout words (v1/cnp, v1/fnp).
#pragma once

#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuvra::v1 {

inline constexpr size_t kNpRegisterWords = 50;

// Recorded as the NP's register track (dma target 7).
using RegisterBlock = std::vector<uint32_t>;

// The caller's block; throws std::invalid_argument when it is null or shorter than 50 words.
RegisterBlock& register_block(RegisterBlock* block);

// Panics "<value> cannot fit in bits <lo>-<hi> of register word <index>".
[[noreturn]] void field_overflow(size_t index, unsigned lo, unsigned hi, uint64_t value);

// Writes `value` into bits lo..hi of word `index` of a register block, leaving the other bits.
// A value wider than the field is an internal fault (the checker refuses every layer whose
// values do not fit) and panics naming the field; where a Part defines a wrap, the caller masks
// the value first. The value is taken in 64 bits so that a wide count is not cut on the way.
template <class Words>
inline void set_field(Words& words, size_t index, unsigned lo, unsigned hi, uint64_t value) {
  const unsigned width = hi - lo + 1;
  const uint32_t largest = width >= 32 ? ~0u : (1u << width) - 1u;
  if (value > largest) [[unlikely]]
    field_overflow(index, lo, hi, value);
  uint32_t& word = words[index];
  word = (word & ~(largest << lo)) | static_cast<uint32_t>(value) << lo;
}

template <class Words>
inline void set_bit(Words& words, size_t index, unsigned bit, bool value) {
  set_field(words, index, bit, bit, value ? 1u : 0u);
}

// The 4-bit one-hot form of an NP id used in every NP address; ids above 3 give an empty field.
constexpr uint32_t one_hot_id(uint8_t id) { return id < 4 ? 1u << id : 0u; }

struct ColumnRange {
  uint8_t low = 0;
  uint8_t high = 0;
  bool operator==(const ColumnRange&) const = default;
};

// Smallest and largest column of the components; a list of exactly one HRC is column 1 whatever
// its own column. An empty list has no range: std::out_of_range.
ColumnRange column_range(const std::vector<hw::Component>& components);

// A new block holding the defaults: word 6 0x04040000, 12 0x52000000, 13 0x10, 37 0xFF000000.
RegisterBlock default_np_regs();

// Words 44 to 47: where the NP's input comes from (`inputs`), where its output goes (`outputs`,
// to layer `dest_layer`; 255 means none), point-to-point or by column range, and the
// last-of-pass flag (word 44 bit 2). Throws std::runtime_error "Cannot use P2P mode for multiple
// NPs" when a point-to-point side has not exactly one component, std::out_of_range when a list
// whose column range is needed is empty.
void format_mesh_registers_set_output_to_NPs(RegisterBlock* block, const std::vector<hw::Component>& inputs,
                                             const std::vector<hw::Component>& own,
                                             const std::vector<hw::Component>& outputs, uint8_t dest_layer, bool p2p_in,
                                             bool p2p_out, bool last_of_pass);

// Word 49 bits 0-19: row, column and one-hot id of the configuration DMA endpoint.
void format_mesh_cfg_dma_reg(RegisterBlock* block, const hw::Ident& endpoint);

// Word 2 bit 7: the NP's input buffer receives spikes.
void set_ib_spikes(RegisterBlock* block);

// Words 4, 14 and 32-35: prepares the NP for `layer`, the layer it runs next, as `component`
// (its component on this NP). The layer must carry a LayerMapping (else std::runtime_error "The
// layer <name> is not mapped") and, on a CNP, the component a split record. Input words past the
// 18 bits of words 4 and 14 throw std::runtime_error naming the layer. Nothing is written then.
void update_partial_reconfig_regs(RegisterBlock* block, const Layer& layer, const hw::Component& component);

// The counts of words 36 to 38 before their fields' widths apply: the competition count
// round((1 - learning_competition) x num_weights), the minimum plasticity count
// ceil(min_plasticity x num_weights), the plasticity count R = round(num_weights x
// initial_plasticity), which must be an unsigned 32-bit integer, and the plasticity decay count
// ceil(R x plasticity_decay); rounding is half away from zero. Each count is the integer part,
// saturated to 64 bits (NaN reads as 0). A missing key fails as LearningParams::get does.
struct LearningCounts {
  int64_t competition = 0;
  int64_t min_plasticity = 0;
  int64_t plasticity = 0;
  int64_t plasticity_decay = 0;
};
LearningCounts learning_counts(const LearningParams& learning);
// The largest counts the fields hold (word 36 bits 0-19, words 37 and 38 bits 0-15), and the
// largest plasticity count word 38's decay count is taken from.
inline constexpr int64_t kMaxCompetitionCount = 0xFFFFF;
inline constexpr int64_t kMaxPlasticityCount = 0xFFFF;
inline constexpr int64_t kMaxInitialPlasticityCount = 0xFFFFFFFF;

// Words 36-38 from the learning parameters ("num_weights", "initial_plasticity",
// "learning_competition", "min_plasticity", "plasticity_decay"); null only clears word 36 bit 28
// (learning off). A missing key fails as LearningParams::get does, and a count its field cannot
// hold panics (the checker refuses such a layer), both before any write.
void format_learning_common_regs(RegisterBlock* block, const LearningParams* learning);

// Word 39 bits 0-15 = a, word 41 bits 0-11 = b (low bits kept).
void format_learning_cnp_regs(RegisterBlock* block, uint32_t a, uint32_t b);

}  // namespace nuvra::v1
