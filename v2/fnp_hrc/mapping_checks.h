// How the mapping engine splits a layer over second-generation NPs and whether each share
// fits: NP input width, input SRAM, weight memory and FNP3 memory. The checker of the
// generation forwards its mapping, fit and split operations here.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/strategies.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/types.h>

#include <cstdint>
#include <vector>

namespace nuvra::v2 {

// A Conv2D or DepthwiseConv2D split spatially may neither average over its whole input nor max
// pool with windows that overlap (size above stride): no NP holds such a window whole. The
// failure names the layer; success for every other layer.
MappingStatus check_spatial_split(const Layer& layer);

// check_spatial_split when the components split the layer spatially. Then the first CNP whose
// partition, rounded up to 4 pixels, is wider than 64 fails, without the layer prefix; other
// components are not looked at. Then an FNP3's image must fit one DMA block ("The maximum FNP3
// memory image is 65533 words (got <n>)", as on the first generation). Last, the counts of the
// components must fit their register fields (check_np_register_limits). Both with the layer prefix.
MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components);

// Whether an input window of a CNP1, CNP2 or TNP-B fits the NP's input SRAM once `taken`
// words are reserved. `fifo_size` counts only for a TNP-B. Other NP types throw
// std::runtime_error "Type of NP not supported.".
bool is_sram_input_fit_single_buffer(const HardwareConstraints& constraints, hw::Type type, uint32_t height,
                                     uint32_t width, uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                     uint32_t taken);
bool is_sram_input_fit_dual_buffer(const HardwareConstraints& constraints, hw::Type type, uint32_t height,
                                   uint32_t width, uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                   uint32_t taken);

// 100-bit weight units of `filters` filters of a CNP or TNP-B layer. Other layer types throw
// std::invalid_argument "Unexpected layer type for CNP or TNP-B.".
uint32_t get_weights_100b_size(const Layer& layer, uint32_t filters);
// The 32-bit words of the weight block of an NP that holds `filters` filters (channels of a
// depthwise layer) of a CNP or TNP-B layer, as its recorder packs them. Other layer types throw
// as get_weights_100b_size does.
uint32_t weight_image_words(const Layer& layer, uint32_t filters);
// Also bounds the per-channel container by its 18-bit size field, and the weight image by the
// data of one DMA block.
bool is_weights_size_fit_np(const HardwareConstraints& constraints, const Layer& layer, uint32_t filters);

// Kernel borders (none on a TNP-B), pooling and filters of the layer's parameters.
NpSplitParams np_split_params(hw::Type type, const LayerParams& params);

// Whether the layer's weight image fits an FNP3's internal memory.
bool check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer);
// Whether a Dense1D's image fits the one DMA block an FNP3 loads it as (sized as the FNP3 fit
// sizes it). True for other layers.
bool is_fnp3_image_recordable(const Layer& layer);

}  // namespace nuvra::v2
