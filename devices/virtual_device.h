// A board that is not attached: enough to map a model onto, nothing to run it on.
#pragma once

#include "backend/mesh.h"
#include "devices/device.h"

#include <memory>
#include <string>

namespace nuvra {

class VirtualDevice : public Device {
  struct Key {
    explicit Key() = default;
  };

 public:
  // Made only by make_virtual_device.
  VirtualDevice(Key, HwVersion version, const Mesh& mesh);

  HwVersion version() const override { return version_; }
  const char* desc() const override { return desc_.c_str(); }
  // The device's own copy, which callers may change.
  Mesh* mesh() const override { return &mesh_; }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  friend std::shared_ptr<Device> make_virtual_device(HwVersion version, const Mesh& mesh);

  HwVersion version_;
  mutable Mesh mesh_;
  std::string desc_;
};

// Copies the mesh; throws std::invalid_argument when the version's product identifier
// does not belong to the mesh's IP generation.
std::shared_ptr<Device> make_virtual_device(HwVersion version, const Mesh& mesh);

}  // namespace nuvra
