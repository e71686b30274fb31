// The first generation's layer recorder: hands each mapped layer to the recorder of its kind.
// Argument names follow LayerRecorder (backend/strategies.h): `seq_first` and `last_flag` are not
// used, `ib_spikes` is first_of_later_pass and `routing_flag` last_of_pass.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/strategies.h"

namespace nuvra {
class Device;
}

namespace nuvra::v1 {

class LayerRecorderImpl final : public LayerRecorder {
 public:
  // Neither is owned; both must outlive the recorder. Recording uses only the device.
  LayerRecorderImpl(const Device* device, const HardwareConstraints* constraints)
      : device(device), constraints(constraints) {}

  // InputConvolutional, FullyConnected, Convolutional and SeparableConvolutional; any other type
  // throws std::runtime_error "Unsupported layer type: <n>".
  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& seq_first,
                                                std::shared_ptr<Layer> next_layer, bool ib_spikes, bool routing_flag,
                                                const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                bool last_flag) const override;
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool first_of_later_pass) const override;
  void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
  std::optional<std::vector<uint32_t>> learning_memory(const Layer& layer) const override;

  const Device* device;
  const HardwareConstraints* constraints;
};

}  // namespace nuvra::v1
