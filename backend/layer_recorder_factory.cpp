#include "backend/layer_recorder_factory.h"

#include <stdexcept>

namespace nuvra {

std::unique_ptr<LayerRecorder> make_layer_recorder(const Device&, const HardwareConstraints&) {
  throw std::runtime_error("No layer recorder for this IP version.");
}

}  // namespace nuvra
