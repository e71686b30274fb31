#include "backend/strategy_factory.h"

#include "devices/device.h"
#include "v1/compatibility_checker.h"
#include "v1/io_recorder.h"
#include "v1/layer_recorder.h"
#include "v1/memory_sizer.h"
#include "v2/fnp_hrc/compatibility_checker.h"
#include "v2/io_recorder.h"
#include "v2/layer_recorder.h"
#include "v2/memory_sizer.h"

#include <nuvra/types.h>

#include <stdexcept>

namespace nuvra {

GenerationStrategies make_generation_strategies(const Device& device, const HardwareConstraints* constraints,
                                                unsigned kinds) {
  if (!constraints) throw std::invalid_argument("The strategy objects need the hardware constraints");
  GenerationStrategies s;
  if (ip_version_of(device.version()) == IpVersion::v1) {
    if (kinds & kCheckerStrategy) s.checker = std::make_unique<v1::CompatibilityCheckerImpl>(*constraints);
    if (kinds & kMemorySizerStrategy) s.memory_sizer = std::make_unique<v1::MemorySizerImpl>();
    if (kinds & kIoRecorderStrategy) s.io_recorder = std::make_unique<v1::IoRecorderImpl>(&device);
    if (kinds & kLayerRecorderStrategy) s.layer_recorder = std::make_unique<v1::LayerRecorderImpl>(&device, constraints);
    return s;
  }
  if (kinds & kCheckerStrategy) s.checker = std::make_unique<v2::CompatibilityCheckerImpl>(*constraints);
  if (kinds & kMemorySizerStrategy) s.memory_sizer = std::make_unique<v2::MemorySizerImpl>();
  if (kinds & kIoRecorderStrategy) s.io_recorder = std::make_unique<v2::IoRecorderImpl>(&device);
  if (kinds & kLayerRecorderStrategy) s.layer_recorder = std::make_unique<v2::LayerRecorderImpl>(&device, constraints);
  return s;
}

}  // namespace nuvra
