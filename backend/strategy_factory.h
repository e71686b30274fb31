// The strategy objects of a device's IP generation: the one place where a generation's
// checker, memory sizer and recorders are chosen.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/strategies.h"

#include <functional>
#include <memory>

namespace nuvra {

class Device;

// One object of each strategy interface; an entry not asked for stays null.
struct GenerationStrategies {
  std::unique_ptr<CompatibilityChecker> checker;
  std::unique_ptr<MemorySizer> memory_sizer;
  std::unique_ptr<IoRecorder> io_recorder;
  std::unique_ptr<LayerRecorder> layer_recorder;
};

// Which objects to make, as a bit set.
enum StrategyKind : unsigned {
  kCheckerStrategy = 1u,
  kMemorySizerStrategy = 2u,
  kIoRecorderStrategy = 4u,
  kLayerRecorderStrategy = 8u,
  kAllStrategies = 15u,
};

// Makes the objects of `device`'s IP generation: the second for product 0xA2, the first for any
// other product. They keep plain pointers to `device` and `constraints`, which must outlive them.
// Throws std::invalid_argument without constraints.
GenerationStrategies make_generation_strategies(const Device& device, const HardwareConstraints* constraints,
                                                unsigned kinds = kAllStrategies);

// What makes the strategy objects of a map call; make_generation_strategies unless a test
// hands in doubles.
using StrategyFactory = std::function<GenerationStrategies(const Device&, const HardwareConstraints*)>;

}  // namespace nuvra
