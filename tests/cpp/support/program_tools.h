// Test-only tools for program records and program bytes: a bit-field reader, a DMA block
// decoder (the engine's header layout) and listers for readable golden listings.
#pragma once

#include "program/record.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace nuvra::test {

// Bits lo..hi (inclusive, 0 = least significant) of `word`.
constexpr uint32_t field(uint32_t word, unsigned lo, unsigned hi) {
  const unsigned width = hi - lo + 1;
  const uint32_t mask = width >= 32 ? ~0u : ((1u << width) - 1u);
  return (word >> lo) & mask;
}

// The two header words of a DMA configuration block, field by field.
struct BlockHeader {
  uint32_t target = 0;
  bool xl = false;
  hw::Ident ident;  // col, row, id, channel
  uint16_t address = 0;
  uint32_t count = 0;  // data words after the header
};

BlockHeader decode_header(uint32_t word0, uint32_t word1);

// One block of a track: its header, where its header starts in the track, its data words.
struct Block {
  BlockHeader header;
  size_t offset = 0;
  std::span<const uint32_t> data;
};

// Splits a track into whole blocks; throws std::runtime_error when the words do not form
// whole blocks (a header cut short or a count running past the end).
std::vector<Block> decode_blocks(std::span<const uint32_t> track);

struct ListOptions {
  // Data words printed per block (or FNP2 track); the rest is summarised as "... (+n)".
  size_t max_words = std::numeric_limits<size_t>::max();
};

// One line per record, track, block and FNP2 filters track, indented by level:
//   record 0
//     track 0: 14 words
//       block np 1,2,3,0 target 7 address 0 xl 0 words 12: 00000001 ...
//     fnp2 np 1,2,3,0 words 3: 00000001 00000002 00000003
std::string list_record(const program::Record& record, const ListOptions& options = {});

// Lists a size-prefixed program-data part: passes, records, tracks, blocks, FNP2 filters
// tracks, learning records and the dummy descriptor header. A part that fails verification
// gives one line "invalid program data".
std::string list_program_data(const uint8_t* data, size_t size, const ListOptions& options = {});

// Lists the program-data part of a whole program (information part, then data part).
std::string list_program(const std::vector<uint8_t>& program, const ListOptions& options = {});

}  // namespace nuvra::test
