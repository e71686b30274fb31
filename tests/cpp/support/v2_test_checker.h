// A second-generation checker for tests: the mapping, fit and split answers of the real
// generation, and every layer and sequence accepted.
#pragma once

#include "backend/mapping_status.h"
#include "backend/strategies.h"
#include "v2/fnp_hrc/mapping_checks.h"

namespace nuvra::test {

class V2TestChecker : public CompatibilityChecker {
 public:
  explicit V2TestChecker(const HardwareConstraints* constraints) : CompatibilityChecker(constraints) {}

  MappingStatus check_layer_compatibility(const Layer&, const std::shared_ptr<Layer>&, HwVersion) const override {
    return MappingSuccess();
  }
  MappingStatus check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator, const LayerList&,
                                     HwVersion) const override {
    return MappingSuccess();
  }
  MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     const Device&) const override {
    return v2::check_layer_mappings(layer, components);
  }
  bool is_sram_input_fit_single_buffer(hw::Type np_type, uint32_t height, uint32_t width, uint32_t channels,
                                       uint32_t fifo_size, uint8_t bits, uint32_t taken) const override {
    return v2::is_sram_input_fit_single_buffer(*constraints, np_type, height, width, channels, fifo_size, bits, taken);
  }
  bool is_sram_input_fit_dual_buffer(hw::Type np_type, uint32_t height, uint32_t width, uint32_t channels,
                                     uint32_t fifo_size, uint8_t bits, uint32_t taken) const override {
    return v2::is_sram_input_fit_dual_buffer(*constraints, np_type, height, width, channels, fifo_size, bits, taken);
  }
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override {
    return v2::is_weights_size_fit_np(*constraints, layer, filters);
  }
  NpSplitParams np_split_params(hw::Type np_type, const LayerParams& params) const override {
    return v2::np_split_params(np_type, params);
  }
  bool check_fnp3_sram_size(const HardwareConstraints& c, const Layer& layer) const override {
    return v2::check_fnp3_sram_size(c, layer);
  }
};

}  // namespace nuvra::test
