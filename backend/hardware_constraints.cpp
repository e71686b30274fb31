#include "backend/hardware_constraints.h"

#include "backend/mesh.h"
#include "devices/device.h"

#include <stdexcept>

namespace nuvra {

std::array<uint32_t, 13> HardwareConstraints::words() const {
  return {fnp3_sram_size, np_weight_memory_size, limit_2, limit_3, limit_4, limit_5, limit_6,
          limit_7,        limit_8,               limit_9, limit_10, input_sram_dual_buffer_size,
          input_sram_single_buffer_size};
}

HardwareConstraints compute_hardware_constraints(const Mesh& mesh, bool second_generation) {
  // 32-bit unsigned arithmetic throughout, as the hardware limits are defined.
  const uint32_t w = mesh.np_weight_sram_size;
  const uint32_t i = mesh.np_input_sram_size;
  HardwareConstraints c;
  c.fnp3_sram_size = ((w * 8u) >> 5) * 48u / 50u;
  c.np_weight_memory_size = w * 8u / (second_generation ? 100u : 50u);
  c.limit_2 = 4096;
  c.limit_3 = 4096;
  c.limit_4 = 2048;
  c.limit_5 = 2048;
  c.limit_6 = second_generation ? 64 : 32;
  c.limit_7 = 256;
  c.limit_8 = second_generation ? 1536 : 2048;
  c.limit_9 = 512;
  c.limit_10 = second_generation ? 0 : 504;
  c.input_sram_dual_buffer_size = (i * 8u) >> 6;
  c.input_sram_single_buffer_size = (i * 8u) >> 5;
  return c;
}

HardwareConstraints compute_hardware_constraints(const Device& device) {
  const Mesh* mesh = device.mesh();
  if (mesh == nullptr) throw std::runtime_error("The device has no mesh.");
  return compute_hardware_constraints(*mesh, device.version().product_id == 0xA2);
}

}  // namespace nuvra
