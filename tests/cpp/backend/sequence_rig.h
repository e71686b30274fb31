// A sequence builder over a second-generation virtual device and recorder doubles, and
// components placed by hand.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/hardware_pass.h"
#include "backend/layer_mapping.h"
#include "backend/sequence_builder.h"
#include "mapper_rig.h"
#include "support/fake_recorders.h"

#include <memory>
#include <vector>

namespace nuvra::test {

inline constexpr hw::Ident kDmaEvent{1, 1, 0, 0};
using Components = std::vector<std::vector<hw::Component>>;

inline std::shared_ptr<Device> v2_device() { return make_virtual_device(versions::FPGA_v2, Mesh(IpVersion::v2, kDmaEvent, {1, 1, 1, 0}, {}, {})); }
inline hw::Component hrc() { return {hw::Type::HRC, {0, 0, 0, 0}, std::nullopt, {}}; }
inline hw::Component np(uint8_t col, uint8_t row, uint8_t id, hw::Type type = hw::Type::CNP1) { return {type, {col, row, id, 0}, std::nullopt, {}}; }

struct SequenceRig {
  std::shared_ptr<Device> device = v2_device();
  HardwareConstraints constraints;
  FakeLayerRecorder recorder;
  FakeIoRecorder io;
  HardwareSequenceBuilder builder{device, constraints, io, recorder};
  HardwareSequenceBuilder::Result build() { return builder.build_sequence(); }
};

}  // namespace nuvra::test
