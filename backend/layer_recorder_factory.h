// The layer recorder of a device's IP generation, for work done after mapping (reading learnt
// values back from a board).
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/strategies.h"

#include <memory>

namespace nuvra {

class Device;

// A recorder over `device` and `constraints`, which must outlive it. Throws std::runtime_error
// when no recorder exists for the device's IP generation.
std::unique_ptr<LayerRecorder> make_layer_recorder(const Device& device, const HardwareConstraints& constraints);

}  // namespace nuvra
