// The device a model is mapped to: a board found on the host or a description of one.
#pragma once

#include <nuvra/types.h>

namespace nuvra {

class HardwareDevice;
struct Mesh;

class Device {
 public:
  virtual ~Device() = default;
  virtual HwVersion version() const = 0;
  // NUL-terminated, owned by the device.
  virtual const char* desc() const = 0;
  // Not owning; valid as long as the device.
  virtual Mesh* mesh() const = 0;
  // The engine's board object; null for a device without a board. Not owning.
  virtual HardwareDevice* hardware() const = 0;
};

}  // namespace nuvra
