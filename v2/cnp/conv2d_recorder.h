// Recording of Conv2D (layer type 14) and DepthwiseConv2D (16) layers mapped on CNPs.
// Arguments, refusals and record layout: v2/cnp/cnp_recording.h.
#pragma once

#include "v2/cnp/cnp_recording.h"

namespace nuvra::v2 {

// Per NP: registers (target 7), weights (1, or 0 for 7x7 Conv2D), input shifts of all channels
// (2), variables (5) and, with a fused Add, the merge shifts of all channels (10); then the
// skip-DMA blocks (11). Under registers_only only the register blocks.
std::unique_ptr<program::Record> record_program_conv2d_layer(const Device& device, const Layer& layer,
                                                             std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                             bool routing_flag,
                                                             const std::vector<hw::Ident>& excluded_nps,
                                                             bool registers_only, bool last_flag);

// As above, with the weights, input shifts and merge shifts of the NP's own channels.
std::unique_ptr<program::Record> record_program_dwconv2d_layer(const Device& device, const Layer& layer,
                                                               std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                               bool routing_flag,
                                                               const std::vector<hw::Ident>& excluded_nps,
                                                               bool registers_only, bool last_flag);

NpRegisterMap conv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                  bool routing_flag, const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                  bool last_flag);

NpRegisterMap dwconv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                    bool routing_flag, const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                    bool last_flag);

}  // namespace nuvra::v2
