// Dense1D on an FNP2 or FNP3: the layer rule, the input packing mode and the memory sizes.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>

namespace nuvra::v2 {

// How the 8-bit input is laid out in the FNP's input memory; the numbers are part of the
// register format. `none`: no layout fits, and whatever needs one throws
// std::runtime_error "Unsupported padding.".
enum class FnpInputMode : uint32_t {
  none = 0,
  flat = 1,          // the values one after the other
  pixel_rows = 2,    // per row, every channel's values, the row padded to 4 bytes
  channel_rows = 3,  // per row and channel, the values padded to 4 bytes
};

// `previous` is the layer before this one in the list being mapped (null for the first).
MappingStatus check_fnp_constraints(const Layer& layer, const std::shared_ptr<Layer>& previous);

// Input memory in 32-bit words, without header words. `first_layer` is the first layer of
// the sequence; when it is the layer itself the input is taken as flat.
uint32_t get_fnp_input_size(const Layer& layer, const Layer& first_layer);
// Weight memory in 32-bit words: every neuron stores two header words and its weights in the
// input's layout.
uint32_t get_fnp_sram_size(const Layer& layer);

// The first input shape, or 1 x 1 x (x*y*c) when `flat`.
Shape fnp_input_shape(const Layer& layer, bool flat);
// Packed row by row: the input comes straight from an HRC, a CNP or a TNP-B.
bool is_spatial_fnp_input(const Layer& layer, bool flat);
FnpInputMode choose_fnp_input_mode(const Layer& layer, const Shape& shape, bool flat);
// Words per neuron (or per input), the two header words included.
uint32_t fnp_input_sram_words(const Shape& shape, FnpInputMode mode);

}  // namespace nuvra::v2
