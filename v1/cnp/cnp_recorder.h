// Recording of first-generation Convolutional (standard CNP) and SeparableConvolutional layers
// mapped on CNPs. Per NP of the layer's mapping, in mapping order:
//   standard:  registers (target 7, address 0), weights (0, 0), thresholds (4, 0)
//   separable: registers (7, 0), the layer's depthwise weights (0, 0), the NP's pointwise weights
//              (0, P with P the depthwise words / 16 rounded up), thresholds (4, 0)
// Arguments:
//   next_layer           the first mappable layer of the next pass, or null; NPs it shares with
//                        this layer get its partial-reconfiguration fields
//   first_of_later_pass  the layer opens a pass other than the first: input-buffer spikes
//   last_of_pass         the layer ends a pass that is not the last (routing word 44 bit 2)
//   excluded_nps         NPs that get an empty register block (their weights and thresholds are
//                        still recorded)
//   registers_only       only the register blocks
// Everything that can refuse is checked before the record is made: a layer of another engine
// class (std::bad_cast), an unmapped or unbuilt layer or next layer, a part without split record
// (std::runtime_error), the routing and register refusals, and the weight and threshold refusals
// of v1/cnp/weight_formats.h and v1/cnp/thresholds.h.
#pragma once

#include "devices/device.h"
#include "program/record.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <memory>
#include <vector>

namespace nuvra::v1 {

std::unique_ptr<program::Record> record_program_conv_layer(const Device& device, const Layer& layer,
                                                           std::shared_ptr<Layer> next_layer, bool first_of_later_pass,
                                                           bool last_of_pass,
                                                           const std::vector<hw::Ident>& excluded_nps,
                                                           bool registers_only);

std::unique_ptr<program::Record> record_program_sep_conv_layer(const Device& device, const Layer& layer,
                                                               std::shared_ptr<Layer> next_layer,
                                                               bool first_of_later_pass, bool last_of_pass,
                                                               const std::vector<hw::Ident>& excluded_nps,
                                                               bool registers_only);

}  // namespace nuvra::v1
