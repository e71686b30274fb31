// Header of a DMA configuration block.
#pragma once

#include <nuvra/types.h>

#include <cstdint>

namespace nuvra::dma {

// Blocks of more than 4095 words need the extended (xl) header.
bool config_block_size_needs_xl(uint32_t n);

// Writes the two header words of a block of `n` data words for `target` on `ident`:
// word 0: target 0-4, xl 7, id 8-11, channel 12-15, row 16-23, col 24-31;
// word 1: address 0-15, count 16-27 (16-31 when xl).
// Panics when a field does not fit.
void format_config_header(uint32_t* two_words, const hw::Ident& ident, Target target, uint32_t n,
                          uint16_t address, bool xl);

}  // namespace nuvra::dma
