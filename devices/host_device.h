// A board found on the host: the engine's hardware device and the mesh read from it.
#pragma once

#include "backend/mesh.h"
#include "devices/device.h"

#include <nuvra/hardware.h>

#include <memory>

namespace nuvra {

class HostDevice : public Device {
 public:
  // The mesh stays empty until discovery gives it; a null hardware device is refused.
  explicit HostDevice(std::shared_ptr<HardwareDevice> hardware);

  HwVersion version() const override;
  const char* desc() const override;
  Mesh* mesh() const override { return mesh_.get(); }
  HardwareDevice* hardware() const override { return hardware_.get(); }

  void set_mesh(std::unique_ptr<Mesh> mesh) { mesh_ = std::move(mesh); }

 private:
  // Declared in this order so that the mesh is destroyed before the hardware device is released.
  std::shared_ptr<HardwareDevice> hardware_;
  std::unique_ptr<Mesh> mesh_;
};

// Throws std::invalid_argument when the board's product identifier does not belong to
// the IP generation of its mesh.
void check_hw_ip_compatibility(HwVersion version, IpVersion ip);

}  // namespace nuvra
