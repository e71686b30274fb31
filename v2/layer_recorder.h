// The second generation's layer recorder: hands each mapped layer to the recorder of its type.
// Argument names follow LayerRecorder (backend/strategies.h); the recorders keep their meaning.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/strategies.h"

namespace nuvra {
class Device;
}

namespace nuvra::v2 {

class LayerRecorderImpl final : public LayerRecorder {
 public:
  // Neither is owned; both must outlive the recorder.
  LayerRecorderImpl(const Device* device, const HardwareConstraints* constraints)
      : device(device), constraints(constraints) {}

  // Merge layers and the dequantizer take no NP of their own and get an empty record. A type
  // without a recorder throws std::runtime_error "Unsupported layer type: <n>".
  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& seq_first,
                                                std::shared_ptr<Layer> next_layer, bool ib_spikes, bool routing_flag,
                                                const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                bool last_flag) const override;
  // No on-chip learning on this generation: both throw.
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool learn) const override;
  void sync_learning_vars(std::shared_ptr<Layer> layer) const override;

  const Device* device;
  const HardwareConstraints* constraints;
};

}  // namespace nuvra::v2
