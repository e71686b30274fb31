// What a map call builds first: the hardware constraints of the device's mesh and generation,
// and one object of each strategy interface for that generation.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/strategies.h"
#include "backend/strategy_factory.h"

#include <memory>

namespace nuvra {

class Device;

// Lives for one map call. The strategy objects point at the constraints (and the device), so the
// object is neither copied nor moved.
class IpVersionSpecificHardwareBackend {
 public:
  // The objects of the device's generation. Throws std::runtime_error for a device without a
  // mesh or a generation without a back end.
  explicit IpVersionSpecificHardwareBackend(const Device& device);
  // The objects that `factory` makes over the device and this object's constraints.
  IpVersionSpecificHardwareBackend(const Device& device, const StrategyFactory& factory);
  // The given objects (test doubles); they keep whatever constraints they were made with.
  IpVersionSpecificHardwareBackend(const Device& device, std::unique_ptr<CompatibilityChecker> checker,
                                   std::unique_ptr<MemorySizer> memory_sizer, std::unique_ptr<IoRecorder> io_recorder,
                                   std::unique_ptr<LayerRecorder> layer_recorder);
  // Releases the layer recorder first and the checker last (reverse member order).
  ~IpVersionSpecificHardwareBackend() = default;

  IpVersionSpecificHardwareBackend(const IpVersionSpecificHardwareBackend&) = delete;
  IpVersionSpecificHardwareBackend& operator=(const IpVersionSpecificHardwareBackend&) = delete;

  const HardwareConstraints& constraints() const { return constraints_; }
  const CompatibilityChecker& checker() const { return *checker_; }
  const MemorySizer& memory_sizer() const { return *memory_sizer_; }
  const IoRecorder& io_recorder() const { return *io_recorder_; }
  const LayerRecorder& layer_recorder() const { return *layer_recorder_; }

 private:
  // Throws std::invalid_argument unless all four objects are present.
  void take(GenerationStrategies strategies);

  // First member: the object's address is also that of its constraints.
  HardwareConstraints constraints_;
  std::unique_ptr<CompatibilityChecker> checker_;
  std::unique_ptr<MemorySizer> memory_sizer_;
  std::unique_ptr<IoRecorder> io_recorder_;
  std::unique_ptr<LayerRecorder> layer_recorder_;
};

}  // namespace nuvra
