// Test-only tools for DMA blocks: a bit-field reader and a block decoder (the engine's header
// layout).
#pragma once

#include "program/record.h"

#include <cstdint>
#include <span>
#include <vector>

namespace nuvra::test {

// Bits lo..hi (inclusive, 0 = least significant) of `word`.
constexpr uint32_t field(uint32_t word, unsigned lo, unsigned hi) {
  return (word >> lo) & (hi - lo >= 31 ? ~0u : (1u << (hi - lo + 1)) - 1u);
}

// The two header words of a DMA configuration block, field by field.
struct BlockHeader {
  uint32_t target = 0;
  bool xl = false;
  hw::Ident ident;  // col, row, id, channel
  uint16_t address = 0;
  uint32_t count = 0;  // data words after the header
};

struct Block {
  BlockHeader header;
  std::span<const uint32_t> data;
};

// Splits a track into whole blocks; throws std::runtime_error when the words do not form
// whole blocks (a header cut short or a count running past the end).
std::vector<Block> decode_blocks(std::span<const uint32_t> track);

}  // namespace nuvra::test
