#include "v1/layer_recorder.h"

#include "devices/device.h"
#include "v1/cnp/cnp_recorder.h"
#include "v1/fnp/dense_recorder.h"
#include "v1/fnp/learning.h"
#include "v1/hrc/hrc_recorder.h"
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
    case LayerType::InputConvolutional: return record_program_hrc_layer(*device, layer);
    case LayerType::FullyConnected:
      return record_program_dense_layer(*device, layer, std::move(next_layer), ib_spikes, routing_flag, excluded_nps,
                                        registers_only);
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

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer& layer, bool first_of_later_pass) const {
  if (!device) throw std::runtime_error("The layer recorder has no device.");
  return record_program_learning_dense_layer(*device, layer, first_of_later_pass);
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer> layer) const {
  if (!device) throw std::runtime_error("The layer recorder has no device.");
  if (!layer) throw std::invalid_argument("No layer to read learnt values into.");
  v1::sync_learning_vars(*device, *layer);
}

std::optional<std::vector<uint32_t>> LayerRecorderImpl::learning_memory(const Layer& layer) const {
  if (!device) throw std::runtime_error("The layer recorder has no device.");
  return learning_memory_image(*device, layer);
}

}  // namespace nuvra::v1
