#include "v2/cnp/transposed_recorder.h"

#include <utility>

namespace nuvra::v2 {

std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(const Device& device, const Layer& layer,
                                                                        std::shared_ptr<Layer> next_layer,
                                                                        bool ib_spikes, bool routing_flag,
                                                                        const std::vector<hw::Ident>& excluded_nps,
                                                                        bool registers_only, bool last_flag) {
  return record_cnp_layer(
      CnpFamily::Conv2DTranspose, device, layer,
      CnpRecordingArgs{std::move(next_layer), ib_spikes, routing_flag, excluded_nps, registers_only, last_flag});
}

std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(const Device& device, const Layer& layer,
                                                                          std::shared_ptr<Layer> next_layer,
                                                                          bool ib_spikes, bool routing_flag,
                                                                          const std::vector<hw::Ident>& excluded_nps,
                                                                          bool registers_only, bool last_flag) {
  return record_cnp_layer(
      CnpFamily::DepthwiseConv2DTranspose, device, layer,
      CnpRecordingArgs{std::move(next_layer), ib_spikes, routing_flag, excluded_nps, registers_only, last_flag});
}

NpRegisterMap transposed_conv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                             bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                             bool registers_only, bool last_flag) {
  return cnp_np_registers(
      CnpFamily::Conv2DTranspose, layer,
      CnpRecordingArgs{std::move(next_layer), ib_spikes, routing_flag, excluded_nps, registers_only, last_flag});
}

NpRegisterMap transposed_dwconv2d_np_registers(const Layer& layer, std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                               bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                               bool registers_only, bool last_flag) {
  return cnp_np_registers(
      CnpFamily::DepthwiseConv2DTranspose, layer,
      CnpRecordingArgs{std::move(next_layer), ib_spikes, routing_flag, excluded_nps, registers_only, last_flag});
}

}  // namespace nuvra::v2
