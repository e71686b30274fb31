// The boards attached to the host, found once per process through the engine's drivers.
#pragma once

#include "devices/device.h"

#include <memory>
#include <vector>

namespace nuvra {

// One HostDevice per driver that opened, with its mesh, in driver order. A driver whose steps
// throw std::runtime_error has its message printed on standard output and is left out; any
// other exception (such as a board whose version disagrees with its mesh) ends discovery.
std::vector<std::shared_ptr<Device>> populate_devices();

// The list of populate_devices, made on the first call that succeeds and kept until exit.
const std::vector<std::shared_ptr<Device>>& get_devices();

}  // namespace nuvra
