#include "v1/layer_recorder.h"

#include "devices/device.h"
#include "v1/cnp/cnp_recorder.h"
#include "v1/layer_access.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace nuvra::v1 {

namespace {

[[noreturn]] void unsupported(LayerType type) {
  throw std::runtime_error("Unsupported layer type: " + std::to_string(static_cast<int32_t>(type)));
}

}  // namespace

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(const Layer& layer, const Layer&,
                                                                 std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                                 bool routing_flag,
                                                                 const std::vector<hw::Ident>& excluded_nps,
                                                                 bool registers_only, bool) const {
  if (!device) throw std::runtime_error("The layer recorder has no device.");
  const LayerType type = layer_type_of(layer);
  switch (type) {
    // InputConvolutional (HRC) and FullyConnected (FNP) recording come with v1/hrc and v1/fnp.
    case LayerType::Convolutional:
      return record_program_conv_layer(*device, layer, std::move(next_layer), ib_spikes, routing_flag, excluded_nps,
                                       registers_only);
    case LayerType::SeparableConvolutional:
      return record_program_sep_conv_layer(*device, layer, std::move(next_layer), ib_spikes, routing_flag,
                                           excluded_nps, registers_only);
    default:
      unsupported(type);
  }
}

// On-chip learning of a FullyConnected layer comes with v1/fnp.
program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
  unsupported(LayerType::FullyConnected);
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer>) const { unsupported(LayerType::FullyConnected); }

}  // namespace nuvra::v1
