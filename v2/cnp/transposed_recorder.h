// Recording of Conv2DTranspose (layer type 17) and DepthwiseConv2DTranspose (20) layers mapped
// on CNPs: the records of v2/cnp/conv2d_recorder.h, with a transposed split (output twice the
// part, stride 1) and no pooling.
#pragma once

#include "v2/cnp/cnp_recording.h"

namespace nuvra::v2 {

std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(const Device& device, const Layer& layer,
                                                                        std::shared_ptr<Layer> next_layer,
                                                                        bool ib_spikes, bool routing_flag,
                                                                        const std::vector<hw::Ident>& excluded_nps,
                                                                        bool registers_only, bool last_flag);

std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(const Device& device, const Layer& layer,
                                                                          std::shared_ptr<Layer> next_layer,
                                                                          bool ib_spikes, bool routing_flag,
                                                                          const std::vector<hw::Ident>& excluded_nps,
                                                                          bool registers_only, bool last_flag);

NpRegisterMap transposed_conv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                             bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                             bool registers_only, bool last_flag);

NpRegisterMap transposed_dwconv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                               bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                               bool registers_only, bool last_flag);

}  // namespace nuvra::v2
