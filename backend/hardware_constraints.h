// Numeric limits of a device's mesh and IP generation, computed once per map call.
#pragma once

#include <array>
#include <cstdint>

namespace nuvra {

class Device;
struct Mesh;

// Thirteen words, in this order. Words 2 to 10 are fixed limits carried with the record.
struct HardwareConstraints {
  uint32_t fnp3_sram_size = 0;         // 32-bit words of an FNP3's internal memory
  uint32_t np_weight_memory_size = 0;  // 50-bit (v1) or 100-bit (v2) weight units of one NP
  uint32_t limit_2 = 0;
  uint32_t limit_3 = 0;
  uint32_t limit_4 = 0;
  uint32_t limit_5 = 0;
  uint32_t limit_6 = 0;
  uint32_t limit_7 = 0;
  uint32_t limit_8 = 0;
  uint32_t limit_9 = 0;
  uint32_t limit_10 = 0;
  uint32_t input_sram_dual_buffer_size = 0;    // 64-bit units of an NP's input SRAM
  uint32_t input_sram_single_buffer_size = 0;  // 32-bit units of an NP's input SRAM

  std::array<uint32_t, 13> words() const;
  bool operator==(const HardwareConstraints&) const = default;
};
static_assert(sizeof(HardwareConstraints) == 13 * sizeof(uint32_t));

// Product 0xA2 selects the second generation, any other product the first.
HardwareConstraints compute_hardware_constraints(const Mesh& mesh, bool second_generation);
// Throws std::runtime_error when the device has no mesh.
HardwareConstraints compute_hardware_constraints(const Device& device);

}  // namespace nuvra
