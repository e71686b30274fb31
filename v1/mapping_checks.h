// How the mapping engine cuts first-generation sequences and splits layers over NPs: the
// sequence rules, the checks of an NP assignment, and the memory-fit and split figures.
#pragma once

#include "backend/strategies.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace nuvra {
class Device;
}

namespace nuvra::v1 {

// Input SRAM of one NP, in 32-bit words, with one input buffer and with two.
inline constexpr uint32_t kInputSramSingleBufferWords = 10752;
inline constexpr uint32_t kInputSramDualBufferWords = 5376;

// A run may not end on a CNP layer with max pooling; on Qrix_v2 such a layer must also be
// followed by a CNP layer. Off Qrix_v2, a run whose output the SCC frames (a last CNP layer with
// an activation and fewer than 2048 channels) may not end on an output whose height times
// channels exceeds 1048575. An empty run is {1, "Empty layer sequence"}.
MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last, HwVersion version);
// The same verdicts for a run growing one layer at a time from `first`, each in constant time.
std::unique_ptr<GrowingSequenceCheck> check_growing_sequence(LayerList::const_iterator first, HwVersion version);

// The CNP split rules of the layer's kind, then the width of every CNP part (rounded up to 4) at
// most 32, then at most 255 NPs and an FNP3 image of at most 65533 words (one DMA block).
// Failures carry the layer name.
MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components, HwVersion version);

// The rules of the layer's kind that any spatial split breaks (a strided convolution with max
// pooling, overlapping pooling windows, global average pooling), with the layer name; success for
// other kinds.
MappingStatus check_spatial_split(const Layer& layer);

// Whether a window of `height` rows of `width` values of `bits` bits over `channels` channels fits
// the input SRAM.
bool is_sram_input_fit_single_buffer(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits);
bool is_sram_input_fit_dual_buffer(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits);

// Whether the FullyConnected layer's image fits the one DMA block an FNP3 loads it as.
bool is_fnp3_image_recordable(const Layer& layer);

// Kernel halves as the four borders, then pooling type, width, height and filters as read.
NpSplitParams np_split_params(const LayerParams& params);

}  // namespace nuvra::v1
