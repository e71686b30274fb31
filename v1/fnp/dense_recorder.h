// The program of a first-generation FullyConnected layer on its one FNP: the 50-word register block
// (target 7), then the FNP memory image, in the FNP3's own memory (target 6) or, on an FNP2, in
// external memory (the record's FNP2 filters track).
//
// FNP fields of the register block (every other bit of these words stays 0):
//   1   bits 4-6 = 7, bit 20, bit 21 FNP2, bit 22 single buffer, bit 24 FNP3
//   3   bits 0-1 input bits code, 4-5 weight bits - 2, 7 signed weights, 12-13 act bits code,
//       15 activation, 16, 24-31 layer number
//   10  input height (0-10) and width (16-26)       11  bits 12-29 width x height
//   14  bits 0-17 input words, bit 31               15  bits 0-16 units
//   16  bit 29 activation                           17  FNP3: image words (0-15), 20992-word pages (20-23)
#pragma once

#include "devices/device.h"
#include "program/record.h"
#include "v1/fnp/fnp_ram.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace nuvra::v1 {

using NpRegisters = std::map<hw::Ident, std::vector<uint32_t>>;

// The register block of the layer's first component, keyed by its ident. `learning` writes the
// layer's learning parameters into the learning words (and enables learning); otherwise learning
// is left disabled. Throws std::invalid_argument "4-bit FNP inputs require single buffer mode",
// std::runtime_error when the layer is not mapped or an FNP2's device has no mesh,
// std::out_of_range for a mapping without components, and the routing formatter's errors.
NpRegisters fnp_np_registers(const Device& device, const Layer& layer, bool learning,
                             const std::shared_ptr<Layer>& next_layer, bool first_of_later_pass, bool last_of_pass);

// Arguments as the layer recorder passes them:
//   next_layer           the first mappable layer of the next pass (null for the last pass); when it
//                        shares this layer's NP the block gets its partial-reconfiguration fields
//   first_of_later_pass  the NP's input buffer receives spikes
//   last_of_pass         the layer ends a pass that is not the last (routing)
//   excluded_nps         an excluded NP gives an empty record
//   registers_only       no memory image
// Throws the errors of fnp_np_registers and format_fnp_ram; nothing is returned on an error.
std::unique_ptr<program::Record> record_program_dense_layer(const Device& device, const Layer& layer,
                                                            std::shared_ptr<Layer> next_layer, bool first_of_later_pass,
                                                            bool last_of_pass,
                                                            const std::vector<hw::Ident>& excluded_nps,
                                                            bool registers_only);

// Records the layer's FNP memory image (with the learning fields when given) for `np`: an NP block
// at target 6, or on an FNP2 the record's filters track.
void record_fnp_image(program::Record& record, const Layer& layer, const hw::Component& np,
                      const FnpLearningFields* learning);

}  // namespace nuvra::v1
