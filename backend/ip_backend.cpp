#include "backend/ip_backend.h"

#include "devices/device.h"

#include <stdexcept>
#include <utility>

namespace nuvra {

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(const Device& device)
    : IpVersionSpecificHardwareBackend(
          device, [](const Device& d, const HardwareConstraints* c) { return make_generation_strategies(d, c); }) {}

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(const Device& device, const StrategyFactory& factory)
    : constraints_(compute_hardware_constraints(device)) {
  if (!factory) throw std::invalid_argument("No factory for the strategy objects.");
  take(factory(device, &constraints_));
}

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(const Device& device,
                                                                   std::unique_ptr<CompatibilityChecker> checker,
                                                                   std::unique_ptr<MemorySizer> memory_sizer,
                                                                   std::unique_ptr<IoRecorder> io_recorder,
                                                                   std::unique_ptr<LayerRecorder> layer_recorder)
    : constraints_(compute_hardware_constraints(device)) {
  take({std::move(checker), std::move(memory_sizer), std::move(io_recorder), std::move(layer_recorder)});
}

void IpVersionSpecificHardwareBackend::take(GenerationStrategies s) {
  if (!s.checker || !s.memory_sizer || !s.io_recorder || !s.layer_recorder)
    throw std::invalid_argument("A hardware back end needs a checker, a memory sizer and both recorders.");
  checker_ = std::move(s.checker);
  memory_sizer_ = std::move(s.memory_sizer);
  io_recorder_ = std::move(s.io_recorder);
  layer_recorder_ = std::move(s.layer_recorder);
}

}  // namespace nuvra
