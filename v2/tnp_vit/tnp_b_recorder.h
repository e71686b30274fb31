// Recording of BufferTempConv (layer type 21) and DepthwiseBufferTempConv (22) layers mapped on
// TNP-B NPs. Arguments as for the CNP recorders (v2/cnp/cnp_recording.h):
//   ib_spikes = first_of_later_pass, routing_flag = last_of_pass, last_flag = fnp_follow_flag.
//
// A record holds the layer's skip-DMA blocks (its frame FIFO), then per NP its registers
// (target 7), weights (1), input shifts (2) and variables (5); under registers_only only the
// register blocks. Excluded NPs get nothing. Everything that can be refused is checked before
// the first block is added:
// - another layer type: std::runtime_error "Invalid layer type for TNP-B recording.";
// - a layer or next layer without a LayerMapping: "The layer <name> is not mapped";
// - a component without split record: std::runtime_error naming it;
// - the refusals of the weight packers (v2/tnp_vit/tnp_b_weight_formats.h), of the input-shift
//   and variable formatters and of the register formatters, which pass through.
#pragma once

#include "v2/cnp/cnp_recording.h"

namespace nuvra::v2 {

std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(const Device& device, const Layer& layer,
                                                                       std::shared_ptr<Layer> next_layer,
                                                                       bool ib_spikes, bool routing_flag,
                                                                       const std::vector<hw::Ident>& excluded_nps,
                                                                       bool registers_only, bool last_flag);

// As above; the input shifts and weights of each NP cover only its own channels.
std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes, bool routing_flag,
    const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool last_flag);

// The register block of every NP of the layer's mapping but the excluded ones.
NpRegisterMap buffer_temp_conv_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                            bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                            bool registers_only, bool last_flag);
NpRegisterMap depthwise_buffer_temp_conv_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer,
                                                      bool ib_spikes, bool routing_flag,
                                                      const std::vector<hw::Ident>& excluded_nps,
                                                      bool registers_only, bool last_flag);

}  // namespace nuvra::v2
