#include "v2/layer_recorder.h"

#include "devices/device.h"
#include "v2/cnp/conv2d_recorder.h"
#include "v2/cnp/transposed_recorder.h"
#include "v2/fnp_hrc/dense1d_recorder.h"
#include "v2/fnp_hrc/hrc_recorder.h"
#include "v2/layer_type.h"
#include "v2/tnp_vit/tnp_b_recorder.h"
#include "v2/tnp_vit/vit_recorder.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace nuvra::v2 {

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(const Layer& layer, const Layer& seq_first,
                                                                 std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                                 bool routing_flag,
                                                                 const std::vector<hw::Ident>& excluded_nps,
                                                                 bool registers_only, bool last_flag) const {
  if (!device) throw std::runtime_error("The layer recorder has no device.");
  const Device& dev = *device;
  const LayerType type = layer_type_of(layer);
  switch (type) {
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::Dequantizer:
      return program::new_record(dev.version());
    case LayerType::Stem:
      return record_program_stem_layer(dev, layer);
    case LayerType::Conv2D:
      return record_program_conv2d_layer(dev, layer, std::move(next_layer), ib_spikes, routing_flag, excluded_nps,
                                         registers_only, last_flag);
    case LayerType::InputConv2D:
      return record_program_input_conv2d_layer(dev, layer);
    case LayerType::DepthwiseConv2D:
      return record_program_dwconv2d_layer(dev, layer, std::move(next_layer), ib_spikes, routing_flag, excluded_nps,
                                           registers_only, last_flag);
    case LayerType::Conv2DTranspose:
      return record_program_transposed_conv2d_layer(dev, layer, std::move(next_layer), ib_spikes, routing_flag,
                                                    excluded_nps, registers_only, last_flag);
    case LayerType::DepthwiseConv2DTranspose:
      return record_program_transposed_dwconv2d_layer(dev, layer, std::move(next_layer), ib_spikes, routing_flag,
                                                      excluded_nps, registers_only, last_flag);
    case LayerType::BufferTempConv:
      return record_program_buffer_temp_conv_layer(dev, layer, std::move(next_layer), ib_spikes, routing_flag,
                                                   excluded_nps, registers_only, last_flag);
    case LayerType::DepthwiseBufferTempConv:
      return record_program_depthwise_buffer_temp_conv_layer(dev, layer, std::move(next_layer), ib_spikes,
                                                             routing_flag, excluded_nps, registers_only, last_flag);
    case LayerType::VitEncoderBlock:
      // The ending pass still runs on an excluded block: it must not be reprogrammed.
      if (std::any_of(excluded_nps.begin(), excluded_nps.end(),
                      [&](const hw::Ident& np) { return np == vit_block_ident(layer); }))
        return program::new_record(dev.version());
      return record_program_vit_encoder_block_layer(dev, layer);
    case LayerType::Dense1D:
      if (!constraints) throw std::runtime_error("The layer recorder has no hardware constraints.");
      return record_program_dense1d_layer(dev, *constraints, layer, seq_first, std::move(next_layer), ib_spikes,
                                          routing_flag, excluded_nps, registers_only);
    default:
      throw std::runtime_error("Unsupported layer type: " + std::to_string(static_cast<int32_t>(type)));
  }
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer>) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

}  // namespace nuvra::v2
