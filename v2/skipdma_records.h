// Configuration blocks of the skip-DMA channels a layer's mapping holds: the channel that keeps
// a copy of its output (or input, or buffered frames) and the channel that feeds a kept output
// back to a merging layer. Every block goes to dma target 11 of the channel's ident.
//
// Register addresses of channel c: the lower block from c * 256, the upper block from
// skipdma_channel_base(c) = (c + 16) * 256; 0x1001 is one fixed address shared by all channels.
#pragma once

#include "program/record.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <map>
#include <vector>

namespace nuvra::v2 {

inline constexpr dma::Target kSkipDmaTarget{11};

// Register words by address; written out one block per entry in ascending address order.
using SkipDmaRegs = std::map<uint16_t, std::vector<uint32_t>>;

// Channels past 239 would put their upper block beyond the 16-bit address space, so they are
// refused (std::runtime_error) rather than wrapped onto another channel's registers.
uint16_t skipdma_channel_base(uint8_t channel);

// The NPs a channel exchanges data with: one NP as (col << 24) | (row << 16) | one-hot id in
// bits 4-7 | 2, several as (largest col << 24) | (smallest col << 16) | 1. An empty list has no
// such word: std::runtime_error.
uint32_t skipdma_np_set_word(const std::vector<hw::Component>& components);

// What a store channel keeps of the layer, as register c * 256 + 0x3C counts it: `row_words`, the
// 32-bit words of one row (of one pixel for a TNP-B), and `rows` (the TNP-B's width). A TNP-B
// layer and a dual output keep the layer's input, any other store its output. The register holds
// at most 511 words per row (the checker refuses a layer past them) and 2097151 in all.
struct SkipDmaStoreExtent {
  uint64_t row_words = 0;
  uint64_t rows = 0;
};
inline constexpr uint64_t kMaxSkipDmaRowWords = 0x1FF;
SkipDmaStoreExtent skipdma_store_extent(const Layer& layer, bool dual_output, bool tnp_b);

// Appends, in this order, the load preamble of a TNP-B layer, the store channel, the
// dual-output store channel and the load channel of the layer's mapping; nothing when the
// mapping has no skip-DMA component. Every input is checked before the first block is added,
// so a refusal leaves the record as it was:
// - a layer without a LayerMapping: std::runtime_error "The layer <name> is not mapped";
// - a load on a mapping whose NPs are not all NP parts: std::invalid_argument
//   "Merging layer has no CNPs.";
// - a TNP-B layer without a load, a store without its store record or a load without its link
//   record, a channel out of range: std::runtime_error;
// - a count wider than its register field (a store extent, a load offset): panic, an internal
//   error since the checker refuses such layers.
void record_skipdma(program::Record* record, const Layer& layer);

// The store channel alone: the plain store (`dual_output` false) or the dual-output store of
// the mapping. `fifo_size` is the TNP-B FIFO length (0 otherwise). Does nothing when the mapping
// has no such store.
void record_skipdma_store(program::Record* record, const Layer& layer, bool dual_output, bool tnp_b,
                          uint32_t fifo_size);

}  // namespace nuvra::v2
